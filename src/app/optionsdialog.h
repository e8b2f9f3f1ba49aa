#pragma once

#include <QDialog>
#include <QFrame>
#include <QString>

class QCheckBox;
class QSpinBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

// A small coloured square that stands for one of the editor colours. Double-clicking it asks
// for a new colour.
class ColorSwatch : public QFrame
{
    Q_OBJECT
public:
    explicit ColorSwatch(QWidget *parent = nullptr);
    // 0x00BBGGRR, as stored in the settings.
    long color() const { return m_color; }
    void setColor(long color);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    long m_color = 0;
};

// Tools > Options: edits the editor options kept in the settings store. It only reads and
// writes the store; the caller decides from cancelled whether to apply them.
class OptionsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit OptionsDialog(QWidget *parent = nullptr);
    ~OptionsDialog() override;

    // Set only by Cancel (or Esc). Closing with the title-bar box leaves it false.
    bool cancelled = false;

    // Fills list with the installed font families, sorted.
    static void loadFontList(QComboBox *list);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildControls();
    QWidget *buildGeneralPanel();
    QWidget *buildEditorPanel();
    QWidget *buildFontPanel();
    void loadOptions();
    void saveOptions();
    void loadOptionTree();
    void showOptionPanel(const QString &key);
    void nodeClicked(QTreeWidgetItem *node);
    void chooseColor(ColorSwatch *swatch, const QString &title);

    QTreeWidget *tvwOptions = nullptr;
    QWidget *SSPanelGeneral = nullptr;
    QWidget *SSPanelEditor = nullptr;
    QWidget *SSPanelFont = nullptr;
    QComboBox *cboStartupMode = nullptr;
    QCheckBox *cbxAutoParse = nullptr;
    QCheckBox *cbxRunScripts = nullptr;
    QCheckBox *cbxKeepAsWritten = nullptr;
    QCheckBox *cbxReopenWindows = nullptr;
    QSpinBox *txtIndentWidth = nullptr;
    QSpinBox *txtEngineMemory = nullptr;
    QComboBox *cboXsltProcessor = nullptr;
    ColorSwatch *picTagColor = nullptr;
    ColorSwatch *picAttribColor = nullptr;
    ColorSwatch *picAttribValueColor = nullptr;
    QCheckBox *cbxTagBold = nullptr;
    QCheckBox *cbxTagItalic = nullptr;
    QCheckBox *cbxAttribBold = nullptr;
    QCheckBox *cbxAttribItalic = nullptr;
    QCheckBox *cbxAttribValueBold = nullptr;
    QCheckBox *cbxAttribValueItalic = nullptr;
    QComboBox *cboFonts = nullptr;
    QComboBox *cboFontSize = nullptr;
    QLineEdit *txtSample = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;
    QPushButton *cmdApply = nullptr;
};
