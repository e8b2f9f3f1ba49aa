#include "components/syntaxbox.h"
#include "components/xmllexer.h"
#include "components/xmlstyler.h"
#include "support/testmain.h"

#include <QApplication>
#include <QClipboard>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <string_view>

using Sci = QsciScintillaBase;

namespace {

// The core's styles for a whole text, with the XSLT prefix found the way the editor's lexer
// finds it.
struct Styled {
    QByteArray styles;
    std::vector<xmlstyler::LineInfo> lines;
};
Styled styleAll(const QByteArray &text)
{
    const auto head = std::string_view(text.constData(), size_t(std::min<qsizetype>(text.size(), XmlLexer::kPrefixScanBytes)));
    const xmlstyler::PrefixLookup lookup = xmlstyler::findXsltPrefix(head);
    const xmlstyler::Styler styler(lookup.found ? lookup.prefix : "xsl");
    Styled out;
    out.styles.resize(text.size());
    styler.style(text.constData(), size_t(text.size()), 0, reinterpret_cast<unsigned char *>(out.styles.data()), &out.lines);
    return out;
}

QString styleName(int style)
{
    static const XmlLexer names;
    const QString name = names.description(style);
    return name.isEmpty() ? QStringLiteral("style %1").arg(style) : name;
}

// The styles Scintilla holds for the whole text, one byte per text byte.
QByteArray editorStyles(SyntaxBox &box)
{
    const long length = box.SendScintilla(Sci::SCI_GETLENGTH);
    QByteArray pairs(2 * length + 2, '\0');
    box.SendScintilla(Sci::SCI_GETSTYLEDTEXT, long(0), long(length), pairs.data());
    QByteArray styles(length, '\0');
    for (qsizetype i = 0; i < styles.size(); ++i)
        styles[i] = pairs[2 * i + 1];
    return styles;
}

// Fold levels as "depth" per line, with "+" on the lines where a fold starts.
QString editorFolds(SyntaxBox &box)
{
    QStringList out;
    const long lines = box.SendScintilla(Sci::SCI_GETLINECOUNT);
    for (long line = 0; line < lines; ++line) {
        const long level = box.SendScintilla(Sci::SCI_GETFOLDLEVEL, static_cast<unsigned long>(line));
        out << QString::number((level & Sci::SC_FOLDLEVELNUMBERMASK) - Sci::SC_FOLDLEVELBASE)
                   + ((level & Sci::SC_FOLDLEVELHEADERFLAG) ? "+" : "");
    }
    return out.join(' ');
}

QString expectedFolds(const Styled &styled, qsizetype length, bool endsWithBreak)
{
    QStringList out;
    for (const xmlstyler::LineInfo &line : styled.lines)
        out << QString::number(line.startDepth) + (line.endDepth > line.startDepth ? "+" : "");
    if (length == 0 || endsWithBreak)
        out << QString::number(styled.lines.empty() ? 0 : styled.lines.back().endDepth);
    return out.join(' ');
}

// Colours whatever is not coloured yet, as idle styling eventually does.
void colourRest(SyntaxBox &box)
{
    box.SendScintilla(Sci::SCI_COLOURISE, static_cast<unsigned long>(box.SendScintilla(Sci::SCI_GETENDSTYLED)), -1L);
}

// Replaces bytes [from, from + removed) of the editor's text with `inserted`, NUL bytes included.
void replaceBytes(SyntaxBox &box, long from, long removed, const QByteArray &inserted)
{
    box.SendScintilla(Sci::SCI_SETTARGETRANGE, static_cast<unsigned long>(from), from + removed);
    box.SendScintilla(Sci::SCI_REPLACETARGET, static_cast<uintptr_t>(inserted.size()), inserted.constData());
}

// The first difference between the editor's styles and a fresh styling of its text, or "".
QString firstDifference(SyntaxBox &box)
{
    const QByteArray text = box.utf8Text();
    const Styled expected = styleAll(text);
    const QByteArray actual = editorStyles(box);
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (actual[i] != expected.styles[i]) {
            const QByteArray context = text.mid(std::max<qsizetype>(0, i - 30), 60).toPercentEncoding(" <>/=\"'!-?:$@{}[]()&;");
            return "byte " + QString::number(i) + " of " + QString::number(text.size()) + " (around \""
                   + QString::fromLatin1(context) + "\"): " + styleName(actual[i]) + ", a full restyle gives "
                   + styleName(expected.styles[i]);
        }
    }
    const QString folds = editorFolds(box);
    const QString want = expectedFolds(expected, text.size(), text.endsWith('\n') || text.endsWith('\r'));
    return folds == want ? QString() : QStringLiteral("fold levels %1, a full restyle gives %2").arg(folds, want);
}

const QByteArray kStylesheet =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "  <!-- Entr\xc3\xa9""es \xe2\x86\x92 rows\n       over two lines -->\n"
    "  <xsl:template match=\"record[@type='a']|item\" mode='m'>\n"
    "    <div class=\"rec {@kind}\" title=\"{{literal}} {concat($v, '}')}\">\n"
    "      <xsl:if test=\"@qty &gt; 3 and count(child::item) div 2 = 1.5\">\r\n"
    "        <b>&amp; &#x41; <xsl:value-of select=\"$total * 2\"/></b>\r\n"
    "      </xsl:if>\n"
    "      <![CDATA[ <raw> & ]]><?pi some data?>\n"
    "      <xsl:element name=\"{$n}\"><xsl:attribute name=\"x\">v</xsl:attribute></xsl:element>\n"
    "    </div>\n"
    "  </xsl:template>\n"
    "</xsl:stylesheet>\n";

// Bits of markup that cut constructs open and close them again.
const QByteArray kFragments[] = {
    "<", ">", "\"", "'", "<!--", "-->", "<![CDATA[", "]]>", "<?pi ", "?>", "{", "}", "{{", "&x", "&amp;",
    "&quot;", "\n", "\r\n", "\r", " select=\"", "$v ", "<xsl:if test='a'>", "</xsl:if>", "<!DOCTYPE d [", "]>",
    "xmlns:t=\"http://www.w3.org/1999/XSL/Transform\"", "<t:template match=\"x\">", "/>", "\xc3\xa9", "\xe2\x86",
    QByteArray("\0", 1), "child::", "(", ")", "--", "<a b=\"c\">", "&x<!--", QByteArray("\0\0<\0", 4), "<xsl:if test=\"'",
    QByteArray(20000, 'a'), // a long line
};

} // namespace

struct CrashCase {
    QString how;
    QString text;
};
Q_DECLARE_METATYPE(CrashCase)

struct FoldCase {
    QString text;
    QString folds;
};
Q_DECLARE_METATYPE(FoldCase)

class TstXmlLexer : public QObject
{
    Q_OBJECT

private slots:
    // The text that aborted the program with QScintilla's own XML lexer.
    void crashText_survives_data()
    {
        QTest::addColumn<CrashCase>("c");
        QTest::addRow("typed") << CrashCase{"type", "<a>&x<!-- c --></a>"};
        QTest::addRow("pasted") << CrashCase{"paste", "<a>&x<!-- c --></a>"};
        QTest::addRow("set") << CrashCase{"set", "<a>&x<!-- c --></a>"};
        QTest::addRow("typed before an existing comment") << CrashCase{"insert", "<a>&x<!-- c --></a>"};
        QTest::addRow("set, comment left open") << CrashCase{"set", "<a>&x<!-- c"};
        QTest::addRow("pasted, several lines") << CrashCase{"paste", "<a>\n&x<!-- c -->\n&y;<!--\n--></a>"};
    }
    void crashText_survives()
    {
        QFETCH(CrashCase, c);
        auto [how, text] = c;
        SyntaxBox box;
        box.resize(400, 200);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.setFocus();
        if (how == "type") {
            box.setText(QString());
            for (QChar c : text) {
                if (c == '\n')
                    QTest::keyClick(&box, Qt::Key_Return);
                else
                    QTest::keyClicks(&box, QString(c));
                box.repaint();
            }
        } else if (how == "paste") {
            QGuiApplication::clipboard()->setText(text);
            box.Paste();
        } else if (how == "set") {
            box.setText(text);
        } else {
            box.setText(QString(text).remove("&x"));
            box.setSelStart(int(text.indexOf("&x")));
            QTest::keyClicks(&box, "&");
            box.repaint();
            QTest::keyClicks(&box, "x");
        }
        box.repaint();
        QCOMPARE(box.Text(), text);
        colourRest(box);
        const QByteArray utf8 = text.toUtf8();
        QCOMPARE(styleName(int(box.SendScintilla(Sci::SCI_GETSTYLEAT, static_cast<unsigned long>(utf8.indexOf("&x"))))), styleName(XmlLexer::Default));
        QCOMPARE(styleName(int(box.SendScintilla(Sci::SCI_GETSTYLEAT, static_cast<unsigned long>(utf8.indexOf("<!--") + 1)))), styleName(XmlLexer::Comment));
        QCOMPARE(firstDifference(box), QString());
    }

    void styleAt_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("needle"); // the style of its first byte is checked ...
        QTest::addColumn<int>("offset");        // ... or of the byte this far into it
        QTest::addColumn<int>("style");
        const auto row = [](const char *name, const QByteArray &text, const QByteArray &needle, int offset, int style) {
            QTest::newRow(name) << text << needle << offset << style;
        };
        const QByteArray tpl = "<xsl:template match=\"/\" name=\"{$n}\"><div class=\"a{$x}b{{c}}\"/></xsl:template>";
        row("XSLT element", tpl, "xsl:template", 0, int(XmlLexer::XsltElement));
        row("XSLT end tag", tpl, "/xsl:template", 1, int(XmlLexer::XsltElement));
        row("literal result element", tpl, "div", 0, int(XmlLexer::Element));
        row("start tag <", tpl, "<div", 0, int(XmlLexer::TagPunctuation));
        row("empty tag />", tpl, "/>", 0, int(XmlLexer::TagPunctuation));
        row("end tag </", tpl, "</", 1, int(XmlLexer::TagPunctuation));
        row("XSLT attribute", tpl, "match", 0, int(XmlLexer::XsltAttribute));
        row("literal attribute", tpl, "class", 0, int(XmlLexer::Attribute));
        row("value quote", tpl, "\"/\"", 0, int(XmlLexer::Value));
        row("braces in a non-template attribute", tpl, "{$n}", 1, int(XmlLexer::Value));
        row("template literal part", tpl, "a{$x}", 0, int(XmlLexer::Value));
        row("template brace", tpl, "{$x}", 0, int(XmlLexer::XPathOperator));
        row("template variable", tpl, "$x", 0, int(XmlLexer::XPathVariable));
        row("template closing brace", tpl, "}b", 0, int(XmlLexer::XPathOperator));
        row("escaped braces", tpl, "{{c}}", 1, int(XmlLexer::Value));
        row("xsl:element name is a template", "<xsl:element name=\"{$n}\"/>", "$n", 0, int(XmlLexer::XPathVariable));
        row("xsl attribute on a literal element", "<a xsl:use-attribute-sets=\"s\"/>", "xsl:use", 0, int(XmlLexer::XsltAttribute));
        row("namespace declaration", "<xsl:stylesheet xmlns:xsl=\"u\"/>", "xmlns", 0, int(XmlLexer::Attribute));
        row("namespace URI is no template", "<a xmlns:b=\"{x}\"/>", "{x}", 0, int(XmlLexer::Value));

        const QByteArray xp = "<xsl:if test=\"count(child::a[@b]) div 2 &gt;= 1.5 and $v or * * .5 and 'x' != &quot;y&quot;\"/>";
        row("XPath function", xp, "count", 0, int(XmlLexer::XPathFunction));
        row("XPath axis", xp, "child::", 6, int(XmlLexer::XPathAxis));
        row("XPath @", xp, "@b", 0, int(XmlLexer::XPathAxis));
        row("XPath name test", xp, "a[", 0, int(XmlLexer::XPathName));
        row("XPath bracket", xp, "[@", 0, int(XmlLexer::XPathOperator));
        row("XPath div operator", xp, "div", 0, int(XmlLexer::XPathOperator));
        row("XPath number", xp, "1.5", 2, int(XmlLexer::XPathNumber));
        row("XPath number without leading digit", xp, ".5", 0, int(XmlLexer::XPathNumber));
        row("XPath &gt; as operator", xp, "&gt;", 2, int(XmlLexer::XPathOperator));
        row("XPath and after an operand", xp, "and $v", 0, int(XmlLexer::XPathOperator));
        row("XPath variable", xp, "$v", 1, int(XmlLexer::XPathVariable));
        row("XPath * as name test", xp, "* * ", 0, int(XmlLexer::XPathName));
        row("XPath * as multiplication", xp, "* * ", 2, int(XmlLexer::XPathOperator));
        row("XPath string", xp, "'x'", 1, int(XmlLexer::XPathString));
        row("XPath string in &quot;", xp, "&quot;y", 6, int(XmlLexer::XPathString));
        row("XPath name 'and' at the start", "<xsl:value-of select=\"and\"/>", "and", 0, int(XmlLexer::XPathName));
        row("select on a literal element is no XPath", "<a select=\"count(x)\"/>", "count", 0, int(XmlLexer::Value));

        row("comment", "<a><!-- <b> --></a>", "<b>", 0, int(XmlLexer::Comment));
        row("after a comment", "<a><!-- <b> --></a>", "/a", 0, int(XmlLexer::TagPunctuation));
        row("CDATA", "<a><![CDATA[ <b> & ]]></a>", "<b>", 0, int(XmlLexer::CData));
        row("PI target", "<?pi data?>", "pi", 0, int(XmlLexer::PIMarker));
        row("PI content", "<?pi data?>", "data", 0, int(XmlLexer::ProcessingInstruction));
        row("XML declaration", "<?xml version=\"1.0\"?>", "version", 0, int(XmlLexer::XmlDeclaration));
        row("XML declaration end", "<?xml version=\"1.0\"?>", "?>", 0, int(XmlLexer::PIMarker));
        row("DOCTYPE", "<!DOCTYPE a [<!ENTITY e \"x>\">]><a/>", "ENTITY", 0, int(XmlLexer::Doctype));
        row("'>' quoted in DOCTYPE", "<!DOCTYPE a [<!ENTITY e \"x>\">]><a/>", "x>", 1, int(XmlLexer::Doctype));
        row("after DOCTYPE", "<!DOCTYPE a [<!ENTITY e \"x>\">]><a/>", "<a/>", 1, int(XmlLexer::Element));
        row("entity reference", "<a>x &amp; y</a>", "&amp;", 2, int(XmlLexer::EntityRef));
        row("character reference", "<a>&#x41;</a>", "&#x41;", 0, int(XmlLexer::EntityRef));
        row("reference in a plain value", "<xsl:template name=\"a&amp;b\"/>", "&amp;", 0, int(XmlLexer::EntityRef));
        row("unfinished reference", "<a>&x y</a>", "&x", 0, int(XmlLexer::Default));
        row("comment after an unfinished reference", "<a>&x<!-- c --></a>", "c -->", 0, int(XmlLexer::Comment));
        row("a '<' being typed", "<a>1 < 2</a>", "< 2", 0, int(XmlLexer::Default));

        // Constructs that run over line breaks keep their style on the next line.
        row("value over lines", "<a title=\"one\ntwo\">x</a>", "two", 0, int(XmlLexer::Value));
        row("XPath string over lines", "<xsl:if test=\"'a\nb'\"/>", "b'", 0, int(XmlLexer::XPathString));
        row("attributes over lines", "<xsl:template\n  match=\"x\"/>", "match", 0, int(XmlLexer::XsltAttribute));
        row("XPath after '=' on the next line", "<xsl:if test\n=\n\"f()\"/>", "f(", 0, int(XmlLexer::XPathFunction));
        row("comment over lines", "<!--\n<a>\n-->", "a>", 0, int(XmlLexer::Comment));
        row("comment over lone CRs", "<!--\r<a>\r-->", "a>", 0, int(XmlLexer::Comment));
        row("end tag over lines", "</a\n>", ">", 0, int(XmlLexer::TagPunctuation));
        row("unterminated comment runs on", "<!-- a\n<b>\n", "b>", 0, int(XmlLexer::Comment));
        row("unterminated CDATA runs on", "<![CDATA[ a\n<b>", "b>", 0, int(XmlLexer::CData));
        row("unterminated PI runs on", "<?pi a\n<b>", "b>", 0, int(XmlLexer::ProcessingInstruction));
        row("missing quote ends at the next tag", "<a title=\"x\n<b>", "b>", 0, int(XmlLexer::Element));
        row("unfinished tag ends at the next tag", "<a\n<b>", "b>", 0, int(XmlLexer::Element));
        row("NUL in text", QByteArray("<a>\0<b/>", 8), "b/", 0, int(XmlLexer::Element));
        row("NUL in a value", QByteArray("<xsl:if test=\"\0f()\"/>", 21), "f(", 0, int(XmlLexer::XPathFunction));

        // The XSLT namespace under another prefix, or as the default namespace.
        const QByteArray other = "<t:stylesheet xmlns:t=\"http://www.w3.org/1999/XSL/Transform\"><t:if test=\"f()\"/><xsl:x/></t:stylesheet>";
        row("other prefix: element", other, "t:if", 0, int(XmlLexer::XsltElement));
        row("other prefix: XPath", other, "f(", 0, int(XmlLexer::XPathFunction));
        row("other prefix: xsl is literal", other, "xsl:x", 0, int(XmlLexer::Element));
        const QByteArray dflt = "<stylesheet xmlns='http://www.w3.org/1999/XSL/Transform'><if test=\"f()\"/><h:p/></stylesheet>";
        row("default namespace: element", dflt, "if", 0, int(XmlLexer::XsltElement));
        row("default namespace: prefixed is literal", dflt, "h:p", 0, int(XmlLexer::Element));
    }
    void styleAt()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, needle);
        QFETCH(int, offset);
        QFETCH(int, style);
        const qsizetype at = text.indexOf(needle);
        QVERIFY2(at >= 0, needle.constData());
        QCOMPARE(styleName(styleAll(text).styles[at + offset]), styleName(style));
    }

    // Styling from any line start with the state stored for the line before gives what
    // styling from the top gives.
    void restartFromAnyLine_matchesFullStyling_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addRow("stylesheet") << kStylesheet;
        QTest::addRow("open constructs") << QByteArray("<a b=\"c\nd\" e='{f\n}'>\n<!-- x\ny --><![CDATA[\n]]>\n<?p\n?>\n"
                                                       "<xsl:if test=\"'s\n'\"\n/>\n<!DOCTYPE d [\n<!-- ] -->\n\"'\"]\n>\n");
        QTest::addRow("mixed line breaks") << QByteArray("<a\r\nb='1'\r>\r\r\n<!--\r-->\n\r</a>\r");
        QTest::addRow("NUL and invalid UTF-8") << QByteArray("<a\0 b='\xff\xfe\n\xc3'>\0\n<\xe2\x86 x=\"&#1114112;\n\"/>", 36);
        QTest::addRow("deep nesting") << QByteArray("<a>\n").repeated(300) + QByteArray("</a>\n").repeated(310);
    }
    void restartFromAnyLine_matchesFullStyling()
    {
        QFETCH(QByteArray, text);
        const Styled full = styleAll(text);
        const xmlstyler::Styler styler("xsl");
        xmlstyler::State state = 0;
        std::size_t start = 0;
        for (const xmlstyler::LineInfo &line : full.lines) {
            QByteArray rest(text.size() - qsizetype(start), '\0');
            styler.style(text.constData() + start, rest.size(), state, reinterpret_cast<unsigned char *>(rest.data()));
            QCOMPARE(rest, full.styles.mid(qsizetype(start)));
            state = line.endState;
            start = line.end;
            QCOMPARE(xmlstyler::lineStartAtOrAfter(text.constData(), size_t(text.size()), start), start);
        }
    }

    void foldLevels_data()
    {
        QTest::addColumn<FoldCase>("c");
        QTest::addRow("elements") << FoldCase{"<a>\n<b/>\n<c>\n</c>\n</a>", "0+ 1 1+ 2 1"};
        QTest::addRow("start tag over lines") << FoldCase{"<a\n x='1'>\n</a>", "0+ 1 1"};
        QTest::addRow("empty element over lines") << FoldCase{"<a\n/>\n<b/>", "0+ 1 0"};
        QTest::addRow("comment over lines") << FoldCase{"<!--\nc\n-->\n<a/>", "0+ 1 1 0"};
        QTest::addRow("one-line comment and element") << FoldCase{"<a><!-- c --></a>\nx", "0 0"};
        QTest::addRow("end tag without start") << FoldCase{"</a>\n<b>", "0 0+"};
        QTest::addRow("open at the end") << FoldCase{"<a>\n", "0+ 1"};
    }
    void foldLevels()
    {
        QFETCH(FoldCase, c);
        auto [text, folds] = c;
        SyntaxBox box;
        box.setText(text);
        box.ColorizeAll();
        QCOMPARE(editorFolds(box), folds);
    }

    // Edits restyle from their own line on; the result must be what styling the whole new
    // text from the top gives, also when an edit cuts a construct open or changes the prefix.
    void randomEdits_restyleLikeFullStyling_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {1u, 2u, 3u, 4u, 5u, 6u})
            QTest::addRow("seed %u", seed) << seed;
    }
    void randomEdits_restyleLikeFullStyling()
    {
        QFETCH(quint32, seed);
        QRandomGenerator rng(seed);
        SyntaxBox box;
        box.resize(400, 200);
        box.show(); // painting asks for styles of its own
        box.setText(QString::fromUtf8(kStylesheet.repeated(4)));
        box.ColorizeAll();
        for (int edit = 0; edit < 300; ++edit) {
            const long length = box.SendScintilla(Sci::SCI_GETLENGTH);
            const long at = long(rng.bounded(quint32(length + 1)));
            if (rng.bounded(3) == 0)
                replaceBytes(box, at, std::min<long>(length - at, 1 + rng.bounded(20)), QByteArray());
            else
                replaceBytes(box, at, 0, kFragments[rng.bounded(quint32(std::size(kFragments)))]);
            // Sometimes only what a window would show, so that later edits meet an unfinished
            // styling; then everything.
            const long shown = std::min<long>(box.SendScintilla(Sci::SCI_GETLENGTH), at + 300);
            box.SendScintilla(Sci::SCI_COLOURISE, static_cast<unsigned long>(box.SendScintilla(Sci::SCI_GETENDSTYLED)), shown);
            if (edit % 25 == 0)
                box.repaint();
            if (rng.bounded(2) == 0) {
                colourRest(box);
                const QString difference = firstDifference(box);
                QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("edit %1: %2").arg(edit).arg(difference)));
            }
        }
        colourRest(box);
        QCOMPARE(firstDifference(box), QString());
    }

    // The root tag's name comes before the namespace declaration that decides its style, and
    // may be on a line above it.
    void prefixChange_restylesAboveTheEdit()
    {
        SyntaxBox box;
        const QString text = "<t:stylesheet version=\"1.0\"\n    xmlns:t=\"http://www.w3.org/1999/XSL/Transform\">\n"
                             "<t:if test=\"f()\"/>\n</t:stylesheet>";
        box.setText(text);
        box.ColorizeAll();
        QCOMPARE(styleName(int(box.SendScintilla(Sci::SCI_GETSTYLEAT, 1UL))), styleName(XmlLexer::XsltElement));
        replaceBytes(box, long(text.indexOf("xmlns:t")), 7, "xmlns:u");
        colourRest(box);
        QCOMPARE(styleName(int(box.SendScintilla(Sci::SCI_GETSTYLEAT, 1UL))), styleName(XmlLexer::Element));
        QCOMPARE(firstDifference(box), QString());
    }

    // With live colouring off nobody answers the editor's requests for styles; idle styling
    // must not keep asking for them at every turn of the event loop.
    void colouringOff_editorStopsAskingForStyles()
    {
        SyntaxBox box;
        box.resize(400, 200);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.setAutoColorize(false);
        box.setText(QString::fromUtf8(kStylesheet.repeated(200)));
        box.repaint();
        int requests = 0;
        connect(&box, &QsciScintillaBase::SCN_STYLENEEDED, this, [&](int) { ++requests; });
        for (int turn = 0; turn < 50; ++turn)
            QApplication::processEvents();
        QVERIFY2(requests < 5, qPrintable(QString::number(requests)));
        QVERIFY(!box.SendScintilla(Sci::SCI_GETSTYLEAT, 1UL));
    }

};

ZENDRIK_TEST_MAIN(TstXmlLexer)
#include "tst_xmllexer.moc"
