// Formatter benchmark: re-indenting a generated 10 MB document, next to `xmllint --format` on
// the same file (run as a process, when it is installed) in the same run.
//
// Run by hand from the build folder: ./bench_format [--runs N] [--mb N]

#include "engine/formatter.h"
#include "benchsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

namespace {

using namespace bench;

// Sections nested up to 24 deep and up to 6 wide, with attributes; paragraphs of mixed content,
// comments and references; whitespace between tags as a careless edit leaves it.
QString makeInput(qsizetype targetChars)
{
    quint64 seed = 0x9E3779B97F4A7C15ULL;
    auto next = [&seed](unsigned n) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return unsigned((seed >> 33) % n);
    };
    static const char *const gaps[] = {"", "", "\n", " ", "\n    ", "\t"};
    QString s;
    s.reserve(targetChars + 65536);
    s += QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated -->\n<book lang=\"en\">");
    int record = 0;
    while (s.size() < targetChars) {
        // One chapter: a random tree walked depth first.
        int depth = 0;
        int open[32];
        int steps = 200 + int(next(400));
        while (steps-- > 0 || depth > 0) {
            const bool deeper = steps > 0 && depth < 24 && next(3) != 0;
            if (deeper) {
                open[depth] = int(next(6));
                s += QLatin1String(gaps[next(6)]);
                s += QStringLiteral("<section id=\"r%1\" kind='k%2' level=\"%3\">").arg(record++).arg(open[depth]).arg(depth);
                ++depth;
                continue;
            }
            if (depth == 0)
                break;
            switch (next(5)) {
            case 0:
                s += QStringLiteral("<para>Record %1 has <em>mixed</em> content &amp; a reference &#233;\n  over two lines.</para>").arg(record);
                break;
            case 1:
                s += QStringLiteral("<!-- note %1 -->").arg(record);
                break;
            case 2:
                s += QStringLiteral("<item n=\"%1\" flag=\"yes\"/>").arg(record);
                break;
            default:
                s += QStringLiteral("<title>Title %1</title>").arg(record);
                break;
            }
            if (next(2) == 0 || steps <= 0) {
                --depth;
                s += QLatin1String(gaps[next(6)]);
                s += QStringLiteral("</section>");
            }
        }
    }
    s += QStringLiteral("\n</book>\n");
    return s;
}

double timeProcess(const QString &program, const QStringList &args)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
        return -1;
    }
    return msSince(t);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int megabytes = 10;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs"))
            g_runs = qMax(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--mb"))
            megabytes = qMax(1, args[i + 1].toInt());
    }

    const QString input = makeInput(qsizetype(megabytes) * 1024 * 1024);
    const QByteArray utf8 = input.toUtf8();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input.xml"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(utf8) != utf8.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    f.close();
    std::printf("input: %.1f MB, %lld lines, %d timed runs each (median)\n", double(utf8.size()) / 1048576.0,
                qlonglong(input.count(QLatin1Char('\n')) + 1), g_runs);

    formatter::Result result;
    const double ours = measure([&] {
        QElapsedTimer t;
        t.start();
        result = formatter::formatDocument(input, 2);
        return msSince(t);
    });
    if (!result.ok) {
        std::fprintf(stderr, "formatDocument refused the input: %d:%d: %s\n", result.line, result.column,
                     qPrintable(result.error));
        return 1;
    }
    std::printf("formatDocument:           %8.1f ms (%.1f MB out)\n", ours, double(result.text.toUtf8().size()) / 1048576.0);

    const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
    if (xmllint.isEmpty()) {
        std::printf("xmllint is not installed: no comparison\n");
        return 0;
    }
    const double parseOnly = measure([&] { return timeProcess(xmllint, {QStringLiteral("--noout"), path}); });
    const double lint = measure([&] {
        return timeProcess(xmllint, {QStringLiteral("--format"), QStringLiteral("--output"), QStringLiteral("/dev/null"), path});
    });
    std::printf("xmllint --noout:          %8.1f ms (parse only, process included)\n", parseOnly);
    std::printf("xmllint --format:         %8.1f ms (process included)\n", lint);
    std::printf("formatDocument / xmllint --format: %.2fx (target: at most 3x)\n", ours / lint);
    return 0;
}
