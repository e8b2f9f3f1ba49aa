// The editor control: positions and edits in UTF-16 terms, its styles and fonts, and its lexer,
// whose styles are checked against golden files and against restyling after random edits.
#include "components/editorassist.h"
#include "components/syntaxbox.h"
#include "components/xmllexer.h"
#include "components/xmlstyler.h"
#include "support/testmain.h"

#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <stdexcept>
#include <string_view>

using Sci = QsciScintillaBase;

namespace {


// Messages printed while a check runs; a missing font must not produce any.
QStringList g_messages;
void collectMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_messages << text;
}

// Whether the lexer has given the unitPos-th UTF-16 unit a style other than plain text.
bool coloured(SyntaxBox &box, int unitPos)
{
    const long byte = box.SendScintilla(Sci::SCI_POSITIONRELATIVECODEUNITS, 0UL, long(unitPos));
    return box.SendScintilla(Sci::SCI_GETSTYLEAT, byte) != XmlLexer::Default;
}

// QTest::keyClicks knows only ASCII; other characters arrive as a key with text, as a keyboard
// layout or an input method delivers them.
void typeText(QWidget *w, const QString &text)
{
    for (char32_t c : text.toUcs4()) {
        if (c < 0x80)
            QTest::keyClick(w, char(c));
        else
            QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString::fromUcs4(&c, 1), Qt::NoModifier);
    }
}

const QList<int> kTags{XmlLexer::XsltElement, XmlLexer::Element, XmlLexer::TagPunctuation, XmlLexer::PIMarker};
const QList<int> kNames{XmlLexer::XsltAttribute, XmlLexer::Attribute};
// Bold and italic reach every style of a value; the colour only the value and the XPath body.
const QList<int> kValues{XmlLexer::Value, XmlLexer::XPathName, XmlLexer::XPathOperator, XmlLexer::XPathFunction,
                         XmlLexer::XPathAxis, XmlLexer::XPathVariable, XmlLexer::XPathString, XmlLexer::XPathNumber};
const QList<int> kValueColours{XmlLexer::Value, XmlLexer::XPathName, XmlLexer::XPathOperator};
const struct StyleSetter {
    const char *name;
    void (SyntaxBox::*flag)(bool);
    void (SyntaxBox::*colour)(long);
    QList<int> styles;
} kStyleSetters[] = {
    {"TagColor", nullptr, &SyntaxBox::setTagColor, kTags}, {"TagBold", &SyntaxBox::setTagBold, nullptr, kTags},
    {"TagItalic", &SyntaxBox::setTagItalic, nullptr, kTags}, {"AttribColor", nullptr, &SyntaxBox::setAttribColor, kNames},
    {"AttribBold", &SyntaxBox::setAttribBold, nullptr, kNames}, {"AttribItalic", &SyntaxBox::setAttribItalic, nullptr, kNames},
    {"AttribValueColor", nullptr, &SyntaxBox::setAttribValueColor, kValueColours},
    {"AttribValueBold", &SyntaxBox::setAttribValueBold, nullptr, kValues},
    {"AttribValueItalic", &SyntaxBox::setAttribValueItalic, nullptr, kValues},
    {"propnameBold", &SyntaxBox::setPropnamebold, nullptr, kNames},
    {"commentItalic", &SyntaxBox::setCommentitalic, nullptr, {XmlLexer::Comment}},
};

void showActive(QWidget &w)
{
    w.resize(500, 300);
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
}

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
    " expand-text=\"yes\"", "<xsl:text xsl:expand-text='no'>", "map{", "{'}'",
};

} // namespace

struct PositionCase {
    QString before, selected, after;
};
Q_DECLARE_METATYPE(PositionCase)

// Each starts from "<ab>text</ab>" with "text" selected and "XY" on the clipboard.
struct EditCase {
    QString operation;
    int changes;
    QString expected;
};
Q_DECLARE_METATYPE(EditCase)

struct SizeCase {
    QString size;
    QString shown; // empty: refused, the size stays
};
Q_DECLARE_METATYPE(SizeCase)

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

// A text whose runs between backquotes must have the style throughout.
struct SpanCase {
    QByteArray text;
    int style;
};
Q_DECLARE_METATYPE(SpanCase)

class TstSyntaxBox : public QObject
{
    Q_OBJECT

private slots:
    void init() { QGuiApplication::clipboard()->clear(); }

    void positions_roundTripAfterMultiByteText_data()
    {
        QTest::addColumn<PositionCase>("c");
        QTest::addRow("e-acute") << PositionCase{QString::fromUtf8("caf\u00e9 \u00e9\u00e9"), QString::fromUtf8("na\u00efve"), "x"};
        QTest::addRow("emoji") << PositionCase{QString::fromUtf8("\U0001F600 x \U0001F680"), QString::fromUtf8("\U0001F600y"), "z"};
        QTest::addRow("lines") << PositionCase{QString::fromUtf8("\u00e9\n\u2192\r\n\u6f22\n"), QString::fromUtf8("a\n\u00e9"), "\n"};
    }
    void positions_roundTripAfterMultiByteText()
    {
        QFETCH(PositionCase, c);
        auto [before, selected, after] = c;
        SyntaxBox box;
        box.setText(before + selected + after);
        QCOMPARE(box.text(), before + selected + after);

        QSignalSpy moved(&box, &SyntaxBox::caretMoved);
        box.setSelectionStart(int(before.size()));
        QCOMPARE(moved.count(), 1);
        QCOMPARE(box.currentLine(), before.count(QLatin1Char('\n')));
        QCOMPARE(box.currentColumn(), before.size() - before.lastIndexOf(QLatin1Char('\n'))); // 1-based
        QTest::keyClick(&box, Qt::Key_Shift); // no movement
        QCOMPARE(moved.count(), 1);
        box.setSelectionLength(int(selected.size()));
        QCOMPARE(box.selectionStart(), before.size());
        QCOMPARE(box.selectionLength(), selected.size());
        QCOMPARE(box.selectedText(), selected);

        box.replaceSelection(QString::fromUtf8("\u00fc\u2192"));
        QCOMPARE(box.text(), before + QString::fromUtf8("\u00fc\u2192") + after);
        QCOMPARE(box.selectionStart(), before.size() + 2);
        QCOMPARE(box.selectionLength(), 0);
    }

    // Known without asking the window system at every key, yet never behind the clipboard.
    void canPaste_followsTheClipboard()
    {
        SyntaxBox box;
        QVERIFY(!box.canPaste());
        QGuiApplication::clipboard()->setText("XY");
        QVERIFY(box.canPaste());
        QGuiApplication::clipboard()->setText(QString());
        QVERIFY(!box.canPaste());
        QGuiApplication::clipboard()->setText("Z");
        QVERIFY(box.canPaste());
        box.setReadOnly(true);
        QVERIFY(!box.canPaste());
    }

    void edits_raiseOneChangeEach_data()
    {
        QTest::addColumn<EditCase>("c");
        QTest::addColumn<bool>("large");
        const auto addRow = [](const char *name, const EditCase &c) {
            QTest::addRow("%s", name) << c << false;
            // A large text's copy is shared until the next change: every edit must drop it.
            QTest::addRow("%s, large text", name) << c << true;
        };
        addRow("setText same text", EditCase{"setText:<ab>text</ab>", 1, "<ab>text</ab>"});
        addRow("typing multi-byte characters", EditCase{QString::fromUtf8("type:\u00e9\u2192"), 2, QString::fromUtf8("<ab>\u00e9\u2192</ab>")});
        addRow("Backspace", EditCase{"key:Backspace", 1, "<ab></ab>"});
        addRow("setSelText over the selection", EditCase{"setSelText", 1, "<ab>new</ab>"});
        addRow("Cut", EditCase{"Cut", 1, "<ab></ab>"});
        addRow("Copy", EditCase{"Copy", 0, "<ab>text</ab>"});
        addRow("Paste over the selection", EditCase{"Paste", 1, "<ab>XY</ab>"});
        addRow("Ctrl+V pastes once", EditCase{"key:Ctrl+V", 1, "<ab>XY</ab>"});
        addRow("Undo of a replacement", EditCase{"Undo", 1, "<ab>text</ab>"});
        addRow("Redo of a replacement", EditCase{"Redo", 1, "<ab>new</ab>"});
        addRow("QScintilla's undo()", EditCase{"undo", 1, "<ab>text</ab>"});
        addRow("QScintilla's paste()", EditCase{"paste", 1, "<ab>XY</ab>"});
    }
    void edits_raiseOneChangeEach()
    {
        QFETCH(EditCase, c);
        QFETCH(bool, large);
        auto [operation, changes, expected] = c;
        const QString tail = large ? QStringLiteral("<!--%1-->").arg(QString(int(SyntaxBox::kSnapshotBytes), QLatin1Char('x'))) : QString();
        // A window whose Edit > Paste has the Ctrl+V shortcut, as the main window has.
        QMainWindow window;
        SyntaxBox &box = *new SyntaxBox(&window);
        window.setCentralWidget(&box);
        auto *paste = new QAction(QStringLiteral("&Paste"), &window);
        paste->setShortcut(QKeySequence::Paste);
        window.addAction(paste);
        connect(paste, &QAction::triggered, &box, &SyntaxBox::paste);
        showActive(window);
        box.setFocus();
        box.setText("<ab>text</ab>" + tail);
        QGuiApplication::clipboard()->setText("XY");
        box.setSelectionStart(4);
        box.setSelectionLength(4);
        if (operation == "Undo" || operation == "Redo" || operation == "undo") {
            box.replaceSelection("new");
            QCOMPARE(box.utf8Text(), ("<ab>new</ab>" + tail).toUtf8());
            if (operation == "Redo")
                box.undo();
        }
        (void)box.utf8Text(); // the copy a large text keeps, made before the edit
        QSignalSpy changed(&box, &SyntaxBox::changed);
        if (operation.startsWith("type:"))
            typeText(&box, operation.mid(5));
        else if (operation.startsWith("setText:"))
            box.setText(operation.mid(8) + tail);
        else if (operation.startsWith("key:"))
            QTest::keySequence(&box, QKeySequence(operation.mid(4)));
        else if (operation == "setSelText")
            box.replaceSelection("new");
        else {
            const QHash<QString, void (SyntaxBox::*)()> calls{{"Cut", &SyntaxBox::cut}, {"Copy", &SyntaxBox::copy},
                {"Paste", &SyntaxBox::paste}, {"Undo", &SyntaxBox::undo}, {"Redo", &SyntaxBox::redo}};
            if (operation == "undo" || operation == "paste") {
                // Through the base class, as QScintilla's own context menu calls them.
                QsciScintilla &base = box;
                operation == "undo" ? base.undo() : base.paste();
            } else {
                (box.*calls.value(operation))();
            }
        }
        QCOMPARE(box.text(), expected + tail);
        QCOMPARE(box.utf8Text(), (expected + tail).toUtf8());
        QCOMPARE(changed.count(), changes);
        if (operation == "Cut" || operation == "Copy")
            QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("text"));
    }

    // Each setter must change its group, both in the lexer and in what the editor draws, and
    // leave the other groups alone.
    void styleSetters_changeLexerStyles_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < int(std::size(kStyleSetters)); ++i)
            QTest::addRow("%s", kStyleSetters[i].name) << i;
    }
    void styleSetters_changeLexerStyles()
    {
        QFETCH(int, index);
        const StyleSetter &setter = kStyleSetters[index];
        SyntaxBox box;
        // Each style's colour, bold and italic in the lexer, then as the editor draws them.
        const auto looks = [&box] {
            QList<QVariantList> out;
            for (int s = 0; s < XmlLexer::StyleCount; ++s)
                out << QVariantList{box.lexer()->color(s), box.lexer()->font(s).bold(), box.lexer()->font(s).italic(),
                                    qlonglong(box.SendScintilla(Sci::SCI_STYLEGETFORE, s)),
                                    qAbs(box.SendScintilla(Sci::SCI_STYLEGETWEIGHT, s)) >= QFont::DemiBold,
                                    box.SendScintilla(Sci::SCI_STYLEGETITALIC, s) != 0};
            return out;
        };
        const QList<QVariantList> before = looks();
        for (bool on : {true, false}) {
            setter.colour ? (box.*setter.colour)(0x563412) : (box.*setter.flag)(on); // colours as 0x00BBGGRR
            QList<QVariantList> expected = before;
            const int field = setter.colour ? 0 : QByteArray(setter.name).endsWith("Bold") ? 1 : 2;
            for (int s : setter.styles) {
                expected[s][field] = setter.colour ? QVariant(QColor(0x12, 0x34, 0x56)) : QVariant(on);
                expected[s][field + 3] = setter.colour ? QVariant(qlonglong(0x563412)) : QVariant(on);
            }
            const QList<QVariantList> now = looks();
            for (int s = 0; s < XmlLexer::StyleCount; ++s)
                QCOMPARE(now[s], expected[s]);
        }
    }

    void setFontSize_data()
    {
        QTest::addColumn<SizeCase>("c");
        QTest::addRow("quarter") << SizeCase{"8.25", "8.25"};
        QTest::addRow("half") << SizeCase{"10.5", "10.5"};
        QTest::addRow("spaces around") << SizeCase{" 12 ", "12"};
        QTest::addRow("empty (a missing setting)") << SizeCase{"", ""};
        QTest::addRow("zero") << SizeCase{"0", ""};
    }
    void setFontSize()
    {
        QFETCH(SizeCase, c);
        auto [size, shown] = c;
        SyntaxBox box;
        // A new editor is in the system's fixed-width font at its own size.
        const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        QCOMPARE(box.fontName() + " " + box.fontSize(), QFontInfo(fixed).family() + " " + QString::number(qRound(fixed.pointSizeF())));
        box.setTagBold(true);
        box.setFontName(QStringLiteral("DejaVu Sans Mono"));
        box.setFontSize("11");
        try {
            box.setFontSize(size);
            QVERIFY2(!shown.isEmpty(), "no exception");
        } catch (const std::invalid_argument &e) {
            const QString message = QString::fromUtf8(e.what());
            QVERIFY2(shown.isEmpty(), qPrintable(message));
            QVERIFY2(message.contains(QStringLiteral("\"%1\"").arg(size)) && message.contains("font size"), qPrintable(message));
            shown = QStringLiteral("11");
        }
        QCOMPARE(box.fontSize(), shown);
        QCOMPARE(box.fontPointSize(), shown.toDouble());
        QsciLexer *lexer = box.lexer();
        for (int s = 0; s <= Sci::STYLE_MAX; ++s) {
            if (!lexer->description(s).isEmpty()) {
                QCOMPARE(box.SendScintilla(Sci::SCI_STYLEGETSIZEFRACTIONAL, s), long(shown.toDouble() * 100));
                QCOMPARE(lexer->font(s).family(), QStringLiteral("DejaVu Sans Mono"));
            }
        }
        QCOMPARE(box.SendScintilla(Sci::SCI_STYLEGETSIZEFRACTIONAL, Sci::STYLE_LINENUMBER), long(shown.toDouble() * 100));
        // Each style keeps its own weight.
        QVERIFY(lexer->font(XmlLexer::XsltElement).bold());
        QVERIFY(!lexer->font(XmlLexer::Default).bold());
    }

    // Enter starts the new line with the previous line's indentation as it is written, tabs and
    // spaces alike; "|" is the caret before Enter.
    void enter_copiesTheIndentation_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("crlf");
        QTest::addColumn<QString>("after");
        const QString forty(40, ' ');
        QTest::addRow("forty spaces") << forty + "<a>|" << false << forty + "<a>\n" + forty + "x";
        QTest::addRow("tabs") << "\t\t<a>|" << false << "\t\t<a>\n\t\tx";
        QTest::addRow("a tab and spaces") << "\t   <a>|" << false << "\t   <a>\n\t   x";
        QTest::addRow("inside a line") << "    <a>|<b/>" << false << "    <a>\n    x<b/>";
        QTest::addRow("CR LF line breaks") << "<r>\r\n  <a>|" << true << "<r>\r\n  <a>\r\n  x";
        QTest::addRow("none") << "<a>|" << false << "<a>\nx";
    }
    void enter_copiesTheIndentation()
    {
        QFETCH(QString, before);
        QFETCH(bool, crlf);
        QFETCH(QString, after);
        SyntaxBox box;
        new EditorAssist(&box);
        showActive(box);
        box.setEolMode(crlf ? QsciScintilla::EolWindows : QsciScintilla::EolUnix);
        box.setText(QString(before).remove('|'));
        box.setSelectionStart(int(before.indexOf('|')));
        QTest::keyClick(&box, Qt::Key_Return);
        QTest::keyClick(&box, Qt::Key_X);
        QCOMPARE(box.text(), after);
    }

    // The line-number margin fits every number of the text's length in the current font, after
    // the size changes and as the text grows past 99, 999, ...
    void lineNumbers_fitTheWidestNumber_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<int>("lines");
        QTest::addRow("larger font") << "20" << 12;
        QTest::addRow("larger font, past 999") << "20" << 1000;
        QTest::addRow("much larger font, past 9999") << "36" << 10000;
    }
    void lineNumbers_fitTheWidestNumber()
    {
        QFETCH(QString, size);
        QFETCH(int, lines);
        SyntaxBox box;
        auto *assist = new EditorAssist(&box);
        box.setFontSize("10");
        assist->setLineNumbers(true);
        box.setFontSize(size);
        box.setText(QStringLiteral("x\n").repeated(lines - 1) + QStringLiteral("x"));
        const long margin = box.SendScintilla(Sci::SCI_GETMARGINWIDTHN, 0UL);
        // Scintilla keeps a few pixels between the number and the text.
        constexpr long kGap = 3;
        for (char digit = '0'; digit <= '9'; ++digit) {
            const QByteArray number(QByteArray::number(lines).size(), digit == '0' ? '1' : digit);
            const long width = box.SendScintilla(Sci::SCI_TEXTWIDTH, Sci::STYLE_LINENUMBER, number.constData());
            QVERIFY2(margin >= width + kGap, qPrintable(QStringLiteral("%1 needs %2 pixels, the margin has %3").arg(number).arg(width + kGap).arg(margin)));
        }
    }

    void fontName_missingFamilyResolvesQuietly()
    {
        g_messages.clear();
        QtMessageHandler previous = qInstallMessageHandler(collectMessage);
        SyntaxBox box;
        box.show();
        QApplication::processEvents();
        box.setFontName(QStringLiteral("No Such Family Here"));
        const QString fallback = box.fontName();
        qInstallMessageHandler(previous);
        QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
        QVERIFY2(QFontDatabase::families().contains(fallback), qPrintable(fallback));
        QCOMPARE(box.fontPointSize(), SyntaxBox::defaultFont().pointSizeF());

        box.setFontName(QStringLiteral("DejaVu Serif"));
        box.setFontName(QString()); // a missing setting keeps the family
        QCOMPARE(box.fontName(), QStringLiteral("DejaVu Serif"));
    }

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
            box.paste();
        } else if (how == "set") {
            box.setText(text);
        } else {
            box.setText(QString(text).remove("&x"));
            box.setSelectionStart(int(text.indexOf("&x")));
            QTest::keyClicks(&box, "&");
            box.repaint();
            QTest::keyClicks(&box, "x");
        }
        box.repaint();
        QCOMPARE(box.text(), text);
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

    // XPath 2.0 and 3.1 in attributes, and text value templates: styled whole, and again a line
    // at a time from the state the line before ended in, which must give the same.
    void xpath3AndTextTemplates_data()
    {
        QTest::addColumn<SpanCase>("c");
        const auto test = [](const QByteArray &xpath) { return "<xsl:if test=\"" + xpath + "\"/>"; };
        const QByteArray tvt = "<xsl:template match=\"a\" expand-text=\"yes\">\n";
        const int op = XmlLexer::XPathOperator;
        QTest::addRow("for, let, some, every before $") << SpanCase{test("`for` $x `in` a `return` $x, `let` $y`:=`1 `return` $y, "
                                                                        "`some` $z `in` b `satisfies` $z, `every` $w `in` c `satisfies` $w"), op};
        QTest::addRow("if then else") << SpanCase{test("`if`($a) `then` 1 `else` `if` ($b) `then` 2 `else` 3"), op};
        QTest::addRow("two-word operators") << SpanCase{test("$a `instance` `of` xs:integer `and` $b `cast` `as` xs:string `or` $c "
                                                             "`castable` `as` xs:date `and` $d `treat`\n`as` item()"), op};
        QTest::addRow("comparisons and sequences") << SpanCase{test("1 `to` 3 `idiv` 2 `eq` $a `ne` $b `lt` $c `le` $d `gt` 1 `ge` . `is` . "
                                                                    "`union` a `intersect` b `except` c"), op};
        QTest::addRow("=> || ! << >> ?") << SpanCase{test("$s `=>` upper-case() `||` 'x' `!` string() `&lt;&lt;` $n `>>` $m`?`k `?`*"), op};
        QTest::addRow("map, array and function") << SpanCase{test("`map` `{`'a' `:` 1`}`, `array` `{`1`}`, `function`($x) `{` $x `}`"), op};
        QTest::addRow("the same words as names") << SpanCase{test("`for`/`if`/`map` | $a/`return` | `div`"), XmlLexer::XPathName};
        QTest::addRow("type tests and references") << SpanCase{test("$f instance of `map`(*) and `concat`#3"), XmlLexer::XPathFunction};
        QTest::addRow("3.0 attributes hold XPath") << SpanCase{"<xsl:for-each-group select=\"a\" group-by=\"`@`k\"/>", XmlLexer::XPathAxis};
        QTest::addRow("map in a value template") << SpanCase{"<a title=\"{map`{`'k':`{`1`}``}`?k`}`x\"/>", op};
        QTest::addRow("map in a value template, key after it") << SpanCase{"<a title=\"{map{'k':{1}}?`k`}x\"/>", XmlLexer::XPathName};
        QTest::addRow("map over lines, text after it") << SpanCase{"<a title=\"{map{\n'k':1\n}?k}`x`\"/>", XmlLexer::Value};
        QTest::addRow("text value template") << SpanCase{tvt + "<p>a `{`$x`}` b</p>", op};
        QTest::addRow("text value template, expression") << SpanCase{tvt + "<p>{`$x`}</p>{`$y`}", XmlLexer::XPathVariable};
        QTest::addRow("text without expand-text") << SpanCase{"<xsl:template match=\"a\"><p>`a {$x} b`</p>", XmlLexer::Default};
        QTest::addRow("expand-text off again") << SpanCase{tvt + "<p xsl:expand-text='no'>`{$x}`</p>", XmlLexer::Default};
        QTest::addRow("on a literal result element") << SpanCase{"<p xsl:expand-text=\" true \">{`$x`}</p>", XmlLexer::XPathVariable};
        QTest::addRow("escaped braces") << SpanCase{tvt + "`{{a}} }`{$x}`}}`", XmlLexer::Default};
        QTest::addRow("brace in a string") << SpanCase{tvt + "{`'}'`}", XmlLexer::XPathString};
        QTest::addRow("expression over lines") << SpanCase{tvt + "{ $a\n`and`\n$b `eq` 'x\ny' }", op};
        QTest::addRow("expression over lines, text after it") << SpanCase{tvt + "{\n'}' }`text`\n`more`", XmlLexer::Default};
        QTest::addRow("markup ends an open expression") << SpanCase{tvt + "{$a <`b`/>", XmlLexer::Element};
    }
    void xpath3AndTextTemplates()
    {
        QFETCH(SpanCase, c);
        const QList<QByteArray> parts = c.text.split('`');
        const QByteArray text = parts.join();
        const Styled styled = styleAll(text);
        qsizetype at = 0;
        for (qsizetype k = 0; k < parts.size(); at += parts[k++].size()) {
            for (qsizetype i = at; k % 2 && i < at + parts[k].size(); ++i)
                QVERIFY2(styled.styles[i] == c.style, qPrintable(QStringLiteral("\"%1\" at %2: %3")
                                                                     .arg(QString::fromUtf8(parts[k]), QString::number(i - at), styleName(styled.styles[i]))));
        }
        const xmlstyler::Styler styler("xsl");
        for (size_t line = 1; line < styled.lines.size(); ++line) {
            const size_t from = styled.lines[line - 1].end;
            QByteArray alone(qsizetype(styled.lines[line].end - from), '\0');
            styler.style(text.constData() + from, size_t(alone.size()), styled.lines[line - 1].endState,
                         reinterpret_cast<unsigned char *>(alone.data()));
            QCOMPARE(alone, styled.styles.mid(qsizetype(from), alone.size()));
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
        box.colorizeAll();
        QCOMPARE(editorFolds(box), folds);
    }

    // Edits restyle from their own line on, from the state stored for the line before; the result
    // must be what styling the whole new text from the top gives, also when an edit cuts a
    // construct open or changes the prefix.
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
        box.setText(QString::fromUtf8(kStylesheet.repeated(4) + QByteArray("<a>\n").repeated(300))); // nesting deeper than 255
        box.colorizeAll();
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
        box.colorizeAll();
        QCOMPARE(styleName(int(box.SendScintilla(Sci::SCI_GETSTYLEAT, 1UL))), styleName(XmlLexer::XsltElement));
        replaceBytes(box, long(text.indexOf("xmlns:t")), 7, "xmlns:u");
        colourRest(box);
        QCOMPARE(styleName(int(box.SendScintilla(Sci::SCI_GETSTYLEAT, 1UL))), styleName(XmlLexer::Element));
        QCOMPARE(firstDifference(box), QString());
    }

    // With live colouring off new text stays plain; as nobody answers the editor's requests for
    // styles, idle styling must not keep asking for them at every turn of the event loop.
    void autoColorize_offLeavesNewTextPlain()
    {
        SyntaxBox box;
        showActive(box);
        box.setAutoColorize(false);
        QVERIFY(!box.autoColorize());
        box.setText(QString::fromUtf8(kStylesheet.repeated(200)));
        box.repaint();
        int requests = 0;
        connect(&box, &QsciScintillaBase::SCN_STYLENEEDED, this, [&](int) { ++requests; });
        for (int turn = 0; turn < 50; ++turn)
            QApplication::processEvents();
        QVERIFY2(requests < 5, qPrintable(QString::number(requests)));
        QVERIFY(!coloured(box, 1));
        box.colorizeAll(); // still off: the load sequence colours explicitly
        QVERIFY(coloured(box, 1));

        box.setSelectionStart(int(box.text().size()));
        QTest::keyClicks(&box, "<c/>");
        box.repaint();
        QApplication::processEvents();
        QVERIFY(!coloured(box, int(box.text().size()) - 3));
        box.setAutoColorize(true);
        QTRY_VERIFY(coloured(box, int(box.text().size()) - 3));
    }
};

ZENDRIK_TEST_MAIN(TstSyntaxBox)
#include "tst_syntaxbox.moc"
