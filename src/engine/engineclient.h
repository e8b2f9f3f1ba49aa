#pragma once

#include "engine/engineprotocol.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QProcess;

// The program's side of the worker process: keeps one zendrik-engine running (started on first
// use, started again after it ended), hands it one request at a time and reports each answer.
// A request that has not started yet is replaced by a newer one for the same window and
// channel; a request that runs can be stopped, which ends the worker at once.
class EngineClient : public QObject
{
    Q_OBJECT
public:
    explicit EngineClient(const QString &workerPath = defaultWorkerPath(), QObject *parent = nullptr);
    ~EngineClient() override;

    // zendrik-engine beside the program.
    static QString defaultWorkerPath();
    // The lower of 2 GB and half the computer's memory.
    static qint64 defaultMemoryLimitMb();
    // The program's client, made on first use.
    static EngineClient &shared();

    // The worker's memory cap in MB (0: none); takes effect when the worker next starts.
    void setMemoryLimitMb(qint64 megabytes);
    qint64 memoryLimitMb() const { return m_memoryMb; }

    // Queues work for a window. channel tells a window's kinds of work apart (the Preview tab,
    // the browser preview, the live pane): of the requests of one window and channel that have
    // not started, only the newest is kept; the others are answered as superseded. Returns the
    // request's id.
    qint64 submit(qint64 window, const QString &channel, qint64 generation, preview::Target target,
                  const preview::Input &input);
    // Drops the window's waiting requests and ends its running one, answering each as
    // superseded: for a window that closes.
    void cancel(qint64 window);
    // Ends the window's running request (on the given channel, or any); its answer is
    // "Transformation stopped". Returns whether anything was running.
    bool stop(qint64 window, const QString &channel = QString());
    // Whether work of the window (on the channel, or any) is waiting or running.
    bool isBusy(qint64 window, const QString &channel = QString()) const;

    static QString stoppedMessage() { return QStringLiteral("Transformation stopped"); }

signals:
    void started(qint64 window, const QString &channel, qint64 id);
    void finished(const QString &channel, const engine::Response &response);

private:
    struct Job {
        engine::Request request;
        QString channel;
    };
    void startNext();
    bool ensureProcess();
    void readAnswers();
    void processEnded();
    void endProcess();
    void answer(const Job &job, const QString &title, const QString &text);
    // Answers, as superseded, the waiting requests that match and takes them off the queue.
    void dropWaiting(const std::function<bool(const Job &)> &which);
    void superseded(const Job &job);

    QString m_workerPath;
    qint64 m_memoryMb;
    QProcess *m_process = nullptr;
    QByteArray m_buffer;
    QList<Job> m_queue;
    std::optional<Job> m_running;
    qint64 m_nextId = 1;
};
