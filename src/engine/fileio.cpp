#include "engine/fileio.h"

#include "engine/sessionfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QMutex>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileIO {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Closes a descriptor once, on every way out of a scope.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    void take(int fd)
    {
        reset();
        m_fd = fd;
    }
    bool valid() const { return m_fd >= 0; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // Closes now and reports the result: on some file systems the last write error only
    // shows here.
    int close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_fd;
};

// Writes every byte or sets errno: a short write on a full disk is reported, not ignored.
bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(std::min<qint64>(left, 1 << 20)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

bool readAll(int fd, qint64 maxBytes, QByteArray *out, bool *tooLarge)
{
    QByteArray data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        if (data.size() + n > maxBytes) {
            *tooLarge = true;
            return false;
        }
        data.append(buffer, n);
    }
    *out = std::move(data);
    return true;
}

// The journal of named temporary files: one small file per name, in a session folder of this
// program's own, made at the first such name and removed when the program ends normally.
class TempJournal
{
public:
    ~TempJournal()
    {
        if (m_lock)
            SessionFolder::remove(m_session, std::move(m_lock));
    }

    static TempJournal &instance()
    {
        static TempJournal journal;
        return journal;
    }

    static QString folder() { return SessionFolder::stateFolder() + QStringLiteral("/saving"); }

    // Notes that path is (or is about to be) the file with this device and inode; returns the
    // note's name, or nothing when no note could be kept. The save goes on either way: the
    // note only helps a later start to tidy up after a kill.
    QString note(const QByteArray &path, dev_t device, ino_t inode)
    {
        QMutexLocker locker(&m_mutex);
        if (!m_lock) {
            if (m_session.isEmpty())
                m_session = SessionFolder::newPath(folder());
            m_lock = SessionFolder::open(m_session, nullptr);
            if (!m_lock)
                return QString();
        }
        const QString name = m_session + QStringLiteral("/%1.json").arg(++m_count);
        const QJsonObject entry{{QStringLiteral("path"), QString::fromLatin1(path.toBase64())},
                                {QStringLiteral("device"), QString::number(quint64(device))},
                                {QStringLiteral("inode"), QString::number(quint64(inode))}};
        if (!writeNewFile(name, QJsonDocument(entry).toJson(QJsonDocument::Compact), nullptr))
            return QString();
        return name;
    }

    void forget(const QString &note)
    {
        if (!note.isEmpty())
            ::unlink(QFile::encodeName(note).constData());
    }

    QStringList removeLeftovers()
    {
        QStringList removed;
        for (const QString &session : SessionFolder::sessions(folder(), m_session)) {
            std::unique_ptr<QLockFile> lock = SessionFolder::claim(session);
            if (!lock)
                continue; // a running program's, or another start is tidying it up
            for (const QFileInfo &info : QDir(session).entryInfoList({QStringLiteral("*.json")}, QDir::Files)) {
                QByteArray text;
                if (!readRegularFile(info.filePath(), &text, nullptr, 64 * 1024))
                    continue;
                const QJsonObject entry = QJsonDocument::fromJson(text).object();
                const QByteArray path = QByteArray::fromBase64(entry.value(QStringLiteral("path")).toString().toLatin1());
                bool deviceOk = false, inodeOk = false;
                const quint64 device = entry.value(QStringLiteral("device")).toString().toULongLong(&deviceOk);
                const quint64 inode = entry.value(QStringLiteral("inode")).toString().toULongLong(&inodeOk);
                struct stat st;
                // Only the very file noted: a name the user has since given to a file of theirs
                // leads to another inode and stays.
                if (path.isEmpty() || !deviceOk || !inodeOk || ::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)
                    || quint64(st.st_dev) != device || quint64(st.st_ino) != inode)
                    continue;
                if (::unlink(path.constData()) == 0)
                    removed << QFile::decodeName(path);
            }
            SessionFolder::remove(session, std::move(lock));
        }
        return removed;
    }

private:
    TempJournal() = default;

    QMutex m_mutex;
    QString m_session;
    std::unique_ptr<QLockFile> m_lock;
    quint64 m_count = 0;
};

// Six letters and digits, as mkstemp would choose them.
QByteArray randomSuffix()
{
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray suffix(6, 'X');
    for (char &c : suffix)
        c = kChars[QRandomGenerator::global()->bounded(int(sizeof kChars - 1))];
    return suffix;
}

// Gives the nameless file fd a fresh name starting with stem, noted in the journal before it
// exists. False with errno set when the file system cannot link it.
bool giveName(int fd, const QByteArray &stem, QByteArray *name, QString *note)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate = stem + randomSuffix();
        *note = TempJournal::instance().note(candidate, st.st_dev, st.st_ino);
        int linked = ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, candidate.constData(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno == ENOENT) // no /proc: the descriptor itself, where allowed
            linked = ::linkat(fd, "", AT_FDCWD, candidate.constData(), AT_EMPTY_PATH);
        if (linked == 0) {
            *name = candidate;
            return true;
        }
        const int why = errno;
        TempJournal::instance().forget(*note);
        note->clear();
        if (why != EEXIST) {
            errno = why;
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

QString sizeText(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(bytes / (1024 * 1024));
}

// The path the bytes really go to: a symbolic link stays a link.
QString resolvedTarget(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink()) {
        const QString target = info.canonicalFilePath();
        if (!target.isEmpty())
            return target;
        return info.symLinkTarget();
    }
    return info.absoluteFilePath();
}

} // namespace

QString systemReason(int errnoValue)
{
    return QString::fromLocal8Bit(std::strerror(errnoValue));
}

bool isRegularFile(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool readRegularFile(const QString &path, QByteArray *out, QString *error, qint64 maxBytes)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("Cannot open file \"%1\": %2").arg(shown(path), why);
        return false;
    };
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0)
        return fail(systemReason(errno));
    if (S_ISDIR(st.st_mode))
        return fail(systemReason(EISDIR));
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("it is a device, pipe or socket, not a document file"));
    // Non-blocking, so that a pipe put in the file's place since the check cannot hang the
    // open; the descriptor is then checked again.
    Fd fd(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid())
        return fail(systemReason(errno));
    if (::fstat(fd.get(), &st) != 0)
        return fail(systemReason(errno));
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("it is a device, pipe or socket, not a document file"));
    if (st.st_size > maxBytes)
        return fail(QStringLiteral("it is larger than %1, the most that can be opened").arg(sizeText(maxBytes)));
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    bool tooLarge = false;
    if (!readAll(fd.get(), maxBytes, out, &tooLarge))
        return fail(tooLarge ? QStringLiteral("it is larger than %1, the most that can be opened").arg(sizeText(maxBytes))
                             : systemReason(errno));
    return true;
}

bool writeNewFile(const QString &path, const QByteArray &bytes, QString *error, int mode)
{
    const QByteArray name = QFile::encodeName(path);
    Fd fd(::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
    if (!fd.valid()) {
        if (error)
            *error = QStringLiteral("Cannot create the file \"%1\": %2").arg(shown(path), systemReason(errno));
        return false;
    }
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || fd.close() != 0) {
        const int why = errno;
        fd.reset();
        ::unlink(name.constData());
        if (error)
            *error = QStringLiteral("Cannot write the file \"%1\": %2").arg(shown(path), systemReason(why));
        return false;
    }
    return true;
}

namespace {

enum class Written { Done, Failed, CannotName };

// One way of writeFileAtomically: into a nameless file that is named once complete, or into a
// named one from the start. CannotName: the nameless file could not be given a name, and
// nothing was replaced.
Written replaceWith(const QString &target, const QByteArray &bytes, const ReadBackCheck &check, bool nameless,
                    QString *why)
{
    const auto fail = [&](const QString &reason) {
        *why = reason;
        return Written::Failed;
    };
    const QFileInfo targetInfo(target);
    const QByteArray finalName = QFile::encodeName(target);
    const QByteArray folder = QFile::encodeName(targetInfo.absolutePath());
    const QByteArray stem = QFile::encodeName(targetInfo.absolutePath() + QStringLiteral("/.") + targetInfo.fileName()
                                              + QStringLiteral(".zendrik-"));

    QByteArray tempName; // empty while the file has no name
    QString note;
    Fd fd(nameless ? ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1);
    if (!fd.valid()) {
        // No nameless files here (or not asked for): a named one, noted as soon as it exists.
        tempName = stem + "XXXXXX";
        fd.take(::mkostemp(tempName.data(), O_CLOEXEC));
        if (!fd.valid())
            return fail(systemReason(errno));
        struct stat st;
        if (::fstat(fd.get(), &st) == 0)
            note = TempJournal::instance().note(tempName, st.st_dev, st.st_ino);
    }

    // From here on every way out removes the temporary file, unless the rename took it, and its
    // note once the name is gone.
    bool renamed = false;
    struct TempGuard {
        const QByteArray &name;
        const QString &note;
        const bool &renamed;
        ~TempGuard()
        {
            if (!renamed && !name.isEmpty())
                ::unlink(name.constData());
            TempJournal::instance().forget(note);
        }
    } guard{tempName, note, renamed};

    // The new file gets the old one's permissions and owner, or what a new file would get.
    struct stat old;
    if (::stat(finalName.constData(), &old) == 0) {
        ::fchmod(fd.get(), old.st_mode & 07777);
        if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
            // Only root may give a file away; the user's own file stays theirs anyway.
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd.get(), 0666 & ~mask);
    }

    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0)
        return fail(systemReason(errno));

    // What reached the disk is read back before it replaces anything.
    if (::lseek(fd.get(), 0, SEEK_SET) != 0)
        return fail(systemReason(errno));
    QByteArray back;
    bool tooLarge = false;
    if (!readAll(fd.get(), bytes.size() + 1, &back, &tooLarge) && !tooLarge)
        return fail(systemReason(errno));
    if (tooLarge || back != bytes)
        return fail(QStringLiteral("what was written could not be read back unchanged"));
    QString checkWhy;
    if (check && !check(back, &checkWhy))
        return fail(checkWhy);

    if (tempName.isEmpty() && !giveName(fd.get(), stem, &tempName, &note))
        return Written::CannotName;
    // On some file systems the last write error only shows here.
    if (fd.close() != 0)
        return fail(systemReason(errno));
    if (::rename(tempName.constData(), finalName.constData()) != 0)
        return fail(systemReason(errno));
    renamed = true;
    // The rename itself reaches the disk with the folder.
    Fd dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
    return Written::Done;
}

} // namespace

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error, const ReadBackCheck &check)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("Cannot write file \"%1\": %2").arg(path, why);
        return false;
    };
    const QString target = resolvedTarget(path);
    const QFileInfo targetInfo(target);
    if (targetInfo.isDir())
        return fail(systemReason(EISDIR));
    if (targetInfo.exists() && !targetInfo.isFile())
        return fail(QStringLiteral("it is a device, pipe or socket, not a document file"));

    QString why;
    Written written = replaceWith(target, bytes, check, true, &why);
    if (written == Written::CannotName)
        written = replaceWith(target, bytes, check, false, &why);
    if (written != Written::Done)
        return fail(why);
    if (error)
        error->clear();
    return true;
}

QStringList removeLeftoverTemporaries()
{
    return TempJournal::instance().removeLeftovers();
}

} // namespace FileIO
