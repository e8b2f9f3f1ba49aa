// The worker process and the exchange with it, with the engine library alone.
#include "engine/engineclient.h"
#include "engine/engineprotocol.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString kHead = QStringLiteral("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">");

preview::Input input(const QString &templates, const QString &source = QStringLiteral("<r><a>1</a><a>2</a></r>"))
{
    return {(kHead + templates + QStringLiteral("</xsl:stylesheet>")).toUtf8(), QStringLiteral("/nonexistent/s.xsl"),
            source.toUtf8(), QStringLiteral("/nonexistent/r.xml")};
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
        client.submit(2, QStringLiteral("live"), 9, preview::Target::Browser, kSimple); // another window keeps its own
        QVERIFY(client.isBusy(1));
        QVERIFY(client.stop(1));
        // Generations 2 and 3 never ran: they are answered as superseded, at once.
        QCOMPARE(spy.size(), 3);
        for (int i : {0, 1})
            QVERIFY(spy.at(i).at(1).value<engine::Response>().superseded);
        const engine::Response stopped = spy.at(2).at(1).value<engine::Response>();
        QCOMPARE(stopped.generation, 1);
        QCOMPARE(stopped.result.text, QStringLiteral("Transformation stopped"));
        const engine::Response latest = nextAnswer(spy);
        QCOMPARE(latest.generation, 4);
        QVERIFY(latest.result.ok && !latest.superseded);
        QCOMPARE(nextAnswer(spy).window, 2);
        QTest::qWait(0);
        QCOMPARE(spy.size(), 5);
        QVERIFY(!client.isBusy(1) && !client.isBusy(2));
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
    TstWorker tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_worker.moc"
