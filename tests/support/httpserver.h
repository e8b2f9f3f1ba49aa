#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A tiny HTTP/1.0 server on 127.0.0.1 for the tests: each path answers with a fixed status and
// body, or never answers at all.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    void serve(const QString &path, const QByteArray &body, int status = 200,
               const QByteArray &contentType = "application/xml");
    void redirect(const QString &path, const QString &to);
    // The connection is accepted and the request read, but nothing is ever sent back.
    void silent(const QString &path);

    QString url(const QString &path) const;
    quint16 port() const;
    QStringList requests() const { return m_requests; }

private:
    struct Route {
        int status = 200;
        QByteArray body;
        QByteArray contentType;
        QString location;
        bool silent = false;
    };
    void onReadyRead(QTcpSocket *socket);

    QTcpServer *m_server;
    QHash<QString, Route> m_routes;
    QStringList m_requests;
};
