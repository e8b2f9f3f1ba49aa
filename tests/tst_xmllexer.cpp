#include "components/syntaxbox.h"
#include "components/xmllexer.h"
#include "components/xmlstyler.h"
#include "support/testmain.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
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

// tests/data/<name>.styled holds a text with "{n}" before each run of style n, an
// XmlLexer::Style.
QByteArray golden(const QString &name)
{
    QFile f(QStringLiteral(TEST_DATA_DIR "/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
QByteArray unmarked(const QByteArray &golden)
{
    QByteArray text;
    for (qsizetype i = 0; i < golden.size(); ++i) {
        bool mark = false;
        if (golden[i] == '{')
            golden.mid(i + 1, golden.indexOf('}', i) - i - 1).toInt(&mark);
        if (mark)
            i = golden.indexOf('}', i);
        else
            text += golden[i];
    }
    return text;
}
QByteArray marked(const QByteArray &text)
{
    const QByteArray styles = styleAll(text).styles;
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (i == 0 || styles[i] != styles[i - 1])
            out += '{' + QByteArray::number(int(styles[i])) + '}';
        out += text[i];
    }
    return out;
}

const QByteArray kStylesheet = unmarked(golden(QStringLiteral("lexer-stylesheet.styled")));

// Bits of markup that cut constructs open and close them again.
const QByteArray kFragments[] = {
    "<", ">", "\"", "'", "<!--", "-->", "<![CDATA[", "]]>", "<?pi ", "?>", "{", "}", "{{", "&x", "&amp;",
    "&quot;", "\n", "\r\n", "\r", " select=\"", "$v ", "<xsl:if test='a'>", "</xsl:if>", "<!DOCTYPE d [", "]>",
    "xmlns:t=\"http://www.w3.org/1999/XSL/Transform\"", "<t:template match=\"x\">", "/>", "\xc3\xa9", "\xe2\x86",
    QByteArray("\0", 1), "child::", "(", ")", "--", "<a b=\"c\">", "&x<!--", QByteArray("\0\0<\0", 4), "<xsl:if test=\"'",
    QByteArray(100000, 'a'), // a line of 100k characters
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

    // Every kind of construct, also cut by line breaks, left open, with NUL bytes and with the
    // XSLT namespace under another prefix or as the default namespace.
    void goldenStyles_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString &name : QDir(QStringLiteral(TEST_DATA_DIR)).entryList({QStringLiteral("*.styled")}, QDir::Files))
            QTest::addRow("%s", qPrintable(name)) << name;
    }
    void goldenStyles()
    {
        QFETCH(QString, name);
        const QList<QByteArray> expected = golden(name).split('\n');
        const QList<QByteArray> actual = marked(unmarked(golden(name))).split('\n');
        for (qsizetype line = 0; line < expected.size(); ++line)
            QCOMPARE(actual.value(line), expected[line]);
        QCOMPARE(actual.size(), expected.size());
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
