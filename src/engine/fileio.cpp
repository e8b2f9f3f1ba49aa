#include "engine/fileio.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

    const QByteArray finalName = QFile::encodeName(target);
    QByteArray tempName = QFile::encodeName(targetInfo.absolutePath() + QStringLiteral("/.")
                                            + targetInfo.fileName() + QStringLiteral(".zendrik-XXXXXX"));
    Fd fd(::mkostemp(tempName.data(), O_CLOEXEC));
    if (!fd.valid())
        return fail(systemReason(errno));

    // From here on every way out removes the temporary file, unless the rename took it.
    bool renamed = false;
    struct TempGuard {
        const QByteArray &name;
        const bool &renamed;
        ~TempGuard()
        {
            if (!renamed)
                ::unlink(name.constData());
        }
    } guard{tempName, renamed};

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

    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || fd.close() != 0)
        return fail(systemReason(errno));

    // What reached the disk is read back before it replaces anything.
    Fd reader(::open(tempName.constData(), O_RDONLY | O_CLOEXEC));
    if (!reader.valid())
        return fail(systemReason(errno));
    QByteArray back;
    bool tooLarge = false;
    if (!readAll(reader.get(), bytes.size() + 1, &back, &tooLarge) && !tooLarge)
        return fail(systemReason(errno));
    if (tooLarge || back != bytes)
        return fail(QStringLiteral("what was written could not be read back unchanged"));
    reader.reset();
    QString why;
    if (check && !check(back, &why))
        return fail(why);

    if (::rename(tempName.constData(), finalName.constData()) != 0)
        return fail(systemReason(errno));
    renamed = true;
    // The rename itself reaches the disk with the folder.
    Fd dir(::open(QFile::encodeName(targetInfo.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
    if (error)
        error->clear();
    return true;
}

} // namespace FileIO
