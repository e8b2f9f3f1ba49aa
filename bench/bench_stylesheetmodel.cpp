// The stylesheet model: building the model of DocBook's html/docbook.xsl with its whole
// include and import tree (reading the files, the model, and the checks), against libxml2
// parsing the same files from memory; and the model of a 10 MB generated stylesheet.
//
// Run by hand from the build folder:  ./bench_stylesheetmodel [--runs N] [--docbook-only]

#include "benchsupport.h"
#include "engine/stylesheetmodel.h"
#include "engine/textfile.h"

#include <libxml/parser.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cstdio>

using namespace bench;

namespace {

stylesheet::ModuleReader diskReader()
{
    return [](const QString &path) -> std::optional<QString> {
        if (!QFileInfo(path).isFile())
            return std::nullopt;
        return textfile::decode(readFile(path)).text;
    };
}

void row(const char *what, double ms, const char *note = "")
{
    std::printf("%-62s %9.1f ms  %s\n", what, ms, note);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    for (int i = 1; i + 1 < argc; ++i)
        if (QByteArray(argv[i]) == "--runs")
            g_runs = std::max(1, QByteArray(argv[i + 1]).toInt());
    xmlInitParser();
    const bool docbookOnly = QCoreApplication::arguments().contains(QStringLiteral("--docbook-only"));

    const QString docbook = QStringLiteral("/usr/share/xml/docbook/stylesheet/docbook-xsl/html/docbook.xsl");
    if (QFileInfo(docbook).isFile()) {
        const QByteArray mainBytes = readFile(docbook);
        const stylesheet::Model once = stylesheet::build(textfile::decode(mainBytes).text, docbook, diskReader());
        std::printf("docbook html/docbook.xsl: %lld files, %lld declarations, %lld references\n",
                    static_cast<long long>(once.files.size()), static_cast<long long>(once.declarations.size()),
                    static_cast<long long>(once.references.size()));
        // The model as the window builds it: every file read from disk, decoded, modelled, checked.
        const double model = measure([&] {
            QElapsedTimer t;
            t.start();
            const QByteArray bytes = readFile(docbook);
            const stylesheet::Model m = stylesheet::build(textfile::decode(bytes).text, docbook, diskReader());
            (void)stylesheet::check(m, m.version);
            return msSince(t);
        });
        // The files alone through libxml2: read from disk and parsed into trees.
        const double parse = measure([&] {
            QElapsedTimer t;
            t.start();
            for (const QString &file : once.files) {
                const QByteArray bytes = readFile(file);
                xmlDocPtr doc = xmlReadMemory(bytes.constData(), int(bytes.size()), file.toUtf8().constData(), nullptr,
                                              XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_DTDLOAD);
                xmlFreeDoc(doc);
            }
            return msSince(t);
        });
        row("model + checks of docbook.xsl and its tree (median)", model);
        row("libxml2 parse of the same files (median)", parse);
        std::printf("%-62s %9.2f x  target <= 1.5 x\n", "ratio", model / parse);
    } else {
        std::printf("docbook-xsl is not installed: its rows are left out\n");
    }

    if (docbookOnly)
        return 0;
    // A large stylesheet, as the window builds its model beside the editor after a pause.
    const QByteArray big = makeStylesheet(10 << 20);
    const double bigModel = measure([&] {
        QElapsedTimer t;
        t.start();
        const stylesheet::Model m = stylesheet::build(QString::fromUtf8(big), QStringLiteral("/tmp/big.xsl"));
        (void)stylesheet::check(m, 1.0);
        return msSince(t);
    });
    const double bigParse = measure([&] {
        QElapsedTimer t;
        t.start();
        xmlDocPtr doc = xmlReadMemory(big.constData(), int(big.size()), "big.xsl", nullptr, XML_PARSE_NONET);
        xmlFreeDoc(doc);
        return msSince(t);
    });
    row("model + checks, 10 MB generated stylesheet (median)", bigModel);
    row("libxml2 parse of it (median)", bigParse);
    std::printf("%-62s %9.2f x\n", "ratio", bigModel / bigParse);
    return 0;
}
