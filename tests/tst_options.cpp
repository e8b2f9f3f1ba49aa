#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "options/frmoptions.h"
#include "options/settingsstore.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <Qsci/qscilexerhtml.h>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

using fixture::documentWindows;
using Sci = QsciScintillaBase;

namespace {

const QString kOptions = QStringLiteral("Options");

template<class T>
T *child(QWidget *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

// A control's value the way the store writes it.
QString valueOf(QWidget *dlg, const QString &name)
{
    QObject *o = dlg->findChild<QObject *>(name);
    if (auto *list = qobject_cast<QComboBox *>(o))
        return list->currentText();
    if (auto *box = qobject_cast<QCheckBox *>(o))
        return box->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    if (auto *swatch = qobject_cast<ColorSwatch *>(o))
        return QString::number(swatch->color());
    return QStringLiteral("<no control %1>").arg(name);
}

// Everything stored under [Options], read straight from the file.
QMap<QString, QString> storedOptions()
{
    QSettings s(SettingsStore::fileName(), QSettings::IniFormat);
    s.beginGroup(kOptions);
    QMap<QString, QString> out;
    for (const QString &key : s.childKeys())
        out.insert(key, s.value(key).toString());
    return out;
}

QTreeWidgetItem *node(QTreeWidget *tree, const QString &text)
{
    const QList<QTreeWidgetItem *> found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

void clickNode(QTreeWidget *tree, const QString &text)
{
    QTreeWidgetItem *item = node(tree, text);
    QVERIFY2(item, qPrintable(text));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

// Brings a panel up the way a user does: open the category root, click the leaf.
void showPanel(QWidget *dlg, const QString &leaf)
{
    auto *tree = child<QTreeWidget>(dlg, "tvwOptions");
    if (!node(tree, QStringLiteral("Environment"))->isExpanded())
        clickNode(tree, QStringLiteral("Environment"));
    clickNode(tree, leaf);
}

// The panel a user sees in the middle of the shared panel area.
QWidget *frontPanel(QWidget *dlg)
{
    QWidget *area = child<QWidget>(dlg, "SSPanelFont")->parentWidget();
    QWidget *hit = area->childAt(area->rect().center());
    for (const char *name : {"SSPanelGeneral", "SSPanelEditor", "SSPanelFont"}) {
        QWidget *panel = child<QWidget>(dlg, name);
        if (hit && (hit == panel || panel->isAncestorOf(hit)))
            return panel;
    }
    return nullptr;
}

// Picks the entry text in a drop-down list with the keyboard, as a user would.
void pick(QComboBox *list, const QString &text)
{
    const int target = list->findText(text);
    QVERIFY2(target >= 0, qPrintable(text));
    if (list->currentIndex() < 0)
        QTest::keyClick(list, Qt::Key_Home);
    while (list->currentIndex() < target)
        QTest::keyClick(list, Qt::Key_Down);
    while (list->currentIndex() > target)
        QTest::keyClick(list, Qt::Key_Up);
}

// Scintilla's own view of a style: what the user sees.
long styleFore(SyntaxBox *box, int style)
{
    return box->SendScintilla(Sci::SCI_STYLEGETFORE, style);
}
bool styleBold(SyntaxBox *box, int style)
{
    return qAbs(box->SendScintilla(Sci::SCI_STYLEGETWEIGHT, style)) >= QFont::DemiBold;
}
bool styleItalic(SyntaxBox *box, int style)
{
    return box->SendScintilla(Sci::SCI_STYLEGETITALIC, style) != 0;
}

const QStringList kAllKeys = {"StartupMode", "AutoParse", "FontName", "FontSize", "TagColor", "TagBold", "TagItalic",
                              "AttribColor", "AttribBold", "AttribItalic", "AttibValueColor", "AttibValueBold",
                              "AttibValueItalic"};

} // namespace

class TstOptions : public QObject, public fixture::Session
{
    Q_OBJECT

    // Tools > Options with script run inside the modal dialog. The dialog is closed afterwards
    // if the script left it open, so a failing script cannot hang the test.
    bool runOptions(const std::function<void(frmOptions *)> &script)
    {
        bool ran = false;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, [&] {
            auto *dlg = qobject_cast<frmOptions *>(QApplication::activeModalWidget());
            if (!dlg)
                return;
            poll.stop();
            ran = true;
            script(dlg);
            if (dlg->isVisible())
                dlg->reject();
        });
        poll.start();
        main->menuItem(QStringLiteral("mnuOptions"))->trigger();
        return ran;
    }
    QStringList messageTitles() const
    {
        QStringList titles;
        for (const auto &call : fake->messages())
            titles << call.title;
        return titles;
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { stop(); }

    void open_emptyStoreShowsDefaults()
    {
        frmOptions dlg(main);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Options"));
        QVERIFY(dlg.isModal());
        QCOMPARE(dlg.blnCanceled, false);

        auto *startup = child<QComboBox>(&dlg, "cboStartupMode");
        QStringList entries;
        for (int i = 0; i < startup->count(); ++i)
            entries << startup->itemText(i);
        QCOMPARE(entries, QStringList({"Normal", "Maximized"}));
        QCOMPARE(startup->currentText(), QStringLiteral("Normal"));

        auto *sizes = child<QComboBox>(&dlg, "cboFontSize");
        entries.clear();
        for (int i = 0; i < sizes->count(); ++i)
            entries << sizes->itemText(i);
        QCOMPARE(entries, QStringList({"8", "9", "10", "11", "12", "14", "16", "18", "20", "22", "24", "26", "28", "36",
                                       "48", "72"}));

        // Every installed family, sorted, and none typed in.
        auto *fonts = child<QComboBox>(&dlg, "cboFonts");
        QStringList families = QFontDatabase::families();
        families.removeDuplicates();
        entries.clear();
        for (int i = 0; i < fonts->count(); ++i)
            entries << fonts->itemText(i);
        QCOMPARE(entries.size(), families.size());
        QStringList sorted = entries;
        std::sort(sorted.begin(), sorted.end(), [](const QString &a, const QString &b) { return QString::localeAwareCompare(a, b) < 0; });
        QCOMPARE(entries, sorted);
        for (QComboBox *list : {startup, sizes, fonts})
            QVERIFY2(!list->isEditable(), qPrintable(list->objectName()));

        // The sample box's own font and size, rounded to a whole number.
        auto *sample = child<QLineEdit>(&dlg, "txtSample");
        QCOMPARE(fonts->currentText(), QFontInfo(sample->font()).family());
        QCOMPARE(sizes->currentText(), QString::number(qRound(sample->font().pointSizeF())));
        QCOMPARE(sizes->currentText(), QStringLiteral("8"));

        QCOMPARE(valueOf(&dlg, "cbxAutoParse"), QStringLiteral("1"));
        QCOMPARE(valueOf(&dlg, "picTagColor"), QStringLiteral("16711680"));
        QCOMPARE(valueOf(&dlg, "picAttribColor"), QStringLiteral("8388608"));
        QCOMPARE(valueOf(&dlg, "picAttribValueColor"), QStringLiteral("128"));
        QCOMPARE(child<QWidget>(&dlg, "picTagColor")->palette().color(QPalette::Window), QColor(0, 0, 255));
        QCOMPARE(child<QWidget>(&dlg, "picAttribColor")->palette().color(QPalette::Window), QColor(0, 0, 128));
        QCOMPARE(child<QWidget>(&dlg, "picAttribValueColor")->palette().color(QPalette::Window), QColor(128, 0, 0));
        for (const char *box : {"cbxTagBold", "cbxTagItalic", "cbxAttribBold", "cbxAttribItalic", "cbxAttribValueBold",
                                "cbxAttribValueItalic"})
            QCOMPARE(valueOf(&dlg, box), QStringLiteral("0"));

        QVERIFY(!child<QPushButton>(&dlg, "cmdApply")->isEnabled());
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        for (const char *panel : {"SSPanelGeneral", "SSPanelEditor", "SSPanelFont"})
            QVERIFY2(!child<QWidget>(&dlg, panel)->isVisible(), panel);

        auto *tree = child<QTreeWidget>(&dlg, "tvwOptions");
        QCOMPARE(tree->topLevelItemCount(), 1);
        QTreeWidgetItem *root = tree->topLevelItem(0);
        QCOMPARE(root->text(0), QStringLiteral("Environment"));
        QVERIFY(!root->isExpanded());
        QCOMPARE(root->childCount(), 3);
        QCOMPARE(root->child(0)->text(0), QStringLiteral("General"));
        QCOMPARE(root->child(1)->text(0), QStringLiteral("Editor"));
        QCOMPARE(root->child(2)->text(0), QStringLiteral("Fonts"));
        QVERIFY(fake->calls.isEmpty());
        // Nothing is written by just looking.
        QVERIFY(!fixture::settingsFileExists());
    }

    void texts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QString>("text");
        QTest::addRow("startup label") << "lblStartup" << QByteArray("text") << "Startup:";
        QTest::addRow("auto-parse frame") << "fraAutoParse" << QByteArray("title") << "Auto-Parse";
        QTest::addRow("auto-parse box") << "cbxAutoParse" << QByteArray("text") << "Parse Document on Edit";
        QTest::addRow("tag frame") << "fraTagColor" << QByteArray("title") << "Tag Color";
        QTest::addRow("attribute frame") << "fraAttribColor" << QByteArray("title") << "Attribute Color";
        QTest::addRow("value frame") << "fraAttribValueColor" << QByteArray("title") << "Attribute Value Color";
        for (const char *swatch : {"picTagColor", "picAttribColor", "picAttribValueColor"})
            QTest::addRow("%s tooltip", swatch) << swatch << QByteArray("toolTip") << "Double-click to change";
        for (const char *box : {"cbxTagBold", "cbxAttribBold", "cbxAttribValueBold"})
            QTest::addRow("%s", box) << box << QByteArray("text") << "Bold";
        for (const char *box : {"cbxTagItalic", "cbxAttribItalic", "cbxAttribValueItalic"})
            QTest::addRow("%s", box) << box << QByteArray("text") << "Italic";
        QTest::addRow("family frame") << "fraFontFamily" << QByteArray("title") << "Font Family";
        QTest::addRow("size frame") << "fraSize" << QByteArray("title") << "Size";
        QTest::addRow("sample frame") << "fraSample" << QByteArray("title") << "Sample Text";
        QTest::addRow("sample") << "txtSample" << QByteArray("text") << "Sample";
        QTest::addRow("ok") << "cmdOK" << QByteArray("text") << "OK";
        QTest::addRow("cancel") << "cmdCancel" << QByteArray("text") << "Cancel";
        QTest::addRow("apply") << "cmdApply" << QByteArray("text") << "Apply";
    }
    void texts()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, property);
        QFETCH(QString, text);
        frmOptions dlg(main);
        QObject *o = dlg.findChild<QObject *>(name);
        QVERIFY2(o, qPrintable(name));
        QCOMPARE(o->property(property.constData()).toString(), text);
    }

    void panels_haveTheirHeadingAndControls_data()
    {
        QTest::addColumn<QString>("panel");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QStringList>("controls");
        QTest::addRow("general") << "SSPanelGeneral" << "General" << QStringList{"cboStartupMode"};
        QTest::addRow("editor") << "SSPanelEditor" << "Editor"
                                << QStringList{"cbxAutoParse", "picTagColor", "picAttribColor", "picAttribValueColor",
                                               "cbxTagBold", "cbxAttribValueItalic"};
        QTest::addRow("font") << "SSPanelFont" << "Fonts" << QStringList{"cboFonts", "cboFontSize", "txtSample"};
    }
    void panels_haveTheirHeadingAndControls()
    {
        QFETCH(QString, panel);
        QFETCH(QString, heading);
        QFETCH(QStringList, controls);
        frmOptions dlg(main);
        auto *p = dlg.findChild<QWidget *>(panel);
        QVERIFY(p);
        auto *label = p->findChild<QLabel *>(QStringLiteral("lblHeading"));
        QVERIFY(label);
        QCOMPARE(label->text(), heading);
        for (const QString &c : controls)
            QVERIFY2(p->findChild<QWidget *>(c), qPrintable(c));
    }

    void open_showsStoredValues_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("shown");
        QTest::addRow("size 10.5 rounds to even") << "FontSize" << "10.5" << "cboFontSize" << "10";
        QTest::addRow("size 11.5 rounds to even") << "FontSize" << "11.5" << "cboFontSize" << "12";
        QTest::addRow("size 72") << "FontSize" << "72" << "cboFontSize" << "72";
        QTest::addRow("maximized") << "StartupMode" << "Maximized" << "cboStartupMode" << "Maximized";
        QTest::addRow("maximized lower case") << "StartupMode" << "maximized" << "cboStartupMode" << "Maximized";
        QTest::addRow("auto-parse off") << "AutoParse" << "0" << "cbxAutoParse" << "0";
        QTest::addRow("tag colour") << "TagColor" << "255" << "picTagColor" << "255";
        QTest::addRow("tag bold") << "TagBold" << "1" << "cbxTagBold" << "1";
        QTest::addRow("tag italic") << "TagItalic" << "1" << "cbxTagItalic" << "1";
        QTest::addRow("attribute colour") << "AttribColor" << "65280" << "picAttribColor" << "65280";
        QTest::addRow("attribute bold") << "AttribBold" << "1" << "cbxAttribBold" << "1";
        QTest::addRow("attribute italic") << "AttribItalic" << "1" << "cbxAttribItalic" << "1";
        QTest::addRow("value colour") << "AttibValueColor" << "4227072" << "picAttribValueColor" << "4227072";
        QTest::addRow("value bold") << "AttibValueBold" << "1" << "cbxAttribValueBold" << "1";
        QTest::addRow("value italic") << "AttibValueItalic" << "1" << "cbxAttribValueItalic" << "1";
    }
    void open_showsStoredValues()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, control);
        QFETCH(QString, shown);
        fixture::writeSettings(kOptions, {{key, stored}});
        frmOptions dlg(main);
        QCOMPARE(valueOf(&dlg, control), shown);
        QVERIFY(fake->calls.isEmpty());
        QVERIFY(!child<QPushButton>(&dlg, "cmdApply")->isEnabled());
    }

    void open_storedFontAndSizeReachTheSample()
    {
        frmOptions probe(main);
        auto *fonts = child<QComboBox>(&probe, "cboFonts");
        const QString other = fonts->itemText(fonts->currentIndex() == 0 ? 1 : 0);
        fixture::writeSettings(kOptions, {{"FontName", other}, {"FontSize", "20"}});
        frmOptions dlg(main);
        auto *sample = child<QLineEdit>(&dlg, "txtSample");
        QCOMPARE(child<QComboBox>(&dlg, "cboFonts")->currentText(), other);
        QCOMPARE(sample->font().family(), other);
        QCOMPARE(sample->font().pointSizeF(), 20.0);
    }

    void open_unreadableValueStopsLoading_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QStringList>("loaded");   // controls read before the failing key
        QTest::addColumn<QStringList>("unloaded"); // controls after it, which keep their initial value
        QTest::addRow("unknown start-up mode") << "StartupMode" << "Minimized" << QStringList{}
                                               << QStringList{"cboFontSize", "cbxAutoParse", "cbxTagBold"};
        QTest::addRow("font not installed") << "FontName" << "No Such Font Family 123"
                                            << QStringList{"cboStartupMode"}
                                            << QStringList{"cboFontSize", "cbxAutoParse", "cbxTagBold"};
        QTest::addRow("size not in the list") << "FontSize" << "13" << QStringList{"cboStartupMode"}
                                              << QStringList{"cbxAutoParse", "cbxTagBold"};
        QTest::addRow("size not a number") << "FontSize" << "big" << QStringList{"cboStartupMode"}
                                           << QStringList{"cbxAutoParse", "cbxTagBold"};
        QTest::addRow("tag colour letters") << "TagColor" << "blue" << QStringList{"cboStartupMode", "cboFontSize", "cbxAutoParse"}
                                            << QStringList{"cbxTagBold", "picAttribColor"};
        QTest::addRow("value italic letters") << "AttibValueItalic" << "yes"
                                              << QStringList{"cboStartupMode", "cboFontSize", "cbxAutoParse", "cbxTagBold",
                                                             "picAttribColor"}
                                              << QStringList{"cbxAttribValueItalic"};
    }
    void open_unreadableValueStopsLoading()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QStringList, loaded);
        QFETCH(QStringList, unloaded);
        // Every other key holds a value unlike the dialog's initial one.
        const QMap<QString, QString> others{{"StartupMode", "Maximized"}, {"FontSize", "14"},  {"AutoParse", "0"},
                                            {"TagBold", "1"},             {"AttribColor", "255"}, {"AttibValueItalic", "1"}};
        QList<std::pair<QString, QString>> values{{key, stored}};
        for (auto it = others.cbegin(); it != others.cend(); ++it)
            if (it.key() != key)
                values.append({it.key(), it.value()});
        fixture::writeSettings(kOptions, values);

        frmOptions dlg(main);
        QCOMPARE(fake->messages().size(), 1);
        const auto box = fake->lastMessage();
        QCOMPARE(box.title, QStringLiteral("Error Loading Options"));
        QCOMPARE(box.style, 16);
        QVERIFY2(box.text.contains(stored) && box.text.contains(key), qPrintable(box.text));

        const QMap<QString, QString> shown{{"cboStartupMode", "Maximized"}, {"cboFontSize", "14"}, {"cbxAutoParse", "0"},
                                           {"cbxTagBold", "1"},            {"picAttribColor", "255"},
                                           {"cbxAttribValueItalic", "1"}};
        const QMap<QString, QString> initial{{"cboStartupMode", ""}, {"cboFontSize", ""}, {"cbxAutoParse", "1"},
                                             {"cbxTagBold", "0"},     {"picAttribColor", "8388608"},
                                             {"cbxAttribValueItalic", "0"}};
        for (const QString &c : loaded)
            QCOMPARE(valueOf(&dlg, c), shown.value(c));
        for (const QString &c : unloaded)
            QCOMPARE(valueOf(&dlg, c), initial.value(c));
        // The dialog still opens ready to use.
        QVERIFY(!child<QPushButton>(&dlg, "cmdApply")->isEnabled());
        QCOMPARE(child<QTreeWidget>(&dlg, "tvwOptions")->topLevelItemCount(), 1);
    }

    void ok_afterLoadFailureKeepsWhatNoListHolds()
    {
        fixture::writeSettings(kOptions, {{"FontName", "No Such Font Family 123"}, {"TagBold", "1"}});
        frmOptions dlg(main);
        dlg.show();
        QTest::mouseClick(child<QPushButton>(&dlg, "cmdOK"), Qt::LeftButton);
        const QMap<QString, QString> stored = storedOptions();
        // An empty font name would fail every later reading; the old one stays until the user picks.
        QCOMPARE(stored.value("FontName"), QStringLiteral("No Such Font Family 123"));
        QCOMPARE(stored.value("FontSize"), QString()); // never loaded, never picked
        QCOMPARE(stored.value("StartupMode"), QStringLiteral("Normal"));
        // Unread values are stored as the defaults, not as black or off.
        QCOMPARE(stored.value("TagColor"), QStringLiteral("16711680"));
        QCOMPARE(stored.value("AutoParse"), QStringLiteral("1"));
        QCOMPARE(stored.value("TagBold"), QStringLiteral("0"));
    }

    void tree_clicksShowPanels()
    {
        frmOptions dlg(main);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        auto *tree = child<QTreeWidget>(&dlg, "tvwOptions");
        QTreeWidgetItem *root = node(tree, "Environment");

        clickNode(tree, "Environment");
        QVERIFY(root->isExpanded());
        QCOMPARE(frontPanel(&dlg), nullptr);
        clickNode(tree, "Environment");
        QVERIFY(!root->isExpanded());
        clickNode(tree, "Environment");

        clickNode(tree, "Fonts");
        QCOMPARE(frontPanel(&dlg), child<QWidget>(&dlg, "SSPanelFont"));
        clickNode(tree, "General");
        QCOMPARE(frontPanel(&dlg), child<QWidget>(&dlg, "SSPanelGeneral"));
        // Panels once shown stay shown, under the one chosen last.
        QVERIFY(child<QWidget>(&dlg, "SSPanelFont")->isVisible());
        clickNode(tree, "Editor");
        QCOMPARE(frontPanel(&dlg), child<QWidget>(&dlg, "SSPanelEditor"));
        clickNode(tree, "Fonts");
        QCOMPARE(frontPanel(&dlg), child<QWidget>(&dlg, "SSPanelFont"));
        // Clicking the root again shows nothing new and folds the tree.
        clickNode(tree, "Environment");
        QVERIFY(!root->isExpanded());
        QCOMPARE(frontPanel(&dlg), child<QWidget>(&dlg, "SSPanelFont"));
        QVERIFY(!child<QWidget>(&dlg, "SSPanelEditor")->isHidden());
    }

    void apply_enabledByListsAndParseBoxOnly_data()
    {
        QTest::addColumn<QString>("panel");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("enables");
        QTest::addRow("font pick") << "Fonts" << "cboFonts" << "FontName" << true;
        QTest::addRow("size pick") << "Fonts" << "cboFontSize" << "FontSize" << true;
        QTest::addRow("start-up pick") << "General" << "cboStartupMode" << "StartupMode" << true;
        QTest::addRow("parse on edit") << "Editor" << "cbxAutoParse" << "AutoParse" << true;
        QTest::addRow("tag bold") << "Editor" << "cbxTagBold" << "TagBold" << false;
        QTest::addRow("tag italic") << "Editor" << "cbxTagItalic" << "TagItalic" << false;
        QTest::addRow("attribute bold") << "Editor" << "cbxAttribBold" << "AttribBold" << false;
        QTest::addRow("attribute italic") << "Editor" << "cbxAttribItalic" << "AttribItalic" << false;
        QTest::addRow("value bold") << "Editor" << "cbxAttribValueBold" << "AttibValueBold" << false;
        QTest::addRow("value italic") << "Editor" << "cbxAttribValueItalic" << "AttibValueItalic" << false;
    }
    void apply_enabledByListsAndParseBoxOnly()
    {
        QFETCH(QString, panel);
        QFETCH(QString, control);
        QFETCH(QString, key);
        QFETCH(bool, enables);
        frmOptions dlg(main);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        showPanel(&dlg, panel);
        auto *apply = child<QPushButton>(&dlg, "cmdApply");
        const QString before = valueOf(&dlg, control);

        QWidget *w = dlg.findChild<QWidget *>(control);
        if (auto *list = qobject_cast<QComboBox *>(w))
            pick(list, list->itemText(list->currentIndex() == 0 ? 1 : 0));
        else
            QTest::mouseClick(w, Qt::LeftButton);
        const QString after = valueOf(&dlg, control);
        QVERIFY(after != before);
        QCOMPARE(apply->isEnabled(), enables);

        if (enables) {
            QTest::mouseClick(apply, Qt::LeftButton);
            QVERIFY(!apply->isEnabled());
            QVERIFY(dlg.isVisible());
            QCOMPARE(storedOptions().value(key), after);
        } else {
            // OK still stores a change Apply did not announce.
            QTest::mouseClick(child<QPushButton>(&dlg, "cmdOK"), Qt::LeftButton);
            QVERIFY(!dlg.isVisible());
            QCOMPARE(storedOptions().value(key), after);
        }
        QCOMPARE(dlg.blnCanceled, false);
    }

    void sample_followsSizeAndFontPicks()
    {
        frmOptions dlg(main);
        dlg.show();
        showPanel(&dlg, "Fonts");
        auto *sample = child<QLineEdit>(&dlg, "txtSample");
        pick(child<QComboBox>(&dlg, "cboFontSize"), "14");
        QCOMPARE(sample->font().pointSizeF(), 14.0);
        auto *fonts = child<QComboBox>(&dlg, "cboFonts");
        const QString other = fonts->itemText(fonts->currentIndex() == 0 ? 1 : 0);
        pick(fonts, other);
        QCOMPARE(sample->font().family(), other);
        QCOMPARE(sample->font().pointSizeF(), 14.0);
        // Styles are not previewed.
        showPanel(&dlg, "Editor");
        QTest::mouseClick(child<QCheckBox>(&dlg, "cbxTagBold"), Qt::LeftButton);
        QVERIFY(!sample->font().bold());
        QTest::mouseClick(child<QPushButton>(&dlg, "cmdApply"), Qt::LeftButton);
        QCOMPARE(storedOptions().value("FontSize"), QStringLiteral("14"));
        QCOMPARE(storedOptions().value("FontName"), other);
    }

    void ok_writesAllThirteenKeys()
    {
        frmOptions dlg(main);
        dlg.show();
        const QString family = child<QComboBox>(&dlg, "cboFonts")->currentText();
        QTest::mouseClick(child<QPushButton>(&dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.blnCanceled, false);
        const QMap<QString, QString> expected{
            {"StartupMode", "Normal"},   {"AutoParse", "1"},         {"FontName", family},     {"FontSize", "8"},
            {"TagColor", "16711680"},    {"TagBold", "0"},           {"TagItalic", "0"},       {"AttribColor", "8388608"},
            {"AttribBold", "0"},         {"AttribItalic", "0"},      {"AttibValueColor", "128"}, {"AttibValueBold", "0"},
            {"AttibValueItalic", "0"}};
        QCOMPARE(storedOptions(), expected);
        QStringList keys = kAllKeys;
        keys.sort();
        QCOMPARE(QStringList(expected.keys()), keys);
        // The attribute-value keys are stored under their historical spelling.
        QVERIFY(fixture::settingsFileText().contains(QStringLiteral("[Options]")));
        QVERIFY(fixture::settingsFileText().contains(QStringLiteral("\nAttibValueColor=128")));
        QVERIFY(fake->calls.isEmpty());
    }

    void ok_writesChangedValues()
    {
        fake->colors << 255 << 65280 << 16776960;
        frmOptions dlg(main);
        dlg.show();
        showPanel(&dlg, "General");
        pick(child<QComboBox>(&dlg, "cboStartupMode"), "Maximized");
        showPanel(&dlg, "Fonts");
        pick(child<QComboBox>(&dlg, "cboFontSize"), "36");
        showPanel(&dlg, "Editor");
        QTest::mouseClick(child<QCheckBox>(&dlg, "cbxAutoParse"), Qt::LeftButton);
        for (const char *swatch : {"picTagColor", "picAttribColor", "picAttribValueColor"})
            QTest::mouseDClick(child<QWidget>(&dlg, swatch), Qt::LeftButton);
        for (const char *box : {"cbxTagItalic", "cbxAttribBold", "cbxAttribValueBold", "cbxAttribValueItalic"})
            QTest::mouseClick(child<QCheckBox>(&dlg, box), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>(&dlg, "cmdOK"), Qt::LeftButton);

        const QMap<QString, QString> stored = storedOptions();
        QCOMPARE(stored.value("StartupMode"), QStringLiteral("Maximized"));
        QCOMPARE(stored.value("FontSize"), QStringLiteral("36"));
        QCOMPARE(stored.value("AutoParse"), QStringLiteral("0"));
        QCOMPARE(stored.value("TagColor"), QStringLiteral("255"));
        QCOMPARE(stored.value("AttribColor"), QStringLiteral("65280"));
        QCOMPARE(stored.value("AttibValueColor"), QStringLiteral("16776960"));
        QCOMPARE(stored.value("TagBold"), QStringLiteral("0"));
        QCOMPARE(stored.value("TagItalic"), QStringLiteral("1"));
        QCOMPARE(stored.value("AttribBold"), QStringLiteral("1"));
        QCOMPARE(stored.value("AttribItalic"), QStringLiteral("0"));
        QCOMPARE(stored.value("AttibValueBold"), QStringLiteral("1"));
        QCOMPARE(stored.value("AttibValueItalic"), QStringLiteral("1"));
    }

    void colourDialog_titlesAndAnswers_data()
    {
        QTest::addColumn<QString>("swatch");
        QTest::addColumn<QString>("title");
        QTest::addColumn<long>("before");
        QTest::addRow("tag") << "picTagColor" << "Select Tag Color" << 16711680L;
        QTest::addRow("attribute") << "picAttribColor" << "Select Attribute Color" << 8388608L;
        QTest::addRow("attribute value") << "picAttribValueColor" << "Select Attribute Value Color" << 128L;
    }
    void colourDialog_titlesAndAnswers()
    {
        QFETCH(QString, swatch);
        QFETCH(QString, title);
        QFETCH(long, before);
        frmOptions dlg(main);
        dlg.show();
        showPanel(&dlg, "Editor");
        auto *pic = dlg.findChild<ColorSwatch *>(swatch);
        auto *apply = child<QPushButton>(&dlg, "cmdApply");

        // Cancelled: nothing changes and nothing is said.
        QTest::mouseDClick(pic, Qt::LeftButton);
        QCOMPARE(fake->calls.size(), 1);
        QCOMPARE(fake->calls.at(0).kind, QStringLiteral("color"));
        QCOMPARE(fake->calls.at(0).text, title);
        QCOMPARE(pic->color(), before);
        QVERIFY(!apply->isEnabled());
        QVERIFY(fake->messages().isEmpty());

        // Picked: the swatch takes it; a colour change does not announce itself on Apply.
        fake->colors << 4210752;
        QTest::mouseDClick(pic, Qt::LeftButton);
        QCOMPARE(fake->calls.size(), 2);
        QCOMPARE(pic->color(), 4210752L);
        QCOMPARE(pic->palette().color(QPalette::Window), QColor(64, 64, 64));
        QVERIFY(!apply->isEnabled());
        // A single click asks nothing.
        QTest::mouseClick(pic, Qt::LeftButton);
        QCOMPARE(fake->calls.size(), 2);
    }

    void closing_decidesWhetherOptionsAreApplied_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("canceled");
        QTest::addRow("cancel button") << "cancel" << true;
        QTest::addRow("escape key") << "escape" << true;
        QTest::addRow("title-bar close box") << "close" << false;
        QTest::addRow("ok") << "ok" << false;
    }
    void closing_decidesWhetherOptionsAreApplied()
    {
        QFETCH(QString, how);
        QFETCH(bool, canceled);
        frmEditor *doc = fixture::newDocument(main);
        QVERIFY(doc);
        QVERIFY(doc->blnAutoParse);
        // Stored meanwhile, as by an earlier Apply.
        fixture::writeSettings(kOptions, {{"AutoParse", "0"}, {"FontSize", "14"}, {"TagBold", "1"}});
        const QString sizeBefore = doc->txtXSLT->fontSize();

        bool flag = !canceled;
        QVERIFY(runOptions([&](frmOptions *dlg) {
            if (how == "cancel")
                QTest::mouseClick(child<QPushButton>(dlg, "cmdCancel"), Qt::LeftButton);
            else if (how == "escape")
                QTest::keyClick(dlg, Qt::Key_Escape);
            else if (how == "close")
                dlg->close();
            else
                QTest::mouseClick(child<QPushButton>(dlg, "cmdOK"), Qt::LeftButton);
            flag = dlg->blnCanceled;
            QVERIFY(!dlg->isVisible());
        }));
        QCOMPARE(flag, canceled);
        // The dialog is gone once the command is done.
        QVERIFY(!main->findChild<frmOptions *>());
        QVERIFY2(fake->messages().isEmpty(), qPrintable(messageTitles().join(", ")));
        QCOMPARE(doc->blnAutoParse, canceled);
        QCOMPARE(doc->txtXSLT->fontSize(), canceled ? sizeBefore : QStringLiteral("14"));
        QCOMPARE(styleBold(doc->txtXML, QsciLexerHTML::Tag), !canceled);
        // Closing never writes; only OK does.
        QCOMPARE(storedOptions().size(), how == "ok" ? 13 : 3);
    }

    void closeBox_emptyStore_appliesWithoutError()
    {
        // First use: nothing stored yet, the dialog closed with its close box. The editors keep
        // their size instead of failing on a missing one.
        frmEditor *doc = fixture::newDocument(main);
        QVERIFY(doc);
        const QString size = doc->txtXSLT->fontSize();
        const QString family = doc->txtXSLT->fontName();
        doc->txtXSLT->setTagColor(0);
        QVERIFY(runOptions([](frmOptions *dlg) { dlg->close(); }));
        QVERIFY2(fake->messages().isEmpty(), qPrintable(messageTitles().join(", ")));
        QCOMPARE(doc->txtXSLT->fontSize(), size);
        QCOMPARE(doc->txtXSLT->fontName(), family);
        QCOMPARE(doc->txtXML->fontSize(), size);
        // The defaults are applied.
        QCOMPARE(styleFore(doc->txtXSLT, QsciLexerHTML::Tag), 16711680L);
        QVERIFY(doc->blnAutoParse);
    }

    void cancelAfterApply_keepsStoredButAppliesNothing()
    {
        frmEditor *doc = fixture::newDocument(main);
        QVERIFY(doc);
        const QString size = doc->txtXSLT->fontSize();
        QVERIFY(runOptions([](frmOptions *dlg) {
            showPanel(dlg, "Fonts");
            pick(child<QComboBox>(dlg, "cboFontSize"), "14");
            QTest::mouseClick(child<QPushButton>(dlg, "cmdApply"), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(dlg, "cmdCancel"), Qt::LeftButton);
        }));
        QCOMPARE(storedOptions().value("FontSize"), QStringLiteral("14"));
        QCOMPARE(storedOptions().size(), 13);
        QCOMPARE(doc->txtXSLT->fontSize(), size);
        QCOMPARE(doc->txtXML->fontSize(), size);
    }

    void ok_reachesBothPanesOfEveryWindow()
    {
        frmEditor *first = fixture::newDocument(main);
        frmEditor *second = fixture::newDocument(main);
        QVERIFY(first && second);
        QVERIFY(first->blnAutoParse && second->blnAutoParse);
        fake->colors << 255 << 65280 << 16776960;
        QString family;
        QVERIFY(runOptions([&](frmOptions *dlg) {
            showPanel(dlg, "Fonts");
            auto *fonts = child<QComboBox>(dlg, "cboFonts");
            family = fonts->itemText(fonts->currentIndex() == 0 ? 1 : 0);
            pick(fonts, family);
            pick(child<QComboBox>(dlg, "cboFontSize"), "16");
            showPanel(dlg, "Editor");
            QTest::mouseClick(child<QCheckBox>(dlg, "cbxAutoParse"), Qt::LeftButton);
            for (const char *swatch : {"picTagColor", "picAttribColor", "picAttribValueColor"})
                QTest::mouseDClick(child<QWidget>(dlg, swatch), Qt::LeftButton);
            for (const char *box : {"cbxTagBold", "cbxAttribItalic", "cbxAttribValueBold"})
                QTest::mouseClick(child<QCheckBox>(dlg, box), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(dlg, "cmdOK"), Qt::LeftButton);
        }));
        QVERIFY(fake->messages().isEmpty());
        for (frmEditor *doc : {first, second}) {
            QVERIFY(!doc->blnAutoParse);
            for (SyntaxBox *box : {doc->txtXSLT, doc->txtXML}) {
                const QString where = doc->windowTitle() + QLatin1Char('/') + box->objectName();
                QVERIFY2(box->fontName() == QFontInfo(QFont(family)).family(), qPrintable(where));
                QVERIFY2(box->fontSize() == QStringLiteral("16"), qPrintable(where));
                QCOMPARE(styleFore(box, QsciLexerHTML::Tag), 255L);
                QCOMPARE(styleFore(box, QsciLexerHTML::Attribute), 65280L);
                QCOMPARE(styleFore(box, QsciLexerHTML::HTMLDoubleQuotedString), 16776960L);
                QVERIFY(styleBold(box, QsciLexerHTML::Tag));
                QVERIFY(!styleItalic(box, QsciLexerHTML::Tag));
                QVERIFY(!styleBold(box, QsciLexerHTML::Attribute));
                QVERIFY(styleItalic(box, QsciLexerHTML::Attribute));
                QVERIFY(styleBold(box, QsciLexerHTML::HTMLDoubleQuotedString));
                QVERIFY(!styleItalic(box, QsciLexerHTML::HTMLDoubleQuotedString));
            }
        }
    }

    void ok_startupModeWaitsForTheNextStart()
    {
        QVERIFY(!main->isMaximized());
        QVERIFY(runOptions([](frmOptions *dlg) {
            showPanel(dlg, "General");
            pick(child<QComboBox>(dlg, "cboStartupMode"), "Maximized");
            QTest::mouseClick(child<QPushButton>(dlg, "cmdOK"), Qt::LeftButton);
        }));
        QCOMPARE(storedOptions().value("StartupMode"), QStringLiteral("Maximized"));
        QTest::qWait(50);
        QVERIFY(!main->isMaximized());
        QVERIFY(fake->messages().isEmpty());
    }

    void apply_noWindowsOpenDoesNothing()
    {
        fixture::writeSettings(kOptions, {{"FontSize", "big"}});
        main->setChildWindowFonts();
        QVERIFY(fake->calls.isEmpty());
    }

    void apply_badStoredColourStopsAtThatStep()
    {
        frmEditor *first = fixture::newDocument(main);
        frmEditor *second = fixture::newDocument(main);
        QVERIFY(first && second);
        const QString size = first->txtXSLT->fontSize();
        QVERIFY(size != QStringLiteral("14"));
        first->txtXSLT->setTagColor(0);
        fixture::writeSettings(kOptions, {{"FontSize", "14"}, {"TagColor", "blue"}, {"AutoParse", "0"}});
        // The dialog reports the value it cannot show, then its close box applies what is stored.
        QVERIFY(runOptions([](frmOptions *dlg) { dlg->close(); }));
        QCOMPARE(messageTitles(), QStringList({"Error Loading Options", "Error Child Window Fonts"}));
        const auto box = fake->lastMessage();
        QCOMPARE(box.style, 16);
        QVERIFY2(box.text.contains(QStringLiteral("blue")) && box.text.contains(QStringLiteral("TagColor")),
                 qPrintable(box.text));
        // Steps before the failure stay done; nothing after it happens.
        QCOMPARE(first->txtXSLT->fontSize(), QStringLiteral("14"));
        QCOMPARE(styleFore(first->txtXSLT, QsciLexerHTML::Tag), 0L);
        QCOMPARE(first->txtXML->fontSize(), size);
        QCOMPARE(second->txtXSLT->fontSize(), size);
        QVERIFY(first->blnAutoParse);
        QVERIFY(second->blnAutoParse);
    }
};

ZENDRIK_TEST_MAIN(TstOptions)
#include "tst_options.moc"
