#pragma once

#include "engine/textfile.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QLockFile;
class QThreadPool;

// One document window's copy: its stylesheet and its XML source, each with where it came
// from, whether it has unsaved edits, and how its file is written.
struct RecoveryEntry {
    QString id;          // the document's key within its session
    QString fileName;    // the file or URL the stylesheet was opened from or saved to; empty when new
    QString caption;     // the window caption without the change mark
    QDateTime savedAt;   // when the copy was written
    QByteArray text;     // the stylesheet, UTF-8
    bool changed = true; // whether the stylesheet has unsaved edits; if not, text is its file's
    textfile::Format format; // the stylesheet file's encoding, mark and line breaks
    // The XML source: its text is kept only while it has unsaved edits; otherwise the file it
    // was read from says what it is.
    QString sourceFileName;
    bool sourceChanged = false;
    QByteArray sourceText; // UTF-8, when sourceChanged
    textfile::Format sourceFormat;
    QString sessionPath; // the session folder it lives in
};

// Copies of unsaved work, kept so that a crash or a kill loses at most the last few seconds of
// typing. Each running program has a session folder under the recovery folder, held by a lock
// file for as long as it runs; a session folder whose lock nobody holds belonged to a program
// that ended without closing its windows.
class RecoveryStore
{
public:
    using Entry = RecoveryEntry;

    // The store under folder (normally recoveryFolder()), holding a session of its own.
    explicit RecoveryStore(const QString &folder = recoveryFolder());
    ~RecoveryStore();
    RecoveryStore(const RecoveryStore &) = delete;
    RecoveryStore &operator=(const RecoveryStore &) = delete;

    // $XDG_STATE_HOME/Zendrik/recovery, or ~/.local/state/Zendrik/recovery.
    static QString recoveryFolder();

    // Writes (or replaces) the copy of one document (entry.id) atomically. Returns false with
    // error set when it could not be written; an older copy then stays as it was.
    bool write(const Entry &entry, QString *error = nullptr);
    // The same beside the calling thread: writing, syncing and reading back a large text takes
    // a while. A copy of the same document asked for before this one was written is replaced
    // by it; write() and remove() of the document cancel it. When the copy cannot be written,
    // failed runs on the program's main thread with the reason, provided context still exists.
    void writeLater(const Entry &entry, QObject *context, std::function<void(const QString &)> failed);
    // Waits until the copies asked for with writeLater() are written.
    void flush();
    // Removes the copy of one document, when there is one.
    void remove(const QString &id);

    // Claims the copies left by programs that ended without closing their windows, oldest
    // first: their sessions stay locked by this program until discardOrphans(), so another
    // program starting meanwhile neither offers nor deletes them. Copies another running
    // program has claimed are left out.
    QList<Entry> claimOrphans();
    // Deletes the copies of ended programs, claimed or not, with their session folders.
    void discardOrphans();

private:
    struct Pending {
        Entry entry;
        QPointer<QObject> context;
        std::function<void(const QString &)> failed;
    };
    bool writeNow(const Entry &entry, QString *error);
    void cancelPending(const QString &id);
    void writePending(const QString &id);
    // Takes the locks of the sessions of ended programs that nobody has claimed yet.
    void claimEnded();
    QString entryPath(const QString &id, const QString &suffix) const;

    QString m_folder;
    QString m_session;
    std::unique_ptr<QLockFile> m_lock;
    // What each document's source copy on disk holds, as a hash of its text.
    QHash<QString, size_t> m_sourceWritten;
    std::vector<std::pair<QString, std::unique_ptr<QLockFile>>> m_claimed;
    // Held while the files, the locks and m_sourceWritten are worked on, from either thread.
    QMutex m_files;
    // Copies asked for with writeLater() and not yet taken up, by document.
    QMutex m_pendingLock;
    QHash<QString, Pending> m_pending;
    // One thread, so that the copies are written in the order they were asked for.
    std::unique_ptr<QThreadPool> m_writer;
};

// The program's store, made on first use.
RecoveryStore &recoveryStore();
