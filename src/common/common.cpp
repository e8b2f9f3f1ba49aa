#include "common.h"

#include <QApplication>

int showError(const QString &strMessage, const QString &strTitle)
{
    return dialogs().messageBox(QApplication::activeWindow(), strMessage, msg::OkOnly | msg::Critical, strTitle);
}

QString showFileDialog(CommonDialog &dlg, const QString &strTitle, const QString &strFilter, long lngMode)
{
    dlg.title = strTitle;
    dlg.filter = strFilter;
    if (lngMode == 1)
        dialogs().fileDialog(QApplication::activeWindow(), dlg, FileDialogMode::Open);
    else if (lngMode == 2)
        dialogs().fileDialog(QApplication::activeWindow(), dlg, FileDialogMode::Save);
    return dlg.fileName;
}

QString promptForURL(const QString &prompt)
{
    return dialogs().inputBox(QApplication::activeWindow(), prompt, QStringLiteral("Open File from URL"),
                              QStringLiteral("http://"));
}

static void initIconResources()
{
    // The icons are compiled into a static library, whose resource registration the linker
    // would otherwise drop.
    Q_INIT_RESOURCE(icons);
}

void initResources()
{
    static const bool done = (initIconResources(), true);
    (void)done;
}
