// Repeat runs as the live pane makes them: a DocBook article of about 1 MB through
// html/docbook.xsl (about 100 files compiled), after an edit of the source, after an edit of the
// stylesheet and after a parameter change, through one worker's cache; against the pipeline
// without a cache and against xsltproc, the whole process, in the same run.
//
// Run by hand from the build folder:  ./bench_repeat [--runs N]

#include "benchsupport.h"
#include "engine/previewpipeline.h"
#include "engine/transformcache.h"

#include <libxml/parser.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cstdio>

using namespace bench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    for (int i = 1; i + 1 < argc; ++i)
        if (QByteArray(argv[i]) == "--runs")
            g_runs = std::max(1, QByteArray(argv[i + 1]).toInt());
    xmlInitParser();
    const QString stylesheet = QStringLiteral("/usr/share/xml/docbook/stylesheet/docbook-xsl/html/docbook.xsl");
    if (!QFileInfo(stylesheet).isFile()) {
        std::printf("docbook-xsl is not installed: nothing to measure\n");
        return 0;
    }
    const QString article = QStringLiteral("/tmp/zendrik-bench-repeat.xml");
    QFile f(article);
    if (!f.open(QIODevice::WriteOnly) || f.write(makeArticle(1 << 20)) < 0)
        return 1;
    f.close();

    preview::Input input{readFile(stylesheet), stylesheet, readFile(article), article, {}};
    const QByteArray source = input.source;
    const QByteArray xsl = input.stylesheet;
    int edit = 0;
    // Each timed run changes one character, as a key does.
    const auto editSource = [&] { input.source = QByteArray(source).replace("<title>", "<title>" + QByteArray::number(++edit % 10)); };
    const auto editStylesheet = [&] { input.stylesheet = QByteArray(xsl).replace("</xsl:stylesheet>", "<!--" + QByteArray::number(++edit) + "--></xsl:stylesheet>"); };

    const auto once = [&](TransformCache *cache, const std::function<void()> &change) {
        change();
        QElapsedTimer t;
        t.start();
        const preview::Result r = preview::build(input, preview::Target::Browser, cache);
        if (!r.ok)
            std::fprintf(stderr, "failed: %s\n", qPrintable(r.text));
        return msSince(t);
    };
    const QString xsltproc = QStandardPaths::findExecutable(QStringLiteral("xsltproc"));
    const auto cli = [&] {
        QElapsedTimer t;
        t.start();
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        // xsltproc as the user runs it, whatever this process was started with.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("LD_PRELOAD"));
        p.setProcessEnvironment(env);
        p.start(xsltproc, {stylesheet, article});
        p.waitForFinished(-1);
        return msSince(t);
    };
    const auto setParameter = [&] { input.parameters = {{QStringLiteral("html.stylesheet"), QString::number(++edit), false}}; };

    // The machine's speed wanders by tens of percent over a minute: each round measures every
    // case once, xsltproc first, and each case is also given as its median ratio to the
    // xsltproc of its own round.
    enum { Cli, Uncached, SourceEdit, StyleEdit, Parameter, Cases };
    const char *names[Cases] = {"xsltproc, whole process", "pipeline without the cache", "after an edit of the source",
                                "after an edit of the stylesheet", "after a parameter change"};
    std::vector<double> ms[Cases], ratio[Cases];
    TransformCache cache;
    once(&cache, [] {}); // fills the cache, as the window's first render does
    for (int round = 0; round < g_runs; ++round) {
        double t[Cases];
        t[Cli] = xsltproc.isEmpty() ? -1 : cli();
        t[Uncached] = once(nullptr, editSource);
        t[SourceEdit] = once(&cache, editSource);
        t[StyleEdit] = once(&cache, editStylesheet);
        once(&cache, [] {}); // the source stripped by the edited stylesheet is parsed again here
        t[Parameter] = once(&cache, setParameter);
        for (int c = 0; c < Cases; ++c) {
            ms[c].push_back(t[c]);
            if (t[Cli] > 0)
                ratio[c].push_back(t[c] / t[Cli]);
        }
    }
    std::printf("DocBook article %lld bytes through html/docbook.xsl, medians of %d rounds\n", qlonglong(source.size()), g_runs);
    for (int c = 0; c < Cases; ++c)
        std::printf("  %-34s %8.1f ms  %5.2fx xsltproc\n", names[c], median(ms[c]), ratio[c].empty() ? 0.0 : median(ratio[c]));
    const TransformCache::Counts counts = cache.counts();
    std::printf("  through the cache: %d compiles, %d reuses; %d source parses, %d reuses\n", counts.compiles,
                counts.stylesheetReuses, counts.sourceParses, counts.sourceReuses);
    QFile::remove(article);
    return 0;
}
