#pragma once

#include "platform/browserlauncher.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Records every file handed to the browser together with its contents at that moment.
class FakeBrowser : public BrowserLauncher
{
public:
    struct Opened {
        QString path;
        QByteArray contents;
    };
    static FakeBrowser *install();
    static void uninstall();

    QList<Opened> opened;
    QStringList urls;
    bool fail = false;

    bool openFile(const QString &path, QString *error) override;
    bool openUrl(const QString &url) override;
};
