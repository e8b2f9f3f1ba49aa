#include "engine/recoverystore.h"

#include "engine/fileio.h"
#include "engine/sessionfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QCoreApplication>
#include <QLockFile>
#include <QMutexLocker>
#include <QThreadPool>

#include <algorithm>

namespace {

const QString kLockName = QStringLiteral("lock");
const QString kTextSuffix = QStringLiteral(".xsl");
const QString kSourceSuffix = QStringLiteral(".xml");
const QString kMetaSuffix = QStringLiteral(".json");

QJsonObject toJson(const textfile::Format &format)
{
    return QJsonObject{{QStringLiteral("encoding"), QString::fromLatin1(format.encoding)},
                       {QStringLiteral("byteOrderMark"), format.byteOrderMark},
                       {QStringLiteral("lineBreak"), QString::fromLatin1(format.lineBreak)},
                       {QStringLiteral("fallback"), format.fallback},
                       {QStringLiteral("declared"), QString::fromLatin1(format.declared)}};
}

// A copy from before formats were kept has none: its text is then written as a new one would be.
textfile::Format formatFrom(const QJsonObject &json)
{
    textfile::Format format;
    if (json.isEmpty())
        return format;
    format.encoding = json.value(QStringLiteral("encoding")).toString(QStringLiteral("UTF-8")).toLatin1();
    format.byteOrderMark = json.value(QStringLiteral("byteOrderMark")).toBool();
    const QByteArray lineBreak = json.value(QStringLiteral("lineBreak")).toString().toLatin1();
    if (lineBreak == "\r\n" || lineBreak == "\r" || lineBreak == "\n")
        format.lineBreak = lineBreak;
    format.fallback = json.value(QStringLiteral("fallback")).toBool();
    format.declared = json.value(QStringLiteral("declared")).toString().toLatin1();
    return format;
}

} // namespace

RecoveryStore::RecoveryStore(const QString &folder)
    : m_folder(folder)
    , m_session(SessionFolder::newPath(folder))
    , m_writer(std::make_unique<QThreadPool>())
{
    m_writer->setMaxThreadCount(1);
    m_writer->setExpiryTimeout(5000);
}

RecoveryStore::~RecoveryStore()
{
    // The copies asked for are written before the program ends.
    m_writer->waitForDone();
    // Copies still here belong to windows that never closed: they stay for the next start.
    // Someone may have removed the whole folder meanwhile; then there is no lock left to free.
    if (m_lock && !QFileInfo::exists(m_session + QLatin1Char('/') + kLockName))
        (void)m_lock.release();
}

QString RecoveryStore::recoveryFolder()
{
    return SessionFolder::stateFolder() + QStringLiteral("/recovery");
}

QString RecoveryStore::entryPath(const QString &id, const QString &suffix) const
{
    return m_session + QLatin1Char('/') + id + suffix;
}

bool RecoveryStore::write(const Entry &entry, QString *error)
{
    cancelPending(entry.id);
    QMutexLocker files(&m_files);
    return writeNow(entry, error);
}

void RecoveryStore::writeLater(const Entry &entry, QObject *context, std::function<void(const QString &)> failed)
{
    bool queued;
    {
        QMutexLocker pending(&m_pendingLock);
        queued = m_pending.contains(entry.id);
        m_pending.insert(entry.id, Pending{entry, context, std::move(failed)});
    }
    if (!queued)
        m_writer->start([this, id = entry.id] { writePending(id); });
}

void RecoveryStore::flush()
{
    m_writer->waitForDone();
}

void RecoveryStore::cancelPending(const QString &id)
{
    QMutexLocker pending(&m_pendingLock);
    m_pending.remove(id);
}

void RecoveryStore::writePending(const QString &id)
{
    // The copy is taken up with the files held: a remove() or write() of the document either
    // cancels it first or waits until it is written.
    QMutexLocker files(&m_files);
    Pending job;
    {
        QMutexLocker pending(&m_pendingLock);
        const auto it = m_pending.find(id);
        if (it == m_pending.end())
            return;
        job = std::move(*it);
        m_pending.erase(it);
    }
    QString error;
    if (writeNow(job.entry, &error) || !job.failed)
        return;
    files.unlock();
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [context = job.context, failed = std::move(job.failed), error] {
            if (context)
                failed(error);
        });
}

bool RecoveryStore::writeNow(const Entry &entry, QString *error)
{
    if (!m_lock) {
        m_lock = SessionFolder::open(m_session, error);
        if (!m_lock)
            return false;
    }
    QJsonObject meta;
    meta.insert(QStringLiteral("fileName"), entry.fileName);
    meta.insert(QStringLiteral("caption"), entry.caption);
    meta.insert(QStringLiteral("savedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    meta.insert(QStringLiteral("changed"), entry.changed);
    meta.insert(QStringLiteral("format"), toJson(entry.format));
    if (entry.sourceChanged || !entry.sourceFileName.isEmpty())
        meta.insert(QStringLiteral("source"), QJsonObject{{QStringLiteral("fileName"), entry.sourceFileName},
                                                          {QStringLiteral("changed"), entry.sourceChanged},
                                                          {QStringLiteral("format"), toJson(entry.sourceFormat)}});
    // The texts first: a copy counts once its description exists, and then all are complete.
    if (!FileIO::writeFileAtomically(entryPath(entry.id, kTextSuffix), entry.text, error))
        return false;
    const QString sourcePath = entryPath(entry.id, kSourceSuffix);
    if (entry.sourceChanged) {
        // A large source edited once is not written again on every pause in typing elsewhere.
        const size_t hash = qHash(entry.sourceText);
        const auto written = m_sourceWritten.constFind(entry.id);
        if (written == m_sourceWritten.cend() || *written != hash || !QFileInfo::exists(sourcePath)) {
            m_sourceWritten.remove(entry.id);
            if (!FileIO::writeFileAtomically(sourcePath, entry.sourceText, error))
                return false;
            m_sourceWritten.insert(entry.id, hash);
        }
    } else {
        m_sourceWritten.remove(entry.id);
        QFile::remove(sourcePath);
    }
    return FileIO::writeFileAtomically(entryPath(entry.id, kMetaSuffix), QJsonDocument(meta).toJson(), error);
}

void RecoveryStore::remove(const QString &id)
{
    cancelPending(id);
    QMutexLocker files(&m_files);
    m_sourceWritten.remove(id);
    if (!m_lock)
        return;
    QFile::remove(entryPath(id, kMetaSuffix));
    QFile::remove(entryPath(id, kTextSuffix));
    QFile::remove(entryPath(id, kSourceSuffix));
    // A session without copies needs neither its folder nor its lock.
    const QStringList left = QDir(m_session).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    if (left.isEmpty() || left == QStringList{kLockName})
        SessionFolder::remove(m_session, std::move(m_lock));
}

void RecoveryStore::claimEnded()
{
    for (const QString &sessionPath : SessionFolder::sessions(m_folder, m_session)) {
        const bool claimed = std::any_of(m_claimed.begin(), m_claimed.end(),
                                         [&](const auto &c) { return c.first == sessionPath; });
        if (claimed)
            continue;
        if (std::unique_ptr<QLockFile> lock = SessionFolder::claim(sessionPath))
            m_claimed.emplace_back(sessionPath, std::move(lock));
    }
}

QList<RecoveryStore::Entry> RecoveryStore::claimOrphans()
{
    QMutexLocker files(&m_files);
    claimEnded();
    QList<Entry> found;
    for (const auto &[sessionPath, lock] : m_claimed) {
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
            e.changed = meta.value(QStringLiteral("changed")).toBool(true);
            e.format = formatFrom(meta.value(QStringLiteral("format")).toObject());
            const QJsonObject source = meta.value(QStringLiteral("source")).toObject();
            e.sourceFileName = source.value(QStringLiteral("fileName")).toString();
            e.sourceFormat = formatFrom(source.value(QStringLiteral("format")).toObject());
            e.sourceChanged = source.value(QStringLiteral("changed")).toBool()
                              && FileIO::readRegularFile(session.filePath(id + kSourceSuffix), &e.sourceText, nullptr);
            e.sessionPath = sessionPath;
            found << e;
        }
    }
    std::sort(found.begin(), found.end(), [](const Entry &a, const Entry &b) { return a.savedAt < b.savedAt; });
    return found;
}

void RecoveryStore::discardOrphans()
{
    QMutexLocker files(&m_files);
    claimEnded();
    for (auto &[sessionPath, lock] : m_claimed)
        SessionFolder::remove(sessionPath, std::move(lock));
    m_claimed.clear();
}

RecoveryStore &recoveryStore()
{
    static RecoveryStore store;
    return store;
}
