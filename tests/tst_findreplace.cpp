#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "findreplace/findreplacehost.h"
#include "findreplace/searchengine.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

using namespace findreplace;

namespace {
const QString kTitle = QStringLiteral("Find/Replace");
QString replaced(int n) { return QStringLiteral("Text has been searched. %1 replacements were made.").arg(n); }
// Ahead of the matches: a two-unit Latin letter in UTF-8, an arrow, a CJK character and an
// emoji that takes two UTF-16 units, so byte, code point and character counts all differ.
const QString kWide = QStringLiteral("é→漢😀 ");
struct Case {
    QString text, find, with;
    int flags;
    QString sel;       // selection before the first step, "start+length"
    QStringList steps; // what each step leaves, see engine_data
    QString after = {}; // the text at the end; null for unchanged
};
QString selection(SyntaxBox *box) { return QStringLiteral("%1+%2").arg(box->SelStart()).arg(box->SelLength()); }
void select(SyntaxBox *box, const QString &sel)
{
    box->setSelStart(sel.section('+', 0, 0).toInt());
    box->setSelLength(sel.section('+', 1, 1).toInt());
}
} // namespace
Q_DECLARE_METATYPE(Case)

struct DialogCase {
    QString command;
    QString sel;
    QString findWhat;
};
Q_DECLARE_METATYPE(DialogCase)

class TstFindReplace : public QObject, public fixture::Session
{
    Q_OBJECT

    // The visible find or replace dialog; nullptr when there is none or more than one.
    static QDialog *dialog()
    {
        QList<QDialog *> found;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("dlgFindReplace") && w->isVisible())
                found << static_cast<QDialog *>(w);
        return found.size() == 1 ? found.first() : nullptr;
    }
    // A control of the dialog by the caption a user reads: a button's or a box's, or that of the
    // label naming a text field.
    template<class T = QWidget>
    static T *part(const QString &caption)
    {
        for (QWidget *w : dialog() ? dialog()->findChildren<QWidget *>() : QList<QWidget *>()) {
            if (auto *label = qobject_cast<QLabel *>(w); label && label->text() == caption)
                return qobject_cast<T *>(label->buddy());
            if (auto *button = qobject_cast<QAbstractButton *>(w); button && button->text() == caption && button->isVisible())
                return qobject_cast<T *>(w);
        }
        return nullptr;
    }
    static void type(const char *caption, const QString &text)
    {
        QVERIFY2(part<QLineEdit>(caption), caption);
        part<QLineEdit>(caption)->clear();
        QTest::keyClicks(part<QLineEdit>(caption), text);
    }
    static void click(const char *caption)
    {
        QVERIFY2(part(caption), caption);
        QTest::mouseClick(part(caption), Qt::LeftButton);
    }
    void command(const char *name) { main->menuItem(QString::fromLatin1(name))->trigger(); }
    // What a command told the user: " none" for "No matches found", " n" for the count of
    // replacements, anything else in full.
    static QString said(const QList<Notice> &notices)
    {
        QString out;
        for (const Notice &m : notices) {
            const QString n = m.text.section(' ', 4, 4);
            const bool none = m.style == 48 && m.text == QLatin1String("No matches found");
            out += " " + (none ? "none" : m.style == 64 && m.text == replaced(n.toInt()) ? n : m.text);
        }
        return out;
    }

    // The same for the message boxes the dialog showed from the index-th on.
    QString messagesSince(qsizetype index) const
    {
        QList<Notice> shown;
        for (const FakeDialogs::Call &m : fake->messages().mid(index))
            shown << (m.title == kTitle ? Notice{m.text, m.style} : Notice{m.title, 0});
        return said(shown);
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup()
    {
        stop();
        QTRY_VERIFY(!dialog());
    }

    // The same command once per step; after each step the selection and the messages shown.
    void engine_data()
    {
        QTest::addColumn<Case>("c");
        const int down = Down | FindNext, up = FindNext, dww = down | WholeWord, rep = Replace | Down;
        const int all = ReplaceAll | Down, allww = all | WholeWord;
        QTest::addRow("down, overlapping") << Case{"aaaa", "aa", "", down, "0+0", {"0+2", "1+2", "2+2", "2+2 none"}};
        QTest::addRow("down from a bare caret on a match") << Case{"xabc", "abc", "", down, "1+0", {"1+3", "1+3 none"}};
        QTest::addRow("up from the second") << Case{"abcabc", "abc", "", up, "3+3", {"0+3", "0+3 none"}};
        QTest::addRow("up, only wholly before the caret") << Case{"abcabc", "abc", "", up, "5+0", {"0+3", "0+3 none"}};
        QTest::addRow("whole word down") << Case{"cat concat cat", "cat", "", dww, "0+0", {"0+3", "11+3", "11+3 none"}};
        QTest::addRow("whole word up") << Case{"cat concat cat", "cat", "", up | WholeWord, "14+0", {"11+3", "0+3", "0+3 none"}};
        QTest::addRow("whole word, longer word") << Case{"xmls", "xml", "", dww, "0+0", {"0+0 none"}};
        QTest::addRow("underscore separates") << Case{"my_var", "my", "", dww, "0+0", {"0+2"}};
        QTest::addRow("hyphen separates") << Case{"a-b ab", "b", "", dww, "0+0", {"2+1", "2+1 none"}};
        QTest::addRow("digits join") << Case{"b1 b", "b", "", dww, "0+0", {"3+1", "3+1 none"}};
        QTest::addRow("accented letter separates") << Case{"éa a", "a", "", dww, "0+0", {"1+1", "3+1", "3+1 none"}};
        QTest::addRow("match case") << Case{"xABC abc", "abc", "", down | MatchCase, "0+0", {"5+3", "5+3 none"}};
        QTest::addRow("longer than the text up") << Case{"ab", "abc", "", up, "2+0", {"2+0 none"}};
        QTest::addRow("empty find text") << Case{"ab", "", "", down, "0+0", {"0+0 none"}};
        QTest::addRow("wide, down") << Case{kWide + "<xsl:x/> <xsl:x/>", "XSL:x", "", down, "0+0", {"7+5", "16+5", "16+5 none"}};
        QTest::addRow("wide, up") << Case{kWide + "<xsl:x/> <xsl:x/>", "xsl:x", "", up, "23+0", {"16+5", "7+5", "7+5 none"}};
        QTest::addRow("wide, whole word") << Case{"😀a漢a", "a", "", dww, "0+0", {"2+1", "4+1", "4+1 none"}};
        // Replace: only the exact selection, then the next occurrence downwards.
        QTest::addRow("replace the selected") << Case{"abc abc", "abc", "xyz", rep, "0+3", {"4+3"}, "xyz abc"};
        QTest::addRow("replace, case differs") << Case{"ABC abc", "abc", "xyz", rep, "0+3", {"4+3"}, "ABC abc"};
        QTest::addRow("replace from a caret") << Case{"abc abc", "abc", "xyz", rep, "0+0", {"0+3", "4+3"}, "xyz abc"};
        QTest::addRow("replace the last one") << Case{"q abc", "abc", "xyz", rep, "2+3", {"5+0 none"}, "q xyz"};
        QTest::addRow("replace ignores Up") << Case{"abc abc abc", "abc", "xyz", Replace, "4+3", {"8+3"}, "abc xyz abc"};
        QTest::addRow("replace, wide") << Case{kWide + "abc abc", "abc", "xyz", rep, "6+3", {"10+3", "13+0 none"}, kWide + "xyz xyz"};
        // Replace All: from the top whatever the caret, each search in the text as replaced so far.
        QTest::addRow("all, replacement holds the find text") << Case{"aaa", "a", "aa", all, "1+0", {"6+0 3"}, "aaaaaa"};
        QTest::addRow("all, caret after the matches, case ignored") << Case{"Ab aB ab", "ab", "x", ReplaceAll, "7+0", {"5+0 3"}, "x x x"};
        QTest::addRow("all, match case") << Case{"Abc aBC abc q", "abc", "x", all | MatchCase, "1+0", {"9+0 1"}, "Abc aBC x q"};
        QTest::addRow("all, whole word") << Case{"cat concat cat", "cat", "dog", allww, "1+0", {"14+0 2"}, "dog concat dog"};
        QTest::addRow("all, after a separator replacement") << Case{"-x-x", "-x", ".", allww, "1+0", {"2+0 2"}, ".."};
        QTest::addRow("all, after a word replacement") << Case{"-x-x", "-x", "y", allww, "1+0", {"1+0 1"}, "y-x"};
        QTest::addRow("all, after an empty replacement") << Case{"-x-x", "-x", "", allww, "1+0", {"0+0 2"}, ""};
        QTest::addRow("all, wide") << Case{"é😀ab漢ab!", "ab", "→", all, "1+0", {"6+0 2"}, "é😀→漢→!"};
        QTest::addRow("all, no occurrence") << Case{"abc", "x", "y", all, "1+0", {"1+0 none"}};
        QTest::addRow("all, only a rejected occurrence") << Case{"xmls", "xml", "y", allww, "1+0", {"1+0 none"}};
    }
    void engine()
    {
        QFETCH(Case, c);
        SyntaxBox box;
        box.setText(c.text);
        select(&box, c.sel);
        int changes = 0;
        connect(&box, &SyntaxBox::changed, this, [&changes] { ++changes; });
        QStringList seen;
        for (qsizetype i = 0; i < c.steps.size(); ++i) {
            const QList<Notice> notices = onFindReplace(&box, c.flags, c.find, c.with);
            seen << selection(&box) + said(notices);
        }
        QCOMPARE(seen, c.steps);
        QCOMPARE(box.Text(), c.after.isNull() ? c.text : c.after);
        if (hasFlag(ReplaceAll, c.flags)) { // one change and one undo step
            QCOMPARE(changes, box.Text() == c.text ? 0 : 1);
            box.Undo();
            QCOMPARE(box.Text(), c.text);
        }
    }

    void replaceAll_largeText()
    {
        // About 1.6 million characters with 40,000 occurrences among near misses: a search per
        // replacement over the whole text would not finish in the time the test is given.
        const QString text = QStringLiteral("<xsl:value-of select=\"x\"/> <xsl:valued/>\n").repeated(40000);
        SyntaxBox box;
        box.setText(text);
        const QList<Notice> notices = onFindReplace(&box, Down | WholeWord | ReplaceAll, "xsl:value-of", "xsl:copy-of");
        QCOMPARE(said(notices), QStringLiteral(" 40000"));
        QCOMPARE(box.Text(), QString(text).replace("xsl:value-of", "xsl:copy-of"));
    }

    void dialog_opensWithTheSelection_data()
    {
        QTest::addColumn<DialogCase>("c");
        QTest::addRow("find, caret only") << DialogCase{"mnuFind", "3+0", "Find Text"};
        QTest::addRow("replace, selection") << DialogCase{"mnuReplace", "1+12", "xsl:template"};
        // 254 letters and an emoji: the emoji would be cut in half at 255 units, so it goes.
        QTest::addRow("long selection is cut") << DialogCase{"mnuFind", "0+256", QString(254, 'a')};
    }
    void dialog_opensWithTheSelection()
    {
        QFETCH(DialogCase, c);
        auto [command, sel, findWhat] = c;
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setText(findWhat.size() > 100 ? QString(254, 'a') + "😀" + QString(50, 'b')
                                                    : QStringLiteral("<xsl:template match=\"/\"/>"));
        select(doc->txtXSLT, sel);
        main->menuItem(command)->trigger();
        QVERIFY(dialog());
        QCOMPARE(dialog()->parentWidget(), doc);
        QVERIFY(!dialog()->isModal() && !(dialog()->windowFlags() & Qt::WindowContextHelpButtonHint));
        QCOMPARE(part<QLineEdit>("Fi&nd what:")->text(), findWhat);
        QCOMPARE(part<QLineEdit>("Fi&nd what:")->maxLength(), 255);
        const bool replace = command == "mnuReplace";
        QCOMPARE(part<QLineEdit>("Re&place with:") ? part<QLineEdit>("Re&place with:")->text() + "/" + QString::number(part<QLineEdit>("Re&place with:")->maxLength()) : "-",
                 replace ? "Replace Text/255" : "-");
        // The options start off, searching down; only Find has a direction, only Replace its buttons.
        for (const char *box : {"Match &whole word only", "Match &case", "&Up", "&Down"})
            QCOMPARE(part<QAbstractButton>(box) ? QString::number(part<QAbstractButton>(box)->isChecked()) : "-",
                     replace && box[1] != 'a' ? "-" : QByteArray(box) == "&Down" ? "1" : "0");
        QCOMPARE(QStringList({part("&Find Next") ? "&Find Next" : "-", part("Cancel") ? "Cancel" : "-",
                              part("&Replace") ? "&Replace" : "-", part("Replace &All") ? "Replace &All" : "-"}),
                 QStringList({"&Find Next", "Cancel", replace ? "&Replace" : "-", replace ? "Replace &All" : "-"}));
        if (!replace)
            QCOMPARE(qobject_cast<QGroupBox *>(part("&Up")->parentWidget())->title(), QStringLiteral("Direction"));
        QVERIFY(fake->calls.isEmpty());
    }

    // The dialog's options and buttons reach the engine; the rules themselves are in engine().
    void dialog_buttons()
    {
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setText(kWide + "Cat cat concat");
        doc->txtXML->setText("<cat/>");
        doc->SSTab->setCurrentIndex(1); // the stylesheet is searched whatever page shows
        main->toolbarButtonClick("Find");
        type("Fi&nd what:", "cat");
        QStringList seen;
        for (const char *press : {"&Find Next", "Match &case", "&Find Next", "Match &whole word only", "&Find Next", "&Up",
                                  "Match &case", "&Find Next"}) {
            click(press);
            if (QByteArray(press) == "&Find Next")
                seen << selection(doc->txtXSLT) + messagesSince(0);
        }
        QTest::keyClick(part<QLineEdit>("Fi&nd what:"), Qt::Key_Return); // Enter means Find Next
        seen << selection(doc->txtXSLT) + messagesSince(0) + " " + selection(doc->txtXML);
        QCOMPARE(seen, QStringList({"6+3", "10+3", "10+3 none", "6+3 none", "6+3 none none 0+0"}));
        type("Fi&nd what:", ""); // nothing to find: the button goes off
        QVERIFY(!part("&Find Next")->isEnabled());
        QTest::keyClick(dialog(), Qt::Key_Escape);
        QTRY_VERIFY(!dialog());

        // Replace: the texts are read at every press; the document notices the edits.
        doc->SSTab->setCurrentIndex(0);
        doc->txtXSLT->setText("<a>one</a><b>one</b><c>one</c>");
        command("mnuReplace");
        type("Fi&nd what:", "one");
        type("Re&place with:", "two");
        click("&Find Next");
        click("&Replace");
        QCOMPARE(doc->txtXSLT->Text() + " " + selection(doc->txtXSLT), "<a>two</a><b>one</b><c>one</c> 13+3");
        type("Re&place with:", "three");
        click("Replace &All");
        QCOMPARE(doc->txtXSLT->Text() + messagesSince(2), "<a>two</a><b>three</b><c>three</c> 2");
        QVERIFY(doc->blnChanged() && doc->Caption().endsWith('*'));
        doc->Undo();
        QCOMPARE(doc->txtXSLT->Text(), QStringLiteral("<a>two</a><b>one</b><c>one</c>"));
    }

    void dialog_oneInTheProgramGoesWithItsWindow()
    {
        frmEditor *first = fixture::newDocument(main);
        first->txtXSLT->setText("first x");
        command("mnuFind");
        QDialog *dlg = dialog();
        frmEditor *second = fixture::newDocument(main);
        second->txtXSLT->setText("x second");
        command("mnuFind");
        command("mnuReplace");
        QVERIFY(dlg && dialog() == dlg);
        type("Fi&nd what:", "x");
        click("&Find Next");
        QCOMPARE(selection(first->txtXSLT) + " " + selection(second->txtXSLT), QStringLiteral("6+1 0+0"));
        // A close the user cancels at the save question leaves the dialog working.
        QPointer<frmEditor> closing(first);
        auto *sub = qobject_cast<QMdiSubWindow *>(first->parentWidget());
        fake->answers << msg::Cancel << msg::No;
        sub->close();
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Save Changes?"));
        QVERIFY(closing && dialog() == dlg && openDialog() == dlg);
        sub->close();
        QTRY_VERIFY(!closing);
        QVERIFY(!dialog() && !openDialog());
        // Now a new one opens, for the window left; Cancel closes it.
        command("mnuReplace");
        QCOMPARE(dialog()->parentWidget(), second);
        click("Cancel");
        QTRY_VERIFY(!dialog() && !openDialog());
    }
};

ZENDRIK_TEST_MAIN(TstFindReplace)
#include "tst_findreplace.moc"
