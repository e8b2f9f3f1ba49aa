#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

// File reads and writes that never block on special files, never report a write that did not
// reach the disk, and never leave a half-written file where a good one stood.
namespace FileIO {

// The most a document read from a local file may hold. Larger files are refused with a message
// rather than read until memory runs out.
inline constexpr qint64 kMaxDocumentBytes = 256LL * 1024 * 1024;

// Why a read or write failed, as one sentence fragment for the user (the system's own reason,
// such as "No space left on device").
QString systemReason(int errnoValue);

// Reads a whole regular file. Folders, pipes, devices and sockets are refused without being
// opened for reading, so a FIFO or /dev/zero cannot hang the program or fill its memory.
// On failure returns false and sets error to a sentence that names the path.
bool readRegularFile(const QString &path, QByteArray *out, QString *error,
                     qint64 maxBytes = kMaxDocumentBytes);

// Whether path names an existing regular file (symbolic links followed).
bool isRegularFile(const QString &path);

// Checks bytes read back from a freshly written file before they replace the old one. Returns
// false with a reason when they would not open again.
using ReadBackCheck = std::function<bool(const QByteArray &bytes, QString *why)>;

// Replaces path with bytes, atomically: the bytes go to a new file beside it, which is flushed
// to the disk, read back and compared (and checked by check, when given) before it is renamed
// over path. On any failure path keeps its old content, no temporary file is left behind, and
// error says why. A symbolic link is kept and its target replaced; an existing file keeps its
// permissions.
//
// Where the file system allows, the new file has no name until it is complete, so a kill while
// it is written leaves nothing; it gets one (".name.zendrik-XXXXXX") only for the moment
// before the rename. A named temporary file is noted, with its device and inode, in a journal
// under $XDG_STATE_HOME/Zendrik/saving for as long as it exists, so that what a kill leaves
// can be found again: see removeLeftoverTemporaries().
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error,
                         const ReadBackCheck &check = {});

// Removes the temporary files that saves of programs which have since ended (crashed, were
// killed) left beside their targets: only files their journals list, and only while the name
// still leads to the very file listed (same device and inode). Returns the paths removed.
QStringList removeLeftoverTemporaries();

// Creates path, which must not exist yet, with the given permission bits, and writes bytes to
// it, flushed to the disk. On failure nothing is left behind and error says why.
bool writeNewFile(const QString &path, const QByteArray &bytes, QString *error, int mode = 0600);

} // namespace FileIO
