// The XSLT 2.0/3.0 helper on its own: the Java program on Saxon-HE, spoken to over the same
// exchange as the libxslt worker, with no window.
//
// Golden folders (tests/data/<case>/) with saxon-browser.out or saxon-tab.out hold what Saxon's
// own command line writes for the pair; saxon-browser.error holds the box's title on the first
// line and a part of its text on the second.
#include "engine/engineclient.h"
#include "engine/engineprotocol.h"
#include "engine/saxonhelper.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QProcess>
#include <QtTest>

#include <signal.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A helper process and the frames it sends.
class Helper
{
public:
    bool start(bool sayHello = true, int version = engine::kProtocolVersion)
    {
        const QString folder = QCoreApplication::applicationDirPath();
        m_process.start(saxon::javaProgram(), saxon::arguments(folder, 512));
        if (!m_process.waitForStarted(10000))
            return false;
        const QCborMap hello = next(30000);
        if (engine::helloVersion(hello) != engine::kProtocolVersion)
            return false;
        if (sayHello)
            m_process.write(engine::frame(engine::helloMessage(version)));
        return true;
    }
    ~Helper()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }

    QCborMap next(int ms)
    {
        QElapsedTimer clock;
        clock.start();
        QList<QCborMap> messages;
        QString error;
        while (messages.isEmpty() && clock.elapsed() < ms) {
            if (!engine::takeFrames(m_buffer, &messages, &error))
                return {};
            if (messages.isEmpty() && !m_process.waitForReadyRead(int(ms - clock.elapsed())))
                break;
            m_buffer += m_process.readAllStandardOutput();
        }
        return messages.value(0);
    }

    engine::Response run(const engine::Request &request)
    {
        m_process.write(engine::frame(request.toCbor()));
        return engine::Response::fromCbor(next(60000));
    }

    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_buffer;
};

engine::Request transform(const QString &folder, preview::Target target)
{
    engine::Request r;
    r.id = 1;
    r.window = 7;
    r.generation = 3;
    r.target = target;
    r.input = {readFile(folder + QStringLiteral("/stylesheet.xsl")), folder + QStringLiteral("/stylesheet.xsl"),
               readFile(folder + QStringLiteral("/source.xml")), folder + QStringLiteral("/source.xml"), {}};
    return r;
}

engine::Request transformText(const QByteArray &stylesheet, const QByteArray &source, preview::Target target)
{
    engine::Request r;
    r.target = target;
    r.input = {stylesheet, QDir::temp().filePath(QStringLiteral("s.xsl")), source, QDir::temp().filePath(QStringLiteral("s.xml")), {}};
    return r;
}

const QByteArray kHeader = "<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"3.0\" expand-text=\"yes\">\n";

} // namespace

class TstSaxon : public QObject
{
    Q_OBJECT
    Helper m_helper;

private slots:
    void initTestCase()
    {
        QString missing;
        if (!saxon::available(QCoreApplication::applicationDirPath(), &missing))
            QSKIP(qPrintable(QStringLiteral("Saxon-HE cannot run here (missing %1; install %2): its tests are skipped.")
                                 .arg(missing, QLatin1String(saxon::kPackages))));
        QVERIFY(m_helper.start());
    }

    void goldenFolders_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("target");
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        for (const QString &name : data.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const QString target : {"tab", "browser"})
                if (QFile::exists(data.filePath(name + "/saxon-" + target + ".out")) || QFile::exists(data.filePath(name + "/saxon-" + target + ".error")))
                    QTest::addRow("%s, %s", qPrintable(name), qPrintable(target)) << data.filePath(name) << target;
    }
    void goldenFolders()
    {
        QFETCH(QString, folder);
        QFETCH(QString, target);
        const QString prefix = folder + "/saxon-" + target;
        const QStringList before = QDir(folder).entryList(QDir::Files);
        const engine::Response r = m_helper.run(transform(folder, target == "tab" ? preview::Target::Tab : preview::Target::Browser));
        QCOMPARE(r.id, 1);
        QCOMPARE(r.window, 7);
        QCOMPARE(r.generation, 3);
        QVERIFY2(r.engine.startsWith("Saxon-HE 9."), qPrintable(r.engine));
        // Nothing a refused stylesheet tried to write exists.
        QCOMPARE(QDir(folder).entryList(QDir::Files), before);
        if (QFile::exists(prefix + ".out")) {
            QVERIFY2(r.result.ok, qPrintable(r.result.title() + ": " + r.result.text));
            QCOMPARE(r.result.page, readFile(prefix + ".out"));
            return;
        }
        const QStringList expected = QString::fromUtf8(readFile(prefix + ".error")).split('\n');
        QVERIFY(!r.result.ok && r.result.page.isEmpty());
        QCOMPARE(r.result.title(), expected.value(0));
        QVERIFY2(r.result.text.contains(expected.value(1)), qPrintable(r.result.text));
    }

    // Every kind of mistake comes back with its kind and its place: a text that is not
    // well-formed, a static error with line and column, a dynamic error with its line; the
    // messages of a run that worked come with the page, in order.
    void mistakes_comeWithTheirKindAndPlace()
    {
        engine::Response r = m_helper.run(transformText(kHeader + "<xsl:template match=\"/\">\n</xsl:stylesheet>", "<r/>", preview::Target::Browser));
        QCOMPARE(r.error, engine::ErrorKind::ParseStylesheet);
        QCOMPARE(r.result.title(), QStringLiteral("Error Parsing XSLT Document"));
        QCOMPARE(r.result.diagnostics.value(0).origin, Diagnostic::Origin::WellFormedness);
        QCOMPARE(r.result.diagnostics.value(0).line, 3);

        r = m_helper.run(transformText(kHeader + "<xsl:template match=\"/\">\n  <out select=\"{$nothing}\"/>\n</xsl:template>\n</xsl:stylesheet>", "<r/>",
                                       preview::Target::Check));
        QCOMPARE(r.error, engine::ErrorKind::Compile);
        QCOMPARE(r.result.diagnostics.size(), 1); // once, though Saxon tells it twice
        const Diagnostic compile = r.result.diagnostics.first();
        QCOMPARE(compile.origin, Diagnostic::Origin::Compilation);
        QCOMPARE(compile.line, 3);
        QVERIFY2(compile.column > 0 && compile.message.contains("nothing"), qPrintable(compile.message));

        r = m_helper.run(transformText(kHeader + "<xsl:template match=\"/\">\n<out>{\n1 div number(/r)}</out>\n<xsl:sequence select=\"error((), 'stopped here')\"/>\n</xsl:template>\n</xsl:stylesheet>",
                                       "<r>x</r>", preview::Target::Browser));
        QCOMPARE(r.error, engine::ErrorKind::Transform);
        QVERIFY2(r.result.text.contains("stopped here"), qPrintable(r.result.text));
        const Diagnostic runtime = r.result.diagnostics.last();
        QCOMPARE(runtime.origin, Diagnostic::Origin::Runtime);
        QCOMPARE(runtime.line, 5);

        r = m_helper.run(transformText(kHeader + "<xsl:template match=\"/\"><xsl:message>one</xsl:message><xsl:message>two {count(//i)}</xsl:message><ok/></xsl:template></xsl:stylesheet>",
                                       "<r><i/><i/></r>", preview::Target::Browser));
        QVERIFY2(r.result.ok, qPrintable(r.result.text));
        QStringList messages;
        for (const Diagnostic &d : r.result.diagnostics)
            if (d.origin == Diagnostic::Origin::Message)
                messages << d.message;
        QCOMPARE(messages, QStringList({"one", "two 2"}));
    }

    // Parameters: a string as it is, an XPath value evaluated against the source.
    void parameters_asStringAndAsXPath()
    {
        engine::Request request = transformText(kHeader + "<xsl:param name=\"who\"/><xsl:param name=\"n\"/><xsl:output method=\"text\"/>"
                                                          "<xsl:template match=\"/\">{$who} {$n * 2}</xsl:template></xsl:stylesheet>",
                                                "<r><i/><i/><i/></r>", preview::Target::Browser);
        request.input.parameters = {{"who", "count(//i)", false}, {"n", "count(//i)", true}};
        const engine::Response r = m_helper.run(request);
        QVERIFY2(r.result.ok, qPrintable(r.result.text));
        QCOMPARE(r.result.page, QByteArray("count(//i) 6"));
        QCOMPARE(r.result.method, QStringLiteral("text"));
    }

    // A local stylesheet reads local files only: doc() over the network is refused before
    // anything is fetched.
    void networkRead_refusedForALocalStylesheet_data()
    {
        QTest::addColumn<QString>("expression");
        QTest::addRow("doc") << "doc('http://127.0.0.1:9/x.xml')";
        QTest::addRow("unparsed-text") << "unparsed-text('http://127.0.0.1:9/x.txt')";
        QTest::addRow("json-doc") << "json-doc('http://127.0.0.1:9/x.json')?a";
        QTest::addRow("collection") << "collection('http://127.0.0.1:9/')";
    }
    void networkRead_refusedForALocalStylesheet()
    {
        QFETCH(QString, expression);
        const engine::Response r = m_helper.run(transformText(kHeader + "<xsl:template match=\"/\"><xsl:copy-of select=\"" + expression.toUtf8()
                                                                  + "\"/></xsl:template></xsl:stylesheet>",
                                                              "<r/>", preview::Target::Browser));
        QCOMPARE(r.error, engine::ErrorKind::Transform);
        QVERIFY2(r.result.text.contains("was refused: a stylesheet from a file reads only local files"), qPrintable(r.result.text));
    }

    // Through the program's engine client: Stop ends a runaway at once, and the next request
    // gets a fresh helper; a helper killed mid-run costs that answer only.
    void engineClient_stopsAndRestartsTheHelper()
    {
        EngineClient client(QCoreApplication::applicationDirPath() + QStringLiteral("/zendrik-engine"));
        const auto submit = [&](const QByteArray &stylesheet, std::optional<engine::Response> *answer) {
            engine::Request r = transformText(stylesheet, "<r/>", preview::Target::Browser);
            r.window = 1;
            r.processor = engine::Processor::Saxon;
            client.submit(r, engine::Channel::Live, nullptr, [answer](const engine::Response &a) { *answer = a; });
        };
        const QByteArray endless = kHeader + "<xsl:template match=\"/\"><xsl:value-of select=\"count(for $a in 1 to 2000000000, $b in 1 to 2000000000 return $a[$b mod 7 = 8])\"/></xsl:template></xsl:stylesheet>";
        std::optional<engine::Response> first, second;
        submit(endless, &first);
        QTRY_VERIFY_WITH_TIMEOUT(client.workerCount() == 1, 10000);
        QTest::qWait(1500); // well into the run
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(!first.has_value(), first ? qPrintable(first->result.text) : "");
        QVERIFY(client.stop(1));
        QVERIFY(first.has_value());
        QCOMPARE(first->error, engine::ErrorKind::Stopped);
        QVERIFY(clock.elapsed() < 200);
        QCOMPARE(client.workerCount(), 0);

        submit(kHeader + "<xsl:output method=\"text\"/><xsl:template match=\"/\">again</xsl:template></xsl:stylesheet>", &second);
        QTRY_VERIFY_WITH_TIMEOUT(second.has_value(), 30000);
        QCOMPARE(second->result.page, QByteArray("again"));

        // Killed from outside while it works: that answer says so, the next one comes.
        std::optional<engine::Response> third, fourth;
        submit(endless, &third);
        QTest::qWait(1000);
        // Only the client's helper: not the other tests' one, nor those of other test programs.
        QProcess pgrep;
        pgrep.start(QStringLiteral("pgrep"), {QStringLiteral("-P"), QString::number(QCoreApplication::applicationPid()), QStringLiteral("-f"), QStringLiteral("ZendrikSaxon")});
        QVERIFY(pgrep.waitForFinished(5000));
        for (const QByteArray &pid : pgrep.readAllStandardOutput().split('\n'))
            if (!pid.isEmpty() && pid.toLongLong() != m_helper.process().processId())
                ::kill(pid_t(pid.toLongLong()), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(third.has_value(), 10000);
        QCOMPARE(third->error, engine::ErrorKind::Crashed);
        submit(kHeader + "<xsl:output method=\"text\"/><xsl:template match=\"/\">back</xsl:template></xsl:stylesheet>", &fourth);
        QTRY_VERIFY_WITH_TIMEOUT(fourth.has_value(), 30000);
        QCOMPARE(fourth->result.page, QByteArray("back"));
    }

    // A document reads the DTD and entities its origin allows: a local one local regular
    // files, one from an address nothing at all; nothing waits on a FIFO or the network.
    void documents_readWhatTheirOriginAllows_data()
    {
        QTest::addColumn<QString>("sourceBase");
        QTest::addColumn<QString>("entity"); // "file", "fifo" or "http"
        QTest::addColumn<QByteArray>("page");
        QTest::addRow("local document, local file") << QDir::temp().filePath("s.xml") << "file" << QByteArray("[secret]");
        QTest::addRow("document from an address") << "http://127.0.0.1:9/s.xml" << "file" << QByteArray("[]");
        QTest::addRow("local document, FIFO") << QDir::temp().filePath("s.xml") << "fifo" << QByteArray("[]");
        QTest::addRow("local document, network") << QDir::temp().filePath("s.xml") << "http" << QByteArray("[]");
    }
    void documents_readWhatTheirOriginAllows()
    {
        QFETCH(QString, sourceBase);
        QFETCH(QString, entity);
        QFETCH(QByteArray, page);
        QTemporaryDir dir;
        const QString file = dir.filePath("secret.txt");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("secret") == 6);
        f.close();
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(QProcess::execute("mkfifo", {fifo}), 0);
        const QString target = entity == "file" ? QUrl::fromLocalFile(file).toString()
                               : entity == "fifo" ? QUrl::fromLocalFile(fifo).toString()
                                                  : QStringLiteral("http://127.0.0.1:9/e.txt");
        engine::Request request = transformText(kHeader + "<xsl:output method=\"text\"/><xsl:template match=\"/\">[{/r}]</xsl:template></xsl:stylesheet>",
                                                "<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/r.dtd\" [<!ENTITY e SYSTEM \"" + target.toUtf8() + "\">]><r>&e;</r>",
                                                preview::Target::Browser);
        request.input.sourceBase = sourceBase;
        const engine::Response r = m_helper.run(request);
        QVERIFY2(r.result.ok, qPrintable(r.result.text));
        QCOMPARE(r.result.page, page);
    }

    // unparsed-text() reads a local regular file (a byte order mark is no character of it) and
    // refuses at once what is not one, such as a FIFO nobody writes to.
    void unparsedText_readsLocalRegularFilesOnly()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("t.txt"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("\xEF\xBB\xBFh\xC3\xA9llo") == 9);
        f.close();
        QCOMPARE(QProcess::execute("mkfifo", {dir.filePath("fifo")}), 0);
        const auto read = [&](const QString &name) {
            return m_helper.run(transformText(kHeader + "<xsl:output method=\"text\"/><xsl:template match=\"/\">{unparsed-text('"
                                                  + QUrl::fromLocalFile(dir.filePath(name)).toEncoded() + "')}</xsl:template></xsl:stylesheet>",
                                              "<r/>", preview::Target::Browser));
        };
        engine::Response r = read("t.txt");
        QVERIFY2(r.result.ok, qPrintable(r.result.text));
        QCOMPARE(QString::fromUtf8(r.result.page), QStringLiteral("héllo"));
        r = read("fifo");
        QCOMPARE(r.error, engine::ErrorKind::Transform);
        QVERIFY2(r.result.text.contains("is not a regular file"), qPrintable(r.result.text));
    }

    // The XPath bar's expressions in XPath 3.1: the source is sent once and kept, values come
    // with their types, nodes with their place, maps and arrays as text.
    void xpath_itemsOfAnyType()
    {
        engine::Request request;
        request.id = 5;
        request.window = 9;
        request.kind = engine::Kind::XPath;
        request.xpath.sourceKey = 1;
        request.xpath.sourceBase = QDir::temp().filePath("s.xml");
        request.xpath.expression = "//i";
        engine::Response r = m_helper.run(request);
        QVERIFY(r.needSource);
        request.xpath.hasSource = true;
        request.xpath.source = "<r>\n <i n=\"1\">one</i>\n <i\n  n=\"2\"/>\n</r>";
        r = m_helper.run(request);
        QVERIFY(r.xpath.ok && !r.needSource);
        QCOMPARE(r.xpath.type, xpatheval::Result::Type::NodeSet);
        QCOMPARE(r.xpath.total, 2);
        QCOMPARE(r.xpath.nodes.at(1).line, 3);
        QCOMPARE(r.xpath.nodes.at(1).column, 2);
        QCOMPARE(r.xpath.nodes.at(1).text, QStringLiteral("<i n=\"2\"/>"));
        QCOMPARE(r.xpath.nodes.at(0).text, QStringLiteral("<i n=\"1\"> one"));

        request.xpath.hasSource = false;
        request.xpath.source.clear();
        const struct {
            const char *expression;
            xpatheval::Result::Type type;
            const char *shown; // the value with its type, or the rows' types and texts
        } cases[] = {
            {"sum(//@n)", xpatheval::Result::Type::Number, "xs:double 3"},
            {"//i[1] || '!'", xpatheval::Result::Type::String, "xs:string one!"},
            {"some $i in //i satisfies $i/@n = 2", xpatheval::Result::Type::Boolean, "xs:boolean true"},
            {"(1 to 2, [3], map{'k': 'v'}, (//@n)[1])", xpatheval::Result::Type::Sequence,
             "xs:integer 1|xs:integer 2|array(*) [3]|map(*) map{\"k\":\"v\"}| n=\"1\""},
        };
        for (const auto &c : cases) {
            request.xpath.expression = c.expression;
            r = m_helper.run(request);
            QVERIFY2(r.xpath.ok, qPrintable(r.xpath.error));
            QCOMPARE(r.xpath.type, c.type);
            QStringList shown;
            if (c.type == xpatheval::Result::Type::Sequence)
                for (const xpatheval::Row &row : r.xpath.nodes)
                    shown << row.type + ' ' + row.text;
            else
                shown << r.xpath.valueType + ' ' + r.xpath.value;
            QCOMPARE(shown.join('|'), QString::fromUtf8(c.shown));
        }
        request.xpath.expression = "1 +";
        r = m_helper.run(request);
        QVERIFY(!r.xpath.ok && !r.xpath.error.isEmpty());
    }

    // One helper serves every window: a runaway in one holds up nobody else, and stopping it
    // costs the others only time (what they had running starts again in a fresh helper).
    void engineClient_oneHelperForAllWindows()
    {
        EngineClient client(QCoreApplication::applicationDirPath() + QStringLiteral("/zendrik-engine"));
        QHash<qint64, engine::Response> answers;
        const auto submit = [&](qint64 window, const QByteArray &body) {
            engine::Request r = transformText(kHeader + "<xsl:output method=\"text\"/><xsl:template match=\"/\">" + body + "</xsl:template></xsl:stylesheet>",
                                              "<r/>", preview::Target::Browser);
            r.window = window;
            r.processor = engine::Processor::Saxon;
            client.submit(r, engine::Channel::Live, nullptr, [&answers, window](const engine::Response &a) { answers.insert(window, a); });
        };
        submit(1, "{count(for $a in 1 to 2000000000, $b in 1 to 2000000000 return $a[$b mod 7 = 8])}");
        submit(2, "two");
        QTRY_VERIFY_WITH_TIMEOUT(answers.contains(2), 30000);
        QCOMPARE(answers.value(2).result.page, QByteArray("two"));
        QVERIFY(!answers.contains(1));
        QCOMPARE(client.workerCount(), 1);

        // Window 3 works for about a second when window 1 is stopped.
        submit(3, "{count((1 to 3000000)[. mod 3 = 0]) idiv 1000000}{string-join((1 to 200000) ! string(), '') => string-length() idiv 1000000}");
        QTest::qWait(200);
        QVERIFY(client.stop(1));
        QCOMPARE(answers.value(1).error, engine::ErrorKind::Stopped);
        QTRY_VERIFY_WITH_TIMEOUT(answers.contains(3), 30000);
        QVERIFY2(answers.value(3).result.ok, qPrintable(answers.value(3).result.text));
        QCOMPARE(answers.value(3).result.page, QByteArray("11"));
    }

    // The helper takes no work from a program of another version.
    void otherVersion_endsTheHelper()
    {
        Helper other;
        QVERIFY(other.start(true, engine::kProtocolVersion + 1));
        QVERIFY(other.process().waitForFinished(10000));
        QCOMPARE(other.process().exitCode(), 4);
    }
};

QTEST_GUILESS_MAIN(TstSaxon)
#include "tst_saxon.moc"
