#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A tiny HTTP/1.0 server on 127.0.0.1 for the tests: each path answers with a fixed status and
// body, with raw bytes sent piece by piece, or never answers at all. Other paths answer 404.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    explicit TestHttpServer(QObject *parent = nullptr);

    void serve(const QString &path, const QByteArray &body, int status = 200,
               const QByteArray &contentType = "application/xml");
    // to: a path on this server or a whole address (another server's).
    void redirect(const QString &path, const QString &to);
    // Sends parts exactly as given, gapMs apart, then closes unless close is false (a server
    // that stalls; with no parts at all, one that never answers). An empty first part delays the
    // whole answer by gapMs.
    void raw(const QString &path, const QList<QByteArray> &parts, int gapMs = 0, bool close = true);
    // Answers 200 without a length, then one byte every gapMs for as long as the client listens.
    void drip(const QString &path, int gapMs);
    // Reads the request and waits until release(path) before answering 200 with body.
    void hold(const QString &path, const QByteArray &body);
    void release(const QString &path);

    QString url(const QString &path) const;
    quint16 port() const;
    QStringList requests() const { return m_requests; }

private:
    struct Route {
        QList<QByteArray> parts;
        int gapMs = 0;
        bool close = true, drip = false, held = false;
    };
    void onReadyRead(QTcpSocket *socket);

    QTcpServer *m_server;
    QHash<QString, Route> m_routes;
    QStringList m_requests;
    QMultiHash<QString, QTcpSocket *> m_waiting; // held requests by path
};
