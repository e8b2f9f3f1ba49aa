#include "app/frmmdimain.h"
#include "components/xmllexer.h"
#include "document/frmeditor.h"
#include "engine/engineclient.h"
#include "options/frmoptions.h"
#include "options/settingsstore.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QtTest>
#include <QtWebEngineCore>
#include <QtWebEngineWidgets>
#include <QtWidgets>
#include <functional>

namespace {

using Values = QMap<QString, QString>;
const QString kOptions = QStringLiteral("Options");

// Each control as the user finds it, on which panel, and the key it is stored under. A path is
// the caption of a label naming its list, or a frame's caption and, for a box in it, the box's.
const struct Control {
    const char *panel, *path, *key;
} kControls[] = {
    {"General", "Startup:", "StartupMode"}, {"General", "Preview/Run scripts in the preview", "RunPreviewScripts"},
    {"General", "Memory for a transformation (MB):", "EngineMemoryMB"},
    {"Editor", "Auto-Parse/Parse Document on Edit", "AutoParse"}, {"Editor", "Tag Color", "TagColor"},
    {"Editor", "Tag Color/Bold", "TagBold"}, {"Editor", "Tag Color/Italic", "TagItalic"},
    {"Editor", "Attribute Color", "AttribColor"}, {"Editor", "Attribute Color/Bold", "AttribBold"},
    {"Editor", "Attribute Color/Italic", "AttribItalic"}, {"Editor", "Attribute Value Color", "AttibValueColor"},
    {"Editor", "Attribute Value Color/Bold", "AttibValueBold"}, {"Editor", "Attribute Value Color/Italic", "AttibValueItalic"},
    {"Fonts", "Font Family", "FontName"}, {"Fonts", "Size", "FontSize"},
};

QWidget *control(QWidget *dlg, const QString &path)
{
    if (path.endsWith(':')) {
        for (QLabel *label : dlg->findChildren<QLabel *>())
            if (label->text() == path)
                return label->buddy();
        return nullptr;
    }
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
QPushButton *button(QWidget *dlg, const QString &caption)
{
    for (QPushButton *b : dlg->findChildren<QPushButton *>())
        if (b->text() == caption)
            return b;
    return nullptr;
}

// A control's value the way the store writes it.
QString valueOf(QWidget *w)
{
    if (auto *list = qobject_cast<QComboBox *>(w))
        return list->currentText();
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
    Values all{{"StartupMode", "Normal"}, {"AutoParse", "1"}, {"FontName", family}, {"FontSize", "8"},
               {"TagColor", "16711680"}, {"TagBold", "0"}, {"TagItalic", "0"}, {"AttribColor", "8388608"},
               {"AttribBold", "0"}, {"AttribItalic", "0"}, {"AttibValueColor", "128"}, {"AttibValueBold", "0"},
               {"AttibValueItalic", "0"}, {"RunPreviewScripts", "0"},
               {"EngineMemoryMB", QString::number(EngineClient::defaultMemoryLimitMb())}};
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
bool scriptsRun(frmEditor *doc)
{
    doc->ensurePreviewPage();
    return doc->WebBrowser->page()->settings()->testAttribute(QWebEngineSettings::JavascriptEnabled);
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
Q_DECLARE_METATYPE(StoredCase)
Q_DECLARE_METATYPE(UnreadableCase)
Q_DECLARE_METATYPE(ChangeCase)
Q_DECLARE_METATYPE(ClosingCase)
Q_DECLARE_METATYPE(ConvertCase)

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

    // The lists' entries, the sample and the swatches; then what OK stores is what was shown.
    void open_showsTheStoreAndOkStoresWhatIsShown_data()
    {
        QTest::addColumn<StoredCase>("c");
        QTest::addRow("nothing stored") << StoredCase{{}, {}, 8};
        QTest::addRow("values unlike the defaults") << StoredCase{
            {{"StartupMode", "maximized"}, {"AutoParse", "0"}, {"FontName", "@"}, {"FontSize", "10.5"}, {"TagColor", "255"},
             {"TagBold", "1"}, {"AttribColor", "65280"}, {"AttribItalic", "1"}, {"AttibValueColor", "4227072"},
             {"AttibValueBold", "1"}, {"TagItalic", "1"}, {"RunPreviewScripts", "1"}},
            {{"StartupMode", "Maximized"}, {"AutoParse", "0"}, {"FontName", "@"}, {"FontSize", "10"}, {"TagColor", "255"},
             {"TagBold", "1"}, {"AttribColor", "65280"}, {"AttribItalic", "1"}, {"AttibValueColor", "4227072"},
             {"AttibValueBold", "1"}, {"TagItalic", "1"}, {"RunPreviewScripts", "1"}}, 10};
    }
    void open_showsTheStoreAndOkStoresWhatIsShown()
    {
        QFETCH(StoredCase, c);
        frmOptions probe(main);
        const QString other = otherFamily(&probe), first = valueOf(control(&probe, "Font Family"));
        QList<std::pair<QString, QString>> values;
        for (auto it = c.stored.cbegin(); it != c.stored.cend(); ++it)
            values.append({it.key(), it.value() == "@" ? other : it.value()});
        if (!values.isEmpty())
            fixture::writeSettings(kOptions, values);
        frmOptions dlg(main);
        QVERIFY(dlg.isModal() && !dlg.blnCanceled);
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
        QVERIFY(!button(&dlg, "Apply")->isEnabled());
        QCOMPARE(fixture::settingsFileExists(), !values.isEmpty()); // nothing is written by just looking
        dlg.show();
        QTest::mouseClick(button(&dlg, "OK"), Qt::LeftButton);
        QVERIFY(!dlg.isVisible() && dlg.result() == QDialog::Accepted && !dlg.blnCanceled);
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
        frmOptions dlg(main);
        QCOMPARE(messageTitles(), QStringList("Error Loading Options (16)"));
        QVERIFY2(fake->lastMessage().text.contains(c.value) && fake->lastMessage().text.contains(c.key), qPrintable(fake->lastMessage().text));
        QStringList seen, stored;
        for (const QString &key : kSix)
            seen << shown(&dlg).value(key);
        QCOMPARE(seen, c.shown);
        QVERIFY(!button(&dlg, "Apply")->isEnabled()); // still ready to use
        // A list left empty stores nothing, so the stored text stays (an empty one would fail
        // every later reading); unread values go in as the defaults.
        dlg.show();
        QTest::mouseClick(button(&dlg, "OK"), Qt::LeftButton);
        for (const QString &key : kSix + QStringList(c.key))
            stored << storedOptions().value(key, "-");
        QCOMPARE(stored, c.stored);
    }

    void change_storedAndApplyEnabledByListsAndParseAndScriptBoxes_data()
    {
        QTest::addColumn<ChangeCase>("c");
        for (const char *key : {"FontName", "FontSize", "StartupMode", "AutoParse", "RunPreviewScripts"})
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
        frmOptions dlg(main);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        const Control &where = *std::find_if(std::begin(kControls), std::end(kControls), [&](const Control &k) { return qstrcmp(k.key, c.key) == 0; });
        showPanel(&dlg, where.panel);
        QWidget *w = byKey(&dlg, c.key);
        QVERIFY2(w && w->isVisible(), where.path);
        const QString before = valueOf(w);
        if (auto *list = qobject_cast<QComboBox *>(w))
            pick(list, QByteArray(c.key) == "FontName" ? otherFamily(&dlg) : list->itemText(1));
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
        QPushButton *apply = button(&dlg, "Apply");
        QCOMPARE(apply->isEnabled(), c.enablesApply);
        // Apply stores and goes off; OK stores a change Apply did not announce too.
        QTest::mouseClick(c.enablesApply ? apply : button(&dlg, "OK"), Qt::LeftButton);
        QCOMPARE(storedOptions().value(c.key), after);
        QVERIFY(!apply->isEnabled() && !dlg.blnCanceled);
        QCOMPARE(dlg.isVisible(), c.enablesApply);
    }

    void closing_decidesWhetherOptionsAreApplied_data()
    {
        QTest::addColumn<ClosingCase>("c");
        QTest::addRow("cancel button") << ClosingCase{"cancel", true, true, 8, {}};
        QTest::addRow("escape key") << ClosingCase{"escape", true, true, 8, {}};
        QTest::addRow("title-bar close box") << ClosingCase{"close", true, false, 8, {}};
        QTest::addRow("ok") << ClosingCase{"ok", true, false, 15, {}};
        QTest::addRow("close box, nothing stored") << ClosingCase{"close", false, false, 0, {}};
        QTest::addRow("apply, then cancel") << ClosingCase{"apply, cancel", false, true, 15, {}};
        QTest::addRow("ok, store not writable") << ClosingCase{"ok", false, false, 0, {"Error Saving Options (16)"}};
    }
    // Applied unless cancelled, to both panes of every window: what is stored, the defaults for
    // what is not; a size never stored leaves the editors' own. The start-up mode waits for the
    // next start.
    void closing_decidesWhetherOptionsAreApplied()
    {
        QFETCH(ClosingCase, c);
        frmEditor *first = fixture::newDocument(main), *second = fixture::newDocument(main);
        first->ensurePreviewPage(); // one window has shown its preview already, the other not yet
        for (frmEditor *doc : {first, second})
            doc->txtXSLT->setTagColor(0);
        const QString size = first->txtXSLT->fontSize(), family = first->txtXSLT->fontName();
        QVERIFY(first->blnAutoParse && size != "14" && family != "DejaVu Serif");
        if (c.stored)
            fixture::writeSettings(kOptions, {{"AutoParse", "0"}, {"FontSize", "14"}, {"FontName", "DejaVu Serif"}, {"TagBold", "1"},
                                              {"AttribItalic", "1"}, {"AttibValueColor", "65280"}, {"StartupMode", "Maximized"},
                                              {"RunPreviewScripts", "1"}});
        if (!c.messages.isEmpty())
            QVERIFY(QDir().mkpath(SettingsStore::fileName())); // a folder where the file should be
        bool canceled = !c.canceled;
        QVERIFY(runOptions([&](frmOptions *dlg) {
            if (c.how.startsWith("apply")) {
                showPanel(dlg, "Fonts");
                pick(control(dlg, "Size"), "14");
                QTest::mouseClick(button(dlg, "Apply"), Qt::LeftButton);
            }
            if (c.how == "escape")
                QTest::keyClick(dlg, Qt::Key_Escape);
            else if (c.how == "close")
                dlg->close();
            else
                QTest::mouseClick(button(dlg, c.how.endsWith("cancel") ? "Cancel" : "OK"), Qt::LeftButton);
            canceled = dlg->blnCanceled;
            QVERIFY(!dlg->isVisible());
        }));
        QCOMPARE(canceled, c.canceled);
        QVERIFY(!main->findChild<frmOptions *>()); // gone once the command is done
        QCOMPARE(messageTitles(), c.messages);
        QCOMPARE(storedOptions().size(), c.written);
        QCOMPARE(storedOptions().value("FontSize"), c.written ? "14" : "");
        const bool fromStore = !c.canceled && c.stored;
        QStringList seen, expected;
        for (frmEditor *doc : {first, second}) {
            for (SyntaxBox *box : {doc->txtXSLT, doc->txtXML}) {
                seen << QStringList{box->fontName(), box->fontSize(), styles(box), QString::number(doc->blnAutoParse),
                                    QString::number(scriptsRun(doc))}.join('|');
                expected << (fromStore ? QStringLiteral("DejaVu Serif|14|16711680B 8388608I 65280|0|1")
                                       : QStringList{family, size, c.canceled ? (box == doc->txtXSLT ? "0 8388608B 128" : "16711680 8388608B 128")
                                                                              : "16711680 8388608 128", "1", "0"}.join('|'));
            }
        }
        QCOMPARE(seen, expected);
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
        fixture::writeSettings(kOptions, {{"FontSize", "14"}, {"TagColor", "blue"}, {"AutoParse", "0"}});
        const QString size = first->txtXSLT->fontSize();
        first->txtXSLT->setTagColor(0);
        // The dialog reports the value it cannot show, then its close box applies what is stored.
        QVERIFY(runOptions([](frmOptions *dlg) { dlg->close(); }));
        QCOMPARE(messageTitles(), QStringList({"Error Loading Options (16)", "Error Child Window Fonts (16)"}));
        const QString text = fake->lastMessage().text;
        QVERIFY2(text.contains(QStringLiteral("blue")) && text.contains(QStringLiteral("TagColor")), qPrintable(text));
        // Steps before the failure stay done; nothing after it happens.
        QCOMPARE(QStringList({first->txtXSLT->fontSize(), first->txtXML->fontSize(), second->txtXSLT->fontSize()}), QStringList({"14", size, size}));
        QVERIFY(styles(first->txtXSLT).startsWith("0 "));
        QVERIFY(first->blnAutoParse && second->blnAutoParse);
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
        row("size", "letters", {"big", false, 0});
        row("colour", "negative", {"-1", true, -1});
        row("colour", "letters", {"blue", false, 0});
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

ZENDRIK_TEST_MAIN(TstOptions)
#include "tst_options.moc"
