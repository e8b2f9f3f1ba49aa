#include "common.h"

#include <QApplication>

void showError(const QString &message, const QString &title)
{
    dialogs().messageBox(QApplication::activeWindow(), message, QMessageBox::Critical, QMessageBox::Ok, title);
}

QString showFileDialog(CommonDialog &dlg, const QString &title, const QString &filter, long mode)
{
    dlg.title = title;
    dlg.filter = filter;
    if (mode == 1)
        dialogs().fileDialog(QApplication::activeWindow(), dlg, FileDialogMode::Open);
    else if (mode == 2)
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


#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryFile>

#include <cstdlib>

QString getTempFileStem()
{
    // Reserving the name through QTemporaryFile makes it fresh at the moment it is handed out;
    // the caller then creates its own file exclusively.
    QTemporaryFile reserve(QDir::tempPath() + QStringLiteral("/zendrik-XXXXXX.tmp"));
    if (!reserve.open())
        return QString();
    const QFileInfo info(reserve.fileName());
    const QString name = info.fileName();
    const int dot = name.indexOf(QLatin1Char('.'));
    if (dot < 0)
        return QString();
    return info.absolutePath() + QLatin1Char('/') + name.left(dot + 1);
}

QString makePrivateTempFolder()
{
    // mkdtemp creates the folder with mode 0700 under a name nobody could have taken first.
    QByteArray name = QFile::encodeName(QDir::tempPath() + QStringLiteral("/zendrik-XXXXXX"));
    if (!mkdtemp(name.data()))
        return QString();
    return QFile::decodeName(name);
}

namespace {
QStringList &keptFiles()
{
    static QStringList files;
    return files;
}
} // namespace

void keepTempFileUntilExit(const QString &path)
{
    keptFiles() << path;
}

void removeTempFilesAtExit()
{
    for (const QString &path : std::as_const(keptFiles())) {
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink())
            QDir(path).removeRecursively();
        else
            QFile::remove(path);
    }
    keptFiles().clear();
}

QStringList tempFilesKeptUntilExit()
{
    return keptFiles();
}

BusyCursor::BusyCursor()
{
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyCursor::~BusyCursor()
{
    QGuiApplication::restoreOverrideCursor();
}
