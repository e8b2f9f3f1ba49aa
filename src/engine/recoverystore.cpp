#include "engine/recoverystore.h"

#include "engine/fileio.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QUuid>

#include <algorithm>

namespace {

const QString kSessionPrefix = QStringLiteral("session-");
const QString kLockName = QStringLiteral("lock");
const QString kTextSuffix = QStringLiteral(".xsl");
const QString kMetaSuffix = QStringLiteral(".json");

// A session folder whose lock file nobody holds: its program has ended. The lock is taken and
// released again, so the caller only learns the answer.
bool sessionEnded(const QString &sessionPath)
{
    QLockFile lock(sessionPath + QLatin1Char('/') + kLockName);
    if (!lock.tryLock(0))
        return false;
    lock.unlock();
    return true;
}

} // namespace

RecoveryStore::RecoveryStore(const QString &folder)
    : m_folder(folder)
    , m_session(folder + QLatin1Char('/') + kSessionPrefix + QUuid::createUuid().toString(QUuid::Id128))
{
}

RecoveryStore::~RecoveryStore()
{
    // Copies still here belong to windows that never closed: they stay for the next start.
    // Someone may have removed the whole folder meanwhile; then there is no lock left to free.
    if (m_lock && !QFileInfo::exists(m_session + QLatin1Char('/') + kLockName))
        (void)m_lock.release();
}

QString RecoveryStore::recoveryFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Zendrik/recovery");
}

QString RecoveryStore::entryPath(const QString &id, const QString &suffix) const
{
    return m_session + QLatin1Char('/') + id + suffix;
}

bool RecoveryStore::write(const QString &id, const QString &fileName, const QString &caption, const QByteArray &text,
                          QString *error)
{
    if (!m_lock) {
        if (!QDir().mkpath(m_session)) {
            if (error)
                *error = QStringLiteral("Cannot create the recovery folder \"%1\"").arg(m_session);
            return false;
        }
        // Only this user may read the copies: they hold unsaved work.
        QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(m_session, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        auto lock = std::make_unique<QLockFile>(m_session + QLatin1Char('/') + kLockName);
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0)) {
            if (error)
                *error = QStringLiteral("Cannot lock the recovery folder \"%1\"").arg(m_session);
            return false;
        }
        m_lock = std::move(lock);
    }
    QJsonObject meta;
    meta.insert(QStringLiteral("fileName"), fileName);
    meta.insert(QStringLiteral("caption"), caption);
    meta.insert(QStringLiteral("savedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    // The text first: a copy counts once its description exists, and then both are complete.
    return FileIO::writeFileAtomically(entryPath(id, kTextSuffix), text, error)
           && FileIO::writeFileAtomically(entryPath(id, kMetaSuffix), QJsonDocument(meta).toJson(), error);
}

void RecoveryStore::remove(const QString &id)
{
    if (!m_lock)
        return;
    QFile::remove(entryPath(id, kMetaSuffix));
    QFile::remove(entryPath(id, kTextSuffix));
    // A session without copies needs neither its folder nor its lock.
    const QStringList left = QDir(m_session).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    if (left.isEmpty() || left == QStringList{kLockName}) {
        m_lock->unlock();
        m_lock.reset();
        QDir(m_session).removeRecursively();
    }
}

QList<RecoveryStore::Entry> RecoveryStore::orphans() const
{
    QList<Entry> found;
    const QDir root(m_folder);
    for (const QString &name : root.entryList({kSessionPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString sessionPath = root.filePath(name);
        if (sessionPath == m_session || !sessionEnded(sessionPath))
            continue;
        const QDir session(sessionPath);
        for (const QString &metaName : session.entryList({QLatin1Char('*') + kMetaSuffix}, QDir::Files)) {
            const QString id = metaName.chopped(kMetaSuffix.size());
            QByteArray metaBytes;
            Entry e;
            if (!FileIO::readRegularFile(session.filePath(metaName), &metaBytes, nullptr)
                || !FileIO::readRegularFile(session.filePath(id + kTextSuffix), &e.text, nullptr))
                continue;
            const QJsonObject meta = QJsonDocument::fromJson(metaBytes).object();
            e.id = id;
            e.fileName = meta.value(QStringLiteral("fileName")).toString();
            e.caption = meta.value(QStringLiteral("caption")).toString();
            e.savedAt = QDateTime::fromString(meta.value(QStringLiteral("savedAt")).toString(), Qt::ISODateWithMs);
            e.sessionPath = sessionPath;
            found << e;
        }
    }
    std::sort(found.begin(), found.end(), [](const Entry &a, const Entry &b) { return a.savedAt < b.savedAt; });
    return found;
}

void RecoveryStore::discardOrphans()
{
    const QDir root(m_folder);
    for (const QString &name : root.entryList({kSessionPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString sessionPath = root.filePath(name);
        if (sessionPath != m_session && sessionEnded(sessionPath))
            QDir(sessionPath).removeRecursively();
    }
}

RecoveryStore &recoveryStore()
{
    static RecoveryStore store;
    return store;
}
