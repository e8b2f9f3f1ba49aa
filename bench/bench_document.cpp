// Document window benchmark: typing into a large stylesheet, loading a large XML source and
// building the preview, each against what the bare libxml2/libxslt calls cost for the same
// input on the same machine in the same run.
//
// Run by hand from the build folder: ./bench/bench_document [--runs N] [--quick] [--only abc]
// --quick uses smaller inputs (for profiling under valgrind); --only picks cases by letter.

#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "common/common.h"
#include "document/documentwindow.h"
#include "benchsupport.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

// --- bare engine baselines ------------------------------------------------------------------

void quietErrors(void *, const char *, ...) {}

double baselineParseMemory(const QByteArray &utf8)
{
    QElapsedTimer t;
    t.start();
    xmlDocPtr doc = xmlReadMemory(utf8.constData(), int(utf8.size()), nullptr, "UTF-8", XML_PARSE_NONET);
    const bool ok = doc != nullptr;
    xmlFreeDoc(doc); // freeing the previous tree is part of a parse-on-edit cycle too
    const double ms = msSince(t);
    if (!ok)
        std::fprintf(stderr, "baseline: stylesheet did not parse\n");
    return ms;
}

double baselineLoadFile(const QString &path)
{
    QElapsedTimer t;
    t.start();
    xmlDocPtr doc = xmlReadFile(QFile::encodeName(path).constData(), nullptr, XML_PARSE_NONET);
    xmlChar *buf = nullptr;
    int len = 0;
    if (doc)
        xmlDocDumpMemory(doc, &buf, &len);
    const double ms = msSince(t);
    if (!doc || !buf)
        std::fprintf(stderr, "baseline: source did not load\n");
    xmlFree(buf);
    xmlFreeDoc(doc);
    return ms;
}

double baselineTransform(const QByteArray &xsl, const QByteArray &xml)
{
    QElapsedTimer t;
    t.start();
    xmlDocPtr styleDoc = xmlReadMemory(xsl.constData(), int(xsl.size()), nullptr, "UTF-8", XML_PARSE_NONET);
    xsltStylesheetPtr style = styleDoc ? xsltParseStylesheetDoc(styleDoc) : nullptr;
    xmlDocPtr src = xmlReadMemory(xml.constData(), int(xml.size()), nullptr, "UTF-8", XML_PARSE_NONET);
    xmlDocPtr res = (style && src) ? xsltApplyStylesheet(style, src, nullptr) : nullptr;
    xmlChar *buf = nullptr;
    int len = 0;
    if (res)
        xsltSaveResultToString(&buf, &len, res, style);
    const double ms = msSince(t);
    if (!buf)
        std::fprintf(stderr, "baseline: transformation failed\n");
    xmlFree(buf);
    xmlFreeDoc(res);
    xmlFreeDoc(src);
    if (style)
        xsltFreeStylesheet(style);
    else
        xmlFreeDoc(styleDoc);
    return ms;
}

// --- the table --------------------------------------------------------------------------------

struct Row {
    QByteArray name;
    double ours = 0;
    double base = 0;
    double target = 0; // ratio; 0: informative only
};
std::vector<Row> g_rows;

void addRow(const QByteArray &name, double ours, double base, double target)
{
    g_rows.push_back({name, ours, base, target});
    std::fprintf(stderr, "  %-40s %10.2f ms\n", name.constData(), ours);
}

void printTable()
{
    std::printf("\n%-40s %12s %12s %8s %8s  %s\n", "case", "Zendrik ms", "baseline ms", "ratio", "target", "result");
    std::printf("%s\n", QByteArray(96, '-').constData());
    for (const Row &r : g_rows) {
        if (r.target > 0) {
            const double ratio = r.base > 0 ? r.ours / r.base : 0;
            std::printf("%-40s %12.2f %12.2f %8.2f %7.1fx  %s\n", r.name.constData(), r.ours, r.base, ratio, r.target,
                        ratio <= r.target ? "PASS" : "MISS");
        } else {
            std::printf("%-40s %12.2f %12s %8s %8s  %s\n", r.name.constData(), r.ours, "-", "-", "-", "info");
        }
    }
    std::printf("(median of %d runs after one warm-up)\n", g_runs);
}

// --- the cases --------------------------------------------------------------------------------

DocumentWindow *newWindow(MainWindow &main)
{
    main.menuItem(QStringLiteral("mnuNew"))->trigger();
    QApplication::processEvents();
    return main.activeDocument() ? main.activeDocument() : main.findChildren<DocumentWindow *>().last();
}

void benchTyping(MainWindow &main, const QByteArray &label, const QByteArray &xsl)
{
    DocumentWindow *doc = newWindow(main);
    const QString text = QString::fromUtf8(xsl);
    stylesheetPane(doc)->setText(text);
    QApplication::processEvents();
    // The caret goes into a comment in the middle of the text, so every typed character keeps
    // the stylesheet well-formed and the parse runs to the end.
    const qsizetype comment = text.indexOf(QStringLiteral("<!-- Template"), text.size() / 2);
    stylesheetPane(doc)->setFocus();
    stylesheetPane(doc)->setSelectionStart(int(comment + 5));
    QApplication::processEvents();
    stylesheetPane(doc)->repaint();

    std::vector<double> paints;
    const double key = measure([&] {
        QElapsedTimer t;
        t.start();
        QTest::keyClick(stylesheetPane(doc), 'x');
        const double ms = msSince(t);
        QElapsedTimer p;
        p.start();
        QApplication::processEvents();
        stylesheetPane(doc)->repaint();
        paints.push_back(msSince(p));
        return ms;
    });
    if (!doc->panelText(1).isEmpty())
        std::fprintf(stderr, "warning: typing left a parse error: %s\n", qPrintable(doc->panelText(1)));
    paints.erase(paints.begin());
    const double base = measure([&] { return baselineParseMemory(stylesheetPane(doc)->utf8Text()); });
    addRow("a. key to panel, " + label, key, base, 1.5);
    addRow("a. paint after key, " + label, median(paints), 0, 0);
    doc->setCloseApproved(true);
}

void benchLoad(MainWindow &main, const QString &path, const QByteArray &label)
{
    DocumentWindow *doc = newWindow(main);
    std::vector<double> full;
    const double load = measure([&] {
        QElapsedTimer t;
        t.start();
        doc->loadXMLFile(path);
        QApplication::processEvents();
        const double ms = msSince(t);
        // The rest is coloured in idle slices; wait for the styled mark to reach the end.
        const long length = sourcePane(doc)->SendScintilla(QsciScintillaBase::SCI_GETLENGTH);
        while (sourcePane(doc)->SendScintilla(QsciScintillaBase::SCI_GETENDSTYLED) < length && t.elapsed() < 120000)
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        full.push_back(msSince(t));
        return ms;
    });
    if (sourcePane(doc)->text().isEmpty())
        std::fprintf(stderr, "warning: the source did not load\n");
    full.erase(full.begin());
    const double base = measure([&] { return baselineLoadFile(path); });
    addRow("b. loadXMLFile + visible colour, " + label, load, base, 3.0);
    addRow("b. ... until fully coloured, " + label, median(full), base, 0);
    g_rows.back().target = 0;
    doc->setCloseApproved(true);
}

void benchPreview(MainWindow &main, const QByteArray &xsl, const QByteArray &xml, const QByteArray &label)
{
    DocumentWindow *doc = newWindow(main);
    stylesheetPane(doc)->setText(QString::fromUtf8(xsl));
    sourcePane(doc)->setText(QString::fromUtf8(xml));
    QApplication::processEvents();
    const double ours = measure([&] {
        QString stem = getTempFileStem();
        QElapsedTimer t;
        t.start();
        const bool ok = doc->buildPreviewFile(stem);
        const double ms = msSince(t);
        if (!ok)
            std::fprintf(stderr, "warning: the preview was not built\n");
        else
            QFile::remove(stem);
        return ms;
    });
    const double base = measure([&] { return baselineTransform(xsl, xml); });
    addRow("c. buildPreviewFile, " + label, ours, base, 2.0);
    doc->setCloseApproved(true);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The web engine refuses to start its sandbox as root; this tool is not the product.
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX") && getuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    bool quick = false;
    QByteArray only = "abc";
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--quick")
            quick = true;
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--runs" && i + 1 < argc)
            g_runs = std::max(1, atoi(argv[++i]));
    }

    // A fresh settings store (defaults everywhere) and a private temporary folder.
    QByteArray scratchTemplate = QDir::tempPath().toLocal8Bit() + "/zendrik-bench-XXXXXX";
    if (!mkdtemp(scratchTemplate.data())) {
        std::perror("mkdtemp");
        return 0;
    }
    const QString scratch = QString::fromLocal8Bit(scratchTemplate);
    QDir(scratch).mkpath(QStringLiteral("config"));
    QDir(scratch).mkpath(QStringLiteral("tmp"));
    qputenv("XDG_CONFIG_HOME", (scratchTemplate + "/config"));
    qputenv("TMPDIR", (scratchTemplate + "/tmp"));

    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    xmlSetGenericErrorFunc(nullptr, &quietErrors);

    const qsizetype mb = 1 << 20;
    const qsizetype small = quick ? mb / 4 : mb;
    const qsizetype large = quick ? 2 * mb : 10 * mb;
    const qsizetype huge = quick ? 2 * mb : 20 * mb;

    std::fprintf(stderr, "generating inputs...\n");
    const QByteArray xslSmall = makeStylesheet(small);
    const QByteArray xslLarge = makeStylesheet(large);
    const QByteArray sourceHuge = makeSource(huge);
    const QByteArray sourceSmall = makeSource(small);
    const QByteArray tableXsl = makeTableStylesheet();
    const QString hugePath = scratch + QStringLiteral("/source.xml");
    {
        QFile f(hugePath);
        if (!f.open(QIODevice::WriteOnly) || f.write(sourceHuge) != sourceHuge.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(hugePath));
            return 0;
        }
    }
    const auto mbLabel = [](qsizetype n) { return QByteArray::number(double(n) / (1 << 20), 'f', 1) + " MB"; };

    {
        MainWindow main;
        main.resize(1280, 900);
        main.show();
        QApplication::processEvents();

        if (only.contains('a')) {
            std::fprintf(stderr, "a. typing...\n");
            benchTyping(main, mbLabel(xslSmall.size()), xslSmall);
            benchTyping(main, mbLabel(xslLarge.size()), xslLarge);
        }
        if (only.contains('b')) {
            std::fprintf(stderr, "b. loading...\n");
            benchLoad(main, hugePath, mbLabel(sourceHuge.size()));
        }
        if (only.contains('c')) {
            std::fprintf(stderr, "c. preview...\n");
            benchPreview(main, tableXsl, sourceSmall, mbLabel(sourceSmall.size()) + " source");
        }

        for (DocumentWindow *doc : main.findChildren<DocumentWindow *>())
            doc->setCloseApproved(true);
    }

    printTable();
    QDir(scratch).removeRecursively();
    return 0;
}
