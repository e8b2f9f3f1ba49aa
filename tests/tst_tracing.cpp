#include "engine/previewpipeline.h"
#include "engine/resulttrace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

// Where a result came from: the map of result nodes to instructions and source nodes, the trace
// of templates that fired and the profile's calls, for the golden folders tests/data/trace-*/.
// Each holds stylesheet.xsl and source.xml, and the expected map.txt, trace.txt and calls.txt;
// a run that differs writes what it found beside them as *.actual.
namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString fileName(const tracing::Report &r, int file)
{
    return file >= 0 && file < r.files.size() ? QFileInfo(r.files[file]).fileName() : QStringLiteral("?");
}

QString sourceText(const tracing::Report &r, int source)
{
    if (source < 0)
        return QStringLiteral("-");
    return QStringLiteral("%1 line %2").arg(r.sourcePath(source)).arg(r.sources[source].line);
}

// One line per mapped node, indented by depth: what it is in the bytes, what made it, in which
// template, for which source node.
QString mapText(const tracing::Report &r, const QByteArray &page)
{
    QStringList lines;
    QList<int> depth(r.nodes.size(), 0);
    for (qsizetype i = 0; i < r.nodes.size(); ++i) {
        const tracing::Node &n = r.nodes[i];
        depth[i] = n.parent >= 0 ? depth[n.parent] + 1 : 0;
        QString what = QString::fromUtf8(page.mid(n.offset, n.length)).simplified();
        if (!n.text) {
            // The start tag and whether the extent ends with its own end tag.
            const QString start = what.section(QLatin1Char('>'), 0, 0) + QLatin1Char('>');
            const QString name = start.mid(1).section(QRegularExpression(QStringLiteral("[ >/]")), 0, 0);
            const bool closed = what.endsWith(QStringLiteral("</%1>").arg(name)) || what == start;
            what = start + (closed ? QString() : QStringLiteral(" (unclosed: %1)").arg(what));
        } else {
            what = QLatin1Char('"') + what + QLatin1Char('"');
        }
        QString made = QStringLiteral("built-in");
        if (n.instruction >= 0) {
            const tracing::Instruction &in = r.instructions[n.instruction];
            made = QStringLiteral("%1:%2 %3").arg(fileName(r, in.file)).arg(in.line).arg(in.name);
        }
        lines << QString(depth[i] * 2, QLatin1Char(' ')) + what + QStringLiteral(" <- ") + made + QStringLiteral(" | ")
                     + r.templateLabel(n.templ) + QStringLiteral(" | ") + sourceText(r, n.source);
    }
    if (r.nodesCut)
        lines << QStringLiteral("(%1 more not mapped)").arg(r.nodesCut);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString traceText(const tracing::Report &r)
{
    QStringList lines;
    for (const tracing::Event &e : r.events) {
        QString where;
        if (e.templ >= 0)
            where = QStringLiteral(" %1:%2").arg(fileName(r, r.templates[e.templ].file)).arg(r.templates[e.templ].line);
        lines << QString(e.depth * 2, QLatin1Char(' ')) + r.templateLabel(e.templ) + where + QStringLiteral(" | ")
                     + sourceText(r, e.source);
    }
    if (r.eventsCut)
        lines << QStringLiteral("(%1 more)").arg(r.eventsCut);
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

// Calls per template, and whether the times add up: a template's own time is within its total,
// and no total exceeds the run.
QString callsText(const tracing::Report &r, QString *fault)
{
    QStringList lines;
    for (const tracing::ProfileRow &p : r.profile) {
        lines << QStringLiteral("%1 %2").arg(r.templateLabel(p.templ)).arg(p.calls);
        if (p.templ >= 0 && (p.ownNs < 0 || p.ownNs > p.totalNs || p.totalNs > r.runNs))
            *fault = QStringLiteral("times of %1: own %2, total %3, run %4").arg(r.templateLabel(p.templ)).arg(p.ownNs).arg(p.totalNs).arg(r.runNs);
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void compareGolden(const QString &path, const QString &actual)
{
    const QString expected = QString::fromUtf8(readFile(path));
    if (expected == actual) {
        QFile::remove(path + QStringLiteral(".actual"));
        return;
    }
    QFile out(path + QStringLiteral(".actual"));
    if (out.open(QIODevice::WriteOnly))
        out.write(actual.toUtf8());
    QFAIL(qPrintable(QStringLiteral("%1 differs; found:\n%2").arg(path, actual)));
}

preview::Input inputOf(const QString &folder)
{
    return preview::Input{readFile(folder + QStringLiteral("/stylesheet.xsl")), folder + QStringLiteral("/stylesheet.xsl"),
                          readFile(folder + QStringLiteral("/source.xml")), folder + QStringLiteral("/source.xml"), {}};
}

} // namespace

class TstTracing : public QObject
{
    Q_OBJECT

private slots:
    void golden_data()
    {
        QTest::addColumn<QString>("folder");
        const QDir data(QStringLiteral(TEST_DATA_DIR));
        for (const QString &name : data.entryList({QStringLiteral("trace-*")}, QDir::Dirs))
            QTest::newRow(qPrintable(name)) << data.filePath(name);
    }

    // The map, the trace and the calls; the page's bytes are the same as without them, and the
    // report crosses the pipe unchanged.
    void golden()
    {
        QFETCH(QString, folder);
        preview::Input input = inputOf(folder);
        const preview::Result plain = preview::build(input, preview::Target::Browser);
        QVERIFY2(plain.ok, qPrintable(plain.text));
        QVERIFY(!plain.trace);
        input.trace = tracing::Map | tracing::Trace | tracing::Profile;
        const preview::Result traced = preview::build(input, preview::Target::Browser);
        QVERIFY2(traced.ok, qPrintable(traced.text));
        QCOMPARE(traced.page, plain.page);
        QVERIFY(traced.trace);
        const tracing::Report &r = *traced.trace;
        QCOMPARE(tracing::Report::fromCbor(r.toCbor()), r);

        compareGolden(folder + QStringLiteral("/map.txt"), mapText(r, traced.page));
        compareGolden(folder + QStringLiteral("/trace.txt"), traceText(r));
        QString fault;
        compareGolden(folder + QStringLiteral("/calls.txt"), callsText(r, &fault));
        QVERIFY2(fault.isEmpty(), qPrintable(fault));

        // The rendered view's copy: every mapped element carries its index, and nothing else of
        // the page changed.
        const QByteArray annotated = tracing::annotatedPage(traced.page, r);
        QString stripped = QString::fromLatin1(annotated);
        stripped.remove(QRegularExpression(QStringLiteral(" data-zkt?=\"[0-9 ]*\"")));
        QCOMPARE(stripped.toLatin1(), traced.page);
        for (qsizetype i = 0; i < r.nodes.size(); ++i)
            if (!r.nodes[i].text)
                QVERIFY(annotated.contains(" data-zk=\"" + QByteArray::number(i) + '"'));

        // Only what is asked for is recorded.
        input.trace = tracing::Profile;
        const preview::Result profiled = preview::build(input, preview::Target::Browser);
        QVERIFY(profiled.trace && profiled.trace->nodes.isEmpty() && profiled.trace->events.isEmpty());
        QCOMPARE(profiled.trace->profile.size(), r.profile.size());
    }

    // Past the limit the map stops, counts the rest and keeps what it has placed; the run is not
    // held up and its bytes are whole.
    void mapCutOffAtLimit()
    {
        const QByteArray stylesheet = "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                                      "<xsl:output method='xml'/>"
                                      "<xsl:template match='/'><r><xsl:for-each select='//n'><a/><b>x</b></xsl:for-each></r></xsl:template>"
                                      "</xsl:stylesheet>";
        QByteArray source = "<d>";
        for (int i = 0; i < 40000; ++i)
            source += "<n/>";
        source += "</d>";
        preview::Input input{stylesheet, QStringLiteral("/tmp/s.xsl"), source, QStringLiteral("/tmp/d.xml"), {}, tracing::Map};
        const preview::Result result = preview::build(input, preview::Target::Browser);
        QVERIFY(result.ok && result.trace);
        const tracing::Report &r = *result.trace;
        // r, then a, b and b's text 40,000 times.
        QCOMPARE(r.nodes.size(), tracing::kMaxNodes);
        QCOMPARE(r.nodesCut, 1 + 3 * 40000 - tracing::kMaxNodes);
        const tracing::Node &last = r.nodes.last();
        QVERIFY(last.offset > 0);
        QCOMPARE(result.page.mid(last.offset, last.length), last.text ? QByteArray("x") : QByteArray("<b>"));
        QVERIFY(result.page.endsWith("</r>\n"));
    }

    // Marks that do not line up with the page leave the places unknown rather than wrong.
    void placesRefusedWhenTheBytesDisagree()
    {
        QList<tracing::Node> nodes{tracing::Node{}, tracing::Node{true, 0}};
        const QByteArray plain = "<p>hi</p>";
        QVERIFY(tracing::placeNodes("<p data-zk=\"0\">\xEE\x80\x80" "1\xEE\x80\x81hi</p>", plain, nodes, true));
        QCOMPARE(nodes[0].offset, 0);
        QCOMPARE(nodes[0].length, plain.size());
        QCOMPARE(nodes[1].offset, 3);
        QCOMPARE(nodes[1].length, 2);
        QVERIFY(!tracing::placeNodes("<p data-zk=\"0\">&#57344;1&#57345;hi!</p>", plain, nodes, true));
        QCOMPARE(nodes[0].offset, -1);
        QCOMPARE(nodes[1].offset, -1);
    }
};

QTEST_GUILESS_MAIN(TstTracing)
#include "tst_tracing.moc"
