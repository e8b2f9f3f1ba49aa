#pragma once

#include "engine/engineprotocol.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

// The program's side of the worker processes. Each document window gets a libxslt worker of its
// own when it has work (and a second one for its XPath bar, which keeps the parsed source there),
// so a runaway in one window never holds up another. XSLT 2.0 and 3.0 go to one Saxon helper for
// the whole program (a Java VM costs a second to start and much memory to keep), which runs the
// windows' requests side by side and keeps one cache of compiled stylesheets.
//
// Each window and kind of work is a lane: a queue that hands its worker one request at a time.
// A worker is started on first use, started again after it ended, and ended after a while
// without work. A request that has not started yet is replaced by a newer one for the same
// window and channel, and a transformation that runs in zendrik-engine is interrupted for it;
// a request that is stopped (Stop, Esc, a time limit) ends its worker at once. Ending the
// shared helper for one window's sake costs the other windows nothing but time: their running
// requests start again in a fresh helper.
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

    // The workers' memory cap in MB (0: none); takes effect when a worker next starts.
    void setMemoryLimitMb(qint64 megabytes);
    qint64 memoryLimitMb() const { return m_memoryMb; }
    // How long a worker with nothing to do is kept before it is ended.
    void setIdleTimeoutMs(int ms) { m_idleMs = ms; }
    static constexpr int kDefaultIdleMs = 60000;
    // A request whose texts are this large is encoded beside the client's thread.
    static constexpr qsizetype kEncodeBesideBytes = 1 << 20;

    // What a requester is handed: the answer to its request, whatever became of it (also
    // stopped, failed or superseded). Called on the client's thread.
    using AnswerHandler = std::function<void(const engine::Response &)>;
    // Queues work for request.window on channel; the request's window, generation, kind and
    // payload are used, its id is given here and returned. Of the requests of one window and
    // channel that have not started, only the newest is kept; the others are answered as
    // superseded. A transformation of theirs that runs in a zendrik-engine worker is
    // interrupted there, and answered as superseded unless it ends first. The answer goes to
    // onAnswer only, and only while receiver (when given) lives.
    // A positive timeLimitMs ends the work after that long.
    qint64 submit(engine::Request request, engine::Channel channel, QObject *receiver, AnswerHandler onAnswer,
                  int timeLimitMs = 0);
    // Drops the window's waiting requests and ends its running ones (on the channel, or all),
    // answering each as superseded: for a window, or a part of it, that closes.
    void cancel(qint64 window, std::optional<engine::Channel> channel = std::nullopt);
    // Drops the window's waiting requests and ends its running one (on the channel, or any);
    // each is answered as stopped ("Transformation stopped" for a transformation). Returns
    // whether there was any.
    bool stop(qint64 window, std::optional<engine::Channel> channel = std::nullopt);
    // Whether work of the window (on the channel, or any) is waiting or running.
    bool isBusy(qint64 window, std::optional<engine::Channel> channel = std::nullopt) const;
    // How many worker processes are running.
    int workerCount() const;
    // Starts the worker for the processor now, before any work: the Saxon helper's start takes
    // a second or more, which is better spent while the user reads a 2.0 stylesheet just opened.
    void warmUp(engine::Processor processor);

signals:
    // A request of the window was handed to its worker.
    void started(qint64 window, engine::Channel channel, qint64 id);
    // A request of the window was answered: for what follows whether the window is busy.
    void answered(qint64 window, engine::Channel channel);

private:
    class Host;
    class Lane;
    struct Job {
        engine::Request request;
        engine::Channel channel = engine::Channel::Tab;
        int timeLimitMs = 0;
        bool guarded = false; // whether the handler has a receiver to outlive
        QPointer<QObject> receiver;
        AnswerHandler onAnswer;
        bool interrupted = false; // its worker was told it is no longer wanted
    };
    Lane *laneFor(qint64 window, engine::Channel channel, engine::Processor processor);
    Host *newHost(bool saxon);
    Host *saxonHost();
    // Whether any lane of the host has a request running or waiting.
    bool hasWork(const Host *host) const;
    // What keeps Saxon from running, for the message of an answer that could not be given.
    QString saxonUnavailable() const;
    QList<Lane *> lanesOf(qint64 window) const;
    QList<Lane *> lanesOn(const Host *host) const;
    void startNext(Lane *lane);
    // Writes the running request of the lane to its worker.
    void send(Lane *lane, const engine::Request &request);
    // Starts the host's idle timer when none of its lanes has work.
    void idleCheck(Host *host);
    bool ensureProcess(Host *host);
    void readAnswers(Host *host);
    // Hands on the answers the host's worker has written; false when the client is to look
    // at nothing more of this batch (a lane went meanwhile).
    bool deliverAnswers(Host *host);
    void processEnded(Host *host);
    // Ends the worker that runs the lane's request. The other lanes of a shared worker put
    // their running requests back at the front of their queues, to run in a fresh one.
    void endWork(Lane *lane);
    void endProcess(Host *host);
    void timedOut(Lane *lane);
    // Hands the answer to whoever asked.
    void deliver(const Job &job, const engine::Response &response);
    void answer(const Job &job, engine::ErrorKind error, const QString &detail = QString());
    // Takes the lane's waiting requests that match off its queue and answers each, as
    // superseded or as stopped.
    void dropWaiting(Lane *lane, const std::function<bool(const Job &)> &which, bool asStopped);
    void superseded(const Job &job);

    QString m_workerPath;
    qint64 m_memoryMb;
    int m_idleMs = kDefaultIdleMs;
    QHash<QString, QPointer<Lane>> m_lanes;
    QPointer<Host> m_saxonHost;
    qint64 m_nextId = 1;
};
