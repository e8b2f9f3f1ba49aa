#include "components/syntaxbox.h"
#include "components/xmllexer.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QMainWindow>
#include <QSignalSpy>
#include <QTest>

#include <stdexcept>

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

struct TypedCase {
    QString typed;
    int replacement; // -1 leaves the code as it is
    int expectedCode;
    QString expectedText;
};
Q_DECLARE_METATYPE(TypedCase)

struct SizeCase {
    QString size;
    QString shown; // empty: refused, the size stays
};
Q_DECLARE_METATYPE(SizeCase)

class TstSyntaxBox : public QObject
{
    Q_OBJECT

private slots:
    void init() { QGuiApplication::clipboard()->clear(); }

    void positions_roundTripAfterMultiByteText_data()
    {
        QTest::addColumn<PositionCase>("c");
        QTest::addRow("ascii") << PositionCase{"<a>", "text", "</a>"};
        QTest::addRow("e-acute") << PositionCase{QString::fromUtf8("caf\u00e9 \u00e9\u00e9"), QString::fromUtf8("na\u00efve"), "x"};
        QTest::addRow("cjk") << PositionCase{QString::fromUtf8("\u6f22\u5b57\u304b\u306a"), QString::fromUtf8("\u6587\u5b57"), "!"};
        QTest::addRow("emoji") << PositionCase{QString::fromUtf8("\U0001F600 x \U0001F680"), QString::fromUtf8("\U0001F600y"), "z"};
        QTest::addRow("lines") << PositionCase{QString::fromUtf8("\u00e9\n\u2192\r\n\u6f22\n"), QString::fromUtf8("a\n\u00e9"), "\n"};
    }
    void positions_roundTripAfterMultiByteText()
    {
        QFETCH(PositionCase, c);
        auto [before, selected, after] = c;
        SyntaxBox box;
        box.setText(before + selected + after);
        QCOMPARE(box.Text(), before + selected + after);

        QSignalSpy moved(&box, &SyntaxBox::caretMoved);
        box.setSelStart(int(before.size()));
        QCOMPARE(moved.count(), 1);
        QCOMPARE(box.CurrentLine(), before.count(QLatin1Char('\n')));
        QCOMPARE(box.CurrentColumn(), before.size() - before.lastIndexOf(QLatin1Char('\n'))); // 1-based
        QTest::keyClick(&box, Qt::Key_Shift); // no movement
        QCOMPARE(moved.count(), 1);
        box.setSelLength(int(selected.size()));
        QCOMPARE(box.SelStart(), before.size());
        QCOMPARE(box.SelLength(), selected.size());
        QCOMPARE(box.SelText(), selected);

        box.setSelText(QString::fromUtf8("\u00fc\u2192"));
        QCOMPARE(box.Text(), before + QString::fromUtf8("\u00fc\u2192") + after);
        QCOMPARE(box.SelStart(), before.size() + 2);
        QCOMPARE(box.SelLength(), 0);
    }

    void edits_raiseOneChangeEach_data()
    {
        QTest::addColumn<EditCase>("c");
        QTest::addRow("setText other text") << EditCase{QString::fromUtf8("setText:<b>\u00e9</b>"), 1, QString::fromUtf8("<b>\u00e9</b>")};
        QTest::addRow("setText same text") << EditCase{"setText:<ab>text</ab>", 1, "<ab>text</ab>"};
        QTest::addRow("setText empty") << EditCase{"setText:", 1, ""};
        QTest::addRow("typing over the selection") << EditCase{"type:yz", 2, "<ab>yz</ab>"};
        QTest::addRow("typing multi-byte characters") << EditCase{QString::fromUtf8("type:\u00e9\u2192"), 2, QString::fromUtf8("<ab>\u00e9\u2192</ab>")};
        QTest::addRow("Backspace") << EditCase{"key:Backspace", 1, "<ab></ab>"};
        QTest::addRow("setSelText over the selection") << EditCase{"setSelText", 1, "<ab>new</ab>"};
        QTest::addRow("Cut") << EditCase{"Cut", 1, "<ab></ab>"};
        QTest::addRow("Copy") << EditCase{"Copy", 0, "<ab>text</ab>"};
        QTest::addRow("Paste over the selection") << EditCase{"Paste", 1, "<ab>XY</ab>"};
        QTest::addRow("Ctrl+V pastes once") << EditCase{"key:Ctrl+V", 1, "<ab>XY</ab>"};
        QTest::addRow("Undo of a replacement") << EditCase{"Undo", 1, "<ab>text</ab>"};
        QTest::addRow("Redo of a replacement") << EditCase{"Redo", 1, "<ab>new</ab>"};
        QTest::addRow("QScintilla's undo()") << EditCase{"undo", 1, "<ab>text</ab>"};
        QTest::addRow("QScintilla's paste()") << EditCase{"paste", 1, "<ab>XY</ab>"};
    }
    void edits_raiseOneChangeEach()
    {
        QFETCH(EditCase, c);
        auto [operation, changes, expected] = c;
        // A window whose Edit > Paste has the Ctrl+V shortcut, as the main window has.
        QMainWindow window;
        SyntaxBox &box = *new SyntaxBox(&window);
        window.setCentralWidget(&box);
        auto *paste = new QAction(QStringLiteral("&Paste"), &window);
        paste->setShortcut(QKeySequence::Paste);
        window.addAction(paste);
        connect(paste, &QAction::triggered, &box, &SyntaxBox::Paste);
        showActive(window);
        box.setFocus();
        box.setText("<ab>text</ab>");
        QGuiApplication::clipboard()->setText("XY");
        box.setSelStart(4);
        box.setSelLength(4);
        if (operation == "Undo" || operation == "Redo" || operation == "undo") {
            box.setSelText("new");
            if (operation == "Redo")
                box.Undo();
        }
        QSignalSpy changed(&box, &SyntaxBox::changed);
        if (operation.startsWith("type:"))
            typeText(&box, operation.mid(5));
        else if (operation.startsWith("setText:"))
            box.setText(operation.mid(8));
        else if (operation.startsWith("key:"))
            QTest::keySequence(&box, QKeySequence(operation.mid(4)));
        else if (operation == "setSelText")
            box.setSelText("new");
        else {
            const QHash<QString, void (SyntaxBox::*)()> calls{{"Cut", &SyntaxBox::Cut}, {"Copy", &SyntaxBox::Copy},
                {"Paste", &SyntaxBox::Paste}, {"Undo", &SyntaxBox::Undo}, {"Redo", &SyntaxBox::Redo}};
            if (operation == "undo" || operation == "paste") {
                // Through the base class, as QScintilla's own context menu calls them.
                QsciScintilla &base = box;
                operation == "undo" ? base.undo() : base.paste();
            } else {
                (box.*calls.value(operation))();
            }
        }
        QCOMPARE(box.Text(), expected);
        QCOMPARE(changed.count(), changes);
        if (operation == "Cut" || operation == "Copy")
            QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("text"));
    }

    void characterTyped_beforeInsertion_data()
    {
        QTest::addColumn<TypedCase>("c");
        QTest::addRow("less-than is reported and inserted") << TypedCase{"<", -1, 60, "a<b"};
        QTest::addRow("non-ASCII character") << TypedCase{QString::fromUtf8("\u00e9"), -1, 0xe9, QString::fromUtf8("a\u00e9b")};
        QTest::addRow("code 0 drops it") << TypedCase{"<", 0, 60, "ab"};
        QTest::addRow("another code types that instead") << TypedCase{"x", int('y'), int('x'), "ayb"};
    }
    void characterTyped_beforeInsertion()
    {
        QFETCH(TypedCase, c);
        auto [typed, replacement, expectedCode, expectedText] = c;
        SyntaxBox box;
        showActive(box);
        box.setText("ab");
        box.setSelStart(1);
        QList<int> codes;
        QStringList textsSeen;
        connect(&box, &SyntaxBox::characterTyped, this, [&](int &code) {
            codes << code;
            textsSeen << box.Text();
            if (replacement >= 0)
                code = replacement;
        });
        QSignalSpy changed(&box, &SyntaxBox::changed);
        typeText(&box, typed);
        QCOMPARE(codes, QList<int>{expectedCode});
        QCOMPARE(textsSeen, QStringList{"ab"});
        QCOMPARE(box.Text(), expectedText);
        QCOMPARE(changed.count(), replacement == 0 ? 0 : 1);
        // Commands are not typed characters.
        QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&box, Qt::Key_Left);
        QCOMPARE(codes.size(), 1);
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
        const QList<int> styles = setter.styles;
        SyntaxBox box;
        QsciLexer *lexer = box.lexer();
        // Lexer colour, bold, italic, then the same as the editor draws them.
        auto look = [&](int s) {
            const QFont f = lexer->font(s);
            return QVariantList{lexer->color(s), f.bold(), f.italic(), qlonglong(box.SendScintilla(Sci::SCI_STYLEGETFORE, s)),
                                qAbs(box.SendScintilla(Sci::SCI_STYLEGETWEIGHT, s)) >= QFont::DemiBold,
                                box.SendScintilla(Sci::SCI_STYLEGETITALIC, s) != 0};
        };
        QList<int> all;
        for (int s = 0; s < XmlLexer::StyleCount; ++s)
            all << s;
        QHash<int, QVariantList> before;
        for (int s : all)
            before[s] = look(s);
        for (bool on : {true, false}) {
            if (setter.colour)
                (box.*setter.colour)(0x563412); // 0x00BBGGRR
            else
                (box.*setter.flag)(on);
            for (int s : all) {
                QVariantList expected = before[s];
                if (styles.contains(s) && setter.colour) {
                    expected[0] = QColor(0x12, 0x34, 0x56);
                    expected[3] = qlonglong(0x563412);
                } else if (styles.contains(s)) {
                    const int field = QByteArray(setter.name).endsWith("Bold") ? 1 : 2;
                    expected[field] = expected[field + 3] = on;
                }
                QCOMPARE(look(s), expected);
            }
        }
    }

    void setFontSize_data()
    {
        QTest::addColumn<SizeCase>("c");
        QTest::addRow("design-time size") << SizeCase{"8.25", "8.25"};
        QTest::addRow("half") << SizeCase{"10.5", "10.5"};
        QTest::addRow("spaces around") << SizeCase{" 12 ", "12"};
        QTest::addRow("empty (a missing setting)") << SizeCase{"", ""};
        QTest::addRow("letters") << SizeCase{"large", ""};
        QTest::addRow("unit attached") << SizeCase{"10pt", ""};
        QTest::addRow("zero") << SizeCase{"0", ""};
        QTest::addRow("negative") << SizeCase{"-3", ""};
    }
    void setFontSize()
    {
        QFETCH(SizeCase, c);
        auto [size, shown] = c;
        SyntaxBox box;
        QCOMPARE(box.fontSize(), QStringLiteral("8.25"));
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
        QCOMPARE(box.fontSize(), QStringLiteral("8.25"));

        box.setFontName(QStringLiteral("DejaVu Serif"));
        box.setFontName(QString()); // a missing setting keeps the family
        QCOMPARE(box.fontName(), QStringLiteral("DejaVu Serif"));
    }

    void autoColorize_offLeavesNewTextPlain()
    {
        SyntaxBox box;
        showActive(box);
        box.setAutoColorize(false);
        QVERIFY(!box.AutoColorize());
        box.setText("<b x='1'/>\n");
        box.repaint();
        QApplication::processEvents();
        QVERIFY(!coloured(box, 1));
        box.ColorizeAll(); // still off: the load sequence colours explicitly
        QVERIFY(coloured(box, 1));

        box.setSelStart(int(box.Text().size()));
        QTest::keyClicks(&box, "<c/>");
        box.repaint();
        QApplication::processEvents();
        QVERIFY(!coloured(box, int(box.Text().size()) - 3));
        box.setAutoColorize(true);
        QTRY_VERIFY(coloured(box, int(box.Text().size()) - 3));
    }

};

ZENDRIK_TEST_MAIN(TstSyntaxBox)
#include "tst_syntaxbox.moc"
