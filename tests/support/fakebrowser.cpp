#include "fakebrowser.h"

#include <QFile>

FakeBrowser *FakeBrowser::install()
{
    auto fake = std::make_unique<FakeBrowser>();
    FakeBrowser *raw = fake.get();
    setBrowserLauncher(std::move(fake));
    return raw;
}

void FakeBrowser::uninstall()
{
    setBrowserLauncher(nullptr);
}

bool FakeBrowser::openFile(const QString &path, QString *error)
{
    QFile f(path);
    opened << Opened{path, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray()};
    if (fail && error)
        *error = QStringLiteral("No web browser could be started.");
    return !fail;
}

bool FakeBrowser::openUrl(const QString &url)
{
    urls << url;
    return !fail;
}
