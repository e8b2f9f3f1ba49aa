#include "httpserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

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

TestHttpServer::~TestHttpServer() = default;

void TestHttpServer::serve(const QString &path, const QByteArray &body, int status, const QByteArray &contentType)
{
    Route r;
    r.status = status;
    r.body = body;
    r.contentType = contentType;
    m_routes.insert(path, r);
}

void TestHttpServer::redirect(const QString &path, const QString &to)
{
    Route r;
    r.status = 302;
    r.location = url(to);
    m_routes.insert(path, r);
}

void TestHttpServer::silent(const QString &path)
{
    Route r;
    r.silent = true;
    m_routes.insert(path, r);
}

void TestHttpServer::raw(const QString &path, const QList<QByteArray> &parts, int gapMs, bool close)
{
    Route r;
    r.parts = parts;
    r.gapMs = gapMs;
    r.close = close;
    m_routes.insert(path, r);
}

void TestHttpServer::drip(const QString &path, int gapMs)
{
    Route r;
    r.drip = true;
    r.gapMs = gapMs;
    m_routes.insert(path, r);
}

void TestHttpServer::hold(const QString &path, const QByteArray &body)
{
    Route r;
    r.held = true;
    r.body = body;
    r.contentType = "application/xml";
    m_routes.insert(path, r);
}

void TestHttpServer::release(const QString &path)
{
    const Route route = m_routes.value(path);
    for (QTcpSocket *s : m_waiting.values(path)) {
        s->write(answer(route));
        s->disconnectFromHost();
    }
    m_waiting.remove(path);
}

void TestHttpServer::sendParts(QTcpSocket *socket, QList<QByteArray> parts, int gapMs, bool close)
{
    if (parts.isEmpty()) {
        if (close)
            socket->disconnectFromHost();
        return;
    }
    socket->write(parts.takeFirst());
    QTimer::singleShot(parts.isEmpty() ? 0 : gapMs, socket, [=] { sendParts(socket, parts, gapMs, close); });
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
    const auto it = m_routes.constFind(path);
    if (it != m_routes.constEnd() && it->silent)
        return;
    if (it != m_routes.constEnd() && !it->parts.isEmpty())
        return sendParts(socket, it->parts, it->gapMs, it->close);
    if (it != m_routes.constEnd() && it->drip) {
        socket->write("HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\n\r\n<");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(it->gapMs);
        return;
    }
    if (it != m_routes.constEnd() && it->held) {
        m_waiting.insert(path, socket);
        connect(socket, &QObject::destroyed, this, [this, path, socket] { m_waiting.remove(path, socket); });
        return;
    }
    if (it == m_routes.constEnd()) {
        socket->write("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\nContent-Type: text/plain\r\n\r\nNot Found");
        socket->disconnectFromHost();
        return;
    }
    socket->write(answer(*it));
    socket->disconnectFromHost();
}

QByteArray TestHttpServer::answer(const Route &route)
{
    const QByteArray reason = route.status == 200 ? "OK" : route.status == 302 ? "Found" : route.status == 404 ? "Not Found"
        : route.status == 500 ? "Internal Server Error" : "Error";
    QByteArray reply = "HTTP/1.0 " + QByteArray::number(route.status) + ' ' + reason + "\r\n";
    if (!route.location.isEmpty())
        reply += "Location: " + route.location.toLatin1() + "\r\n";
    reply += "Content-Type: " + route.contentType + "\r\nContent-Length: " + QByteArray::number(route.body.size())
        + "\r\n\r\n" + route.body;
    return reply;
}
