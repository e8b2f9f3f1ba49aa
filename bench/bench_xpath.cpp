// XPath benchmark on a generated source of about 20 MB: parsing it and counting "//*", once with
// bare libxml2 (xmlReadMemory, xmlXPathEval) and once through xpatheval::Session (setSource,
// evaluate with its default rows), in the same run. Target: at most 1.5 times bare libxml2.
// Also shown, for information: locating the last element, which reads the whole text once.
//
// Run by hand from the build folder: ./bench_xpath [--runs N] [--mb N]

#include "benchsupport.h"
#include "engine/xpatheval.h"

#include <QElapsedTimer>

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    int mb = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs"))
            bench::g_runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--mb"))
            mb = std::max(1, std::atoi(argv[++i]));
    }
    xmlInitParser();
    const QByteArray source = bench::makeSource(qsizetype(mb) * 1024 * 1024);
    std::fprintf(stderr, "source: %.1f MB\n", double(source.size()) / (1024 * 1024));

    long bareCount = -1;
    const double bare = bench::measure([&] {
        QElapsedTimer t;
        t.start();
        xmlDocPtr doc = xmlReadMemory(source.constData(), int(source.size()), nullptr, nullptr, 0);
        xmlXPathContextPtr ctxt = doc ? xmlXPathNewContext(doc) : nullptr;
        xmlXPathObjectPtr obj = ctxt ? xmlXPathEval(BAD_CAST "//*", ctxt) : nullptr;
        bareCount = obj && obj->nodesetval ? obj->nodesetval->nodeNr : -1;
        const double ms = bench::msSince(t);
        xmlXPathFreeObject(obj);
        xmlXPathFreeContext(ctxt);
        xmlFreeDoc(doc);
        return ms;
    });

    long ourCount = -1;
    int rows = 0;
    const double ours = bench::measure([&] {
        QElapsedTimer t;
        t.start();
        xpatheval::Session session;
        QString error;
        if (!session.setSource(source, QString(), &error))
            std::fprintf(stderr, "the source did not parse: %s\n", qPrintable(error));
        const xpatheval::Result r = session.evaluate(QStringLiteral("//*"));
        ourCount = r.ok ? r.total : -1;
        rows = int(r.nodes.size());
        return bench::msSince(t);
    });

    // A text that differs from the last one each time, so that nothing located before is reused.
    xpatheval::Session session;
    const QByteArray other = source + ' ';
    int run = 0;
    const double last = bench::measure([&] {
        session.setSource(run++ % 2 ? source : other, QString());
        QElapsedTimer t;
        t.start();
        session.evaluate(QStringLiteral("(//*)[last()]"));
        return bench::msSince(t);
    });

    if (bareCount != ourCount || bareCount < 0)
        std::fprintf(stderr, "counts differ: libxml2 %ld, session %ld\n", bareCount, ourCount);
    const double ratio = bare > 0 ? ours / bare : 0;
    std::printf("\n%-44s %10s %10s\n", "case", "ms", "count");
    std::printf("%-44s %10.2f %10ld\n", "libxml2: xmlReadMemory + //*", bare, bareCount);
    std::printf("%-44s %10.2f %10ld  (%d rows)\n", "Session: setSource + evaluate //*", ours, ourCount, rows);
    std::printf("%-44s %10.2f %10s\n", "Session: (//*)[last()] located (info)", last, "1");
    std::printf("ratio %.2fx, target 1.5x: %s\n", ratio, ratio <= 1.5 ? "met" : "NOT met");
    std::printf("(median of %d runs after one warm-up)\n", bench::g_runs);
    return 0;
}
