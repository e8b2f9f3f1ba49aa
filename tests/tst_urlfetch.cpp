#include "platform/urlfetch.h"
#include "support/testmain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

namespace {

const QByteArray kBody = "<xsl:stylesheet version=\"1.0\"/>";

// Answers by path:
//   /ok, /empty               200 with a short or an empty body
//   /status/N                 that error status
//   /to/P, /abs/P             302 to /P, relative or absolute
//   /nolocation, /ftp         302 without a Location, or to ftp
//   /big/N, /stream/N         N bytes, with a Content-Length or just closing at the end
//   /slow/MS                  "slow MS" after MS milliseconds
//   /trickle/N                N bytes, one every 250 ms
//   /silent                   accepts and never answers
// and a TLS handshake with a plain-text error.
//   /stall                    headers and a little of the body, then nothing
class HttpServer : public QObject
{
public:
    HttpServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    ~HttpServer() override
    {
        // Sockets still open die with m_server, after m_requests; they must not call back.
        for (QTcpSocket *s : m_server.findChildren<QTcpSocket *>())
            s->disconnect(this);
    }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
    }
    quint16 port() const { return m_server.serverPort(); }
    int accepted = 0;
    int open = 0;

private:
    void accept()
    {
        while (QTcpSocket *s = m_server.nextPendingConnection()) {
            ++accepted;
            ++open;
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                --open;
                m_requests.remove(s);
                s->deleteLater();
            });
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                m_requests[s] += s->readAll();
                if (m_requests[s].startsWith('\x16')) // a TLS handshake: answer in plain text
                    send(s, "400 Bad Request", "", "");
                else if (m_requests[s].contains("\r\n\r\n"))
                    answer(s, QString::fromLatin1(m_requests.take(s).split(' ').value(1)));
            });
        }
    }
    static void send(QTcpSocket *s, const QByteArray &status, const QByteArray &headers,
                     const QByteArray &body, bool withLength = true, bool close = true)
    {
        QByteArray head = "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + headers;
        if (withLength)
            head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        s->write(head + "\r\n" + body);
        if (close)
            s->disconnectFromHost();
    }
    static void trickle(QTcpSocket *s, int chunks)
    {
        if (chunks == 0)
            return s->disconnectFromHost();
        s->write("x");
        QTimer::singleShot(250, s, [s, chunks] { trickle(s, chunks - 1); });
    }
    void answer(QTcpSocket *s, const QString &path)
    {
        const QString arg = path.section(QLatin1Char('/'), 2);
        if (path == QLatin1String("/ok"))
            send(s, "200 OK", "", kBody);
        else if (path == QLatin1String("/empty"))
            send(s, "200 OK", "", "");
        else if (path.startsWith(QLatin1String("/status/"))) {
            static const QHash<QString, QByteArray> reasons{
                {"404", "Not Found"}, {"410", "Gone"}, {"500", "Internal Server Error"}};
            send(s, arg.toLatin1() + ' ' + reasons.value(arg), "", "<html>error page</html>");
        } else if (path.startsWith(QLatin1String("/to/")))
            send(s, "302 Found", "Location: /" + arg.toLatin1() + "\r\n", "<p>Moved</p>");
        else if (path.startsWith(QLatin1String("/abs/")))
            send(s, "302 Found", "Location: " + url(QLatin1Char('/') + arg).toLatin1() + "\r\n", "");
        else if (path == QLatin1String("/nolocation"))
            send(s, "302 Found", "", "");
        else if (path == QLatin1String("/ftp"))
            send(s, "302 Found", "Location: ftp://127.0.0.1:" + QByteArray::number(port()) + "/ok\r\n", "");
        else if (path.startsWith(QLatin1String("/big/")))
            send(s, "200 OK", "", QByteArray(arg.toInt(), 'x'));
        else if (path.startsWith(QLatin1String("/stream/")))
            send(s, "200 OK", "", QByteArray(arg.toInt(), 'x'), false);
        else if (path.startsWith(QLatin1String("/slow/")))
            QTimer::singleShot(arg.toInt(), s, [s, arg] { send(s, "200 OK", "", "slow " + arg.toLatin1()); });
        else if (path.startsWith(QLatin1String("/trickle/"))) {
            s->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
            trickle(s, arg.toInt());
        } else if (path == QLatin1String("/stall"))
            send(s, "200 OK", "Content-Length: 1000\r\n", "<root>", false, false);
        else if (path != QLatin1String("/silent"))
            send(s, "400 Bad Request", "", "");
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_requests;
};

} // namespace

class TstUrlFetch : public QObject
{
    Q_OBJECT

    HttpServer *m_server = nullptr;

private slots:
    void initTestCase()
    {
        // A proxy from the environment would take the requests away from our own server.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }
    void init() { m_server = new HttpServer; }
    void cleanup()
    {
        delete m_server;
        setUrlFetchTimeoutMs(0);
    }

    void fetchUrl_succeeds_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("finalPath");
        const qint64 big = 1 << 20;
        QTest::addRow("body") << "/ok" << big << kBody << "/ok";
        QTest::addRow("empty body") << "/empty" << big << QByteArray() << "/empty";
        QTest::addRow("relative redirect") << "/to/ok" << big << kBody << "/ok";
        QTest::addRow("absolute redirect") << "/abs/ok" << big << kBody << "/ok";
        QTest::addRow("five redirects") << "/to/to/to/to/abs/ok" << big << kBody << "/ok";
        QTest::addRow("announced body at the limit") << "/big/4096" << qint64(4096) << QByteArray(4096, 'x') << "/big/4096";
        QTest::addRow("slow but steady body") << "/trickle/8" << big << QByteArray(8, 'x') << "/trickle/8";
        QTest::addRow("streamed body at the limit") << "/stream/4096" << qint64(4096) << QByteArray(4096, 'x') << "/stream/4096";
    }
    void fetchUrl_succeeds()
    {
        QFETCH(QString, path);
        QFETCH(qint64, maxBytes);
        QFETCH(QByteArray, body);
        QFETCH(QString, finalPath);
        // Well within the pauses a local server makes, but shorter than the slow body as a whole.
        const UrlFetchResult r = fetchUrl(m_server->url(path), 1000, maxBytes);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.data, body);
        QCOMPARE(r.finalUrl, m_server->url(finalPath));
        QCOMPARE(r.error, QString());
    }

    // message: "{url}" stands for the address fetched; partial messages must start the error.
    void fetchUrl_fails_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("exact");
        const qint64 big = 1 << 20;
        QTest::addRow("404") << "/status/404" << big << "The server answered 404 Not Found for {url}." << true;
        QTest::addRow("404 with an error page over the limit") << "/status/404" << qint64(10) << "The server answered 404 Not Found for {url}." << true;
        QTest::addRow("410") << "/status/410" << big << "The server answered 410 Gone for {url}." << true;
        QTest::addRow("500") << "/status/500" << big << "The server answered 500 Internal Server Error for {url}." << true;
        QTest::addRow("redirect to 404") << "/to/status/404" << big << "The server answered 404 Not Found for {url}." << true;
        QTest::addRow("redirect without location") << "/nolocation" << big << "The server answered 302 Found for {url} but did not redirect to an address that can be opened." << true;
        QTest::addRow("redirect to ftp") << "/ftp" << big << "The server answered 302 Found for {url} but did not redirect to an address that can be opened." << true;
        QTest::addRow("six redirects") << "/to/to/to/to/to/abs/ok" << big << "Could not load {url}: " << false;
        QTest::addRow("redirect loop") << "/to/to/to/to/to/to/to/to/to/to/ok" << big << "Could not load {url}: " << false;
        QTest::addRow("announced body over the limit") << "/big/100000" << qint64(4096)
                                                       << "The document at {url} is larger than 4 KB, the most that can be opened." << true;
        QTest::addRow("streamed body over the limit") << "/stream/4097" << qint64(4096)
                                                      << "The document at {url} is larger than 4 KB, the most that can be opened." << true;
    }
    void fetchUrl_fails()
    {
        QFETCH(QString, path);
        QFETCH(qint64, maxBytes);
        QFETCH(QString, message);
        QFETCH(bool, exact);
        const QString url = m_server->url(path);
        const UrlFetchResult r = fetchUrl(url, 5000, maxBytes);
        QVERIFY(!r.ok);
        QVERIFY(r.data.isEmpty());
        message.replace(QLatin1String("{url}"), url);
        if (exact)
            QCOMPARE(r.error, message);
        else
            QVERIFY2(r.error.startsWith(message) && r.error.endsWith(QLatin1Char('.')), qPrintable(r.error));
        QTRY_COMPARE(m_server->open, 0);
    }

    void fetchUrl_connectionFails_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("reason"); // Qt's words, after our "Could not load <url>: "
        QTest::addRow("refused") << "http://127.0.0.1:{closed}/style.xsl" << "Connection refused.";
        QTest::addRow("not a TLS server") << "https://127.0.0.1:{port}/ok" << "SSL handshake failed";
    }
    void fetchUrl_connectionFails()
    {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        url.replace(QLatin1String("{closed}"), QString::number(closed.serverPort()));
        closed.close();
        url.replace(QLatin1String("{port}"), QString::number(m_server->port()));
        QElapsedTimer clock;
        clock.start();
        const UrlFetchResult r = fetchUrl(url, 5000);
        QVERIFY(!r.ok);
        QVERIFY2(r.error.startsWith(QStringLiteral("Could not load %1: %2").arg(url, reason)), qPrintable(r.error));
        QVERIFY2(r.error.endsWith(QLatin1Char('.')), qPrintable(r.error));
        QVERIFY(clock.elapsed() < 4000);
    }

    void fetchUrl_timesOut_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        QTest::addRow("silent server") << "/silent" << "The server did not answer within 0.5 seconds while loading {url}.";
        QTest::addRow("redirect to a silent server") << "/to/silent" << "The server did not answer within 0.5 seconds while loading {url}.";
        QTest::addRow("stalls mid-body") << "/stall" << "The server stopped sending data for 0.5 seconds while loading {url}.";
    }
    void fetchUrl_timesOut()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        const QString url = m_server->url(path);
        QElapsedTimer clock;
        clock.start();
        const UrlFetchResult r = fetchUrl(url, 500);
        const qint64 elapsed = clock.elapsed();
        QVERIFY(!r.ok);
        QCOMPARE(r.error, message.replace(QLatin1String("{url}"), url));
        QVERIFY2(elapsed >= 450 && elapsed < 5000, qPrintable(QString::number(elapsed)));
        // The abandoned request must not stay connected.
        QTRY_COMPARE(m_server->open, 0);
    }

    void fetchUrl_defaultTimeoutFollowsSetting()
    {
        QCOMPARE(urlFetchTimeoutMs(), 20000);
        setUrlFetchTimeoutMs(400);
        const QString url = m_server->url(QStringLiteral("/silent"));
        QElapsedTimer clock;
        clock.start();
        const UrlFetchResult r = fetchUrl(url);
        QCOMPARE(r.error, QStringLiteral("The server did not answer within 0.4 seconds while loading %1.").arg(url));
        QVERIFY(clock.elapsed() < 5000);
    }

    void fetchUrl_rejectedWithoutNetwork_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("message");
        const QString unsupported = QStringLiteral("Cannot open {url}: only http, https and file addresses are supported.");
        const QString invalid = QStringLiteral("\"{url}\" is not a valid address. Enter a full URL such as https://example.com/style.xsl.");
        QTest::addRow("ftp") << "ftp://127.0.0.1:{port}/ok" << unsupported;
        QTest::addRow("mailto") << "mailto:someone@example.com" << unsupported;
        QTest::addRow("no scheme") << "127.0.0.1:{port}/ok" << invalid;
        QTest::addRow("relative path") << "style.xsl" << invalid;
        QTest::addRow("no host") << "http:///ok" << invalid;
        QTest::addRow("space in host") << "http://127.0.0 .1:{port}/ok" << invalid;
        QTest::addRow("unclosed bracket") << "http://[::1:{port}/ok" << invalid;
        QTest::addRow("blank") << " \n" << "No address was given. Enter a full URL such as https://example.com/style.xsl.";
    }
    void fetchUrl_rejectedWithoutNetwork()
    {
        QFETCH(QString, url);
        QFETCH(QString, message);
        url.replace(QLatin1String("{port}"), QString::number(m_server->port()));
        const UrlFetchResult r = fetchUrl(url, 5000);
        QVERIFY(!r.ok);
        QCOMPARE(r.error, message.replace(QLatin1String("{url}"), url.trimmed()));
        QCoreApplication::processEvents();
        QCOMPARE(m_server->accepted, 0);
    }

    void fetchUrl_localFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("host");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QString>("message"); // empty when the read succeeds
        QTest::addRow("document") << "style.xsl" << "" << qint64(4096) << "";
        QTest::addRow("localhost") << "style.xsl" << "localhost" << qint64(4096) << "";
        QTest::addRow("space and accent") << "my stylé.xsl" << "" << qint64(4096) << "";
        QTest::addRow("missing") << "gone.xsl" << "" << qint64(4096) << "Could not read {url}: No such file or directory.";
        QTest::addRow("folder") << "" << "" << qint64(4096) << "Cannot open {url}: it is not a document file.";
        QTest::addRow("over the limit") << "style.xsl" << "" << qint64(10)
                                        << "The document at {url} is larger than 10 bytes, the most that can be opened.";
        QTest::addRow("other computer") << "style.xsl" << "fileserver" << qint64(4096)
                                        << "Cannot open {url}: only files on this computer can be opened, and this address names the computer \"fileserver\".";
    }
    void fetchUrl_localFile()
    {
        QFETCH(QString, name);
        QFETCH(QString, host);
        QFETCH(qint64, maxBytes);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath(name));
        if (!name.isEmpty() && name != QLatin1String("gone.xsl")) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(kBody);
            file.close();
        }
        QUrl u = QUrl::fromLocalFile(name.isEmpty() ? dir.path() : dir.filePath(name));
        u.setHost(host);
        const QString url = u.toString(QUrl::FullyEncoded);

        const UrlFetchResult r = fetchUrl(url, 5000, maxBytes);
        QCOMPARE(r.error, message.replace(QLatin1String("{url}"), url));
        QCOMPARE(r.ok, message.isEmpty());
        QCOMPARE(r.data, r.ok ? kBody : QByteArray());
        if (r.ok)
            QCOMPARE(r.finalUrl, QUrl::fromLocalFile(file.fileName()).toString(QUrl::FullyEncoded));
    }

    void fetchUrl_keepsTimersRunning()
    {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        ticker.start(50);
        const UrlFetchResult r = fetchUrl(m_server->url(QStringLiteral("/slow/600")), 5000);
        QCOMPARE(r.data, QByteArray("slow 600"));
        QVERIFY2(ticks >= 4, qPrintable(QString::number(ticks)));
    }

    // A fetch started from a timer while another fetch waits must not disturb either.
    void fetchUrl_nested_data()
    {
        QTest::addColumn<int>("outerMs");
        QTest::addColumn<int>("innerMs");
        QTest::addRow("inner finishes first") << 700 << 100;
        QTest::addRow("outer finishes during inner") << 100 << 700;
    }
    void fetchUrl_nested()
    {
        QFETCH(int, outerMs);
        QFETCH(int, innerMs);
        UrlFetchResult inner;
        bool innerRan = false;
        QTimer::singleShot(20, this, [&] {
            inner = fetchUrl(m_server->url(QStringLiteral("/slow/%1").arg(innerMs)), 5000);
            innerRan = true;
        });
        const QString outerUrl = m_server->url(QStringLiteral("/slow/%1").arg(outerMs));
        const UrlFetchResult outer = fetchUrl(outerUrl, 5000);
        QTRY_VERIFY(innerRan);
        QVERIFY2(outer.ok, qPrintable(outer.error));
        QCOMPARE(outer.data, "slow " + QByteArray::number(outerMs));
        QCOMPARE(outer.finalUrl, outerUrl);
        QVERIFY2(inner.ok, qPrintable(inner.error));
        QCOMPARE(inner.data, "slow " + QByteArray::number(innerMs));
    }
};

ZENDRIK_TEST_MAIN(TstUrlFetch)
#include "tst_urlfetch.moc"
