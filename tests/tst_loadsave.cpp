#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "engine/urlfetch.h"
#include "engine/xmldocument.h"
#include "support/appfixture.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QProgressDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

namespace {
const QByteArray kStylesheet = "<?xml version=\"1.0\"?>\n<!-- kept -->\n<xsl:stylesheet version=\"1.0\"\n"
                               "    xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                               "  <xsl:template match=\"/\"><out/></xsl:template>\n</xsl:stylesheet>\n";

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The load progress window as the user sees it, if one is on the screen.
QProgressDialog *progressWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("dlgFetchProgress") && w->isVisible())
            return qobject_cast<QProgressDialog *>(w);
    return nullptr;
}

const QString kBusy = QStringLiteral("This window is still loading or previewing a document; try again when it has finished.");

// A load from a URL through the File menu, and what the user tries while it waits.
struct LoadCase {
    const char *command; // mnuOpenXSLTURL (a new window) or mnuOpenXMLURL (into the open one)
    QString attempt;     // "close window", "close main", "open xml again", "type"
};
} // namespace
Q_DECLARE_METATYPE(LoadCase)

class TstLoadSave : public QObject, public fixture::Session
{
    Q_OBJECT
    QTemporaryDir *dir = nullptr;

    frmEditor *open() { return fixture::newDocument(main); }
    QString path(const QString &name) const { return dir->filePath(name); }

    // A load blocks the test until it ends; what the user does meanwhile runs from this timer,
    // once, as soon as ready() holds.
    std::unique_ptr<QTimer> m_during;
    bool m_duringRan = false;
    void during(const std::function<bool()> &ready, const std::function<void()> &script)
    {
        m_duringRan = false;
        m_during = std::make_unique<QTimer>();
        connect(m_during.get(), &QTimer::timeout, this, [this, ready, script] {
            if (!ready())
                return;
            m_during->stop();
            m_duringRan = true;
            script();
        });
        m_during->start(10);
    }

private slots:
    void init()
    {
        QVERIFY(start());
        dir = new QTemporaryDir;
        setUrlFetchTimeoutMs(600);
    }
    void cleanup()
    {
        m_during.reset();
        stop();
        delete dir;
        setUrlFetchTimeoutMs(0);
        setUrlFetchTotalLimitMs(0);
    }

    void loadXSLTFile_localFileShowsTheParsersText()
    {
        writeFile(path("in.xsl"), kStylesheet);
        frmEditor *doc = open();
        QVERIFY(doc->loadXSLTFile(path("in.xsl")));
        XmlDocument expected;
        QVERIFY(expected.load(path("in.xsl")));
        QCOMPARE(doc->txtXSLT->Text(), expected.xml());
        QVERIFY(doc->txtXSLT->Text().contains("<!-- kept -->"));
        QCOMPARE(doc->Caption(), path("in.xsl"));
        QCOMPARE(doc->strFileName(), path("in.xsl"));
        QVERIFY(!doc->blnIsURL && !doc->blnChanged() && !doc->blnLoading());
        QVERIFY(!doc->txtXSLT->CanUndo());
        // The load's own changes were parsed, the last one cleanly.
        QCOMPARE(doc->panelText(1), QString());
        QVERIFY(!doc->panelHasIcon());
        QVERIFY(fake->calls.isEmpty());
        QVERIFY(!QApplication::overrideCursor());
    }

    void loadXSLTFile_failuresChangeNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reasonPart");
        QTest::addRow("not well-formed") << "bad.xsl" << QByteArray("<xsl:stylesheet><x></xsl:stylesheet>") << "mismatch";
        QTest::addRow("missing") << "" << QByteArray() << "No such file";
        QTest::addRow("binary") << "bin.xsl" << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << "";
        QTest::addRow("empty") << "empty.xsl" << QByteArray() << "empty";
    }
    void loadXSLTFile_failuresChangeNothing()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, reasonPart);
        const QString file = name.isEmpty() ? path("nothing-here.xsl") : path(name);
        if (!name.isEmpty())
            writeFile(file, content);
        frmEditor *doc = open();
        QVERIFY(!doc->loadXSLTFile(file));
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Parsing XSLT Document"));
        QCOMPARE(fake->lastMessage().style, 16);
        QVERIFY2(fake->lastMessage().text.contains(reasonPart, Qt::CaseInsensitive), qPrintable(fake->lastMessage().text));
        QCOMPARE(doc->txtXSLT->Text(), frmEditor::stylesheetTemplate());
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File"));
        QVERIFY(doc->strFileName().isEmpty());
        QVERIFY(!doc->blnChanged() && !doc->blnLoading());
        QVERIFY(!QApplication::overrideCursor());
    }

    void loadXSLTFile_fromUrlThenSaveAsksForAName()
    {
        TestHttpServer server;
        server.serve("/s/main.xsl", kStylesheet);
        frmEditor *doc = open();
        QVERIFY(doc->loadXSLTFile(server.url("/s/main.xsl")));
        QCOMPARE(doc->Caption(), server.url("/s/main.xsl"));
        QVERIFY(doc->blnIsURL);
        QVERIFY(doc->txtXSLT->Text().contains("<out/>"));

        fake->fileNames << path("saved.xsl");
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(!cancel);
        QCOMPARE(fake->calls.last().kind, QStringLiteral("save"));
        QCOMPARE(fake->calls.last().text, QStringLiteral("Save XSLT..."));
        QVERIFY(!doc->blnIsURL);
        QCOMPARE(doc->Caption(), path("saved.xsl"));
        QVERIFY(readFile(path("saved.xsl")).contains("<out/>"));
    }

    void loadXSLTFile_unreachableUrls_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addRow("not found") << "/missing.xsl";
        QTest::addRow("server never answers") << "/silent.xsl";
        QTest::addRow("refused") << "";
        QTest::addRow("not xml") << "/page.html";
        QTest::addRow("drip-fed past the total limit") << "/drip.xsl";
    }
    void loadXSLTFile_unreachableUrls()
    {
        QFETCH(QString, route);
        TestHttpServer server;
        server.silent("/silent.xsl");
        server.serve("/page.html", "<html><body><p>hello<br></body></html>", 200, "text/html");
        server.drip("/drip.xsl", 100);
        setUrlFetchTotalLimitMs(1500);
        QString url = server.url(route);
        if (route.isEmpty()) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            url = QStringLiteral("http://127.0.0.1:%1/x.xsl").arg(closed.serverPort());
        }
        frmEditor *doc = open();
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!doc->loadXSLTFile(url));
        QVERIFY(timer.elapsed() < 10000);
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Parsing XSLT Document"));
        QVERIFY(!fake->lastMessage().text.trimmed().isEmpty());
        QCOMPARE(doc->txtXSLT->Text(), frmEditor::stylesheetTemplate());
        QVERIFY(!doc->blnIsURL);
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File"));
        QVERIFY(!QApplication::overrideCursor());
    }

    void loadFromUrl_cancelInTheProgressWindow_data()
    {
        QTest::addColumn<LoadCase>("c");
        QTest::addRow("stylesheet") << LoadCase{"mnuOpenXSLTURL", {}};
        QTest::addRow("source") << LoadCase{"mnuOpenXMLURL", {}};
    }
    void loadFromUrl_cancelInTheProgressWindow()
    {
        QFETCH(LoadCase, c);
        TestHttpServer server;
        server.hold("/held.xml", "<never/>");
        const QString url = server.url("/held.xml");
        frmEditor *doc = open();
        setUrlFetchTimeoutMs(30000); // only Cancel ends this load
        QElapsedTimer clock;
        qint64 shownAfter = 0;
        during([] { return progressWindow() != nullptr; }, [&] {
            shownAfter = clock.elapsed();
            QProgressDialog *dlg = progressWindow();
            QCOMPARE(dlg->labelText(), "Loading " + url + QStringLiteral("\u2026"));
            // The rest of the program can still be used.
            QCOMPARE(dlg->windowModality(), Qt::NonModal);
            QVERIFY(!QApplication::activeModalWidget());
            auto *cancel = dlg->findChild<QPushButton *>();
            QVERIFY(cancel);
            QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
            QTest::mouseClick(cancel, Qt::LeftButton);
        });
        fake->inputs << url;
        clock.start();
        main->menuItem(c.command)->trigger();
        QVERIFY(m_duringRan);
        QVERIFY2(shownAfter >= 1000, qPrintable(QString::number(shownAfter)));
        // Pressing Cancel was the user's own choice: no error box, a note in the window's status
        // bar, and nothing loaded.
        QVERIFY2(fake->messages().isEmpty(), qPrintable(fake->lastMessage().text));
        QCOMPARE(fixture::documentWindows(main), QList<frmEditor *>{doc});
        QCOMPARE(doc->txtXML->Text(), QString());
        QCOMPARE(doc->SSTab->currentIndex(), 0);
        if (QByteArray(c.command) == "mnuOpenXMLURL")
            QCOMPARE(doc->StatusBar->currentMessage(), "Loading " + url + " was cancelled.");
        QVERIFY(main->mruList().isEmpty());
        QVERIFY(!progressWindow());
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(server.requests(), QStringList{"/held.xml"});
    }

    void loadFromUrl_windowsStayWhileLoading_data()
    {
        QTest::addColumn<LoadCase>("c");
        QTest::addRow("source, close its window") << LoadCase{"mnuOpenXMLURL", "close window"};
        QTest::addRow("source, close the main window") << LoadCase{"mnuOpenXMLURL", "close main"};
        QTest::addRow("source, open another source into it") << LoadCase{"mnuOpenXMLURL", "open xml again"};
        QTest::addRow("source, edit the stylesheet") << LoadCase{"mnuOpenXMLURL", "type"};
        QTest::addRow("stylesheet, close the main window") << LoadCase{"mnuOpenXSLTURL", "close main"};
    }
    void loadFromUrl_windowsStayWhileLoading()
    {
        QFETCH(LoadCase, c);
        TestHttpServer server;
        server.hold("/held.xml", "<loaded/>");
        server.serve("/other.xml", "<other/>");
        const QString url = server.url("/held.xml");
        const bool source = QByteArray(c.command) == "mnuOpenXMLURL";
        frmEditor *doc = open();
        during([&] { return server.requests().contains("/held.xml"); }, [&] {
            if (c.attempt == "close window") {
                QVERIFY(!doc->parentWidget()->close());
                QCOMPARE(doc->StatusBar->currentMessage(), kBusy);
            } else if (c.attempt == "close main") {
                QVERIFY(!main->close());
                QVERIFY(main->isVisible());
                QCOMPARE(main->statusBar()->currentMessage(),
                         QStringLiteral("Zendrik cannot close while a document is loading or previewing; "
                                        "try again when it has finished."));
            } else if (c.attempt == "open xml again") {
                fake->inputs << server.url("/other.xml");
                main->menuItem("mnuOpenXMLURL")->trigger();
                QCOMPARE(doc->StatusBar->currentMessage(), kBusy);
                fake->inputs.clear(); // not asked for
            } else if (c.attempt == "type") {
                doc->txtXSLT->setSelStart(0);
                QTest::keyClicks(doc->txtXSLT, "<!---->");
            }
            server.release("/held.xml");
        });
        fake->inputs << url;
        main->menuItem(c.command)->trigger();
        QVERIFY(m_duringRan);
        // Nothing was asked on the way (no save prompt, no second address) and the load ended
        // as if nothing had happened meanwhile.
        QCOMPARE(fake->calls.size(), 1);
        QCOMPARE(server.requests(), QStringList{"/held.xml"});
        const QList<frmEditor *> docs = fixture::documentWindows(main);
        QCOMPARE(docs.size(), source ? 1 : 2);
        QVERIFY(docs.last()->isVisible());
        if (source)
            QVERIFY(doc->txtXML->Text().contains("<loaded/>"));
        else
            QCOMPARE(docs.last()->Caption(), url);
        QVERIFY(!doc->isBusy());
        QVERIFY(!QApplication::overrideCursor());
        // An edit made while waiting is an edit like any other.
        const bool typed = c.attempt == "type";
        QCOMPARE(doc->Caption(), typed ? QStringLiteral("New XSLT File*") : QStringLiteral("New XSLT File"));
        QCOMPARE(doc->txtXSLT->Text().startsWith("<!---->"), typed);
        // Once the load is over, the windows close normally.
        fake->answers << msg::No;
        QVERIFY(main->close());
    }

    void loadXMLFile_selectsTheXmlTab()
    {
        writeFile(path("src.xml"), "<?xml version=\"1.0\"?>\n<root><a>1</a></root>\n");
        frmEditor *doc = open();
        QVERIFY(!doc->blnChanged());
        doc->loadXMLFile(path("src.xml"));
        QCOMPARE(doc->SSTab->currentIndex(), 1);
        QVERIFY(doc->txtXML->Text().contains("<root><a>1</a></root>"));
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File"));
        QVERIFY(!doc->blnChanged());
        QVERIFY(doc->strFileName().isEmpty());
        QVERIFY(!doc->txtXML->CanUndo());
        QVERIFY(fake->calls.isEmpty());

        // A failed load leaves the text and the tab as they were.
        doc->SSTab->setCurrentIndex(0);
        writeFile(path("broken.xml"), "<root>");
        doc->loadXMLFile(path("broken.xml"));
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Parsing XML Document"));
        QCOMPARE(doc->SSTab->currentIndex(), 0);
        QVERIFY(doc->txtXML->Text().contains("<root><a>1</a></root>"));

        TestHttpServer server;
        server.serve("/d.xml", "<from-url/>");
        doc->loadXMLFile(server.url("/d.xml"));
        QCOMPARE(doc->SSTab->currentIndex(), 1);
        QVERIFY(doc->txtXML->Text().contains("<from-url/>"));
        QVERIFY(!doc->blnIsURL);
    }

    void nonAsciiSurvivesLoadEditSaveReload()
    {
        writeFile(path("latin1.xsl"),
                  "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                  "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                  "<!-- caf\xe9 -->\n</xsl:stylesheet>\n");
        frmEditor *doc = open();
        QVERIFY(doc->loadXSLTFile(path("latin1.xsl")));
        QVERIFY(doc->txtXSLT->Text().contains(QStringLiteral("café")));
        doc->txtXSLT->setSelStart(doc->txtXSLT->Text().indexOf("</xsl:stylesheet>"));
        doc->txtXSLT->setSelText(QStringLiteral("<!-- naïve → 漢字 -->"));
        QVERIFY(doc->Caption().endsWith('*'));
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(!cancel);
        QVERIFY(!doc->Caption().endsWith('*'));
        frmEditor *again = open();
        QVERIFY(again->loadXSLTFile(path("latin1.xsl")));
        QVERIFY(again->txtXSLT->Text().contains(QStringLiteral("café")));
        QVERIFY(again->txtXSLT->Text().contains(QStringLiteral("naïve → 漢字")));
    }

    void save_failureKeepsTheOldFileAndTheMark_data()
    {
        QTest::addColumn<bool>("wellFormed");
        QTest::addColumn<QString>("title");
        QTest::addRow("not well-formed") << false << "Error Parsing XSLT Document";
        QTest::addRow("folder gone") << true << "Error Saving XSLT Document";
    }
    void save_failureKeepsTheOldFileAndTheMark()
    {
        QFETCH(bool, wellFormed);
        QFETCH(QString, title);
        QDir().mkpath(path("sub"));
        const QString file = path("sub/keep.xsl");
        writeFile(file, kStylesheet);
        frmEditor *doc = open();
        QVERIFY(doc->loadXSLTFile(file));
        doc->txtXSLT->setSelStart(doc->txtXSLT->Text().length());
        QTest::keyClicks(doc->txtXSLT, wellFormed ? " " : "<");
        if (wellFormed)
            QVERIFY(QDir(path("sub")).removeRecursively());
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(cancel);
        QCOMPARE(fake->lastMessage().title, title);
        QCOMPARE(doc->Caption(), file + "*");
        QVERIFY(doc->blnChanged());
        if (!wellFormed)
            QCOMPARE(readFile(file), kStylesheet);
        else
            QVERIFY(!QFile::exists(file));
    }

    void save_failedSaveOfUrlDocumentKeepsTheUrlMark()
    {
        TestHttpServer server;
        server.serve("/u.xsl", kStylesheet);
        frmEditor *doc = open();
        QVERIFY(doc->loadXSLTFile(server.url("/u.xsl")));
        fake->fileNames << path("no/such/folder/u.xsl");
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(cancel);
        QVERIFY(doc->blnIsURL);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Saving XSLT Document"));
        QCOMPARE(doc->Caption(), server.url("/u.xsl"));
    }
};

ZENDRIK_TEST_MAIN(TstLoadSave)
#include "tst_loadsave.moc"
