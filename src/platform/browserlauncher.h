#pragma once

#include <QString>
#include <memory>

// Hands a local file to the user's web browser. The program installs the desktop's default
// browser; another launcher can be installed with setBrowserLauncher().
class BrowserLauncher
{
public:
    virtual ~BrowserLauncher() = default;
    // Returns false and sets error when no browser could be started.
    virtual bool openFile(const QString &path, QString *error) = 0;
    // Hands any URL (such as a mailto: link) to the program the desktop uses for it.
    virtual bool openUrl(const QString &url) = 0;
};

BrowserLauncher &browserLauncher();
// Installs a launcher (takes ownership); nullptr restores the desktop's default browser.
void setBrowserLauncher(std::unique_ptr<BrowserLauncher> launcher);
