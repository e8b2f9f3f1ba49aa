#include "components/syntaxbox.h"
#include "support/testmain.h"

#include <Qsci/qscilexerxml.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
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

int styleAt(SyntaxBox &box, int unitPos)
{
    // Scintilla indexes bytes; find the byte of the unitPos-th UTF-16 unit.
    const long byte = box.SendScintilla(Sci::SCI_POSITIONRELATIVECODEUNITS, 0UL, long(unitPos));
    return int(box.SendScintilla(Sci::SCI_GETSTYLEAT, byte));
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

void showActive(QWidget &w)
{
    w.resize(500, 300);
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
}

} // namespace

class TstSyntaxBox : public QObject
{
    Q_OBJECT

private slots:
    void init() { QGuiApplication::clipboard()->clear(); }

    void positions_roundTripAfterMultiByteText_data();
    void positions_roundTripAfterMultiByteText();
    void setText_raisesExactlyOneChange_data();
    void setText_raisesExactlyOneChange();
    void edits_raiseOneChangeEach_data();
    void edits_raiseOneChangeEach();
    void characterTyped_beforeInsertion_data();
    void characterTyped_beforeInsertion();
    void caret_lineColumnAndMoves_data();
    void caret_lineColumnAndMoves();
    void availability_followsHistoryAndSelection();
    void ctrlV_pastesOnceThroughEditor();
    void styleSetters_changeLexerStyles_data();
    void styleSetters_changeLexerStyles();
    void lexedText_usesTheConfiguredGroups();
    void fontSize_appliesToEveryStyle_data();
    void fontSize_appliesToEveryStyle();
    void fontSize_rejectsNonNumbers_data();
    void fontSize_rejectsNonNumbers();
    void fontName_missingFamilyResolvesQuietly();
    void autoColorize_offLeavesNewTextPlain();
    void largeText_staysUsable();
};

void TstSyntaxBox::positions_roundTripAfterMultiByteText_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("after");
    QTest::addRow("ascii") << "<a>" << "text" << "</a>";
    QTest::addRow("e-acute") << QString::fromUtf8("caf\u00e9 \u00e9\u00e9") << QString::fromUtf8("na\u00efve") << "x";
    QTest::addRow("arrow") << QString::fromUtf8("a \u2192 b \u2192 ") << "c" << QString::fromUtf8("\u2192");
    QTest::addRow("cjk") << QString::fromUtf8("\u6f22\u5b57\u304b\u306a") << QString::fromUtf8("\u6587\u5b57") << "!";
    QTest::addRow("emoji") << QString::fromUtf8("\U0001F600 x \U0001F680") << QString::fromUtf8("\U0001F600y") << "z";
    QTest::addRow("lines") << QString::fromUtf8("\u00e9\n\u2192\r\n\u6f22\n") << QString::fromUtf8("a\n\u00e9") << "\n";
}

void TstSyntaxBox::positions_roundTripAfterMultiByteText()
{
    QFETCH(QString, before);
    QFETCH(QString, selected);
    QFETCH(QString, after);
    SyntaxBox box;
    box.setText(before + selected + after);
    QCOMPARE(box.Text(), before + selected + after);

    box.setSelStart(int(before.size()));
    QCOMPARE(box.SelStart(), before.size());
    QCOMPARE(box.SelLength(), 0);
    box.setSelLength(int(selected.size()));
    QCOMPARE(box.SelStart(), before.size());
    QCOMPARE(box.SelLength(), selected.size());
    QCOMPARE(box.SelText(), selected);

    box.setSelText(QString::fromUtf8("\u00fc\u2192"));
    QCOMPARE(box.Text(), before + QString::fromUtf8("\u00fc\u2192") + after);
    QCOMPARE(box.SelStart(), before.size() + 2);
    QCOMPARE(box.SelLength(), 0);

    // Selecting the whole text the way Select All does.
    box.setSelStart(0);
    box.setSelLength(int(box.Text().size()));
    QCOMPARE(box.SelText(), box.Text());
}

void TstSyntaxBox::setText_raisesExactlyOneChange_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("written");
    QTest::addRow("empty to text") << "" << "<a/>";
    QTest::addRow("text to other text") << "<a/>" << QString::fromUtf8("<b>\u00e9</b>");
    QTest::addRow("text to empty") << "<a/>" << "";
    QTest::addRow("same text") << "<a/>" << "<a/>";
    QTest::addRow("empty to empty") << "" << "";
}

void TstSyntaxBox::setText_raisesExactlyOneChange()
{
    QFETCH(QString, initial);
    QFETCH(QString, written);
    SyntaxBox box;
    box.setText(initial);
    QSignalSpy changed(&box, &SyntaxBox::changed);
    box.setText(written);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(box.Text(), written);
}

void TstSyntaxBox::edits_raiseOneChangeEach_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("changes");
    QTest::addColumn<QString>("expected");
    // Each starts from "<ab>text</ab>" with "text" selected and "XY" on the clipboard.
    QTest::addRow("typing over the selection") << "type:yz" << 2 << "<ab>yz</ab>";
    QTest::addRow("typing multi-byte characters") << QString::fromUtf8("type:\u00e9\u2192") << 2
                                                  << QString::fromUtf8("<ab>\u00e9\u2192</ab>");
    QTest::addRow("Backspace") << "key:Backspace" << 1 << "<ab></ab>";
    QTest::addRow("Return") << "key:Return" << 1 << "<ab>\n</ab>";
    QTest::addRow("setSelText over the selection") << "setSelText" << 1 << "<ab>new</ab>";
    QTest::addRow("Cut") << "Cut" << 1 << "<ab></ab>";
    QTest::addRow("Copy") << "Copy" << 0 << "<ab>text</ab>";
    QTest::addRow("Paste over the selection") << "Paste" << 1 << "<ab>XY</ab>";
    QTest::addRow("Undo of a replacement") << "Undo" << 1 << "<ab>text</ab>";
    QTest::addRow("Redo of a replacement") << "Redo" << 1 << "<ab>new</ab>";
}

void TstSyntaxBox::edits_raiseOneChangeEach()
{
    QFETCH(QString, operation);
    QFETCH(int, changes);
    QFETCH(QString, expected);
    SyntaxBox box;
    showActive(box);
    box.setText("<ab>text</ab>");
    QGuiApplication::clipboard()->setText("XY");
    box.setSelStart(4);
    box.setSelLength(4);
    if (operation == "Undo" || operation == "Redo") {
        box.setSelText("new");
        if (operation == "Redo")
            box.Undo();
    }
    QSignalSpy changed(&box, &SyntaxBox::changed);
    if (operation.startsWith("type:"))
        typeText(&box, operation.mid(5));
    else if (operation.startsWith("key:"))
        QTest::keyClick(&box, operation == "key:Return" ? Qt::Key_Return : Qt::Key_Backspace);
    else if (operation == "setSelText")
        box.setSelText("new");
    else {
        const QHash<QString, void (SyntaxBox::*)()> calls{{"Cut", &SyntaxBox::Cut}, {"Copy", &SyntaxBox::Copy},
            {"Paste", &SyntaxBox::Paste}, {"Undo", &SyntaxBox::Undo}, {"Redo", &SyntaxBox::Redo}};
        (box.*calls.value(operation))();
    }
    QCOMPARE(box.Text(), expected);
    QCOMPARE(changed.count(), changes);
    if (operation == "Cut" || operation == "Copy")
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("text"));
}

void TstSyntaxBox::characterTyped_beforeInsertion_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("replacement"); // -1 leaves the code as it is
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<QString>("expectedText");
    QTest::addRow("less-than is reported and inserted") << "<" << -1 << 60 << "a<b";
    QTest::addRow("non-ASCII character") << QString::fromUtf8("\u00e9") << -1 << 0xe9 << QString::fromUtf8("a\u00e9b");
    QTest::addRow("code 0 drops it") << "<" << 0 << 60 << "ab";
    QTest::addRow("another code types that instead") << "x" << int('y') << int('x') << "ayb";
}

void TstSyntaxBox::characterTyped_beforeInsertion()
{
    QFETCH(QString, typed);
    QFETCH(int, replacement);
    QFETCH(int, expectedCode);
    QFETCH(QString, expectedText);
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

void TstSyntaxBox::caret_lineColumnAndMoves_data()
{
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("column");
    // Text: "<a>\n" "\u00e9\u2192x\n" "\U0001F600y"
    QTest::addRow("start") << 0 << 0 << 1;
    QTest::addRow("end of first line") << 3 << 0 << 4;
    QTest::addRow("start of second line") << 4 << 1 << 1;
    QTest::addRow("after two multi-byte characters") << 6 << 1 << 3;
    QTest::addRow("after an emoji") << 10 << 2 << 3;
    QTest::addRow("end of text") << 11 << 2 << 4;
}

void TstSyntaxBox::caret_lineColumnAndMoves()
{
    QFETCH(int, pos);
    QFETCH(int, line);
    QFETCH(int, column);
    SyntaxBox box;
    box.setText(QString::fromUtf8("<a>\n\u00e9\u2192x\n\U0001F600y"));
    QSignalSpy moved(&box, &SyntaxBox::caretMoved);
    box.setSelStart(pos);
    QCOMPARE(box.SelStart(), pos);
    QCOMPARE(box.CurrentLine(), line);
    QCOMPARE(box.CurrentColumn(), column);
    QCOMPARE(moved.count(), pos == 0 ? 0 : 1);

    // Widening the selection is a move too, and so is a key that moves the caret.
    moved.clear();
    box.setSelStart(0);
    box.setSelLength(2);
    QVERIFY(moved.count() >= 1);
    moved.clear();
    QTest::keyClick(&box, Qt::Key_Right);
    QCOMPARE(moved.count(), 1);
    QTest::keyClick(&box, Qt::Key_Shift); // no movement
    QCOMPARE(moved.count(), 1);
}

void TstSyntaxBox::availability_followsHistoryAndSelection()
{
    SyntaxBox box;
    showActive(box);
    box.setText("<a>b</a>");
    QVERIFY(!box.CanUndo());
    QVERIFY(!box.CanRedo());
    QVERIFY(!box.CanCut());
    QVERIFY(!box.CanCopy());
    QVERIFY(!box.CanPaste()); // empty clipboard

    box.setSelStart(3);
    QTest::keyClicks(&box, "c");
    QVERIFY(box.CanUndo());
    box.Undo();
    QCOMPARE(box.Text(), QStringLiteral("<a>b</a>"));
    QVERIFY(box.CanRedo());
    box.Redo();
    QCOMPARE(box.Text(), QStringLiteral("<a>cb</a>"));
    box.ClearUndo();
    QVERIFY(!box.CanUndo());
    QVERIFY(!box.CanRedo());

    box.setSelStart(3);
    box.setSelLength(2);
    QVERIFY(box.CanCut());
    QVERIFY(box.CanCopy());
    box.Copy();
    QVERIFY(box.CanPaste());
    box.setReadOnly(true);
    QVERIFY(!box.CanCut());
    QVERIFY(box.CanCopy());
}

void TstSyntaxBox::ctrlV_pastesOnceThroughEditor()
{
    // A window whose Edit > Paste has the Ctrl+V shortcut, as the main window has.
    QMainWindow window;
    auto *box = new SyntaxBox(&window);
    window.setCentralWidget(box);
    auto *paste = new QAction(QStringLiteral("&Paste"), &window);
    paste->setShortcut(QKeySequence::Paste);
    window.addAction(paste);
    connect(paste, &QAction::triggered, box, &SyntaxBox::Paste);
    QSignalSpy menuPastes(paste, &QAction::triggered);
    showActive(window);
    box->setFocus();

    box->setText("<a></a>");
    box->setSelStart(3);
    QGuiApplication::clipboard()->setText(QString::fromUtf8("x\u00e9"));
    QSignalSpy changed(box, &SyntaxBox::changed);
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(box->Text(), QString::fromUtf8("<a>x\u00e9</a>"));
    QCOMPARE(menuPastes.count(), 0);
    QCOMPARE(changed.count(), 1);
}

void TstSyntaxBox::styleSetters_changeLexerStyles_data()
{
    QTest::addColumn<QString>("setter");
    QTest::addColumn<QList<int>>("styles");
    const QList<int> tags{QsciLexerHTML::Tag, QsciLexerHTML::UnknownTag, QsciLexerHTML::XMLTagEnd};
    const QList<int> names{QsciLexerHTML::Attribute, QsciLexerHTML::UnknownAttribute};
    const QList<int> values{QsciLexerHTML::HTMLDoubleQuotedString, QsciLexerHTML::HTMLSingleQuotedString};
    for (const char *kind : {"Color", "Bold", "Italic"}) {
        QTest::addRow("Tag%s", kind) << QStringLiteral("Tag%1").arg(kind) << tags;
        QTest::addRow("Attrib%s", kind) << QStringLiteral("Attrib%1").arg(kind) << names;
        QTest::addRow("AttribValue%s", kind) << QStringLiteral("AttribValue%1").arg(kind) << values;
    }
    QTest::addRow("propnamebold") << "propnamebold" << names;
    QTest::addRow("commentitalic") << "commentitalic" << QList<int>{QsciLexerHTML::HTMLComment};
}

void TstSyntaxBox::styleSetters_changeLexerStyles()
{
    QFETCH(QString, setter);
    QFETCH(QList<int>, styles);
    SyntaxBox box;
    QsciLexer *lexer = box.lexer();
    QVERIFY(qobject_cast<QsciLexerXML *>(lexer));
    // The other groups, which must be left alone.
    QList<int> others;
    for (int s : {int(QsciLexerHTML::Default), int(QsciLexerHTML::Tag), int(QsciLexerHTML::Attribute),
                  int(QsciLexerHTML::HTMLDoubleQuotedString), int(QsciLexerHTML::HTMLComment)})
        if (!styles.contains(s))
            others << s;

    auto snapshot = [&](int s) {
        const QFont f = lexer->font(s);
        return QStringList{lexer->color(s).name(), QString::number(f.bold()), QString::number(f.italic()),
                           QString::number(box.SendScintilla(Sci::SCI_STYLEGETFORE, s)),
                           QString::number(box.SendScintilla(Sci::SCI_STYLEGETITALIC, s))};
    };
    QHash<int, QStringList> before;
    for (int s : others)
        before[s] = snapshot(s);

    const QColor purple(0x12, 0x34, 0x56); // 0x00563412 in 0x00BBGGRR
    for (bool on : {true, false}) {
        if (setter == "TagColor") box.setTagColor(0x563412);
        else if (setter == "TagBold") box.setTagBold(on);
        else if (setter == "TagItalic") box.setTagItalic(on);
        else if (setter == "AttribColor") box.setAttribColor(0x563412);
        else if (setter == "AttribBold") box.setAttribBold(on);
        else if (setter == "AttribItalic") box.setAttribItalic(on);
        else if (setter == "AttribValueColor") box.setAttribValueColor(0x563412);
        else if (setter == "AttribValueBold") box.setAttribValueBold(on);
        else if (setter == "AttribValueItalic") box.setAttribValueItalic(on);
        else if (setter == "propnamebold") box.setPropnamebold(on);
        else if (setter == "commentitalic") box.setCommentitalic(on);

        for (int s : styles) {
            if (setter.endsWith("Color")) {
                QCOMPARE(lexer->color(s), purple);
                // What Scintilla draws with, also in 0x00BBGGRR.
                QCOMPARE(box.SendScintilla(Sci::SCI_STYLEGETFORE, s), 0x563412L);
            } else if (setter.endsWith("Bold") || setter == "propnamebold") {
                QCOMPARE(lexer->font(s).bold(), on);
                // Qt's weight reaches Scintilla negated (QScintilla's way of passing it on).
                QCOMPARE(qAbs(box.SendScintilla(Sci::SCI_STYLEGETWEIGHT, s)) >= QFont::DemiBold, on);
            } else {
                QCOMPARE(lexer->font(s).italic(), on);
                QCOMPARE(box.SendScintilla(Sci::SCI_STYLEGETITALIC, s) != 0, on);
            }
        }
    }
    for (int s : others)
        QCOMPARE(snapshot(s), before[s]);
}

void TstSyntaxBox::lexedText_usesTheConfiguredGroups()
{
    // The groups the setters change must be the styles the lexer gives a stylesheet's parts.
    SyntaxBox box;
    box.setTagColor(0x0000FF);
    box.setAttribColor(0x00FF00);
    box.setAttribValueColor(0xFF0000);
    const QString text = QStringLiteral("<xsl:template match=\"/\" mode='m'><!-- c --><br/></xsl:template>");
    box.setText(text);
    box.ColorizeAll();
    auto foreAt = [&](const QString &needle, int offset) {
        return box.SendScintilla(Sci::SCI_STYLEGETFORE, styleAt(box, int(text.indexOf(needle)) + offset));
    };
    QCOMPARE(foreAt("<xsl:template", 0), 0x0000FFL);
    QCOMPARE(foreAt("<xsl:template", 5), 0x0000FFL);
    QCOMPARE(foreAt("/>", 0), 0x0000FFL);
    QCOMPARE(foreAt("</xsl:template", 3), 0x0000FFL);
    QCOMPARE(foreAt("match", 1), 0x00FF00L);
    QCOMPARE(foreAt("mode", 0), 0x00FF00L);
    QCOMPARE(foreAt("\"/\"", 1), 0xFF0000L);
    QCOMPARE(foreAt("'m'", 0), 0xFF0000L);
    QCOMPARE(styleAt(box, int(text.indexOf("c -->"))), int(QsciLexerHTML::HTMLComment));
}

void TstSyntaxBox::fontSize_appliesToEveryStyle_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("shown");
    QTest::addRow("design-time size") << "8.25" << "8.25";
    QTest::addRow("whole") << "10" << "10";
    QTest::addRow("half") << "10.5" << "10.5";
    QTest::addRow("spaces around") << " 12 " << "12";
}

void TstSyntaxBox::fontSize_appliesToEveryStyle()
{
    QFETCH(QString, size);
    QFETCH(QString, shown);
    SyntaxBox box;
    QCOMPARE(box.fontSize(), QStringLiteral("8.25"));
    box.setTagBold(true);
    box.setAttribValueItalic(true);
    box.setFontName(QStringLiteral("DejaVu Sans Mono"));
    box.setFontSize(size);
    QCOMPARE(box.fontSize(), shown);
    QCOMPARE(box.fontPointSize(), shown.toDouble());
    QsciLexer *lexer = box.lexer();
    for (int s = 0; s <= Sci::STYLE_MAX; ++s) {
        if (lexer->description(s).isEmpty())
            continue;
        QCOMPARE(box.SendScintilla(Sci::SCI_STYLEGETSIZEFRACTIONAL, s), long(shown.toDouble() * 100));
        QCOMPARE(lexer->font(s).family(), QStringLiteral("DejaVu Sans Mono"));
    }
    QCOMPARE(box.SendScintilla(Sci::SCI_STYLEGETSIZEFRACTIONAL, Sci::STYLE_LINENUMBER), long(shown.toDouble() * 100));
    // Each style keeps its own weight and slant.
    QVERIFY(lexer->font(QsciLexerHTML::Tag).bold());
    QVERIFY(!lexer->font(QsciLexerHTML::Tag).italic());
    QVERIFY(lexer->font(QsciLexerHTML::HTMLSingleQuotedString).italic());
    QVERIFY(!lexer->font(QsciLexerHTML::Default).bold());
}

void TstSyntaxBox::fontSize_rejectsNonNumbers_data()
{
    QTest::addColumn<QString>("size");
    QTest::addRow("empty (a missing setting)") << "";
    QTest::addRow("letters") << "large";
    QTest::addRow("unit attached") << "10pt";
    QTest::addRow("zero") << "0";
    QTest::addRow("negative") << "-3";
}

void TstSyntaxBox::fontSize_rejectsNonNumbers()
{
    QFETCH(QString, size);
    SyntaxBox box;
    box.setFontSize("11");
    try {
        box.setFontSize(size);
        QFAIL("no exception");
    } catch (const std::invalid_argument &e) {
        const QString message = QString::fromUtf8(e.what());
        QVERIFY2(message.contains(QStringLiteral("\"%1\"").arg(size)), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("font size")), qPrintable(message));
    }
    QCOMPARE(box.fontSize(), QStringLiteral("11"));
}

void TstSyntaxBox::fontName_missingFamilyResolvesQuietly()
{
    g_messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(collectMessage);
    SyntaxBox box;
    box.show();
    QApplication::processEvents();
    const QString shown = box.fontName();
    box.setFontName(QStringLiteral("No Such Family Here"));
    const QString fallback = box.fontName();
    qInstallMessageHandler(previous);

    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
    QVERIFY2(QFontDatabase::families().contains(shown), qPrintable(shown));
    QVERIFY2(QFontDatabase::families().contains(fallback), qPrintable(fallback));
    QCOMPARE(box.fontSize(), QStringLiteral("8.25"));
    QVERIFY(!box.lexer()->font(QsciLexerHTML::Default).bold());

    box.setFontName(QStringLiteral("DejaVu Serif"));
    QCOMPARE(box.fontName(), QStringLiteral("DejaVu Serif"));
    box.setFontName(QString()); // a missing setting keeps the family
    QCOMPARE(box.fontName(), QStringLiteral("DejaVu Serif"));
}

void TstSyntaxBox::autoColorize_offLeavesNewTextPlain()
{
    SyntaxBox box;
    showActive(box);
    box.setText("<a/>\n");
    box.ColorizeAll();
    QCOMPARE(styleAt(box, 1), int(QsciLexerHTML::Tag));

    box.setAutoColorize(false);
    QVERIFY(!box.AutoColorize());
    box.setText("<b x='1'/>\n");
    box.repaint();
    QApplication::processEvents();
    QCOMPARE(styleAt(box, 1), int(QsciLexerHTML::Default));

    box.ColorizeAll(); // still off: the load sequence colours explicitly
    QCOMPARE(styleAt(box, 1), int(QsciLexerHTML::Tag));
    QCOMPARE(styleAt(box, 3), int(QsciLexerHTML::Attribute));

    box.setSelStart(int(box.Text().size()));
    QTest::keyClicks(&box, "<c/>");
    box.repaint();
    QApplication::processEvents();
    QCOMPARE(styleAt(box, int(box.Text().size()) - 3), int(QsciLexerHTML::Default));

    box.setAutoColorize(true);
    QTRY_COMPARE(styleAt(box, int(box.Text().size()) - 3), int(QsciLexerHTML::Tag));
    QCOMPARE(styleAt(box, 3), int(QsciLexerHTML::Attribute));
}

void TstSyntaxBox::largeText_staysUsable()
{
    const QString unit = QString::fromUtf8(
        "<xsl:template match=\"node()|@*\" mode='m'><!-- \u00e9 --><xsl:value-of select=\".\"/>\u2192</xsl:template>\n");
    QString big;
    big.reserve(10 * 1024 * 1024 + unit.size());
    while (big.size() < 10 * 1024 * 1024)
        big += unit;

    SyntaxBox box;
    showActive(box);
    QSignalSpy changed(&box, &SyntaxBox::changed);
    QElapsedTimer clock;
    clock.start();
    box.setText(big);
    box.ColorizeAll();
    const qint64 loadMs = clock.elapsed();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(styleAt(box, 1), int(QsciLexerHTML::Tag)); // the top is coloured at once

    const long length = box.SendScintilla(Sci::SCI_GETLENGTH);
    QTRY_COMPARE_WITH_TIMEOUT(box.SendScintilla(Sci::SCI_GETENDSTYLED), length, 20000);
    QCOMPARE(styleAt(box, int(big.size()) - 3), int(QsciLexerHTML::Tag));

    clock.restart();
    box.setSelStart(int(big.size()));
    QTest::keyClick(&box, Qt::Key_Less);
    box.repaint();
    const qint64 typeMs = clock.elapsed();
    QCOMPARE(changed.count(), 2);
    QCOMPARE(box.SelStart(), big.size() + 1);
    QCOMPARE(box.CurrentColumn(), 2);
    qInfo("10 MB: setText + ColorizeAll %lld ms, a typed character at the end %lld ms", loadMs, typeMs);
}

ZENDRIK_TEST_MAIN(TstSyntaxBox)
#include "tst_syntaxbox.moc"
