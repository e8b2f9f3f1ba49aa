#include "engine/xmldocument.h"
#include "support/testmain.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <unistd.h>

namespace {

const QString kXsl = QStringLiteral("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
                                    "xmlns:exsl=\"http://exslt.org/common\" extension-element-prefixes=\"exsl\">");

QString stylesheet(const QString &body) { return kXsl + body + QStringLiteral("</xsl:stylesheet>"); }

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

QString bomb()
{
    QString s = QStringLiteral("<!DOCTYPE r [<!ENTITY l0 \"lol\">");
    for (int i = 1; i < 10; ++i)
        s += QStringLiteral("<!ENTITY l%1 \"%2\">").arg(i).arg(QStringLiteral("&l%1;").arg(i - 1).repeated(10));
    return s + QStringLiteral("]>\n<r>&l9;</r>");
}

} // namespace

class TstXmlDocument : public QObject
{
    Q_OBJECT

private slots:
    void loadXML_malformed_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("firstLine");
        QTest::addColumn<QString>("srcText");
        QTest::addRow("empty") << "" << int(XML_ERR_DOCUMENT_EMPTY) << 1 << "Document is empty" << "";
        QTest::addRow("whitespace only") << "  \n  " << int(XML_ERR_DOCUMENT_EMPTY) << 2 << "Start tag expected, '<' not found" << "  ";
        QTest::addRow("two roots") << "<a/>\n<b/>" << int(XML_ERR_DOCUMENT_END) << 2 << "Extra content at the end of the document" << "<b/>";
        QTest::addRow("unclosed") << "<a>\n<b>\n</a>" << int(XML_ERR_TAG_NAME_MISMATCH) << 3 << "Opening and ending tag mismatch: b line 2 and a" << "</a>";
        QTest::addRow("bad entity") << "<a>\n é &foo;</a>" << int(XML_ERR_UNDECLARED_ENTITY) << 2 << "Entity 'foo' not defined" << " é &foo;</a>";
        QTest::addRow("control char") << "<a>\n\nx\u0001y</a>" << int(XML_ERR_INVALID_CHAR) << 3 << "PCDATA invalid Char value 1" << "x\u0001y</a>";
        QTest::addRow("undeclared prefix") << "<r>\n<xsl:template/></r>" << int(XML_NS_ERR_UNDEFINED_NAMESPACE) << 2 << "Namespace prefix xsl on template is not defined" << "<xsl:template/></r>";
        QTest::addRow("unknown declared encoding") << "<?xml version=\"1.0\" encoding=\"klingon\"?><a/>" << int(XML_ERR_UNSUPPORTED_ENCODING) << 1 << "Unsupported encoding klingon" << "<?xml version=\"1.0\" encoding=\"klingon\"?><a/>";
    }
    void loadXML_malformed()
    {
        QFETCH(QString, text);
        XmlDocument doc;
        QVERIFY(doc.loadXML(QStringLiteral("<ok/>")));
        QVERIFY(!doc.loadXML(text));
        QVERIFY(!doc.isLoaded());
        const XmlDocument::ParseError &e = doc.parseError();
        QTEST(e.code, "code");
        QTEST(e.line, "line");
        QTEST(e.reason.section(QLatin1Char('\n'), 0, 0), "firstLine");
        QVERIFY(e.reason.endsWith(QLatin1Char('\n')));
        QVERIFY(e.linepos >= 1);
        QTEST(e.srcText, "srcText");
        QVERIFY(doc.xml().isEmpty());

        QVERIFY(doc.loadXML(QStringLiteral("<ok/>")));
        QCOMPARE(doc.parseError().code, 0);
        QVERIFY(doc.parseError().reason.isEmpty() && doc.parseError().srcText.isEmpty());
        QCOMPARE(doc.parseError().line, 0);
    }

    void hostileInput_failsQuickly_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("entity bomb") << bomb().toUtf8();
        QTest::addRow("deep nesting") << QByteArray("<a>").repeated(10000);
        QTest::addRow("binary") << QByteArray("\0\x01\xff\xfe<\0a\x80\x81", 10);
    }
    void hostileInput_failsQuickly()
    {
        QFETCH(QByteArray, bytes);
        QElapsedTimer timer;
        timer.start();
        XmlDocument doc;
        QVERIFY(!doc.loadBytes(bytes));
        QVERIFY(!doc.loadXML(QString::fromUtf8(bytes)));
        QVERIFY(doc.parseError().code != 0);
        QVERIFY(!doc.parseError().reason.isEmpty());
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    }

    // fromBytes: the input comes as bytes whose declaration decides the encoding, otherwise as
    // Unicode text (UTF-8 here). saved: what toBytes() gives, unchecked when empty.
    void xml_keepsTheUsersText_data()
    {
        QTest::addColumn<bool>("fromBytes");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QByteArray>("saved");
        QTest::addRow("bytes, latin-1") << true << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xe9</a>")
                                        << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>café</a>\n" << QByteArray();
        QTest::addRow("bytes, windows-1252") << true << QByteArray("<?xml version='1.0' encoding='windows-1252'?><a>\x80</a>")
                                             << "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<a>€</a>\n" << QByteArray();
        QTest::addRow("bytes, utf-16 with bom") << true << QByteArray("\xff\xfe<\0a\0>\0\xe9\0<\0/\0a\0>\0", 18) << "<a>é</a>\n" << QByteArray();
        QTest::addRow("no declaration") << false << QByteArray("<r>\n\t<a x=\"1\">é &amp; &#x2192; <![CDATA[<raw>]]></a>\n  <!-- c -->\n</r>")
                                        << "<r>\n\t<a x=\"1\">é &amp; → <![CDATA[<raw>]]></a>\n  <!-- c -->\n</r>\n"
                                        << QByteArray("<r>\n\t<a x=\"1\">\xc3\xa9 &amp; \xe2\x86\x92 <![CDATA[<raw>]]></a>\n  <!-- c -->\n</r>\n");
        QTest::addRow("entity reference") << false << QByteArray("<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>")
                                          << "<!DOCTYPE r [\n<!ENTITY e \"x\">\n]>\n<r>&e;</r>\n"
                                          << QByteArray("<!DOCTYPE r [\n<!ENTITY e \"x\">\n]>\n<r>&e;</r>\n");
        QTest::addRow("declared latin-1, all representable") << false << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é</a>")
                                          << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é</a>\n"
                                          << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>\xe9</a>\n");
        // A character the declared encoding cannot hold (here in a comment, where a character
        // reference would not be read back) makes the whole document UTF-8.
        QTest::addRow("declared latin-1, beyond it") << false << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é<!--→--></a>")
                                          << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é<!--→--></a>\n"
                                          << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\xc3\xa9<!--\xe2\x86\x92--></a>\n");
    }
    void xml_keepsTheUsersText()
    {
        QFETCH(bool, fromBytes);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, saved);
        XmlDocument doc;
        QVERIFY2(fromBytes ? doc.loadBytes(input) : doc.loadXML(QString::fromUtf8(input)), qPrintable(doc.parseError().reason));
        QTEST(doc.xml(), "expected");
        if (!saved.isEmpty())
            QCOMPARE(doc.toBytes(), saved);
    }

    void latin1File_survivesEditAndSave()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("style.xsl"));
        QVERIFY(writeFile(path, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a b=\"\xe0\">caf\xe9</a>\n"));
        XmlDocument doc;
        QVERIFY(doc.load(path));
        QCOMPARE(doc.url(), QFileInfo(path).absoluteFilePath());
        XmlDocument edited;
        QVERIFY(edited.loadXML(doc.xml().replace(QStringLiteral("café"), QStringLiteral("café → thé"))));
        QString error;
        QVERIFY2(edited.save(path, &error), qPrintable(error));
        QVERIFY(readFile(path).contains("caf\xc3\xa9 \xe2\x86\x92 th\xc3\xa9"));
        XmlDocument reloaded;
        QVERIFY(reloaded.load(path));
        QVERIFY2(reloaded.xml().contains(QStringLiteral("<a b=\"à\">café → thé</a>")), qPrintable(reloaded.xml()));
    }

    void load_fileErrors()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("missing.xml"));
        for (const auto &[path, why] : {std::pair{missing, "No such file or directory"}, {dir.path(), "Is a directory"}}) {
            XmlDocument doc;
            QVERIFY(!doc.load(path));
            QCOMPARE(doc.parseError().reason, QStringLiteral("Cannot open file \"%1\": %2\n").arg(path, why));
            QVERIFY(doc.parseError().code != 0);
        }
    }

    void save_failsWithoutTouchingTheFile_data()
    {
        QTest::addColumn<QString>("target"); // relative to a temporary folder holding "old.xml"
        QTest::addColumn<bool>("loaded");
        QTest::addRow("missing folder") << "nowhere/new.xml" << true;
        QTest::addRow("folder is a file") << "old.xml/new.xml" << true;
        QTest::addRow("target is a folder") << "sub" << true;
        QTest::addRow("nothing parsed") << "old.xml" << false;
    }
    void save_failsWithoutTouchingTheFile()
    {
        QFETCH(QString, target);
        QFETCH(bool, loaded);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("old.xml")), "<old/>"));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        XmlDocument doc;
        if (loaded)
            QVERIFY(doc.loadXML(QStringLiteral("<new/>")));
        else
            QVERIFY(!doc.loadXML(QStringLiteral("<new>")));
        QString error;
        QVERIFY(!doc.save(dir.filePath(target), &error));
        QVERIFY2(error.contains(dir.filePath(target)), qPrintable(error));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("old.xml"))), QByteArray("<old/>"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 2);
    }

    void transform_matchesXsltproc_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("body");
        QTest::addRow("xml latin-1 indented") << "<xsl:output encoding=\"ISO-8859-1\" indent=\"yes\"/>"
                                              << "<out>&nbsp;<xsl:copy-of select=\"//item\"/><t><![CDATA[a<b]]></t><xsl:call-template name=\"inc\"/></out>";
        QTest::addRow("html") << "<xsl:output method=\"html\"/>" << "<html><body><p>&nbsp;<xsl:value-of select=\"//item\"/><br/></p></body></html>";
        QTest::addRow("text utf-8") << "<xsl:output method=\"text\"/>" << "<xsl:value-of select=\"//item\"/><xsl:call-template name=\"inc\"/>";
        QTest::addRow("xml utf-16") << "<xsl:output encoding=\"UTF-16\"/>" << "<x><xsl:value-of select=\"//item/@a\"/></x>";
        QTest::addRow("exslt") << "<xsl:output method=\"text\"/>" << "<xsl:value-of select=\"count(exsl:node-set($v)/*)\"/>";
    }
    void transform_matchesXsltproc()
    {
        QFETCH(QString, output);
        QFETCH(QString, body);
        if (!QFile::exists(QStringLiteral("/usr/bin/xsltproc")))
            QSKIP("xsltproc is not installed");
        QTemporaryDir dir;
        const QString xsl = dir.filePath(QStringLiteral("s.xsl")), xmlPath = dir.filePath(QStringLiteral("s.xml"));
        QVERIFY(writeFile(xsl, ("<!DOCTYPE xsl:stylesheet [<!ENTITY nbsp \"&#160;\">]>\n" + kXsl + output
                                + "<xsl:include href=\"inc.xsl\"/><xsl:variable name=\"v\"><a/><b/></xsl:variable>"
                                  "<xsl:template match=\"/\">" + body + "</xsl:template></xsl:stylesheet>").toUtf8()));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("inc.xsl")), stylesheet(QStringLiteral("<xsl:template name=\"inc\"><inc>→ ok</inc></xsl:template>")).toUtf8()));
        QVERIFY(writeFile(xmlPath, "<r><item a=\"1\">caf\xc3\xa9 <![CDATA[x<y]]> \xe2\x86\x92</item></r>"));
        QProcess proc;
        proc.start(QStringLiteral("/usr/bin/xsltproc"), {xsl, xmlPath});
        QVERIFY(proc.waitForFinished());
        const QByteArray expected = proc.readAllStandardOutput();
        QVERIFY(!expected.isEmpty());

        XmlDocument style, source;
        QVERIFY(style.load(xsl));
        QVERIFY(source.load(xmlPath));
        QByteArray bytes;
        QVERIFY2(style.transformNodeToBytes(source, &bytes), qPrintable(style.parseError().reason));
        QCOMPARE(bytes, expected);
    }

    void transformNode_decodesTheOutputEncoding()
    {
        XmlDocument style, source;
        QVERIFY(style.loadXML(stylesheet(QStringLiteral("<xsl:output encoding=\"ISO-8859-1\"/><xsl:template match=\"/\"><a><xsl:value-of select=\".\"/></a>"
                                                         "<xsl:message>just a note</xsl:message></xsl:template>"))));
        QVERIFY(source.loadXML(QStringLiteral("<r>café</r>")));
        QString result;
        QVERIFY2(style.transformNode(source, &result), qPrintable(style.parseError().reason));
        QCOMPARE(result, QStringLiteral("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>café</a>\n"));
        QCOMPARE(style.parseError().code, 0);
    }

    void transform_failures_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("reason");
        QTest::addRow("terminating message") << "<xsl:template match=\"/\"><xsl:message terminate=\"yes\">stop here</xsl:message></xsl:template>" << "stop here";
        QTest::addRow("missing named template") << "<xsl:template match=\"/\"><xsl:call-template name=\"nope\"/></xsl:template>" << "The called template 'nope' was not found.";
        QTest::addRow("bad expression") << "<xsl:template match=\"/\"><xsl:value-of select=\"1 +\"/></xsl:template>" << "could not compile select expression '1 +'";
        QTest::addRow("endless recursion") << "<xsl:template match=\"/\"><xsl:apply-templates select=\".\"/></xsl:template>" << "infinite template recursion";
        QTest::addRow("exsl:document") << "<xsl:template match=\"/\"><exsl:document href=\"%1\" method=\"text\">x</exsl:document><r/></xsl:template>" << "refused";
        QTest::addRow("exsl:document, existing folder") << "<xsl:template match=\"/\"><exsl:document href=\"%2\" method=\"text\">x</exsl:document><r/></xsl:template>" << "refused";
        QTest::addRow("xsl:document") << "<xsl:template match=\"/\"><xsl:document xsl:version=\"1.1\" href=\"%1\">x</xsl:document></xsl:template>" << "refused";
        QTest::addRow("network read") << "<xsl:template match=\"/\"><xsl:copy-of select=\"document('http://127.0.0.1:9/x.xml')\"/></xsl:template>" << "Network file read for http://127.0.0.1:9/x.xml refused";
        QTest::addRow("network include") << "<xsl:include href=\"http://127.0.0.1:9/inc.xsl\"/>" << "Network file read for http://127.0.0.1:9/inc.xsl refused";
    }
    void transform_failures()
    {
        QFETCH(QString, body);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString written = dir.filePath(QStringLiteral("sub/written.txt"));
        XmlDocument style, source;
        const QString beside = dir.filePath(QStringLiteral("written.txt"));
        QVERIFY(style.loadXML(stylesheet(QString(body).replace(QStringLiteral("%1"), written).replace(QStringLiteral("%2"), beside))));
        QVERIFY(source.loadXML(QStringLiteral("<r/>")));
        QString result = QStringLiteral("stale");
        QVERIFY(!style.transformNode(source, &result));
        QVERIFY(result.isEmpty());
        QVERIFY(style.parseError().code != 0);
        QVERIFY2(style.parseError().reason.contains(reason) && style.parseError().reason.endsWith(QLatin1Char('\n')),
                 qPrintable(style.parseError().reason));
        QVERIFY(!QFileInfo::exists(written) && !QFileInfo::exists(dir.filePath(QStringLiteral("sub"))) && !QFileInfo::exists(beside));
        QVERIFY(style.isLoaded());
    }

    void transform_needsBothDocuments()
    {
        XmlDocument style, source, broken;
        QVERIFY(style.loadXML(stylesheet(QStringLiteral("<xsl:template match=\"/\"><a/></xsl:template>"))));
        QVERIFY(!broken.loadXML(QStringLiteral("<r>")));
        QByteArray out;
        QVERIFY(!style.transformNodeToBytes(broken, &out));
        QVERIFY(style.parseError().code != 0 && !style.parseError().reason.isEmpty());
        QVERIFY(!broken.transformNodeToBytes(style, &out));
        QVERIFY(broken.parseError().code != 0);
        XmlDocument plain;
        QVERIFY(plain.loadXML(QStringLiteral("<r/>")));
        QVERIFY(!plain.transformNodeToBytes(style, &out));
        QVERIFY2(plain.parseError().reason.contains(QLatin1String("not a stylesheet")), qPrintable(plain.parseError().reason));
        QVERIFY(style.transformNodeToBytes(style, &out));
        QCOMPARE(out, QByteArray("<?xml version=\"1.0\"?>\n<a/>\n"));
    }

    void transform_resolvesAgainstTheBaseUrl()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("a b#c")); // characters a path must not lose as a URI
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/data")));
        QVERIFY(writeFile(folder + QStringLiteral("/inc.xsl"), stylesheet(QStringLiteral("<xsl:template name=\"inc\">included</xsl:template>")).toUtf8()));
        QVERIFY(writeFile(folder + QStringLiteral("/data/other.xml"), "<o>from document()</o>"));
        XmlDocument style, source;
        QVERIFY(style.loadXML(stylesheet(QStringLiteral("<xsl:output method=\"text\"/><xsl:include href=\"inc.xsl\"/><xsl:template match=\"/\">"
                                                         "<xsl:call-template name=\"inc\"/>, <xsl:value-of select=\"document(/r/@href, /)\"/></xsl:template>")),
                              folder + QStringLiteral("/style.xsl")));
        QVERIFY(source.loadXML(QStringLiteral("<r href=\"other.xml\"/>"), folder + QStringLiteral("/data/source.xml")));
        QCOMPARE(source.url(), folder + QStringLiteral("/data/source.xml"));
        QString result;
        QVERIFY2(style.transformNode(source, &result), qPrintable(style.parseError().reason));
        QCOMPARE(result, QStringLiteral("included, from document()"));
    }

    void nothingReachesStderr_andHandlersComeBack()
    {
        QTemporaryFile capture;
        QVERIFY(capture.open());
        const int saved = dup(STDERR_FILENO);
        QVERIFY(dup2(capture.handle(), STDERR_FILENO) >= 0);
        int marker = 0;
        xmlSetStructuredErrorFunc(&marker, nullptr);
        {
            XmlDocument style, source;
            style.loadXML(QStringLiteral("<a>\n&bad;</b>"));
            style.loadBytes(bomb().toUtf8());
            style.load(QStringLiteral("/nonexistent/file.xml"));
            source.loadXML(QStringLiteral("<r xmlns:x=\"relative\"/>"));
            style.loadXML(stylesheet(QStringLiteral("<xsl:template match=\"/\"><xsl:message>note</xsl:message><xsl:value-of select=\"$nope\"/></xsl:template>")));
            QString out;
            style.transformNode(source, &out);
        }
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        QCOMPARE(xmlStructuredErrorContext, static_cast<void *>(&marker));
        xmlSetStructuredErrorFunc(nullptr, nullptr);
        QCOMPARE(capture.readAll(), QByteArray());
    }
};

ZENDRIK_TEST_MAIN(TstXmlDocument)
#include "tst_xmldocument.moc"
