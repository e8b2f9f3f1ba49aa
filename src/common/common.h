#pragma once

#include "platform/dialogs.h"

#include <QString>

// The one error box: critical icon, OK button. Returns the box's answer.
int showError(const QString &strMessage, const QString &strTitle);

// Runs dlg as an open (lngMode 1) or save (lngMode 2) dialog with the given title and filter
// ("Description|patterns|..."), and returns the file name it reports. Any other mode shows
// nothing and returns the dialog's current file name. Empty after trimming means cancelled.
QString showFileDialog(CommonDialog &dlg, const QString &strTitle, const QString &strFilter, long lngMode);

// The input box for a URL: titled "Open File from URL", offering "http://".
QString promptForURL(const QString &prompt);

// Makes the program's built-in pictures available; safe to call more than once.
void initResources();
