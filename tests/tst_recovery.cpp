// Unsaved work survives a kill: a child copy of this program types into a stylesheet and is
// killed with SIGKILL; the next start offers what it kept.
#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "engine/recoverystore.h"
#include "support/appfixture.h"
#include "support/fakedialogs.h"
#include "support/testmain.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <cstdio>

namespace {

const QByteArray kOriginal = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"/>";

QStringList recoveryFiles()
{
    QStringList files;
    const QDir root(RecoveryStore::recoveryFolder());
    for (const QString &session : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const QString &f : QDir(root.filePath(session)).entryList(QDir::Files))
            if (f != QLatin1String("lock"))
                files << f;
    return files;
}

// The child: opens the stylesheet named on its command line, types, waits until its copy is
// on the disk, says so, types once more and waits to be killed.
int runChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    FakeDialogs::install();
    frmMDIMain main;
    main.show();
    if (!main.openXSLT(QString::fromLocal8Bit(argv[2])))
        return 3;
    frmEditor *doc = main.activeDocument();
    if (!doc)
        return 4;
    doc->txtXSLT->setSelStart(0);
    QTest::keyClicks(doc->txtXSLT, QStringLiteral("<!-- kept -->"));
    doc->txtXSLT->setSelText(QStringLiteral("<!-- é -->"));
    if (!QTest::qWaitFor([] { return recoveryFiles().size() == 2; }, 20000))
        return 5;
    std::printf("kept\n");
    std::fflush(stdout);
    QTest::keyClicks(doc->txtXSLT, QStringLiteral("<!-- too late -->"));
    std::printf("typed\n");
    std::fflush(stdout);
    return app.exec();
}

} // namespace

class TstRecovery : public QObject, public fixture::Session
{
    Q_OBJECT

    // Runs the child on a stylesheet and kills it once it has typed past its copy.
    void killChildMidEdit(const QString &stylesheet)
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), stylesheet});
        QVERIFY(child.waitForStarted());
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += child.readAllStandardOutput()).contains("typed") || child.state() == QProcess::NotRunning, 30000);
        QVERIFY2(out.contains("kept\ntyped"), out.constData());
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup()
    {
        stop();
        // Copies of killed children a failed test left behind; this program's own session stays.
        recoveryStore().discardOrphans();
    }

    void killedProgram_offersItsUnsavedWork_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addRow("restored") << int(msg::Yes);
        QTest::addRow("declined") << int(msg::No);
    }
    void killedProgram_offersItsUnsavedWork()
    {
        QFETCH(int, answer);
        const QString file = QDir(testenv::stateHome()).filePath(QStringLiteral("style.xsl"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(kOriginal) == kOriginal.size());
        f.close();
        killChildMidEdit(file);
        if (QTest::currentTestFailed())
            return;
        fake->answers << answer;
        main->restoreUnsavedWork();
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().text, QStringLiteral("Zendrik closed unexpectedly. Restore 1 unsaved document?"));
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Zendrik"));
        QCOMPARE(fake->lastMessage().style, msg::YesNo | msg::Question);
        // The file itself was never touched.
        QCOMPARE(QFile(file).size(), qint64(kOriginal.size()));
        const QList<frmEditor *> docs = fixture::documentWindows(main);
        if (answer == msg::No) { // the copies go, and nothing is asked again
            QVERIFY(docs.isEmpty() && recoveryFiles().isEmpty());
            main->restoreUnsavedWork();
            QCOMPARE(fake->messages().size(), 1);
            return;
        }
        QCOMPARE(docs.size(), 1);
        frmEditor *doc = docs.first();
        QVERIFY(doc->txtXSLT->Text().startsWith(QStringLiteral("<!-- kept --><!-- é -->")));
        QVERIFY(!doc->txtXSLT->Text().contains(QStringLiteral("too late")));
        QCOMPARE(doc->strFileName(), file);
        QCOMPARE(doc->Caption(), file + QLatin1Char('*'));
        QVERIFY(doc->blnChanged());
        // The restored text is unsaved, also after undoing an edit to it.
        QTest::keyClicks(doc->txtXSLT, QStringLiteral(" "));
        doc->Undo();
        QCOMPARE(doc->Caption(), file + QLatin1Char('*'));
        // The restored window keeps its own copy, until saving ends the need for one.
        QCOMPARE(recoveryFiles().size(), 2);
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(!cancel && recoveryFiles().isEmpty());
    }

    void runningProgram_keepsAndDropsItsOwnCopies()
    {
        frmEditor *doc = fixture::newDocument(main);
        QTest::keyClicks(doc->txtXSLT, QStringLiteral("x"));
        QTRY_COMPARE_WITH_TIMEOUT(recoveryFiles().size(), 2, frmEditor::kRecoveryDelayMs * 3);
        // A copy of a program that is still running is nobody's to restore.
        main->restoreUnsavedWork();
        QVERIFY(fake->messages().isEmpty());
        // Closing without saving removes it.
        fake->answers << msg::No;
        doc->parentWidget()->close();
        QVERIFY(fake->lastMessage().text.startsWith(QStringLiteral("Would you like to save your changes")));
        QVERIFY(recoveryFiles().isEmpty());
    }
};

int main(int argc, char **argv)
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    testenv::prepare();
    QApplication app(argc, argv);
    TstRecovery tc;
    return testenv::finish(tc, argc, argv);
}

#include "tst_recovery.moc"
