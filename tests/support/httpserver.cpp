#include "httpserver.h"

#include <QtNetwork>

namespace {

QByteArray answer(int status, const QByteArray &contentType, const QByteArray &body)
{
    static const QHash<int, QByteArray> reasons{{200, "OK"}, {404, "Not Found"}, {500, "Internal Server Error"}};
    return "HTTP/1.0 " + QByteArray::number(status) + ' ' + reasons.value(status, "Error") + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

void sendParts(QTcpSocket *socket, QList<QByteArray> parts, int gapMs, bool close)
{
    if (parts.isEmpty()) {
        if (close)
            socket->disconnectFromHost();
        return;
    }
    socket->write(parts.takeFirst());
    QTimer::singleShot(parts.isEmpty() ? 0 : gapMs, socket, [=] { sendParts(socket, parts, gapMs, close); });
}

} // namespace

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::LocalHost, 0);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = m_server->nextPendingConnection()) {
            s->setParent(this);
            connect(s, &QTcpSocket::readyRead, this, [this, s] { onReadyRead(s); });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

void TestHttpServer::serve(const QString &path, const QByteArray &body, int status, const QByteArray &contentType)
{
    raw(path, {answer(status, contentType, body)});
}

void TestHttpServer::redirect(const QString &path, const QString &to)
{
    const QString location = to.contains(QLatin1String("://")) ? to : url(to);
    raw(path, {"HTTP/1.0 302 Found\r\nLocation: " + location.toLatin1() + "\r\nContent-Length: 0\r\n\r\n"});
}

void TestHttpServer::raw(const QString &path, const QList<QByteArray> &parts, int gapMs, bool close)
{
    m_routes.insert(path, Route{parts, gapMs, close});
}

void TestHttpServer::drip(const QString &path, int gapMs)
{
    m_routes.insert(path, Route{{}, gapMs, true, true});
}

void TestHttpServer::hold(const QString &path, const QByteArray &body)
{
    m_routes.insert(path, Route{{answer(200, "application/xml", body)}, 0, true, false, true});
}

void TestHttpServer::release(const QString &path)
{
    for (QTcpSocket *s : m_waiting.values(path))
        sendParts(s, m_routes.value(path).parts, 0, true);
    m_waiting.remove(path);
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> first = request.left(request.indexOf("\r\n")).split(' ');
    const QString path = first.size() > 1 ? QString::fromLatin1(first[1]) : QString();
    m_requests << path;
    const Route route = m_routes.value(path, Route{{answer(404, "text/plain", "Not Found")}});
    if (route.drip) {
        socket->write("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n<");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(route.gapMs);
    } else if (route.held) {
        m_waiting.insert(path, socket);
        connect(socket, &QObject::destroyed, this, [this, path, socket] { m_waiting.remove(path, socket); });
    } else {
        sendParts(socket, route.parts, route.gapMs, route.close);
    }
}
