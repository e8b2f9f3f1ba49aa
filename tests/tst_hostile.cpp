// Hostile documents, stylesheets, pages and servers: what they may read, how much they may say,
// what they may make the program wait for. Grouped by the kind of attack.
#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "document/documentwindow.h"
#include "document/livepreview.h"
#include "document/previewguard.h"
#include "engine/previewpipeline.h"
#include "engine/urlfetch.h"
#include "engine/xmldocument.h"
#include "platform/dialogs.h"
#include "support/appfixture.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <memory>
#include <sys/stat.h>

using testenv::writeFile;

namespace {

const QString kXslHead = QStringLiteral("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">");
const QString kCopyAll = kXslHead + QStringLiteral("<xsl:template match=\"/\"><out><xsl:copy-of select=\"/\"/></out></xsl:template></xsl:stylesheet>");
const QByteArray kSecret = "TOP-SECRET-LINE";

// Transforms source (with base sourceBase) by stylesheet (with base styleBase); returns the
// result, or the error text prefixed with "ERROR: ".
QString transform(const QString &stylesheet, const QString &styleBase, const QString &source, const QString &sourceBase)
{
    XmlDocument xsl, xml;
    if (!xsl.loadXML(stylesheet, styleBase))
        return QStringLiteral("ERROR: stylesheet: ") + xsl.parseError().reason;
    if (!xml.loadXML(source, sourceBase))
        return QStringLiteral("ERROR: source: ") + xml.parseError().reason;
    QString result;
    if (!xsl.transformNode(xml, &result))
        return QStringLiteral("ERROR: ") + xsl.parseError().reason;
    return result;
}

// Entities nested ten deep: name(i) repeats name(i-1) ten times, the innermost being inner.
QByteArray nestedEntities(const QByteArray &inner, const QByteArray &use)
{
    QByteArray doc = "<!DOCTYPE r [<!ENTITY l0 \"" + inner + "\">";
    for (int i = 1; i < 10; ++i)
        doc += "<!ENTITY l" + QByteArray::number(i) + " \"" + ("&l" + QByteArray::number(i - 1) + ";").repeated(10) + "\">";
    return doc + "]>" + use;
}

// source: "{secret}" and "{fifo}" stand for the files of the test's folder. expected: in the
// result, or "ERROR" for a refused read.
struct EntityCase {
    QString source;
    bool fromNetwork;
    QString expected;
};
// url: "{root}" stands for the test's folder, as it appears in a file: URL.
struct GuardCase {
    QString url;
    bool allowed;
};
// path: "{root}" stands for the test's folder; folder: the expected folder below it, or "-" for none.
struct FolderCase {
    QString path, folder;
};


const QByteArray kBody = "<xsl:stylesheet version=\"1.0\"/>";
const QString kTooLarge = QStringLiteral("The document at {url} is larger than %1, the most that can be opened.");


QByteArray found(const QByteArray &location)
{
    return "HTTP/1.0 302 Found\r\n" + location + "\r\n";
}

// A row of tests/data/fetch.txt.
struct FetchCase {
    QString address;
    int timeoutMs;
    qint64 maxBytes;
    QByteArray body;
    QString error, finalPath;
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
Q_DECLARE_METATYPE(EntityCase)
Q_DECLARE_METATYPE(GuardCase)
Q_DECLARE_METATYPE(FolderCase)
Q_DECLARE_METATYPE(FetchCase)
Q_DECLARE_METATYPE(ObservedCase)
Q_DECLARE_METATYPE(LocalCase)

struct NestedCase {
    int outerMs;
    int innerMs;
};
Q_DECLARE_METATYPE(NestedCase)

class TstHostile : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root; // canonical
    TestHttpServer *m_server = nullptr;

    QString path(const QString &name) const { return m_root + '/' + name; }
    QString fileUrl(const QString &name) const { return QUrl::fromLocalFile(path(name)).toString(); }
    QString expand(QString text) const
    {
        return text.replace("{root}", m_root).replace("{secret}", fileUrl("secret.txt")).replace("{fifo}", path("pipe"));
    }

private slots:
    void initTestCase()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_root = QFileInfo(m_dir->path()).canonicalFilePath();
        QVERIFY(writeFile(path("secret.txt"), kSecret));
        QVERIFY(writeFile(path("chapter.xml"), "<chapter>Chapter text</chapter>"));
        QVERIFY(writeFile(path("defs.dtd"), "<!ENTITY product \"Zendrik\">"));
        QCOMPARE(::mkfifo(QFile::encodeName(path("pipe")).constData(), 0600), 0);
        for (const char *name : {"style/style.xsl", "style/pic.png", "style/sub/deep.css", "data/src.xml", "data/my file.png",
                                 "data/caf\u00e9.png", "outside/secret.txt", "stylex/evil.txt", "page.xml", "other-page.xml"})
            QVERIFY(writeFile(path(QString::fromUtf8(name)), "x"));
        QVERIFY(QFile::link(path("outside/secret.txt"), path("style/link-out")));
        QVERIFY(QFile::link(path("outside"), path("style/dirlink")));
        QVERIFY(QFile::link(path("style"), path("linked-style")));
        // A proxy from the environment would take the requests away from our own server.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }
    void cleanupTestCase() { m_dir.reset(); }
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

    // ---- External entities and DTDs follow the document's origin.

    void entities_followOrigin_data()
    {
        QTest::addColumn<EntityCase>("c");
        const QString secretEntity = QStringLiteral("<!DOCTYPE r [<!ENTITY x SYSTEM \"%1\">]><r>&x;</r>");
        const QString internal = QStringLiteral("<!DOCTYPE r [<!ENTITY p \"inline\">]><r>&p;</r>");
        QTest::addRow("network document, absolute local file") << EntityCase{secretEntity.arg("{secret}"), true, "ERROR"};
        QTest::addRow("network document, plain path") << EntityCase{secretEntity.arg("{root}/secret.txt"), true, "ERROR"};
        QTest::addRow("network document, relative entity") << EntityCase{secretEntity.arg("secret.txt"), true, "ERROR"};
        QTest::addRow("network document, external DTD") << EntityCase{"<!DOCTYPE r SYSTEM \"file://{root}/defs.dtd\"><r>&product;</r>", true, "ERROR"};
        QTest::addRow("network document, internal entity") << EntityCase{internal, true, "<r>inline</r>"};
        QTest::addRow("local document, chapter entity") << EntityCase{"<!DOCTYPE r [<!ENTITY ch SYSTEM \"chapter.xml\">]><r>&ch;</r>", false,
                                                                      "<chapter>Chapter text</chapter>"};
        QTest::addRow("local document, external DTD") << EntityCase{"<!DOCTYPE r SYSTEM \"defs.dtd\"><r>&product;</r>", false, "<r>Zendrik</r>"};
        QTest::addRow("local document, internal entity") << EntityCase{internal, false, "<r>inline</r>"};
        QTest::addRow("local document, pipe entity") << EntityCase{secretEntity.arg("{fifo}"), false, "ERROR"};
        QTest::addRow("local document, device entity") << EntityCase{secretEntity.arg("/dev/zero"), false, "ERROR"};
        QTest::addRow("local document, network entity") << EntityCase{secretEntity.arg("http://127.0.0.1:9/x.txt"), false, "ERROR"};
    }
    void entities_followOrigin()
    {
        QFETCH(EntityCase, c);
        const QString base = c.fromNetwork ? QStringLiteral("http://127.0.0.1:9/docs/source.xml") : path("source.xml");
        const QString result = transform(kCopyAll, path("style.xsl"), expand(c.source), base);
        QVERIFY2(!result.contains(QString::fromLatin1(kSecret)), qPrintable(result));
        QVERIFY2(result.contains(c.expected), qPrintable(result));
        if (c.expected == QLatin1String("ERROR"))
            QVERIFY2(result.contains(QLatin1String("was not read")) || result.contains(QLatin1String("not defined")), qPrintable(result));
    }

    void stylesheetFromNetwork_readsNoLocalFile()
    {
        const QString style = QStringLiteral("<!DOCTYPE xsl:stylesheet [<!ENTITY s SYSTEM \"%1\">]>").arg(fileUrl("secret.txt")) + kXslHead
                              + QStringLiteral("<xsl:template match=\"/\"><o>&s;|<xsl:copy-of select=\"document('%1')\"/></o></xsl:template></xsl:stylesheet>")
                                    .arg(fileUrl("chapter.xml"));
        const QString result = transform(style, QStringLiteral("http://127.0.0.1:9/s.xsl"), QStringLiteral("<r/>"), path("source.xml"));
        QVERIFY2(result.startsWith(QLatin1String("ERROR")) && !result.contains(QString::fromLatin1(kSecret)), qPrintable(result));
    }

    void stylesheetFromNetwork_readsItsOwnServerOnly()
    {
        TestHttpServer server, other;
        other.serve("/elsewhere.xml", "<elsewhere/>");
        server.serve("/xsl/main.xsl", (kXslHead + QStringLiteral("<xsl:import href=\"base.xsl\"/><xsl:include href=\"inc/part.xsl\"/>"
                                                                 "<xsl:template match=\"/\"><o><xsl:call-template name=\"part\"/><xsl:call-template name=\"base\"/>"
                                                                 "<xsl:copy-of select=\"document('data.xml')\"/></o></xsl:template></xsl:stylesheet>")).toUtf8());
        server.serve("/xsl/base.xsl", (kXslHead + QStringLiteral("<xsl:template name=\"base\"><b/></xsl:template></xsl:stylesheet>")).toUtf8());
        server.serve("/xsl/inc/part.xsl", (kXslHead + QStringLiteral("<xsl:template name=\"part\"><p/></xsl:template></xsl:stylesheet>")).toUtf8());
        server.serve("/xsl/data.xml", "<data>from the server</data>");
        server.redirect("/xsl/away.xml", other.url("/elsewhere.xml"));

        const UrlFetchResult main = fetchUrl(server.url("/xsl/main.xsl"));
        QVERIFY2(main.ok, qPrintable(main.error));
        const QString result = transform(QString::fromUtf8(main.data), main.finalUrl, QStringLiteral("<r/>"), path("source.xml"));
        QCOMPARE(result.section(QLatin1Char('\n'), 1).trimmed(), QStringLiteral("<o><p/><b/><data>from the server</data></o>"));

        // Another server, a redirect to it, and local files stay out of reach.
        for (const QString &target : {other.url("/elsewhere.xml"), QStringLiteral("away.xml"), fileUrl("chapter.xml")}) {
            const QString style = kXslHead + QStringLiteral("<xsl:template match=\"/\"><o><xsl:copy-of select=\"document('%1')\"/></o></xsl:template></xsl:stylesheet>").arg(target);
            const QString refused = transform(style, main.finalUrl, QStringLiteral("<r/>"), path("source.xml"));
            QVERIFY2(!refused.contains(QLatin1String("<elsewhere")) && !refused.contains(QLatin1String("Chapter text")), qPrintable(refused));
            QVERIFY2(refused.contains(QLatin1String("refused")), qPrintable(refused));
        }
        QVERIFY2(other.requests().isEmpty(), qPrintable(other.requests().join(QLatin1Char(','))));
    }

    // ---- Every hop is checked before it is taken: a redirect to another server is refused
    // before that server hears of it, and the message names both addresses.

    // use: what the stylesheet on its server does with "away", an address there that redirects.
    void redirects_checkedBeforeFollowed_data()
    {
        QTest::addColumn<QString>("use");
        QTest::addColumn<bool>("sameServer"); // the redirect stays on the stylesheet's server
        const QString read = QStringLiteral("<xsl:template match=\"/\"><o><xsl:copy-of select=\"document('away')//t\"/></o></xsl:template>");
        const QString include = QStringLiteral("<xsl:include href=\"away\"/><xsl:template match=\"/\"><o><xsl:call-template name=\"t\"/></o></xsl:template>");
        const QString import = QString(include).replace("include", "import");
        for (const bool same : {false, true}) {
            const char *where = same ? "same server" : "other server";
            QTest::addRow("document(), %s", where) << read << same;
            QTest::addRow("xsl:include, %s", where) << include << same;
            QTest::addRow("xsl:import, %s", where) << import << same;
        }
    }
    void redirects_checkedBeforeFollowed()
    {
        QFETCH(QString, use);
        QFETCH(bool, sameServer);
        TestHttpServer server, other;
        const QByteArray target = (kXslHead + QStringLiteral("<xsl:template name=\"t\"><t>moved</t></xsl:template></xsl:stylesheet>")).toUtf8();
        server.serve("/xsl/target.xsl", target);
        other.serve("/xsl/target.xsl", target);
        server.redirect("/xsl/away", (sameServer ? server : other).url("/xsl/target.xsl"));
        server.serve("/xsl/main.xsl", (kXslHead + use + QStringLiteral("</xsl:stylesheet>")).toUtf8());
        const UrlFetchResult main = fetchUrl(server.url("/xsl/main.xsl"));
        QVERIFY2(main.ok, qPrintable(main.error));
        const QString result = transform(QString::fromUtf8(main.data), main.finalUrl, QStringLiteral("<r/>"), path("source.xml"));
        if (sameServer) {
            QVERIFY2(result.contains(QLatin1String("moved</t></o>")), qPrintable(result));
        } else {
            QVERIFY2(result.startsWith(QLatin1String("ERROR")) && result.contains(server.url("/xsl/away"))
                         && result.contains(other.url("/xsl/target.xsl")),
                     qPrintable(result));
        }
        QCOMPARE(other.requests(), QStringList());
    }

    // The check the caller passes sees every hop, and a hop it refuses is not taken.
    void fetchUrl_redirectCheckedBeforeFollowed()
    {
        TestHttpServer other;
        other.serve("/ok", kBody);
        m_server->redirect("/out", "/away");
        m_server->redirect("/away", other.url("/ok"));
        QStringList hops;
        UrlFetchObserver sameServer;
        sameServer.redirectAllowed = [&](const QString &to) {
            hops << to;
            return QUrl(to).port() == m_server->port();
        };
        const UrlFetchResult within = ::fetchUrl(m_server->url("/chain2"), sameServer);
        QVERIFY2(within.ok && within.data == kBody, qPrintable(within.error));
        QCOMPARE(hops, QStringList({m_server->url("/chain1"), m_server->url("/ok")}));
        hops.clear();
        const UrlFetchResult refused = ::fetchUrl(m_server->url("/out"), sameServer);
        QVERIFY(!refused.ok && refused.data.isEmpty());
        QCOMPARE(refused.error, QStringLiteral("%1 was not loaded: the server sent it on to %2, which may not be read from here.")
                                    .arg(m_server->url("/out"), other.url("/ok")));
        QCOMPARE(refused.refusedRedirect, other.url("/ok"));
        QCOMPARE(hops, QStringList({m_server->url("/away"), other.url("/ok")}));
        QCOMPARE(other.requests(), QStringList());
    }

    // ---- A document from the network reads no DTD: it is parsed without one, not refused.

    // document: on the test's server, beside r.dtd, which declares the entity "product". It is the
    // stylesheet or the source of a preview; the other one is local. expected: in the page, or
    // "ERROR:" and a part of the error.
    void urlDocument_parsedWithoutItsDtd_data()
    {
        QTest::addColumn<bool>("isStylesheet");
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("expected");
        const QString docbook = QStringLiteral("<!DOCTYPE article PUBLIC \"-//OASIS//DTD DocBook XML V4.5//EN\" "
                                               "\"http://www.oasis-open.org/docbook/xml/4.5/docbookx.dtd\">\n"
                                               "<article><title>Notes</title><para>%1</para></article>");
        const QString style = QStringLiteral("<!DOCTYPE xsl:stylesheet SYSTEM \"r.dtd\">") + kXslHead
                              + QStringLiteral("<xsl:output method=\"text\"/><xsl:template match=\"/\">%1</xsl:template></xsl:stylesheet>");
        QTest::addRow("docbook article") << false << docbook.arg("Pages 3 to 7") << "NotesPages 3 to 7";
        QTest::addRow("docbook article, entity of its DTD") << false << docbook.arg("Pages 3&ndash;7") << "ERROR:Entity 'ndash' not defined";
        QTest::addRow("source, DTD beside it") << false << "<!DOCTYPE r SYSTEM \"r.dtd\"><r>plain</r>" << "plain";
        QTest::addRow("source, entity of its DTD") << false << "<!DOCTYPE r SYSTEM \"r.dtd\"><r>&product;</r>" << "ERROR:Entity 'product' not defined";
        QTest::addRow("stylesheet, DTD beside it") << true << style.arg("styled") << "styled";
        QTest::addRow("stylesheet, entity of its DTD") << true << style.arg("&product;") << "ERROR:Entity 'product' not defined";
    }
    void urlDocument_parsedWithoutItsDtd()
    {
        QFETCH(bool, isStylesheet);
        QFETCH(QString, document);
        QFETCH(QString, expected);
        m_server->serve("/docs/r.dtd", "<!ENTITY product \"Zendrik\">");
        m_server->serve("/docs/doc.xml", document.toUtf8());
        const UrlFetchResult fetched = fetchUrl(m_server->url("/docs/doc.xml"));
        QVERIFY2(fetched.ok, qPrintable(fetched.error));
        preview::Input input{kXslHead.toUtf8() + "<xsl:output method=\"text\"/><xsl:template match=\"/\"><xsl:value-of select=\".\"/></xsl:template></xsl:stylesheet>",
                             path("style.xsl"), fetched.data, fetched.finalUrl, {}};
        if (isStylesheet) {
            std::swap(input.stylesheet, input.source);
            std::swap(input.stylesheetBase, input.sourceBase);
            input.source = "<r/>";
        }
        for (const preview::Target target : {preview::Target::Browser, preview::Target::Check}) {
            if (target == preview::Target::Check && !isStylesheet)
                continue;
            const preview::Result r = preview::build(input, target);
            QVERIFY2(!r.text.contains(QLatin1String("was not read")), qPrintable(r.text));
            if (expected.startsWith(QLatin1String("ERROR:"))) {
                QVERIFY2(!r.ok && r.text.contains(expected.mid(6)), qPrintable(r.text));
            } else {
                QVERIFY2(r.ok, qPrintable(r.title() + ": " + r.text));
                if (target == preview::Target::Browser)
                    QCOMPARE(QString::fromUtf8(r.page), expected);
            }
        }
        QCOMPARE(m_server->requests(), QStringList{"/docs/doc.xml"});
    }

    // ---- Input that would take all memory or time: refused with a reason.

    void hostileInput_refused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("entity bomb") << nestedEntities("lol", "<r>&l9;</r>");
        QTest::addRow("deep nesting") << QByteArray("<a>").repeated(10000);
        QTest::addRow("binary") << QByteArray("\0\x01\xff\xfe<\0a\x80\x81", 10);
    }
    void hostileInput_refused()
    {
        QFETCH(QByteArray, bytes);
        XmlDocument doc;
        QVERIFY(!doc.loadBytes(bytes));
        QVERIFY(!doc.loadXML(QString::fromUtf8(bytes)));
        QVERIFY(doc.parseError().code != 0 && !doc.parseError().reason.isEmpty());
    }

    // ---- Error storms: bounded reports, boxes that fit the screen.

    void errorStorm_reportIsBounded()
    {
        // Every expansion of the nested entities repeats the error of the undefined innermost one.
        XmlDocument doc;
        QVERIFY(!doc.loadBytes(nestedEntities("&u;", "<r x=\"&l9;\"/>")));
        const QString reason = doc.parseError().reason;
        QVERIFY2(reason.count(QLatin1Char('\n')) <= 20, qPrintable(QString::number(reason.count(QLatin1Char('\n')))));
        QVERIFY(reason.size() <= 64 * 1024);
        QCOMPARE(reason.section(QLatin1Char('\n'), 0, 0), QStringLiteral("Entity 'u' not defined"));

        // A transformation's messages are bounded too: a thousand distinct xsl:messages.
        const QString chatty = kXslHead + QStringLiteral("<xsl:template match=\"/\"><xsl:call-template name=\"n\"/></xsl:template>"
                                                         "<xsl:template name=\"n\"><xsl:param name=\"i\" select=\"1\"/>"
                                                         "<xsl:message>message <xsl:value-of select=\"$i\"/></xsl:message>"
                                                         "<xsl:if test=\"$i &lt; 1000\"><xsl:call-template name=\"n\"><xsl:with-param name=\"i\" select=\"$i + 1\"/></xsl:call-template></xsl:if>"
                                                         "<xsl:if test=\"$i = 1000\"><xsl:message terminate=\"yes\">done</xsl:message></xsl:if>"
                                                         "</xsl:template></xsl:stylesheet>");
        const QString failed = transform(chatty, path("s.xsl"), QStringLiteral("<r/>"), path("r.xml"));
        QVERIFY(failed.startsWith(QLatin1String("ERROR")));
        QVERIFY2(failed.count(QLatin1Char('\n')) <= 21, qPrintable(QString::number(failed.count(QLatin1Char('\n')))));
    }

    void longMessage_boxFitsTheScreen()
    {
        QString text;
        for (int i = 0; i < 5000; ++i)
            text += QStringLiteral("Line %1 of a very long report\n").arg(i);
        text += QString(5000, QLatin1Char('x'));
        QSize shownSize;
        QString detail, shownText;
        QTimer::singleShot(0, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            shownSize = box->sizeHint();
            detail = box->detailedText();
            shownText = box->text();
            box->accept();
        });
        dialogs().messageBox(nullptr, text, QMessageBox::Critical, QMessageBox::Ok, QStringLiteral("Error"));
        const QRect screen = QApplication::primaryScreen()->availableGeometry();
        QVERIFY2(shownSize.height() <= screen.height() && shownSize.width() <= screen.width(),
                 qPrintable(QStringLiteral("%1x%2").arg(shownSize.width()).arg(shownSize.height())));
        QCOMPARE(detail, text);
        QVERIFY(shownText.startsWith(QLatin1String("Line 0 of a very long report\nLine 1")));
    }

    // ---- Special files: refused with the path named, never waited on.

    void specialFiles_refused_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addRow("pipe") << "{fifo}";
        QTest::addRow("zero device") << "/dev/zero";
        QTest::addRow("standard input") << "/dev/stdin";
    }
    void specialFiles_refused()
    {
        QFETCH(QString, target);
        target = expand(target);
        XmlDocument doc;
        QVERIFY(!doc.load(target));
        QVERIFY2(doc.parseError().reason.contains(target) && doc.parseError().reason.contains("not a document file"),
                 qPrintable(doc.parseError().reason));
        for (const QString &use : {QStringLiteral("<xsl:include href=\"%1\"/><xsl:template match=\"/\"><o/></xsl:template>"),
                                   QStringLiteral("<xsl:template match=\"/\"><o><xsl:copy-of select=\"document('%1')\"/></o></xsl:template>")}) {
            const QString result = transform(kXslHead + use.arg(QUrl::fromLocalFile(target).toString()) + QStringLiteral("</xsl:stylesheet>"),
                                             path("s.xsl"), QStringLiteral("<r/>"), path("r.xml"));
            QVERIFY2(result.contains(QLatin1String("not a document file")), qPrintable(result));
        }
    }

    // ---- What opens must save: the same limits everywhere, and every save read back.

    void largeDocument_opensPreviewsAndSaves()
    {
        // A text node over libxml2's 10 MB limit and nesting over its 256 levels.
        const QByteArray big = kXslHead.toUtf8() + "<xsl:template match=\"/\"><o><xsl:text>" + QByteArray(11 * 1024 * 1024, 'x')
                               + "</xsl:text>" + QByteArray("<d>").repeated(300) + QByteArray("</d>").repeated(300)
                               + "</o></xsl:template></xsl:stylesheet>";
        QVERIFY(writeFile(path("big.xsl"), big));
        XmlDocument opened, edited, source;
        QVERIFY2(opened.load(path("big.xsl")), qPrintable(opened.parseError().reason));
        QVERIFY2(edited.loadXMLUtf8(opened.xml().toUtf8(), path("big.xsl")), qPrintable(edited.parseError().reason));
        QVERIFY(source.loadXML(QStringLiteral("<r/>")));
        QByteArray result;
        QVERIFY2(edited.transformNodeToBytes(source, &result), qPrintable(edited.parseError().reason));
        QVERIFY(result.size() > 11 * 1024 * 1024);
        QString error;
        QVERIFY2(edited.save(path("big-saved.xsl"), &error), qPrintable(error));
        QVERIFY(QFileInfo(path("big-saved.xsl")).size() > 11 * 1024 * 1024);

        // Raised limits never come with entities, whose expansion they would leave unbounded.
        XmlDocument withEntities;
        QVERIFY(!withEntities.loadXMLUtf8("<!DOCTYPE r [<!ENTITY e \"x\">]><r>" + QByteArray(11 * 1024 * 1024, 'x') + "</r>"));
        QVERIFY2(withEntities.parseError().reason.contains(QLatin1String("declares entities")), qPrintable(withEntities.parseError().reason.left(300)));
    }

    void save_neverWritesWhatCannotReopen()
    {
        XmlDocument doc, reopened;
        QVERIFY(doc.loadXML(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-7\"?>\n<a>caf\u00e9 &amp; more</a>")));
        QString error;
        QVERIFY2(doc.save(path("utf7.xml"), &error), qPrintable(error));
        QVERIFY2(reopened.load(path("utf7.xml")), qPrintable(reopened.parseError().reason));
        QVERIFY(reopened.xml().contains(QStringLiteral("caf\u00e9 &amp; more")));
        QFile saved(path("utf7.xml"));
        QVERIFY(saved.open(QIODevice::ReadOnly) && saved.readAll().startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    }

    // ---- The Preview tab's page: only its own file, the two documents' folders and content that
    // never leaves the program.

    void previewGuard_allows_data()
    {
        QTest::addColumn<GuardCase>("c");
        for (const QStringList &row : testenv::table(TEST_DATA_DIR "/preview-guard.txt"))
            QTest::addRow("%s", qPrintable(row[0])) << GuardCase{row[1], row[2] == "yes"};
    }
    void previewGuard_allows()
    {
        QFETCH(GuardCase, c);
        const QStringList folders{PreviewGuard::folderOf(path("style/style.xsl")), PreviewGuard::folderOf(path("data/src.xml"))};
        const QUrl url(expand(c.url));
        QVERIFY2(url.isValid(), qPrintable(url.errorString()));
        QCOMPARE(PreviewGuard::allows(url, folders, path("page.xml")), c.allowed);
    }

    void previewGuard_folderOf_data()
    {
        QTest::addColumn<FolderCase>("c");
        QTest::addRow("file") << FolderCase{"{root}/style/style.xsl", "/style"};
        QTest::addRow("through a linked folder") << FolderCase{"{root}/linked-style/style.xsl", "/style"};
        QTest::addRow("with ..") << FolderCase{"{root}/data/../style/style.xsl", "/style"};
        QTest::addRow("from the web") << FolderCase{"http://127.0.0.1:8080/style.xsl", "-"};
        QTest::addRow("file address") << FolderCase{"file://{root}/style/style.xsl", "-"};
        QTest::addRow("typed into the window") << FolderCase{"", "-"};
        QTest::addRow("folder gone") << FolderCase{"{root}/gone/style.xsl", "-"};
    }
    void previewGuard_folderOf()
    {
        QFETCH(FolderCase, c);
        QCOMPARE(PreviewGuard::folderOf(expand(c.path)), c.folder == "-" ? QString() : m_root + c.folder);
    }

    void previewGuard_scopeKeepsEachFolderOnceAndOnlyLocalOnes()
    {
        PreviewGuard guard;
        guard.setScope({path("style/style.xsl"), path("linked-style/x.xml"), "https://example.com/s.xml", ""}, path("page.xml"));
        QCOMPARE(guard.folders(), QStringList{path("style")});
        guard.setScope({"", path("data/src.xml")}, path("page.xml"));
        QCOMPARE(guard.folders(), QStringList{path("data")});
    }

    // With scripts on, a page can still open no connection of its own: the web engine sends
    // WebRTC and WebTransport traffic itself, past the guard, so a listener on this computer
    // stands in for the world.
    void previewScripts_openNoConnections_data()
    {
        QTest::addColumn<bool>("live");
        QTest::addRow("Preview tab") << false;
        QTest::addRow("live pane") << true;
    }
    void previewScripts_openNoConnections()
    {
        QFETCH(bool, live);
        QUdpSocket udp;
        QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
        QTcpServer tcp;
        QVERIFY(tcp.listen(QHostAddress::LocalHost, 0));
        QByteArray received;
        connect(&udp, &QUdpSocket::readyRead, &udp, [&] {
            while (udp.hasPendingDatagrams())
                received += "udp: " + udp.receiveDatagram().data() + '\n';
        });
        connect(&tcp, &QTcpServer::newConnection, &tcp, [&] {
            while (QTcpSocket *s = tcp.nextPendingConnection()) {
                received += "tcp connection\n";
                connect(s, &QTcpSocket::readyRead, s, [&received, s] { received += "tcp: " + s->readAll() + '\n'; });
            }
        });
        QFile page(TEST_DATA_DIR "/connecting-page.xsl");
        QVERIFY(page.open(QIODevice::ReadOnly));
        QString xslt = QString::fromUtf8(page.readAll());
        xslt.replace("{secret}", QUrl::fromLocalFile(path("style/beside.txt")).toString())
            .replace("{udp}", QString::number(udp.localPort()))
            .replace("{tcp}", QString::number(tcp.serverPort()));
        QVERIFY(writeFile(path("style/connecting.xsl"), xslt.toUtf8()));
        QVERIFY(writeFile(path("style/beside.txt"), kSecret));
        QVERIFY(writeFile(path("data/connecting.xml"), "<r/>"));

        fixture::Session session;
        QVERIFY(session.start());
        const auto stop = qScopeGuard([&] { session.stop(); });
        fixture::writeSettings("Options", {{"RunPreviewScripts", "1"}});
        DocumentWindow *doc = fixture::newDocument(session.main);
        QVERIFY(doc->loadXSLTFile(path("style/connecting.xsl")));
        doc->loadXMLFile(path("data/connecting.xml"));
        QWebEngineView *view = previewView(doc);
        if (live) {
            session.main->menuItem("mnuLivePreview")->trigger();
            QVERIFY(doc->livePane());
            view = doc->livePane()->view();
        } else {
            pageTabs(doc)->setCurrentIndex(2);
        }
        QVERIFY2(session.fake->calls.isEmpty(), qPrintable(session.fake->lastMessage().text));
        QTRY_VERIFY_WITH_TIMEOUT(fixture::pageText(view).contains("done"), 20000);
        QStringList lines = fixture::pageText(view).split('\n', Qt::SkipEmptyParts);
        lines.sort();
        QCOMPARE(lines, QStringList({"done", "frame from markup: none", "frame in a frame: none", "frame sent elsewhere: none",
                                     "frame with a script: none", "new frame: none", "page: none", "prefixed: none",
                                     "transport: none"}));
        QCOMPARE(received, QByteArray());
    }

    // With scripts on, the removal goes into the page as its first script, where "|" marks it,
    // and nowhere when nothing in the page could run a script.
    void previewGuard_guardedPage_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<bool>("html");
        QTest::addColumn<bool>("utf16");
        QTest::addRow("XHTML after its prolog") << "<?xml version=\"1.0\"?>\n<!-- a > b -->\n<!DOCTYPE html [<!ENTITY e \"<x>\">]>\n"
                                                   "<html xmlns=\"http://www.w3.org/1999/xhtml\" title=\"a > b\">|<body/></html>"
                                                << false << false;
        QTest::addRow("XHTML in UTF-16") << "<html xmlns=\"http://www.w3.org/1999/xhtml\">|<p>caf\u00e9</p></html>" << false << true;
        QTest::addRow("SVG") << "<svg xmlns='http://www.w3.org/2000/svg'>|<script>x()</script></svg>" << false << false;
        QTest::addRow("other XML") << "<doc><p>no script runs here</p></doc>" << false << false;
        QTest::addRow("empty root") << "<html xmlns=\"http://www.w3.org/1999/xhtml\"/>" << false << false;
        QTest::addRow("HTML after its DOCTYPE") << "\n<!DOCTYPE html>|<html><script>x()</script></html>" << true << false;
        QTest::addRow("HTML without one") << "|<p>text</p>" << true << false;
    }
    void previewGuard_guardedPage()
    {
        QFETCH(QString, page);
        QFETCH(bool, html);
        QFETCH(bool, utf16);
        const qsizetype at = page.indexOf('|');
        const QString original = QString(page).remove('|');
        QStringEncoder encoder(utf16 ? QStringConverter::Utf16LE : QStringConverter::Utf8,
                               utf16 ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
        const QByteArray bytes = encoder.encode(original);
        const QByteArray guarded = PreviewGuard::guardedPage(bytes, html);
        if (at < 0) {
            QCOMPARE(guarded, bytes);
            return;
        }
        QVERIFY(!utf16 || guarded.startsWith("\xFF\xFE"));
        QStringDecoder decoder(utf16 ? QStringConverter::Utf16LE : QStringConverter::Utf8);
        const QString text = decoder.decode(guarded);
        const QString inserted = text.mid(at, text.size() - original.size());
        QVERIFY2(inserted.startsWith("<script") && inserted.endsWith("</script>"), qPrintable(inserted.left(80)));
        QCOMPARE(QString(text).remove(at, inserted.size()), original);
    }

    // ---- Fetching documents over the network: every wait and every size has a limit.

    void fetchUrl_byAddress_data()
    {
        QTest::addColumn<FetchCase>("c");
        for (const QStringList &row : testenv::table(TEST_DATA_DIR "/fetch.txt")) {
            const QByteArray body = row[4].endsWith(" × x") ? QByteArray(row[4].section(' ', 0, 0).toInt(), 'x') : row[4].toUtf8();
            QTest::addRow("%s", qPrintable(row[0])) << FetchCase{row[1], row[2].toInt(), row[3].toLongLong(), body, row[5], row[6]};
        }
    }
    void fetchUrl_byAddress()
    {
        QFETCH(FetchCase, c);
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = closed.serverPort();
        closed.close();
        const QString url = c.address.startsWith('/') ? m_server->url(c.address)
            : QString(c.address).replace("{port}", QString::number(m_server->port())).replace("{closed}", QString::number(closedPort))
                  .replace("{blank}", " \n");
        if (c.timeoutMs < 0) {
            QCOMPARE(urlFetchTimeoutMs(), 20000);
            setUrlFetchTimeoutMs(-c.timeoutMs);
        }
        const UrlFetchResult r = ::fetchUrl(url, c.timeoutMs < 0 ? 0 : c.timeoutMs, c.maxBytes);
        const QString error = c.error.replace("{url}", url.trimmed());
        QCOMPARE(r.ok, error.isEmpty());
        QCOMPARE(r.data, c.body);
        if (error.endsWith(QLatin1Char(':')))
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

ZENDRIK_TEST_MAIN(TstHostile)
#include "tst_hostile.moc"
