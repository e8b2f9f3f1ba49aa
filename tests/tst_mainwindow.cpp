// The main window: its commands by menu, key and toolbar button, its windows, the recent files,
// the find and replace dialog with its search engine, and the options dialog with the store.
#include "support/windowparts.h"
#include "app/commandline.h"
#include "app/mainwindow.h"
#include "components/xmllexer.h"
#include "document/documentwindow.h"
#include "document/xpathbar.h"
#include "engine/engineclient.h"
#include "findreplace/findreplacehost.h"
#include "findreplace/searchengine.h"
#include "app/optionsdialog.h"
#include "options/settingsstore.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QtTest>
#include <QtWebEngineCore>
#include <QtWebEngineWidgets>
#include <QtWidgets>
#include <functional>
#include <sys/resource.h>

using fixture::documentWindows;
using namespace findreplace;

// What the options made of an editor and its window.
struct EditorLook {
    QString font, size, styles;
    bool autoParse, scripts, keepAsWritten;
    bool operator==(const EditorLook &) const = default;
};
char *toString(const EditorLook &l)
{
    return QTest::toString(QStringLiteral("font %1, size %2, styles %3, parse on edit %4, scripts %5, as written %6")
                               .arg(l.font, l.size, l.styles)
                               .arg(l.autoParse)
                               .arg(l.scripts)
                               .arg(l.keepAsWritten));
}

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
QString selection(SyntaxBox *box) { return QStringLiteral("%1+%2").arg(box->selectionStart()).arg(box->selectionLength()); }
void select(SyntaxBox *box, const QString &sel)
{
    box->setSelectionStart(sel.section('+', 0, 0).toInt());
    box->setSelectionLength(sel.section('+', 1, 1).toInt());
}

using Values = QMap<QString, QString>;
const QString kOptions = QStringLiteral("Options");

// Each control as the user finds it, on which panel, and the key it is stored under. A path is
// the caption of a label naming its list, or a frame's caption and, for a box in it, the box's.
const struct Control {
    const char *panel, *path, *key;
} kControls[] = {
    {"General", "Startup:", "StartupMode"}, {"General", "Preview/Run scripts in the preview", "RunPreviewScripts"},
    {"General", "Memory for a transformation (MB):", "EngineMemoryMB"}, {"General", "XSLT processor:", "XsltProcessor"},
    {"General", "Files/Keep files exactly as written", "KeepFilesAsWritten"},
    {"General", "Files/Reopen windows at start-up", "ReopenWindows"},
    {"Editor", "Auto-Parse/Parse Document on Edit", "AutoParse"}, {"Editor", "Indent width (spaces):", "IndentWidth"}, {"Editor", "Tag Color", "TagColor"},
    {"Editor", "Tag Color/Bold", "TagBold"}, {"Editor", "Tag Color/Italic", "TagItalic"},
    {"Editor", "Attribute Color", "AttribColor"}, {"Editor", "Attribute Color/Bold", "AttribBold"},
    {"Editor", "Attribute Color/Italic", "AttribItalic"}, {"Editor", "Attribute Value Color", "AttibValueColor"},
    {"Editor", "Attribute Value Color/Bold", "AttibValueBold"}, {"Editor", "Attribute Value Color/Italic", "AttibValueItalic"},
    {"Fonts", "Font Family", "FontName"}, {"Fonts", "Size", "FontSize"},
};

// A control of a dialog by the caption a user reads: a button's or a box's, or that of the
// label naming it.
template<class T = QWidget>
T *part(QWidget *dlg, const QString &caption)
{
    for (QWidget *w : dlg ? dlg->findChildren<QWidget *>() : QList<QWidget *>()) {
        if (auto *label = qobject_cast<QLabel *>(w); label && label->text() == caption)
            return qobject_cast<T *>(label->buddy());
        if (auto *button = qobject_cast<QAbstractButton *>(w); button && button->text() == caption && !button->isHidden())
            return qobject_cast<T *>(w);
    }
    return nullptr;
}
QWidget *control(QWidget *dlg, const QString &path)
{
    if (path.endsWith(':'))
        return part(dlg, path);
    for (QGroupBox *frame : dlg->findChildren<QGroupBox *>()) {
        if (frame->title() != path.section('/', 0, 0))
            continue;
        for (QWidget *w : frame->findChildren<QWidget *>())
            if (path.contains('/') ? qobject_cast<QCheckBox *>(w) && static_cast<QCheckBox *>(w)->text() == path.section('/', 1)
                                   : qobject_cast<QComboBox *>(w) || qobject_cast<ColorSwatch *>(w) || qobject_cast<QLineEdit *>(w))
                return w;
    }
    return nullptr;
}
QWidget *byKey(QWidget *dlg, const char *key)
{
    for (const Control &c : kControls)
        if (qstrcmp(c.key, key) == 0)
            return control(dlg, QString::fromLatin1(c.path));
    return nullptr;
}

// A control's value the way the store writes it.
QString valueOf(QWidget *w)
{
    if (auto *list = qobject_cast<QComboBox *>(w))
        return list->currentData().isValid() ? list->currentData().toString() : list->currentText();
    if (auto *box = qobject_cast<QCheckBox *>(w))
        return QString::number(box->isChecked());
    if (auto *swatch = qobject_cast<ColorSwatch *>(w))
        return QString::number(swatch->color());
    if (auto *spin = qobject_cast<QSpinBox *>(w))
        return QString::number(spin->value());
    return QStringLiteral("?");
}
// What the dialog shows, by stored key.
Values shown(QWidget *dlg)
{
    Values out;
    for (const Control &c : kControls)
        out.insert(c.key, valueOf(control(dlg, QString::fromLatin1(c.path))));
    return out;
}
// Everything stored under [Options], read straight from the file.
Values storedOptions()
{
    QSettings s(SettingsStore::fileName(), QSettings::IniFormat);
    s.beginGroup(kOptions);
    Values out;
    for (const QString &key : s.childKeys())
        out.insert(key, s.value(key).toString());
    return out;
}
Values withDefaults(const QString &family, const Values &changes)
{
    Values all{{"StartupMode", "Normal"}, {"AutoParse", "1"}, {"FontName", family},
               {"FontSize", QString::number(SyntaxBox::defaultFont().pointSizeF())},
               {"TagColor", "16711680"}, {"TagBold", "0"}, {"TagItalic", "0"}, {"AttribColor", "8388608"},
               {"AttribBold", "1"}, {"AttribItalic", "0"}, {"AttibValueColor", "128"}, {"AttibValueBold", "0"},
               {"AttibValueItalic", "0"}, {"RunPreviewScripts", "0"}, {"KeepFilesAsWritten", "1"}, {"ReopenWindows", "0"},
               {"IndentWidth", "2"}, {"EngineMemoryMB", QString::number(EngineClient::defaultMemoryLimitMb())},
               {"XsltProcessor", "Automatic"}};
    all.insert(changes);
    return all;
}

void clickNode(QTreeWidget *tree, const QString &text)
{
    const QList<QTreeWidgetItem *> found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    QVERIFY2(!found.isEmpty(), qPrintable(text));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(found.first()).center());
}
// Brings a panel up the way a user does: open the category root, click the leaf; the panel
// then in front is headed by the leaf's caption.
void showPanel(QWidget *dlg, const QString &leaf)
{
    auto *tree = dlg->findChild<QTreeWidget *>();
    if (!tree->topLevelItem(0)->isExpanded())
        clickNode(tree, QStringLiteral("Environment"));
    clickNode(tree, leaf);
    QWidget *area = dlg->findChild<QWidget *>("panelArea");
    QWidget *hit = area->childAt(area->rect().center());
    while (hit && hit->parentWidget() != area)
        hit = hit->parentWidget();
    QCOMPARE(hit ? hit->findChild<QLabel *>()->text() : QString(), leaf);
}

// Picks the entry text in a drop-down list with the keyboard, as a user would.
void pick(QWidget *w, const QString &text)
{
    auto *list = qobject_cast<QComboBox *>(w);
    const int target = list->findText(text);
    QVERIFY2(target >= 0, qPrintable(text));
    if (list->currentIndex() < 0)
        QTest::keyClick(list, Qt::Key_Home);
    while (list->currentIndex() != target)
        QTest::keyClick(list, list->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
}
// An installed family other than the one the list shows first.
QString otherFamily(QWidget *dlg)
{
    auto *fonts = qobject_cast<QComboBox *>(control(dlg, "Font Family"));
    return fonts->itemText(fonts->currentIndex() == 0 ? 1 : 0);
}

// Scintilla's own view of the tag, attribute and value styles: colour, then B and I when set.
QString styles(SyntaxBox *box)
{
    QString out;
    for (int style : {int(XmlLexer::Element), int(XmlLexer::Attribute), int(XmlLexer::Value)})
        out += QStringLiteral(" %1%2%3").arg(box->SendScintilla(QsciScintillaBase::SCI_STYLEGETFORE, style))
                   .arg(qAbs(box->SendScintilla(QsciScintillaBase::SCI_STYLEGETWEIGHT, style)) >= QFont::DemiBold ? "B" : "")
                   .arg(box->SendScintilla(QsciScintillaBase::SCI_STYLEGETITALIC, style) ? "I" : "");
    return out.mid(1);
}
// Whether the window's Preview tab would run the page's scripts.
bool scriptsRun(DocumentWindow *doc)
{
    doc->ensurePreviewPage();
    return previewView(doc)->page()->settings()->testAttribute(QWebEngineSettings::JavascriptEnabled);
}

// shown: what differs from the defaults; "@" stands for an installed family other than the first.
struct StoredCase {
    Values stored, shown;
    double sampleSize;
};
// Every other key of kSix holds a value unlike the initial one; shown and stored follow kSix,
// stored then has the failing key.
const QStringList kSix{"StartupMode", "FontSize", "AutoParse", "TagBold", "AttribColor", "AttibValueItalic"};
struct UnreadableCase {
    QString key, value;
    QStringList shown, stored;
};
// colourTitle: of the colour dialog a swatch's double-click asks.
struct ChangeCase {
    const char *key;
    bool enablesApply;
    QString colourTitle;
};
// stored: earlier stored (as by an Apply) the values closing_decidesWhetherOptionsAreApplied
// writes. written: keys in the store afterwards.
struct ClosingCase {
    QString how;
    bool stored, canceled;
    int written;
    QStringList messages;
};
// valid: whether the text converts; expected: the value it converts to.
struct ConvertCase {
    QString text;
    bool valid;
    double expected;
};

} // namespace
Q_DECLARE_METATYPE(CommandCase)
Q_DECLARE_METATYPE(Case)
Q_DECLARE_METATYPE(StoredCase)
Q_DECLARE_METATYPE(UnreadableCase)
Q_DECLARE_METATYPE(ChangeCase)
Q_DECLARE_METATYPE(ClosingCase)
Q_DECLARE_METATYPE(ConvertCase)


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
    QPointer<DocumentWindow> m_doc;
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
        stylesheetPane(m_doc)->setText("<a></a>");
        stylesheetPane(m_doc)->setSelectionStart(3);
        stylesheetPane(m_doc)->replaceSelection("text");
        stylesheetPane(m_doc)->setSelectionStart(3);
        stylesheetPane(m_doc)->setSelectionLength(4);
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
        if (m_doc && stylesheetPane(m_doc)->text() != "<a>text</a>")
            out << "text " + stylesheetPane(m_doc)->text().replace('\n', QLatin1String("\\n"));
        if (m_doc && (stylesheetPane(m_doc)->selectionStart() != 3 || stylesheetPane(m_doc)->selectionLength() != 4))
            out << QStringLiteral("sel %1+%2").arg(stylesheetPane(m_doc)->selectionStart()).arg(stylesheetPane(m_doc)->selectionLength());
        if (QApplication::clipboard()->text() != "XY")
            out << "clipboard " + QApplication::clipboard()->text();
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w != main && w->isVisible() && !w->windowTitle().isEmpty())
                out << "window " + w->windowTitle();
        if (m_doc && m_doc->livePreview())
            out << "live preview";
        if (m_doc && stylesheetPane(m_doc)->marginWidth(0) == 0)
            out << "no line numbers";
        if (m_doc && m_doc->problemsVisible())
            out << "problems";
        if (m_doc && m_doc->parametersVisible())
            out << "parameters";
        if (m_doc && !m_doc->xpathBar()->isHidden())
            out << "xpath";
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
    template<class T = QWidget>
    static T *part(const QString &caption) { return ::part<T>(dialog(), caption); }
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
            const bool none = m.icon == QMessageBox::Warning && m.text == QLatin1String("No matches found");
            out += " " + (none ? "none" : m.icon == QMessageBox::Information && m.text == replaced(n.toInt()) ? n : m.text);
        }
        return out;
    }

    // The same for the message boxes the dialog showed from the index-th on.
    QString messagesSince(qsizetype index) const
    {
        QList<Notice> shown;
        for (const FakeDialogs::Call &m : fake->messages().mid(index))
            shown << (m.title == kTitle ? Notice{m.text, m.icon} : Notice{m.title, QMessageBox::NoIcon});
        return said(shown);
    }

    // Tools > Options with script run inside the modal dialog. The dialog is closed afterwards
    // if the script left it open, so a failing script cannot hang the test.
    bool runOptions(const std::function<void(OptionsDialog *)> &script)
    {
        bool ran = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto *dlg = qobject_cast<OptionsDialog *>(QApplication::activeModalWidget())) {
                poll.stop();
                ran = true;
                script(dlg);
                if (dlg->isVisible())
                    dlg->reject();
            }
        });
        poll.start(10);
        main->menuItem(QStringLiteral("mnuOptions"))->trigger();
        return ran;
    }
    QStringList messageTitles() const
    {
        QStringList titles;
        for (const auto &call : fake->messages())
            titles << QStringLiteral("%1 (%2)").arg(call.title, FakeDialogs::iconName(call.icon));
        return titles;
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

    // New windows take three quarters of the area, each a step down and right of the last.
    void newWindows_aUsefulSizeAndCascaded()
    {
        main->resize(1000, 800);
        main->show();
        QVERIFY(QTest::qWaitForWindowExposed(main));
        fixture::newDocument(main);
        fixture::newDocument(main);
        const QList<QMdiSubWindow *> subs = main->mdiArea()->subWindowList();
        const QSize area = main->mdiArea()->viewport()->size();
        for (QMdiSubWindow *sub : subs)
            QVERIFY2(sub->width() >= area.width() * 3 / 4 && sub->height() >= area.height() * 3 / 4,
                     qPrintable(QStringLiteral("%1x%2 in %3x%4").arg(sub->width()).arg(sub->height()).arg(area.width()).arg(area.height())));
        QVERIFY(subs[1]->x() > subs[0]->x() && subs[1]->y() > subs[0]->y());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("result"); // what is printed and the status, or the files
        QTest::addRow("files") << QStringList{"a.xsl", "", "b.xml"} << "files a.xsl|b.xml";
        QTest::addRow("version wins") << QStringList{"a.xsl", "--bogus", "-v"} << "out 0 Zendrik 1.2.3\n";
        QTest::addRow("help") << QStringList{"--help", "a.xsl"} << "out 0 Usage: zendrik [OPTION...] [FILE...]";
        QTest::addRow("unknown option") << QStringList{"a.xsl", "-x", "--y"}
                                        << "err 2 zendrik: unknown option \"-x\"\nTry \"zendrik --help\" for more information.\n";
        QTest::addRow("after --, names") << QStringList{"--", "-v", "--help", "-"} << "files -v|--help|-";
        QTest::addRow("toolkit options with their values")
            << QStringList{"-style", "fusion", "a.xsl", "--platform", "offscreen", "-reverse", "-stylesheet=s.qss", "b.xml"}
            << "files a.xsl|b.xml toolkit -style|fusion|--platform|offscreen|-reverse|-stylesheet=s.qss";
        QTest::addRow("unknown beside toolkit options") << QStringList{"-display", ":1", "--bogus", "-geometry", "9x9"}
                                                        << "err 2 zendrik: unknown option \"--bogus\"\n";
        QTest::addRow("toolkit option without its value") << QStringList{"a.xsl", "-style"}
                                                          << "err 2 zendrik: option \"-style\" needs a value\n";
        QTest::addRow("after --, toolkit names are files") << QStringList{"--", "-style", "x"} << "files -style|x toolkit ";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, result);
        const CommandLine cl = readCommandLine(arguments, "1.2.3");
        const QString seen = cl.output.isEmpty()
                                 ? "files " + cl.files.join('|') + " toolkit " + cl.toolkit.join('|')
                                 : QStringLiteral("%1 %2 %3").arg(cl.toError ? "err" : "out").arg(cl.exitCode).arg(cl.output);
        QVERIFY2(seen.startsWith(result), qPrintable(seen));
    }

    // The manual tells what the program does with a file that is not well-formed: it opens, with
    // its error shown, and is saved only after a Yes.
    void helpContents_tellsWhatHappensToAFileNotWellFormed()
    {
        const QString bad = dir->filePath("bad.xsl");
        QVERIFY(testenv::writeFile(bad, "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"));
        DocumentWindow *doc = fixture::newDocument(main);
        QVERIFY(doc->loadXSLTFile(bad));
        QVERIFY(doc->panelHasIcon());
        stylesheetPane(doc)->setSelectionStart(int(stylesheetPane(doc)->text().size()));
        QTest::keyClicks(stylesheetPane(doc), " ");
        fake->answers << QMessageBox::Yes;
        item("mnuSave")->trigger();
        QVERIFY(fake->lastMessage().text.endsWith("Save it anyway?"));
        QVERIFY(testenv::readFile(bad).endsWith(" "));

        item("mnuHelpContents")->trigger();
        auto *help = main->findChild<QTextBrowser *>("helpWindow");
        QVERIFY(help);
        const QString text = help->toPlainText().simplified();
        for (const char *untrue : {"cannot be opened: the message names the problem", "is not well-formed cannot be saved"})
            QVERIFY2(!text.contains(untrue), untrue);
        for (const char *said : {"A file that is not well-formed XML opens too, with its error shown",
                                 "is saved only if you answer Yes"})
            QVERIFY2(text.contains(said), said);
    }

    // The program itself, with no display to reach: what the command line asks for that needs
    // no window is answered, and the toolkit's own options reach the toolkit.
    void commandLine_answeredWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status"); // -1: the toolkit gave up (it was asked for the display)
        QTest::addColumn<QString>("error");
        const QString unknown = QStringLiteral("zendrik: unknown option \"%1\"\nTry \"zendrik --help\" for more information.\n");
        QTest::addRow("unknown option") << QStringList{"--bogus"} << 2 << unknown.arg("--bogus");
        QTest::addRow("unknown after a file") << QStringList{"a.xsl", "-x"} << 2 << unknown.arg("-x");
        QTest::addRow("unknown after toolkit options") << QStringList{"-style", "fusion", "--platform", "xcb", "-y"} << 2 << unknown.arg("-y");
        QTest::addRow("version") << QStringList{"-geometry", "9x9", "--version"} << 0 << QString();
        QTest::addRow("the toolkit's display option") << QStringList{"-display", ":97"} << -1 << QString(":97");
        QTest::addRow("with two dashes") << QStringList{"--display", ":98"} << -1 << QString(":98");
    }
    void commandLine_answeredWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, error);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        program.setProcessEnvironment(env);
        program.setChildProcessModifier([] {
            const rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore); // the toolkit aborts: no core file wanted
        });
        program.start(QCoreApplication::applicationDirPath() + "/zendrik", arguments);
        QVERIFY(program.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        if (status < 0) {
            QCOMPARE(program.exitStatus(), QProcess::CrashExit);
            QVERIFY2(err.contains("could not connect to display " + error), qPrintable(err));
            QVERIFY2(!err.contains("zendrik:"), qPrintable(err));
            return;
        }
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        QCOMPARE(err, error);
        if (status == 0)
            QCOMPARE(QString::fromLatin1(program.readAllStandardOutput()),
                     QStringLiteral("Zendrik %1.%2.%3\n").arg(ZENDRIK_VERSION_MAJOR).arg(ZENDRIK_VERSION_MINOR).arg(ZENDRIK_VERSION_PATCH));
    }

    // Files named on the command line or dropped on the window: stylesheets each in a window of
    // their own, other files as the source of the stylesheet before them or of a new window;
    // a file that cannot be read says so as the Open command would, and the rest still open.
    void openSources_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addRow("command line") << "arguments";
        QTest::addRow("dropped on the window") << "window";
        QTest::addRow("dropped on a text") << "text";
    }
    void openSources()
    {
        QFETCH(QString, how);
        const QDir d(dir->path());
        for (const char *name : {"a.xsl", "b.XSLT"})
            QVERIFY(testenv::writeFile(d.filePath(name), kStylesheet));
        for (const char *name : {"one.xml", "two"})
            QVERIFY(testenv::writeFile(d.filePath(name), "<r/>"));
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir->path());
        const QStringList names{"one.xml", "a.xsl", "missing.xsl", "two", d.filePath("b.XSLT")};
        if (how == "arguments") {
            main->openSources(names);
            QDir::setCurrent(cwd);
        } else {
            QMimeData data;
            QList<QUrl> urls;
            for (const QString &n : names)
                urls << QUrl::fromLocalFile(d.absoluteFilePath(n));
            data.setUrls(urls);
            QWidget *target = main;
            QPoint at(5, 5);
            if (how == "text") {
                target = stylesheetPane(fixture::newDocument(main))->viewport();
                at = target->rect().center();
            }
            QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &drop);
            QVERIFY(drop.isAccepted());
            QDir::setCurrent(cwd);
        }
        const int before = how == "text" ? 1 : 0;
        QTRY_COMPARE(documentWindows(main).size(), before + 3);
        QStringList seen;
        for (const QPointer<DocumentWindow> &doc : main->documents())
            if (doc)
                seen << QFileInfo(doc->fileName()).fileName() + ":" + QFileInfo(doc->sourceFileName()).fileName();
        QCOMPARE(seen.mid(before), QStringList({":one.xml", "a.xsl:two", "b.XSLT:"}));
        if (how == "text")
            QCOMPARE(stylesheetPane(main->documents().first())->text(), DocumentWindow::stylesheetTemplate());
        QCOMPARE(messageTitles(), QStringList("Error Parsing XSLT Document (Critical)"));
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
        QCOMPARE(MainWindow::startTimeText(when, QLocale(QLocale::English, QLocale::UnitedStates)), expected);
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
        MainWindow other;
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
        DocumentWindow *a = fixture::newDocument(main);
        DocumentWindow *b = fixture::newDocument(main);
        QTest::keyClicks(stylesheetPane(a), " ");
        QTest::keyClicks(stylesheetPane(b), " ");
        fake->answers << QMessageBox::No << QMessageBox::Cancel;
        item("mnuExit")->trigger();
        QCOMPARE(fake->messages().size(), 2);
        QCOMPARE(documentWindows(main).size(), 2);
        QVERIFY(a->caption().endsWith('*') && b->caption().endsWith('*'));
        // The first one was not saved and asks again at the next close.
        fake->answers << QMessageBox::No << QMessageBox::No;
        QVERIFY(main->close());
        QCOMPARE(fake->messages().size(), 4);
        QCOMPARE(fake->messages()[2].text, QStringLiteral("Would you like to save your changes New XSLT File?"));
        QVERIFY(documentWindows(main).isEmpty());
    }

    void editState_followsTheSelectedPage()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        QApplication::clipboard()->clear();
        doc->setEditState();
        QCOMPARE(editState(), QStringLiteral("00000111|000001"));
        stylesheetPane(doc)->setSelectionStart(0);
        stylesheetPane(doc)->setSelectionLength(4);
        doc->setEditState();
        QCOMPARE(editState(), QStringLiteral("11000111|110001"));
        QApplication::clipboard()->setText("<!---->");
        QTest::keyClicks(stylesheetPane(doc), "x");
        QCOMPARE(editState(), QStringLiteral("00110111|001101"));
        item("mnuUndo")->trigger();
        QCOMPARE(editState(), QStringLiteral("00101111|001011"));
        // The XML page has its own history and selection; the preview page has neither.
        pageTabs(doc)->setCurrentIndex(1);
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
        DocumentWindow *doc = fixture::newDocument(main);
        sourcePane(doc)->setText("<a>xml</a>");
        pageTabs(doc)->setCurrentIndex(1);
        item("mnuSelectAll")->trigger();
        QCOMPARE(stylesheetPane(doc)->selectionLength(), 0);
        main->toolbarButtonClick("Cut");
        main->toolbarButtonClick("Paste");
        main->toolbarButtonClick("Paste");
        QCOMPARE(sourcePane(doc)->text(), QStringLiteral("<a>xml</a><a>xml</a>"));
        // Paste is held back while Ctrl is down in a document: the editor pastes Ctrl+V itself.
        QTest::keyPress(sourcePane(doc), Qt::Key_Control, Qt::ControlModifier);
        item("mnuPaste")->trigger();
        QCOMPARE(sourcePane(doc)->text(), QStringLiteral("<a>xml</a><a>xml</a>"));
        QTest::keyRelease(sourcePane(doc), Qt::Key_Control);
        QVERIFY(!main->controlKeyDown);
        // Also when it went up while another program had the focus.
        QTest::keyPress(stylesheetPane(doc), Qt::Key_Control, Qt::ControlModifier);
        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(!main->controlKeyDown);
        main->toolbarButtonClick("Undo");
        QCOMPARE(sourcePane(doc)->text(), QStringLiteral("<a>xml</a>"));
        QVERIFY(!doc->isChanged());
        // Undo in the stylesheet parses again.
        pageTabs(doc)->setCurrentIndex(0);
        stylesheetPane(doc)->setSelectionStart(0);
        QTest::keyClicks(stylesheetPane(doc), "<");
        QVERIFY(doc->panelHasIcon());
        item("mnuUndo")->trigger();
        QVERIFY(!doc->panelHasIcon());
    }

    // Each copy is a job of its own with the whole text, and nothing but the text: no page
    // numbers, no headers.
    void print_eachCopyIsAJobOfItsOwn()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        QStringList lines;
        for (int i = 1; i <= 150; ++i)
            lines << QStringLiteral("line %1").arg(i);
        stylesheetPane(doc)->setText(lines.join('\n'));
        const QString pdf = dir->filePath("out.pdf");
        fake->printAnswers << true;
        fake->printToFile = pdf;
        fake->printCopies = 3;
        item("mnuPrint")->trigger();
        QVERIFY(fake->messages().isEmpty());
        for (const QString &f : {pdf, pdf + ".2", pdf + ".3"}) {
            QProcess text;
            text.start("pdftotext", {"-layout", f, "-"});
            QVERIFY2(text.waitForFinished(20000) && text.exitCode() == 0, qPrintable(f));
            QStringList printed = QString::fromUtf8(text.readAllStandardOutput()).split('\n');
            for (QString &l : printed)
                l = l.trimmed();
            printed.removeAll(QString());
            QCOMPARE(printed, lines);
        }
        QVERIFY(!QFile::exists(pdf + ".4"));
    }

    // Cancelling the print dialog of the preview's page prints nothing and says nothing.
    void printPreview_cancelSaysNothing()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        pageTabs(doc)->setCurrentIndex(2);
        QTRY_VERIFY(!doc->isBusy());
        fake->calls.clear();
        item("mnuPrint")->trigger();
        QCOMPARE(fake->calls.size(), 1);
        QCOMPARE(fake->calls.first().kind, QStringLiteral("print"));
    }

    void pointerOverBackground_switchesDocumentCommandsOff()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        stylesheetPane(doc)->setSelectionStart(0);
        QTest::keyClicks(stylesheetPane(doc), " ");
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
        DocumentWindow *a = fixture::newDocument(main), *b = fixture::newDocument(main), *c = fixture::newDocument(main);
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
        QCOMPARE(main->documents(), (QList<QPointer<DocumentWindow>>{a, c}));
        QCOMPARE(entries(), QStringList({"&1 New XSLT File", "*&2 New XSLT File"}));
        byCaption({"&Window", "&1 New XSLT File"})->trigger();
        QCOMPARE(main->activeDocument(), a);
        QVERIFY(a->parentWidget()->close() && c->parentWidget()->close() && main->documents().isEmpty());
        QCOMPARE(fixture::newDocument(main)->registryIndex, short(0));
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
        main = new MainWindow;
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
        fixture::writeSettings("MRUFiles", {{"0", "/x/A&B.xsl"}, {"1", a}, {"2", "/x/a&b.XSL"},
                                            {"3", "/gone/c.xsl"}, {"4", "/x/d.xsl"}, {"5", "/x/e.xsl"}});
        delete main;
        main = new MainWindow;
        QStringList fileMenu;
        for (QAction *entry : byCaption({"&File"})->menu()->actions())
            if (entry->isVisible())
                fileMenu << (entry->isSeparator() ? "-" : entry->text());
        // An "&" in a path is shown, not taken for the mark of a shortcut.
        QCOMPARE(fileMenu.mid(fileMenu.indexOf("&Print...") + 1, 6), QStringList({"-", "/x/A&&B.xsl", a, "/gone/c.xsl", "/x/d.xsl", "-"}));
        byCaption({"&File", "/gone/c.xsl"})->trigger();
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Parsing XSLT Document"));
        QVERIFY(documentWindows(main).isEmpty());
        byCaption({"&File", a})->trigger();
        QCOMPARE(documentWindows(main).size(), 1);
        QCOMPARE(documentWindows(main).first()->caption(), a);
        QCOMPARE(main->mruList(), QStringList({a, "/gone/c.xsl", "/x/A&B.xsl", "/x/d.xsl"}));
        QVERIFY(main->close());
        QCOMPARE(SettingsStore::read("MRUFiles", "2", QString()), "/x/A&B.xsl");
    }

    // "All Files" in the open dialogs shows every file, also one without an extension.
    void openDialogs_allFilesShowsEveryFile()
    {
        QVERIFY(testenv::writeFile(dir->filePath("Makefile"), "x"));
        fixture::newDocument(main);
        for (const char *command : {"mnuOpenXSLTFile", "mnuOpenXMLFile"}) {
            item(command)->trigger();
            const QStringList filters = qtFileFilter(fake->calls.last().title).split(";;");
            QCOMPARE(filters.size(), 2);
            QVERIFY2(filters.last().startsWith("All Files ("), qPrintable(filters.last()));
            const QString patterns = filters.last().section('(', 1).chopped(1);
            QCOMPARE(QDir(dir->path()).entryList(patterns.split(' '), QDir::Files), QStringList("Makefile"));
        }
    }

    // With the option on, the windows with a file of their own, and their sources, open again at
    // the next start; with it off, nothing is noted and nothing reopens.
    void reopenWindows_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addRow("on") << "1";
        QTest::addRow("off") << "0";
    }
    void reopenWindows()
    {
        QFETCH(QString, option);
        fixture::writeSettings(kOptions, {{"ReopenWindows", option}});
        fixture::writeSettings("Session", {{"Window0", "/gone/old.xsl"}});
        const QString a = file("a.xsl"), b = file("b.xsl"), source = dir->filePath("s.xml");
        QVERIFY(testenv::writeFile(source, "<r/>"));
        for (const QString &name : {a, b}) {
            fake->fileNames << name;
            item("mnuOpenXSLTFile")->trigger();
        }
        main->documents().first()->loadXMLFile(source);
        fixture::newDocument(main); // no file: nothing to reopen
        QVERIFY(main->close());
        QStringList noted;
        for (const QString &key : SettingsStore::keys("Session"))
            noted << key + "=" + SettingsStore::read("Session", key, QString());
        QCOMPARE(noted, option == "1" ? QStringList({"Source0=" + source, "Window0=" + a, "Window1=" + b}) : QStringList());
        delete main;
        main = new MainWindow;
        main->reopenWindows();
        QStringList opened;
        for (const QPointer<DocumentWindow> &doc : main->documents())
            opened << doc->fileName() + "|" + doc->sourceFileName();
        QCOMPARE(opened, option == "1" ? QStringList({a + "|" + source, b + "|"}) : QStringList());
        QVERIFY(fake->messages().isEmpty());
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
        QCOMPARE(box.text(), c.after == "(unchanged)" ? c.text : c.after);
        if (hasFlag(ReplaceAll, c.flags)) { // one change and one undo step
            QCOMPARE(changes, box.text() == c.text ? 0 : 1);
            box.undo();
            QCOMPARE(box.text(), c.text);
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
        QCOMPARE(box.text(), QString(text).replace("xsl:value-of", "xsl:copy-of"));
    }

    // The dialogs as they open: the selection (cut to the field's 255 units, an emoji cut in half
    // going too) or else nothing as the text to find, and nothing to replace with, the options off, searching down; only
    // Find has a direction, only Replace its buttons. Then their options and buttons reach the
    // engine, whose rules are in engine().
    void dialog_opensAndReachesTheEngine()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        const auto opened = [&](const QString &findWhat, bool replace) {
            QVERIFY(dialog() && dialog()->parentWidget() == doc && !dialog()->isModal());
            QVERIFY(!(dialog()->windowFlags() & Qt::WindowContextHelpButtonHint));
            QCOMPARE(part<QLineEdit>("Fi&nd what:")->text() + "/" + QString::number(part<QLineEdit>("Fi&nd what:")->maxLength()), findWhat + "/255");
            QCOMPARE(part<QLineEdit>("Re&place with:") ? part<QLineEdit>("Re&place with:")->text() + "/" + QString::number(part<QLineEdit>("Re&place with:")->maxLength()) : "-",
                     replace ? "/255" : "-");
            for (const char *box : {"Match &whole word only", "Match &case", "&Up", "&Down"})
                QCOMPARE(part<QAbstractButton>(box) ? QString::number(part<QAbstractButton>(box)->isChecked()) : "-",
                         replace && box[1] != 'a' ? "-" : QByteArray(box) == "&Down" ? "1" : "0");
            QCOMPARE(QStringList({part("&Find Next") ? "&Find Next" : "-", part("Cancel") ? "Cancel" : "-",
                                  part("&Replace") ? "&Replace" : "-", part("Replace &All") ? "Replace &All" : "-"}),
                     QStringList({"&Find Next", "Cancel", replace ? "&Replace" : "-", replace ? "Replace &All" : "-"}));
            if (!replace)
                QCOMPARE(qobject_cast<QGroupBox *>(part("&Up")->parentWidget())->title(), QStringLiteral("Direction"));
        };
        stylesheetPane(doc)->setText(QString(254, 'a') + "😀" + QString(50, 'b'));
        select(stylesheetPane(doc), "0+256");
        item("mnuFind")->trigger();
        opened(QString(254, 'a'), false);
        QTest::keyClick(dialog(), Qt::Key_Escape);
        QTRY_VERIFY(!dialog());

        stylesheetPane(doc)->setText(kWide + "Cat cat concat");
        sourcePane(doc)->setText("<cat/>");
        pageTabs(doc)->setCurrentIndex(1); // the stylesheet is searched whatever page shows
        main->toolbarButtonClick("Find");
        opened("", false); // nothing selected: nothing to find yet
        QVERIFY(!part("&Find Next")->isEnabled());
        type("Fi&nd what:", "cat");
        QStringList seen;
        for (const char *press : {"&Find Next", "Match &case", "&Find Next", "Match &whole word only", "&Find Next", "&Up",
                                  "Match &case", "&Find Next"}) {
            click(press);
            if (QByteArray(press) == "&Find Next")
                seen << selection(stylesheetPane(doc)) + messagesSince(0);
        }
        QTest::keyClick(part<QLineEdit>("Fi&nd what:"), Qt::Key_Return); // Enter means Find Next
        seen << selection(stylesheetPane(doc)) + messagesSince(0) + " " + selection(sourcePane(doc));
        QCOMPARE(seen, QStringList({"6+3", "10+3", "10+3 none", "6+3 none", "6+3 none none 0+0"}));
        type("Fi&nd what:", ""); // nothing to find: the button goes off
        QVERIFY(!part("&Find Next")->isEnabled());
        QTest::keyClick(dialog(), Qt::Key_Escape);
        QTRY_VERIFY(!dialog());

        // Replace: the texts are read at every press; the document notices the edits.
        pageTabs(doc)->setCurrentIndex(0);
        stylesheetPane(doc)->setText("<a>one</a><b>one</b><c>one</c>");
        select(stylesheetPane(doc), "3+3");
        item("mnuReplace")->trigger();
        opened("one", true);
        type("Re&place with:", "two");
        click("&Replace");
        QCOMPARE(stylesheetPane(doc)->text() + " " + selection(stylesheetPane(doc)), "<a>two</a><b>one</b><c>one</c> 13+3");
        type("Re&place with:", "three");
        click("Replace &All");
        QCOMPARE(stylesheetPane(doc)->text() + messagesSince(2), "<a>two</a><b>three</b><c>three</c> 2");
        QVERIFY(doc->isChanged() && doc->caption().endsWith('*'));
        doc->undo();
        QCOMPARE(stylesheetPane(doc)->text(), QStringLiteral("<a>two</a><b>one</b><c>one</c>"));
    }

    void dialog_oneInTheProgramGoesWithItsWindow()
    {
        DocumentWindow *first = fixture::newDocument(main);
        stylesheetPane(first)->setText("first x");
        item("mnuFind")->trigger();
        QDialog *dlg = dialog();
        DocumentWindow *second = fixture::newDocument(main);
        stylesheetPane(second)->setText("x second");
        item("mnuFind")->trigger();
        item("mnuReplace")->trigger();
        QVERIFY(dlg && dialog() == dlg);
        type("Fi&nd what:", "x");
        click("&Find Next");
        QCOMPARE(selection(stylesheetPane(first)) + " " + selection(stylesheetPane(second)), QStringLiteral("6+1 0+0"));
        // A close the user cancels at the save question leaves the dialog working.
        QPointer<DocumentWindow> closing(first);
        auto *sub = qobject_cast<QMdiSubWindow *>(first->parentWidget());
        fake->answers << QMessageBox::Cancel << QMessageBox::No;
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

    // The lists' entries, the sample and the swatches; then what OK stores is what was shown.
    void open_showsTheStoreAndOkStoresWhatIsShown_data()
    {
        QTest::addColumn<StoredCase>("c");
        QTest::addRow("nothing stored") << StoredCase{{}, {}, SyntaxBox::defaultFont().pointSizeF()};
        QTest::addRow("values unlike the defaults") << StoredCase{
            {{"StartupMode", "maximized"}, {"AutoParse", "0"}, {"FontName", "@"}, {"FontSize", "10.5"}, {"TagColor", "255"},
             {"TagBold", "1"}, {"AttribColor", "65280"}, {"AttribItalic", "1"}, {"AttibValueColor", "4227072"},
             {"AttibValueBold", "1"}, {"TagItalic", "1"}, {"RunPreviewScripts", "1"}, {"KeepFilesAsWritten", "0"}},
            {{"StartupMode", "Maximized"}, {"AutoParse", "0"}, {"FontName", "@"}, {"FontSize", "10"}, {"TagColor", "255"},
             {"TagBold", "1"}, {"AttribColor", "65280"}, {"AttribItalic", "1"}, {"AttibValueColor", "4227072"},
             {"AttibValueBold", "1"}, {"TagItalic", "1"}, {"RunPreviewScripts", "1"}, {"KeepFilesAsWritten", "0"}}, 10};
    }
    void open_showsTheStoreAndOkStoresWhatIsShown()
    {
        QFETCH(StoredCase, c);
        OptionsDialog probe(main);
        const QString other = otherFamily(&probe), first = valueOf(control(&probe, "Font Family"));
        QList<std::pair<QString, QString>> values;
        for (auto it = c.stored.cbegin(); it != c.stored.cend(); ++it)
            values.append({it.key(), it.value() == "@" ? other : it.value()});
        if (!values.isEmpty())
            fixture::writeSettings(kOptions, values);
        OptionsDialog dlg(main);
        QVERIFY(dlg.isModal() && !dlg.cancelled);
        // The lists' entries: every installed family, sorted; nothing can be typed in.
        QStringList families = QFontDatabase::families(), entries;
        families.removeDuplicates();
        std::sort(families.begin(), families.end(), [](const QString &a, const QString &b) { return QString::localeAwareCompare(a, b) < 0; });
        for (const char *path : {"Startup:", "Font Family", "Size"}) {
            auto *list = qobject_cast<QComboBox *>(control(&dlg, path));
            QStringList items;
            for (int i = 0; i < list->count(); ++i)
                items << list->itemText(i);
            entries << QString(path) + (list->isEditable() ? " editable=" : "=") + items.join(',');
        }
        QCOMPARE(entries, QStringList({"Startup:=Normal,Maximized", "Font Family=" + families.join(','),
                                       "Size=8,9,10,11,12,14,16,18,20,22,24,26,28,36,48,72"}));
        Values expected = withDefaults(first, c.shown);
        if (expected.value("FontName") == "@")
            expected["FontName"] = other;
        QCOMPARE(shown(&dlg), expected);
        // The sample in its own font and size, the list showing that size rounded; the swatches in their colours.
        auto *sample = qobject_cast<QLineEdit *>(control(&dlg, "Sample Text"));
        QCOMPARE(sample->text() + " " + QFontInfo(sample->font()).family() + " " + QString::number(sample->font().pointSizeF()),
                 "Sample " + expected.value("FontName") + " " + QString::number(c.sampleSize));
        for (const char *key : {"TagColor", "AttribColor", "AttibValueColor"}) {
            const long bgr = expected.value(key).toLong();
            QCOMPARE(byKey(&dlg, key)->palette().color(QPalette::Window), QColor(bgr & 0xff, (bgr >> 8) & 0xff, bgr >> 16));
            QCOMPARE(byKey(&dlg, key)->toolTip(), QStringLiteral("Double-click to change"));
        }
        QVERIFY(!::part<QPushButton>(&dlg, "Apply")->isEnabled());
        QCOMPARE(fixture::settingsFileExists(), !values.isEmpty()); // nothing is written by just looking
        dlg.show();
        QTest::mouseClick(::part<QPushButton>(&dlg, "OK"), Qt::LeftButton);
        QVERIFY(!dlg.isVisible() && dlg.result() == QDialog::Accepted && !dlg.cancelled);
        QCOMPARE(storedOptions(), expected);
        QVERIFY(fake->calls.isEmpty());
    }

    void open_unreadableValueStopsLoading_data()
    {
        QTest::addColumn<UnreadableCase>("c");
        QTest::addRow("unknown start-up mode") << UnreadableCase{"StartupMode", "Minimized", {"", "", "1", "0", "8388608", "0"},
                                                                 {"Minimized", "14", "1", "0", "8388608", "0", "Minimized"}};
        QTest::addRow("size not a number") << UnreadableCase{"FontSize", "big", {"Maximized", "", "1", "0", "8388608", "0"},
                                                             {"Maximized", "big", "1", "0", "8388608", "0", "big"}};
        QTest::addRow("tag colour letters") << UnreadableCase{"TagColor", "blue", {"Maximized", "14", "0", "0", "8388608", "0"},
                                                              {"Maximized", "14", "0", "0", "8388608", "0", "16711680"}};
        QTest::addRow("value italic letters") << UnreadableCase{"AttibValueItalic", "yes", {"Maximized", "14", "0", "1", "255", "0"},
                                                                {"Maximized", "14", "0", "1", "255", "0", "0"}};
    }
    void open_unreadableValueStopsLoading()
    {
        QFETCH(UnreadableCase, c);
        QList<std::pair<QString, QString>> values{{c.key, c.value}};
        const QStringList others{"Maximized", "14", "0", "1", "255", "1"};
        for (int i = 0; i < kSix.size(); ++i)
            if (kSix[i] != c.key)
                values.append({kSix[i], others[i]});
        fixture::writeSettings(kOptions, values);
        OptionsDialog dlg(main);
        QCOMPARE(messageTitles(), QStringList("Error Loading Options (Critical)"));
        QVERIFY2(fake->lastMessage().text.contains(c.value) && fake->lastMessage().text.contains(c.key), qPrintable(fake->lastMessage().text));
        QStringList seen, stored;
        for (const QString &key : kSix)
            seen << shown(&dlg).value(key);
        QCOMPARE(seen, c.shown);
        QVERIFY(!::part<QPushButton>(&dlg, "Apply")->isEnabled()); // still ready to use
        // A list left empty stores nothing, so the stored text stays (an empty one would fail
        // every later reading); unread values go in as the defaults.
        dlg.show();
        QTest::mouseClick(::part<QPushButton>(&dlg, "OK"), Qt::LeftButton);
        for (const QString &key : kSix + QStringList(c.key))
            stored << storedOptions().value(key, "-");
        QCOMPARE(stored, c.stored);
    }

    void change_storedAndApplyEnabledByListsAndParseAndScriptBoxes_data()
    {
        QTest::addColumn<ChangeCase>("c");
        for (const char *key : {"FontName", "FontSize", "StartupMode", "AutoParse", "RunPreviewScripts", "KeepFilesAsWritten", "ReopenWindows", "XsltProcessor"})
            QTest::addRow("%s", key) << ChangeCase{key, true, ""};
        for (const char *key : {"TagBold", "TagItalic", "AttribBold", "AttribItalic", "AttibValueBold", "AttibValueItalic"})
            QTest::addRow("%s", key) << ChangeCase{key, false, ""};
        QTest::addRow("TagColor") << ChangeCase{"TagColor", false, "Select Tag Color"};
        QTest::addRow("AttribColor") << ChangeCase{"AttribColor", false, "Select Attribute Color"};
        QTest::addRow("AttibValueColor") << ChangeCase{"AttibValueColor", false, "Select Attribute Value Color"};
    }
    void change_storedAndApplyEnabledByListsAndParseAndScriptBoxes()
    {
        QFETCH(ChangeCase, c);
        OptionsDialog dlg(main);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const Control &where = *std::find_if(std::begin(kControls), std::end(kControls), [&](const Control &k) { return qstrcmp(k.key, c.key) == 0; });
        showPanel(&dlg, where.panel);
        QWidget *w = byKey(&dlg, c.key);
        QVERIFY2(w && w->isVisible(), where.path);
        const QString before = valueOf(w);
        if (auto *list = qobject_cast<QComboBox *>(w))
            pick(list, QByteArray(c.key) == "FontName" ? otherFamily(&dlg) : list->itemText(list->currentIndex() == 1 ? 2 : 1));
        else if (c.colourTitle.isEmpty())
            QTest::mouseClick(w, Qt::LeftButton);
        else { // a single click asks nothing; a cancelled colour dialog changes nothing
            QTest::mouseClick(w, Qt::LeftButton);
            QTest::mouseDClick(w, Qt::LeftButton);
            QCOMPARE(valueOf(w), before);
            fake->colors << 4227200;
            QTest::mouseDClick(w, Qt::LeftButton);
            QCOMPARE(fake->calls.size(), 2);
            QCOMPARE(fake->calls.at(0).kind + " " + fake->calls.at(0).text + "|" + fake->calls.at(1).text, "color " + c.colourTitle + "|" + c.colourTitle);
            QCOMPARE(w->palette().color(QPalette::Window), QColor(128, 128, 64));
        }
        const QString after = valueOf(w);
        QVERIFY(after != before);
        QPushButton *apply = ::part<QPushButton>(&dlg, "Apply");
        QCOMPARE(apply->isEnabled(), c.enablesApply);
        // Apply stores and goes off; OK stores a change Apply did not announce too.
        QTest::mouseClick(c.enablesApply ? apply : ::part<QPushButton>(&dlg, "OK"), Qt::LeftButton);
        QCOMPARE(storedOptions().value(c.key), after);
        QVERIFY(!apply->isEnabled() && !dlg.cancelled);
        QCOMPARE(dlg.isVisible(), c.enablesApply);
    }

    void closing_decidesWhetherOptionsAreApplied_data()
    {
        QTest::addColumn<ClosingCase>("c");
        QTest::addRow("cancel button") << ClosingCase{"cancel", true, true, 9, {}};
        QTest::addRow("escape key") << ClosingCase{"escape", true, true, 9, {}};
        QTest::addRow("title-bar close box") << ClosingCase{"close", true, false, 9, {}};
        QTest::addRow("ok") << ClosingCase{"ok", true, false, 19, {}};
        QTest::addRow("close box, nothing stored") << ClosingCase{"close", false, false, 0, {}};
        QTest::addRow("apply, then cancel") << ClosingCase{"apply, cancel", false, true, 19, {}};
        QTest::addRow("ok, store not writable") << ClosingCase{"ok", false, false, 0, {"Error Saving Options (Critical)"}};
    }
    // Applied unless cancelled, to both panes of every window: what is stored, the defaults for
    // what is not; a size never stored leaves the editors' own. The start-up mode waits for the
    // next start.
    void closing_decidesWhetherOptionsAreApplied()
    {
        QFETCH(ClosingCase, c);
        DocumentWindow *first = fixture::newDocument(main), *second = fixture::newDocument(main);
        first->ensurePreviewPage(); // one window has shown its preview already, the other not yet
        for (DocumentWindow *doc : {first, second})
            stylesheetPane(doc)->setTagColor(0);
        const QString size = stylesheetPane(first)->fontSize(), family = stylesheetPane(first)->fontName();
        QVERIFY(first->autoParse() && size != "14" && family != "DejaVu Serif");
        if (c.stored)
            fixture::writeSettings(kOptions, {{"AutoParse", "0"}, {"FontSize", "14"}, {"FontName", "DejaVu Serif"}, {"TagBold", "1"},
                                              {"AttribItalic", "1"}, {"AttibValueColor", "65280"}, {"StartupMode", "Maximized"},
                                              {"RunPreviewScripts", "1"}, {"KeepFilesAsWritten", "0"}});
        if (!c.messages.isEmpty())
            QVERIFY(QDir().mkpath(SettingsStore::fileName())); // a folder where the file should be
        bool canceled = !c.canceled;
        QVERIFY(runOptions([&](OptionsDialog *dlg) {
            if (c.how.startsWith("apply")) {
                showPanel(dlg, "Fonts");
                pick(control(dlg, "Size"), "14");
                QTest::mouseClick(::part<QPushButton>(dlg, "Apply"), Qt::LeftButton);
            }
            if (c.how == "escape")
                QTest::keyClick(dlg, Qt::Key_Escape);
            else if (c.how == "close")
                dlg->close();
            else
                QTest::mouseClick(::part<QPushButton>(dlg, c.how.endsWith("cancel") ? "Cancel" : "OK"), Qt::LeftButton);
            canceled = dlg->cancelled;
            QVERIFY(!dlg->isVisible());
        }));
        QCOMPARE(canceled, c.canceled);
        QVERIFY(!main->findChild<OptionsDialog *>()); // gone once the command is done
        QCOMPARE(messageTitles(), c.messages);
        QCOMPARE(storedOptions().size(), c.written);
        QCOMPARE(storedOptions().value("FontSize"), c.written ? "14" : "");
        const bool fromStore = !c.canceled && c.stored;
        for (DocumentWindow *doc : {first, second}) {
            for (SyntaxBox *box : {stylesheetPane(doc), sourcePane(doc)}) {
                const EditorLook seen{box->fontName(), box->fontSize(), styles(box), doc->autoParse(), scriptsRun(doc), doc->keepAsWritten()};
                const EditorLook expected = fromStore ? EditorLook{"DejaVu Serif", "14", "16711680B 8388608BI 65280", false, true, false}
                    : EditorLook{family, size,
                                 c.canceled && box == stylesheetPane(doc) ? "0 8388608B 128" : "16711680 8388608B 128",
                                 true, false, true};
                QCOMPARE(seen, expected);
            }
        }
        QVERIFY(!main->isMaximized());
    }

    // The processor list: what each entry says and stores, an unknown stored value read as
    // Automatic, and the choice reaching every open window once applied.
    void xsltProcessor_choiceReachesTheWindows()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        QCOMPARE(doc->model()->processorChoice(), StylesheetDocument::ProcessorChoice::Automatic);
        fixture::writeSettings(kOptions, {{"XsltProcessor", "no such processor"}});
        QVERIFY(runOptions([](OptionsDialog *dlg) {
            auto *list = ::part<QComboBox>(dlg, "XSLT processor:");
            QVERIFY(list);
            QStringList items;
            for (int i = 0; i < list->count(); ++i)
                items << list->itemText(i);
            QCOMPARE(items, QStringList({"Automatic", "libxslt (XSLT 1.0)", "Saxon-HE (XSLT 3.0)"}));
            QCOMPARE(list->currentText(), QStringLiteral("Automatic"));
            list->setCurrentIndex(2);
            QTest::mouseClick(::part<QPushButton>(dlg, "OK"), Qt::LeftButton);
        }));
        QCOMPARE(storedOptions().value("XsltProcessor"), QStringLiteral("Saxon-HE"));
        QCOMPARE(doc->model()->processorChoice(), StylesheetDocument::ProcessorChoice::Saxon);
        QCOMPARE(fixture::newDocument(main)->model()->processorChoice(), StylesheetDocument::ProcessorChoice::Saxon);
    }

    void apply_badStoredColourStopsAtThatStep()
    {
        fixture::writeSettings(kOptions, {{"TagColor", "blue"}});
        main->setChildWindowFonts(); // no window open: nothing is read, nothing said
        QVERIFY(fake->calls.isEmpty());
        fixture::clearSettings();
        DocumentWindow *first = fixture::newDocument(main);
        DocumentWindow *second = fixture::newDocument(main);
        fixture::writeSettings(kOptions, {{"FontSize", "14"}, {"TagColor", "blue"}, {"AutoParse", "0"}});
        const QString size = stylesheetPane(first)->fontSize();
        stylesheetPane(first)->setTagColor(0);
        // The dialog reports the value it cannot show, then its close box applies what is stored.
        QVERIFY(runOptions([](OptionsDialog *dlg) { dlg->close(); }));
        QCOMPARE(messageTitles(), QStringList({"Error Loading Options (Critical)", "Error Child Window Fonts (Critical)"}));
        const QString text = fake->lastMessage().text;
        QVERIFY2(text.contains(QStringLiteral("blue")) && text.contains(QStringLiteral("TagColor")), qPrintable(text));
        // Steps before the failure stay done; nothing after it happens.
        QCOMPARE(QStringList({stylesheetPane(first)->fontSize(), sourcePane(first)->fontSize(), stylesheetPane(second)->fontSize()}), QStringList({"14", size, size}));
        QVERIFY(styles(stylesheetPane(first)).startsWith("0 "));
        QVERIFY(first->autoParse() && second->autoParse());
    }

    void store_handEditedListValueStaysText()
    {
        QDir().mkpath(testenv::configHome() + "/Zendrik");
        QFile f(testenv::configHome() + "/Zendrik/Zendrik.conf");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("[Options]\nFontName=Courier,New\n") > 0);
        f.close();
        QCOMPARE(SettingsStore::read("Options", "FontName", ""), QStringLiteral("Courier,New"));
    }

    // Stored texts as the options read them: flags, sizes and colours.
    void convert_data()
    {
        QTest::addColumn<ConvertCase>("c");
        const auto row = [](const char *kind, const char *name, const ConvertCase &c) { QTest::addRow("%s, %s", kind, name) << c; };
        row("flag", "minus one", {"-1", true, 1});
        row("flag", "True", {"True", true, 1});
        row("flag", "false lower", {"false", true, 0});
        row("flag", "letters", {"yes", false, 0});
        row("size", "half down to even", {"10.5", true, 10});
        row("size", "half up to even", {"11.5", true, 12});
        row("size", "largest", {"32767", true, 32767});
        row("size", "overflow", {"32768", false, 0});
        row("colour", "negative", {"-1", true, -1});
        row("colour", "overflow", {"4294967296", false, 0});
    }
    void convert()
    {
        QFETCH(ConvertCase, c);
        const QString kind = QString::fromLatin1(QTest::currentDataTag()).section(',', 0, 0);
        const QString key = kind == "flag" ? "AutoParse" : kind == "size" ? "FontSize" : "TagColor";
        try {
            const double value = kind == "flag" ? SettingsConvert::toBoolean(c.text, key)
                : kind == "size" ? SettingsConvert::toInt16(c.text, key) : double(SettingsConvert::toInt32(c.text, key));
            QVERIFY2(c.valid, "no failure raised");
            QCOMPARE(value, c.expected);
        } catch (const SettingsError &e) {
            const QString what = QString::fromUtf8(e.what());
            QVERIFY2(!c.valid && what.contains(key) && what.contains('"' + c.text + '"'), qPrintable(what));
        }
    }
};

ZENDRIK_TEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
