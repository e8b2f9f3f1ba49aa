#pragma once

#include "platform/dialogs.h"

#include <QString>

// The one error box: critical icon, OK button. Returns the box's answer.
void showError(const QString &message, const QString &title);

// Runs dlg as an open (mode 1) or save (mode 2) dialog with the given title and filter
// ("Description|patterns|..."), and returns the file name it reports. Any other mode shows
// nothing and returns the dialog's current file name. Empty after trimming means cancelled.
QString showFileDialog(CommonDialog &dlg, const QString &title, const QString &filter, long mode);

// The input box for a URL: titled "Open File from URL", offering "http://".
QString promptForURL(const QString &prompt);

// Makes the program's built-in pictures available; safe to call more than once.
void initResources();

// The temporary folder, a "/", and a fresh name cut after its first "." (the dot stays), so the
// caller appends only the extension. Empty when no fresh name could be made.
QString getTempFileStem();

// A fresh folder in the temporary folder that only this user can open (mode 0700), for files
// other users of the computer must not read. Empty when none could be made.
QString makePrivateTempFolder();


// Files and folders handed to other programs (the web browser) that must outlive the operation
// that wrote them; removeTempFilesAtExit() deletes them, folders with their contents, when the
// program ends.
void keepTempFileUntilExit(const QString &path);
void removeTempFilesAtExit();
QStringList tempFilesKeptUntilExit();

// Shows the busy pointer for the lifetime of the object, on every way out of a scope.
class BusyCursor
{
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};
