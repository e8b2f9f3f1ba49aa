#include "engine/engineclient.h"

#include "engine/saxonhelper.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <optional>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Work that keeps state in its worker gets a worker of its own: the XPath bar's parsed source
// must not go each time a preview is stopped, nor wait behind one.
// Saxon's work goes to a Java helper of the window's own, beside its libxslt worker.
QString laneKey(qint64 window, engine::Channel channel, engine::Processor processor)
{
    if (channel == engine::Channel::XPath)
        return QString::number(window) + QStringLiteral("/xpath");
    return processor == engine::Processor::Saxon ? QString::number(window) + QStringLiteral("/saxon") : QString::number(window);
}

} // namespace

// One worker process and the requests of one window (or one part of it) waiting for it.
class EngineClient::Lane : public QObject
{
public:
    Lane(qint64 window, bool saxon, QObject *parent)
        : QObject(parent)
        , window(window)
        , saxon(saxon)
    {
        deadline.setSingleShot(true);
        idle.setSingleShot(true);
    }
    const qint64 window;
    const bool saxon; // the Java helper on Saxon-HE, not zendrik-engine
    QProcess *process = nullptr;
    QByteArray buffer;
    QList<Job> queue;
    std::optional<Job> running;
    // The worker said the running request's memory ran out.
    bool outOfMemory = false;
    // Whether the worker's hello came, with the version of the exchange it speaks.
    bool greeted = false;
    QTimer deadline;
    QTimer idle;
};

EngineClient::EngineClient(const QString &workerPath, QObject *parent)
    : QObject(parent)
    , m_workerPath(workerPath)
    , m_memoryMb(defaultMemoryLimitMb())
{
}

EngineClient::~EngineClient()
{
    // The workers, and any ended one not yet reaped, go with the client. They are killed, not
    // asked: one may be deep in a runaway stylesheet. Reaping a killed process takes no time.
    for (QProcess *p : findChildren<QProcess *>()) {
        disconnect(p, nullptr, this, nullptr);
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(2000);
        }
    }
}

QString EngineClient::defaultWorkerPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/zendrik-engine");
}

QString EngineClient::saxonUnavailable() const
{
    QString missing;
    saxon::available(QFileInfo(m_workerPath).absolutePath(), &missing);
    return QStringLiteral("Saxon-HE: missing %1; install %2").arg(missing, QLatin1String(saxon::kPackages));
}

qint64 EngineClient::defaultMemoryLimitMb()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    const qint64 halfRam = pages > 0 && pageSize > 0 ? qint64(pages) * pageSize / 2 / (1024 * 1024) : 2048;
    return std::min<qint64>(2048, halfRam);
}

EngineClient &EngineClient::shared()
{
    static EngineClient *client = [] {
        auto *c = new EngineClient;
        // Goes with the application, and the workers with it.
        QObject::connect(qApp, &QObject::destroyed, [c] { delete c; });
        return c;
    }();
    return *client;
}

void EngineClient::setMemoryLimitMb(qint64 megabytes)
{
    m_memoryMb = std::max<qint64>(0, megabytes);
}

EngineClient::Lane *EngineClient::laneFor(qint64 window, engine::Channel channel, engine::Processor processor)
{
    const bool saxon = processor == engine::Processor::Saxon && channel != engine::Channel::XPath;
    const QString key = laneKey(window, channel, processor);
    if (Lane *lane = m_lanes.value(key))
        return lane;
    auto *lane = new Lane(window, saxon, this);
    connect(&lane->deadline, &QTimer::timeout, this, [this, lane] { timedOut(lane); });
    // Nothing to do for a while: the worker goes, with the memory it holds.
    connect(&lane->idle, &QTimer::timeout, this, [this, lane] {
        if (!lane->running && lane->queue.isEmpty())
            endProcess(lane);
    });
    // A Java helper costs a second or more to start: it stays longer.
    if (saxon)
        lane->idle.setInterval(10 * 60 * 1000);
    m_lanes.insert(key, lane);
    return lane;
}

QList<EngineClient::Lane *> EngineClient::lanesOf(qint64 window) const
{
    QList<Lane *> out;
    for (const QPointer<Lane> &lane : m_lanes)
        if (lane && lane->window == window)
            out << lane.data();
    return out;
}

qint64 EngineClient::submit(engine::Request request, engine::Channel channel, QObject *receiver,
                            AnswerHandler onAnswer, int timeLimitMs)
{
    const qint64 window = request.window;
    // A newer request supersedes what waits on the channel, whichever processor either is for.
    for (Lane *other : lanesOf(window))
        if (other != m_lanes.value(laneKey(window, channel, request.processor)))
            dropWaiting(other, [&](const Job &j) { return j.channel == channel; }, false);
    Lane *lane = laneFor(window, channel, request.processor);
    dropWaiting(lane, [&](const Job &j) { return j.request.window == window && j.channel == channel; }, false);
    Job job;
    job.channel = channel;
    job.timeLimitMs = timeLimitMs;
    job.guarded = receiver != nullptr;
    job.receiver = receiver;
    job.onAnswer = std::move(onAnswer);
    job.request = std::move(request);
    job.request.id = m_nextId++;
    const qint64 id = job.request.id;
    lane->queue.append(std::move(job));
    startNext(lane);
    return id;
}

void EngineClient::cancel(qint64 window, std::optional<engine::Channel> channel)
{
    for (Lane *lane : lanesOf(window)) {
        const QPointer<Lane> guard(lane);
        dropWaiting(lane, [&](const Job &j) { return !channel || j.channel == *channel; }, false);
        if (!guard)
            continue;
        if (lane->running && (!channel || lane->running->channel == *channel)) {
            const Job job = *lane->running;
            lane->running.reset();
            endProcess(lane);
            superseded(job);
            if (!guard)
                continue;
        }
        if (!channel) {
            // The window is gone: so is its worker.
            endProcess(lane);
            m_lanes.remove(m_lanes.key(lane));
            lane->deleteLater();
        } else {
            startNext(lane);
        }
    }
}

void EngineClient::dropWaiting(Lane *lane, const std::function<bool(const Job &)> &which, bool asStopped)
{
    QList<Job> dropped;
    for (qsizetype i = lane->queue.size() - 1; i >= 0; --i)
        if (which(lane->queue.at(i)))
            dropped.prepend(lane->queue.takeAt(i));
    for (const Job &job : std::as_const(dropped)) {
        if (asStopped)
            answer(job, engine::ErrorKind::Stopped);
        else
            superseded(job);
    }
}

void EngineClient::superseded(const Job &job)
{
    deliver(job, engine::Response::failed(job.request, engine::ErrorKind::Superseded));
}

bool EngineClient::stop(qint64 window, std::optional<engine::Channel> channel)
{
    bool any = false;
    const auto matches = [&](const Job &j) { return !channel || j.channel == *channel; };
    for (Lane *lane : lanesOf(window)) {
        const QPointer<Lane> guard(lane);
        // What waits is answered first: whoever waits for it must not wait for a worker that
        // is busy with something else.
        if (std::any_of(lane->queue.begin(), lane->queue.end(), matches)) {
            any = true;
            dropWaiting(lane, matches, true);
        }
        if (!guard)
            continue;
        if (lane->running && matches(*lane->running)) {
            any = true;
            const Job job = *lane->running;
            lane->running.reset();
            endProcess(lane);
            answer(job, engine::ErrorKind::Stopped);
        }
        if (guard)
            startNext(lane);
    }
    return any;
}

bool EngineClient::isBusy(qint64 window, std::optional<engine::Channel> channel) const
{
    const auto matches = [&](const Job &j) { return j.request.window == window && (!channel || j.channel == *channel); };
    for (const Lane *lane : lanesOf(window))
        if ((lane->running && matches(*lane->running)) || std::any_of(lane->queue.begin(), lane->queue.end(), matches))
            return true;
    return false;
}

int EngineClient::workerCount() const
{
    int n = 0;
    for (const QPointer<Lane> &lane : m_lanes)
        if (lane && lane->process && lane->process->state() != QProcess::NotRunning)
            ++n;
    return n;
}

void EngineClient::startNext(Lane *lane)
{
    if (lane->running || lane->queue.isEmpty()) {
        if (!lane->running && m_idleMs >= 0)
            lane->idle.start(lane->saxon ? std::max(m_idleMs, lane->idle.interval()) : m_idleMs);
        return;
    }
    lane->idle.stop();
    Job job = lane->queue.takeFirst();
    if (!ensureProcess(lane)) {
        const QPointer<Lane> guard(lane);
        answer(job, engine::ErrorKind::Unavailable, lane->saxon ? saxonUnavailable() : m_workerPath);
        if (guard)
            startNext(lane);
        return;
    }
    lane->running = job;
    lane->outOfMemory = false;
    lane->process->write(engine::frame(job.request.toCbor()));
    if (job.timeLimitMs > 0)
        lane->deadline.start(job.timeLimitMs);
    emit started(job.request.window, job.channel, job.request.id);
}

bool EngineClient::ensureProcess(Lane *lane)
{
    if (lane->process && lane->process->state() == QProcess::Running)
        return true;
    endProcess(lane);
    const QString programFolder = QFileInfo(m_workerPath).absolutePath();
    if (lane->saxon ? !saxon::available(programFolder) : !QFileInfo(m_workerPath).isExecutable())
        return false;
    auto *process = new QProcess(this);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The worker dies with the program, whatever the program dies of: the kernel sends it
    // SIGKILL when the thread that started it ends (the worker also watches its input).
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QStringList args;
    if (lane->saxon) {
        // The heap is capped, not the address space: a Java VM reserves far more than it uses.
        args = saxon::arguments(programFolder, m_memoryMb);
    } else if (m_memoryMb > 0) {
        args << QStringLiteral("--memory-mb") << QString::number(m_memoryMb);
        // A sanitizer build of the worker cannot cap its address space; it reads the cap for
        // its allocator from here.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ZENDRIK_ENGINE_MEMORY_MB"), QString::number(m_memoryMb));
        process->setProcessEnvironment(env);
    }
    const QPointer<Lane> guard(lane);
    connect(process, &QProcess::readyReadStandardOutput, this, [this, guard] {
        if (guard)
            readAnswers(guard);
    });
    connect(process, &QProcess::finished, this, [this, guard, process] {
        if (guard && guard->process == process)
            processEnded(guard);
    });
    lane->process = process;
    lane->greeted = false;
    process->start(lane->saxon ? saxon::javaProgram() : m_workerPath, args);
    if (!process->waitForStarted(5000)) {
        endProcess(lane);
        return false;
    }
    process->write(engine::frame(engine::helloMessage()));
    return true;
}

void EngineClient::readAnswers(Lane *lane)
{
    const QPointer<Lane> guard(lane);
    if (deliverAnswers(lane) && guard)
        startNext(lane);
}

bool EngineClient::deliverAnswers(Lane *lane)
{
    const QPointer<Lane> guard(lane);
    if (!lane->process)
        return true;
    lane->buffer += lane->process->readAllStandardOutput();
    QList<QCborMap> messages;
    QString error;
    const bool intact = engine::takeFrames(lane->buffer, &messages, &error);
    for (const QCborMap &m : std::as_const(messages)) {
        if (!lane->greeted) {
            // A worker of another version (or none that speaks this exchange at all) is ended
            // before it is handed anything it could misread.
            if (engine::helloVersion(m) != engine::kProtocolVersion) {
                endProcess(lane);
                if (lane->running) {
                    const Job job = *lane->running;
                    lane->running.reset();
                    answer(job, engine::ErrorKind::Incompatible, m_workerPath);
                }
                return guard;
            }
            lane->greeted = true;
            continue;
        }
        if (engine::noticeOf(m) == engine::Notice::OutOfMemory) {
            lane->outOfMemory = true;
            continue;
        }
        const engine::Response response = engine::Response::fromCbor(m);
        if (!lane->running || lane->running->request.id != response.id)
            continue; // an answer nobody waits for any more
        const Job job = *lane->running;
        lane->running.reset();
        lane->deadline.stop();
        // A worker that ran out of memory ends after its answer: the next request must not be
        // handed to it.
        if (response.error == engine::ErrorKind::OutOfMemory)
            endProcess(lane);
        deliver(job, response);
        if (!guard)
            return false;
        if (!lane->process)
            break;
    }
    if (!intact && lane->running) {
        const Job job = *lane->running;
        lane->running.reset();
        endProcess(lane);
        answer(job, engine::ErrorKind::Unreadable, error);
        if (!guard)
            return false;
    }
    return true;
}

void EngineClient::processEnded(Lane *lane)
{
    const QPointer<Lane> guard(lane);
    // An answer written just before the end comes first.
    if (!deliverAnswers(lane) || !guard)
        return;
    QProcess *ended = lane->process;
    lane->process = nullptr;
    lane->buffer.clear();
    lane->deadline.stop();
    if (ended) {
        disconnect(ended, nullptr, this, nullptr);
        ended->deleteLater();
    }
    if (lane->running) {
        // The worker ended on its own while working: a crash inside the XSLT processor, or the
        // memory cap reached outside any allocation it could refuse. Once the worker said its
        // memory ran out, the crash is what became of that.
        const Job job = *lane->running;
        lane->running.reset();
        if (lane->outOfMemory) {
            answer(job, engine::ErrorKind::OutOfMemory, QString::number(m_memoryMb));
            if (guard)
                startNext(lane);
            return;
        }
        const QString how = ended && ended->exitStatus() == QProcess::CrashExit
                                ? QStringLiteral("it crashed")
                                : QStringLiteral("it ended with code %1").arg(ended ? ended->exitCode() : -1);
        answer(job, engine::ErrorKind::Crashed, how);
    }
    if (guard)
        startNext(lane);
}

void EngineClient::timedOut(Lane *lane)
{
    if (!lane->running)
        return;
    const Job job = *lane->running;
    lane->running.reset();
    const QPointer<Lane> guard(lane);
    endProcess(lane);
    answer(job, engine::ErrorKind::TimedOut, QString::number(job.timeLimitMs / 1000.0));
    if (guard)
        startNext(lane);
}

void EngineClient::endProcess(Lane *lane)
{
    lane->deadline.stop();
    lane->idle.stop();
    if (!lane->process)
        return;
    QProcess *p = lane->process;
    lane->process = nullptr;
    lane->buffer.clear();
    disconnect(p, nullptr, this, nullptr);
    if (p->state() != QProcess::NotRunning) {
        // Killed, not asked: a runaway stylesheet does not read its input.
        connect(p, &QProcess::finished, p, &QObject::deleteLater);
        p->kill();
    } else {
        p->deleteLater();
    }
}

void EngineClient::deliver(const Job &job, const engine::Response &response)
{
    if (job.onAnswer && (!job.guarded || job.receiver))
        job.onAnswer(response);
    emit answered(job.request.window, job.channel);
}

void EngineClient::answer(const Job &job, engine::ErrorKind error, const QString &detail)
{
    deliver(job, engine::Response::failed(job.request, error, engine::errorMessage(job.request.kind, error, detail)));
}
