// Where a result came from, and what knowing it costs: a DocBook article of about 1 MB through
// html/docbook.xsl, transformed as the live pane does it with nothing recorded, with the map
// (Inspect), and with the map, the trace and the profile, beside the bare libraries
// (xsltproc's work) in the same run; and the size of what the worker sends back.
//
// Run by hand from the build folder:  ./bench_tracing [--runs N]

#include "benchsupport.h"
#include "engine/previewpipeline.h"

#include <libxml/parser.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

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
    const QString article = QStringLiteral("/tmp/zendrik-bench-article.xml");
    QFile f(article);
    if (!f.open(QIODevice::WriteOnly) || f.write(makeArticle(1 << 20)) < 0)
        return 1;
    f.close();

    preview::Input input{readFile(stylesheet), stylesheet, readFile(article), article, {}};
    preview::Result last;
    const auto pipeline = [&](int flags) {
        input.trace = flags;
        return measure([&] {
            QElapsedTimer t;
            t.start();
            last = preview::build(input, preview::Target::Browser);
            return msSince(t);
        });
    };
    const double bare = measure([&] { return bareTransform(stylesheet, article); });
    const double off = pipeline(0);
    const QByteArray page = last.page;
    const double mapped = pipeline(tracing::Map);
    const bool same = last.page == page;
    const QCborMap mapOnly = last.trace->toCbor();
    const QByteArray mapBytes = mapOnly.toCborValue().toCbor();
    const qsizetype mapSent = mapBytes.size();
    const double decode = measure([&] {
        QElapsedTimer t;
        t.start();
        const tracing::Report back = tracing::Report::fromCbor(QCborValue::fromCbor(mapBytes).toMap());
        return msSince(t) + 0 * back.nodes.size();
    });
    const double all = pipeline(tracing::Map | tracing::Trace | tracing::Profile);
    const tracing::Report &r = *last.trace;
    const qsizetype sent = r.toCbor().toCborValue().toCbor().size();

    std::printf("article %lld bytes, result %lld bytes; %lld nodes mapped (%lld cut), %lld events (%lld cut), %lld templates\n",
                static_cast<long long>(input.source.size()), static_cast<long long>(page.size()),
                static_cast<long long>(r.nodes.size()), static_cast<long long>(r.nodesCut),
                static_cast<long long>(r.events.size()), static_cast<long long>(r.eventsCut),
                static_cast<long long>(r.templates.size()));
    std::printf("%-58s %9.1f ms\n", "bare libraries, xsltproc's work (median)", bare);
    std::printf("%-58s %9.1f ms  %.2f x bare\n", "pipeline, nothing recorded (median)", off, off / bare);
    std::printf("%-58s %9.1f ms  %.2f x bare, %.2f x off  target <= 2.5 x\n", "pipeline with the map (median)", mapped,
                mapped / bare, mapped / off);
    std::printf("%-58s %9.1f ms  %.2f x bare, %.2f x off\n", "pipeline with map, trace and profile (median)", all, all / bare,
                all / off);
    std::printf("%-58s %9lld B   %.2f x the result\n", "map, trace and profile as sent", static_cast<long long>(sent),
                double(sent) / double(page.size()));
    std::printf("%-58s %9lld B   %.2f x the result  target <= 1 x\n", "map alone as sent (Inspect)",
                static_cast<long long>(mapSent), double(mapSent) / double(page.size()));
    for (auto it = mapOnly.constBegin(); it != mapOnly.constEnd(); ++it)
        if (it.value().isArray() || it.value().isByteArray())
            std::printf("  of which %-15s %9lld B\n", qPrintable(it.key().toString()),
                        static_cast<long long>(it.value().toCbor().size()));
    std::printf("%-58s %9.1f ms  on the window's thread\n", "map read from its bytes (median)", decode);
    std::printf("%-58s %9s\n", "result bytes the same with the map", same ? "yes" : "NO");
    QFile::remove(article);
    return same ? 0 : 1;
}
