#pragma once

#include <QMessageBox>
#include <QString>
#include <memory>

class QColor;
class QWidget;
class QPrinter;

// Everything modal goes through this interface so that the program can be driven without a
// person in front of it. The program installs the Qt implementation; a scripted stand-in can be
// installed instead with setDialogProvider().


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

    // Shows text in a message box with icon and buttons; returns the button chosen. Escape and
    // the close button answer Cancel where there is one; the first button is the default.
    virtual QMessageBox::StandardButton messageBox(QWidget *parent, const QString &text, QMessageBox::Icon icon,
                                                   QMessageBox::StandardButtons buttons, const QString &title) = 0;
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
