#include "engine/engineclient.h"

#include "engine/saxonhelper.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QThreadPool>
#include <QTimer>

#include <optional>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Work that keeps state in its worker gets a lane of its own: the XPath bar's parsed source
// must not go each time a preview is stopped, nor wait behind one.
QString laneKey(qint64 window, engine::Channel channel, engine::Processor processor)
{
    const bool saxon = processor == engine::Processor::Saxon;
    if (channel == engine::Channel::XPath)
        return QString::number(window) + (saxon ? QStringLiteral("/saxon-xpath") : QStringLiteral("/xpath"));
    return saxon ? QString::number(window) + QStringLiteral("/saxon") : QString::number(window);
}

// A Java helper costs a second or more to start: it stays longer.
constexpr int kSaxonIdleMs = 10 * 60 * 1000;

} // namespace

// A worker process: zendrik-engine for one lane, or the Saxon helper for all of the Saxon lanes.
class EngineClient::Host : public QObject
{
public:
    Host(bool saxon, QObject *parent)
        : QObject(parent)
        , saxon(saxon)
    {
        idle.setSingleShot(true);
    }
    const bool saxon; // the Java helper on Saxon-HE, not zendrik-engine
    QProcess *process = nullptr;
    QByteArray buffer;
    // The worker said the running request's memory ran out.
    bool outOfMemory = false;
    // Whether the worker's hello came, with the version of the exchange it speaks.
    bool greeted = false;
    QTimer idle;
};

// The requests of one window (or one part of it) and its place at a worker.
class EngineClient::Lane : public QObject
{
public:
    Lane(qint64 window, Host *host, QObject *parent)
        : QObject(parent)
        , window(window)
        , host(host)
    {
        deadline.setSingleShot(true);
    }
    const qint64 window;
    const QPointer<Host> host; // the lane's own, or the shared Saxon helper
    QList<Job> queue;
    std::optional<Job> running;
    QTimer deadline;
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

EngineClient::Host *EngineClient::newHost(bool saxon)
{
    auto *host = new Host(saxon, this);
    // Nothing to do for a while: the worker goes, with the memory it holds.
    connect(&host->idle, &QTimer::timeout, this, [this, host] {
        if (!hasWork(host))
            endProcess(host);
    });
    return host;
}

bool EngineClient::hasWork(const Host *host) const
{
    const QList<Lane *> lanes = lanesOn(host);
    return std::any_of(lanes.begin(), lanes.end(), [](Lane *l) { return l->running || !l->queue.isEmpty(); });
}

EngineClient::Host *EngineClient::saxonHost()
{
    if (!m_saxonHost) {
        m_saxonHost = newHost(true);
        m_saxonHost->idle.setInterval(kSaxonIdleMs);
    }
    return m_saxonHost;
}

EngineClient::Lane *EngineClient::laneFor(qint64 window, engine::Channel channel, engine::Processor processor)
{
    const QString key = laneKey(window, channel, processor);
    if (Lane *lane = m_lanes.value(key))
        return lane;
    Host *host = processor == engine::Processor::Saxon ? saxonHost() : nullptr;
    if (!host)
        host = newHost(false);
    auto *lane = new Lane(window, host, this);
    if (!host->saxon)
        host->setParent(lane); // goes with its lane
    connect(&lane->deadline, &QTimer::timeout, this, [this, lane] { timedOut(lane); });
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

QList<EngineClient::Lane *> EngineClient::lanesOn(const Host *host) const
{
    QList<Lane *> out;
    for (const QPointer<Lane> &lane : m_lanes)
        if (lane && lane->host == host)
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
    // The transformation of the same window and channel that runs is of no use any more: its
    // worker is asked to stop it, and stays, with the stylesheet and source it keeps.
    if (lane->running && lane->running->channel == channel && lane->running->request.window == window
        && lane->running->request.kind == engine::Kind::Transform && !lane->running->interrupted
        && lane->host && !lane->host->saxon && lane->host->process) {
        lane->running->interrupted = true;
        lane->host->process->write(engine::frame(engine::interruptMessage(lane->running->request.id)));
    }
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

void EngineClient::warmUp(engine::Processor processor)
{
    if (processor != engine::Processor::Saxon)
        return;
    Host *host = saxonHost();
    if (ensureProcess(host))
        idleCheck(host);
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
            endWork(lane);
            superseded(job);
            if (!guard)
                continue;
        }
        if (!channel) {
            // The window is gone: so is its worker (the shared helper stays for the others).
            Host *host = lane->host;
            m_lanes.remove(m_lanes.key(lane));
            lane->deleteLater();
            if (host && host->saxon)
                idleCheck(host);
            else if (host)
                endProcess(host);
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
            endWork(lane);
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
    QSet<const Host *> hosts;
    for (const QPointer<Lane> &lane : m_lanes)
        if (lane && lane->host)
            hosts.insert(lane->host);
    if (m_saxonHost)
        hosts.insert(m_saxonHost);
    int n = 0;
    for (const Host *host : std::as_const(hosts))
        if (host->process && host->process->state() != QProcess::NotRunning)
            ++n;
    return n;
}

void EngineClient::idleCheck(Host *host)
{
    if (hasWork(host)) {
        host->idle.stop();
        return;
    }
    if (m_idleMs >= 0 && host->process)
        host->idle.start(host->saxon ? std::max(m_idleMs, kSaxonIdleMs) : m_idleMs);
}

void EngineClient::startNext(Lane *lane)
{
    Host *host = lane->host;
    if (!host)
        return;
    if (lane->running || lane->queue.isEmpty()) {
        idleCheck(host);
        return;
    }
    host->idle.stop();
    Job job = lane->queue.takeFirst();
    if (!ensureProcess(host)) {
        const QPointer<Lane> guard(lane);
        answer(job, engine::ErrorKind::Unavailable, host->saxon ? saxonUnavailable() : m_workerPath);
        if (guard)
            startNext(lane);
        return;
    }
    lane->running = job;
    host->outOfMemory = false;
    send(lane, job.request);
    if (job.timeLimitMs > 0)
        lane->deadline.start(job.timeLimitMs);
    emit started(job.request.window, job.channel, job.request.id);
}

namespace {
// The bytes of the texts a request carries.
qsizetype textBytes(const engine::Request &r)
{
    return r.input.stylesheet.size() + r.input.source.size() + r.xpath.source.size() + r.validate.source.size()
           + 2 * r.format.text.size();
}
} // namespace

void EngineClient::send(Lane *lane, const engine::Request &request)
{
    QProcess *process = lane->host->process;
    if (textBytes(request) < kEncodeBesideBytes) {
        process->write(engine::frame(request.toCbor()));
        return;
    }
    // Encoding a large text copies it twice: beside the window, which goes on meanwhile. The
    // bytes go out if the request still runs at the same worker once they are ready (the pipe
    // takes them from the event loop, as the worker reads them).
    QThreadPool::globalInstance()->start([request, lane = QPointer<Lane>(lane), process = QPointer<QProcess>(process)] {
        QByteArray bytes = engine::frame(request.toCbor());
        QMetaObject::invokeMethod(QCoreApplication::instance(), [lane, process, id = request.id, bytes = std::move(bytes)] {
            if (lane && process && lane->host && lane->host->process == process && lane->running && lane->running->request.id == id)
                process->write(bytes);
        });
    });
}

bool EngineClient::ensureProcess(Host *host)
{
    if (host->process && host->process->state() == QProcess::Running)
        return true;
    endProcess(host);
    const QString programFolder = QFileInfo(m_workerPath).absolutePath();
    if (host->saxon ? !saxon::available(programFolder) : !QFileInfo(m_workerPath).isExecutable())
        return false;
    auto *process = new QProcess(this);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The worker dies with the program, whatever the program dies of: the kernel sends it
    // SIGKILL when the thread that started it ends (the worker also watches its input).
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    QStringList args;
    if (host->saxon) {
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
    const QPointer<Host> guard(host);
    connect(process, &QProcess::readyReadStandardOutput, this, [this, guard] {
        if (guard)
            readAnswers(guard);
    });
    connect(process, &QProcess::finished, this, [this, guard, process] {
        if (guard && guard->process == process)
            processEnded(guard);
    });
    host->process = process;
    host->greeted = false;
    process->start(host->saxon ? saxon::javaProgram() : m_workerPath, args);
    if (!process->waitForStarted(5000)) {
        endProcess(host);
        return false;
    }
    process->write(engine::frame(engine::helloMessage()));
    return true;
}

void EngineClient::readAnswers(Host *host)
{
    const QPointer<Host> guard(host);
    if (!deliverAnswers(host) || !guard)
        return;
    for (Lane *lane : lanesOn(host))
        if (!lane->running)
            startNext(lane);
}

bool EngineClient::deliverAnswers(Host *host)
{
    const QPointer<Host> guard(host);
    if (!host->process)
        return true;
    host->buffer += host->process->readAllStandardOutput();
    QList<QCborMap> messages;
    QString error;
    const bool intact = engine::takeFrames(host->buffer, &messages, &error);
    for (const QCborMap &m : std::as_const(messages)) {
        if (!host->greeted) {
            // A worker of another version (or none that speaks this exchange at all) is ended
            // before it is handed anything it could misread.
            if (engine::helloVersion(m) != engine::kProtocolVersion) {
                endProcess(host);
                for (Lane *lane : lanesOn(host)) {
                    if (!lane->running)
                        continue;
                    const Job job = *lane->running;
                    lane->running.reset();
                    answer(job, engine::ErrorKind::Incompatible,
                           host->saxon ? saxon::helperJar(QFileInfo(m_workerPath).absolutePath()) : m_workerPath);
                    if (!guard)
                        return false;
                }
                return true; // what waits starts a new worker
            }
            host->greeted = true;
            continue;
        }
        if (engine::noticeOf(m) == engine::Notice::OutOfMemory) {
            host->outOfMemory = true;
            continue;
        }
        const engine::Response response = engine::Response::fromCbor(m);
        Lane *lane = nullptr;
        for (Lane *l : lanesOn(host))
            if (l->running && l->running->request.id == response.id)
                lane = l;
        if (!lane)
            continue; // an answer nobody waits for any more
        const Job job = *lane->running;
        lane->running.reset();
        lane->deadline.stop();
        // A worker that ran out of memory ends after its answer: the next request must not be
        // handed to it.
        if (response.error == engine::ErrorKind::OutOfMemory)
            endWork(lane);
        const QPointer<Lane> laneGuard(lane);
        deliver(job, response);
        if (!guard || !laneGuard)
            return false;
        if (!host->process)
            break;
    }
    if (!intact) {
        QList<Job> broken;
        for (Lane *lane : lanesOn(host)) {
            if (lane->running)
                broken << *lane->running;
            lane->running.reset();
        }
        endProcess(host);
        for (const Job &job : std::as_const(broken)) {
            answer(job, engine::ErrorKind::Unreadable, error);
            if (!guard)
                return false;
        }
    }
    return true;
}

void EngineClient::processEnded(Host *host)
{
    const QPointer<Host> guard(host);
    // An answer written just before the end comes first.
    if (!deliverAnswers(host) || !guard)
        return;
    QProcess *ended = host->process;
    host->process = nullptr;
    host->buffer.clear();
    if (ended) {
        disconnect(ended, nullptr, this, nullptr);
        ended->deleteLater();
    }
    // The worker ended on its own while working: a crash inside the XSLT processor, or the
    // memory cap reached outside any allocation it could refuse. Once the worker said its
    // memory ran out, the crash is what became of that.
    const QString how = ended && ended->exitStatus() == QProcess::CrashExit
                            ? QStringLiteral("it crashed")
                            : QStringLiteral("it ended with code %1").arg(ended ? ended->exitCode() : -1);
    const QList<Lane *> lanes = lanesOn(host);
    QList<QPointer<Lane>> guards(lanes.begin(), lanes.end());
    for (const QPointer<Lane> &lane : std::as_const(guards)) {
        if (!lane || !lane->running)
            continue;
        const Job job = *lane->running;
        lane->running.reset();
        lane->deadline.stop();
        if (host->outOfMemory)
            answer(job, engine::ErrorKind::OutOfMemory, QString::number(m_memoryMb));
        else
            answer(job, engine::ErrorKind::Crashed, how);
        if (!guard)
            return;
    }
    for (const QPointer<Lane> &lane : std::as_const(guards))
        if (lane)
            startNext(lane);
}

void EngineClient::timedOut(Lane *lane)
{
    if (!lane->running)
        return;
    const Job job = *lane->running;
    lane->running.reset();
    const QPointer<Lane> guard(lane);
    endWork(lane);
    answer(job, engine::ErrorKind::TimedOut, QString::number(job.timeLimitMs / 1000.0));
    if (guard)
        startNext(lane);
}

void EngineClient::endWork(Lane *lane)
{
    lane->deadline.stop();
    Host *host = lane->host;
    if (!host)
        return;
    QList<QPointer<Lane>> requeued;
    for (Lane *other : lanesOn(host)) {
        if (other == lane || !other->running)
            continue;
        other->deadline.stop();
        other->queue.prepend(*other->running);
        other->running.reset();
        requeued << other;
    }
    endProcess(host);
    if (requeued.isEmpty())
        return;
    // They start again once the caller has done with its own lane.
    QTimer::singleShot(0, this, [this, requeued] {
        for (const QPointer<Lane> &other : requeued)
            if (other)
                startNext(other);
    });
}

void EngineClient::endProcess(Host *host)
{
    host->idle.stop();
    if (!host->process)
        return;
    QProcess *p = host->process;
    host->process = nullptr;
    host->buffer.clear();
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
    if (job.onAnswer && (!job.guarded || job.receiver)) {
        engine::Response answer = response;
        answer.processor = job.request.processor;
        job.onAnswer(answer);
    }
    emit answered(job.request.window, job.channel);
}

void EngineClient::answer(const Job &job, engine::ErrorKind error, const QString &detail)
{
    deliver(job, engine::Response::failed(job.request, error, engine::errorMessage(job.request.kind, error, detail)));
}
