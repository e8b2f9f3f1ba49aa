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

void ParseService::submit(qint64 window, qint64 generation, const QByteArray &utf8, const QString &baseUrl)
{
    {
        std::lock_guard lock(m_mutex);
        m_waiting.insert(window, Job{generation, utf8, baseUrl});
    }
    m_wake.notify_one();
}

void ParseService::cancel(qint64 window)
{
    std::lock_guard lock(m_mutex);
    m_waiting.remove(window);
}

void ParseService::run()
{
    for (;;) {
        qint64 window = 0;
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_waiting.isEmpty(); });
            if (m_quit)
                return;
            auto it = m_waiting.begin();
            window = it.key();
            job = std::move(it.value());
            m_waiting.erase(it);
        }
        XmlDocument::ParseError error;
        {
            // Only the verdict is kept: the tree of a large text would double its memory.
            XmlDocument doc;
            doc.loadXMLUtf8(job.text, job.base);
            error = doc.parseError();
        }
        // A large text's tree leaves tens of megabytes freed but held by the allocator; they
        // go back to the system rather than stay with the program until it ends.
        if (job.text.size() > kTrimAfterBytes)
            malloc_trim(0);
        job.text.clear();
        QMetaObject::invokeMethod(
            this, [this, window, generation = job.generation, error] { emit parsed(window, generation, error); },
            Qt::QueuedConnection);
    }
}
