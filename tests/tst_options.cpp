#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "engine/engineclient.h"
#include "options/frmoptions.h"
#include "options/settingsstore.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include "components/xmllexer.h"
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFontDatabase>
#include <QFontInfo>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <functional>

namespace {

const QString kOptions = QStringLiteral("Options");
// The controls in the order of the stored keys they show.
const QStringList kControls = {"cboStartupMode", "cbxAutoParse", "cboFonts", "cboFontSize", "picTagColor",
                               "cbxTagBold", "cbxTagItalic", "picAttribColor", "cbxAttribBold", "cbxAttribItalic",
                               "picAttribValueColor", "cbxAttribValueBold", "cbxAttribValueItalic", "cbxRunScripts"};

template<class T = QWidget>
T *child(QWidget *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

// The controls' values the way the store writes them, joined by "|".
QString valuesOf(QWidget *dlg, const QStringList &names)
{
    QStringList out;
    for (const QString &name : names) {
        QObject *o = dlg->findChild<QObject *>(name);
        auto *list = qobject_cast<QComboBox *>(o);
        auto *box = qobject_cast<QCheckBox *>(o);
        auto *swatch = qobject_cast<ColorSwatch *>(o);
        out << (list ? list->currentText() : box ? QString::number(box->isChecked()) : swatch ? QString::number(swatch->color()) : "?");
    }
    return out.join('|');
}
QString valueOf(QWidget *dlg, const QString &name) { return valuesOf(dlg, {name}); }

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
QString storedValues(const QStringList &keys)
{
    QStringList out;
    for (const QString &key : keys)
        out << storedOptions().value(key, "-");
    return out.join('|');
}

void clickNode(QTreeWidget *tree, const QString &text)
{
    const QList<QTreeWidgetItem *> found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    QVERIFY2(!found.isEmpty(), qPrintable(text));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(found.first()).center());
}

// Brings a panel up the way a user does: open the category root, click the leaf.
void showPanel(QWidget *dlg, const QString &leaf)
{
    auto *tree = child<QTreeWidget>(dlg, "tvwOptions");
    if (!tree->topLevelItem(0)->isExpanded())
        clickNode(tree, QStringLiteral("Environment"));
    clickNode(tree, leaf);
}

// The panel a user sees in the middle of the shared panel area, or "-".
QString frontPanel(QWidget *dlg)
{
    QWidget *area = child(dlg, "SSPanelFont")->parentWidget();
    QWidget *hit = area->childAt(area->rect().center());
    for (const char *name : {"SSPanelGeneral", "SSPanelEditor", "SSPanelFont"})
        if (hit && (hit == child(dlg, name) || child(dlg, name)->isAncestorOf(hit)))
            return QString::fromLatin1(name);
    return QStringLiteral("-");
}

// Picks the entry text in a drop-down list with the keyboard, as a user would.
void pick(QComboBox *list, const QString &text)
{
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
    auto *fonts = child<QComboBox>(dlg, "cboFonts");
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
bool scriptsRun(frmEditor *doc)
{
    doc->ensurePreviewPage();
    return doc->WebBrowser->page()->settings()->testAttribute(QWebEngineSettings::JavascriptEnabled);
}

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
        connect(&poll, &QTimer::timeout, [&] {
            if (auto *dlg = qobject_cast<frmOptions *>(QApplication::activeModalWidget())) {
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
            titles << QStringLiteral("%1 (%2)").arg(call.title).arg(call.style);
        return titles;
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { stop(); }

    void emptyStore_showsAndOkStoresTheDefaults()
    {
        frmOptions dlg(main);
        QVERIFY(dlg.isModal() && !dlg.blnCanceled);
        // Every caption as "control.property=text"; a heading is named with its panel.
        QStringList expected{
            "frmOptions.windowTitle=Options", "lblStartup.text=Startup:", "fraPreview.title=Preview",
            "cbxRunScripts.text=Run scripts in the preview", "fraAutoParse.title=Auto-Parse",
            "cbxAutoParse.text=Parse Document on Edit", "fraTagColor.title=Tag Color",
            "fraAttribColor.title=Attribute Color", "fraAttribValueColor.title=Attribute Value Color",
            "cbxTagBold.text=Bold", "cbxAttribBold.text=Bold", "cbxAttribValueBold.text=Bold", "cbxTagItalic.text=Italic",
            "cbxAttribItalic.text=Italic", "cbxAttribValueItalic.text=Italic", "fraFontFamily.title=Font Family",
            "fraSize.title=Size", "fraSample.title=Sample Text", "txtSample.text=Sample", "cmdOK.text=OK",
            "cmdCancel.text=Cancel", "cmdApply.text=Apply", "SSPanelGeneral/lblHeading.text=General",
            "SSPanelEditor/lblHeading.text=Editor", "SSPanelFont/lblHeading.text=Fonts",
            "picTagColor.toolTip=Double-click to change", "picAttribColor.toolTip=Double-click to change",
            "picAttribValueColor.toolTip=Double-click to change"};
        QStringList shown;
        for (const QString &entry : expected) {
            const QString path = entry.section('.', 0, 0), property = entry.section('=', 0, 0).section('.', 1);
            QObject *o = &dlg;
            for (const QString &name : path.split('/'))
                o = !o || name == dlg.objectName() ? o : o->findChild<QObject *>(name);
            shown << entry.section('=', 0, 0) + "=" + (o ? o->property(qPrintable(property)).toString() : "?");
        }
        QCOMPARE(shown, expected);
        // The lists' entries: every installed family, sorted; nothing can be typed in.
        QStringList families = QFontDatabase::families(), entries;
        families.removeDuplicates();
        std::sort(families.begin(), families.end(), [](const QString &a, const QString &b) { return QString::localeAwareCompare(a, b) < 0; });
        for (QComboBox *list : dlg.findChildren<QComboBox *>()) {
            QStringList items;
            for (int i = 0; i < list->count(); ++i)
                items << list->itemText(i);
            entries << list->objectName() + (list->isEditable() ? " editable=" : "=") + items.join(',');
        }
        QCOMPARE(entries, QStringList({"cboStartupMode=Normal,Maximized", "cboFonts=" + families.join(','),
                                       "cboFontSize=8,9,10,11,12,14,16,18,20,22,24,26,28,36,48,72"}));
        // The sample box's own font and size, rounded to a whole number; the swatches in their colours.
        const QString family = QFontInfo(child(&dlg, "txtSample")->font()).family();
        QCOMPARE(valuesOf(&dlg, kControls), "Normal|1|" + family + "|8|16711680|0|0|8388608|0|0|128|0|0|0");
        QStringList swatches;
        for (const char *swatch : {"picTagColor", "picAttribColor", "picAttribValueColor"})
            swatches << child(&dlg, swatch)->palette().color(QPalette::Window).name();
        QCOMPARE(swatches, QStringList({"#0000ff", "#000080", "#800000"}));
        QVERIFY(!child(&dlg, "cmdApply")->isEnabled());
        QVERIFY(fake->calls.isEmpty());
        QVERIFY(!fixture::settingsFileExists()); // nothing is written by just looking

        dlg.show();
        QTest::mouseClick(child(&dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(!dlg.isVisible() && dlg.result() == QDialog::Accepted && !dlg.blnCanceled);
        const QMap<QString, QString> all{
            {"StartupMode", "Normal"}, {"AutoParse", "1"},      {"FontName", family},        {"FontSize", "8"},
            {"TagColor", "16711680"},  {"TagBold", "0"},        {"TagItalic", "0"},          {"AttribColor", "8388608"},
            {"AttribBold", "0"},       {"AttribItalic", "0"},   {"AttibValueColor", "128"}, {"AttibValueBold", "0"},
            {"AttibValueItalic", "0"}, {"RunPreviewScripts", "0"},
            {"EngineMemoryMB", QString::number(EngineClient::defaultMemoryLimitMb())}};
        QCOMPARE(storedOptions(), all);
        QVERIFY(fake->calls.isEmpty());
    }

    // stored: key=value pairs; shown: the controls' values in the order of kControls, then the
    // sample's family and size. "@" stands for an installed family other than the first shown.
    void open_showsStoredValues_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addRow("one") << "StartupMode=maximized,AutoParse=0,FontName=@,FontSize=10.5,TagColor=255,TagBold=1,"
                                "AttribColor=65280,AttribItalic=1,AttibValueColor=4227072,AttibValueBold=1,RunPreviewScripts=1"
                             << "Maximized|0|@|10|255|1|0|65280|0|1|4227072|1|0|1 @ 10";
        QTest::addRow("two") << "StartupMode=Maximized,FontSize=11.5,TagItalic=1,AttribItalic=1,AttibValueItalic=1"
                             << "Maximized|1|*|12|16711680|0|1|8388608|0|1|128|0|1|0 * 12";
        QTest::addRow("three") << "StartupMode=Normal,AutoParse=1,FontSize=72,AttribBold=1,AttibValueBold=1,"
                                  "AttibValueItalic=1,RunPreviewScripts=0"
                               << "Normal|1|*|72|16711680|0|0|8388608|1|0|128|1|1|0 * 72";
    }
    void open_showsStoredValues()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        frmOptions probe(main);
        const QString other = otherFamily(&probe), first = child<QComboBox>(&probe, "cboFonts")->currentText();
        QList<std::pair<QString, QString>> values;
        for (const QString &pair : stored.split(','))
            values.append({pair.section('=', 0, 0), pair.section('=', 1).replace("@", other)});
        fixture::writeSettings(kOptions, values);
        frmOptions dlg(main);
        const QFont sample = child(&dlg, "txtSample")->font();
        QCOMPARE(valuesOf(&dlg, kControls) + " " + sample.family() + " " + QString::number(sample.pointSizeF()),
                 QString(shown).replace("@", other).replace("*", first));
        QVERIFY(fake->calls.isEmpty());
        QVERIFY(!child(&dlg, "cmdApply")->isEnabled());
    }

    // Every other key holds a value unlike the initial one. shown: start-up mode, size, parse on
    // edit, tag bold, attribute colour and value italic as the dialog shows them (those after the
    // failing key stay initial); stored: the same keys and the failing one in the store after OK.
    void open_unreadableValueStopsLoading_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("stored");
        QTest::addRow("unknown start-up mode") << "StartupMode" << "Minimized" << "||1|0|8388608|0"
                                               << "Minimized|14|1|0|8388608|0|Minimized";
        QTest::addRow("font not installed") << "FontName" << "No Such Font Family 123" << "Maximized||1|0|8388608|0"
                                            << "Maximized|14|1|0|8388608|0|No Such Font Family 123";
        QTest::addRow("size not in the list") << "FontSize" << "13" << "Maximized||1|0|8388608|0"
                                              << "Maximized|13|1|0|8388608|0|13";
        QTest::addRow("size not a number") << "FontSize" << "big" << "Maximized||1|0|8388608|0"
                                           << "Maximized|big|1|0|8388608|0|big";
        QTest::addRow("run scripts letters") << "RunPreviewScripts" << "sometimes" << "Maximized|14|0|0|8388608|0"
                                             << "Maximized|14|0|0|8388608|0|0";
        QTest::addRow("tag colour letters") << "TagColor" << "blue" << "Maximized|14|0|0|8388608|0"
                                            << "Maximized|14|0|0|8388608|0|16711680";
        QTest::addRow("value italic letters") << "AttibValueItalic" << "yes" << "Maximized|14|0|1|255|0"
                                              << "Maximized|14|0|1|255|0|0";
    }
    void open_unreadableValueStopsLoading()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, shown);
        QFETCH(QString, stored);
        QList<std::pair<QString, QString>> values{{key, value}};
        const QMap<QString, QString> others{{"StartupMode", "Maximized"}, {"FontSize", "14"},     {"AutoParse", "0"},
                                            {"TagBold", "1"},             {"AttribColor", "255"}, {"AttibValueItalic", "1"}};
        for (auto it = others.cbegin(); it != others.cend(); ++it)
            if (it.key() != key)
                values.append({it.key(), it.value()});
        fixture::writeSettings(kOptions, values);
        frmOptions dlg(main);
        QCOMPARE(messageTitles(), QStringList("Error Loading Options (16)"));
        const QString text = fake->lastMessage().text;
        QVERIFY2(text.contains(value) && text.contains(key), qPrintable(text));
        QCOMPARE(valuesOf(&dlg, {"cboStartupMode", "cboFontSize", "cbxAutoParse", "cbxTagBold", "picAttribColor",
                                 "cbxAttribValueItalic"}),
                 shown);
        QVERIFY(!child(&dlg, "cmdApply")->isEnabled()); // still ready to use
        // A list left empty stores nothing, so the stored text stays (an empty one would fail
        // every later reading); unread values go in as the defaults.
        dlg.show();
        QTest::mouseClick(child(&dlg, "cmdOK"), Qt::LeftButton);
        QCOMPARE(storedValues({"StartupMode", "FontSize", "AutoParse", "TagBold", "AttribColor", "AttibValueItalic", key}),
                 stored);
    }

    void tree_clicksShowPanels()
    {
        frmOptions dlg(main);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        auto *tree = child<QTreeWidget>(&dlg, "tvwOptions");
        // After each click: the panel in front and whether the root is open. Panels once shown
        // stay under the one chosen last; clicking the root shows nothing new.
        QStringList seen{frontPanel(&dlg) + (tree->topLevelItem(0)->isExpanded() ? " open" : "")};
        for (const char *node : {"Environment", "Environment", "Environment", "Fonts", "General", "Editor", "Fonts",
                                 "Environment"}) {
            clickNode(tree, QString::fromLatin1(node));
            seen << frontPanel(&dlg) + (tree->topLevelItem(0)->isExpanded() ? " open" : "");
        }
        QCOMPARE(seen, QStringList({"-", "- open", "-", "- open", "SSPanelFont open", "SSPanelGeneral open",
                                    "SSPanelEditor open", "SSPanelFont open", "SSPanelFont"}));
    }

    // title: of the colour dialog a swatch's double-click asks.
    void change_storedAndApplyEnabledByListsAndParseAndScriptBoxes_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("enables");
        QTest::addColumn<QString>("title");
        QTest::addRow("font pick") << "cboFonts" << "FontName" << true << "";
        QTest::addRow("size pick") << "cboFontSize" << "FontSize" << true << "";
        QTest::addRow("start-up pick") << "cboStartupMode" << "StartupMode" << true << "";
        QTest::addRow("parse on edit") << "cbxAutoParse" << "AutoParse" << true << "";
        QTest::addRow("run scripts") << "cbxRunScripts" << "RunPreviewScripts" << true << "";
        QTest::addRow("tag bold") << "cbxTagBold" << "TagBold" << false << "";
        QTest::addRow("tag italic") << "cbxTagItalic" << "TagItalic" << false << "";
        QTest::addRow("attribute bold") << "cbxAttribBold" << "AttribBold" << false << "";
        QTest::addRow("attribute italic") << "cbxAttribItalic" << "AttribItalic" << false << "";
        QTest::addRow("value bold") << "cbxAttribValueBold" << "AttibValueBold" << false << "";
        QTest::addRow("value italic") << "cbxAttribValueItalic" << "AttibValueItalic" << false << "";
        QTest::addRow("tag colour") << "picTagColor" << "TagColor" << false << "Select Tag Color";
        QTest::addRow("attribute colour") << "picAttribColor" << "AttribColor" << false << "Select Attribute Color";
        QTest::addRow("value colour") << "picAttribValueColor" << "AttibValueColor" << false
                                      << "Select Attribute Value Color";
    }
    void change_storedAndApplyEnabledByListsAndParseAndScriptBoxes()
    {
        QFETCH(QString, control);
        QFETCH(QString, key);
        QFETCH(bool, enables);
        QFETCH(QString, title);
        frmOptions dlg(main);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const bool general = control == "cboStartupMode" || control == "cbxRunScripts";
        showPanel(&dlg, general ? "General" : control.contains("Font") ? "Fonts" : "Editor");
        auto *apply = child(&dlg, "cmdApply");
        QWidget *w = dlg.findChild<QWidget *>(control);
        const QString before = valueOf(&dlg, control);
        if (auto *list = qobject_cast<QComboBox *>(w))
            pick(list, control == "cboFonts" ? otherFamily(&dlg) : list->itemText(1));
        else if (title.isEmpty())
            QTest::mouseClick(w, Qt::LeftButton);
        else { // a single click asks nothing; a cancelled colour dialog changes nothing
            QTest::mouseClick(w, Qt::LeftButton);
            QTest::mouseDClick(w, Qt::LeftButton);
            QCOMPARE(valueOf(&dlg, control), before);
            fake->colors << 4227200;
            QTest::mouseDClick(w, Qt::LeftButton);
            QCOMPARE(fake->calls.size(), 2);
            QCOMPARE(fake->calls.at(0).kind + " " + fake->calls.at(0).text + "|" + fake->calls.at(1).text, "color " + title + "|" + title);
            QCOMPARE(w->palette().color(QPalette::Window), QColor(128, 128, 64));
        }
        const QString after = valueOf(&dlg, control);
        QVERIFY(after != before);
        QCOMPARE(apply->isEnabled(), enables);
        // Apply stores and goes off; OK stores a change Apply did not announce too.
        QTest::mouseClick(enables ? apply : child(&dlg, "cmdOK"), Qt::LeftButton);
        QCOMPARE(storedOptions().value(key), after);
        QVERIFY(!apply->isEnabled() && !dlg.blnCanceled);
        QCOMPARE(dlg.isVisible(), enables);
    }

    // Earlier stored (as by an Apply): AutoParse=0, FontSize=14, TagBold=1, RunPreviewScripts=1.
    // written: keys in the store afterwards.
    void closing_decidesWhetherOptionsAreApplied_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<bool>("canceled");
        QTest::addColumn<int>("written");
        QTest::addColumn<QStringList>("messages");
        QTest::addRow("cancel button") << "cancel" << true << true << 4 << QStringList();
        QTest::addRow("escape key") << "escape" << true << true << 4 << QStringList();
        QTest::addRow("title-bar close box") << "close" << true << false << 4 << QStringList();
        QTest::addRow("ok") << "ok" << true << false << 15 << QStringList();
        QTest::addRow("close box, nothing stored") << "close" << false << false << 0 << QStringList();
        QTest::addRow("apply, then cancel") << "apply, cancel" << false << true << 15 << QStringList();
        QTest::addRow("ok, store not writable") << "ok" << false << false << 0
                                                << QStringList("Error Saving Options (16)");
    }
    void closing_decidesWhetherOptionsAreApplied()
    {
        QFETCH(QString, how);
        QFETCH(bool, stored);
        QFETCH(bool, canceled);
        QFETCH(int, written);
        QFETCH(QStringList, messages);
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setTagColor(0);
        const QString size = doc->txtXSLT->fontSize(), family = doc->txtXSLT->fontName();
        QVERIFY(doc->blnAutoParse && size != "14");
        if (stored)
            fixture::writeSettings(kOptions, {{"AutoParse", "0"}, {"FontSize", "14"}, {"TagBold", "1"}, {"RunPreviewScripts", "1"}});
        if (!messages.isEmpty())
            QVERIFY(QDir().mkpath(SettingsStore::fileName())); // a folder where the file should be
        bool flag = !canceled;
        QVERIFY(runOptions([&](frmOptions *dlg) {
            if (how.startsWith("apply")) {
                showPanel(dlg, "Fonts");
                pick(child<QComboBox>(dlg, "cboFontSize"), "14");
                QTest::mouseClick(child(dlg, "cmdApply"), Qt::LeftButton);
            }
            if (how == "escape")
                QTest::keyClick(dlg, Qt::Key_Escape);
            else if (how == "close")
                dlg->close();
            else
                QTest::mouseClick(child(dlg, how.endsWith("cancel") ? "cmdCancel" : "cmdOK"), Qt::LeftButton);
            flag = dlg->blnCanceled;
            QVERIFY(!dlg->isVisible());
        }));
        QCOMPARE(flag, canceled);
        QVERIFY(!main->findChild<frmOptions *>()); // gone once the command is done
        QCOMPARE(messageTitles(), messages);
        QCOMPARE(storedOptions().size(), written);
        QCOMPARE(storedOptions().value("FontSize"), written ? "14" : "");
        // Applied unless cancelled: what is stored, the defaults for what is not; a size never
        // stored leaves the editors' own. Shown: parse on edit, sizes, family, tag styles.
        const bool fromStore = !canceled && stored;
        const QString tag = fromStore ? "16711680B" : canceled ? "0" : "16711680";
        QCOMPARE(QStringList({QString::number(doc->blnAutoParse), doc->txtXSLT->fontSize(), doc->txtXML->fontSize(),
                              doc->txtXSLT->fontName(), styles(doc->txtXSLT).section(' ', 0, 0),
                              styles(doc->txtXML).section(' ', 0, 0), QString::number(scriptsRun(doc))}),
                 QStringList({fromStore ? "0" : "1", fromStore ? "14" : size, fromStore ? "14" : size, family, tag,
                              fromStore ? "16711680B" : "16711680", fromStore ? "1" : "0"}));
    }

    void ok_reachesBothPanesOfEveryWindow()
    {
        frmEditor *first = fixture::newDocument(main);
        frmEditor *second = fixture::newDocument(main);
        QVERIFY(first && second && !main->isMaximized());
        first->ensurePreviewPage(); // one window has shown its preview already, the other not yet
        fake->colors << 255 << 65280 << 16776960;
        QString family;
        QVERIFY(runOptions([&](frmOptions *dlg) {
            showPanel(dlg, "General");
            pick(child<QComboBox>(dlg, "cboStartupMode"), "Maximized");
            QTest::mouseClick(child(dlg, "cbxRunScripts"), Qt::LeftButton);
            showPanel(dlg, "Fonts");
            family = otherFamily(dlg);
            pick(child<QComboBox>(dlg, "cboFonts"), family);
            pick(child<QComboBox>(dlg, "cboFontSize"), "16");
            showPanel(dlg, "Editor");
            QTest::mouseClick(child(dlg, "cbxAutoParse"), Qt::LeftButton);
            for (const char *swatch : {"picTagColor", "picAttribColor", "picAttribValueColor"})
                QTest::mouseDClick(child(dlg, swatch), Qt::LeftButton);
            for (const char *box : {"cbxTagBold", "cbxAttribItalic", "cbxAttribValueBold"})
                QTest::mouseClick(child(dlg, box), Qt::LeftButton);
            QTest::mouseClick(child(dlg, "cmdOK"), Qt::LeftButton);
        }));
        QVERIFY(fake->messages().isEmpty());
        QStringList seen;
        for (frmEditor *doc : {first, second})
            for (SyntaxBox *box : {doc->txtXSLT, doc->txtXML})
                seen << box->fontName() + " " + box->fontSize() + " " + styles(box) + (doc->blnAutoParse ? " parse" : "")
                        + (scriptsRun(doc) ? " scripts" : "");
        const QString each = QFontInfo(QFont(family)).family() + " 16 255B 65280I 16776960B scripts";
        QCOMPARE(seen, QStringList(4, each));
        // The start-up mode waits for the next start.
        QCOMPARE(storedOptions().value("StartupMode"), QStringLiteral("Maximized"));
        QTest::qWait(50);
        QVERIFY(!main->isMaximized());
    }

    void apply_badStoredColourStopsAtThatStep()
    {
        fixture::writeSettings(kOptions, {{"TagColor", "blue"}});
        main->setChildWindowFonts(); // no window open: nothing is read, nothing said
        QVERIFY(fake->calls.isEmpty());
        fixture::clearSettings();
        frmEditor *first = fixture::newDocument(main);
        frmEditor *second = fixture::newDocument(main);
        QVERIFY(first && second);
        fixture::writeSettings(kOptions, {{"FontSize", "14"}, {"TagColor", "blue"}, {"AutoParse", "0"}});
        const QString size = first->txtXSLT->fontSize();
        first->txtXSLT->setTagColor(0);
        // The dialog reports the value it cannot show, then its close box applies what is stored.
        QVERIFY(runOptions([](frmOptions *dlg) { dlg->close(); }));
        QCOMPARE(messageTitles(), QStringList({"Error Loading Options (16)", "Error Child Window Fonts (16)"}));
        const QString text = fake->lastMessage().text;
        QVERIFY2(text.contains(QStringLiteral("blue")) && text.contains(QStringLiteral("TagColor")), qPrintable(text));
        // Steps before the failure stay done; nothing after it happens.
        QCOMPARE(QStringList({first->txtXSLT->fontSize(), first->txtXML->fontSize(), second->txtXSLT->fontSize()}),
                 QStringList({"14", size, size}));
        QVERIFY(styles(first->txtXSLT).startsWith("0 "));
        QVERIFY(first->blnAutoParse && second->blnAutoParse);
    }
};

ZENDRIK_TEST_MAIN(TstOptions)
#include "tst_options.moc"
