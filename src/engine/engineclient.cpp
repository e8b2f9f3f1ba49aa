#include "engine/engineclient.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

EngineClient::EngineClient(const QString &workerPath, QObject *parent)
    : QObject(parent)
    , m_workerPath(workerPath)
    , m_memoryMb(defaultMemoryLimitMb())
{
}

EngineClient::~EngineClient()
{
    // The worker, and any ended one not yet reaped, go with the client.
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
        // Goes with the application, and the worker with it.
        QObject::connect(qApp, &QObject::destroyed, [c] { delete c; });
        return c;
    }();
    return *client;
}

void EngineClient::setMemoryLimitMb(qint64 megabytes)
{
    m_memoryMb = std::max<qint64>(0, megabytes);
}

qint64 EngineClient::submit(qint64 window, const QString &channel, qint64 generation, preview::Target target,
                            const preview::Input &input)
{
    dropWaiting([&](const Job &j) { return j.request.window == window && j.channel == channel; });
    Job job;
    job.channel = channel;
    job.request.id = m_nextId++;
    job.request.window = window;
    job.request.generation = generation;
    job.request.target = target;
    job.request.input = input;
    m_queue.append(job);
    startNext();
    return job.request.id;
}

void EngineClient::cancel(qint64 window)
{
    dropWaiting([&](const Job &j) { return j.request.window == window; });
    if (m_running && m_running->request.window == window) {
        const Job job = *m_running;
        m_running.reset();
        endProcess();
        superseded(job);
        startNext();
    }
}

void EngineClient::dropWaiting(const std::function<bool(const Job &)> &which)
{
    QList<Job> dropped;
    for (qsizetype i = m_queue.size() - 1; i >= 0; --i)
        if (which(m_queue.at(i)))
            dropped.prepend(m_queue.takeAt(i));
    for (const Job &job : std::as_const(dropped))
        superseded(job);
}

void EngineClient::superseded(const Job &job)
{
    engine::Response response;
    response.id = job.request.id;
    response.window = job.request.window;
    response.generation = job.request.generation;
    response.superseded = true;
    emit finished(job.channel, response);
}

bool EngineClient::stop(qint64 window, const QString &channel)
{
    if (!m_running || m_running->request.window != window || (!channel.isEmpty() && m_running->channel != channel))
        return false;
    const Job job = *m_running;
    m_running.reset();
    endProcess();
    answer(job, QStringLiteral("Error"), stoppedMessage());
    startNext();
    return true;
}

bool EngineClient::isBusy(qint64 window, const QString &channel) const
{
    const auto matches = [&](const Job &j) {
        return j.request.window == window && (channel.isEmpty() || j.channel == channel);
    };
    return (m_running && matches(*m_running)) || std::any_of(m_queue.begin(), m_queue.end(), matches);
}

void EngineClient::startNext()
{
    if (m_running || m_queue.isEmpty())
        return;
    Job job = m_queue.takeFirst();
    if (!ensureProcess()) {
        answer(job, QStringLiteral("Error"),
               QStringLiteral("The transformation engine \"%1\" could not be started. Reinstall Zendrik.").arg(m_workerPath));
        startNext();
        return;
    }
    m_running = job;
    m_process->write(engine::frame(job.request.toCbor()));
    emit started(job.request.window, job.channel, job.request.id);
}

bool EngineClient::ensureProcess()
{
    if (m_process && m_process->state() == QProcess::Running)
        return true;
    endProcess();
    if (!QFileInfo(m_workerPath).isExecutable())
        return false;
    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args;
    if (m_memoryMb > 0)
        args << QStringLiteral("--memory-mb") << QString::number(m_memoryMb);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &EngineClient::readAnswers);
    connect(m_process, &QProcess::finished, this, &EngineClient::processEnded);
    m_process->start(m_workerPath, args);
    if (!m_process->waitForStarted(5000)) {
        endProcess();
        return false;
    }
    return true;
}

void EngineClient::readAnswers()
{
    m_buffer += m_process->readAllStandardOutput();
    QList<QCborMap> messages;
    QString error;
    const bool intact = engine::takeFrames(m_buffer, &messages, &error);
    for (const QCborMap &m : std::as_const(messages)) {
        const engine::Response response = engine::Response::fromCbor(m);
        if (!m_running || m_running->request.id != response.id)
            continue; // an answer nobody waits for any more
        const QString channel = m_running->channel;
        m_running.reset();
        emit finished(channel, response);
    }
    if (!intact && m_running) {
        const Job job = *m_running;
        m_running.reset();
        endProcess();
        answer(job, QStringLiteral("Error"), QStringLiteral("The transformation engine sent an answer that could not be read: %1.").arg(error));
    }
    startNext();
}

void EngineClient::processEnded()
{
    // The worker ended on its own while working: a crash inside the XSLT processor, or the
    // memory cap reached outside any allocation it could refuse.
    QProcess *ended = m_process;
    m_process = nullptr;
    m_buffer.clear();
    if (ended)
        ended->deleteLater();
    if (m_running) {
        const Job job = *m_running;
        m_running.reset();
        const QString how = ended && ended->exitStatus() == QProcess::CrashExit
                                ? QStringLiteral("it crashed")
                                : QStringLiteral("it ended with code %1").arg(ended ? ended->exitCode() : -1);
        answer(job, QStringLiteral("Error"),
               QStringLiteral("The transformation stopped the engine (%1). Your documents are not affected; "
                              "the engine starts again with the next preview.").arg(how));
    }
    startNext();
}

void EngineClient::endProcess()
{
    if (!m_process)
        return;
    QProcess *p = m_process;
    m_process = nullptr;
    m_buffer.clear();
    disconnect(p, nullptr, this, nullptr);
    if (p->state() != QProcess::NotRunning) {
        // Killed, not asked: a runaway stylesheet does not read its input.
        connect(p, &QProcess::finished, p, &QObject::deleteLater);
        p->kill();
    } else {
        p->deleteLater();
    }
}

void EngineClient::answer(const Job &job, const QString &title, const QString &text)
{
    engine::Response response;
    response.id = job.request.id;
    response.window = job.request.window;
    response.generation = job.request.generation;
    response.result.title = title;
    response.result.text = text;
    emit finished(job.channel, response);
}
