#include "engine/urlfetch.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QFile>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

namespace {

const QByteArray kBody = "<xsl:stylesheet version=\"1.0\"/>";
const QString kTooLarge = QStringLiteral("The document at {url} is larger than %1, the most that can be opened.");

QByteArray found(const QByteArray &location)
{
    return "HTTP/1.0 302 Found\r\n" + location + "\r\n";
}

// address: a path on the test's server, or a whole address where "{port}" is the server's port
// and "{closed}" one nobody listens on. error: "{url}" stands for the address; one ending in
// ": " need only start the error. timeoutMs < 0: the program-wide setting becomes -timeoutMs.
struct FetchCase {
    QString address;
    int timeoutMs = 5000;
    qint64 maxBytes = 1 << 20;
    QByteArray body = {};
    QString error = {}, finalPath = {};
};
// cancelAt: the observer asks to cancel on this call (0: never). calls: the fewest calls the
// observer must have seen. last: received/total of the last call.
struct ObservedCase {
    QString path;
    int totalLimitMs, cancelAt, calls;
    QString last, error;
};
// name: the file in a temporary folder (empty: the folder itself, "gone.xsl": missing).
struct LocalCase {
    QString name, host;
    qint64 maxBytes;
    QString error; // empty when the read succeeds
};

} // namespace
Q_DECLARE_METATYPE(FetchCase)
Q_DECLARE_METATYPE(ObservedCase)
Q_DECLARE_METATYPE(LocalCase)

struct NestedCase {
    int outerMs;
    int innerMs;
};
Q_DECLARE_METATYPE(NestedCase)

class TstUrlFetch : public QObject
{
    Q_OBJECT

    TestHttpServer *m_server = nullptr;

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
        // A chain of six redirects that ends at /ok, starting at /chain6.
        for (int i = 1; i <= 6; ++i)
            m_server->redirect(QStringLiteral("/chain%1").arg(i), i == 1 ? QStringLiteral("/ok") : QStringLiteral("/chain%1").arg(i - 1));
        m_server->redirect("/loop", "/loop");
        m_server->redirect("/to404", "/nothing-here");
        m_server->redirect("/tosilent", "/silent");
        m_server->raw("/silent", {}, 0, false); // never answers
        m_server->raw("/relative", {found("Location: /ok\r\n")});
        m_server->raw("/nolocation", {found("")});
        m_server->raw("/ftp", {found("Location: ftp://127.0.0.1/ok\r\n")});
        // Without a Content-Length the body ends when the server closes.
        m_server->raw("/stream", {"HTTP/1.0 200 OK\r\n\r\n" + QByteArray(4096, 'x')});
        m_server->raw("/streammore", {"HTTP/1.0 200 OK\r\n\r\n" + QByteArray(4097, 'x')});
        m_server->raw("/trickle", {"HTTP/1.0 200 OK\r\n\r\n", "x", "x", "x", "x"}, 250);
        m_server->raw("/stall", {"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<root>"}, 0, false);
        m_server->raw("/gzip", {"HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\nContent-Encoding: gzip\r\n\r\n",
                                QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03garbage-not-deflate", 30)});
        for (int ms : {100, 700})
            m_server->raw(QStringLiteral("/slow%1").arg(ms), {"", "HTTP/1.0 200 OK\r\n\r\nslow " + QByteArray::number(ms)}, ms);
        m_server->drip("/drip", 100);
    }
    void cleanup()
    {
        delete m_server;
        setUrlFetchTimeoutMs(0);
        setUrlFetchTotalLimitMs(0);
    }

    void fetchUrl_byAddress_data()
    {
        QTest::addColumn<FetchCase>("c");
        QTest::addRow("body") << FetchCase{"/ok", 5000, 1 << 20, kBody, "", "/ok"};
        QTest::addRow("empty body") << FetchCase{"/empty", 5000, 1 << 20, "", "", "/empty"};
        QTest::addRow("relative redirect") << FetchCase{"/relative", 5000, 1 << 20, kBody, "", "/ok"};
        QTest::addRow("five redirects") << FetchCase{"/chain5", 5000, 1 << 20, kBody, "", "/ok"};
        QTest::addRow("announced body at the limit") << FetchCase{"/big", 5000, 4096, QByteArray(4096, 'x'), "", "/big"};
        QTest::addRow("streamed body at the limit") << FetchCase{"/stream", 5000, 4096, QByteArray(4096, 'x'), "", "/stream"};
        // Each pause is shorter than the limit, the whole body takes longer.
        QTest::addRow("slow but steady body") << FetchCase{"/trickle", 600, 1 << 20, "xxxx", "", "/trickle"};

        const QString notFound = QStringLiteral("The server answered 404 Not Found for {url}.");
        const QString noRedirect = QStringLiteral("The server answered 302 Found for {url} but did not redirect to an address that can be opened.");
        const QString silent = QStringLiteral("The server did not answer within 0.5 seconds while loading {url}.");
        const QString unsupported = QStringLiteral("Cannot open {url}: only http, https and file addresses are supported.");
        const QString invalid = QStringLiteral("\"{url}\" is not a valid address. Enter a full URL such as https://example.com/style.xsl.");
        QTest::addRow("404") << FetchCase{"/nothing-here", 5000, 1 << 20, {}, notFound};
        QTest::addRow("404 with an error page over the limit") << FetchCase{"/nothing-here", 5000, 4, {}, notFound};
        QTest::addRow("500") << FetchCase{"/error", 5000, 1 << 20, {}, "The server answered 500 Internal Server Error for {url}."};
        QTest::addRow("redirect to 404") << FetchCase{"/to404", 5000, 1 << 20, {}, notFound};
        QTest::addRow("redirect without location") << FetchCase{"/nolocation", 5000, 1 << 20, {}, noRedirect};
        QTest::addRow("redirect to ftp") << FetchCase{"/ftp", 5000, 1 << 20, {}, noRedirect};
        QTest::addRow("six redirects") << FetchCase{"/chain6", 5000, 1 << 20, {}, "Could not load {url}: "};
        QTest::addRow("redirect loop") << FetchCase{"/loop", 5000, 1 << 20, {}, "Could not load {url}: "};
        QTest::addRow("announced body over the limit") << FetchCase{"/bigger", 5000, 4096, {}, kTooLarge.arg("4 KB")};
        QTest::addRow("streamed body over the limit") << FetchCase{"/streammore", 5000, 4096, {}, kTooLarge.arg("4 KB")};
        QTest::addRow("silent server") << FetchCase{"/silent", 500, 1 << 20, {}, silent};
        QTest::addRow("redirect to a silent server") << FetchCase{"/tosilent", 500, 1 << 20, {}, silent};
        QTest::addRow("stalls mid-body") << FetchCase{"/stall", 500, 1 << 20, {}, "The server stopped sending data for 0.5 seconds while loading {url}."};
        QTest::addRow("program-wide timeout") << FetchCase{"/silent", -400, 1 << 20, {}, "The server did not answer within 0.4 seconds while loading {url}."};
        QTest::addRow("corrupt compressed answer") << FetchCase{"/gzip", 5000, 1 << 20, {}, "Could not load {url}: the server sent a compressed answer "
                                                                "that could not be unpacked (it is damaged, or it would unpack to far more than it claims)."};
        QTest::addRow("connection refused") << FetchCase{"http://127.0.0.1:{closed}/style.xsl", 5000, 1 << 20, {}, "Could not load {url}: Connection refused."};
        // Refused before anything goes over the network.
        QTest::addRow("ftp") << FetchCase{"ftp://127.0.0.1:{port}/ok", 5000, 1 << 20, {}, unsupported};
        QTest::addRow("mailto") << FetchCase{"mailto:someone@example.com", 5000, 1 << 20, {}, unsupported};
        QTest::addRow("no scheme") << FetchCase{"127.0.0.1:{port}/ok", 5000, 1 << 20, {}, invalid};
        QTest::addRow("no host") << FetchCase{"http:///ok", 5000, 1 << 20, {}, invalid};
        QTest::addRow("space in host") << FetchCase{"http://127.0.0 .1:{port}/ok", 5000, 1 << 20, {}, invalid};
        QTest::addRow("blank") << FetchCase{" \n", 5000, 1 << 20, {}, "No address was given. Enter a full URL such as https://example.com/style.xsl."};
    }
    void fetchUrl_byAddress()
    {
        QFETCH(FetchCase, c);
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = closed.serverPort();
        closed.close();
        const QString url = c.address.startsWith('/') ? m_server->url(c.address)
            : QString(c.address).replace("{port}", QString::number(m_server->port())).replace("{closed}", QString::number(closedPort));
        if (c.timeoutMs < 0) {
            QCOMPARE(urlFetchTimeoutMs(), 20000);
            setUrlFetchTimeoutMs(-c.timeoutMs);
        }
        const UrlFetchResult r = ::fetchUrl(url, c.timeoutMs < 0 ? 0 : c.timeoutMs, c.maxBytes);
        const QString error = c.error.replace("{url}", url.trimmed());
        QCOMPARE(r.ok, error.isEmpty());
        QCOMPARE(r.data, c.body);
        if (error.endsWith(QLatin1String(": ")))
            QVERIFY2(r.error.startsWith(error) && r.error.endsWith(QLatin1Char('.')), qPrintable(r.error));
        else
            QCOMPARE(r.error, error);
        if (r.ok)
            QCOMPARE(r.finalUrl, m_server->url(c.finalPath));
        if (!c.address.startsWith('/'))
            QCOMPARE(m_server->requests(), QStringList());
    }

    void fetchUrl_observedAndLimited_data()
    {
        QTest::addColumn<ObservedCase>("c");
        const QString cancelled = QStringLiteral("Loading {url} was cancelled.");
        QTest::addRow("whole body") << ObservedCase{"/big", 0, 0, 1, "4096/4096", ""};
        // A byte every 100 ms never meets the silence limit; only the limit on the whole fetch ends it.
        QTest::addRow("drip feed") << ObservedCase{"/drip", 1500, 0, 1, "", "Loading {url} took longer than 1.5 seconds and was stopped."};
        // Nothing arrives: the observer is still asked, and can end the wait.
        QTest::addRow("cancel while silent") << ObservedCase{"/silent", 0, 3, 3, "0/-1", cancelled};
        QTest::addRow("cancel part way") << ObservedCase{"/stall", 0, 3, 3, "6/1000", cancelled};
    }
    void fetchUrl_observedAndLimited()
    {
        QFETCH(ObservedCase, c);
        setUrlFetchTotalLimitMs(c.totalLimitMs);
        QCOMPARE(urlFetchTotalLimitMs(), c.totalLimitMs > 0 ? c.totalLimitMs : 120000);
        const QString url = m_server->url(c.path);
        int seen = 0;
        QString lastSeen;
        UrlFetchObserver observer;
        observer.progress = [&](qint64 received, qint64 total) {
            lastSeen = QStringLiteral("%1/%2").arg(received).arg(total);
            return ++seen != c.cancelAt;
        };
        const UrlFetchResult r = ::fetchUrl(url, observer, 800);
        QCOMPARE(r.error, c.error.replace(QLatin1String("{url}"), url));
        QCOMPARE(r.ok, c.error.isEmpty());
        QVERIFY2(seen >= c.calls, qPrintable(QString::number(seen)));
        if (c.cancelAt)
            QCOMPARE(seen, c.cancelAt); // not asked again once it said no
        if (!c.last.isEmpty())
            QCOMPARE(lastSeen, c.last);
    }

    void fetchUrl_localFile_data()
    {
        QTest::addColumn<LocalCase>("c");
        QTest::addRow("document") << LocalCase{"style.xsl", "", 4096, ""};
        QTest::addRow("localhost") << LocalCase{"style.xsl", "localhost", 4096, ""};
        QTest::addRow("space and accent") << LocalCase{"my stylé.xsl", "", 4096, ""};
        QTest::addRow("missing") << LocalCase{"gone.xsl", "", 4096, "Could not read {url}: No such file or directory."};
        QTest::addRow("folder") << LocalCase{"", "", 4096, "Cannot open {url}: it is not a document file."};
        QTest::addRow("over the limit") << LocalCase{"style.xsl", "", 10, kTooLarge.arg("10 bytes")};
        QTest::addRow("other computer") << LocalCase{"style.xsl", "fileserver", 4096, "Cannot open {url}: only files on this computer can be "
                                                     "opened, and this address names the computer \"fileserver\"."};
    }
    void fetchUrl_localFile()
    {
        QFETCH(LocalCase, c);
        QTemporaryDir dir;
        QFile file(dir.filePath(c.name));
        if (!c.name.isEmpty() && c.name != QLatin1String("gone.xsl"))
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(kBody) == kBody.size());
        file.close();
        QUrl u = QUrl::fromLocalFile(c.name.isEmpty() ? dir.path() : dir.filePath(c.name));
        u.setHost(c.host);
        const QString url = u.toString(QUrl::FullyEncoded);
        const UrlFetchResult r = ::fetchUrl(url, 5000, c.maxBytes);
        QCOMPARE(r.error, c.error.replace(QLatin1String("{url}"), url));
        QCOMPARE(r.ok, c.error.isEmpty());
        QCOMPARE(r.data, r.ok ? kBody : QByteArray());
        if (r.ok)
            QCOMPARE(r.finalUrl, QUrl::fromLocalFile(file.fileName()).toString(QUrl::FullyEncoded));
    }

    // A fetch started from a timer while another fetch waits must not disturb either; that the
    // timer fires at all shows timers keep running during the wait.
    void fetchUrl_nested_data()
    {
        QTest::addColumn<NestedCase>("c");
        QTest::addRow("inner finishes first") << NestedCase{700, 100};
        QTest::addRow("outer finishes during inner") << NestedCase{100, 700};
    }
    void fetchUrl_nested()
    {
        QFETCH(NestedCase, c);
        auto [outerMs, innerMs] = c;
        UrlFetchResult inner;
        QTimer::singleShot(20, this, [&] { inner = ::fetchUrl(m_server->url(QStringLiteral("/slow%1").arg(innerMs)), 5000); });
        const QString outerUrl = m_server->url(QStringLiteral("/slow%1").arg(outerMs));
        const UrlFetchResult outer = ::fetchUrl(outerUrl, 5000);
        QVERIFY2(outer.ok && inner.ok, qPrintable(outer.error + inner.error));
        QCOMPARE(outer.data + "|" + inner.data, "slow " + QByteArray::number(outerMs) + "|slow " + QByteArray::number(innerMs));
        QCOMPARE(outer.finalUrl, outerUrl);
    }
};

ZENDRIK_TEST_MAIN(TstUrlFetch)
#include "tst_urlfetch.moc"
