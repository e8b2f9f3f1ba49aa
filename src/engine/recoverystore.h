#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <memory>

class QLockFile;

// Copies of unsaved work, kept so that a crash or a kill loses at most the last few seconds of
// typing. Each running program has a session folder under the recovery folder, held by a lock
// file for as long as it runs; a session folder whose lock nobody holds belonged to a program
// that ended without closing its windows.
class RecoveryStore
{
public:
    // One document's copy: the text and where it came from.
    struct Entry {
        QString id;          // the document's key within its session
        QString fileName;    // the file or URL it was opened from or saved to; empty when new
        QString caption;     // the window caption without the change mark
        QDateTime savedAt;   // when the copy was written
        QByteArray text;     // the unsaved stylesheet, UTF-8
        QString sessionPath; // the session folder it lives in
    };

    // The store under folder (normally recoveryFolder()), holding a session of its own.
    explicit RecoveryStore(const QString &folder = recoveryFolder());
    ~RecoveryStore();
    RecoveryStore(const RecoveryStore &) = delete;
    RecoveryStore &operator=(const RecoveryStore &) = delete;

    // $XDG_STATE_HOME/Zendrik/recovery, or ~/.local/state/Zendrik/recovery.
    static QString recoveryFolder();

    // Writes (or replaces) the copy of one document atomically. Returns false with error set
    // when it could not be written; an older copy then stays as it was.
    bool write(const QString &id, const QString &fileName, const QString &caption, const QByteArray &text,
               QString *error = nullptr);
    // Removes the copy of one document, when there is one.
    void remove(const QString &id);

    // Copies left by programs that ended without closing their windows, oldest first.
    QList<Entry> orphans() const;
    // Deletes the copies of ended programs, with their session folders.
    void discardOrphans();

private:
    QString entryPath(const QString &id, const QString &suffix) const;

    QString m_folder;
    QString m_session;
    std::unique_ptr<QLockFile> m_lock;
};

// The program's store, made on first use.
RecoveryStore &recoveryStore();
