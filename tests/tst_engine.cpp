// The engine alone, with no window library linked: transformations and XML documents as golden
// folders, and what the editor's parses and saves must not do.
//
// tests/data/<case>/ holds source.xml and, for a transformation, stylesheet.xsl (a source of
// only spaces: no source). For each preview target it holds the expected page (tab.out,
// browser.out: what xsltproc writes for the same pair) or the expected error (tab.error,
// browser.error: the box's title on the first line, a part of its text on the second). For the
// source read as a file's bytes or as the editor's text, it holds what the document then shows
// and, if given, writes out (file.out and file.saved, text.out and text.saved), or the parse
// error (file.error, text.error: its code, line, the first line of its reason, the source line).
// parameters.txt gives values for the stylesheet's parameters, one a line: "string name value"
// or "xpath name expression"; declared.txt lists what it declares: "name | default | file".
// validation.out says what Validate Source finds: the schema on the first line ("dtd", or "xsd"
// or "rng" and the schema file), then "valid" or the problems, "line|message".
#include "engine/previewpipeline.h"
#include "engine/textfile.h"
#include "engine/transformcache.h"
#include "engine/validator.h"
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

} // namespace

class TstEngine : public QObject
{
    Q_OBJECT

private slots:
    void goldenFolders_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("target");
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        const QStringList cases = data.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(cases.size() >= 10);
        for (const QString &name : cases) {
            // Folders of other tests: sources and schemas for tst_validator, the re-indenter's,
            // the XSLT 2.0/3.0 cases only Saxon runs (tst_saxon), and the stylesheet models'
            // (tst_stylesheetmodel), and the stylesheets the windows navigate (tst_navigation).
            if (name == QLatin1String("validate") || name == QLatin1String("navigation") || name.startsWith(QLatin1String("format-")) || name.startsWith(QLatin1String("saxon-"))
                || name.startsWith(QLatin1String("model-")) || name.startsWith(QLatin1String("trace-")))
                continue;
            const QString folder = data.filePath(name);
            bool any = false;
            for (const QString target : {"tab", "browser", "file", "text", "validation"}) {
                if (QFile::exists(folder + '/' + target + ".out") || QFile::exists(folder + '/' + target + ".error")) {
                    QTest::addRow("%s, %s", qPrintable(name), qPrintable(target)) << folder << target;
                    any = true;
                }
            }
            QVERIFY2(any, qPrintable(name + QStringLiteral(" has no expected result")));
        }
    }
    void goldenFolders()
    {
        QFETCH(QString, folder);
        QFETCH(QString, target);
        const QString prefix = folder + '/' + target;
        const QByteArray source = readFile(folder + QStringLiteral("/source.xml"));
        const bool expectOk = QFile::exists(prefix + QStringLiteral(".out"));
        const QStringList expected = QString::fromUtf8(readFile(prefix + (expectOk ? ".out" : ".error"))).split('\n');
        if (target == "validation") {
            const QString kind = expected.value(0).section(' ', 0, 0);
            const validator::Result r = validator::validate(source, folder + QStringLiteral("/source.xml"),
                                                            kind == "dtd" ? validator::Schema::Dtd
                                                            : kind == "rng" ? validator::Schema::RelaxNg
                                                                            : validator::Schema::Xsd,
                                                            expected.value(0).section(' ', 1));
            QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
            QStringList found;
            for (const Diagnostic &d : r.problems)
                found << QString::number(d.line) + '|' + d.message;
            if (r.valid)
                found << QStringLiteral("valid");
            QCOMPARE(found, expected.mid(1).filter(QRegularExpression(QStringLiteral("."))));
            return;
        }
        if (target == "file" || target == "text") {
            XmlDocument doc;
            QVERIFY(doc.loadXML(QStringLiteral("<ok/>")));
            const bool ok = target == "file" ? doc.loadBytes(source) : doc.loadXML(QString::fromUtf8(source));
            const XmlDocument::ParseError e = doc.parseError();
            QVERIFY2(ok == expectOk, qPrintable(e.reason));
            if (target == "text") {
                // The verdict alone, as the editor asks for it while the user types: the same
                // answer, without a tree.
                XmlDocument check;
                QCOMPARE(check.checkUtf8(source), ok);
                const XmlDocument::ParseError c = check.parseError();
                QCOMPARE(QStringList({QString::number(c.code), QString::number(c.line), QString::number(c.linepos), c.reason, c.srcText}),
                         QStringList({QString::number(e.code), QString::number(e.line), QString::number(e.linepos), e.reason, e.srcText}));
                QVERIFY(!check.isLoaded());
            }
            if (ok) {
                QCOMPARE(doc.xml().toUtf8(), readFile(prefix + QStringLiteral(".out")));
                if (QFile::exists(prefix + QStringLiteral(".saved")))
                    QCOMPARE(doc.toBytes(), readFile(prefix + QStringLiteral(".saved")));
                return;
            }
            QVERIFY(!doc.isLoaded() && doc.xml().isEmpty() && e.reason.endsWith('\n') && e.linepos >= 1);
            QCOMPARE(QStringList({QString::number(e.code), QString::number(e.line), e.reason.section('\n', 0, 0), e.srcText}), expected.mid(0, 4));
            // A later good parse leaves no trace of the error.
            QVERIFY(doc.loadXML(QStringLiteral("<ok/>")) && doc.parseError().code == 0 && doc.parseError().line == 0);
            QVERIFY(doc.parseError().reason.isEmpty() && doc.parseError().srcText.isEmpty());
            return;
        }
        const QStringList before = filesBelow(folder);
        preview::Input input{readFile(folder + QStringLiteral("/stylesheet.xsl")), folder + QStringLiteral("/stylesheet.xsl"),
                             source, folder + QStringLiteral("/source.xml"), {}};
        for (const QString &line : QString::fromUtf8(readFile(folder + QStringLiteral("/parameters.txt"))).split('\n', Qt::SkipEmptyParts))
            input.parameters.append({line.section(' ', 1, 1), line.section(' ', 2), line.startsWith(QLatin1String("xpath"))});
        // Twice through one cache, as a worker runs a window's requests: what the first run
        // left behind (a stylesheet compiled, a source parsed and perhaps stripped) changes
        // nothing in the second.
        TransformCache cache;
        for (int run = 0; run < 2; ++run) {
            const preview::Result result = preview::build(input, target == "tab" ? preview::Target::Tab : preview::Target::Browser, &cache);
            // Nothing a refused stylesheet tried to write exists, not even a folder.
            QCOMPARE(filesBelow(folder), before);
            if (expectOk) {
                QVERIFY2(result.ok, qPrintable(result.title() + QStringLiteral(": ") + result.text));
                QCOMPARE(result.page, readFile(prefix + QStringLiteral(".out")));
                continue;
            }
            QVERIFY(!result.ok && result.page.isEmpty());
            QCOMPARE(result.title(), expected.value(0));
            QVERIFY2(result.text.contains(expected.value(1)), qPrintable(result.text));
        }
    }

    // A kept stylesheet or source is used only while everything it was made from is unchanged:
    // its text, the files it imports or pulls in (read again and compared, whatever their size
    // and time say); parameters go to each run.
    void cache_freshResultWhenWhatItReadChanges_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("compiles");
        QTest::addColumn<int>("sourceParses");
        QTest::newRow("an edit saved in the imported stylesheet") << "import" << QByteArray("[a:LONGER WORD][b:LONGER WORD]") << 2 << 1;
        QTest::newRow("the imported file rewritten with the same size and time") << "same size" << QByteArray("[a:WORD2][b:WORD2]") << 2 << 1;
        QTest::newRow("an external entity of the source") << "entity" << QByteArray("[a:WORD1][b:WORD1][c:WORD1]") << 1 << 2;
        QTest::newRow("a parameter") << "parameter" << QByteArray("[a:WORD1][b:WORD1]") << 1 << 1;
        QTest::newRow("the source's text") << "source" << QByteArray("[z:WORD1]") << 1 << 2;
        QTest::newRow("the stylesheet's text") << "stylesheet" << QByteArray("{a:WORD1}{b:WORD1}") << 2 << 1;
    }
    void cache_freshResultWhenWhatItReadChanges()
    {
        QFETCH(QString, change);
        QFETCH(QByteArray, expected);
        QFETCH(int, compiles);
        QFETCH(int, sourceParses);
        QTemporaryDir dir;
        const auto write = [&](const QString &name, const QByteArray &text) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(text);
        };
        const QByteArray part = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                                "<xsl:template name=\"word\">WORD1</xsl:template></xsl:stylesheet>";
        write(QStringLiteral("part.xsl"), part);
        write(QStringLiteral("more.ent"), "<item>b</item>");
        const QByteArray stylesheet = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                                      "<xsl:import href=\"part.xsl\"/><xsl:output method=\"text\"/><xsl:param name=\"open\" select=\"'['\"/>"
                                      "<xsl:template match=\"item\"><xsl:value-of select=\"$open\"/><xsl:value-of select=\"concat(., ':')\"/>"
                                      "<xsl:call-template name=\"word\"/>]</xsl:template></xsl:stylesheet>";
        const QByteArray source = "<!DOCTYPE doc [<!ENTITY more SYSTEM \"more.ent\">]><doc><item>a</item>&more;</doc>";
        preview::Input input{stylesheet, dir.filePath(QStringLiteral("main.xsl")), source, dir.filePath(QStringLiteral("doc.xml")), {}};
        TransformCache cache;
        const preview::Result first = preview::build(input, preview::Target::Browser, &cache);
        QVERIFY2(first.ok, qPrintable(first.text));
        QCOMPARE(first.page, QByteArray("[a:WORD1][b:WORD1]"));

        if (change == QLatin1String("import")) {
            write(QStringLiteral("part.xsl"), QByteArray(part).replace("WORD1", "LONGER WORD"));
        } else if (change == QLatin1String("same size")) {
            const QString path = dir.filePath(QStringLiteral("part.xsl"));
            const QDateTime time = QFileInfo(path).lastModified();
            write(QStringLiteral("part.xsl"), QByteArray(part).replace("WORD1", "WORD2"));
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite) && f.setFileTime(time, QFileDevice::FileModificationTime));
            f.close();
            QCOMPARE(QFileInfo(path).lastModified(), time);
            QCOMPARE(QFileInfo(path).size(), qint64(part.size()));
        } else if (change == QLatin1String("entity")) {
            write(QStringLiteral("more.ent"), "<item>b</item><item>c</item>");
        } else if (change == QLatin1String("parameter")) {
            input.parameters = {{QStringLiteral("open"), QStringLiteral("<"), false}};
            const preview::Result withValue = preview::build(input, preview::Target::Browser, &cache);
            QCOMPARE(withValue.page, QByteArray("<a:WORD1]<b:WORD1]"));
            input.parameters.clear();
        } else if (change == QLatin1String("source")) {
            input.source = "<doc><item>z</item></doc>";
        } else {
            input.stylesheet.replace("select=\"'['\"", "select=\"'{'\"").replace(":WORD1]", ":WORD1}");
            input.stylesheet.replace("<xsl:call-template name=\"word\"/>]", "<xsl:call-template name=\"word\"/>}");
        }
        const preview::Result second = preview::build(input, preview::Target::Browser, &cache);
        QVERIFY2(second.ok, qPrintable(second.text));
        QCOMPARE(second.page, expected);
        QCOMPARE(cache.counts().compiles, compiles);
        QCOMPARE(cache.counts().sourceParses, sourceParses);
    }

    // xsl:strip-space takes blank text out of the tree a run works on: a source kept from a
    // stylesheet that strips is parsed again for one that does not, and a compile check of the
    // text the window shows leaves the compiled stylesheet for the run that follows.
    void cache_strippedSourceServesOnlyItsStylesheet()
    {
        const QByteArray counting = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                                    "%1<xsl:output method=\"text\"/>"
                                    "<xsl:template match=\"/\"><xsl:value-of select=\"count(//text())\"/></xsl:template></xsl:stylesheet>";
        preview::Input input{QByteArray(counting).replace("%1", "<xsl:strip-space elements=\"*\"/>"), QString(),
                             "<doc>\n  <a>x</a>\n  <b>y</b>\n</doc>", QString(), {}};
        TransformCache cache;
        QVERIFY(preview::build(input, preview::Target::Check, &cache).ok);
        QCOMPARE(preview::build(input, preview::Target::Browser, &cache).page, QByteArray("2"));
        QCOMPARE(preview::build(input, preview::Target::Browser, &cache).page, QByteArray("2"));
        QCOMPARE(cache.counts().compiles, 1);
        QCOMPARE(cache.counts().sourceReuses, 1);
        input.stylesheet = QByteArray(counting).replace("%1", "");
        QCOMPARE(preview::build(input, preview::Target::Browser, &cache).page, QByteArray("5"));
        QCOMPARE(cache.counts().sourceParses, 2);
    }

    // The parameters a stylesheet declares, with those of the local stylesheets it includes and
    // imports, the nearer declaration winning; and the values as the settings keep them.
    void parameters_declaredAndStored()
    {
        const QString folder = QStringLiteral(TEST_DATA_DIR "/parameters/");
        QList<params::Declared> expected;
        for (const QString &line : QString::fromUtf8(readFile(folder + "declared.txt")).split('\n', Qt::SkipEmptyParts)) {
            const QStringList cells = line.split(QStringLiteral(" | "));
            expected.append({cells[0], cells[1], QDir::cleanPath(folder + cells[2])});
        }
        QCOMPARE(params::declaredIn(readFile(folder + "stylesheet.xsl"), folder + "stylesheet.xsl"), expected);
        QCOMPARE(params::declaredIn("<xsl:stylesheet", folder + "x.xsl"), QList<params::Declared>());
        const QList<params::Value> values{{"a", "x \"y\" \\ é", false}, {"b", "count(//*)", true}};
        QCOMPARE(params::fromText(params::toText(values)), values);
        QCOMPARE(params::fromText(QStringLiteral("{not json")), QList<params::Value>());
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

    // A file's bytes as text and back: the same bytes when nothing was edited, whatever the
    // encoding, mark and line breaks. "shown" is a part of the text the editor shows.
    void textFile_roundTrip_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("format"); // encoding, "bom", the line break, "fallback"
        const QByteArray decl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";
        QTest::addRow("utf-8, no declaration") << QByteArray("<a\n   b=\"1\">&#160;&amp;\xC3\xA9</a>\n") << "&#160;&amp;\u00E9" << "UTF-8 \\n";
        QTest::addRow("crlf and a mark") << QByteArray("\xEF\xBB\xBF<a>\r\n<b/>\r\n</a>") << "<a>\r\n<b/>" << "UTF-8 bom \\r\\n";
        QTest::addRow("old mac lines") << QByteArray("<a>\r<b/>\r</a>\r") << "<a>\r<b/>" << "UTF-8 \\r";
        QTest::addRow("mostly crlf") << QByteArray("<a>\r\n<b/>\n\r\n</a>\r\n") << "<b/>\n\r\n" << "UTF-8 \\r\\n";
        QTest::addRow("latin-1") << decl + "<a>caf\xE9</a>\r\n" << "caf\u00E9" << "ISO-8859-1 \\r\\n";
        QTest::addRow("windows-1252") << QByteArray("<?xml version='1.0' encoding='windows-1252'?><a>\x80</a>") << "\u20AC" << "windows-1252 \\n";
        QTest::addRow("doctype subset") << QByteArray("<!DOCTYPE a [\n  <!ENTITY  nbsp \"&#160;\">\n]>\n<a>&nbsp;</a>") << "<!ENTITY  nbsp \"&#160;\">" << "UTF-8 \\n";
        QByteArray utf16le("\xFF\xFE", 2), utf16be;
        for (const char c : QByteArray("<a>\xE9</a>\n")) {
            utf16le += c;
            utf16le += '\0';
            utf16be += '\0';
            utf16be += c;
        }
        QTest::addRow("utf-16 with a mark") << utf16le << "<a>\u00E9</a>" << "UTF-16LE bom \\n";
        const QByteArray declared16 = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>").toUtf8();
        QByteArray le;
        for (const char c : declared16)
            le += QByteArray(1, c) + '\0';
        QTest::addRow("utf-16 without a mark") << le << "<a/>" << "UTF-16LE \\n";
        QTest::addRow("utf-16be") << QByteArray("\xFE\xFF", 2) + utf16be << "<a>\u00E9</a>" << "UTF-16BE bom \\n";
        // Bytes that are not what the file claims are kept one for one.
        QTest::addRow("not utf-8") << QByteArray("<a>\xE9\xFF</a>") << "<a>\u00E9\u00FF</a>" << "UTF-8 \\n fallback";
    }
    void textFile_roundTrip()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QFETCH(QString, format);
        textfile::Decoded d = textfile::decode(bytes);
        QVERIFY2(d.text.contains(shown), qPrintable(d.text));
        QStringList parts{QString::fromLatin1(d.format.encoding)};
        if (d.format.byteOrderMark)
            parts << "bom";
        parts << QString::fromLatin1(d.format.lineBreak).replace("\r", "\\r").replace("\n", "\\n");
        if (d.format.fallback)
            parts << "fallback";
        QCOMPARE(parts.join(' '), format);
        bool rewritten = true;
        QCOMPARE(textfile::encode(d.text, &d.format, &rewritten), bytes);
        QVERIFY(!rewritten);
    }

    // A character the file's encoding cannot hold: the text goes out as UTF-8 and its declaration
    // says so, and it reads back as the same text.
    void textFile_unrepresentableCharacterWritesUtf8()
    {
        for (const QByteArray name : {"ISO-8859-1", "windows-1252"}) {
            textfile::Decoded d = textfile::decode("<?xml version=\"1.0\" encoding=\"" + name + "\"?>\n<a>\xE9</a>");
            const QString edited = d.text.replace("</a>", QStringLiteral("\u6F22</a>"));
            bool rewritten = false;
            const QByteArray out = textfile::encode(edited, &d.format, &rewritten);
            QVERIFY(rewritten);
            QCOMPARE(d.format.encoding, QByteArray("UTF-8"));
            QCOMPARE(out, QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\xC3\xA9\xE6\xBC\xA2</a>"));
            QCOMPARE(textfile::decode(out).text, QString(edited).replace(QString::fromLatin1(name), "UTF-8"));
        }
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
