#pragma once

#include "engine/xmldocument.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Checks the well-formedness of texts on a thread of its own, so typing never waits for a
// parse. Of the texts of one window's pane handed in while one of its parses runs, only the
// newest is parsed next; each verdict goes to whoever asked, with the generation of the text
// it describes.
class ParseService : public QObject
{
    Q_OBJECT
public:
    ParseService();
    ~ParseService() override;

    // The program's service, made on first use.
    static ParseService &shared();

    // The texts of a document window.
    enum class Pane { Stylesheet, Source };
    // The verdict on a text of the given generation; called on the service's thread of birth.
    using Handler = std::function<void(qint64 generation, const XmlDocument::ParseError &error)>;

    // Queues a text for a parse; onParsed gets the verdict while receiver lives.
    void submit(qint64 window, Pane pane, qint64 generation, const QByteArray &utf8, const QString &baseUrl,
                QObject *receiver, Handler onParsed);
    // Forgets the window's waiting texts; a verdict already under way still comes, to a
    // receiver that still lives.
    void cancel(qint64 window);

private:
    struct Job {
        qint64 generation = 0;
        QByteArray text;
        QString base;
        QPointer<QObject> receiver;
        Handler onParsed;
    };
    using Key = std::pair<qint64, int>; // window, pane
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    QHash<Key, Job> m_waiting;
    bool m_quit = false;
    std::thread m_thread;
};
