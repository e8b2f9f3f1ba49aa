// Unsaved work survives a kill: a child copy of this program edits a stylesheet or its XML
// source and is killed with SIGKILL; the next start offers what it kept, once, and a restored
// document saves as its file was. A save killed halfway leaves nothing of ours behind once the
// program has started again.
#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "document/documentwindow.h"
#include "engine/recoverystore.h"
#include "support/appfixture.h"
#include "support/fakedialogs.h"
#include "support/testmain.h"

#include <QtTest>
#include <QtWidgets>

#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using testenv::readFile;
using testenv::writeFile;

namespace {

const QByteArray kOriginal = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"/>";

// While set, a rename onto this path stops the program there, for its parent to kill it.
char g_stopAtRename[PATH_MAX];

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

void say(const char *what)
{
    std::printf("%s\n", what);
    std::fflush(stdout);
}

// The child: opens the stylesheet named on its command line (and the XML source, when one is
// named), edits the stylesheet, the source or both as told, waits until its copy is on the
// disk, says so, types once more and waits to be killed.
int runChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    FakeDialogs::install();
    MainWindow main;
    main.show();
    if (!main.openXSLT(QString::fromLocal8Bit(argv[2])))
        return 3;
    DocumentWindow *doc = main.activeDocument();
    if (!doc)
        return 4;
    const QString source = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QStringLiteral("-");
    const QString edit = argc > 4 ? QString::fromLocal8Bit(argv[4]) : QStringLiteral("xsl");
    if (source != QLatin1String("-"))
        doc->loadXMLFile(source);
    SyntaxBox *last = stylesheetPane(doc);
    if (edit.contains(QLatin1String("xsl"))) {
        // After the declaration, where there is one: nothing may come before it.
        const QString text = stylesheetPane(doc)->text();
        stylesheetPane(doc)->setSelectionStart(text.startsWith(QLatin1String("<?xml")) ? text.indexOf(QLatin1String("?>")) + 2 : 0);
        QTest::keyClicks(stylesheetPane(doc), QStringLiteral("<!-- kept -->"));
        stylesheetPane(doc)->replaceSelection(QStringLiteral("<!-- é -->"));
    }
    if (edit.contains(QLatin1String("xml"))) {
        sourcePane(doc)->setSelectionStart(sourcePane(doc)->text().indexOf(QLatin1String("</r>")));
        sourcePane(doc)->replaceSelection(QStringLiteral("<é/>"));
        last = sourcePane(doc);
    }
    if (!QTest::qWaitFor([] { return recoveryFiles().filter(QStringLiteral(".json")).size() == 1; }, 20000))
        return 5;
    say("kept");
    last->replaceSelection(QStringLiteral("<!-- too late -->"));
    say("typed");
    return app.exec();
}

// Another start while the first one still asks: answers Yes to whatever it is asked.
int runRestore(int argc, char **argv)
{
    QApplication app(argc, argv);
    FakeDialogs *fake = FakeDialogs::install();
    fake->answers << QMessageBox::Yes;
    MainWindow main;
    main.show();
    main.restoreUnsavedWork();
    std::printf("asked %d restored %d\n", int(fake->messages().size()), int(fixture::documentWindows(&main).size()));
    std::fflush(stdout);
    for (DocumentWindow *doc : fixture::documentWindows(&main))
        doc->setCloseApproved(true);
    return 0;
}

// A start that asks the restore question and never gets an answer: it is killed meanwhile.
class NeverAnswered : public FakeDialogs
{
public:
    QMessageBox::StandardButton messageBox(QWidget *, const QString &, QMessageBox::Icon, QMessageBox::StandardButtons,
                                           const QString &) override
    {
        say("asking");
        for (;;)
            ::pause();
    }
};

int runAskAndWait(int argc, char **argv)
{
    QApplication app(argc, argv);
    setDialogProvider(std::make_unique<NeverAnswered>());
    MainWindow main;
    main.show();
    main.restoreUnsavedWork();
    return 6;
}

// A save that is killed just before its new file takes the old one's place.
int runSave(int argc, char **argv)
{
    QApplication app(argc, argv);
    FakeDialogs::install();
    MainWindow main;
    main.show();
    if (!main.openXSLT(QString::fromLocal8Bit(argv[2])))
        return 3;
    DocumentWindow *doc = main.activeDocument();
    stylesheetPane(doc)->setSelectionStart(0);
    stylesheetPane(doc)->replaceSelection(QStringLiteral("<!-- edited -->"));
    qstrncpy(g_stopAtRename, argv[2], sizeof g_stopAtRename);
    bool cancel = false;
    doc->saveFile(cancel);
    return 7;
}

// Answers the restore question, after running something while it is shown.
class AskingDialogs : public FakeDialogs
{
public:
    std::function<void()> whileAsking;
    QMessageBox::StandardButton messageBox(QWidget *parent, const QString &text, QMessageBox::Icon icon,
                                           QMessageBox::StandardButtons buttons, const QString &title) override
    {
        if (auto run = std::exchange(whileAsking, nullptr))
            run();
        return FakeDialogs::messageBox(parent, text, icon, buttons, title);
    }
};

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

extern "C" int rename(const char *from, const char *to)
{
    if (g_stopAtRename[0] && std::strcmp(to, g_stopAtRename) == 0) {
        say("renaming");
        for (;;)
            ::pause();
    }
    return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

class TstRecovery : public QObject, public fixture::Session
{
    Q_OBJECT

    // Starts this program again as a child in the given mode.
    void startChild(QProcess &child, const QStringList &arguments)
    {
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), arguments);
        QVERIFY(child.waitForStarted());
    }
    // Waits until the child has said what, then kills it.
    void killWhenSaid(QProcess &child, const QByteArray &what)
    {
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += child.readAllStandardOutput()).contains(what) || child.state() == QProcess::NotRunning, 30000);
        QVERIFY2(out.contains(what), out.constData());
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());
    }
    // Runs the child on a stylesheet (and a source) and kills it once it has typed past its copy.
    void killChildMidEdit(const QString &stylesheet, const QString &source = QStringLiteral("-"), const QString &edit = QStringLiteral("xsl"))
    {
        QProcess child;
        startChild(child, {QStringLiteral("--child"), stylesheet, source, edit});
        if (!QTest::currentTestFailed())
            killWhenSaid(child, "kept\ntyped");
    }
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString file = QDir(testenv::stateHome()).filePath(name);
        return writeFile(file, bytes) ? file : QString();
    }
    // Kills a child mid-edit, has the next start restore it, and returns the restored window.
    DocumentWindow *restoreKilled(const QString &stylesheet, const QString &source = QStringLiteral("-"), const QString &edit = QStringLiteral("xsl"))
    {
        killChildMidEdit(stylesheet, source, edit);
        if (QTest::currentTestFailed())
            return nullptr;
        fake->answers << QMessageBox::Yes;
        main->restoreUnsavedWork();
        const QList<DocumentWindow *> docs = fixture::documentWindows(main);
        return docs.size() == 1 ? docs.first() : nullptr;
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
        QTest::addRow("restored") << int(QMessageBox::Yes);
        QTest::addRow("declined") << int(QMessageBox::No);
    }
    void killedProgram_offersItsUnsavedWork()
    {
        QFETCH(int, answer);
        const QString file = write(QStringLiteral("style.xsl"), kOriginal);
        killChildMidEdit(file);
        if (QTest::currentTestFailed())
            return;
        fake->answers << QMessageBox::StandardButton(answer);
        main->restoreUnsavedWork();
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().text, QStringLiteral("Zendrik closed unexpectedly. Restore 1 unsaved document?"));
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Zendrik"));
        QCOMPARE(fake->lastMessage().icon, QMessageBox::Question);
        QCOMPARE(fake->lastMessage().buttons, QMessageBox::Yes | QMessageBox::No);
        // The file itself was never touched.
        QCOMPARE(QFile(file).size(), qint64(kOriginal.size()));
        const QList<DocumentWindow *> docs = fixture::documentWindows(main);
        if (answer == QMessageBox::No) { // the copies go, and nothing is asked again
            QVERIFY(docs.isEmpty() && recoveryFiles().isEmpty());
            main->restoreUnsavedWork();
            QCOMPARE(fake->messages().size(), 1);
            return;
        }
        QCOMPARE(docs.size(), 1);
        DocumentWindow *doc = docs.first();
        QVERIFY(stylesheetPane(doc)->text().startsWith(QStringLiteral("<!-- kept --><!-- é -->")));
        QVERIFY(!stylesheetPane(doc)->text().contains(QStringLiteral("too late")));
        QCOMPARE(doc->fileName(), file);
        QCOMPARE(doc->caption(), file + QLatin1Char('*'));
        QVERIFY(doc->isChanged());
        // The restored text is unsaved, also after undoing an edit to it.
        QTest::keyClicks(stylesheetPane(doc), QStringLiteral(" "));
        doc->undo();
        QCOMPARE(doc->caption(), file + QLatin1Char('*'));
        // The restored window keeps its own copy, until saving ends the need for one.
        QCOMPARE(recoveryFiles().size(), 2);
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(!cancel && recoveryFiles().isEmpty());
    }

    // A restored stylesheet is written as its file was: its encoding, mark and line breaks.
    void restoredDocument_savesAsItsFileWas_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("saved");
        const QByteArray decl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
        QTest::addRow("latin-1, crlf") << decl + "\r\n<!-- caf\xE9 -->\r\n" + kOriginal + "\r\n"
                                       << decl + "<!-- kept --><!-- \xE9 -->\r\n<!-- caf\xE9 -->\r\n" + kOriginal + "\r\n\r\n";
        const auto utf16 = [](const QString &text) { return QByteArray("\xFF\xFE") + QStringEncoder(QStringConverter::Utf16LE).encode(text); };
        QTest::addRow("utf-16 with a mark") << utf16(QString::fromLatin1(kOriginal) + "\n")
                                            << utf16(QStringLiteral("<!-- kept --><!-- é -->") + QString::fromLatin1(kOriginal) + "\n\n");
    }
    void restoredDocument_savesAsItsFileWas()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, saved);
        const QString path = write(QStringLiteral("style.xsl"), file);
        DocumentWindow *doc = restoreKilled(path);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(doc);
        // A new line takes the file's own line break.
        stylesheetPane(doc)->setSelectionStart(stylesheetPane(doc)->text().length());
        QTest::keyClick(stylesheetPane(doc), Qt::Key_Return);
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY2(!cancel, qPrintable(fake->lastMessage().text));
        QCOMPARE(readFile(path), saved);
        QCOMPARE(doc->caption(), path);
    }

    // The XML source comes back into its window: its unsaved text marked changed, or, when it
    // had no edits, its file read again.
    void restoredWindow_bringsBackItsSource_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<bool>("stylesheetChanged");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("tab");
        const QString edited = QStringLiteral("<r>\r\n  <a/>\r\n<é/></r>\r\n");
        QTest::addRow("source edited") << "xml" << false << edited << "XML - s.xml*";
        QTest::addRow("both edited") << "xsl+xml" << true << edited << "XML - s.xml*";
        QTest::addRow("source as read") << "xsl" << true << "<r>\r\n  <a/>\r\n</r>\r\n" << "XML - s.xml";
    }
    void restoredWindow_bringsBackItsSource()
    {
        QFETCH(QString, edit);
        QFETCH(bool, stylesheetChanged);
        QFETCH(QString, source);
        QFETCH(QString, tab);
        const QString stylesheet = write(QStringLiteral("style.xsl"), kOriginal);
        const QString xml = write(QStringLiteral("s.xml"), "<r>\r\n  <a/>\r\n</r>\r\n");
        DocumentWindow *doc = restoreKilled(stylesheet, xml, edit);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(doc);
        QCOMPARE(sourcePane(doc)->text(), source);
        QCOMPARE(pageTabs(doc)->tabText(1), tab);
        QCOMPARE(doc->sourceFileName(), xml);
        QCOMPARE(doc->sourceChanged(), tab.endsWith('*'));
        QCOMPARE(doc->isChanged(), stylesheetChanged);
        QCOMPARE(doc->caption(), stylesheetChanged ? stylesheet + '*' : stylesheet);
        QCOMPARE(stylesheetPane(doc)->text().startsWith(QStringLiteral("<!-- kept -->")), stylesheetChanged);
        // Undo cannot make restored text look saved; saving the source writes what came back.
        if (doc->sourceChanged()) {
            sourcePane(doc)->setSelectionStart(0);
            sourcePane(doc)->replaceSelection(QStringLiteral(" "));
            sourcePane(doc)->undo();
            QCOMPARE(pageTabs(doc)->tabText(1), tab);
            QVERIFY(doc->saveSource(false));
            QCOMPARE(QString::fromUtf8(readFile(xml)), source);
            QCOMPARE(pageTabs(doc)->tabText(1), QStringLiteral("XML - s.xml"));
        }
        // With nothing unsaved any more, no copy is kept.
        if (doc->isChanged()) {
            bool cancel = false;
            doc->saveFile(cancel);
        }
        QTRY_VERIFY(recoveryFiles().isEmpty());
    }

    // The copies are claimed while the question is shown: another start meanwhile leaves them
    // alone, but once the asking program has died they are offered again.
    void restoreQuestion_claimsTheCopies_data()
    {
        QTest::addColumn<bool>("askerKilled");
        QTest::addRow("another start while asking") << false;
        QTest::addRow("asking start killed") << true;
    }
    void restoreQuestion_claimsTheCopies()
    {
        QFETCH(bool, askerKilled);
        killChildMidEdit(write(QStringLiteral("style.xsl"), kOriginal));
        if (QTest::currentTestFailed())
            return;
        auto *asking = new AskingDialogs;
        setDialogProvider(std::unique_ptr<DialogProvider>(asking));
        fake = asking;
        QByteArray other;
        if (askerKilled) {
            QProcess asker;
            startChild(asker, {QStringLiteral("--ask-and-wait")});
            killWhenSaid(asker, "asking");
        } else {
            asking->whileAsking = [&] {
                QProcess second;
                second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
                second.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--restore")});
                if (second.waitForFinished(60000))
                    other = second.readAllStandardOutput();
            };
        }
        if (QTest::currentTestFailed())
            return;
        fake->answers << QMessageBox::Yes;
        main->restoreUnsavedWork();
        if (!askerKilled)
            QCOMPARE(other, QByteArray("asked 0 restored 0\n"));
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().text, QStringLiteral("Zendrik closed unexpectedly. Restore 1 unsaved document?"));
        QCOMPARE(fixture::documentWindows(main).size(), 1);
    }

    // A save killed before its new file replaced the old one: the next start removes the
    // temporary file it left, and nothing that is not ours, even under a name like ours.
    void interruptedSave_leftoverGoesAtTheNextStart_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::addRow("left as the save left it") << false;
        QTest::addRow("replaced by a file of the user's") << true;
    }
    void interruptedSave_leftoverGoesAtTheNextStart()
    {
        QFETCH(bool, replaced);
        const QString folder = QDir(testenv::stateHome()).filePath(QStringLiteral("saves"));
        QVERIFY(QDir(folder).removeRecursively());
        const QString file = write(QStringLiteral("saves/style.xsl"), kOriginal);
        const QString lookalike = write(QStringLiteral("saves/.style.xsl.zendrik-Ab12Cd"), "mine");
        QProcess child;
        startChild(child, {QStringLiteral("--save"), file});
        killWhenSaid(child, "renaming");
        if (QTest::currentTestFailed())
            return;
        QStringList left = entries(folder);
        QCOMPARE(left.size(), 3);
        left.removeAll(QStringLiteral("style.xsl"));
        left.removeAll(QFileInfo(lookalike).fileName());
        const QString leftover = QDir(folder).filePath(left.value(0));
        QVERIFY2(left.value(0).startsWith(QLatin1String(".style.xsl.zendrik-")), qPrintable(left.value(0)));
        QVERIFY(readFile(leftover).startsWith("<!-- edited -->"));
        QStringList expected{QFileInfo(lookalike).fileName(), QStringLiteral("style.xsl")};
        if (replaced) {
            // Made first and moved there, so it cannot get the old file's inode.
            QVERIFY(writeFile(leftover + QStringLiteral(".new"), "theirs"));
            QVERIFY(::rename(QFile::encodeName(leftover + QStringLiteral(".new")).constData(), QFile::encodeName(leftover).constData()) == 0);
            expected << left.value(0);
        }
        main->restoreUnsavedWork();
        QStringList after = entries(folder);
        after.sort();
        expected.sort();
        QCOMPARE(after, expected);
        QCOMPARE(readFile(file), kOriginal);
        QCOMPARE(readFile(lookalike), QByteArray("mine"));
        QVERIFY(fake->messages().isEmpty());
    }

    // Copies written beside the window: the newest asked for wins, a removal cancels what is
    // still waiting, and a copy that cannot be written is reported to a context still there.
    void copiesBesideTheWindow_keepOrderAndReportFailure()
    {
        const QString folder = QDir(testenv::stateHome()).filePath(QStringLiteral("later"));
        RecoveryStore store(folder);
        const auto filesOf = [&] {
            QStringList files;
            QDirIterator it(folder, {QStringLiteral("doc.*")}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                files << it.next();
            return files;
        };
        RecoveryEntry first;
        first.id = QStringLiteral("doc");
        first.text = "first";
        RecoveryEntry second = first;
        second.text = "second";
        QStringList failures;
        QObject context;
        const auto failed = [&](const QString &why) { failures << why; };
        store.writeLater(first, &context, failed);
        store.writeLater(second, &context, failed);
        store.flush();
        const QStringList written = filesOf().filter(QStringLiteral("doc.xsl"));
        QCOMPARE(written.size(), 1);
        QCOMPARE(readFile(written.first()), QByteArray("second"));
        // A removal after a copy was asked for: nothing comes back afterwards.
        store.writeLater(first, &context, failed);
        store.remove(first.id);
        store.flush();
        QCOMPARE(filesOf(), QStringList());

        // Under a plain file no session folder can be made.
        const QString blocker = write(QStringLiteral("blocker"), "x");
        RecoveryStore broken(blocker + QStringLiteral("/recovery"));
        broken.writeLater(first, &context, failed);
        auto gone = std::make_unique<QObject>();
        RecoveryEntry other = first;
        other.id = QStringLiteral("other");
        broken.writeLater(other, gone.get(), failed);
        gone.reset();
        broken.flush();
        QTRY_COMPARE(failures.size(), 1);
        QVERIFY(!failures.first().isEmpty());
        QTest::qWait(50);
        QCOMPARE(failures.size(), 1);
    }

    void runningProgram_keepsAndDropsItsOwnCopies()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        QTest::keyClicks(stylesheetPane(doc), QStringLiteral("x"));
        QTRY_COMPARE_WITH_TIMEOUT(recoveryFiles().size(), 2, DocumentWindow::kRecoveryDelayMs * 3);
        // A copy of a program that is still running is nobody's to restore.
        main->restoreUnsavedWork();
        QVERIFY(fake->messages().isEmpty());
        // Closing without saving removes it.
        fake->answers << QMessageBox::No;
        doc->parentWidget()->close();
        QVERIFY(fake->lastMessage().text.startsWith(QStringLiteral("Would you like to save your changes")));
        QVERIFY(recoveryFiles().isEmpty());
    }
};

int main(int argc, char **argv)
{
    if (argc > 2 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--restore") == 0)
        return runRestore(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--ask-and-wait") == 0)
        return runAskAndWait(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], "--save") == 0)
        return runSave(argc, argv);
    testenv::prepare();
    QApplication app(argc, argv);
    TstRecovery tc;
    return testenv::finish(tc, argc, argv);
}

#include "tst_recovery.moc"
