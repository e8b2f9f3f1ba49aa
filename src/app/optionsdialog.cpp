#include "app/optionsdialog.h"

#include "common/common.h"
#include "engine/engineclient.h"
#include "components/syntaxbox.h"
#include "options/settingsstore.h"
#include "platform/dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int KeyRole = Qt::UserRole;

QFrame *horizontalRule(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QGroupBox *frame(const QString &name, const QString &caption, QWidget *parent)
{
    auto *box = new QGroupBox(caption, parent);
    box->setObjectName(name);
    return box;
}

QCheckBox *checkBox(const QString &name, const QString &caption, QWidget *parent)
{
    auto *box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    return box;
}

// A drop-down list accepts only its own entries: a stored text it does not hold is a failure,
// reported like any other value that cannot be read.
void selectEntry(QComboBox *list, const QString &text, const QString &key)
{
    const int index = list->findText(text.trimmed(), Qt::MatchFixedString);
    if (index < 0)
        throw SettingsError(QStringLiteral("The stored value \"%1\" of the setting \"%2\" is not one of the entries "
                                           "of its list. Pick an entry and press OK to store a valid one.")
                                .arg(text, key)
                                .toStdString());
    list->setCurrentIndex(index);
}

void setBox(QCheckBox *box, const Options::Key &key)
{
    box->setChecked(SettingsConvert::toInt16(SettingsStore::readOption(key), key.key()) != 0);
}

long readColor(const Options::Key &key)
{
    return SettingsConvert::toInt32(SettingsStore::readOption(key), key.key());
}

QString boxText(const QCheckBox *box)
{
    return box->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

ColorSwatch::ColorSwatch(QWidget *parent)
    : QFrame(parent)
{
    setFrameShape(QFrame::Box);
    setFrameShadow(QFrame::Plain);
    setAutoFillBackground(true);
    setFixedSize(36, 36);
    setToolTip(QStringLiteral("Double-click to change"));
    setColor(0);
}

void ColorSwatch::setColor(long color)
{
    m_color = color;
    QPalette p = palette();
    p.setColor(QPalette::Window, Options::toColor(color));
    setPalette(p);
}

void ColorSwatch::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
    QFrame::mouseDoubleClickEvent(event);
}

OptionsDialog::OptionsDialog(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setModal(true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    buildControls();

    loadFontList(cboFonts);
    loadOptions();
    loadOptionTree();
    // Loading selects list entries the way a user's pick does; none of that is unsaved work.
    cmdApply->setEnabled(false);
}

OptionsDialog::~OptionsDialog() = default;

void OptionsDialog::buildControls()
{
    tvwOptions = new QTreeWidget(this);
    tvwOptions->setObjectName(QStringLiteral("tvwOptions"));
    tvwOptions->setHeaderHidden(true);
    tvwOptions->setColumnCount(1);
    tvwOptions->setRootIsDecorated(true);
    // A click already toggles the node; a double-click must not toggle it back.
    tvwOptions->setExpandsOnDoubleClick(false);
    tvwOptions->setFixedWidth(170);
    connect(tvwOptions, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *node) { nodeClicked(node); });
    // Moving through the tree with the keyboard brings the panels up as clicking does.
    connect(tvwOptions, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *node) {
        if (node && tvwOptions->hasFocus())
            showOptionPanel(node->data(0, KeyRole).toString());
    });

    // The three panels share one cell; the one brought up last covers the others.
    auto *panels = new QWidget(this);
    panels->setObjectName(QStringLiteral("panelArea"));
    auto *stack = new QGridLayout(panels);
    stack->setContentsMargins(0, 0, 0, 0);
    SSPanelGeneral = buildGeneralPanel();
    SSPanelEditor = buildEditorPanel();
    SSPanelFont = buildFontPanel();
    for (QWidget *panel : {SSPanelGeneral, SSPanelEditor, SSPanelFont}) {
        panel->setParent(panels);
        panel->setAutoFillBackground(true);
        stack->addWidget(panel, 0, 0);
        panel->hide();
    }
    // Keep the area's size while every panel is still hidden.
    panels->setMinimumSize(340, 272);

    auto *top = new QHBoxLayout;
    top->setSpacing(4);
    top->addWidget(tvwOptions);
    top->addWidget(panels, 1);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdApply = new QPushButton(QStringLiteral("Apply"), this);
    cmdApply->setObjectName(QStringLiteral("cmdApply"));
    cmdOK->setDefault(true);
    for (QPushButton *b : {cmdOK, cmdCancel, cmdApply})
        b->setMinimumWidth(73);

    connect(cmdOK, &QPushButton::clicked, this, [this] {
        saveOptions();
        accept();
    });
    connect(cmdCancel, &QPushButton::clicked, this, [this] {
        cancelled = true;
        reject();
    });
    connect(cmdApply, &QPushButton::clicked, this, [this] {
        saveOptions();
        cmdApply->setEnabled(false);
    });

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    buttons->addWidget(cmdApply);

    auto *ruleRow = new QHBoxLayout;
    ruleRow->addSpacing(174);
    ruleRow->addWidget(horizontalRule(this), 1);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 8, 8);
    layout->addLayout(top, 1);
    layout->addLayout(ruleRow);
    layout->addLayout(buttons);
    resize(540, 340);
}

static QVBoxLayout *panelWithHeading(QWidget *panel, const QString &heading)
{
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(4, 2, 4, 2);
    auto *label = new QLabel(heading, panel);
    label->setObjectName(QStringLiteral("lblHeading"));
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    layout->addWidget(label);
    layout->addWidget(horizontalRule(panel));
    return layout;
}

QWidget *OptionsDialog::buildGeneralPanel()
{
    auto *panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("SSPanelGeneral"));
    auto *layout = panelWithHeading(panel, QStringLiteral("General"));

    auto *row = new QHBoxLayout;
    auto *label = new QLabel(QStringLiteral("Startup:"), panel);
    label->setObjectName(QStringLiteral("lblStartup"));
    cboStartupMode = new QComboBox(panel);
    cboStartupMode->setObjectName(QStringLiteral("cboStartupMode"));
    cboStartupMode->addItems({QStringLiteral("Normal"), QStringLiteral("Maximized")});
    cboStartupMode->setCurrentIndex(-1);
    cboStartupMode->setMinimumWidth(140);
    label->setBuddy(cboStartupMode);
    row->addWidget(label);
    row->addWidget(cboStartupMode);
    row->addStretch(1);
    layout->addLayout(row);

    auto *files = frame(QStringLiteral("fraFiles"), QStringLiteral("Files"), panel);
    cbxKeepAsWritten = checkBox(QStringLiteral("cbxKeepAsWritten"), QStringLiteral("Keep files exactly as written"), files);
    cbxKeepAsWritten->setToolTip(QStringLiteral("Show a file's own text and save it back in its own encoding and line "
                                                "breaks. Off: show and save the text as the XML parser writes it."));
    cbxKeepAsWritten->setChecked(Options::KeepAsWritten.fallbackNumber() != 0);
    cbxReopenWindows = checkBox(QStringLiteral("cbxReopenWindows"), QStringLiteral("Reopen windows at start-up"), files);
    cbxReopenWindows->setToolTip(QStringLiteral("Open the stylesheets, with their XML sources, that were open when "
                                                "Zendrik last closed."));
    cbxReopenWindows->setChecked(Options::ReopenWindows.fallbackNumber() != 0);
    auto *filesLayout = new QVBoxLayout(files);
    filesLayout->addWidget(cbxKeepAsWritten);
    filesLayout->addWidget(cbxReopenWindows);
    layout->addWidget(files);

    auto *preview = frame(QStringLiteral("fraPreview"), QStringLiteral("Preview"), panel);
    cbxRunScripts = checkBox(QStringLiteral("cbxRunScripts"), QStringLiteral("Run scripts in the preview"), preview);
    cbxRunScripts->setToolTip(QStringLiteral("Scripts in the page a stylesheet makes run in the Preview tab. "
                                             "They still cannot reach the network or files outside the "
                                             "stylesheet's and the source's folders."));
    auto *previewLayout = new QVBoxLayout(preview);
    previewLayout->addWidget(cbxRunScripts);
    auto *memoryRow = new QHBoxLayout;
    auto *memoryLabel = new QLabel(QStringLiteral("Memory for a transformation (MB):"), preview);
    txtEngineMemory = new QSpinBox(preview);
    txtEngineMemory->setObjectName(QStringLiteral("txtEngineMemory"));
    txtEngineMemory->setRange(128, 1024 * 1024);
    txtEngineMemory->setSingleStep(256);
    txtEngineMemory->setValue(int(EngineClient::defaultMemoryLimitMb()));
    txtEngineMemory->setToolTip(QStringLiteral("A transformation that needs more stops with a message; "
                                               "your documents are not affected."));
    memoryLabel->setBuddy(txtEngineMemory);
    memoryRow->addWidget(memoryLabel);
    memoryRow->addWidget(txtEngineMemory);
    memoryRow->addStretch(1);
    previewLayout->addLayout(memoryRow);
    auto *processorRow = new QHBoxLayout;
    auto *processorLabel = new QLabel(QStringLiteral("XSLT processor:"), preview);
    cboXsltProcessor = new QComboBox(preview);
    cboXsltProcessor->setObjectName(QStringLiteral("cboXsltProcessor"));
    // The stored value is the item's data; the text says what each runs.
    cboXsltProcessor->addItem(QStringLiteral("Automatic"), QStringLiteral("Automatic"));
    cboXsltProcessor->addItem(QStringLiteral("libxslt (XSLT 1.0)"), QStringLiteral("libxslt"));
    cboXsltProcessor->addItem(QStringLiteral("Saxon-HE (XSLT 3.0)"), QStringLiteral("Saxon-HE"));
    cboXsltProcessor->setToolTip(QStringLiteral("Automatic runs a stylesheet of version 2.0 or later in Saxon-HE "
                                                "and the rest in libxslt."));
    processorLabel->setBuddy(cboXsltProcessor);
    processorRow->addWidget(processorLabel);
    processorRow->addWidget(cboXsltProcessor);
    processorRow->addStretch(1);
    previewLayout->addLayout(processorRow);
    layout->addWidget(preview);
    layout->addStretch(1);

    connect(cboStartupMode, &QComboBox::currentIndexChanged, this, [this] { cmdApply->setEnabled(true); });
    connect(cbxRunScripts, &QCheckBox::clicked, this, [this] { cmdApply->setEnabled(true); });
    connect(cbxKeepAsWritten, &QCheckBox::clicked, this, [this] { cmdApply->setEnabled(true); });
    connect(cbxReopenWindows, &QCheckBox::clicked, this, [this] { cmdApply->setEnabled(true); });
    connect(txtEngineMemory, &QSpinBox::valueChanged, this, [this] { cmdApply->setEnabled(true); });
    connect(cboXsltProcessor, &QComboBox::currentIndexChanged, this, [this] { cmdApply->setEnabled(true); });
    return panel;
}

QWidget *OptionsDialog::buildEditorPanel()
{
    auto *panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("SSPanelEditor"));
    auto *layout = panelWithHeading(panel, QStringLiteral("Editor"));

    auto *autoParse = frame(QStringLiteral("fraAutoParse"), QStringLiteral("Auto-Parse"), panel);
    cbxAutoParse = checkBox(QStringLiteral("cbxAutoParse"), QStringLiteral("Parse Document on Edit"), autoParse);
    (new QVBoxLayout(autoParse))->addWidget(cbxAutoParse);
    connect(cbxAutoParse, &QCheckBox::clicked, this, [this] { cmdApply->setEnabled(true); });
    layout->addWidget(autoParse);

    auto *indentRow = new QHBoxLayout;
    auto *indentLabel = new QLabel(QStringLiteral("Indent width (spaces):"), panel);
    txtIndentWidth = new QSpinBox(panel);
    txtIndentWidth->setObjectName(QStringLiteral("txtIndentWidth"));
    txtIndentWidth->setRange(0, 16);
    txtIndentWidth->setValue(int(Options::IndentWidth.fallbackNumber()));
    txtIndentWidth->setToolTip(QStringLiteral("Spaces per level when Format Document or Format Selection re-indents a text"));
    indentLabel->setBuddy(txtIndentWidth);
    indentRow->addWidget(indentLabel);
    indentRow->addWidget(txtIndentWidth);
    indentRow->addStretch(1);
    layout->addLayout(indentRow);
    connect(txtIndentWidth, &QSpinBox::valueChanged, this, [this] { cmdApply->setEnabled(true); });

    auto colorFrame = [&](const QString &frameName, const QString &caption, ColorSwatch *&swatch,
                          const QString &swatchName, QCheckBox *&bold, const QString &boldName,
                          QCheckBox *&italic, const QString &italicName, const QString &dialogTitle) {
        auto *box = frame(frameName, caption, panel);
        swatch = new ColorSwatch(box);
        swatch->setObjectName(swatchName);
        bold = checkBox(boldName, QStringLiteral("Bold"), box);
        italic = checkBox(italicName, QStringLiteral("Italic"), box);
        auto *styles = new QVBoxLayout;
        styles->addWidget(bold);
        styles->addWidget(italic);
        auto *row = new QHBoxLayout(box);
        row->addWidget(swatch);
        row->addSpacing(6);
        row->addLayout(styles);
        row->addStretch(1);
        ColorSwatch *target = swatch;
        connect(swatch, &ColorSwatch::doubleClicked, this, [this, target, dialogTitle] { chooseColor(target, dialogTitle); });
        return box;
    };

    auto *tag = colorFrame(QStringLiteral("fraTagColor"), QStringLiteral("Tag Color"), picTagColor,
                           QStringLiteral("picTagColor"), cbxTagBold, QStringLiteral("cbxTagBold"), cbxTagItalic,
                           QStringLiteral("cbxTagItalic"), QStringLiteral("Select Tag Color"));
    auto *attrib = colorFrame(QStringLiteral("fraAttribColor"), QStringLiteral("Attribute Color"), picAttribColor,
                              QStringLiteral("picAttribColor"), cbxAttribBold, QStringLiteral("cbxAttribBold"),
                              cbxAttribItalic, QStringLiteral("cbxAttribItalic"), QStringLiteral("Select Attribute Color"));
    auto *value = colorFrame(QStringLiteral("fraAttribValueColor"), QStringLiteral("Attribute Value Color"),
                             picAttribValueColor, QStringLiteral("picAttribValueColor"), cbxAttribValueBold,
                             QStringLiteral("cbxAttribValueBold"), cbxAttribValueItalic,
                             QStringLiteral("cbxAttribValueItalic"), QStringLiteral("Select Attribute Value Color"));
    auto *tagRow = new QHBoxLayout;
    // Until the store is read the controls hold the defaults, so values that a failed load
    // leaves unread are stored as defaults, not as black or off, when the user presses OK.
    cbxAutoParse->setChecked(Options::AutoParse.fallbackNumber() != 0);
    picTagColor->setColor(Options::TagColor.fallbackNumber());
    picAttribColor->setColor(Options::AttribColor.fallbackNumber());
    picAttribValueColor->setColor(Options::AttribValueColor.fallbackNumber());
    tagRow->addWidget(tag, 1);
    tagRow->addStretch(1);
    layout->addLayout(tagRow);
    auto *pair = new QHBoxLayout;
    pair->addWidget(attrib, 1);
    pair->addWidget(value, 1);
    layout->addLayout(pair);
    layout->addStretch(1);
    return panel;
}

QWidget *OptionsDialog::buildFontPanel()
{
    auto *panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("SSPanelFont"));
    auto *layout = panelWithHeading(panel, QStringLiteral("Fonts"));

    auto *family = frame(QStringLiteral("fraFontFamily"), QStringLiteral("Font Family"), panel);
    cboFonts = new QComboBox(family);
    cboFonts->setObjectName(QStringLiteral("cboFonts"));
    cboFonts->setMaxVisibleItems(16);
    (new QVBoxLayout(family))->addWidget(cboFonts);

    auto *size = frame(QStringLiteral("fraSize"), QStringLiteral("Size"), panel);
    cboFontSize = new QComboBox(size);
    cboFontSize->setObjectName(QStringLiteral("cboFontSize"));
    for (const char *points : {"8", "9", "10", "11", "12", "14", "16", "18", "20", "22", "24", "26", "28", "36", "48", "72"})
        cboFontSize->addItem(QString::fromLatin1(points));
    cboFontSize->setCurrentIndex(-1);
    cboFontSize->setMaxVisibleItems(16);
    (new QVBoxLayout(size))->addWidget(cboFontSize);

    auto *row = new QHBoxLayout;
    row->addWidget(family, 3);
    row->addWidget(size, 1);
    layout->addLayout(row);

    auto *sample = frame(QStringLiteral("fraSample"), QStringLiteral("Sample Text"), panel);
    txtSample = new QLineEdit(QStringLiteral("Sample"), sample);
    txtSample->setObjectName(QStringLiteral("txtSample"));
    // Starts in the editor's own default font, so an empty store offers what the editor shows.
    txtSample->setFont(SyntaxBox::defaultFont());
    txtSample->setAlignment(Qt::AlignCenter);
    txtSample->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    (new QVBoxLayout(sample))->addWidget(txtSample);
    layout->addWidget(sample, 1);

    connect(cboFonts, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0)
            return;
        QFont f = txtSample->font();
        f.setFamily(cboFonts->itemText(index));
        txtSample->setFont(f);
        cmdApply->setEnabled(true);
    });
    connect(cboFontSize, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0)
            return;
        QFont f = txtSample->font();
        f.setPointSizeF(static_cast<float>(cboFontSize->itemText(index).toFloat()));
        txtSample->setFont(f);
        cmdApply->setEnabled(true);
    });
    return panel;
}

void OptionsDialog::loadFontList(QComboBox *list)
{
    list->clear();
    QStringList families = QFontDatabase::families();
    families.removeDuplicates();
    std::sort(families.begin(), families.end(),
              [](const QString &a, const QString &b) { return QString::localeAwareCompare(a, b) < 0; });
    QSignalBlocker quiet(list);
    list->addItems(families);
    list->setCurrentIndex(-1);
}

void OptionsDialog::loadOptions()
{
    using namespace Options;
    try {
        selectEntry(cboStartupMode, SettingsStore::readOption(StartupMode), StartupMode.key());
        const QFontInfo sample(txtSample->font());
        selectEntry(cboFonts, SettingsStore::readOption(FontName, sample.family()), FontName.key());
        const QString size = SettingsStore::readOption(FontSize, QString::number(txtSample->font().pointSizeF()));
        selectEntry(cboFontSize, QString::number(SettingsConvert::toInt16(size, FontSize.key())), FontSize.key());
        cbxAutoParse->setChecked(SettingsConvert::toBoolean(SettingsStore::readOption(AutoParse), AutoParse.key()));
        cbxRunScripts->setChecked(
            SettingsConvert::toBoolean(SettingsStore::readOption(RunPreviewScripts), RunPreviewScripts.key()));
        cbxKeepAsWritten->setChecked(SettingsConvert::toBoolean(SettingsStore::readOption(KeepAsWritten), KeepAsWritten.key()));
        cbxReopenWindows->setChecked(SettingsConvert::toBoolean(SettingsStore::readOption(ReopenWindows), ReopenWindows.key()));
        {
            QSignalBlocker quiet(txtEngineMemory);
            txtEngineMemory->setValue(int(SettingsConvert::toInt32(
                SettingsStore::readOption(EngineMemoryMB, QString::number(EngineClient::defaultMemoryLimitMb())),
                EngineMemoryMB.key())));
        }
        {
            // A value no entry has (a hand-edited file) shows as Automatic, which is what it runs as.
            QSignalBlocker quiet(cboXsltProcessor);
            cboXsltProcessor->setCurrentIndex(std::max(0, cboXsltProcessor->findData(SettingsStore::readOption(XsltProcessor))));
        }
        {
            QSignalBlocker quiet(txtIndentWidth);
            txtIndentWidth->setValue(SettingsConvert::toInt16(SettingsStore::readOption(IndentWidth), IndentWidth.key()));
        }
        picTagColor->setColor(readColor(TagColor));
        setBox(cbxTagBold, TagBold);
        setBox(cbxTagItalic, TagItalic);
        picAttribColor->setColor(readColor(AttribColor));
        setBox(cbxAttribBold, AttribBold);
        setBox(cbxAttribItalic, AttribItalic);
        picAttribValueColor->setColor(readColor(AttribValueColor));
        setBox(cbxAttribValueBold, AttribValueBold);
        setBox(cbxAttribValueItalic, AttribValueItalic);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Loading Options"));
    }
}

void OptionsDialog::saveOptions()
{
    using namespace Options;
    // A list left without an entry by a failed load writes nothing, so what the store held is
    // kept rather than replaced by an empty text no reader accepts.
    auto saveList = [](const Key &key, const QComboBox *list) {
        if (list->currentIndex() >= 0)
            SettingsStore::saveOption(key, list->currentText());
    };
    auto saveColor = [](const Key &key, const ColorSwatch *swatch) {
        SettingsStore::saveOption(key, QString::number(swatch->color()));
    };
    auto saveBox = [](const Key &key, const QCheckBox *box) { SettingsStore::saveOption(key, boxText(box)); };
    try {
        saveList(StartupMode, cboStartupMode);
        saveBox(AutoParse, cbxAutoParse);
        saveBox(RunPreviewScripts, cbxRunScripts);
        saveBox(KeepAsWritten, cbxKeepAsWritten);
        saveBox(ReopenWindows, cbxReopenWindows);
        SettingsStore::saveOption(EngineMemoryMB, QString::number(txtEngineMemory->value()));
        SettingsStore::saveOption(IndentWidth, QString::number(txtIndentWidth->value()));
        SettingsStore::saveOption(XsltProcessor, cboXsltProcessor->currentData().toString());
        saveList(FontName, cboFonts);
        saveList(FontSize, cboFontSize);
        saveColor(TagColor, picTagColor);
        saveBox(TagBold, cbxTagBold);
        saveBox(TagItalic, cbxTagItalic);
        saveColor(AttribColor, picAttribColor);
        saveBox(AttribBold, cbxAttribBold);
        saveBox(AttribItalic, cbxAttribItalic);
        saveColor(AttribValueColor, picAttribValueColor);
        saveBox(AttribValueBold, cbxAttribValueBold);
        saveBox(AttribValueItalic, cbxAttribValueItalic);
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Saving Options"));
    }
}

void OptionsDialog::loadOptionTree()
{
    auto *root = new QTreeWidgetItem(tvwOptions, {QStringLiteral("Environment")});
    root->setData(0, KeyRole, QStringLiteral("Environment"));
    const std::pair<const char *, const char *> leaves[] = {{"General", "General"}, {"Editor", "Editor"}, {"Fonts", "Font"}};
    for (const auto &[text, key] : leaves) {
        auto *node = new QTreeWidgetItem(root, {QString::fromLatin1(text)});
        node->setData(0, KeyRole, QString::fromLatin1(key));
    }
    root->setExpanded(false);
}

void OptionsDialog::nodeClicked(QTreeWidgetItem *node)
{
    if (!node)
        return;
    showOptionPanel(node->data(0, KeyRole).toString());
    node->setExpanded(!node->isExpanded());
}

void OptionsDialog::showOptionPanel(const QString &key)
{
    const QString k = key.toUpper();
    QWidget *panel = nullptr;
    if (k == QLatin1String("FONT"))
        panel = SSPanelFont;
    else if (k == QLatin1String("GENERAL"))
        panel = SSPanelGeneral;
    else if (k == QLatin1String("EDITOR"))
        panel = SSPanelEditor;
    if (!panel)
        return;
    panel->show();
    panel->raise();
}

void OptionsDialog::chooseColor(ColorSwatch *swatch, const QString &title)
{
    QColor color = Options::toColor(swatch->color());
    if (dialogs().colorDialog(this, title, color))
        swatch->setColor(Options::toBgr(color));
}

void OptionsDialog::keyPressEvent(QKeyEvent *event)
{
    // Esc is the Cancel button; only the title-bar close box closes without cancelling.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdCancel->click();
        return;
    }
    QDialog::keyPressEvent(event);
}
