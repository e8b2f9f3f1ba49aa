#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QTest>
#include <QToolBar>
#include <memory>

using fixture::documentWindows;

class TstMainWindow : public QObject
{
    Q_OBJECT
    FakeDialogs *fake = nullptr;

    // Every action below the top-level menus, submenus included, in menu order. With
    // reachableOnly, the items of a disabled submenu are left out, as a user cannot get at them.
    static QList<QAction *> itemsBelow(QMenu *menu, bool reachableOnly = false)
    {
        QList<QAction *> out;
        for (QAction *a : menu->actions()) {
            out << a;
            if (a->menu() && (!reachableOnly || a->isEnabled()))
                out << itemsBelow(a->menu(), reachableOnly);
        }
        return out;
    }

private slots:
    void init()
    {
        fixture::clearSettings();
        fake = FakeDialogs::install();
    }
    void cleanup() { FakeDialogs::uninstall(); }

    void startup_firstRunShowsMainWindowAndNoError()
    {
        frmMDIMain main;
        QCOMPARE(main.windowTitle(), QStringLiteral("Zendrik"));
        QCOMPARE(main.panelText(1),
                 frmMDIMain::versionText(ZENDRIK_VERSION_MAJOR, ZENDRIK_VERSION_MINOR, ZENDRIK_VERSION_PATCH));
        QVERIFY(QRegularExpression("^v\\d+\\.\\d+\\.\\d+$").match(main.panelText(1)).hasMatch());
        QCOMPARE(main.panelText(2), QStringLiteral("CAPS"));
        QCOMPARE(main.panelText(3), QStringLiteral("NUM"));
        QVERIFY(QRegularExpression("^\\d\\d/\\d\\d/\\d{4} \\d{1,2}:\\d\\d \\S+$").match(main.panelText(4)).hasMatch());
        QVERIFY(!main.blnStarting);
        QCOMPARE(main.intLastMRU, -1);
        QVERIFY(main.documents().isEmpty());
        QVERIFY(main.mdiArea()->subWindowList().isEmpty());
        QVERIFY(!(main.windowState() & Qt::WindowMaximized));
        QVERIFY(main.helpFile().endsWith("/ZendrikHelp.html"));
        // A first run with nothing stored says nothing, and a New window neither.
        QVERIFY(fixture::newDocument(&main));
        QVERIFY2(fake->calls.isEmpty(), qPrintable(fake->lastMessage().text));
    }

    void versionText_plainDecimals()
    {
        QCOMPARE(frmMDIMain::versionText(2, 5, 3), QStringLiteral("v2.5.3"));
        QCOMPARE(frmMDIMain::versionText(0, 1, 12), QStringLiteral("v0.1.12"));
    }

    void startTimeText_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("expected");
        QTest::addRow("morning") << QDateTime(QDate(2026, 3, 7), QTime(9, 5)) << "03/07/2026 9:05 AM";
        QTest::addRow("half past midnight") << QDateTime(QDate(2026, 12, 31), QTime(0, 30)) << "12/31/2026 12:30 AM";
        QTest::addRow("noon") << QDateTime(QDate(2026, 1, 1), QTime(12, 0)) << "01/01/2026 12:00 PM";
        QTest::addRow("evening") << QDateTime(QDate(2026, 10, 11), QTime(23, 59)) << "10/11/2026 11:59 PM";
    }
    void startTimeText()
    {
        QFETCH(QDateTime, when);
        QFETCH(QString, expected);
        QCOMPARE(frmMDIMain::startTimeText(when, QLocale(QLocale::English, QLocale::UnitedStates)), expected);
    }

    void startupMode_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("maximized");
        QTest::addRow("upper") << "MAXIMIZED" << true;
        QTest::addRow("lower") << "maximized" << true;
        QTest::addRow("mixed") << "Maximized" << true;
        QTest::addRow("normal") << "Normal" << false;
        QTest::addRow("empty") << "" << false;
        QTest::addRow("other") << "Minimized" << false;
    }
    void startupMode()
    {
        QFETCH(QString, stored);
        QFETCH(bool, maximized);
        fixture::writeSettings("Options", {{"StartupMode", stored}});
        frmMDIMain main;
        QCOMPARE(bool(main.windowState() & Qt::WindowMaximized), maximized);
        QVERIFY(fake->calls.isEmpty());
    }

    void menus_captionsShortcutsAndOrder()
    {
        frmMDIMain main;
        QStringList tops;
        for (QAction *a : main.menuBar()->actions())
            tops << a->objectName() + "=" + a->text();
        QCOMPARE(tops, QStringList({"mnuFile=&File", "mnuEdit=&Edit", "mnuView=&View", "mnuTools=&Tools",
                                    "mnuWindow=&Window", "mnuHelp=&Help"}));
        QStringList items;
        for (QAction *top : main.menuBar()->actions())
            for (QAction *a : itemsBelow(top->menu()))
                items << a->objectName() + "|" + (a->isSeparator() ? "-" : a->text()) + "|"
                        + a->shortcut().toString();
        const QStringList expected = {
            "mnuNew|&New...|Ctrl+N", "mnuOpen|&Open XSLT|", "mnuOpenXSLTFile|from &File...|Ctrl+O",
            "mnuOpenXSLTURL|from &URL...|", "mnuOpenXML|Open XM&L|", "mnuOpenXMLFile|from &File...|",
            "mnuOpenXMLURL|from &URL...|", "sep1|-|", "mnuSave|Save...|Ctrl+S", "mnuSaveAs|Save &As...|", "sep2|-|",
            "mnuPrint|&Print...|Ctrl+P", "sep3|-|", "mnuMRU|MRU File List|", "sep7|-|", "mnuExit|E&xit|",
            "mnuUndo|&Undo|Ctrl+Z", "mnuRedo|&Redo|", "mnuCut|Cu&t|Ctrl+X", "mnuCopy|&Copy|Ctrl+C",
            "mnuPaste|&Paste|Ctrl+V", "mnuSelectAll|Select &All|Ctrl+A", "sep4|-|", "mnuFind|&Find|Ctrl+F",
            "mnuReplace|R&eplace...|Ctrl+H", "mnuPreview|&Preview HTML In Browser|", "mnuLivePreview|&Live Preview|Ctrl+Shift+P",
            "mnuOptions|&Options...|",
            "mnuTileH|Tile &Horizontially|", "mnuTileV|Tile &Vertically|", "mnuCascade|&Cascade|",
            "mnuArrange|&Arrange Icons|", "mnuHelpContents|&Contents|F1", "sep6|-|", "mnuFeedback|&Feedback...|",
            "sep8|-|", "mnuAbout|&About Zendrik|"};
        QCOMPARE(items, expected);
        QVERIFY(!main.menuItem("mnuMRU")->isVisible());
    }

    void menus_startupEnabledSet()
    {
        frmMDIMain main;
        QStringList enabled;
        for (QAction *top : main.menuBar()->actions())
            for (QAction *a : itemsBelow(top->menu(), true))
                if (!a->isSeparator() && a->isEnabled() && a->isVisible())
                    enabled << a->objectName();
        QCOMPARE(enabled, QStringList({"mnuNew", "mnuOpen", "mnuOpenXSLTFile", "mnuOpenXSLTURL", "mnuExit",
                                       "mnuLivePreview", "mnuOptions", "mnuTileH", "mnuTileV", "mnuCascade", "mnuArrange",
                                       "mnuHelpContents", "mnuFeedback", "mnuAbout"}));
    }

    void menus_imagesBesideTheirItems()
    {
        frmMDIMain main;
        for (const char *name : {"mnuNew", "mnuOpen", "mnuSave", "mnuPrint", "mnuUndo", "mnuRedo", "mnuCut", "mnuCopy",
                                 "mnuPaste", "mnuFind", "mnuHelpContents"})
            QVERIFY2(!main.menuItem(name)->icon().isNull(), name);
        QVERIFY(main.menuItem("mnuSaveAs")->icon().isNull());
    }

    void toolbar_entries()
    {
        frmMDIMain main;
        QCOMPARE(main.buttonCount(), 16);
        const QList<QAction *> entries = main.findChild<QToolBar *>("Toolbar1")->actions();
        const QStringList keys = {"New", "Open", "Save", "Print", "", "Cut", "Copy", "Paste",
                                  "Find", "", "Undo", "Redo", "", "Preview", "", "Help"};
        const QStringList tips = {"New XSLT File", "Open XSLT File", "Save XSLT File", "Print", "", "Cut", "Copy", "Paste",
                                  "Find", "", "Undo", "Redo", "", "Preview HTML In Browser", "", "Help"};
        for (int i = 0; i < 16; ++i) {
            QAction *b = entries[i];
            QCOMPARE(b->property("Key").toString(), keys[i]);
            QCOMPARE(b->isSeparator(), keys[i].isEmpty());
            if (!b->isSeparator()) {
                QCOMPARE(b->toolTip(), tips[i]);
                QVERIFY2(!b->icon().isNull(), qPrintable(keys[i]));
            }
        }
        QVERIFY(main.toolbarButton("") == nullptr && main.toolbarButton("Nothing") == nullptr);
    }

    void newDocument_opensTemplateWindowAndEnablesCommands()
    {
        frmMDIMain main;
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        frmEditor *doc = fixture::newDocument(&main);
        QVERIFY(doc);
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File"));
        QCOMPARE(main.mdiArea()->subWindowList().first()->windowTitle(), QStringLiteral("New XSLT File"));
        QCOMPARE(doc->frmParent, &main);
        QCOMPARE(main.activeDocument(), doc);
        for (const char *name : {"mnuOpenXML", "mnuSave", "mnuSaveAs", "mnuPrint", "mnuPreview"})
            QVERIFY2(main.menuItem(name)->isEnabled(), name);
        for (const char *key : {"Save", "Print", "Preview"})
            QVERIFY2(main.toolbarButton(key)->isEnabled(), key);
        // The edit commands follow the new window's stylesheet pane.
        QVERIFY(main.menuItem("mnuFind")->isEnabled());
        QVERIFY(main.menuItem("mnuSelectAll")->isEnabled());
        QVERIFY(!main.menuItem("mnuUndo")->isEnabled());
        QVERIFY(!main.menuItem("mnuCopy")->isEnabled());
    }

    void newDocument_twiceGivesTwoIndependentWindows()
    {
        frmMDIMain main;
        frmEditor *a = fixture::newDocument(&main);
        frmEditor *b = fixture::newDocument(&main);
        QVERIFY(a && b && a != b);
        QCOMPARE(a->Caption(), QStringLiteral("New XSLT File"));
        QCOMPARE(b->Caption(), QStringLiteral("New XSLT File"));
        QCOMPARE(a->intArrayElem, short(0));
        QCOMPARE(b->intArrayElem, short(1));
        a->txtXSLT->setSelStart(0);
        QTest::keyClicks(a->txtXSLT, "<!-- a -->");
        QCOMPARE(b->txtXSLT->Text(), frmEditor::stylesheetTemplate());
        QVERIFY(a->Caption().endsWith('*'));
        QVERIFY(!b->Caption().endsWith('*'));
    }

    void registry_closingKeepsPositionsGapFree()
    {
        frmMDIMain main;
        frmEditor *a = fixture::newDocument(&main);
        frmEditor *b = fixture::newDocument(&main);
        frmEditor *c = fixture::newDocument(&main);
        QVERIFY(b->parentWidget()->close());
        QCOMPARE(main.documents().size(), 2);
        QCOMPARE(main.documents()[0].data(), a);
        QCOMPARE(main.documents()[1].data(), c);
        QCOMPARE(c->intArrayElem, short(1));
        // A position that matches nothing removes nothing.
        main.removeFormFromArray(5);
        main.removeFormFromArray(-1);
        QCOMPARE(main.documents().size(), 2);
        QVERIFY(a->parentWidget()->close());
        QVERIFY(c->parentWidget()->close());
        QVERIFY(main.documents().isEmpty());
        frmEditor *d = fixture::newDocument(&main);
        QCOMPARE(d->intArrayElem, short(0));
        QVERIFY(fake->calls.isEmpty());
    }

    void exit_twoChangedDocuments_noThenCancelKeepsEverything()
    {
        auto *main = new frmMDIMain;
        frmEditor *a = fixture::newDocument(main);
        frmEditor *b = fixture::newDocument(main);
        QTest::keyClicks(a->txtXSLT, " ");
        QTest::keyClicks(b->txtXSLT, " ");
        fake->answers << msg::No << msg::Cancel;
        QVERIFY(!main->close());
        QCOMPARE(fake->messages().size(), 2);
        QCOMPARE(documentWindows(main).size(), 2);
        QVERIFY(a->blnChanged() && b->blnChanged());
        QVERIFY(a->Caption().endsWith('*'));
        // The first one was not saved and asks again at the next close.
        fake->calls.clear();
        fake->answers << msg::No << msg::No;
        QVERIFY(main->close());
        QCOMPARE(fake->messages().size(), 2);
        QCOMPARE(fake->messages()[0].text, QStringLiteral("Would you like to save your changes New XSLT File?"));
        QVERIFY(documentWindows(main).isEmpty());
        delete main;
    }

    void exit_viaMenuRunsTheSameCloseQuery()
    {
        frmMDIMain main;
        frmEditor *a = fixture::newDocument(&main);
        QTest::keyClicks(a->txtXSLT, " ");
        fake->answers << msg::Cancel;
        main.menuItem("mnuExit")->trigger();
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(documentWindows(&main).size(), 1);
        QVERIFY(!fixture::settingsFileExists());
    }

    void unload_writesOnlyTheRecentList()
    {
        {
            frmMDIMain main;
            fixture::newDocument(&main);
            QVERIFY(main.close());
        }
        // An empty list writes nothing at all.
        QVERIFY(!fixture::settingsFileExists());

        fixture::writeSettings("MRUFiles", {{"0", "/a/one.xsl"}, {"1", "/a/TWO.xsl"}, {"3", "/a/four.xsl"}});
        {
            frmMDIMain main;
            QCOMPARE(main.intLastMRU, 1);
            QCOMPARE(main.mruList(), QStringList({"/a/one.xsl", "/a/TWO.xsl"}));
            QVERIFY(main.close());
        }
        const QString text = fixture::settingsFileText();
        QVERIFY(!text.contains("[Options]"));
        QCOMPARE(SettingsStoreRead("0"), QStringLiteral("/a/one.xsl"));
        QCOMPARE(SettingsStoreRead("1"), QStringLiteral("/a/TWO.xsl"));
        QCOMPARE(SettingsStoreRead("3"), QStringLiteral("/a/four.xsl"));
    }

    void recentList_loadKeepsStoredOrderAndDropsDuplicates()
    {
        fixture::writeSettings("MRUFiles", {{"0", "/x/A.xsl"}, {"1", "/x/b.xsl"}, {"2", "/x/a.XSL"},
                                            {"3", "/x/c.xsl"}, {"4", "/x/d.xsl"}, {"5", "/x/e.xsl"}});
        frmMDIMain main;
        QCOMPARE(main.mruList(), QStringList({"/x/A.xsl", "/x/b.xsl", "/x/c.xsl", "/x/d.xsl"}));
        QStringList fileMenu;
        for (QAction *a : main.menuItem("mnuFile")->menu()->actions())
            if (a->isVisible())
                fileMenu << (a->isSeparator() ? "-" : a->text());
        QCOMPARE(fileMenu.mid(fileMenu.indexOf("&Print...") + 1, 6),
                 QStringList({"-", "/x/A.xsl", "/x/b.xsl", "/x/c.xsl", "/x/d.xsl", "-"}));
    }

private:
    static QString SettingsStoreRead(const QString &key);
};

#include "options/settingsstore.h"
QString TstMainWindow::SettingsStoreRead(const QString &key)
{
    return SettingsStore::read("MRUFiles", key, QString());
}

ZENDRIK_TEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
