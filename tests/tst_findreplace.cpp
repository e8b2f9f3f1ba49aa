#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "findreplace/findreplacehost.h"
#include "findreplace/searchengine.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

using namespace findreplace;

namespace {
const QString kTitle = QStringLiteral("Find/Replace");
const QString kNoMatches = QStringLiteral("No matches found");
// Ahead of the matches: a two-unit Latin letter in UTF-8, an arrow, a CJK character and an
// emoji that takes two UTF-16 units, so byte, code point and character counts all differ.
const QString kWide = QStringLiteral("é→漢😀 ");
} // namespace

class TstFindReplace : public QObject, public fixture::Session
{
    Q_OBJECT

    // The visible find or replace dialog, wherever it lives.
    static QDialog *dialog()
    {
        QDialog *found = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("dlgFindReplace") && w->isVisible()) {
                if (found)
                    return nullptr; // more than one is a fault of its own
                found = static_cast<QDialog *>(w);
            }
        return found;
    }
    template<class T>
    static T *part(const char *name)
    {
        QDialog *dlg = dialog();
        return dlg ? dlg->findChild<T *>(QString::fromLatin1(name)) : nullptr;
    }
    static void type(const char *name, const QString &text)
    {
        QLineEdit *e = part<QLineEdit>(name);
        QVERIFY2(e, name);
        e->clear();
        QTest::keyClicks(e, text);
    }
    static void click(const char *name)
    {
        QPushButton *b = part<QPushButton>(name);
        QVERIFY2(b, name);
        QTest::mouseClick(b, Qt::LeftButton);
    }
    void command(const char *name) { main->menuItem(QString::fromLatin1(name))->trigger(); }
    static QString selection(SyntaxBox &box) { return QStringLiteral("%1+%2").arg(box.SelStart()).arg(box.SelLength()); }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup()
    {
        stop();
        QTRY_VERIFY(!dialog());
    }

    // Steps: start of the selection after each Find Next, -1 where "No matches found" is due.
    void findNext_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("find");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("selStart");
        QTest::addColumn<int>("selLength");
        QTest::addColumn<QList<int>>("steps");
        const int down = Down, ww = WholeWord, mc = MatchCase;
        QTest::addRow("down, one after the other") << "abcabc" << "abc" << down << 0 << 0 << QList<int>{0, 3, -1};
        QTest::addRow("down, overlapping") << "aaaa" << "aa" << down << 0 << 0 << QList<int>{0, 1, 2, -1};
        QTest::addRow("down from a bare caret on a match") << "xabc" << "abc" << down << 1 << 0 << QList<int>{1, -1};
        QTest::addRow("down from the end") << "abc" << "abc" << down << 3 << 0 << QList<int>{-1};
        QTest::addRow("up from the second") << "abcabc" << "abc" << 0 << 3 << 3 << QList<int>{0, -1};
        QTest::addRow("up from the end") << "abcabc" << "abc" << 0 << 6 << 0 << QList<int>{3, 0, -1};
        QTest::addRow("up, only wholly before the caret") << "abcabc" << "abc" << 0 << 5 << 0 << QList<int>{0, -1};
        QTest::addRow("whole word down") << "cat concat cat" << "cat" << (down | ww) << 0 << 0 << QList<int>{0, 11, -1};
        QTest::addRow("whole word up") << "cat concat cat" << "cat" << ww << 14 << 0 << QList<int>{11, 0, -1};
        QTest::addRow("whole word is the whole text") << "xml" << "xml" << (down | ww) << 0 << 0 << QList<int>{0};
        QTest::addRow("whole word, longer word") << "xmls" << "xml" << (down | ww) << 0 << 0 << QList<int>{-1};
        QTest::addRow("underscore separates") << "my_var" << "my" << (down | ww) << 0 << 0 << QList<int>{0};
        QTest::addRow("hyphen separates") << "a-b ab" << "b" << (down | ww) << 0 << 0 << QList<int>{2, -1};
        QTest::addRow("digits join") << "b1 b" << "b" << (down | ww) << 0 << 0 << QList<int>{3, -1};
        QTest::addRow("accented letter separates") << "éa a" << "a" << (down | ww) << 0 << 0 << QList<int>{1, 3, -1};
        QTest::addRow("case ignored") << "xABC" << "abc" << down << 0 << 0 << QList<int>{1};
        QTest::addRow("match case down") << "xABC abc" << "abc" << (down | mc) << 0 << 0 << QList<int>{5, -1};
        QTest::addRow("longer than the text down") << "ab" << "abc" << down << 0 << 0 << QList<int>{-1};
        QTest::addRow("longer than the text up") << "ab" << "abc" << 0 << 2 << 0 << QList<int>{-1};
        QTest::addRow("empty find text") << "ab" << "" << down << 0 << 0 << QList<int>{-1};
        QTest::addRow("wide characters down") << kWide + "<xsl:x/> <xsl:x/>" << "XSL:x" << down << 0 << 0
                                              << QList<int>{7, 16, -1};
        QTest::addRow("wide characters up") << kWide + "<xsl:x/> <xsl:x/>" << "xsl:x" << 0 << 23 << 0
                                            << QList<int>{16, 7, -1};
        QTest::addRow("wide characters whole word") << "😀a漢a" << "a" << (down | ww) << 0 << 0 << QList<int>{2, 4, -1};
    }
    void findNext()
    {
        QFETCH(QString, text);
        QFETCH(QString, find);
        QFETCH(int, flags);
        QFETCH(int, selStart);
        QFETCH(int, selLength);
        QFETCH(QList<int>, steps);
        SyntaxBox box;
        box.setText(text);
        box.setSelStart(selStart);
        box.setSelLength(selLength);
        int failures = 0;
        for (int expected : steps) {
            const QString before = selection(box);
            onFindReplace(&box, flags | FindNext, find, QString());
            if (expected < 0) {
                ++failures;
                QCOMPARE(selection(box), before);
            } else {
                QCOMPARE(box.SelStart(), expected);
                QCOMPARE(box.SelLength(), find.size());
                QCOMPARE(box.SelText().compare(find, Qt::CaseInsensitive), 0);
            }
        }
        QCOMPARE(fake->messages().size(), failures);
        for (const FakeDialogs::Call &c : fake->messages()) {
            QCOMPARE(c.text, kNoMatches);
            QCOMPARE(c.title, kTitle);
            QCOMPARE(c.style, 48);
        }
        QCOMPARE(box.Text(), text);
    }

    void replace_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("selStart");
        QTest::addColumn<int>("selLength");
        QTest::addColumn<int>("presses");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("selectionAfter");
        QTest::addColumn<int>("failures");
        const int down = Down;
        QTest::addRow("selected occurrence") << "abc abc" << down << 0 << 3 << 1 << "xyz abc" << "4+3" << 0;
        QTest::addRow("case differs, not replaced") << "ABC abc" << down << 0 << 3 << 1 << "ABC abc" << "4+3" << 0;
        QTest::addRow("case differs, match case") << "ABC abc" << (down | MatchCase) << 0 << 3 << 1 << "ABC abc" << "4+3"
                                                  << 0;
        QTest::addRow("caret only: selects, then replaces") << "abc abc" << down << 0 << 0 << 2 << "xyz abc" << "4+3" << 0;
        QTest::addRow("last one, then nothing") << "q abc" << down << 2 << 3 << 1 << "q xyz" << "5+0" << 1;
        QTest::addRow("downwards even when Up is set") << "abc abc abc" << 0 << 4 << 3 << 1 << "abc xyz abc" << "8+3" << 0;
        QTest::addRow("wide characters") << kWide + "abc abc" << down << 6 << 3 << 2 << kWide + "xyz xyz" << "13+0" << 1;
    }
    void replace()
    {
        QFETCH(QString, text);
        QFETCH(int, flags);
        QFETCH(int, selStart);
        QFETCH(int, selLength);
        QFETCH(int, presses);
        QFETCH(QString, after);
        QFETCH(QString, selectionAfter);
        QFETCH(int, failures);
        SyntaxBox box;
        box.setText(text);
        box.setSelStart(selStart);
        box.setSelLength(selLength);
        for (int i = 0; i < presses; ++i)
            onFindReplace(&box, flags | Replace, "abc", "xyz");
        QCOMPARE(box.Text(), after);
        QCOMPARE(selection(box), selectionAfter);
        QCOMPARE(fake->messages().size(), failures);
        if (failures)
            QCOMPARE(fake->lastMessage().text, kNoMatches);
    }

    void replaceAll_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("find");
        QTest::addColumn<QString>("with");
        QTest::addColumn<int>("flags");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("caret");
        QTest::addColumn<QString>("message");
        const int down = Down, ww = WholeWord;
        QTest::addRow("replacement holds the find text") << "aaa" << "a" << "aa" << down << "aaaaaa" << 6
                                                         << "Text has been searched. 3 replacements were made.";
        QTest::addRow("from the top whatever the caret") << "ab ab ab" << "ab" << "x" << 0 << "x x x" << 5
                                                         << "Text has been searched. 3 replacements were made.";
        QTest::addRow("case ignored") << "Abc aBC abc" << "abc" << "x" << down << "x x x" << 5
                                      << "Text has been searched. 3 replacements were made.";
        QTest::addRow("match case") << "Abc aBC abc q" << "abc" << "x" << (down | MatchCase) << "Abc aBC x q" << 9
                                    << "Text has been searched. 1 replacements were made.";
        QTest::addRow("whole word") << "cat concat cat" << "cat" << "dog" << (down | ww) << "dog concat dog" << 14
                                    << "Text has been searched. 2 replacements were made.";
        QTest::addRow("empty replacement") << "a,b,c" << "," << "" << down << "abc" << 2
                                           << "Text has been searched. 2 replacements were made.";
        // Each search runs on the text as replaced so far: the replacement is the neighbour
        // of an occurrence that follows it directly.
        QTest::addRow("whole word after a separator replacement") << "-x-x" << "-x" << "." << (down | ww) << ".." << 2
                                                                  << "Text has been searched. 2 replacements were made.";
        QTest::addRow("whole word after a word replacement") << "-x-x" << "-x" << "y" << (down | ww) << "y-x" << 1
                                                             << "Text has been searched. 1 replacements were made.";
        QTest::addRow("whole word after an empty replacement") << "-x-x" << "-x" << "" << (down | ww) << "" << 0
                                                               << "Text has been searched. 2 replacements were made.";
        QTest::addRow("wide characters") << "é😀ab漢ab!" << "ab" << "→" << down << "é😀→漢→!" << 6
                                         << "Text has been searched. 2 replacements were made.";
        QTest::addRow("no occurrence") << "abc" << "x" << "y" << down << "abc" << 1 << kNoMatches;
        QTest::addRow("only a rejected occurrence") << "xmls" << "xml" << "y" << (down | ww) << "xmls" << 1 << kNoMatches;
    }
    void replaceAll()
    {
        QFETCH(QString, text);
        QFETCH(QString, find);
        QFETCH(QString, with);
        QFETCH(int, flags);
        QFETCH(QString, after);
        QFETCH(int, caret);
        QFETCH(QString, message);
        SyntaxBox box;
        box.setText(text);
        box.setSelStart(1);
        int changes = 0;
        connect(&box, &SyntaxBox::changed, this, [&changes] { ++changes; });
        onFindReplace(&box, flags | ReplaceAll, find, with);
        QCOMPARE(box.Text(), after);
        QCOMPARE(selection(box), QStringLiteral("%1+0").arg(caret));
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().text, message);
        QCOMPARE(fake->lastMessage().title, kTitle);
        const bool replaced = message != kNoMatches;
        QCOMPARE(fake->lastMessage().style, replaced ? 64 : 48);
        QCOMPARE(changes, replaced ? 1 : 0);
        // One Undo takes the whole Replace All back.
        box.Undo();
        QCOMPARE(box.Text(), text);
    }

    void replaceAll_largeText()
    {
        // About 1.6 million characters with 40,000 occurrences among near misses.
        QString text;
        for (int i = 0; i < 40000; ++i)
            text += QStringLiteral("<xsl:value-of select=\"x\"/> <xsl:valued/>\n");
        SyntaxBox box;
        box.setText(text);
        QElapsedTimer clock;
        clock.start();
        onFindReplace(&box, Down | WholeWord | ReplaceAll, "xsl:value-of", "xsl:copy-of");
        const qint64 ms = clock.elapsed();
        qInfo("Replace All, %lld characters, 40000 replacements: %lld ms", qlonglong(text.size()), qlonglong(ms));
        QCOMPARE(fake->lastMessage().text, QStringLiteral("Text has been searched. 40000 replacements were made."));
        QCOMPARE(box.Text(), QString(text).replace("xsl:value-of", "xsl:copy-of"));
        QCOMPARE(box.SelStart(), box.Text().lastIndexOf("xsl:copy-of") + 11);
        QVERIFY2(ms < 5000, "a search per replacement over the whole text is far too slow");
        box.Undo();
        QCOMPARE(box.Text(), text);
    }

    void dialog_opensWithTheSelection_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("selStart");
        QTest::addColumn<int>("selLength");
        QTest::addColumn<QString>("findWhat");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("replaceWith");
        const QString tmpl = "<xsl:template match=\"/\"/>";
        QTest::addRow("find, caret only") << "mnuFind" << 3 << 0 << "Find Text" << "Find" << "";
        QTest::addRow("find, selection") << "mnuFind" << 1 << 12 << "xsl:template" << "Find" << "";
        QTest::addRow("replace, caret only") << "mnuReplace" << 0 << 0 << "Find Text" << "Replace" << "Replace Text";
        QTest::addRow("replace, selection") << "mnuReplace" << 1 << 12 << "xsl:template" << "Replace" << "Replace Text";
        // 254 letters and an emoji: the emoji would be cut in half at 255 units, so it goes.
        QTest::addRow("long selection is cut") << "mnuFind" << 0 << 256 << QString(254, 'a') << "Find" << "";
    }
    void dialog_opensWithTheSelection()
    {
        QFETCH(QString, command);
        QFETCH(int, selStart);
        QFETCH(int, selLength);
        QFETCH(QString, findWhat);
        QFETCH(QString, title);
        QFETCH(QString, replaceWith);
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setText(selLength > 100 ? QString(254, 'a') + "😀" + QString(50, 'b')
                                              : QStringLiteral("<xsl:template match=\"/\"/>"));
        doc->txtXSLT->setSelStart(selStart);
        doc->txtXSLT->setSelLength(selLength);
        main->menuItem(command)->trigger();
        QDialog *dlg = dialog();
        QVERIFY(dlg);
        QCOMPARE(dlg->parentWidget(), doc);
        QVERIFY(!dlg->isModal());
        QCOMPARE(dlg->windowTitle(), title);
        QVERIFY(!(dlg->windowFlags() & Qt::WindowContextHelpButtonHint));
        QCOMPARE(part<QLineEdit>("txtFindWhat")->text(), findWhat);
        QCOMPARE(part<QLineEdit>("txtFindWhat")->maxLength(), 255);
        QVERIFY(!part<QCheckBox>("cbxWholeWord")->isChecked());
        QVERIFY(!part<QCheckBox>("cbxMatchCase")->isChecked());
        QCOMPARE(part<QCheckBox>("cbxWholeWord")->text(), QStringLiteral("Match &whole word only"));
        QCOMPARE(part<QCheckBox>("cbxMatchCase")->text(), QStringLiteral("Match &case"));
        QCOMPARE(part<QPushButton>("cmdFindNext")->text(), QStringLiteral("&Find Next"));
        QCOMPARE(part<QPushButton>("cmdCancel")->text(), QStringLiteral("Cancel"));
        const bool replace = command == "mnuReplace";
        if (replace) {
            QCOMPARE(part<QLineEdit>("txtReplaceWith")->text(), replaceWith);
            QCOMPARE(part<QLineEdit>("txtReplaceWith")->maxLength(), 255);
            QCOMPARE(part<QPushButton>("cmdReplace")->text(), QStringLiteral("&Replace"));
            QCOMPARE(part<QPushButton>("cmdReplaceAll")->text(), QStringLiteral("Replace &All"));
        } else {
            QVERIFY(!part<QLineEdit>("txtReplaceWith"));
            QVERIFY(!part<QPushButton>("cmdReplace"));
            QVERIFY(part<QRadioButton>("optDown")->isChecked());
            QVERIFY(part<QRadioButton>("optUp")->isVisible());
            QCOMPARE(part<QRadioButton>("optUp")->text(), QStringLiteral("&Up"));
            QCOMPARE(part<QRadioButton>("optDown")->text(), QStringLiteral("&Down"));
        }
        QVERIFY(fake->calls.isEmpty());
    }

    void dialog_findsThroughItsButtons()
    {
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setText(kWide + "Cat cat concat");
        doc->txtXML->setText("<cat/>");
        doc->SSTab->setCurrentIndex(1); // the stylesheet is searched whatever page shows
        main->toolbarButtonClick("Find");
        QVERIFY(dialog());
        type("txtFindWhat", "cat");
        click("cmdFindNext");
        QCOMPARE(selection(*doc->txtXSLT), QStringLiteral("6+3"));
        QTest::mouseClick(part<QCheckBox>("cbxMatchCase"), Qt::LeftButton);
        click("cmdFindNext");
        QCOMPARE(selection(*doc->txtXSLT), QStringLiteral("10+3"));
        QTest::mouseClick(part<QCheckBox>("cbxWholeWord"), Qt::LeftButton);
        click("cmdFindNext");
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().text, kNoMatches);
        QCOMPARE(selection(*doc->txtXSLT), QStringLiteral("10+3"));
        QTest::mouseClick(part<QRadioButton>("optUp"), Qt::LeftButton);
        QTest::mouseClick(part<QCheckBox>("cbxMatchCase"), Qt::LeftButton);
        click("cmdFindNext");
        QCOMPARE(selection(*doc->txtXSLT), QStringLiteral("6+3"));
        // Enter in the find box means Find Next.
        part<QLineEdit>("txtFindWhat")->setFocus();
        QTest::keyClick(part<QLineEdit>("txtFindWhat"), Qt::Key_Return);
        QCOMPARE(fake->messages().size(), 2);
        QCOMPARE(doc->txtXML->SelLength(), 0);
        // Nothing to find: the buttons go off.
        type("txtFindWhat", "");
        QVERIFY(!part<QPushButton>("cmdFindNext")->isEnabled());
        // Typing is limited too.
        type("txtFindWhat", QString(300, 'z'));
        QCOMPARE(part<QLineEdit>("txtFindWhat")->text(), QString(255, 'z'));
    }

    void dialog_replacesThroughItsButtons()
    {
        frmEditor *doc = fixture::newDocument(main);
        doc->txtXSLT->setText("<a>one</a><b>one</b><c>one</c>");
        command("mnuReplace");
        type("txtFindWhat", "one");
        type("txtReplaceWith", "two");
        click("cmdFindNext");
        QCOMPARE(doc->txtXSLT->SelStart(), 3);
        click("cmdReplace");
        QCOMPARE(doc->txtXSLT->Text(), QStringLiteral("<a>two</a><b>one</b><c>one</c>"));
        QCOMPARE(selection(*doc->txtXSLT), QStringLiteral("13+3"));
        // The document notices the edit like any other.
        QVERIFY(doc->blnChanged());
        QVERIFY(doc->Caption().endsWith('*'));
        // The texts are read at every press.
        type("txtReplaceWith", "three");
        click("cmdReplaceAll");
        QCOMPARE(doc->txtXSLT->Text(), QStringLiteral("<a>two</a><b>three</b><c>three</c>"));
        QCOMPARE(fake->lastMessage().text, QStringLiteral("Text has been searched. 2 replacements were made."));
        QCOMPARE(fake->lastMessage().style, 64);
        QCOMPARE(fake->lastMessage().title, kTitle);
        doc->Undo();
        QCOMPARE(doc->txtXSLT->Text(), QStringLiteral("<a>two</a><b>one</b><c>one</c>"));
    }

    void dialog_onlyOneInTheProgram()
    {
        frmEditor *first = fixture::newDocument(main);
        first->txtXSLT->setText("first x");
        command("mnuFind");
        QDialog *dlg = dialog();
        QVERIFY(dlg);
        frmEditor *second = fixture::newDocument(main);
        second->txtXSLT->setText("x second");
        QCOMPARE(main->activeDocument(), second);
        command("mnuFind");
        command("mnuReplace");
        QCOMPARE(dialog(), dlg);
        QCOMPARE(dlg->parentWidget(), first);
        type("txtFindWhat", "x");
        click("cmdFindNext");
        QCOMPARE(first->txtXSLT->SelStart(), 6);
        QCOMPARE(second->txtXSLT->SelLength(), 0);
        QVERIFY(fake->calls.isEmpty());

        // Cancel closes it; the next request opens a new one.
        click("cmdCancel");
        QTRY_VERIFY(!dialog());
        QVERIFY(!openDialog());
        command("mnuReplace");
        QVERIFY(dialog());
        QCOMPARE(dialog()->parentWidget(), second);
        QTest::keyClick(dialog(), Qt::Key_Escape);
        QTRY_VERIFY(!dialog());
    }

    void dialog_goesWithItsWindow()
    {
        frmEditor *first = fixture::newDocument(main);
        frmEditor *second = fixture::newDocument(main);
        second->txtXSLT->setText("abc");
        command("mnuFind");
        QVERIFY(dialog());
        QPointer<frmEditor> closing(second);
        auto *sub = qobject_cast<QMdiSubWindow *>(second->parentWidget());
        // A close the user cancels at the save question leaves the dialog working.
        fake->answers << msg::Cancel;
        sub->close();
        QVERIFY(closing);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Save Changes?"));
        QVERIFY(dialog());
        QCOMPARE(openDialog()->target(), second->txtXSLT);
        fake->answers << msg::No;
        sub->close();
        QTRY_VERIFY(!closing);
        QVERIFY(!dialog());
        QVERIFY(!openDialog());

        first->txtXSLT->setText("abc abc");
        main->mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(first->parentWidget()));
        command("mnuFind");
        QVERIFY(dialog());
        QCOMPARE(dialog()->parentWidget(), first);
        type("txtFindWhat", "abc");
        click("cmdFindNext");
        click("cmdFindNext");
        QCOMPARE(first->txtXSLT->SelStart(), 4);
    }
};

ZENDRIK_TEST_MAIN(TstFindReplace)
#include "tst_findreplace.moc"
