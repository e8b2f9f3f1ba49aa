#pragma once

#include <QString>
#include <memory>

class QColor;
class QWidget;
class QPrinter;

// Everything modal goes through this interface so that the program can be driven without a
// person in front of it. The program installs the Qt implementation; a scripted stand-in can be
// installed instead with setDialogProvider().

namespace msg {
// Message box styles, as numbers: icon plus button set.
enum Style : int {
    OkOnly = 0,
    OkCancel = 1,
    AbortRetryIgnore = 2,
    YesNoCancel = 3,
    YesNo = 4,
    RetryCancel = 5,
    Critical = 16,
    Question = 32,
    Exclamation = 48,
    Information = 64,
    DefaultButton2 = 256,
    DefaultButton3 = 512,
};
// Answers a message box can give.
enum Answer : int { Ok = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7 };
} // namespace msg

// State of a common file dialog. One object is kept per caller and reused, so the file name
// chosen last time is offered again next time.
struct CommonDialog {
    QString title;
    QString filter;   // "Description|pattern;pattern|Description|pattern"
    QString fileName; // the answer; empty after a cancelled dialog
};

enum class FileDialogMode { Open, Save };

class DialogProvider
{
public:
    virtual ~DialogProvider() = default;

    // Returns one of msg::Answer.
    virtual int messageBox(QWidget *parent, const QString &text, int style, const QString &title) = 0;
    // Returns the typed text, or an empty string when the user cancelled.
    virtual QString inputBox(QWidget *parent, const QString &prompt, const QString &title,
                             const QString &defaultText) = 0;
    // Shows the dialog described by dlg; sets dlg.fileName to the chosen file, or to an empty
    // string when the user cancelled.
    virtual void fileDialog(QWidget *parent, CommonDialog &dlg, FileDialogMode mode) = 0;
    // Shows a colour dialog titled title, starting at color; returns true and sets color when
    // the user picked one.
    virtual bool colorDialog(QWidget *parent, const QString &title, QColor &color) = 0;
    // Returns true when the user confirmed printing on printer.
    virtual bool printDialog(QWidget *parent, QPrinter *printer) = 0;
    // The program's about box.
    virtual void aboutBox(QWidget *parent, const QString &title, const QString &text) = 0;
};

// The provider in use; the Qt implementation unless another one was installed.
DialogProvider &dialogs();
// Installs a provider (takes ownership); passing nullptr restores the Qt implementation.
void setDialogProvider(std::unique_ptr<DialogProvider> provider);

// Converts a "Description|pattern|..." filter into the form QFileDialog shows.
QString qtFileFilter(const QString &filter);
