#include "engine/urlfetch.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

namespace {

const QByteArray kBody = "<xsl:stylesheet version=\"1.0\"/>";

QByteArray found(const QByteArray &location)
{
    return "HTTP/1.0 302 Found\r\n" + location + "\r\n";
}

QByteArray ok(const QByteArray &body)
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

class TstUrlFetch : public QObject
{
    Q_OBJECT

    TestHttpServer *m_server = nullptr;

    // A chain of n redirects that ends at /ok, starting at /chainN.
    void chain(int n)
    {
        for (int i = 1; i <= n; ++i)
            m_server->redirect(QStringLiteral("/chain%1").arg(i), i == 1 ? QStringLiteral("/ok") : QStringLiteral("/chain%1").arg(i - 1));
    }

private slots:
    void initTestCase()
    {
        // A proxy from the environment would take the requests away from our own server.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }
    void init()
    {
        m_server = new TestHttpServer;
        m_server->serve("/ok", kBody);
        m_server->serve("/empty", "");
        m_server->serve("/error", "<html>error page</html>", 500);
        m_server->serve("/big", QByteArray(4096, 'x'));
        m_server->serve("/bigger", QByteArray(100000, 'x'));
        chain(6);
        m_server->redirect("/loop", "/loop");
        m_server->redirect("/to404", "/nothing-here");
        m_server->redirect("/tosilent", "/silent");
        m_server->silent("/silent");
        m_server->raw("/relative", {found("Location: /ok\r\n")});
        m_server->raw("/nolocation", {found("")});
        m_server->raw("/ftp", {found("Location: ftp://127.0.0.1/ok\r\n")});
        // Without a Content-Length the body ends when the server closes.
        m_server->raw("/stream", {"HTTP/1.0 200 OK\r\n\r\n" + QByteArray(4096, 'x')});
        m_server->raw("/streammore", {"HTTP/1.0 200 OK\r\n\r\n" + QByteArray(4097, 'x')});
        m_server->raw("/trickle", {"HTTP/1.0 200 OK\r\n\r\n", "x", "x", "x", "x"}, 250);
        m_server->raw("/stall", {"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<root>"}, 0, false);
        for (int ms : {100, 700})
            m_server->raw(QStringLiteral("/slow%1").arg(ms), {"", ok("slow " + QByteArray::number(ms))}, ms);
        m_server->drip("/drip", 100);
    }
    void cleanup()
    {
        delete m_server;
        setUrlFetchTimeoutMs(0);
        setUrlFetchTotalLimitMs(0);
    }

    // error: "{url}" stands for the address fetched; one ending in ": " need only start the
    // error. timeoutMs < 0: the program-wide setting becomes -timeoutMs and none is passed.
    void fetchUrl_http_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("finalPath");
        const qint64 big = 1 << 20;
        QTest::addRow("body") << "/ok" << 5000 << big << kBody << "" << "/ok";
        QTest::addRow("empty body") << "/empty" << 5000 << big << QByteArray() << "" << "/empty";
        QTest::addRow("relative redirect") << "/relative" << 5000 << big << kBody << "" << "/ok";
        QTest::addRow("five redirects") << "/chain5" << 5000 << big << kBody << "" << "/ok";
        QTest::addRow("announced body at the limit") << "/big" << 5000 << qint64(4096) << QByteArray(4096, 'x') << "" << "/big";
        QTest::addRow("streamed body at the limit") << "/stream" << 5000 << qint64(4096) << QByteArray(4096, 'x') << "" << "/stream";
        // Each pause is shorter than the limit, the whole body takes longer.
        QTest::addRow("slow but steady body") << "/trickle" << 600 << big << QByteArray(4, 'x') << "" << "/trickle";

        const QString notFound = QStringLiteral("The server answered 404 Not Found for {url}.");
        const QString noRedirect = QStringLiteral("The server answered 302 Found for {url} but did not redirect to an address that can be opened.");
        const QString tooLarge = QStringLiteral("The document at {url} is larger than 4 KB, the most that can be opened.");
        const QString silent = QStringLiteral("The server did not answer within 0.5 seconds while loading {url}.");
        QTest::addRow("404") << "/nothing-here" << 5000 << big << QByteArray() << notFound << "";
        QTest::addRow("404 with an error page over the limit") << "/nothing-here" << 5000 << qint64(4) << QByteArray() << notFound << "";
        QTest::addRow("500") << "/error" << 5000 << big << QByteArray() << "The server answered 500 Internal Server Error for {url}." << "";
        QTest::addRow("redirect to 404") << "/to404" << 5000 << big << QByteArray() << notFound << "";
        QTest::addRow("redirect without location") << "/nolocation" << 5000 << big << QByteArray() << noRedirect << "";
        QTest::addRow("redirect to ftp") << "/ftp" << 5000 << big << QByteArray() << noRedirect << "";
        QTest::addRow("six redirects") << "/chain6" << 5000 << big << QByteArray() << "Could not load {url}: " << "";
        QTest::addRow("redirect loop") << "/loop" << 5000 << big << QByteArray() << "Could not load {url}: " << "";
        QTest::addRow("announced body over the limit") << "/bigger" << 5000 << qint64(4096) << QByteArray() << tooLarge << "";
        QTest::addRow("streamed body over the limit") << "/streammore" << 5000 << qint64(4096) << QByteArray() << tooLarge << "";
        QTest::addRow("silent server") << "/silent" << 500 << big << QByteArray() << silent << "";
        QTest::addRow("redirect to a silent server") << "/tosilent" << 500 << big << QByteArray() << silent << "";
        QTest::addRow("stalls mid-body") << "/stall" << 500 << big << QByteArray()
                                         << "The server stopped sending data for 0.5 seconds while loading {url}." << "";
        QTest::addRow("program-wide timeout") << "/silent" << -400 << big << QByteArray()
                                              << "The server did not answer within 0.4 seconds while loading {url}." << "";
    }
    void fetchUrl_http()
    {
        QFETCH(QString, path);
        QFETCH(int, timeoutMs);
        QFETCH(qint64, maxBytes);
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QFETCH(QString, finalPath);
        const QString url = m_server->url(path);
        error.replace(QLatin1String("{url}"), url);
        if (timeoutMs < 0) {
            QCOMPARE(urlFetchTimeoutMs(), 20000);
            setUrlFetchTimeoutMs(-timeoutMs);
        }
        QElapsedTimer clock;
        clock.start();
        const UrlFetchResult r = fetchUrl(url, timeoutMs < 0 ? 0 : timeoutMs, maxBytes);
        const qint64 elapsed = clock.elapsed();

        QCOMPARE(r.ok, error.isEmpty());
        QCOMPARE(r.data, body);
        if (error.endsWith(QLatin1String(": ")))
            QVERIFY2(r.error.startsWith(error) && r.error.endsWith(QLatin1Char('.')), qPrintable(r.error));
        else
            QCOMPARE(r.error, error);
        if (r.ok)
            QCOMPARE(r.finalUrl, m_server->url(finalPath));
        QVERIFY2(elapsed < 4000, qPrintable(QString::number(elapsed)));
        if (error.contains(QLatin1String("seconds")))
            QVERIFY2(elapsed >= qAbs(timeoutMs) * 9 / 10, qPrintable(QString::number(elapsed)));
    }

    // cancelAt: the observer asks to cancel on this call (0: never). calls: the fewest calls the
    // observer must have seen. last: received/total of the last call.
    void fetchUrl_observedAndLimited_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("totalLimitMs");
        QTest::addColumn<int>("cancelAt");
        QTest::addColumn<int>("calls");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("error");
        const QString cancelled = QStringLiteral("Loading {url} was cancelled.");
        QTest::addRow("whole body") << "/big" << 0 << 0 << 1 << "4096/4096" << "";
        // A byte every 100 ms never meets the silence limit; only the limit on the whole fetch ends it.
        QTest::addRow("drip feed") << "/drip" << 1500 << 0 << 1 << "" << "Loading {url} took longer than 1.5 seconds and was stopped.";
        // Nothing arrives: the observer is still asked, and can end the wait.
        QTest::addRow("cancel while silent") << "/silent" << 0 << 3 << 3 << "0/-1" << cancelled;
        QTest::addRow("cancel part way") << "/stall" << 0 << 3 << 3 << "6/1000" << cancelled;
    }
    void fetchUrl_observedAndLimited()
    {
        QFETCH(QString, path);
        QFETCH(int, totalLimitMs);
        QFETCH(int, cancelAt);
        QFETCH(int, calls);
        QFETCH(QString, last);
        QFETCH(QString, error);
        setUrlFetchTotalLimitMs(totalLimitMs);
        QCOMPARE(urlFetchTotalLimitMs(), totalLimitMs > 0 ? totalLimitMs : 120000);
        const QString url = m_server->url(path);
        int seen = 0;
        QString lastSeen;
        UrlFetchObserver observer;
        observer.progress = [&](qint64 received, qint64 total) {
            lastSeen = QStringLiteral("%1/%2").arg(received).arg(total);
            return ++seen != cancelAt;
        };
        const UrlFetchResult r = fetchUrl(url, observer, 800);
        QCOMPARE(r.error, QString(error).replace(QLatin1String("{url}"), url));
        QCOMPARE(r.ok, error.isEmpty());
        QVERIFY2(seen >= calls, qPrintable(QString::number(seen)));
        if (cancelAt)
            QCOMPARE(seen, cancelAt); // not asked again once it said no
        if (!last.isEmpty())
            QCOMPARE(lastSeen, last);
    }

    void fetchUrl_connectionRefused()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const QString url = QStringLiteral("http://127.0.0.1:%1/style.xsl").arg(closed.serverPort());
        closed.close();
        const UrlFetchResult r = fetchUrl(url, 5000);
        QVERIFY(!r.ok);
        QCOMPARE(r.error, QStringLiteral("Could not load %1: Connection refused.").arg(url));
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
        QTest::addRow("no host") << "http:///ok" << invalid;
        QTest::addRow("space in host") << "http://127.0.0 .1:{port}/ok" << invalid;
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
        QTest::qWait(50);
        QCOMPARE(m_server->requests(), QStringList());
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

    // A fetch started from a timer while another fetch waits must not disturb either; that the
    // timer fires at all shows timers keep running during the wait.
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
            inner = fetchUrl(m_server->url(QStringLiteral("/slow%1").arg(innerMs)), 5000);
            innerRan = true;
        });
        const QString outerUrl = m_server->url(QStringLiteral("/slow%1").arg(outerMs));
        const UrlFetchResult outer = fetchUrl(outerUrl, 5000);
        QVERIFY(innerRan);
        QVERIFY2(outer.ok, qPrintable(outer.error));
        QCOMPARE(outer.data, "slow " + QByteArray::number(outerMs));
        QCOMPARE(outer.finalUrl, outerUrl);
        QVERIFY2(inner.ok, qPrintable(inner.error));
        QCOMPARE(inner.data, "slow " + QByteArray::number(innerMs));
    }
};

ZENDRIK_TEST_MAIN(TstUrlFetch)
#include "tst_urlfetch.moc"
