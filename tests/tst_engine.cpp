// The engine alone, with no window library linked: XML documents as the editor parses and saves
// them, and transformations as golden folders.
//
// tests/data/<case>/ holds stylesheet.xsl and source.xml (only spaces: no source), and for each
// preview target either the expected page (tab.out, browser.out) or the expected error
// (tab.error, browser.error: the box's title on the first line, a part of its text on the
// second). browser.out is what xsltproc writes for the same pair.
#include "engine/previewpipeline.h"
#include "engine/xmldocument.h"

#include <QtTest>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList filesBelow(const QString &folder)
{
    QStringList out;
    for (QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        out << it.next();
    return out;
}

struct MalformedCase {
    QString text;
    int code, line;
    QString firstLine, srcText;
};
// fromBytes: the input comes as bytes whose declaration decides the encoding, otherwise as
// Unicode text (UTF-8 here). saved: what toBytes() gives, unchecked when empty.
struct TextCase {
    bool fromBytes;
    QByteArray input;
    QString expected;
    QByteArray saved;
};

} // namespace
Q_DECLARE_METATYPE(MalformedCase)
Q_DECLARE_METATYPE(TextCase)

class TstEngine : public QObject
{
    Q_OBJECT

private slots:
    void goldenFolders_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("target");
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        const QStringList cases = data.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(cases.size() >= 10);
        for (const QString &name : cases) {
            const QString folder = data.filePath(name);
            bool any = false;
            for (const auto &[target, prefix] : {std::pair{preview::Target::Tab, "tab"}, {preview::Target::Browser, "browser"}}) {
                if (QFile::exists(folder + QStringLiteral("/%1.out").arg(QLatin1String(prefix)))
                    || QFile::exists(folder + QStringLiteral("/%1.error").arg(QLatin1String(prefix)))) {
                    QTest::addRow("%s, %s", qPrintable(name), prefix) << folder << int(target);
                    any = true;
                }
            }
            QVERIFY2(any, qPrintable(name + QStringLiteral(" has no expected result")));
        }
    }
    void goldenFolders()
    {
        QFETCH(QString, folder);
        QFETCH(int, target);
        const QString prefix = folder + (target == int(preview::Target::Tab) ? QStringLiteral("/tab") : QStringLiteral("/browser"));
        const QStringList before = filesBelow(folder);
        const preview::Input input{readFile(folder + QStringLiteral("/stylesheet.xsl")), folder + QStringLiteral("/stylesheet.xsl"),
                                   readFile(folder + QStringLiteral("/source.xml")), folder + QStringLiteral("/source.xml")};
        const preview::Result result = preview::build(input, preview::Target(target));
        // Nothing a refused stylesheet tried to write exists, not even a folder.
        QCOMPARE(filesBelow(folder), before);
        if (QFile::exists(prefix + QStringLiteral(".out"))) {
            QVERIFY2(result.ok, qPrintable(result.title + QStringLiteral(": ") + result.text));
            QCOMPARE(result.page, readFile(prefix + QStringLiteral(".out")));
            return;
        }
        const QStringList expected = QString::fromUtf8(readFile(prefix + QStringLiteral(".error"))).split(QLatin1Char('\n'));
        QVERIFY(!result.ok);
        QVERIFY(result.page.isEmpty());
        QCOMPARE(result.title, expected.value(0));
        QVERIFY2(result.text.contains(expected.value(1)), qPrintable(result.text));
    }

    // What the window's status bar and its parse report show for text that is not well-formed.
    void loadXML_malformed_data()
    {
        QTest::addColumn<MalformedCase>("c");
        QTest::addRow("empty") << MalformedCase{"", XML_ERR_DOCUMENT_EMPTY, 1, "Document is empty", ""};
        QTest::addRow("whitespace only") << MalformedCase{"  \n  ", XML_ERR_DOCUMENT_EMPTY, 2, "Start tag expected, '<' not found", "  "};
        QTest::addRow("two roots") << MalformedCase{"<a/>\n<b/>", XML_ERR_DOCUMENT_END, 2, "Extra content at the end of the document", "<b/>"};
        QTest::addRow("unclosed") << MalformedCase{"<a>\n<b>\n</a>", XML_ERR_TAG_NAME_MISMATCH, 3, "Opening and ending tag mismatch: b line 2 and a", "</a>"};
        QTest::addRow("bad entity") << MalformedCase{"<a>\n é &foo;</a>", XML_ERR_UNDECLARED_ENTITY, 2, "Entity 'foo' not defined", " é &foo;</a>"};
        QTest::addRow("control char") << MalformedCase{"<a>\n\nx\u0001y</a>", XML_ERR_INVALID_CHAR, 3, "PCDATA invalid Char value 1", "x\u0001y</a>"};
        QTest::addRow("undeclared prefix") << MalformedCase{"<r>\n<xsl:template/></r>", XML_NS_ERR_UNDEFINED_NAMESPACE, 2,
                                                            "Namespace prefix xsl on template is not defined", "<xsl:template/></r>"};
        QTest::addRow("unknown declared encoding") << MalformedCase{"<?xml version=\"1.0\" encoding=\"klingon\"?><a/>", XML_ERR_UNSUPPORTED_ENCODING,
                                                                    1, "Unsupported encoding klingon", "<?xml version=\"1.0\" encoding=\"klingon\"?><a/>"};
    }
    void loadXML_malformed()
    {
        QFETCH(MalformedCase, c);
        XmlDocument doc;
        QVERIFY(doc.loadXML(QStringLiteral("<ok/>")));
        QVERIFY(!doc.loadXML(c.text));
        QVERIFY(!doc.isLoaded() && doc.xml().isEmpty());
        const XmlDocument::ParseError &e = doc.parseError();
        QCOMPARE(e.code, c.code);
        QCOMPARE(e.line, c.line);
        QCOMPARE(e.reason.section(QLatin1Char('\n'), 0, 0), c.firstLine);
        QVERIFY(e.reason.endsWith(QLatin1Char('\n')) && e.linepos >= 1);
        QCOMPARE(e.srcText, c.srcText);
        // A later good parse leaves no trace of the error.
        QVERIFY(doc.loadXML(QStringLiteral("<ok/>")));
        QVERIFY(doc.parseError().code == 0 && doc.parseError().line == 0);
        QVERIFY(doc.parseError().reason.isEmpty() && doc.parseError().srcText.isEmpty());
    }

    void xml_keepsTheUsersText_data()
    {
        QTest::addColumn<TextCase>("c");
        QTest::addRow("bytes, latin-1") << TextCase{true, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xe9</a>",
                                                    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>café</a>\n", {}};
        QTest::addRow("bytes, windows-1252") << TextCase{true, "<?xml version='1.0' encoding='windows-1252'?><a>\x80</a>",
                                                         "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<a>€</a>\n", {}};
        QTest::addRow("bytes, utf-16 with bom") << TextCase{true, QByteArray("\xff\xfe<\0a\0>\0\xe9\0<\0/\0a\0>\0", 18), "<a>é</a>\n", {}};
        QTest::addRow("no declaration") << TextCase{false, "<r>\n\t<a x=\"1\">é &amp; &#x2192; <![CDATA[<raw>]]></a>\n  <!-- c -->\n</r>",
                                                    "<r>\n\t<a x=\"1\">é &amp; → <![CDATA[<raw>]]></a>\n  <!-- c -->\n</r>\n",
                                                    "<r>\n\t<a x=\"1\">\xc3\xa9 &amp; \xe2\x86\x92 <![CDATA[<raw>]]></a>\n  <!-- c -->\n</r>\n"};
        QTest::addRow("entity reference") << TextCase{false, "<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>",
                                                      "<!DOCTYPE r [\n<!ENTITY e \"x\">\n]>\n<r>&e;</r>\n",
                                                      "<!DOCTYPE r [\n<!ENTITY e \"x\">\n]>\n<r>&e;</r>\n"};
        QTest::addRow("declared latin-1, all representable") << TextCase{false, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é</a>",
                                                                         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é</a>\n",
                                                                         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>\xe9</a>\n"};
        // A character the declared encoding cannot hold (here in a comment, where a character
        // reference would not be read back) makes the whole document UTF-8.
        QTest::addRow("declared latin-1, beyond it") << TextCase{false, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é<!--→--></a>",
                                                                 "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>é<!--→--></a>\n",
                                                                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\xc3\xa9<!--\xe2\x86\x92--></a>\n"};
    }
    void xml_keepsTheUsersText()
    {
        QFETCH(TextCase, c);
        XmlDocument doc;
        QVERIFY2(c.fromBytes ? doc.loadBytes(c.input) : doc.loadXML(QString::fromUtf8(c.input)), qPrintable(doc.parseError().reason));
        QCOMPARE(doc.xml(), c.expected);
        if (!c.saved.isEmpty())
            QCOMPARE(doc.toBytes(), c.saved);
    }

    void save_failsWithoutTouchingTheFile_data()
    {
        QTest::addColumn<QString>("target"); // relative to a temporary folder holding "old.xml"
        QTest::addRow("missing folder") << "nowhere/new.xml";
        QTest::addRow("folder is a file") << "old.xml/new.xml";
        QTest::addRow("target is a folder") << "sub";
        QTest::addRow("nothing parsed") << "";
    }
    void save_failsWithoutTouchingTheFile()
    {
        QFETCH(QString, target);
        QTemporaryDir dir;
        QFile old(dir.filePath("old.xml"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("<old/>") == 6 && QDir(dir.path()).mkdir("sub"));
        old.close();
        XmlDocument doc;
        QCOMPARE(doc.loadXML(target.isEmpty() ? "<new>" : "<new/>"), !target.isEmpty());
        const QString path = dir.filePath(target.isEmpty() ? "old.xml" : target);
        QString error;
        QVERIFY(!doc.save(path, &error));
        QVERIFY2(error.contains(path), qPrintable(error));
        QCOMPARE(readFile(dir.filePath("old.xml")), QByteArray("<old/>"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 2);
    }

    // libxml2 reports into each document's own error, never to the terminal, and the caller's
    // error handler is in place again afterwards.
    void errors_nothingReachesStderr()
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
            style.load(QStringLiteral("/nonexistent/file.xml"));
            source.loadXML(QStringLiteral("<r xmlns:x=\"relative\"/>"));
            style.loadXML(QStringLiteral("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                                         "<xsl:template match=\"/\"><xsl:message>note</xsl:message><xsl:value-of select=\"$nope\"/>"
                                         "</xsl:template></xsl:stylesheet>"));
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

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TstEngine tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_engine.moc"
