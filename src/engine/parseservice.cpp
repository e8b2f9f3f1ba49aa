#include "engine/parseservice.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <malloc.h>

namespace {
constexpr qsizetype kTrimAfterBytes = 1 << 20;
} // namespace

ParseService::ParseService()
    : m_thread([this] { run(); })
{
    qRegisterMetaType<XmlDocument::ParseError>();
}

ParseService::~ParseService()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_waiting.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

ParseService &ParseService::shared()
{
    static ParseService *service = [] {
        auto *s = new ParseService;
        QObject::connect(qApp, &QObject::destroyed, [s] { delete s; });
        return s;
    }();
    return *service;
}

void ParseService::submit(qint64 window, Pane pane, qint64 generation, const QByteArray &utf8, const QString &baseUrl,
                          QObject *receiver, Handler onParsed)
{
    {
        std::lock_guard lock(m_mutex);
        m_waiting.insert({window, int(pane)}, Job{generation, utf8, baseUrl, receiver, std::move(onParsed)});
    }
    m_wake.notify_one();
}

void ParseService::cancel(qint64 window)
{
    std::lock_guard lock(m_mutex);
    m_waiting.remove({window, int(Pane::Stylesheet)});
    m_waiting.remove({window, int(Pane::Source)});
}

void ParseService::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_waiting.isEmpty(); });
            if (m_quit)
                return;
            auto it = m_waiting.begin();
            job = std::move(it.value());
            m_waiting.erase(it);
        }
        XmlDocument::ParseError error;
        {
            // Only the verdict is wanted: no tree is built (a large text's would take ten times
            // its size).
            XmlDocument doc;
            doc.checkUtf8(job.text, job.base);
            error = doc.parseError();
        }
        // A large text's tree leaves tens of megabytes freed but held by the allocator; they
        // go back to the system rather than stay with the program until it ends.
        if (job.text.size() > kTrimAfterBytes)
            malloc_trim(0);
        job.text.clear();
        QMetaObject::invokeMethod(
            this,
            [receiver = std::move(job.receiver), onParsed = std::move(job.onParsed), generation = job.generation, error] {
                if (receiver && onParsed)
                    onParsed(generation, error);
            },
            Qt::QueuedConnection);
    }
}
