// The worker process and the exchange with it, with the engine library alone.
#include "engine/engineclient.h"
#include "engine/engineprotocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <unistd.h>

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

// The answers a test's requests got, in the order they came.
class Answers : public QObject
{
public:
    QList<engine::Response> got;
    QList<engine::Channel> channels;
    EngineClient::AnswerHandler handler(engine::Channel channel)
    {
        return [this, channel](const engine::Response &r) {
            got << r;
            channels << channel;
        };
    }
    qsizetype size() const { return got.size(); }
    const engine::Response &at(qsizetype i) const { return got.at(i); }
};

// A transformation for a window, as the windows ask for one.
void transform(EngineClient &client, Answers &answers, qint64 window, engine::Channel channel, qint64 generation,
               preview::Target target, const preview::Input &input)
{
    engine::Request request;
    request.window = window;
    request.generation = generation;
    request.target = target;
    request.input = input;
    client.submit(std::move(request), channel, &answers, answers.handler(channel));
}

// Waits for the next answer and returns it.
engine::Response nextAnswer(Answers &answers)
{
    const qsizetype before = answers.size();
    if (!QTest::qWaitFor([&] { return answers.size() > before; }, 20000))
        return {};
    return answers.at(before);
}

// Started as a program of its own, the test binary keeps a worker busy with a runaway
// transformation, prints the worker's process id and waits to be ended.
const char kActAsProgram[] = "--act-as-program";
// Set in its environment, the test binary acts as a worker of an older version.
const char kActAsOldWorker[] = "ZENDRIK_TEST_ACT_AS_OLD_WORKER";

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
    Answers answers;
    transform(client, answers, 1, engine::Channel::Live, 1, preview::Target::Browser, endless());
    QList<qint64> workers;
    (void)QTest::qWaitFor([&] { return !(workers = workerChildren()).isEmpty(); }, 10000);
    std::printf("%lld\n", workers.isEmpty() ? 0LL : workers.first());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace


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

    void client_answersThroughTheWorker_data()
    {
        QTest::addColumn<qsizetype>("padding");
        QTest::addRow("small") << qsizetype(0);
        // Encoded beside the client's thread before it goes out.
        QTest::addRow("large") << qsizetype(EngineClient::kEncodeBesideBytes);
    }
    void client_answersThroughTheWorker()
    {
        QFETCH(qsizetype, padding);
        EngineClient client;
        Answers spy;
        preview::Input in = kSimple;
        in.source.insert(in.source.lastIndexOf('<'), QByteArray("<!--") + QByteArray(padding, 'x') + "-->");
        transform(client, spy, 1, engine::Channel::Live, 5, preview::Target::Browser, in);
        const engine::Response r = nextAnswer(spy);
        QVERIFY2(r.result.ok, qPrintable(r.result.text));
        QCOMPARE(r.result.page, QByteArray("sum=3"));
        QCOMPARE(r.result.method, QStringLiteral("text"));
        QCOMPARE(r.window, 1);
        QCOMPARE(r.generation, 5);
        QCOMPARE(spy.channels.at(0), engine::Channel::Live);
    }

    void client_newerRequestSupersedesAWaitingOne()
    {
        EngineClient client;
        Answers spy;
        transform(client, spy, 1, engine::Channel::Live, 1, preview::Target::Browser, endless());
        for (int generation = 2; generation <= 4; ++generation)
            transform(client, spy, 1, engine::Channel::Live, generation, preview::Target::Browser, kSimple);
        // Generations 2 and 3 never ran: they are answered as superseded, at once.
        QCOMPARE(spy.size(), 2);
        for (int i : {0, 1})
            QVERIFY(spy.at(i).superseded());
        QVERIFY(client.isBusy(1));
        QVERIFY(client.stop(1));
        // Stop answers what ran and what waited.
        QCOMPARE(spy.size(), 4);
        for (int i : {2, 3}) {
            const engine::Response stopped = spy.at(i);
            QCOMPARE(stopped.generation, i == 2 ? 4 : 1);
            QCOMPARE(stopped.result.text, QStringLiteral("Transformation stopped"));
            QCOMPARE(stopped.error, engine::ErrorKind::Stopped);
        }
        QVERIFY(!client.isBusy(1));
    }

    // A runaway in one window holds up nobody else, and Stop in a window reaches a request
    // that waits behind its own runaway.
    void client_windowsDoNotWaitForEachOther()
    {
        EngineClient client;
        Answers spy;
        transform(client, spy, 1, engine::Channel::Live, 1, preview::Target::Browser, endless());
        transform(client, spy, 2, engine::Channel::Tab, 1, preview::Target::Browser, kSimple);
        const engine::Response other = nextAnswer(spy);
        QCOMPARE(other.window, 2);
        QVERIFY(other.result.ok);
        QVERIFY(client.isBusy(1));

        transform(client, spy, 1, engine::Channel::Tab, 2, preview::Target::Browser, kSimple);
        QVERIFY(client.stop(1, engine::Channel::Tab));
        QCOMPARE(spy.size(), 2);
        QCOMPARE(spy.at(1).result.text, QStringLiteral("Transformation stopped"));
        QVERIFY(client.isBusy(1, engine::Channel::Live));
        client.cancel(1);
        QCOMPARE(client.workerCount(), 1); // window 2's, idle
    }

    void client_closedWindowEndsItsWork()
    {
        EngineClient client;
        Answers spy;
        // A large request still being encoded when its window goes never reaches a worker.
        preview::Input large = kSimple;
        large.source.insert(large.source.lastIndexOf('<'), QByteArray("<!--") + QByteArray(EngineClient::kEncodeBesideBytes, 'x') + "-->");
        transform(client, spy, 1, engine::Channel::Tab, 1, preview::Target::Tab, large);
        client.cancel(1);
        QCOMPARE(spy.size(), 1);
        QVERIFY(spy.at(0).superseded());
        spy.got.clear();
        spy.channels.clear();

        transform(client, spy, 1, engine::Channel::Tab, 1, preview::Target::Tab, endless());
        transform(client, spy, 1, engine::Channel::Live, 1, preview::Target::Browser, kSimple);
        client.cancel(1);
        QVERIFY(!client.isBusy(1));
        QCOMPARE(spy.size(), 2);
        for (int i : {0, 1})
            QVERIFY(spy.at(i).superseded());
        transform(client, spy, 2, engine::Channel::Tab, 1, preview::Target::Browser, kSimple);
        const engine::Response r = nextAnswer(spy);
        QCOMPARE(r.window, 2);
        QVERIFY(r.result.ok);
        QCOMPARE(spy.size(), 3);
    }

    void client_survivesWhatTheWorkerCannot()
    {
        EngineClient client;
        client.setMemoryLimitMb(400);
        Answers spy;
        // Doubles a string until no memory is left.
        transform(client, spy, 1, engine::Channel::Live, 1, preview::Target::Browser,
                      input(QStringLiteral("<xsl:template match=\"/\"><xsl:call-template name=\"grow\"><xsl:with-param name=\"s\" select=\"'xxxxxxxxxxxxxxxx'\"/></xsl:call-template></xsl:template>"
                                           "<xsl:template name=\"grow\"><xsl:param name=\"s\"/><xsl:call-template name=\"grow\"><xsl:with-param name=\"s\" select=\"concat($s, $s)\"/></xsl:call-template></xsl:template>")));
        const engine::Response r = nextAnswer(spy);
        QVERIFY(!r.result.ok);
        QCOMPARE(r.result.text, QStringLiteral("The transformation needed more than 400 MB.\n"));
        // The next request gets a worker again.
        transform(client, spy, 1, engine::Channel::Live, 2, preview::Target::Browser, kSimple);
        QVERIFY(nextAnswer(spy).result.ok);
    }

    // The XPath bar's work: the worker keeps the source it was sent and asks for it again when
    // it has another (or none); a long value comes back cut, with its length; an evaluation past
    // its time limit ends. Validation and formatting come back typed as well.
    void client_toolsRunInTheWorker()
    {
        EngineClient client;
        Answers spy;
        engine::Request x;
        x.kind = engine::Kind::XPath;
        x.window = 1;
        x.xpath.sourceKey = 7;
        x.xpath.expression = QStringLiteral("count(//a)");
        client.submit(x, engine::Channel::XPath, &spy, spy.handler(engine::Channel::XPath));
        QVERIFY(nextAnswer(spy).needSource);
        x.xpath.hasSource = true;
        x.xpath.source = "<r><a>abc</a><a>déf</a></r>";
        client.submit(x, engine::Channel::XPath, &spy, spy.handler(engine::Channel::XPath));
        engine::Response r = nextAnswer(spy);
        QCOMPARE(r.xpath.value, QStringLiteral("2"));
        x.xpath.hasSource = false;
        x.xpath.expression = QStringLiteral("string(/)");
        x.xpath.maxValueChars = 4;
        client.submit(x, engine::Channel::XPath, &spy, spy.handler(engine::Channel::XPath));
        r = nextAnswer(spy);
        QVERIFY(!r.needSource);
        QCOMPARE(r.xpath.value, QStringLiteral("abcd"));
        QCOMPARE(r.xpath.valueLength, 6);
        x.xpath.hasSource = true;
        x.xpath.source = "<r>" + QByteArray("<a/>").repeated(2000) + "</r>";
        x.xpath.expression = QStringLiteral("count(//a[count(//a[count(//a) > 0]) > 0])");
        client.submit(x, engine::Channel::XPath, &spy, spy.handler(engine::Channel::XPath), 300);
        r = nextAnswer(spy);
        QCOMPARE(r.error, engine::ErrorKind::TimedOut);
        QCOMPARE(r.errorText, QStringLiteral("The evaluation took longer than 0.3 seconds and was stopped."));

        engine::Request v;
        v.kind = engine::Kind::Validate;
        v.window = 1;
        v.validate.source = "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]>\n<r><b/></r>";
        client.submit(v, engine::Channel::Validate, &spy, spy.handler(engine::Channel::Validate));
        r = nextAnswer(spy);
        QVERIFY(!r.validation.valid);
        QVERIFY(!r.validation.problems.isEmpty());
        QCOMPARE(r.validation.problems.first().line, 2);

        engine::Request f;
        f.kind = engine::Kind::Format;
        f.window = 1;
        f.format = {QStringLiteral("<r><a/></r>"), 2, false, QString()};
        client.submit(f, engine::Channel::Format, &spy, spy.handler(engine::Channel::Format));
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
        Answers spy;
        transform(client, spy, 1, engine::Channel::Live, 1, preview::Target::Browser, input(templates));
        const engine::Response r = nextAnswer(spy);
        QVERIFY2(!r.result.ok, r.result.page.left(200).constData());
        QCOMPARE(r.error, engine::ErrorKind::OutOfMemory);
        QCOMPARE(r.result.text, QStringLiteral("The transformation needed more than 256 MB.\n"));
        transform(client, spy, 1, engine::Channel::Live, 2, preview::Target::Browser, kSimple);
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
        worker.write(engine::frame(engine::helloMessage()) + engine::frame(request.toCbor()));
        QVERIFY(worker.waitForBytesWritten());
        QVERIFY(!worker.waitForFinished(300)); // busy with it
        worker.closeWriteChannel();
        QVERIFY(worker.waitForFinished(5000));
    }

    void client_checkReportsEachMistakeAtItsLine()
    {
        EngineClient client;
        Answers spy;
        preview::Input check = input(QStringLiteral("\n<xsl:template match=\"/\">\n<xsl:valu-of select=\"1\"/>\n<xsl:if test=\"(\"/>\n</xsl:template>"));
        transform(client, spy, 1, engine::Channel::Check, 1, preview::Target::Check, check);
        const engine::Response r = nextAnswer(spy);
        QVERIFY(!r.result.ok);
        QCOMPARE(r.error, engine::ErrorKind::Compile);
        QCOMPARE(r.result.title(), QStringLiteral("Error"));
        QCOMPARE(r.result.diagnostics.size(), 2);
        QCOMPARE(r.result.diagnostics[0].line, 3);
        QVERIFY(r.result.diagnostics[0].message.contains(QLatin1String("unknown xsl:valu-of")));
        QCOMPARE(r.result.diagnostics[1].line, 4);
        QCOMPARE(r.result.diagnostics[1].origin, Diagnostic::Origin::Compilation);
        QCOMPARE(r.result.diagnostics[1].file, QStringLiteral("file:///nonexistent/s.xsl"));
        // Messages of a run that succeeds come back too, in order, with their lines.
        transform(client, spy, 1, engine::Channel::Live, 2, preview::Target::Browser,
                      input(QStringLiteral("<xsl:template match=\"/\">\n<xsl:message>first</xsl:message>\n<xsl:message>second</xsl:message><o/></xsl:template>")));
        const engine::Response run = nextAnswer(spy);
        QVERIFY(run.result.ok);
        QCOMPARE(run.result.diagnostics.size(), 2);
        QCOMPARE(run.result.diagnostics[0].message, QStringLiteral("first"));
        QCOMPARE(run.result.diagnostics[0].line, 2);
        QCOMPARE(run.result.diagnostics[1].line, 3);
        QCOMPARE(run.result.diagnostics[1].severity, Diagnostic::Severity::Information);
    }

    // A worker the program cannot talk to gets no work: none at all, or one of another version
    // (an old zendrik-engine beside a new program). The user is told which.
    void client_refusesWorkersItCannotTalkTo_data()
    {
        QTest::addColumn<QString>("worker");
        QTest::addColumn<engine::ErrorKind>("error");
        QTest::addColumn<QString>("text");
        QTest::addRow("missing") << QStringLiteral("/nonexistent/zendrik-engine") << engine::ErrorKind::Unavailable
                                 << QStringLiteral("The transformation engine \"/nonexistent/zendrik-engine\" could not be started. Reinstall Zendrik.");
        const QString self = QCoreApplication::applicationFilePath();
        QTest::addRow("another version") << self << engine::ErrorKind::Incompatible
                                         << QStringLiteral("The transformation engine \"%1\" belongs to another version of Zendrik. Reinstall Zendrik.").arg(self);
    }
    void client_refusesWorkersItCannotTalkTo()
    {
        QFETCH(QString, worker);
        QFETCH(engine::ErrorKind, error);
        QFETCH(QString, text);
        // Started as a worker, this test binary says hello in an older version of the exchange.
        qputenv(kActAsOldWorker, "1");
        EngineClient client(worker);
        Answers spy;
        transform(client, spy, 1, engine::Channel::Tab, 1, preview::Target::Tab, kSimple);
        // Without a worker the answer comes at once.
        QVERIFY(QTest::qWaitFor([&] { return spy.size() == 1; }, 20000));
        const engine::Response r = spy.at(0);
        qunsetenv(kActAsOldWorker);
        QCOMPARE(r.error, error);
        QCOMPARE(r.result.text, text);
        QCOMPARE(r.result.title(), QStringLiteral("Error"));
        QCOMPARE(client.workerCount(), 0);
    }

    // The worker, for its part, takes no work from a program of another version.
    void worker_refusesAProgramOfAnotherVersion()
    {
        QProcess worker;
        worker.start(EngineClient::defaultWorkerPath(), {});
        QVERIFY(worker.waitForStarted());
        worker.write(engine::frame(engine::helloMessage(engine::kProtocolVersion - 1)));
        QVERIFY(worker.waitForFinished(5000));
        QCOMPARE(worker.exitCode(), 4);
        QByteArray out = worker.readAllStandardOutput();
        QList<QCborMap> frames;
        QString error;
        QVERIFY(engine::takeFrames(out, &frames, &error));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(engine::helloVersion(frames.first()), engine::kProtocolVersion);
    }

    // A newer text of the same window and channel interrupts the transformation that runs: the
    // worker answers it as superseded and stays, for the newer one; a runaway of another channel
    // runs on. An interrupt that comes before its request (a large one is still being encoded)
    // keeps the request from running at all.
    void worker_newerTextInterruptsTheRunningTransformation()
    {
        EngineClient client;
        Answers spy;
        transform(client, spy, 1, engine::Channel::Live, 1, preview::Target::Browser, endless());
        QList<qint64> workers;
        QVERIFY(QTest::qWaitFor([&] { return !(workers = workerChildren()).isEmpty(); }, 10000));
        QTest::qWait(300); // deep in it
        transform(client, spy, 1, engine::Channel::Live, 2, preview::Target::Browser, kSimple);
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 10000);
        QCOMPARE(spy.at(0).generation, 1);
        QVERIFY(spy.at(0).superseded());
        QCOMPARE(spy.at(1).result.page, QByteArray("sum=3"));
        QCOMPARE(workerChildren(), workers);

        transform(client, spy, 1, engine::Channel::Tab, 3, preview::Target::Browser, endless());
        QTest::qWait(300);
        transform(client, spy, 1, engine::Channel::Live, 4, preview::Target::Browser, kSimple);
        QTest::qWait(500);
        QCOMPARE(spy.size(), 2);
        QVERIFY(client.stop(1, engine::Channel::Tab));
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 4, 10000);
        QCOMPARE(spy.at(2).error, engine::ErrorKind::Stopped);
        QCOMPARE(spy.at(3).result.page, QByteArray("sum=3"));

        QProcess worker;
        worker.start(EngineClient::defaultWorkerPath(), {});
        QVERIFY(worker.waitForStarted());
        engine::Request first, second;
        first.id = 7;
        first.input = endless();
        second.id = 8;
        second.input = kSimple;
        first.target = second.target = preview::Target::Browser;
        worker.write(engine::frame(engine::helloMessage()) + engine::frame(engine::interruptMessage(7))
                     + engine::frame(first.toCbor()) + engine::frame(second.toCbor()));
        QByteArray out;
        QList<QCborMap> frames;
        QString error;
        QVERIFY(QTest::qWaitFor([&] {
            worker.waitForReadyRead(100);
            out += worker.readAllStandardOutput();
            return !engine::takeFrames(out, &frames, &error) || frames.size() >= 3;
        }, 10000));
        QVERIFY2(error.isEmpty() && frames.size() == 3, qPrintable(error));
        QCOMPARE(engine::Response::fromCbor(frames.at(1)).id, 7);
        QVERIFY(engine::Response::fromCbor(frames.at(1)).superseded());
        QCOMPARE(engine::Response::fromCbor(frames.at(2)).result.page, QByteArray("sum=3"));
        worker.closeWriteChannel();
        QVERIFY(worker.waitForFinished(5000));
    }

    // Each answer goes to whoever asked: never to another window, never to a requester that is
    // gone.
    void client_answersGoToTheirRequester()
    {
        EngineClient client;
        Answers first, second;
        transform(client, first, 1, engine::Channel::Tab, 1, preview::Target::Browser, kSimple);
        transform(client, second, 2, engine::Channel::Tab, 1, preview::Target::Browser, input(QStringLiteral("<xsl:output method=\"text\"/><xsl:template match=\"/\">two</xsl:template>")));
        QVERIFY(QTest::qWaitFor([&] { return first.size() == 1 && second.size() == 1; }, 20000));
        QCOMPARE(first.at(0).window, 1);
        QCOMPARE(first.at(0).result.page, QByteArray("sum=3"));
        QCOMPARE(second.at(0).window, 2);
        QCOMPARE(second.at(0).result.page, QByteArray("two"));
        {
            Answers gone;
            transform(client, gone, 3, engine::Channel::Tab, 1, preview::Target::Browser, kSimple);
        }
        transform(client, first, 3, engine::Channel::Live, 2, preview::Target::Browser, kSimple);
        QVERIFY(QTest::qWaitFor([&] { return first.size() == 2; }, 20000));
        QCOMPARE(first.at(1).window, 3);
        QVERIFY(!client.isBusy(3));
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kActAsOldWorker)) {
        const QByteArray hello = engine::frame(engine::helloMessage(engine::kProtocolVersion - 1));
        (void)!::write(STDOUT_FILENO, hello.constData(), size_t(hello.size()));
        char sink[4096];
        while (::read(STDIN_FILENO, sink, sizeof sink) > 0) {
        }
        return 0;
    }
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], kActAsProgram) == 0)
        return actAsProgram();
    TstWorker tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_worker.moc"
