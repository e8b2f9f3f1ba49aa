#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "support/appfixture.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QNetworkProxy>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace {
const QString kXhtml = QStringLiteral(
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xmlns=\"http://www.w3.org/1999/xhtml\">"
    "<xsl:template match=\"/\"><html><body><h1>Items: <xsl:value-of select=\"count(//item)\"/></h1>"
    "<xsl:for-each select=\"//item\"><p><xsl:value-of select=\".\"/></p></xsl:for-each></body></html></xsl:template>"
    "</xsl:stylesheet>");
const QString kSource = QStringLiteral("<list><item>alpha</item><item>beta</item></list>");
const QString kDocbook = QStringLiteral("/usr/share/xml/docbook/stylesheet/docbook-xsl");
const QByteArray kArticle = "<?xml version=\"1.0\"?>\n<article><title>Zendrik Preview Check</title>"
                            "<section><title>First section</title><para>A paragraph about transforms.</para></section>"
                            "</article>\n";

QString plainText(QWebEngineView *view)
{
    QString text;
    bool done = false;
    view->page()->toPlainText([&](const QString &t) {
        text = t;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        qWarning("the page's text did not arrive");
    return text;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Runs script in a world of its own beside the page's: it sees the page's document even while
// the page's own scripts are off.
QVariant inspect(QWebEngineView *view, const QString &script)
{
    QVariant result;
    bool done = false;
    view->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant &v) {
        result = v;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        qWarning("the script's result did not arrive");
    return result;
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

constexpr QFileDevice::Permissions kOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
    | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

// browser: the preview in the browser, otherwise the Preview tab; textPart: in the message.
struct FailureCase {
    bool browser;
    QString xslt, xml;
    bool browserFails;
    QString title, textPart;
};
struct ScriptCase {
    QString stored; // RunPreviewScripts in the settings store; empty for none
    bool run;
};
} // namespace
Q_DECLARE_METATYPE(ScriptCase)
Q_DECLARE_METATYPE(FailureCase)

class TstPreview : public QObject, public fixture::Session
{
    Q_OBJECT
    QList<QUrl> m_handedOver; // addresses the desktop was asked to open

public slots:
    void handOver(const QUrl &url) { m_handedOver << url; }

    frmEditor *open(const QString &xslt, const QString &xml)
    {
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setText(xslt);
        doc->txtXML->setText(xml);
        return doc;
    }

private slots:
    void init()
    {
        QVERIFY(start());
    }
    void cleanup()
    {
        stop();
        QVERIFY2(testenv::leftoverTempFiles().isEmpty(), qPrintable(testenv::leftoverTempFiles().join(", ")));
    }

    void previewTab_showsTheTransformedUnsavedText()
    {
        frmEditor *doc = open(kXhtml, kSource);
        doc->SSTab->setCurrentIndex(1);
        doc->txtXML->setSelStart(doc->txtXML->Text().indexOf("</list>"));
        doc->txtXML->setSelText("<item>gamma</item>");
        doc->SSTab->setCurrentIndex(2);
        QCOMPARE(doc->SSTab->currentIndex(), 2);
        QVERIFY(fake->calls.isEmpty());
        const QString text = plainText(doc->WebBrowser);
        QVERIFY2(text.contains("Items: 3") && text.contains("gamma"), qPrintable(text));
        QCOMPARE(doc->panelText(2), QString());
        for (const char *name : {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuRedo", "mnuFind", "mnuReplace", "mnuSelectAll"})
            QVERIFY2(!main->menuItem(name)->isEnabled(), name);
        // The Edit menu opening on the preview changes nothing.
        doc->setEditState();
        QVERIFY(!main->menuItem("mnuSelectAll")->isEnabled());
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(!doc->isBusy());
        // Leaving it brings the caret panel and the commands back.
        doc->SSTab->setCurrentIndex(0);
        QVERIFY(doc->panelText(2).startsWith("Line: 1, Col: "));
        QVERIFY(main->menuItem("mnuSelectAll")->isEnabled());
    }

    void preview_failuresAreShown_data()
    {
        QTest::addColumn<FailureCase>("c");
        const QString terminate = QStringLiteral(
            "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
            "<xsl:template match=\"/\"><xsl:message terminate=\"yes\">Stopped on purpose</xsl:message></xsl:template></xsl:stylesheet>");
        QTest::addRow("tab, stylesheet broken") << FailureCase{false, "<xsl:stylesheet", kSource, false, "Error Parsing XSLT Document", ""};
        QTest::addRow("tab, source only line breaks") << FailureCase{false, kXhtml, "\n\n", false, "Error Parsing XML Document", ""};
        QTest::addRow("tab, terminated") << FailureCase{false, terminate, kSource, false, "Error", "Stopped on purpose"};
        QTest::addRow("browser, source broken") << FailureCase{true, kXhtml, "<list>", false, "Error Parsing XML Document", ""};
        QTest::addRow("browser, none to start") << FailureCase{true, kXhtml, kSource, true, "Error", "No web browser could be started."};
    }
    void preview_failuresAreShown()
    {
        QFETCH(FailureCase, c);
        browser->fail = c.browserFails;
        frmEditor *doc = open(c.xslt, c.xml);
        if (c.browser) {
            QVERIFY(!doc->previewInBrowser());
        } else { // the Preview tab gives way to the page it was opened from
            doc->SSTab->setCurrentIndex(1);
            doc->SSTab->setCurrentIndex(2);
            QCOMPARE(doc->SSTab->currentIndex(), 1);
            QVERIFY(main->menuItem("mnuSelectAll")->isEnabled());
        }
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().title, c.title);
        QCOMPARE(fake->lastMessage().style, 16);
        QVERIFY2(!fake->lastMessage().text.trimmed().isEmpty() && fake->lastMessage().text.contains(c.textPart), qPrintable(fake->lastMessage().text));
        QVERIFY(!QApplication::overrideCursor());
    }

    void previewTab_windowCannotCloseWhileThePageLoads()
    {
        frmEditor *doc = open(kXhtml, kSource);
        bool closed = true;
        connect(doc->WebBrowser, &QWebEngineView::loadStarted, doc, [&] { closed = doc->parentWidget()->close(); },
                Qt::SingleShotConnection);
        doc->SSTab->setCurrentIndex(2);
        QVERIFY(!closed);
        QVERIFY(fake->calls.isEmpty()); // refused at once, without asking about saving
        QCOMPARE(fixture::documentWindows(main).size(), 1);
        fake->answers << msg::No;
        QVERIFY(doc->parentWidget()->close());
    }

    void previewInBrowser_writesTheRawResult()
    {
        const QString html = QStringLiteral(
            "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
            "<xsl:output method=\"html\" encoding=\"ISO-8859-1\"/><xsl:template match=\"/\"><html><body>caf\u00e9<br/>"
            "</body></html></xsl:template></xsl:stylesheet>");
        frmEditor *doc = open(html, kSource);
        QVERIFY(doc->previewInBrowser());
        QCOMPARE(browser->opened.size(), 1);
        const FakeBrowser::Opened page = browser->opened.first();
        QVERIFY(page.path.startsWith(QDir::tempPath()));
        QVERIFY(page.path.endsWith(".htm"));
        QVERIFY2(page.contents.contains("caf\xe9<br>"), page.contents.constData());
        QVERIFY(fake->calls.isEmpty());
        // No other user of the computer can read the page or even see its folder's contents.
        const QFileInfo file(page.path);
        const QFileInfo folder(file.path());
        QVERIFY(folder.absoluteFilePath() != QFileInfo(QDir::tempPath()).absoluteFilePath());
        QCOMPARE(file.permissions() & kOthers, QFileDevice::Permissions());
        QVERIFY(file.permissions() & QFileDevice::ReadOwner);
        QCOMPARE(folder.permissions() & kOthers, QFileDevice::Permissions());
        QCOMPARE(QDir(folder.absoluteFilePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{file.fileName()});
        // The browser may still be reading it: the file stays until the program ends.
        QVERIFY(QFile::exists(page.path));
        delete main;
        main = new frmMDIMain;
        QVERIFY(!QFile::exists(page.path));
        QVERIFY(!QFileInfo::exists(folder.absoluteFilePath()));
    }

    // The page of tests/data/guarded-page.xsl, with its scripts off and on.
    void previewTab_pageIsKeptToItsFolders_data()
    {
        QTest::addColumn<ScriptCase>("c");
        QTest::addRow("scripts off by default") << ScriptCase{"", false};
        QTest::addRow("scripts turned on") << ScriptCase{"1", true};
    }
    void previewTab_pageIsKeptToItsFolders()
    {
        QFETCH(ScriptCase, c);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        TestHttpServer server;
        server.serve("/remote.png", "not a picture", 200, "image/png");
        server.serve("/data", "remote data", 200, "text/plain");
        QTemporaryDir dir;
        QImage picture(4, 4, QImage::Format_RGB32);
        picture.fill(Qt::red);
        for (const char *name : {"style/inside.png", "data/beside.png", "outside/outside.png"}) {
            QDir().mkpath(QFileInfo(dir.filePath(name)).path());
            QVERIFY(picture.save(dir.filePath(name), "PNG"));
        }
        writeFile(dir.filePath("style/note.txt"), "beside the stylesheet");
        writeFile(dir.filePath("outside/secret.txt"), "secret");
        QVERIFY(QFile::link(dir.filePath("outside/outside.png"), dir.filePath("style/link.png")));
        QFile page(TEST_DATA_DIR "/guarded-page.xsl");
        QVERIFY(page.open(QIODevice::ReadOnly));
        QString xslt = QString::fromUtf8(page.readAll());
        xslt.replace("{inside}", fileUrl(dir.filePath("style/inside.png")))
            .replace("{beside}", fileUrl(dir.filePath("data/beside.png")))
            .replace("{outside}", fileUrl(dir.filePath("outside/outside.png")))
            .replace("{link}", fileUrl(dir.filePath("style/link.png")))
            .replace("{remote}", server.url("/remote.png"))
            .replace("{note}", fileUrl(dir.filePath("style/note.txt")))
            .replace("{secret}", fileUrl(dir.filePath("outside/secret.txt")))
            .replace("{data}", server.url("/data"))
            .replace("{socket}", server.url("/socket").replace("http:", "ws:"))
            .replace("{next}", fileUrl(dir.filePath("style/next.xml")));
        writeFile(dir.filePath("style/next.xml"), "<next/>");
        writeFile(dir.filePath("style/page.xsl"), xslt.toUtf8());
        writeFile(dir.filePath("data/src.xml"), "<any/>");
        if (!c.stored.isEmpty())
            fixture::writeSettings("Options", {{"RunPreviewScripts", c.stored}});

        frmEditor *doc = fixture::newDocument(main);
        QVERIFY(doc->loadXSLTFile(dir.filePath("style/page.xsl")));
        doc->loadXMLFile(dir.filePath("data/src.xml"));
        doc->SSTab->setCurrentIndex(2);
        QVERIFY2(fake->calls.isEmpty(), qPrintable(fake->lastMessage().text));
        QCOMPARE(doc->SSTab->currentIndex(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(
            inspect(doc->WebBrowser, "Array.prototype.every.call(document.images, function (i) { return i.complete; })").toBool(),
            10000);
        QCOMPARE(inspect(doc->WebBrowser, "['inside', 'beside', 'outside', 'link', 'remote'].map(function (id) {"
                                          "  return id + ' ' + document.getElementById(id).naturalWidth; }).join(', ')")
                     .toString(),
                 QStringLiteral("inside 4, beside 4, outside 0, link 0, remote 0"));
        if (c.run) {
            // Each note comes once its attempt has ended, so a request that got through has been
            // seen by the server by then.
            QTRY_VERIFY_WITH_TIMEOUT(plainText(doc->WebBrowser).count(':') == 4, 10000);
            const QString text = plainText(doc->WebBrowser);
            QStringList lines = text.split('\n', Qt::SkipEmptyParts);
            lines.sort();
            QCOMPARE(lines, QStringList({"elsewhere: blocked", "own folder: read beside the stylesheet", "scripts ran",
                                         "server: blocked", "socket: closed"}));
        } else {
            QCOMPARE(plainText(doc->WebBrowser).trimmed(), QStringLiteral("scripts did not run"));
        }
        QCOMPARE(server.requests(), QStringList());
        // A link to an address another program would open goes nowhere; one to a file beside the
        // stylesheet is followed (and, coming after it, shows that the first click was dealt with).
        m_handedOver.clear();
        QDesktopServices::setUrlHandler("zendrik-test", this, "handOver");
        QWidget *surface = doc->WebBrowser->focusProxy();
        QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(10, surface->height() / 4));
        QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(10, surface->height() * 3 / 4));
        QTRY_COMPARE_WITH_TIMEOUT(doc->WebBrowser->url(), QUrl::fromLocalFile(dir.filePath("style/next.xml")), 10000);
        QDesktopServices::unsetUrlHandler("zendrik-test");
        QCOMPARE(m_handedOver, QList<QUrl>());
        // What the page tried to keep went nowhere on disk.
        for (auto where : {QStandardPaths::GenericDataLocation, QStandardPaths::GenericCacheLocation})
            QVERIFY2(QDir(QStandardPaths::writableLocation(where)).isEmpty(), qPrintable(QStandardPaths::writableLocation(where)));
    }

    void docbook_previewTabRendersAnArticle()
    {
        if (!QFile::exists(kDocbook + "/xhtml/docbook.xsl"))
            QSKIP("Debian's docbook-xsl package is not installed (scripts/test.sh installs it)");
        QTemporaryDir dir;
        writeFile(dir.filePath("article.xml"), kArticle);
        frmEditor *doc = fixture::newDocument(main);
        QVERIFY(doc->loadXSLTFile(kDocbook + "/xhtml/docbook.xsl"));
        doc->loadXMLFile(dir.filePath("article.xml"));
        QCOMPARE(doc->SSTab->currentIndex(), 1);
        doc->SSTab->setCurrentIndex(2);
        QVERIFY2(fake->calls.isEmpty(), qPrintable(fake->lastMessage().text));
        QCOMPARE(doc->SSTab->currentIndex(), 2);
        const QString text = plainText(doc->WebBrowser);
        QVERIFY2(text.contains("Zendrik Preview Check") && text.contains("A paragraph about transforms."), qPrintable(text));
    }

};

ZENDRIK_TEST_MAIN(TstPreview)
#include "tst_preview.moc"
