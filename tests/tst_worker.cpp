// The worker process and the exchange with it, with the engine library alone.
#include "engine/engineclient.h"
#include "engine/engineprotocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <signal.h>

namespace {

const QString kHead = QStringLiteral("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">");

preview::Input input(const QString &templates, const QString &source = QStringLiteral("<r><a>1</a><a>2</a></r>"))
{
    return {(kHead + templates + QStringLiteral("</xsl:stylesheet>")).toUtf8(), QStringLiteral("/nonexistent/s.xsl"),
            source.toUtf8(), QStringLiteral("/nonexistent/r.xml"), {}};
}

// Runs for as long as anyone lets it: every node against every node, six levels deep.
preview::Input endless()
{
    return input(QStringLiteral("<xsl:template match=\"/\"><o><xsl:for-each select=\"//node()|//@*\">"
                                "<xsl:for-each select=\"//node()\"><xsl:for-each select=\"//node()\"><xsl:for-each select=\"//node()\">"
                                "<xsl:for-each select=\"//node()\"><xsl:for-each select=\"//node()\"><x/>"
                                "</xsl:for-each></xsl:for-each></xsl:for-each></xsl:for-each></xsl:for-each></xsl:for-each></o></xsl:template>"),
                 QStringLiteral("<r>") + QStringLiteral("<a><b/><c/></a>").repeated(400) + QStringLiteral("</r>"));
}

const preview::Input kSimple = input(QStringLiteral("<xsl:output method=\"text\"/><xsl:template match=\"/\">sum=<xsl:value-of select=\"sum(//a)\"/></xsl:template>"));

// Waits for the next answer and returns it.
engine::Response nextAnswer(QSignalSpy &spy)
{
    const qsizetype before = spy.size();
    if (!QTest::qWaitFor([&] { return spy.size() > before; }, 20000))
        return {};
    return spy.at(before).at(1).value<engine::Response>();
}

// Started as a program of its own, the test binary keeps a worker busy with a runaway
// transformation, prints the worker's process id and waits to be ended.
const char kActAsProgram[] = "--act-as-program";

// The process ids of the running children of this process that are workers.
QList<qint64> workerChildren()
{
    QList<qint64> found;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QFileInfo &entry : QDir(QStringLiteral("/proc")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(entry.filePath() + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> rest = line.mid(close + 2).split(' ');
        if (line.contains("(zendrik-engine)") && rest.size() > 1 && rest.at(1) == self.toLatin1())
            found << entry.fileName().toLongLong();
    }
    return found;
}

// Running, not merely waiting to be reaped.
bool isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close > 0 && close + 2 < line.size() && line.at(close + 2) != 'Z' && line.at(close + 2) != 'X';
}

int actAsProgram()
{
    EngineClient client;
    client.submit(1, QStringLiteral("live"), 1, preview::Target::Browser, endless());
    QList<qint64> workers;
    (void)QTest::qWaitFor([&] { return !(workers = workerChildren()).isEmpty(); }, 10000);
    std::printf("%lld\n", workers.isEmpty() ? 0LL : workers.first());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

Q_DECLARE_METATYPE(engine::Response)

class TstWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<engine::Response>(); }

    void frames_surviveAnySplit()
    {
        engine::Request request;
        request.id = 7;
        request.window = 3;
        request.generation = 11;
        request.input = kSimple;
        request.input.source = QByteArray("\0\xff<r>é</r>", 10);
        const QByteArray stream = engine::frame(request.toCbor()) + engine::frame(request.toCbor());
        for (qsizetype cut = 0; cut <= stream.size(); cut += 7) {
            QByteArray buffer = stream.left(cut);
            QList<QCborMap> got;
            QString error;
            QVERIFY(engine::takeFrames(buffer, &got, &error));
            buffer += stream.mid(cut);
            QVERIFY(engine::takeFrames(buffer, &got, &error));
            QCOMPARE(got.size(), 2);
            QVERIFY(buffer.isEmpty());
            const engine::Request back = engine::Request::fromCbor(got.last());
            QCOMPARE(back.id, 7);
            QCOMPARE(back.generation, 11);
            QCOMPARE(back.input.source, request.input.source);
            QCOMPARE(back.input.stylesheetBase, request.input.stylesheetBase);
        }
    }

    void frames_refuseWhatCannotBeAFrame_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("length beyond the limit") << QByteArray("\x7f\xff\xff\xff", 4);
        QTest::addRow("payload that is no map") << QByteArray("\0\0\0\x01\x01", 5);
    }
    void frames_refuseWhatCannotBeAFrame()
    {
        QFETCH(QByteArray, bytes);
        QList<QCborMap> got;
        QString error;
        QVERIFY(!engine::takeFrames(bytes, &got, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(got.isEmpty());
    }

    void client_answersThroughTheWorker()
    {
        EngineClient client;
        QSignalSpy spy(&client, &EngineClient::finished);
        client.submit(1, QStringLiteral("live"), 5, preview::Target::Browser, kSimple);
        const engine::Response r = nextAnswer(spy);
        QVERIFY2(r.result.ok, qPrintable(r.result.text));
        QCOMPARE(r.result.page, QByteArray("sum=3"));
        QCOMPARE(r.result.method, QStringLiteral("text"));
        QCOMPARE(r.window, 1);
        QCOMPARE(r.generation, 5);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("live"));
    }

    void client_newerRequestSupersedesAWaitingOne()
    {
        EngineClient client;
        QSignalSpy spy(&client, &EngineClient::finished);
        client.submit(1, QStringLiteral("live"), 1, preview::Target::Browser, endless());
        for (int generation = 2; generation <= 4; ++generation)
            client.submit(1, QStringLiteral("live"), generation, preview::Target::Browser, kSimple);
        // Generations 2 and 3 never ran: they are answered as superseded, at once.
        QCOMPARE(spy.size(), 2);
        for (int i : {0, 1})
            QVERIFY(spy.at(i).at(1).value<engine::Response>().superseded);
        QVERIFY(client.isBusy(1));
        QVERIFY(client.stop(1));
        // Stop answers what ran and what waited.
        QCOMPARE(spy.size(), 4);
        for (int i : {2, 3}) {
            const engine::Response stopped = spy.at(i).at(1).value<engine::Response>();
            QCOMPARE(stopped.generation, i == 2 ? 4 : 1);
            QCOMPARE(stopped.result.text, QStringLiteral("Transformation stopped"));
            QCOMPARE(stopped.failure, engine::Failure::Stopped);
        }
        QVERIFY(!client.isBusy(1));
    }

    // A runaway in one window holds up nobody else, and Stop in a window reaches a request
    // that waits behind its own runaway.
    void client_windowsDoNotWaitForEachOther()
    {
        EngineClient client;
        QSignalSpy spy(&client, &EngineClient::finished);
        client.submit(1, QStringLiteral("live"), 1, preview::Target::Browser, endless());
        client.submit(2, QStringLiteral("tab"), 1, preview::Target::Browser, kSimple);
        const engine::Response other = nextAnswer(spy);
        QCOMPARE(other.window, 2);
        QVERIFY(other.result.ok);
        QVERIFY(client.isBusy(1));

        client.submit(1, QStringLiteral("tab"), 2, preview::Target::Browser, kSimple);
        QVERIFY(client.stop(1, QStringLiteral("tab")));
        QCOMPARE(spy.size(), 2);
        QCOMPARE(spy.at(1).at(1).value<engine::Response>().result.text, QStringLiteral("Transformation stopped"));
        QVERIFY(client.isBusy(1, QStringLiteral("live")));
        client.cancel(1);
        QCOMPARE(client.workerCount(), 1); // window 2's, idle
    }

    void client_closedWindowEndsItsWork()
    {
        EngineClient client;
        QSignalSpy spy(&client, &EngineClient::finished);
        client.submit(1, QStringLiteral("tab"), 1, preview::Target::Tab, endless());
        client.submit(1, QStringLiteral("live"), 1, preview::Target::Browser, kSimple);
        client.cancel(1);
        QVERIFY(!client.isBusy(1));
        QCOMPARE(spy.size(), 2);
        for (int i : {0, 1})
            QVERIFY(spy.at(i).at(1).value<engine::Response>().superseded);
        client.submit(2, QStringLiteral("tab"), 1, preview::Target::Browser, kSimple);
        const engine::Response r = nextAnswer(spy);
        QCOMPARE(r.window, 2);
        QVERIFY(r.result.ok);
        QCOMPARE(spy.size(), 3);
    }

    void client_survivesWhatTheWorkerCannot()
    {
        EngineClient client;
        client.setMemoryLimitMb(400);
        QSignalSpy spy(&client, &EngineClient::finished);
        // Doubles a string until no memory is left.
        client.submit(1, QStringLiteral("live"), 1, preview::Target::Browser,
                      input(QStringLiteral("<xsl:template match=\"/\"><xsl:call-template name=\"grow\"><xsl:with-param name=\"s\" select=\"'xxxxxxxxxxxxxxxx'\"/></xsl:call-template></xsl:template>"
                                           "<xsl:template name=\"grow\"><xsl:param name=\"s\"/><xsl:call-template name=\"grow\"><xsl:with-param name=\"s\" select=\"concat($s, $s)\"/></xsl:call-template></xsl:template>")));
        const engine::Response r = nextAnswer(spy);
        QVERIFY(!r.result.ok);
        QCOMPARE(r.result.text, QStringLiteral("The transformation needed more than 400 MB.\n"));
        // The next request gets a worker again.
        client.submit(1, QStringLiteral("live"), 2, preview::Target::Browser, kSimple);
        QVERIFY(nextAnswer(spy).result.ok);
    }

    // The XPath bar's work: the worker keeps the source it was sent and asks for it again when
    // it has another (or none); a long value comes back cut, with its length; an evaluation past
    // its time limit ends. Validation and formatting come back typed as well.
    void client_toolsRunInTheWorker()
    {
        EngineClient client;
        QSignalSpy spy(&client, &EngineClient::finished);
        engine::Request x;
        x.kind = engine::Kind::XPath;
        x.window = 1;
        x.xpath.sourceKey = 7;
        x.xpath.expression = QStringLiteral("count(//a)");
        client.submit(x, QStringLiteral("xpath"));
        QVERIFY(nextAnswer(spy).needSource);
        x.xpath.hasSource = true;
        x.xpath.source = "<r><a>abc</a><a>déf</a></r>";
        client.submit(x, QStringLiteral("xpath"));
        engine::Response r = nextAnswer(spy);
        QCOMPARE(r.xpath.value, QStringLiteral("2"));
        x.xpath.hasSource = false;
        x.xpath.expression = QStringLiteral("string(/)");
        x.xpath.maxValueChars = 4;
        client.submit(x, QStringLiteral("xpath"));
        r = nextAnswer(spy);
        QVERIFY(!r.needSource);
        QCOMPARE(r.xpath.value, QStringLiteral("abcd"));
        QCOMPARE(r.xpath.valueLength, 6);
        x.xpath.hasSource = true;
        x.xpath.source = "<r>" + QByteArray("<a/>").repeated(2000) + "</r>";
        x.xpath.expression = QStringLiteral("count(//a[count(//a[count(//a) > 0]) > 0])");
        client.submit(x, QStringLiteral("xpath"), 300);
        r = nextAnswer(spy);
        QCOMPARE(r.failure, engine::Failure::TimedOut);
        QCOMPARE(r.failureText, QStringLiteral("The evaluation took longer than 0.3 seconds and was stopped."));

        engine::Request v;
        v.kind = engine::Kind::Validate;
        v.window = 1;
        v.validate.source = "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]>\n<r><b/></r>";
        client.submit(v, QStringLiteral("validate"));
        r = nextAnswer(spy);
        QVERIFY(!r.validation.valid);
        QVERIFY(!r.validation.problems.isEmpty());
        QCOMPARE(r.validation.problems.first().line, 2);

        engine::Request f;
        f.kind = engine::Kind::Format;
        f.window = 1;
        f.format = {QStringLiteral("<r><a/></r>"), 2, false, QString()};
        client.submit(f, QStringLiteral("format"));
        QCOMPARE(nextAnswer(spy).format.text, QStringLiteral("<r>\n  <a/>\n</r>\n"));
    }

    // A run that ran out of memory is a failed run, whatever it produced, and the next request
    // gets a fresh worker.
    void client_outOfMemoryIsAFailedRun_data()
    {
        QTest::addColumn<QString>("templates");
        // Each step doubles a string; the length is written once it is long enough, which it
        // never honestly gets under the cap.
        QTest::addRow("string concatenation")
            << QStringLiteral("<xsl:template match=\"/\"><out><xsl:call-template name=\"grow\"><xsl:with-param name=\"s\" select=\"'xxxxxxxxxxxxxxxx'\"/></xsl:call-template></out></xsl:template>"
                              "<xsl:template name=\"grow\"><xsl:param name=\"s\"/><xsl:choose><xsl:when test=\"string-length($s) &gt; 2000000000\"><xsl:value-of select=\"string-length($s)\"/></xsl:when>"
                              "<xsl:otherwise><xsl:call-template name=\"grow\"><xsl:with-param name=\"s\" select=\"concat($s, $s)\"/></xsl:call-template></xsl:otherwise></xsl:choose></xsl:template>");
        // A binary tree 40 levels deep: far more nodes than any memory holds.
        QTest::addRow("binary tree")
            << QStringLiteral("<xsl:template match=\"/\"><xsl:call-template name=\"t\"><xsl:with-param name=\"d\" select=\"40\"/></xsl:call-template></xsl:template>"
                              "<xsl:template name=\"t\"><xsl:param name=\"d\"/><n><xsl:if test=\"$d &gt; 0\"><xsl:call-template name=\"t\"><xsl:with-param name=\"d\" select=\"$d - 1\"/></xsl:call-template>"
                              "<xsl:call-template name=\"t\"><xsl:with-param name=\"d\" select=\"$d - 1\"/></xsl:call-template></xsl:if></n></xsl:template>");
    }
    void client_outOfMemoryIsAFailedRun()
    {
        QFETCH(QString, templates);
        EngineClient client;
        client.setMemoryLimitMb(256);
        QSignalSpy spy(&client, &EngineClient::finished);
        client.submit(1, QStringLiteral("live"), 1, preview::Target::Browser, input(templates));
        const engine::Response r = nextAnswer(spy);
        QVERIFY2(!r.result.ok, r.result.page.left(200).constData());
        QCOMPARE(r.failure, engine::Failure::OutOfMemory);
        QCOMPARE(r.result.text, QStringLiteral("The transformation needed more than 256 MB.\n"));
        client.submit(1, QStringLiteral("live"), 2, preview::Target::Browser, kSimple);
        const engine::Response next = nextAnswer(spy);
        QVERIFY2(next.result.ok, qPrintable(next.result.text));
        QCOMPARE(next.result.page, QByteArray("sum=3"));
    }

    // A worker never outlives its program, also when the program is killed in the middle of a
    // runaway transformation.
    void worker_endsWithItsProgram_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addRow("killed") << int(SIGKILL);
        QTest::addRow("terminated") << int(SIGTERM);
    }
    void worker_endsWithItsProgram()
    {
        QFETCH(int, signalNumber);
        QProcess program;
        program.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kActAsProgram)});
        QVERIFY(program.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return program.canReadLine(); }, 20000));
        const qint64 worker = program.readLine().trimmed().toLongLong();
        QVERIFY(worker > 0);
        QVERIFY(isRunning(worker));
        ::kill(pid_t(program.processId()), signalNumber);
        QVERIFY(program.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(!isRunning(worker), 5000);
    }

    // Should the kernel's notice not reach it, a worker still sees its input close while it
    // is busy with a transformation nobody waits for any more.
    void worker_endsWhenItsInputCloses()
    {
        QProcess worker;
        worker.start(EngineClient::defaultWorkerPath(), {});
        QVERIFY(worker.waitForStarted());
        engine::Request request;
        request.id = 1;
        request.target = preview::Target::Browser;
        request.input = endless();
        worker.write(engine::frame(request.toCbor()));
        QVERIFY(worker.waitForBytesWritten());
        QVERIFY(!worker.waitForFinished(300)); // busy with it
        worker.closeWriteChannel();
        QVERIFY(worker.waitForFinished(5000));
    }

    void client_checkReportsEachMistakeAtItsLine()
    {
        EngineClient client;
        QSignalSpy spy(&client, &EngineClient::finished);
        preview::Input check = input(QStringLiteral("\n<xsl:template match=\"/\">\n<xsl:valu-of select=\"1\"/>\n<xsl:if test=\"(\"/>\n</xsl:template>"));
        client.submit(1, QStringLiteral("check"), 1, preview::Target::Check, check);
        const engine::Response r = nextAnswer(spy);
        QVERIFY(!r.result.ok);
        QCOMPARE(r.result.diagnostics.size(), 2);
        QCOMPARE(r.result.diagnostics[0].line, 3);
        QVERIFY(r.result.diagnostics[0].message.contains(QLatin1String("unknown xsl:valu-of")));
        QCOMPARE(r.result.diagnostics[1].line, 4);
        QCOMPARE(r.result.diagnostics[1].origin, Diagnostic::Origin::Compilation);
        QCOMPARE(r.result.diagnostics[1].file, QStringLiteral("file:///nonexistent/s.xsl"));
        // Messages of a run that succeeds come back too, in order, with their lines.
        client.submit(1, QStringLiteral("live"), 2, preview::Target::Browser,
                      input(QStringLiteral("<xsl:template match=\"/\">\n<xsl:message>first</xsl:message>\n<xsl:message>second</xsl:message><o/></xsl:template>")));
        const engine::Response run = nextAnswer(spy);
        QVERIFY(run.result.ok);
        QCOMPARE(run.result.diagnostics.size(), 2);
        QCOMPARE(run.result.diagnostics[0].message, QStringLiteral("first"));
        QCOMPARE(run.result.diagnostics[0].line, 2);
        QCOMPARE(run.result.diagnostics[1].line, 3);
        QCOMPARE(run.result.diagnostics[1].severity, Diagnostic::Severity::Information);
    }

    void client_missingWorker_saysSo()
    {
        EngineClient client(QStringLiteral("/nonexistent/zendrik-engine"));
        QSignalSpy spy(&client, &EngineClient::finished);
        client.submit(1, QStringLiteral("tab"), 1, preview::Target::Tab, kSimple);
        QCOMPARE(spy.size(), 1);
        const engine::Response r = spy.at(0).at(1).value<engine::Response>();
        QVERIFY(!r.result.ok);
        QVERIFY2(r.result.text.contains(QLatin1String("could not be started")), qPrintable(r.result.text));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], kActAsProgram) == 0)
        return actAsProgram();
    TstWorker tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_worker.moc"
