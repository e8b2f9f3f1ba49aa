// Hostile documents and stylesheets: what they may read, how much they may say, what they may
// make the program wait for. Grouped by the kind of attack.
#include "platform/dialogs.h"
#include "engine/urlfetch.h"
#include "engine/xmldocument.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <sys/stat.h>

namespace {

const QString kXslHead = QStringLiteral("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">");
const QString kCopyAll = kXslHead + QStringLiteral("<xsl:template match=\"/\"><out><xsl:copy-of select=\"/\"/></out></xsl:template></xsl:stylesheet>");
const QByteArray kSecret = "TOP-SECRET-LINE";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Transforms source (with base sourceBase) by stylesheet (with base styleBase); returns the
// result, or the error text prefixed with "ERROR: ".
QString transform(const QString &stylesheet, const QString &styleBase, const QString &source, const QString &sourceBase)
{
    XmlDocument xsl;
    XmlDocument xml;
    if (!xsl.loadXML(stylesheet, styleBase))
        return QStringLiteral("ERROR: stylesheet: ") + xsl.parseError().reason;
    if (!xml.loadXML(source, sourceBase))
        return QStringLiteral("ERROR: source: ") + xml.parseError().reason;
    QString result;
    if (!xsl.transformNode(xml, &result))
        return QStringLiteral("ERROR: ") + xsl.parseError().reason;
    return result;
}

// Nested entities whose innermost one is undefined: every expansion repeats the error.
QByteArray errorStorm()
{
    const char names[] = "abcdefgh";
    QByteArray doc = "<!DOCTYPE r [<!ENTITY a \"&u;\">";
    for (int i = 1; i < 8; ++i) {
        doc += QByteArray("<!ENTITY ") + names[i] + " \"";
        for (int k = 0; k < 10; ++k)
            doc += QByteArray("&") + names[i - 1] + ";";
        doc += "\">";
    }
    return doc + "]><r x=\"&h;\"/>";
}

} // namespace

class TstHostile : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dirHolder;
    QString m_secretFile;
    QString m_fifo;

    QString path(const QString &name) const { return m_dirHolder->filePath(name); }
    QString fileUrl(const QString &name) const { return QUrl::fromLocalFile(path(name)).toString(); }

private slots:
    void initTestCase()
    {
        m_dirHolder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dirHolder->isValid());
        m_secretFile = path(QStringLiteral("secret.txt"));
        QVERIFY(writeFile(m_secretFile, kSecret));
        QVERIFY(writeFile(path(QStringLiteral("chapter.xml")), "<chapter>Chapter text</chapter>"));
        QVERIFY(writeFile(path(QStringLiteral("defs.dtd")), "<!ENTITY product \"Zendrik\">"));
        m_fifo = path(QStringLiteral("pipe"));
        QCOMPARE(::mkfifo(QFile::encodeName(m_fifo).constData(), 0600), 0);
    }

    void cleanupTestCase() { m_dirHolder.reset(); }

    // ---- External entities and DTDs follow the document's origin.

    void entities_followOrigin_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("fromNetwork");
        QTest::addColumn<QString>("expected"); // in the result, or in the error after "ERROR"
        const QString secretEntity = QStringLiteral("<!DOCTYPE r [<!ENTITY x SYSTEM \"%1\">]><r>&x;</r>");
        QTest::addRow("network document, absolute local file")
            << secretEntity.arg(fileUrl(QStringLiteral("secret.txt"))) << true << "ERROR";
        QTest::addRow("network document, plain path")
            << secretEntity.arg(m_secretFile) << true << "ERROR";
        QTest::addRow("network document, relative entity")
            << secretEntity.arg(QStringLiteral("secret.txt")) << true << "ERROR";
        QTest::addRow("network document, external DTD")
            << QStringLiteral("<!DOCTYPE r SYSTEM \"%1\"><r>&product;</r>").arg(fileUrl(QStringLiteral("defs.dtd"))) << true << "ERROR";
        QTest::addRow("network document, internal entity")
            << QStringLiteral("<!DOCTYPE r [<!ENTITY p \"inline\">]><r>&p;</r>") << true << "<r>inline</r>";
        QTest::addRow("local document, chapter entity")
            << QStringLiteral("<!DOCTYPE r [<!ENTITY ch SYSTEM \"chapter.xml\">]><r>&ch;</r>") << false << "<chapter>Chapter text</chapter>";
        QTest::addRow("local document, external DTD")
            << QStringLiteral("<!DOCTYPE r SYSTEM \"defs.dtd\"><r>&product;</r>") << false << "<r>Zendrik</r>";
        QTest::addRow("local document, internal entity")
            << QStringLiteral("<!DOCTYPE r [<!ENTITY p \"inline\">]><r>&p;</r>") << false << "<r>inline</r>";
        QTest::addRow("local document, pipe entity")
            << secretEntity.arg(m_fifo) << false << "ERROR";
        QTest::addRow("local document, device entity")
            << secretEntity.arg(QStringLiteral("/dev/zero")) << false << "ERROR";
        QTest::addRow("local document, network entity")
            << secretEntity.arg(QStringLiteral("http://127.0.0.1:9/x.txt")) << false << "ERROR";
    }
    void entities_followOrigin()
    {
        QFETCH(QString, source);
        QFETCH(bool, fromNetwork);
        QFETCH(QString, expected);
        const QString base = fromNetwork ? QStringLiteral("http://127.0.0.1:9/docs/source.xml") : path(QStringLiteral("source.xml"));
        const QString result = transform(kCopyAll, path(QStringLiteral("style.xsl")), source, base);
        QVERIFY2(!result.contains(QString::fromLatin1(kSecret)), qPrintable(result));
        QVERIFY2(result.contains(expected), qPrintable(result));
        if (expected == QLatin1String("ERROR"))
            QVERIFY2(result.contains(QLatin1String("was not read")) || result.contains(QLatin1String("not defined")), qPrintable(result));
    }

    void stylesheetFromNetwork_readsNoLocalFile()
    {
        const QString style = QStringLiteral("<!DOCTYPE xsl:stylesheet [<!ENTITY s SYSTEM \"%1\">]>").arg(fileUrl(QStringLiteral("secret.txt")))
                              + kXslHead + QStringLiteral("<xsl:template match=\"/\"><o>&s;|<xsl:copy-of select=\"document('%1')\"/></o></xsl:template></xsl:stylesheet>")
                                               .arg(fileUrl(QStringLiteral("chapter.xml")));
        const QString result = transform(style, QStringLiteral("http://127.0.0.1:9/s.xsl"), QStringLiteral("<r/>"), path(QStringLiteral("source.xml")));
        QVERIFY2(result.startsWith(QLatin1String("ERROR")), qPrintable(result));
        QVERIFY(!result.contains(QString::fromLatin1(kSecret)));

        const QString noEntity = kXslHead + QStringLiteral("<xsl:template match=\"/\"><o><xsl:copy-of select=\"document('%1')\"/></o></xsl:template></xsl:stylesheet>")
                                                .arg(fileUrl(QStringLiteral("chapter.xml")));
        const QString second = transform(noEntity, QStringLiteral("http://127.0.0.1:9/s.xsl"), QStringLiteral("<r/>"), path(QStringLiteral("source.xml")));
        QVERIFY2(!second.contains(QLatin1String("Chapter text")), qPrintable(second));
        QVERIFY2(second.contains(QLatin1String("refused")), qPrintable(second));
    }

    void stylesheetFromNetwork_readsItsOwnServer()
    {
        TestHttpServer server;
        TestHttpServer other;
        other.serve(QStringLiteral("/elsewhere.xml"), "<elsewhere/>");
        server.serve(QStringLiteral("/xsl/main.xsl"),
                     (kXslHead + QStringLiteral("<xsl:import href=\"base.xsl\"/><xsl:include href=\"inc/part.xsl\"/>"
                                                "<xsl:template match=\"/\"><o><xsl:call-template name=\"part\"/><xsl:call-template name=\"base\"/>"
                                                "<xsl:copy-of select=\"document('data.xml')\"/></o></xsl:template></xsl:stylesheet>")).toUtf8());
        server.serve(QStringLiteral("/xsl/base.xsl"), (kXslHead + QStringLiteral("<xsl:template name=\"base\"><b/></xsl:template></xsl:stylesheet>")).toUtf8());
        server.serve(QStringLiteral("/xsl/inc/part.xsl"), (kXslHead + QStringLiteral("<xsl:template name=\"part\"><p/></xsl:template></xsl:stylesheet>")).toUtf8());
        server.serve(QStringLiteral("/xsl/data.xml"), "<data>from the server</data>");
        server.redirect(QStringLiteral("/xsl/away.xml"), other.url(QStringLiteral("/elsewhere.xml")));

        const UrlFetchResult main = fetchUrl(server.url(QStringLiteral("/xsl/main.xsl")));
        QVERIFY2(main.ok, qPrintable(main.error));
        const QString result = transform(QString::fromUtf8(main.data), main.finalUrl, QStringLiteral("<r/>"), path(QStringLiteral("source.xml")));
        QCOMPARE(result.section(QLatin1Char('\n'), 1).trimmed(), QStringLiteral("<o><p/><b/><data>from the server</data></o>"));

        // Another server, a redirect to it, and local files stay out of reach.
        for (const QString &target : {other.url(QStringLiteral("/elsewhere.xml")), QStringLiteral("away.xml"), fileUrl(QStringLiteral("chapter.xml"))}) {
            const QString style = kXslHead + QStringLiteral("<xsl:template match=\"/\"><o><xsl:copy-of select=\"document('%1')\"/></o></xsl:template></xsl:stylesheet>").arg(target);
            const QString refused = transform(style, main.finalUrl, QStringLiteral("<r/>"), path(QStringLiteral("source.xml")));
            QVERIFY2(!refused.contains(QLatin1String("elsewhere")) || refused.contains(QLatin1String("refused")), qPrintable(refused));
            QVERIFY2(!refused.contains(QLatin1String("Chapter text")), qPrintable(refused));
        }
        QVERIFY2(other.requests().isEmpty(), qPrintable(other.requests().join(QLatin1Char(','))));
    }

    // ---- Error storms: bounded reports, boxes that fit the screen.

    void errorStorm_reportIsBounded()
    {
        XmlDocument doc;
        QVERIFY(!doc.loadBytes(errorStorm()));
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
        const QString failed = transform(chatty, path(QStringLiteral("s.xsl")), QStringLiteral("<r/>"), path(QStringLiteral("r.xml")));
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
        QString detail;
        QString shownText;
        QTimer::singleShot(0, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            shownSize = box->sizeHint();
            detail = box->detailedText();
            shownText = box->text();
            box->accept();
        });
        dialogs().messageBox(nullptr, text, msg::OkOnly | msg::Critical, QStringLiteral("Error"));
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
        QTest::addRow("pipe") << m_fifo;
        QTest::addRow("zero device") << QStringLiteral("/dev/zero");
        QTest::addRow("standard input") << QStringLiteral("/dev/stdin");
    }
    void specialFiles_refused()
    {
        QFETCH(QString, target);
        XmlDocument doc;
        QVERIFY(!doc.load(target));
        QVERIFY2(doc.parseError().reason.contains(target), qPrintable(doc.parseError().reason));
        QVERIFY2(doc.parseError().reason.contains(QLatin1String("not a document file")), qPrintable(doc.parseError().reason));

        for (const QString &use : {QStringLiteral("<xsl:include href=\"%1\"/><xsl:template match=\"/\"><o/></xsl:template>"),
                                   QStringLiteral("<xsl:template match=\"/\"><o><xsl:copy-of select=\"document('%1')\"/></o></xsl:template>")}) {
            const QString result = transform(kXslHead + use.arg(QUrl::fromLocalFile(target).toString()) + QStringLiteral("</xsl:stylesheet>"),
                                             path(QStringLiteral("s.xsl")), QStringLiteral("<r/>"), path(QStringLiteral("r.xml")));
            QVERIFY2(result.contains(QLatin1String("not a document file")), qPrintable(result));
        }
    }

    // ---- What opens must save: the same limits everywhere, and every save read back.

    void largeDocument_opensPreviewsAndSaves()
    {
        // A text node over libxml2's 10 MB limit and nesting over its 256 levels.
        const QByteArray big = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                               "<xsl:template match=\"/\"><o><xsl:text>" + QByteArray(11 * 1024 * 1024, 'x')
                               + "</xsl:text>" + QByteArray("<d>").repeated(300) + QByteArray("</d>").repeated(300)
                               + "</o></xsl:template></xsl:stylesheet>";
        QVERIFY(writeFile(path(QStringLiteral("big.xsl")), big));
        XmlDocument opened;
        QVERIFY2(opened.load(path(QStringLiteral("big.xsl"))), qPrintable(opened.parseError().reason));
        XmlDocument edited;
        QVERIFY2(edited.loadXMLUtf8(opened.xml().toUtf8(), path(QStringLiteral("big.xsl"))), qPrintable(edited.parseError().reason));
        XmlDocument source;
        QVERIFY(source.loadXML(QStringLiteral("<r/>")));
        QByteArray result;
        QVERIFY2(edited.transformNodeToBytes(source, &result), qPrintable(edited.parseError().reason));
        QVERIFY(result.size() > 11 * 1024 * 1024);
        QString error;
        QVERIFY2(edited.save(path(QStringLiteral("big-saved.xsl")), &error), qPrintable(error));
        QVERIFY(QFileInfo(path(QStringLiteral("big-saved.xsl"))).size() > 11 * 1024 * 1024);

        // Raised limits never come with entities, whose expansion they would leave unbounded.
        XmlDocument withEntities;
        QVERIFY(!withEntities.loadXMLUtf8("<!DOCTYPE r [<!ENTITY e \"x\">]><r>" + QByteArray(11 * 1024 * 1024, 'x') + "</r>"));
        QVERIFY2(withEntities.parseError().reason.contains(QLatin1String("declares entities")), qPrintable(withEntities.parseError().reason.left(300)));
    }

    void save_neverWritesWhatCannotReopen()
    {
        XmlDocument doc;
        QVERIFY(doc.loadXML(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-7\"?>\n<a>caf\u00e9 &amp; more</a>")));
        const QString target = path(QStringLiteral("utf7.xml"));
        QString error;
        QVERIFY2(doc.save(target, &error), qPrintable(error));
        XmlDocument reopened;
        QVERIFY2(reopened.load(target), qPrintable(reopened.parseError().reason));
        QVERIFY(reopened.xml().contains(QStringLiteral("caf\u00e9 &amp; more")));
        QVERIFY(readFile(target).startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    }

    // ---- Messages that say what happened.

    void corruptCompressedAnswer_saysWhy()
    {
        TestHttpServer server;
        server.raw(QStringLiteral("/bomb.xml"), {"HTTP/1.0 200 OK\r\nContent-Type: application/xml\r\nContent-Encoding: gzip\r\n\r\n",
                                                 QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03garbage-not-deflate", 30)});
        const UrlFetchResult r = fetchUrl(server.url(QStringLiteral("/bomb.xml")));
        QVERIFY(!r.ok);
        QVERIFY2(!r.error.contains(QLatin1String(": .")) && !r.error.endsWith(QLatin1String(": .")), qPrintable(r.error));
        QVERIFY2(r.error.contains(QLatin1String("compressed")), qPrintable(r.error));
    }
};

ZENDRIK_TEST_MAIN(TstHostile)
#include "tst_hostile.moc"
