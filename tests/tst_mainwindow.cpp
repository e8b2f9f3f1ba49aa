// The main window: its commands by menu, key and toolbar button, its windows, the recent files
// and the find and replace dialog with its search engine.
#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "findreplace/findreplacehost.h"
#include "findreplace/searchengine.h"
#include "options/settingsstore.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QtTest>
#include <QtWidgets>

using fixture::documentWindows;
using namespace findreplace;

namespace {
const QByteArray kStylesheet = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                               "<xsl:template match=\"/\"><out/></xsl:template></xsl:stylesheet>";
const char *const kEditItems[] = {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuRedo", "mnuFind", "mnuReplace", "mnuSelectAll"};
const char *const kEditButtons[] = {"Copy", "Cut", "Paste", "Undo", "Redo", "Find"};

// A row of tests/data/commands.txt.
struct CommandCase {
    QStringList path;
    QString key, tip, effect;
    bool atStart;
};
const QString kTitle = QStringLiteral("Find/Replace");
QString replaced(int n) { return QStringLiteral("Text has been searched. %1 replacements were made.").arg(n); }
// Ahead of the matches: characters of one to four bytes in UTF-8, one of two UTF-16 units.
const QString kWide = QStringLiteral("é→漢😀 ");
// A row of tests/data/find-replace.txt.
struct Case {
    QString text, find, with;
    int flags;
    QString sel;
    QStringList steps;
    QString after;
};
QString selection(SyntaxBox *box) { return QStringLiteral("%1+%2").arg(box->SelStart()).arg(box->SelLength()); }
void select(SyntaxBox *box, const QString &sel)
{
    box->setSelStart(sel.section('+', 0, 0).toInt());
    box->setSelLength(sel.section('+', 1, 1).toInt());
}
} // namespace
Q_DECLARE_METATYPE(CommandCase)
Q_DECLARE_METATYPE(Case)


struct TimeCase {
    QDateTime when;
    QString expected;
};
Q_DECLARE_METATYPE(TimeCase)

struct ModeCase {
    QString stored;
    bool maximized;
};
Q_DECLARE_METATYPE(ModeCase)

struct RecentListCase {
    QStringList opened;
    QStringList expected;
};
Q_DECLARE_METATYPE(RecentListCase)

class TstMainWindow : public QObject, public fixture::Session
{
    Q_OBJECT
    QTemporaryDir *dir = nullptr;
    QPointer<frmEditor> m_doc;
    qsizetype m_callsBefore = 0;
    QStringList m_modal;

    QString file(const QString &name)
    {
        testenv::writeFile(dir->filePath(name), kStylesheet);
        return dir->filePath(name);
    }
    QAction *item(const char *name) const { return main->menuItem(QString::fromLatin1(name)); }
    // The menu item reached through these captions, as a user reads them in the menus.
    QAction *byCaption(const QStringList &path) const
    {
        QList<QAction *> level = main->menuBar()->actions();
        QAction *found = nullptr;
        for (const QString &caption : path) {
            const auto it = std::find_if(level.cbegin(), level.cend(), [&](QAction *a) { return a->text() == caption; });
            if (it == level.cend())
                return nullptr;
            found = *it;
            level = found->menu() ? found->menu()->actions() : QList<QAction *>();
        }
        return found;
    }
    // Whether every item on the way is enabled, so that a user can get at the last one.
    bool reachable(const QStringList &path) const
    {
        for (qsizetype i = 1; i <= path.size(); ++i)
            if (!byCaption(path.mid(0, i))->isEnabled())
                return false;
        return true;
    }
    QAction *byTooltip(const QString &tip) const
    {
        for (QAction *a : main->findChild<QToolBar *>("Toolbar1")->actions())
            if (!a->isSeparator() && a->toolTip() == tip)
                return a;
        return nullptr;
    }
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

    // A fresh main window with the document tests/data/commands.txt describes.
    void prepareDocument()
    {
        stop();
        QVERIFY(start());
        main->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main));
        m_doc = fixture::newDocument(main);
        m_doc->txtXSLT->setText("<a></a>");
        m_doc->txtXSLT->setSelStart(3);
        m_doc->txtXSLT->setSelText("text");
        m_doc->txtXSLT->setSelStart(3);
        m_doc->txtXSLT->setSelLength(4);
        m_doc->setEditState();
        QApplication::clipboard()->setText("XY");
        m_callsBefore = fake->calls.size();
        m_modal.clear();
    }
    // What the user sees changed since prepareDocument(): dialogs asked, windows opened, the
    // stylesheet's text and selection, the clipboard, what went to the browser.
    QString seen() const
    {
        QStringList out;
        for (const FakeDialogs::Call &c : fake->calls.mid(m_callsBefore)) {
            if (c.kind == "message" || c.kind == "about")
                out << c.kind + " " + c.title;
            else
                out << (c.kind + " " + c.text + (c.title.isEmpty() ? "" : "|" + c.title)
                        + (c.defaultText.isEmpty() ? "" : "|" + c.defaultText)).trimmed();
        }
        out << m_modal;
        if (documentWindows(main).size() != 1)
            out << QStringLiteral("windows %1").arg(documentWindows(main).size());
        if (m_doc && m_doc->txtXSLT->Text() != "<a>text</a>")
            out << "text " + m_doc->txtXSLT->Text();
        if (m_doc && (m_doc->txtXSLT->SelStart() != 3 || m_doc->txtXSLT->SelLength() != 4))
            out << QStringLiteral("sel %1+%2").arg(m_doc->txtXSLT->SelStart()).arg(m_doc->txtXSLT->SelLength());
        if (QApplication::clipboard()->text() != "XY")
            out << "clipboard " + QApplication::clipboard()->text();
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w != main && w->isVisible() && !w->windowTitle().isEmpty())
                out << "window " + w->windowTitle();
        if (m_doc && m_doc->livePreview())
            out << "live preview";
        for (const FakeBrowser::Opened &page : browser->opened)
            out << "browser " + QString::fromUtf8(page.contents).trimmed();
        for (const QString &url : browser->urls)
            out << "browser " + url;
        return out.join("; ");
    }
    // Runs the command through action (the menu item or the toolbar button's action) or its key;
    // a modal dialog it opens is noted and closed.
    QString perform(const std::function<void()> &how)
    {
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [this] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                m_modal << "modal " + modal->windowTitle();
                modal->close();
            }
        });
        closer.start(10);
        how();
        return seen();
    }

    // The visible find or replace dialog; nullptr when there is none or more than one.
    static QDialog *dialog()
    {
        QList<QDialog *> found;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("dlgFindReplace") && w->isVisible())
                found << static_cast<QDialog *>(w);
        return found.size() == 1 ? found.first() : nullptr;
    }
    // A control of the dialog by the caption a user reads: a button's or a box's, or that of the
    // label naming a text field.
    template<class T = QWidget>
    static T *part(const QString &caption)
    {
        for (QWidget *w : dialog() ? dialog()->findChildren<QWidget *>() : QList<QWidget *>()) {
            if (auto *label = qobject_cast<QLabel *>(w); label && label->text() == caption)
                return qobject_cast<T *>(label->buddy());
            if (auto *button = qobject_cast<QAbstractButton *>(w); button && button->text() == caption && button->isVisible())
                return qobject_cast<T *>(w);
        }
        return nullptr;
    }
    static void type(const char *caption, const QString &text)
    {
        QVERIFY2(part<QLineEdit>(caption), caption);
        part<QLineEdit>(caption)->clear();
        QTest::keyClicks(part<QLineEdit>(caption), text);
    }
    static void click(const char *caption)
    {
        QVERIFY2(part(caption), caption);
        QTest::mouseClick(part(caption), Qt::LeftButton);
    }
    // What a command told the user: " none" for "No matches found", " n" for the count of
    // replacements, anything else in full.
    static QString said(const QList<Notice> &notices)
    {
        QString out;
        for (const Notice &m : notices) {
            const QString n = m.text.section(' ', 4, 4);
            const bool none = m.style == 48 && m.text == QLatin1String("No matches found");
            out += " " + (none ? "none" : m.style == 64 && m.text == replaced(n.toInt()) ? n : m.text);
        }
        return out;
    }

    // The same for the message boxes the dialog showed from the index-th on.
    QString messagesSince(qsizetype index) const
    {
        QList<Notice> shown;
        for (const FakeDialogs::Call &m : fake->messages().mid(index))
            shown << (m.title == kTitle ? Notice{m.text, m.style} : Notice{m.title, 0});
        return said(shown);
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
        QTRY_VERIFY(!dialog());
    }

    void startup_firstRunShowsTheMainWindowAndSaysNothing()
    {
        QCOMPARE(main->windowTitle(), QStringLiteral("Zendrik"));
        QVERIFY(QRegularExpression("^v\\d+\\.\\d+\\.\\d+$").match(main->panelText(1)).hasMatch());
        QCOMPARE(main->panelText(2) + main->panelText(3), QStringLiteral("CAPSNUM"));
        QVERIFY(QRegularExpression("^\\d\\d/\\d\\d/\\d{4} \\d{1,2}:\\d\\d \\S+$").match(main->panelText(4)).hasMatch());
        QVERIFY(main->documents().isEmpty() && main->mdiArea()->subWindowList().isEmpty());
        QVERIFY(!(main->windowState() & Qt::WindowMaximized));
        QVERIFY(fixture::newDocument(main));
        QVERIFY(!main->findChild<QAction *>("mnuMRU")->isVisible());
        QVERIFY(main->close());
        // A first run with nothing stored says nothing and, with no recent file, writes nothing.
        QVERIFY2(fake->calls.isEmpty(), qPrintable(fake->lastMessage().text));
        QVERIFY(!fixture::settingsFileExists());
        item("mnuAbout")->trigger(); // names the version
        QVERIFY(fake->calls.last().text.contains(main->panelText(1)));
    }

    void startTimeText_data()
    {
        QTest::addColumn<TimeCase>("c");
        QTest::addRow("morning") << TimeCase{QDateTime(QDate(2026, 3, 7), QTime(9, 5)), "03/07/2026 9:05 AM"};
        QTest::addRow("half past midnight") << TimeCase{QDateTime(QDate(2026, 12, 31), QTime(0, 30)), "12/31/2026 12:30 AM"};
        QTest::addRow("noon") << TimeCase{QDateTime(QDate(2026, 1, 1), QTime(12, 0)), "01/01/2026 12:00 PM"};
    }
    void startTimeText()
    {
        QFETCH(TimeCase, c);
        auto [when, expected] = c;
        QCOMPARE(frmMDIMain::startTimeText(when, QLocale(QLocale::English, QLocale::UnitedStates)), expected);
    }

    void startupMode_data()
    {
        QTest::addColumn<ModeCase>("c");
for (const char *upper : {"MAXIMIZED", "maximized", "Maximized"})
            QTest::addRow("%s", upper) << ModeCase{upper, true};
        for (const char *other : {"Normal", "", "Minimized"})
            QTest::addRow("'%s'", other) << ModeCase{other, false};
    }
    void startupMode()
    {
        QFETCH(ModeCase, c);
        auto [stored, maximized] = c;
        fixture::writeSettings("Options", {{"StartupMode", stored}});
        frmMDIMain other;
        QCOMPARE(bool(other.windowState() & Qt::WindowMaximized), maximized);
        QVERIFY(fake->calls.isEmpty());
    }

    void commands_byCaptionAndKey_data()
    {
        QTest::addColumn<CommandCase>("c");
        for (const QStringList &row : testenv::table(TEST_DATA_DIR "/commands.txt"))
            QTest::addRow("%s", qPrintable(row[0])) << CommandCase{row[0].split(" > "), row[1], row[2], row[3], row[4] == "yes"};
    }
    void commands_byCaptionAndKey()
    {
        QFETCH(CommandCase, c);
        QVERIFY2(byCaption(c.path), "no such menu item");
        QCOMPARE(reachable(c.path), c.atStart);
        prepareDocument();
        QAction *action = byCaption(c.path);
        QCOMPARE(reachable(c.path), c.effect != "off");
        QCOMPARE(action->shortcut(), QKeySequence(c.key)); // as the menu shows it beside the caption
        if (!c.tip.isEmpty()) {
            QCOMPARE(byTooltip(c.tip), action); // the button runs the same command
            QVERIFY(!action->icon().isNull());
        }
        if (c.effect == "off")
            return;
        QCOMPARE(perform([&] { action->trigger(); }), c.effect);
        if (!c.key.isEmpty()) {
            prepareDocument();
            QCOMPARE(perform([&] { QTest::keySequence(main, QKeySequence(c.key)); }), c.effect);
        }
        if (!c.tip.isEmpty()) {
            prepareDocument();
            QToolBar *toolbar = main->findChild<QToolBar *>("Toolbar1");
            QCOMPARE(perform([&] { QTest::mouseClick(toolbar->widgetForAction(byTooltip(c.tip)), Qt::LeftButton); }), c.effect);
        }
    }

    void exit_asksEachChangedDocumentAndCancelKeepsEverything()
    {
        frmEditor *a = fixture::newDocument(main);
        frmEditor *b = fixture::newDocument(main);
        QTest::keyClicks(a->txtXSLT, " ");
        QTest::keyClicks(b->txtXSLT, " ");
        fake->answers << msg::No << msg::Cancel;
        item("mnuExit")->trigger();
        QCOMPARE(fake->messages().size(), 2);
        QCOMPARE(documentWindows(main).size(), 2);
        QVERIFY(a->Caption().endsWith('*') && b->Caption().endsWith('*'));
        // The first one was not saved and asks again at the next close.
        fake->answers << msg::No << msg::No;
        QVERIFY(main->close());
        QCOMPARE(fake->messages().size(), 4);
        QCOMPARE(fake->messages()[2].text, QStringLiteral("Would you like to save your changes New XSLT File?"));
        QVERIFY(documentWindows(main).isEmpty());
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
        QCOMPARE(editState(), QStringLiteral("00101111|001011"));
        // The XML page has its own history and selection; the preview page has neither.
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
        QCOMPARE(doc->txtXSLT->SelLength(), 0);
        main->toolbarButtonClick("Cut");
        main->toolbarButtonClick("Paste");
        main->toolbarButtonClick("Paste");
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>xml</a><a>xml</a>"));
        // Paste is held back while Ctrl is down in a document: the editor pastes Ctrl+V itself.
        QTest::keyPress(doc->txtXML, Qt::Key_Control, Qt::ControlModifier);
        item("mnuPaste")->trigger();
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>xml</a><a>xml</a>"));
        QTest::keyRelease(doc->txtXML, Qt::Key_Control);
        QVERIFY(!main->blnControlKey);
        // Also when it went up while another program had the focus.
        QTest::keyPress(doc->txtXSLT, Qt::Key_Control, Qt::ControlModifier);
        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(!main->blnControlKey);
        main->toolbarButtonClick("Undo");
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>xml</a>"));
        QVERIFY(!doc->blnChanged());
        // Undo in the stylesheet parses again.
        doc->SSTab->setCurrentIndex(0);
        doc->txtXSLT->setSelStart(0);
        QTest::keyClicks(doc->txtXSLT, "<");
        QVERIFY(doc->panelHasIcon());
        item("mnuUndo")->trigger();
        QVERIFY(!doc->panelHasIcon());
    }

    void print_eachCopyIsAJobOfItsOwn()
    {
        fixture::newDocument(main);
        const QString pdf = dir->filePath("out.pdf");
        fake->printAnswers << true;
        fake->printToFile = pdf;
        fake->printCopies = 3;
        item("mnuPrint")->trigger();
        QVERIFY(fake->messages().isEmpty());
        for (const QString &f : {pdf, pdf + ".2", pdf + ".3"}) {
            QFile out(f);
            QVERIFY2(out.open(QIODevice::ReadOnly) && out.readAll().startsWith("%PDF"), qPrintable(f));
        }
        QVERIFY(!QFile::exists(pdf + ".4"));
    }

    void pointerOverBackground_switchesDocumentCommandsOff()
    {
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setSelStart(0);
        QTest::keyClicks(doc->txtXSLT, " ");
        item("mnuUndo")->trigger();
        moveOverBackground(); // a document is active: nothing changes
        QVERIFY(item("mnuSave")->isEnabled());
        doc->setCloseApproved(true);
        QVERIFY(doc->parentWidget()->close());
        // Still on until the pointer moves, and with no document they do nothing.
        for (const char *name : {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuRedo", "mnuSelectAll", "mnuFind", "mnuReplace",
                                 "mnuOpenXMLFile", "mnuOpenXMLURL", "mnuPrint", "mnuSave", "mnuSaveAs", "mnuPreview",
                                 "mnuTileH", "mnuTileV", "mnuCascade", "mnuArrange"})
            item(name)->trigger();
        QVERIFY(fake->calls.isEmpty() && documentWindows(main).isEmpty());
        QVERIFY(item("mnuSave")->isEnabled());
        moveOverBackground();
        for (const char *name : {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuSelectAll", "mnuFind", "mnuReplace",
                                 "mnuOpenXML", "mnuPrint", "mnuSave", "mnuSaveAs", "mnuPreview"})
            QVERIFY2(!item(name)->isEnabled(), name);
        for (const char *key : {"Copy", "Cut", "Paste", "Undo", "Find", "Print", "Save", "Preview"})
            QVERIFY2(!main->toolbarButton(key)->isEnabled(), key);
        QVERIFY(item("mnuRedo")->isEnabled() && main->toolbarButton("Redo")->isEnabled());
    }

    void windowMenu_listsAndActivatesTheWindows()
    {
        frmEditor *a = fixture::newDocument(main), *b = fixture::newDocument(main), *c = fixture::newDocument(main);
        QMenu *menu = byCaption({"&Window"})->menu();
        const auto entries = [menu] {
            menu->popup(QPoint(0, 0));
            QStringList out;
            for (QAction *a : menu->actions())
                if (a->isCheckable())
                    out << QString(a->isChecked() ? "*" : "") + a->text();
            menu->hide();
            return out;
        };
        QCOMPARE(entries(), QStringList({"&1 New XSLT File", "&2 New XSLT File", "*&3 New XSLT File"}));
        // Closing one leaves no gap.
        QVERIFY(b->parentWidget()->close());
        QCOMPARE(main->documents(), (QList<QPointer<frmEditor>>{a, c}));
        QCOMPARE(entries(), QStringList({"&1 New XSLT File", "*&2 New XSLT File"}));
        byCaption({"&Window", "&1 New XSLT File"})->trigger();
        QCOMPARE(main->activeDocument(), a);
        QVERIFY(a->parentWidget()->close() && c->parentWidget()->close() && main->documents().isEmpty());
        QCOMPARE(fixture::newDocument(main)->intArrayElem, short(0));
        QCOMPARE(entries(), QStringList({"*&1 New XSLT File"}));
        QVERIFY(fake->calls.isEmpty());
    }

    void recentList_data()
    {
        QTest::addColumn<RecentListCase>("c");
        QTest::addRow("letter case") << RecentListCase{QStringList{"/A.XSL", "/a.xsl"}, QStringList{"/a.xsl"}};
        QTest::addRow("five") << RecentListCase{QStringList{"/1.xsl", "/2.xsl", "/3.xsl", "/4.xsl", "/5.xsl"}, QStringList{"/5.xsl", "/4.xsl", "/3.xsl", "/2.xsl"}};
        QTest::addRow("reopened") << RecentListCase{QStringList{"/1.xsl", "/2.xsl", "/1.xsl"}, QStringList{"/1.xsl", "/2.xsl"}};
    }
    void recentList()
    {
        QFETCH(RecentListCase, c);
        auto [opened, expected] = c;
        for (const QString &name : opened) { // the same file again opens another window
            fake->fileNames << file(name.mid(1));
            item("mnuOpenXSLTFile")->trigger();
        }
        QCOMPARE(documentWindows(main).size(), opened.size());
        QVERIFY(item("mnuSave")->isEnabled() && main->toolbarButton("Save")->isEnabled());
        QStringList shown, stored;
        for (const QString &p : main->mruList())
            shown << p.mid(dir->path().size());
        QCOMPARE(shown, expected);
        // Written when the program ends, and nothing else.
        QVERIFY(main->close());
        delete main;
        main = new frmMDIMain;
        for (int i = 0; i < expected.size(); ++i)
            stored << SettingsStore::read("MRUFiles", QString::number(i), QString()).mid(dir->path().size());
        QCOMPARE(stored, expected);
        QVERIFY(!fixture::settingsFileText().contains("[Options]"));
    }

    // A stored list shows in the File menu without repeats, four at most; a click opens the file
    // and moves it to the top, also when the load fails.
    void recentList_storedShowsInTheFileMenuAndOpensOnAClick()
    {
        const QString a = file("a.xsl");
        fixture::writeSettings("MRUFiles", {{"0", "/x/A.xsl"}, {"1", a}, {"2", "/x/a.XSL"},
                                            {"3", "/gone/c.xsl"}, {"4", "/x/d.xsl"}, {"5", "/x/e.xsl"}});
        delete main;
        main = new frmMDIMain;
        QStringList fileMenu;
        for (QAction *entry : byCaption({"&File"})->menu()->actions())
            if (entry->isVisible())
                fileMenu << (entry->isSeparator() ? "-" : entry->text());
        QCOMPARE(fileMenu.mid(fileMenu.indexOf("&Print...") + 1, 6), QStringList({"-", "/x/A.xsl", a, "/gone/c.xsl", "/x/d.xsl", "-"}));
        byCaption({"&File", "/gone/c.xsl"})->trigger();
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Parsing XSLT Document"));
        QVERIFY(documentWindows(main).isEmpty());
        byCaption({"&File", a})->trigger();
        QCOMPARE(documentWindows(main).size(), 1);
        QCOMPARE(documentWindows(main).first()->Caption(), a);
        QCOMPARE(main->mruList(), QStringList({a, "/gone/c.xsl", "/x/A.xsl", "/x/d.xsl"}));
    }

    // The same command once per step; after each step the selection and the messages shown.
    void engine_data()
    {
        QTest::addColumn<Case>("c");
        const QHash<QString, int> flags{{"next", FindNext}, {"down", Down}, {"word", WholeWord}, {"case", MatchCase},
                                        {"replace", Replace}, {"all", ReplaceAll}};
        for (const QStringList &row : testenv::table(TEST_DATA_DIR "/find-replace.txt")) {
            int flag = 0;
            for (const QString &word : row[4].split(' '))
                flag |= flags.value(word, 1 << 30);
            QTest::addRow("%s", qPrintable(row[0]))
                << Case{row[1], row[2], row[3], flag, row[5], row[6].split("; "), row[7]};
        }
    }
    void engine()
    {
        QFETCH(Case, c);
        SyntaxBox box;
        box.setText(c.text);
        select(&box, c.sel);
        int changes = 0;
        connect(&box, &SyntaxBox::changed, this, [&changes] { ++changes; });
        QStringList seen;
        for (qsizetype i = 0; i < c.steps.size(); ++i) {
            const QList<Notice> notices = onFindReplace(&box, c.flags, c.find, c.with);
            seen << selection(&box) + said(notices);
        }
        QCOMPARE(seen, c.steps);
        QCOMPARE(box.Text(), c.after == "(unchanged)" ? c.text : c.after);
        if (hasFlag(ReplaceAll, c.flags)) { // one change and one undo step
            QCOMPARE(changes, box.Text() == c.text ? 0 : 1);
            box.Undo();
            QCOMPARE(box.Text(), c.text);
        }
    }

    void replaceAll_largeText()
    {
        // About 1.6 million characters with 40,000 occurrences among near misses: a search per
        // replacement over the whole text would not finish in the time the test is given.
        const QString text = QStringLiteral("<xsl:value-of select=\"x\"/> <xsl:valued/>\n").repeated(40000);
        SyntaxBox box;
        box.setText(text);
        const QList<Notice> notices = onFindReplace(&box, Down | WholeWord | ReplaceAll, "xsl:value-of", "xsl:copy-of");
        QCOMPARE(said(notices), QStringLiteral(" 40000"));
        QCOMPARE(box.Text(), QString(text).replace("xsl:value-of", "xsl:copy-of"));
    }

    // The dialogs as they open: the selection (cut to the field's 255 units, an emoji cut in half
    // going too) or else a default as the text to find, the options off, searching down; only
    // Find has a direction, only Replace its buttons. Then their options and buttons reach the
    // engine, whose rules are in engine().
    void dialog_opensAndReachesTheEngine()
    {
        frmEditor *doc = fixture::newDocument(main);
        const auto opened = [&](const QString &findWhat, bool replace) {
            QVERIFY(dialog() && dialog()->parentWidget() == doc && !dialog()->isModal());
            QVERIFY(!(dialog()->windowFlags() & Qt::WindowContextHelpButtonHint));
            QCOMPARE(part<QLineEdit>("Fi&nd what:")->text() + "/" + QString::number(part<QLineEdit>("Fi&nd what:")->maxLength()), findWhat + "/255");
            QCOMPARE(part<QLineEdit>("Re&place with:") ? part<QLineEdit>("Re&place with:")->text() + "/" + QString::number(part<QLineEdit>("Re&place with:")->maxLength()) : "-",
                     replace ? "Replace Text/255" : "-");
            for (const char *box : {"Match &whole word only", "Match &case", "&Up", "&Down"})
                QCOMPARE(part<QAbstractButton>(box) ? QString::number(part<QAbstractButton>(box)->isChecked()) : "-",
                         replace && box[1] != 'a' ? "-" : QByteArray(box) == "&Down" ? "1" : "0");
            QCOMPARE(QStringList({part("&Find Next") ? "&Find Next" : "-", part("Cancel") ? "Cancel" : "-",
                                  part("&Replace") ? "&Replace" : "-", part("Replace &All") ? "Replace &All" : "-"}),
                     QStringList({"&Find Next", "Cancel", replace ? "&Replace" : "-", replace ? "Replace &All" : "-"}));
            if (!replace)
                QCOMPARE(qobject_cast<QGroupBox *>(part("&Up")->parentWidget())->title(), QStringLiteral("Direction"));
        };
        doc->txtXSLT->setText(QString(254, 'a') + "😀" + QString(50, 'b'));
        select(doc->txtXSLT, "0+256");
        item("mnuFind")->trigger();
        opened(QString(254, 'a'), false);
        QTest::keyClick(dialog(), Qt::Key_Escape);
        QTRY_VERIFY(!dialog());

        doc->txtXSLT->setText(kWide + "Cat cat concat");
        doc->txtXML->setText("<cat/>");
        doc->SSTab->setCurrentIndex(1); // the stylesheet is searched whatever page shows
        main->toolbarButtonClick("Find");
        opened("Find Text", false);
        type("Fi&nd what:", "cat");
        QStringList seen;
        for (const char *press : {"&Find Next", "Match &case", "&Find Next", "Match &whole word only", "&Find Next", "&Up",
                                  "Match &case", "&Find Next"}) {
            click(press);
            if (QByteArray(press) == "&Find Next")
                seen << selection(doc->txtXSLT) + messagesSince(0);
        }
        QTest::keyClick(part<QLineEdit>("Fi&nd what:"), Qt::Key_Return); // Enter means Find Next
        seen << selection(doc->txtXSLT) + messagesSince(0) + " " + selection(doc->txtXML);
        QCOMPARE(seen, QStringList({"6+3", "10+3", "10+3 none", "6+3 none", "6+3 none none 0+0"}));
        type("Fi&nd what:", ""); // nothing to find: the button goes off
        QVERIFY(!part("&Find Next")->isEnabled());
        QTest::keyClick(dialog(), Qt::Key_Escape);
        QTRY_VERIFY(!dialog());

        // Replace: the texts are read at every press; the document notices the edits.
        doc->SSTab->setCurrentIndex(0);
        doc->txtXSLT->setText("<a>one</a><b>one</b><c>one</c>");
        select(doc->txtXSLT, "3+3");
        item("mnuReplace")->trigger();
        opened("one", true);
        type("Re&place with:", "two");
        click("&Replace");
        QCOMPARE(doc->txtXSLT->Text() + " " + selection(doc->txtXSLT), "<a>two</a><b>one</b><c>one</c> 13+3");
        type("Re&place with:", "three");
        click("Replace &All");
        QCOMPARE(doc->txtXSLT->Text() + messagesSince(2), "<a>two</a><b>three</b><c>three</c> 2");
        QVERIFY(doc->blnChanged() && doc->Caption().endsWith('*'));
        doc->Undo();
        QCOMPARE(doc->txtXSLT->Text(), QStringLiteral("<a>two</a><b>one</b><c>one</c>"));
    }

    void dialog_oneInTheProgramGoesWithItsWindow()
    {
        frmEditor *first = fixture::newDocument(main);
        first->txtXSLT->setText("first x");
        item("mnuFind")->trigger();
        QDialog *dlg = dialog();
        frmEditor *second = fixture::newDocument(main);
        second->txtXSLT->setText("x second");
        item("mnuFind")->trigger();
        item("mnuReplace")->trigger();
        QVERIFY(dlg && dialog() == dlg);
        type("Fi&nd what:", "x");
        click("&Find Next");
        QCOMPARE(selection(first->txtXSLT) + " " + selection(second->txtXSLT), QStringLiteral("6+1 0+0"));
        // A close the user cancels at the save question leaves the dialog working.
        QPointer<frmEditor> closing(first);
        auto *sub = qobject_cast<QMdiSubWindow *>(first->parentWidget());
        fake->answers << msg::Cancel << msg::No;
        sub->close();
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Save Changes?"));
        QVERIFY(closing && dialog() == dlg && openDialog() == dlg);
        sub->close();
        QTRY_VERIFY(!closing);
        QVERIFY(!dialog() && !openDialog());
        // Now a new one opens, for the window left; Cancel closes it.
        item("mnuReplace")->trigger();
        QCOMPARE(dialog()->parentWidget(), second);
        click("Cancel");
        QTRY_VERIFY(!dialog() && !openDialog());
    }
};

ZENDRIK_TEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
