#include "benchsupport.h"

#include <libxml/parser.h>
#include <libxml/xmlIO.h>
#include <libxslt/documents.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <QFile>
#include <QString>
#include <cstdio>

#include <algorithm>

namespace bench {

int g_runs = 7;

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

double msSince(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

double percentile(std::vector<double> v, double share)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(share * double(v.size() - 1) + 0.5));
    return v[i];
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
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

namespace {

// A small deterministic generator, so every run works on the same bytes.
struct Lcg {
    quint64 s = 0x2545F4914F6CDD1DULL;
    unsigned next(unsigned n)
    {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return unsigned((s >> 33) % n);
    }
};

const char *const kWords[] = {"alpha", "bravo", "café", "delta", "écho", "foxtrot", "golf", "hôtel",
                              "india", "juliett", "kilo", "lima", "mike", "november", "oscar", "papa"};
constexpr unsigned kWordCount = sizeof(kWords) / sizeof(kWords[0]);

QByteArray words(Lcg &rng, int n)
{
    QByteArray out;
    for (int i = 0; i < n; ++i) {
        if (i)
            out += ' ';
        out += kWords[rng.next(kWordCount)];
    }
    return out;
}

} // namespace

// A stylesheet of about targetBytes: many templates with match patterns, loops, conditions,
// literal result elements with attributes, comments and some non-ASCII text.
QByteArray makeStylesheet(qsizetype targetBytes)
{
    Lcg rng;
    QByteArray out;
    out.reserve(targetBytes + 4096);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
           "  <xsl:output method=\"xml\" indent=\"yes\" encoding=\"UTF-8\"/>\n\n";
    for (int t = 0; out.size() < targetBytes; ++t) {
        const QByteArray n = QByteArray::number(t);
        out += "  <!-- Template " + n + ": " + words(rng, 6) + " → résumé of the section -->\n";
        out += "  <xsl:template match=\"record[@type='t" + n + "']|section/item[@kind='k" + n + "']\">\n";
        out += "    <div class=\"rec t" + n + "\" id=\"{@id}\" title=\"" + words(rng, 2) + "\">\n";
        out += "      <h2>Entrée " + n + " → <xsl:value-of select=\"@name\"/></h2>\n";
        out += "      <p class=\"intro\">" + words(rng, 10) + "</p>\n";
        out += "      <xsl:for-each select=\"item\">\n";
        out += "        <xsl:if test=\"@qty &gt; " + QByteArray::number(rng.next(9)) + "\">\n";
        out += "          <span class=\"qty\" data-n=\"" + n + "\"><xsl:value-of select=\"@qty\"/></span>\n";
        out += "        </xsl:if>\n";
        out += "        <xsl:choose>\n";
        out += "          <xsl:when test=\"@kind='a'\"><b>Émis <xsl:value-of select=\".\"/></b></xsl:when>\n";
        out += "          <xsl:when test=\"@kind='b'\"><i>" + words(rng, 3) + "</i></xsl:when>\n";
        out += "          <xsl:otherwise><em>autre → <xsl:value-of select=\"position()\"/></em></xsl:otherwise>\n";
        out += "        </xsl:choose>\n";
        out += "      </xsl:for-each>\n";
        out += "      <xsl:apply-templates select=\"note\"/>\n";
        out += "    </div>\n";
        out += "  </xsl:template>\n\n";
    }
    out += "</xsl:stylesheet>\n";
    return out;
}

// An XML source of about targetBytes: records with attributes, nested elements and text.
QByteArray makeSource(qsizetype targetBytes)
{
    Lcg rng;
    rng.s = 0x9E3779B97F4A7C15ULL;
    QByteArray out;
    out.reserve(targetBytes + 4096);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog generated=\"2024-05-01\">\n";
    for (int r = 0; out.size() < targetBytes; ++r) {
        const QByteArray n = QByteArray::number(r);
        out += "  <record id=\"r" + n + "\" type=\"t" + QByteArray::number(rng.next(50)) + "\" name=\""
               + words(rng, 2) + "\" date=\"2024-0" + QByteArray::number(1 + rng.next(9)) + "-1"
               + QByteArray::number(rng.next(10)) + "\">\n";
        out += "    <title>Titre " + n + " → " + words(rng, 3) + "</title>\n";
        const unsigned items = 2 + rng.next(3);
        for (unsigned i = 0; i < items; ++i)
            out += "    <item kind=\"" + QByteArray(1, char('a' + rng.next(3))) + "\" qty=\""
                   + QByteArray::number(rng.next(20)) + "\">" + words(rng, 4) + "</item>\n";
        out += "    <note lang=\"fr\">" + words(rng, 8) + " &amp; " + words(rng, 2) + "</note>\n";
        out += "  </record>\n";
    }
    out += "</catalog>\n";
    return out;
}

// Turns the source into a well-formed XHTML page: one table row per record.
QByteArray makeTableStylesheet()
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"\n"
           "    xmlns=\"http://www.w3.org/1999/xhtml\">\n"
           "  <xsl:output method=\"xml\" indent=\"yes\" encoding=\"UTF-8\"/>\n"
           "  <!-- The catalogue as one page: a table of records → a row each -->\n"
           "  <xsl:template match=\"/catalog\">\n"
           "    <html><head><title>Catalogue</title></head>\n"
           "      <body>\n"
           "        <h1>Catalogue généré <xsl:value-of select=\"@generated\"/></h1>\n"
           "        <table border=\"1\">\n"
           "          <tr><th>Id</th><th>Type</th><th>Name</th><th>Title</th><th>Items</th><th>Note</th></tr>\n"
           "          <xsl:apply-templates select=\"record\"/>\n"
           "        </table>\n"
           "      </body>\n"
           "    </html>\n"
           "  </xsl:template>\n"
           "  <xsl:template match=\"record\">\n"
           "    <tr class=\"{@type}\">\n"
           "      <td><xsl:value-of select=\"@id\"/></td>\n"
           "      <td><xsl:value-of select=\"@type\"/></td>\n"
           "      <td><xsl:value-of select=\"@name\"/></td>\n"
           "      <td><xsl:value-of select=\"title\"/></td>\n"
           "      <td><ul><xsl:for-each select=\"item\">\n"
           "        <li><xsl:choose>\n"
           "          <xsl:when test=\"@qty &gt; 10\"><b><xsl:value-of select=\".\"/></b></xsl:when>\n"
           "          <xsl:otherwise><xsl:value-of select=\".\"/></xsl:otherwise>\n"
           "        </xsl:choose> (<xsl:value-of select=\"@qty\"/>)</li>\n"
           "      </xsl:for-each></ul></td>\n"
           "      <td><xsl:if test=\"note\"><xsl:value-of select=\"note\"/></xsl:if></td>\n"
           "    </tr>\n"
           "  </xsl:template>\n"
           "</xsl:stylesheet>\n";
}

// A DocBook article of about targetBytes: sections of paragraphs with inline markup and lists.
QByteArray makeArticle(qsizetype targetBytes)
{
    QByteArray out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<article><title>Benchmark Article</title>\n";
    for (int s = 0; out.size() < targetBytes; ++s) {
        out += "<section id=\"s" + QByteArray::number(s) + "\"><title>Section " + QByteArray::number(s) + "</title>\n";
        for (int p = 0; p < 8; ++p)
            out += "<para>Paragraph " + QByteArray::number(p) + " with <emphasis>emphasis</emphasis>, a <link linkend=\"s0\">link</link>"
                   " and <literal>literal text</literal> about transformations and stylesheets.</para>\n";
        out += "<itemizedlist><listitem><para>One</para></listitem><listitem><para>Two</para></listitem></itemizedlist>\n";
        out += "</section>\n";
    }
    return out + "</article>\n";
}

double bareTransform(const QString &stylesheet, const QString &source)
{
    // The bare libraries as xsltproc --nonet uses them: their own loaders, not the program's.
    xsltSetLoaderFunc(nullptr);
    xmlSetExternalEntityLoader(xmlNoNetExternalEntityLoader);
    QElapsedTimer t;
    t.start();
    xsltStylesheetPtr style = xsltParseStylesheetFile(reinterpret_cast<const xmlChar *>(QFile::encodeName(stylesheet).constData()));
    xmlDocPtr src = xmlReadFile(QFile::encodeName(source).constData(), nullptr, XML_PARSE_NOENT | XML_PARSE_NONET);
    xmlDocPtr res = (style && src) ? xsltApplyStylesheet(style, src, nullptr) : nullptr;
    xmlChar *buf = nullptr;
    int len = 0;
    if (res)
        xsltSaveResultToString(&buf, &len, res, style);
    const double ms = msSince(t);
    if (!buf)
        std::fprintf(stderr, "bare transformation: it failed\n");
    xmlFree(buf);
    xmlFreeDoc(res);
    xmlFreeDoc(src);
    if (style)
        xsltFreeStylesheet(style);
    return ms;
}

} // namespace bench
