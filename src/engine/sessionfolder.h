#pragma once

#include <QString>
#include <QStringList>
#include <memory>

class QLockFile;

// Folders that belong to one running program, each held by a lock file for as long as the
// program runs. A folder whose lock nobody holds belonged to a program that ended without
// tidying up (a crash, a kill, a power cut). Whoever deals with such a folder first takes its
// lock and holds it for as long as that takes, so that no other program deals with it at the
// same time; a lock dies with the program that holds it, so a claim never outlives its claimer.
namespace SessionFolder {

// $XDG_STATE_HOME/Zendrik, or ~/.local/state/Zendrik.
QString stateFolder();
// A name for a new session folder under root; nothing is created yet.
QString newPath(const QString &root);
// Creates the session folder at path (and root above it), readable by its owner only, and
// takes its lock. Null with error set when either fails.
std::unique_ptr<QLockFile> open(const QString &path, QString *error);
// The session folders under root, except the one named.
QStringList sessions(const QString &root, const QString &except = QString());
// Takes the lock of the session folder at path when its program has ended; null while a
// running program holds it.
std::unique_ptr<QLockFile> claim(const QString &path);
// Deletes a session folder whose lock the caller holds; the lock goes last.
void remove(const QString &path, std::unique_ptr<QLockFile> lock);

} // namespace SessionFolder
