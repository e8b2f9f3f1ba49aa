#include "browserlauncher.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>

namespace {

class DesktopBrowser : public BrowserLauncher
{
public:
    bool openFile(const QString &path, QString *error) override
    {
        if (QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            return true;
        if (error)
            *error = QStringLiteral("No web browser could be started for \"%1\".").arg(QDir::toNativeSeparators(path));
        return false;
    }

    bool openUrl(const QString &url) override { return QDesktopServices::openUrl(QUrl(url)); }
};

std::unique_ptr<BrowserLauncher> &current()
{
    static std::unique_ptr<BrowserLauncher> launcher;
    return launcher;
}

} // namespace

BrowserLauncher &browserLauncher()
{
    if (!current())
        current() = std::make_unique<DesktopBrowser>();
    return *current();
}

void setBrowserLauncher(std::unique_ptr<BrowserLauncher> launcher)
{
    current() = std::move(launcher);
}
