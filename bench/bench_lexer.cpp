// Lexer benchmark on a generated stylesheet of about 10 MB:
//   a. colouring what a window shows (60 lines) after a character is typed near the end,
//      in the editor as the program has it (target: 2 ms at most);
//   b. colouring the whole text with our lexer against QScintilla's XML lexer, both in a bare
//      editor, in the same run (target: at most 1.5 times QScintilla's time).
// The text holds only complete references, so QScintilla's lexer does not hit its assertion.
//
// Run by hand from the build folder: ./bench/bench_lexer [--runs N] [--mb N]

#include "components/syntaxbox.h"
#include "components/xmllexer.h"
#include "components/xmlstyler.h"

#include <Qsci/qscilexerxml.h>
#include <Qsci/qsciscintilla.h>

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

using Sci = QsciScintillaBase;

int g_runs = 7;
constexpr int kVisibleLines = 60;

double msSince(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One warm-up, then g_runs timed runs; the callable returns the time it measured in ms.
double measure(const std::function<double()> &run)
{
    run();
    std::vector<double> times;
    for (int i = 0; i < g_runs; ++i)
        times.push_back(run());
    return median(times);
}

struct Lcg {
    quint64 s = 0x2545F4914F6CDD1DULL;
    unsigned next(unsigned n)
    {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return unsigned((s >> 33) % n);
    }
};

// Templates with patterns, tests, selects with functions, axes and variables, value templates,
// literal result elements, comments and some non-ASCII text.
QByteArray makeStylesheet(qsizetype targetBytes)
{
    static const char *const kWords[] = {"alpha", "bravo", "café", "delta", "écho", "foxtrot", "golf", "hôtel"};
    Lcg rng;
    QByteArray out;
    out.reserve(targetBytes + 4096);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
           "  <xsl:output method=\"xml\" indent=\"yes\"/>\n\n";
    for (int t = 0; out.size() < targetBytes; ++t) {
        const QByteArray n = QByteArray::number(t);
        const QByteArray w = kWords[rng.next(8)];
        out += "  <!-- Template " + n + ": " + w + " → résumé\n       of the section -->\n";
        out += "  <xsl:template match=\"record[@type='t" + n + "']|section/item[@kind='k" + n + "']\" mode=\"m\">\n";
        out += "    <xsl:variable name=\"total\" select=\"sum(item/@qty) * 2 + " + n + "\"/>\n";
        out += "    <div class=\"rec t" + n + "\" id=\"{@id}\" title=\"{concat($total, ' ', name())}\">\n";
        out += "      <h2>Entrée " + n + " &amp; " + w + " <xsl:value-of select=\"@name\"/></h2>\n";
        out += "      <xsl:for-each select=\"child::item[position() &lt; 10]\">\n";
        out += "        <xsl:if test=\"@qty &gt; " + QByteArray::number(rng.next(9)) + " and not(@hidden)\">\n";
        out += "          <span data-n=\"" + n + "\"><xsl:value-of select=\"format-number(@qty div 3, '0.00')\"/></span>\n";
        out += "        </xsl:if>\n";
        out += "      </xsl:for-each>\n";
        out += "      <![CDATA[ raw <b> text ]]>\n";
        out += "    </div>\n";
        out += "  </xsl:template>\n\n";
    }
    out += "</xsl:stylesheet>\n";
    return out;
}

struct Row {
    QByteArray name;
    double ours = 0;
    double base = 0;
    double ratioTarget = 0; // 0: none
    double msTarget = 0;    // 0: none
};
std::vector<Row> g_rows;

void addRow(const Row &row)
{
    g_rows.push_back(row);
    std::fprintf(stderr, "  %-52s %10.3f ms\n", row.name.constData(), row.ours);
}

void printTable()
{
    std::printf("\n%-52s %11s %11s %7s %10s  %s\n", "case", "ours ms", "QSci ms", "ratio", "target", "result");
    std::printf("%s\n", QByteArray(104, '-').constData());
    for (const Row &r : g_rows) {
        const double ratio = r.base > 0 ? r.ours / r.base : 0;
        QByteArray target = "-", result = "info";
        if (r.ratioTarget > 0) {
            target = QByteArray::number(r.ratioTarget, 'f', 1) + "x";
            result = ratio <= r.ratioTarget ? "PASS" : "MISS";
        } else if (r.msTarget > 0) {
            target = "<= " + QByteArray::number(r.msTarget, 'f', 1) + " ms";
            result = r.ours <= r.msTarget ? "PASS" : "MISS";
        }
        std::printf("%-52s %11.3f %11s %7s %10s  %s\n", r.name.constData(), r.ours,
                    r.base > 0 ? QByteArray::number(r.base, 'f', 3).constData() : "-",
                    r.base > 0 ? QByteArray::number(ratio, 'f', 2).constData() : "-", target.constData(),
                    result.constData());
    }
    std::printf("(median of %d runs after one warm-up)\n", g_runs);
}

void setBytes(QsciScintilla &editor, const QByteArray &utf8)
{
    editor.SendScintilla(Sci::SCI_CLEARALL);
    editor.SendScintilla(Sci::SCI_ADDTEXT, static_cast<uintptr_t>(utf8.size()), utf8.constData());
}

// Colours everything, then times colouring the 60 lines below a line near the end after a
// character is typed at its start: what painting asks for after a keystroke.
double visibleAfterEdit(QsciScintilla &editor)
{
    editor.SendScintilla(Sci::SCI_COLOURISE, 0UL, -1L);
    const long lines = editor.SendScintilla(Sci::SCI_GETLINECOUNT);
    long line = lines * 9 / 10;
    return measure([&] {
        line += 7; // a fresh line each time, so each run restyles from its own edit
        const long at = editor.SendScintilla(Sci::SCI_POSITIONFROMLINE, static_cast<unsigned long>(line)) + 2;
        editor.SendScintilla(Sci::SCI_INSERTTEXT, static_cast<unsigned long>(at), "x");
        const long shownEnd = editor.SendScintilla(Sci::SCI_POSITIONFROMLINE, static_cast<unsigned long>(line + kVisibleLines));
        QElapsedTimer t;
        t.start();
        editor.SendScintilla(Sci::SCI_COLOURISE, static_cast<unsigned long>(editor.SendScintilla(Sci::SCI_GETENDSTYLED)),
                             shownEnd);
        const double ms = msSince(t);
        if (editor.SendScintilla(Sci::SCI_GETENDSTYLED) < shownEnd)
            std::fprintf(stderr, "warning: the visible lines were not coloured\n");
        return ms;
    });
}

// A freshly loaded text, so line states and fold levels are all new, as when a file is opened.
double wholeText(QsciScintilla &editor, const QByteArray &utf8)
{
    setBytes(editor, utf8);
    const long length = editor.SendScintilla(Sci::SCI_GETLENGTH);
    QElapsedTimer t;
    t.start();
    editor.SendScintilla(Sci::SCI_COLOURISE, 0UL, -1L);
    const double ms = msSince(t);
    if (editor.SendScintilla(Sci::SCI_GETENDSTYLED) < length)
        std::fprintf(stderr, "warning: the text was not coloured to its end\n");
    return ms;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qsizetype megabytes = 10;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            g_runs = std::max(1, atoi(argv[++i]));
        else if (a == "--mb" && i + 1 < argc)
            megabytes = std::max(1, atoi(argv[++i]));
    }
    QApplication app(argc, argv);

    std::fprintf(stderr, "generating %lld MB...\n", static_cast<long long>(megabytes));
    const QByteArray xsl = makeStylesheet(megabytes << 20);
    const QByteArray label = QByteArray::number(double(xsl.size()) / (1 << 20), 'f', 1) + " MB";

    {
        std::fprintf(stderr, "a. visible lines after an edit...\n");
        SyntaxBox box;
        box.resize(1000, 900);
        setBytes(box, xsl);
        const double ours = visibleAfterEdit(box);
        QsciScintilla bare;
        bare.setUtf8(true);
        QsciLexerXML theirs;
        bare.setLexer(&theirs);
        setBytes(bare, xsl);
        const double base = visibleAfterEdit(bare);
        addRow({"a. " + QByteArray::number(kVisibleLines) + " lines after typing, " + label, ours, base, 0, 2.0});
    }
    {
        std::fprintf(stderr, "b. whole text...\n");
        QsciScintilla oursEditor, theirsEditor;
        oursEditor.setUtf8(true);
        theirsEditor.setUtf8(true);
        XmlLexer ours;
        QsciLexerXML theirs;
        oursEditor.setLexer(&ours);
        theirsEditor.setLexer(&theirs);
        // Interleaved, so that both see the same state of the machine.
        std::vector<double> a, b;
        wholeText(oursEditor, xsl);
        wholeText(theirsEditor, xsl);
        for (int i = 0; i < g_runs; ++i) {
            a.push_back(wholeText(oursEditor, xsl));
            b.push_back(wholeText(theirsEditor, xsl));
        }
        addRow({"b. whole text in the editor, " + label, median(a), median(b), 1.5, 0});

        // The core alone, without Scintilla's bookkeeping: what the editor adds on top.
        const xmlstyler::Styler styler;
        std::vector<unsigned char> styles(size_t(xsl.size()));
        std::vector<xmlstyler::LineInfo> lines;
        const double core = measure([&] {
            lines.clear();
            QElapsedTimer t;
            t.start();
            styler.style(xsl.constData(), size_t(xsl.size()), 0, styles.data(), &lines);
            return msSince(t);
        });
        addRow({"b. the styling core alone, " + label, core, 0, 0, 0});
    }

    printTable();
    return 0;
}
