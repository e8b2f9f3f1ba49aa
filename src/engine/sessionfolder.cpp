#include "engine/sessionfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QUuid>

namespace SessionFolder {

namespace {

const QString kPrefix = QStringLiteral("session-");

QString lockPath(const QString &path)
{
    return path + QStringLiteral("/lock");
}

std::unique_ptr<QLockFile> newLock(const QString &path)
{
    auto lock = std::make_unique<QLockFile>(lockPath(path));
    // Never stale by age: a program may hold its lock for days. One whose program has died is
    // stale all the same, as QLockFile sees from the process id it holds.
    lock->setStaleLockTime(0);
    return lock;
}

} // namespace

QString stateFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Zendrik");
}

QString newPath(const QString &root)
{
    return root + QLatin1Char('/') + kPrefix + QUuid::createUuid().toString(QUuid::Id128);
}

std::unique_ptr<QLockFile> open(const QString &path, QString *error)
{
    const QString root = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(path)) {
        if (error)
            *error = QStringLiteral("Cannot create the folder \"%1\"").arg(path);
        return nullptr;
    }
    // Only this user may look in: what is kept here is unsaved work and the names of files.
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    QFile::setPermissions(root, ownerOnly);
    QFile::setPermissions(path, ownerOnly);
    std::unique_ptr<QLockFile> lock = newLock(path);
    if (!lock->tryLock(0)) {
        if (error)
            *error = QStringLiteral("Cannot lock the folder \"%1\"").arg(path);
        return nullptr;
    }
    return lock;
}

QStringList sessions(const QString &root, const QString &except)
{
    QStringList found;
    const QDir dir(root);
    for (const QString &name : dir.entryList({kPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString path = dir.filePath(name);
        if (path != except)
            found << path;
    }
    return found;
}

std::unique_ptr<QLockFile> claim(const QString &path)
{
    std::unique_ptr<QLockFile> lock = newLock(path);
    if (!lock->tryLock(0))
        return nullptr;
    return lock;
}

void remove(const QString &path, std::unique_ptr<QLockFile> lock)
{
    const QString lockName = QFileInfo(lockPath(path)).fileName();
    QDir dir(path);
    for (const QFileInfo &entry : dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.fileName() == lockName)
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
    // Whoever looks in once the lock is gone finds an empty folder, and may remove it too.
    if (lock)
        lock->unlock();
    dir.rmdir(path);
}

} // namespace SessionFolder
