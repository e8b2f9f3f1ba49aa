#pragma once

#include "components/syntaxbox.h"

#include <QDialog>
#include <QPointer>
#include <QString>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace findreplace {

// Longest find or replace-with text the dialog takes.
constexpr int kMaxTextLength = 255;

// The modeless Find or Replace dialog. It belongs to the document window that opened it (and
// goes with it) and hands every button press to the search engine for its target control.
class FindReplaceDialog : public QDialog
{
    Q_OBJECT
public:
    FindReplaceDialog(QWidget *owner, SyntaxBox *target, bool replaceMode, int flags, const QString &findWhat,
                      const QString &replaceWith);

    SyntaxBox *target() const { return m_target; }
    bool isReplaceMode() const { return m_replaceMode; }

private:
    void runCommand(int command);
    int options() const;
    void updateButtons();

    QPointer<SyntaxBox> m_target;
    bool m_replaceMode;
    QLineEdit *txtFindWhat = nullptr;
    QLineEdit *txtReplaceWith = nullptr;
    QCheckBox *cbxWholeWord = nullptr;
    QCheckBox *cbxMatchCase = nullptr;
    QRadioButton *optUp = nullptr;
    QRadioButton *optDown = nullptr;
    QPushButton *cmdFindNext = nullptr;
    QPushButton *cmdReplace = nullptr;
    QPushButton *cmdReplaceAll = nullptr;
    QPushButton *cmdCancel = nullptr;
};

// The one open find or replace dialog of the program, or nullptr.
FindReplaceDialog *openDialog();

// The find text a new dialog offers: the target's selection (at most kMaxTextLength characters),
// or nothing when nothing is selected.
QString initialFindText(SyntaxBox *target);

// Opens the dialog for target, owned by owner, and returns at once. Does nothing and returns
// nullptr while a dialog is open anywhere in the program.
FindReplaceDialog *showFindReplace(QWidget *owner, SyntaxBox *target, int flags, const QString &findWhat,
                                   bool replaceMode, const QString &replaceWith);

} // namespace findreplace
