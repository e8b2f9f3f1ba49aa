#pragma once

#include "engine/xmldocument.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

// Checks the well-formedness of texts on a thread of its own, so typing never waits for a
// parse. Of the texts a window hands in while one of its parses runs, only the newest is
// parsed next; every answer names the window and the generation of the text it describes.
class ParseService : public QObject
{
    Q_OBJECT
public:
    ParseService();
    ~ParseService() override;

    // The program's service, made on first use.
    static ParseService &shared();

    void submit(qint64 window, qint64 generation, const QByteArray &utf8, const QString &baseUrl);
    // Forgets the window's waiting text; an answer for it already under way still comes.
    void cancel(qint64 window);

signals:
    // Delivered on the thread the service lives in.
    void parsed(qint64 window, qint64 generation, const XmlDocument::ParseError &error);

private:
    struct Job {
        qint64 generation = 0;
        QByteArray text;
        QString base;
    };
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    QHash<qint64, Job> m_waiting;
    bool m_quit = false;
    std::thread m_thread;
};
