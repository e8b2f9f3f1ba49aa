#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "options/settingsstore.h"
#include "support/appfixture.h"
#include "support/fakebrowser.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

using fixture::documentWindows;

namespace {
const QByteArray kStylesheet = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                               "<xsl:template match=\"/\"><out/></xsl:template></xsl:stylesheet>";
const char *const kEditItems[] = {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuRedo", "mnuFind", "mnuReplace", "mnuSelectAll"};
const char *const kEditButtons[] = {"Copy", "Cut", "Paste", "Undo", "Redo", "Find"};
} // namespace

class TstCommands : public QObject, public fixture::Session
{
    Q_OBJECT
    QTemporaryDir *dir = nullptr;

    QString file(const QString &name, const QByteArray &content = kStylesheet)
    {
        const QString path = dir->filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(content);
        return path;
    }
    QAction *item(const char *name) const { return main->menuItem(QString::fromLatin1(name)); }
    void moveOverBackground()
    {
        QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(5, 5), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(main->mdiArea()->viewport(), &move);
    }
    QString editState() const
    {
        QString s;
        for (const char *name : kEditItems)
            s += item(name)->isEnabled() ? '1' : '0';
        s += '|';
        for (const char *key : kEditButtons)
            s += main->toolbarButton(QString::fromLatin1(key))->isEnabled() ? '1' : '0';
        return s;
    }

private slots:
    void init()
    {
        QVERIFY(start());
        dir = new QTemporaryDir;
    }
    void cleanup()
    {
        stop();
        delete dir;
    }

    void commands_withoutADocumentDoNothing()
    {
        for (const char *name : {"mnuOpenXMLFile", "mnuOpenXMLURL", "mnuSave", "mnuSaveAs", "mnuPrint", "mnuUndo", "mnuRedo",
                                 "mnuCut", "mnuCopy", "mnuPaste", "mnuSelectAll", "mnuPreview", "mnuTileH", "mnuTileV",
                                 "mnuCascade", "mnuArrange"})
            item(name)->trigger();
        item("mnuEdit")->menu()->popup(QPoint(0, 0));
        item("mnuEdit")->menu()->hide();
        QVERIFY(fake->calls.isEmpty());
        QVERIFY(documentWindows(main).isEmpty());
        QVERIFY(!item("mnuCopy")->isEnabled());
    }

    void openXSLT_fromFile()
    {
        const QString path = file("a.xsl");
        fake->fileNames << path;
        item("mnuOpenXSLTFile")->trigger();
        QCOMPARE(fake->calls.size(), 1);
        QCOMPARE(fake->calls[0].kind, QStringLiteral("open"));
        QCOMPARE(fake->calls[0].text, QStringLiteral("Open XSLT..."));
        QCOMPARE(fake->calls[0].title, QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt|All Files|*.*"));
        QCOMPARE(documentWindows(main).size(), 1);
        frmEditor *doc = main->activeDocument();
        QVERIFY(doc);
        QCOMPARE(doc->Caption(), path);
        QCOMPARE(doc->frmParent, main);
        QCOMPARE(main->documents().size(), 1);
        QCOMPARE(main->mruList(), QStringList{path});
        for (const char *name : {"mnuOpenXML", "mnuSave", "mnuSaveAs", "mnuPrint", "mnuPreview"})
            QVERIFY2(item(name)->isEnabled(), name);
        QVERIFY(main->toolbarButton("Save")->isEnabled());

        // The same file again gives a second window; the recent list keeps one entry.
        fake->fileNames << path;
        main->toolbarButtonClick("Open");
        QCOMPARE(documentWindows(main).size(), 2);
        QCOMPARE(main->documents().size(), 2);
        QCOMPARE(main->mruList(), QStringList{path});
    }

    void openXSLT_failuresChangeNothing_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("viaUrl");
        QTest::addColumn<int>("messages");
        QTest::addRow("dialog cancelled") << "" << false << 0;
        QTest::addRow("spaces only") << "   " << false << 0;
        QTest::addRow("not well-formed") << "bad" << false << 1;
        QTest::addRow("url cancelled") << "" << true << 0;
        QTest::addRow("url left at its default") << "http://" << true << 1;
    }
    void openXSLT_failuresChangeNothing()
    {
        QFETCH(QString, answer);
        QFETCH(bool, viaUrl);
        QFETCH(int, messages);
        if (answer == "bad")
            answer = file("bad.xsl", "<xsl:stylesheet>");
        if (viaUrl) {
            fake->inputs << answer;
            item("mnuOpenXSLTURL")->trigger();
            QCOMPARE(fake->calls[0].kind, QStringLiteral("input"));
            QCOMPARE(fake->calls[0].text, QStringLiteral("Enter the fully qualified URL to the XSLT file you would like to open."));
            QCOMPARE(fake->calls[0].title, QStringLiteral("Open File from URL"));
            QCOMPARE(fake->calls[0].defaultText, QStringLiteral("http://"));
        } else {
            fake->fileNames << answer;
            item("mnuOpenXSLTFile")->trigger();
        }
        QCOMPARE(fake->messages().size(), messages);
        if (messages)
            QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Parsing XSLT Document"));
        QVERIFY(documentWindows(main).isEmpty());
        QVERIFY(main->documents().isEmpty());
        QVERIFY(main->mruList().isEmpty());
        QVERIFY(!item("mnuSave")->isEnabled());
    }

    void openXSLT_fromUrlKeepsTheAnswerAsTyped()
    {
        TestHttpServer server;
        server.serve("/x/s.xsl", kStylesheet);
        const QString typed = "  " + server.url("/x/s.xsl") + " ";
        fake->inputs << typed;
        item("mnuOpenXSLTURL")->trigger();
        QVERIFY2(fake->messages().isEmpty(), qPrintable(fake->lastMessage().text));
        frmEditor *doc = main->activeDocument();
        QVERIFY(doc);
        QCOMPARE(doc->Caption(), typed);
        QVERIFY(doc->blnIsURL);
        QCOMPARE(main->mruList(), QStringList{typed});
    }

    void openXML_intoTheActiveWindow()
    {
        fixture::newDocument(main);
        frmEditor *doc = fixture::newDocument(main);
        const QString xml = file("s.xml", "<source/>");
        fake->fileNames << xml;
        item("mnuOpenXMLFile")->trigger();
        QCOMPARE(fake->calls.last().text, QStringLiteral("Open XML..."));
        QCOMPARE(fake->calls.last().title, QStringLiteral("XML (*.xml)|*.xml|All Files|*.*"));
        QVERIFY(doc->txtXML->Text().contains("<source/>"));
        QCOMPARE(doc->SSTab->currentIndex(), 1);
        QVERIFY(documentWindows(main).first()->txtXML->Text().isEmpty());

        TestHttpServer server;
        server.serve("/d.xml", "<from-url/>");
        fake->inputs << server.url("/d.xml");
        item("mnuOpenXMLURL")->trigger();
        QCOMPARE(fake->calls.last().text, QStringLiteral("Enter the fully qualified URL to the XML file you would like to open."));
        QVERIFY(doc->txtXML->Text().contains("<from-url/>"));
        QVERIFY(main->mruList().isEmpty());

        fake->inputs << "   ";
        item("mnuOpenXMLURL")->trigger();
        QVERIFY(doc->txtXML->Text().contains("<from-url/>"));
        QVERIFY(fake->messages().isEmpty());
    }

    void saveAs_asksForAName()
    {
        frmEditor *doc = fixture::newDocument(main);
        item("mnuSaveAs")->trigger(); // cancelled
        QCOMPARE(fake->calls.last().kind, QStringLiteral("save"));
        QCOMPARE(fake->calls.last().text, QStringLiteral("Save XSLT As..."));
        QCOMPARE(fake->calls.last().title, QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt"));
        QVERIFY(doc->strFileName().isEmpty());
        const QString path = dir->filePath("as.xsl");
        fake->fileNames << path;
        item("mnuSaveAs")->trigger();
        QCOMPARE(doc->Caption(), path);
        QVERIFY(QFile::exists(path));
    }

    void editState_followsTheSelectedPage()
    {
        frmEditor *doc = fixture::newDocument(main);
        QApplication::clipboard()->clear();
        doc->setEditState();
        QCOMPARE(editState(), QStringLiteral("00000111|000001"));
        doc->txtXSLT->setSelStart(0);
        doc->txtXSLT->setSelLength(4);
        doc->setEditState();
        QCOMPARE(editState(), QStringLiteral("11000111|110001"));
        QApplication::clipboard()->setText("<!---->");
        QTest::keyClicks(doc->txtXSLT, "x");
        QCOMPARE(editState(), QStringLiteral("00110111|001101"));
        item("mnuUndo")->trigger();
        QCOMPARE(doc->txtXSLT->Text(), frmEditor::stylesheetTemplate());
        QCOMPARE(editState(), QStringLiteral("00101111|001011"));
        // The XML page has its own history and selection.
        doc->SSTab->setCurrentIndex(1);
        QCOMPARE(editState(), QStringLiteral("00100111|001001"));
        doc->setEditState(true);
        QCOMPARE(editState(), QStringLiteral("11111111|111111"));
        doc->setEditState(false);
        QCOMPARE(editState(), QStringLiteral("00000000|000000"));
        // Opening the Edit menu asks the active window again.
        item("mnuEdit")->menu()->popup(QPoint(0, 0));
        item("mnuEdit")->menu()->hide();
        QCOMPARE(editState(), QStringLiteral("00100111|001001"));
    }

    void editCommands_actOnTheSelectedPage()
    {
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXML->setText("<a>xml</a>");
        doc->SSTab->setCurrentIndex(1);
        item("mnuSelectAll")->trigger();
        QCOMPARE(doc->txtXML->SelLength(), 10);
        QCOMPARE(doc->txtXSLT->SelLength(), 0);
        main->toolbarButtonClick("Copy");
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("<a>xml</a>"));
        main->toolbarButtonClick("Cut");
        QCOMPARE(doc->txtXML->Text(), QString());
        main->toolbarButtonClick("Paste");
        main->toolbarButtonClick("Paste");
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>xml</a><a>xml</a>"));
        // Paste is held back while Ctrl is down in a document.
        main->blnControlKey = true;
        item("mnuPaste")->trigger();
        main->toolbarButtonClick("Paste");
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>xml</a><a>xml</a>"));
        main->blnControlKey = false;
        main->toolbarButtonClick("Undo");
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>xml</a>"));
        main->toolbarButtonClick("Redo");
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>xml</a><a>xml</a>"));
        QVERIFY(!doc->blnChanged());
        // An empty page selects nothing at 0.
        doc->txtXML->setText(QString());
        item("mnuSelectAll")->trigger();
        QCOMPARE(doc->txtXML->SelStart(), 0);
        QCOMPARE(doc->txtXML->SelLength(), 0);
        // Undo in the stylesheet parses again.
        doc->SSTab->setCurrentIndex(0);
        doc->txtXSLT->setSelStart(0);
        QTest::keyClicks(doc->txtXSLT, "<");
        QVERIFY(doc->panelHasIcon());
        item("mnuUndo")->trigger();
        QVERIFY(!doc->panelHasIcon());
    }

    void toolbar_dispatchByExactKey()
    {
        main->toolbarButtonClick("new");
        main->toolbarButtonClick("Nothing");
        main->toolbarButtonClick("");
        QVERIFY(documentWindows(main).isEmpty());
        main->toolbarButton("New")->trigger();
        QCOMPARE(documentWindows(main).size(), 1);
        main->toolbarButtonClick("New");
        QCOMPARE(documentWindows(main).size(), 2);
    }

    void print_textPages()
    {
        frmEditor *doc = fixture::newDocument(main);
        item("mnuPrint")->trigger();
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Printing Document"));
        QCOMPARE(fake->lastMessage().style, 16);
        const QString pdf = dir->filePath("out.pdf");
        fake->printAnswers << true;
        fake->printToFile = pdf;
        fake->printCopies = 3;
        main->toolbarButtonClick("Print");
        QCOMPARE(fake->messages().size(), 1);
        for (const QString &f : {pdf, pdf + ".2", pdf + ".3"}) {
            QFile out(f);
            QVERIFY2(out.open(QIODevice::ReadOnly), qPrintable(f));
            QVERIFY(out.readAll().startsWith("%PDF"));
        }
        QVERIFY(!QFile::exists(pdf + ".4"));
        Q_UNUSED(doc);
    }

    void pointerOverBackground_switchesDocumentCommandsOff()
    {
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setSelStart(0);
        QTest::keyClicks(doc->txtXSLT, " ");
        item("mnuUndo")->trigger();
        QVERIFY(item("mnuRedo")->isEnabled());
        moveOverBackground(); // a document is active: nothing changes
        QVERIFY(item("mnuSave")->isEnabled());
        doc->setCloseApproved(true);
        QVERIFY(doc->parentWidget()->close());
        QVERIFY(item("mnuSave")->isEnabled()); // still on until the pointer moves
        moveOverBackground();
        for (const char *name : {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuReplace", "mnuFind", "mnuSelectAll",
                                 "mnuPrint", "mnuSave", "mnuSaveAs", "mnuPreview", "mnuOpenXML"})
            QVERIFY2(!item(name)->isEnabled(), name);
        for (const char *key : {"Copy", "Cut", "Paste", "Undo", "Find", "Print", "Save", "Preview"})
            QVERIFY2(!main->toolbarButton(key)->isEnabled(), key);
        QVERIFY(item("mnuRedo")->isEnabled());
        QVERIFY(main->toolbarButton("Redo")->isEnabled());
    }

    void windowMenu_listsTheWindows()
    {
        fixture::newDocument(main);
        frmEditor *second = fixture::newDocument(main);
        QMenu *menu = item("mnuWindow")->menu();
        menu->popup(QPoint(0, 0));
        QStringList entries;
        QAction *first = nullptr;
        for (QAction *a : menu->actions()) {
            if (a->isCheckable()) {
                entries << QString(a->isChecked() ? "*" : "") + a->text();
                if (!first)
                    first = a;
            }
        }
        menu->hide();
        QCOMPARE(entries, QStringList({"&1 New XSLT File", "*&2 New XSLT File"}));
        first->trigger();
        QVERIFY(main->activeDocument() != second);
        // The list follows closing windows.
        main->activeDocument()->parentWidget()->close();
        menu->popup(QPoint(0, 0));
        int listed = 0;
        for (QAction *a : menu->actions())
            listed += a->isCheckable();
        menu->hide();
        QCOMPARE(listed, 1);
    }

    void windowArrangement_tilesTheOpenWindows()
    {
        frmEditor *a = fixture::newDocument(main);
        frmEditor *b = fixture::newDocument(main);
        const QRect area = main->mdiArea()->viewport()->rect();
        item("mnuTileH")->trigger();
        QCOMPARE(a->parentWidget()->width(), area.width());
        QVERIFY(a->parentWidget()->geometry().bottom() < b->parentWidget()->geometry().top());
        item("mnuTileV")->trigger();
        QCOMPARE(a->parentWidget()->height(), area.height());
        QVERIFY(a->parentWidget()->geometry().right() < b->parentWidget()->geometry().left());
    }

    void help_contentsAboutAndFeedback()
    {
        item("mnuHelpContents")->trigger();
        auto *help = main->findChild<QWidget *>("helpWindow");
        QVERIFY(help && help->isVisible());
        QCOMPARE(help->windowTitle(), QStringLiteral("Zendrik Help"));
        help->close();
        main->toolbarButtonClick("Help");
        QVERIFY(help->isVisible());
        item("mnuAbout")->trigger();
        QCOMPARE(fake->calls.last().kind, QStringLiteral("about"));
        QCOMPARE(fake->calls.last().title, QStringLiteral("About Zendrik"));
        QVERIFY(fake->calls.last().text.contains(main->panelText(1)));
        item("mnuFeedback")->trigger();
        QCOMPARE(browser->urls.size(), 1);
        QVERIFY(browser->urls.first().startsWith("mailto:"));
        QVERIFY(fake->messages().isEmpty());
    }

    void recentList_data()
    {
        QTest::addColumn<QStringList>("opened");
        QTest::addColumn<QStringList>("expected");
        QTest::addRow("letter case") << QStringList{"/A.XSL", "/a.xsl"} << QStringList{"/a.xsl"};
        QTest::addRow("five") << QStringList{"/1.xsl", "/2.xsl", "/3.xsl", "/4.xsl", "/5.xsl"}
                              << QStringList{"/5.xsl", "/4.xsl", "/3.xsl", "/2.xsl"};
        QTest::addRow("reopened") << QStringList{"/1.xsl", "/2.xsl", "/1.xsl"} << QStringList{"/1.xsl", "/2.xsl"};
    }
    void recentList()
    {
        QFETCH(QStringList, opened);
        QFETCH(QStringList, expected);
        for (const QString &name : opened) {
            const QString path = dir->path() + name;
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(kStylesheet);
            f.close();
            QVERIFY(main->openXSLT(path));
        }
        QStringList shown;
        for (const QString &p : main->mruList())
            shown << p.mid(dir->path().size());
        QCOMPARE(shown, expected);
    }

    void recentList_clickMovesToTopEvenWhenTheLoadFails()
    {
        fixture::writeSettings("MRUFiles", {{"0", "/gone/A.xsl"}, {"1", "/gone/B.xsl"}, {"2", "/gone/C.xsl"}, {"3", "/gone/D.xsl"}});
        delete main;
        main = new frmMDIMain;
        QCOMPARE(main->mruList(), QStringList({"/gone/A.xsl", "/gone/B.xsl", "/gone/C.xsl", "/gone/D.xsl"}));
        QAction *third = main->findChild<QAction *>("mnuMRU_2");
        QVERIFY(third);
        QCOMPARE(third->text(), QStringLiteral("/gone/C.xsl"));
        third->trigger();
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Parsing XSLT Document"));
        QCOMPARE(main->mruList(), QStringList({"/gone/C.xsl", "/gone/A.xsl", "/gone/B.xsl", "/gone/D.xsl"}));
        QVERIFY(documentWindows(main).isEmpty());
        delete main;
        main = new frmMDIMain;
        QCOMPARE(SettingsStore::read("MRUFiles", "0", ""), QStringLiteral("/gone/C.xsl"));
    }

    void recentList_clickOpensTheStylesheet()
    {
        const QString a = file("a.xsl");
        const QString b = file("b.xsl");
        QVERIFY(main->openXSLT(a));
        QVERIFY(main->openXSLT(b));
        main->findChild<QAction *>("mnuMRU_1")->trigger();
        QCOMPARE(main->activeDocument()->Caption(), a);
        QCOMPARE(main->mruList(), QStringList({a, b}));
        QCOMPARE(documentWindows(main).size(), 3);
    }
};

ZENDRIK_TEST_MAIN(TstCommands)
#include "tst_commands.moc"
