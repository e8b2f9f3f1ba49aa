// Errors where they happen: marks at their place, checks while typing, the problems list, and
// the editor's margin (line numbers, matching tags, indentation, Go to Line).
#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "components/editorassist.h"
#include "document/documentwindow.h"
#include "document/problemspane.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

namespace {

const QString kHead = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xsl:stylesheet version=\"1.0\" "
                                     "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n");
const QString kTail = QStringLiteral("</xsl:stylesheet>\n");
const QString kChecks = QStringLiteral(TEST_DATA_DIR "/../checks");

// The rows of the parse, compile and run checks (the stylesheet's own checks left out).
QStringList rows(DocumentWindow *doc)
{
    QStringList out;
    QTreeWidget *list = doc->problemsPane()->list();
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = list->topLevelItem(i);
        if (item->data(0, Qt::UserRole).value<Diagnostic>().origin != Diagnostic::Origin::Check)
            out << item->text(1) + ":" + item->text(2) + " " + item->text(0);
    }
    return out;
}

} // namespace

class TstProblems : public QObject, public fixture::Session
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { stop(); }

    // A parse error is marked where the parser found it, counted in characters: é is two bytes,
    // the arrow three, the emoji four (and two UTF-16 units).
    void parseError_markedAtItsCharacter_data()
    {
        QTest::addColumn<QString>("pane");
        QTest::addRow("stylesheet") << "txtXSLT";
        QTest::addRow("xml source") << "txtXML";
    }
    void parseError_markedAtItsCharacter()
    {
        QFETCH(QString, pane);
        DocumentWindow *doc = fixture::newDocument(main);
        SyntaxBox *box = pane == "txtXSLT" ? stylesheetPane(doc) : sourcePane(doc);
        const QString good = pane == "txtXSLT" ? kHead + QStringLiteral("<xsl:template match=\"/\"/>\n") + kTail
                                               : QStringLiteral("<r>\n<a/>\n</r>\n");
        box->setText(good);
        const QString broken = QStringLiteral("  <p>é→😀 <b></p>\n");
        const int lineStart = int(good.indexOf(QLatin1Char('\n'), good.indexOf(QLatin1Char('\n')) + 1)) + 1;
        box->setSelectionStart(lineStart);
        box->replaceSelection(broken);
        EditorAssist *assist = doc->assist(box);
        QTRY_COMPARE(assist->markedLines(), QList<int>{3});
        // The parser places "Opening and ending tag mismatch" at the end of the end tag: the
        // underline ends the line there, after the emoji (in bytes it would be 6 further).
        const int endTag = lineStart + int(broken.indexOf(QLatin1String("</p>"))) + 3;
        QTRY_VERIFY(!assist->underlines().isEmpty());
        QCOMPARE(assist->underlines().first().first, endTag);
        QVERIFY2(assist->messageAt(endTag).contains(QLatin1String("mismatch")), qPrintable(assist->messageAt(endTag)));
        QVERIFY(doc->problemsVisible());

        // The mark moves with lines typed above it and goes when the error does.
        box->setSelectionStart(0);
        box->replaceSelection(pane == "txtXSLT" ? QString() : QStringLiteral("<!-- a -->\n<!-- b -->\n"));
        if (pane == "txtXML")
            QTRY_COMPARE(assist->markedLines(), QList<int>{5});
        box->setText(good);
        QTRY_VERIFY(assist->markedLines().isEmpty());
        QTRY_VERIFY(rows(doc).isEmpty());
    }

    // Each folder holds a stylesheet with one mistake and where its check places it
    // ("[file:]line|part of the message"). The check runs in the engine while the user types.
    void compileCheck_placesEachKindOfMistake_data()
    {
        QTest::addColumn<QString>("folder");
        for (const QString &name : QDir(kChecks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            QTest::addRow("%s", qPrintable(name)) << QDir(kChecks).filePath(name);
        QVERIFY(QDir(kChecks).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() >= 8);
    }
    void compileCheck_placesEachKindOfMistake()
    {
        QFETCH(QString, folder);
        QFile expectedFile(folder + QStringLiteral("/expected"));
        QVERIFY(expectedFile.open(QIODevice::ReadOnly));
        const QString expected = QString::fromUtf8(expectedFile.readAll()).trimmed();
        const QString where = expected.section(QLatin1Char('|'), 0, 0);
        const QString file = where.contains(QLatin1Char(':')) ? where.section(QLatin1Char(':'), 0, 0) : QStringLiteral("stylesheet.xsl");
        const QString line = where.section(QLatin1Char(':'), -1);
        QVERIFY(main->openXSLT(folder + QStringLiteral("/stylesheet.xsl")));
        DocumentWindow *doc = main->activeDocument();
        stylesheetPane(doc)->setSelectionStart(int(stylesheetPane(doc)->text().size()));
        QTest::keyClicks(stylesheetPane(doc), QStringLiteral(" "));
        QTRY_VERIFY_WITH_TIMEOUT(!rows(doc).isEmpty(), 10000);
        const QString row = rows(doc).first();
        QVERIFY2(row.startsWith(file + ":" + line + " ") && row.contains(expected.section(QLatin1Char('|'), 1)), qPrintable(row));
        if (file == QLatin1String("stylesheet.xsl"))
            QCOMPARE(doc->assist(stylesheetPane(doc))->markedLines(), QList<int>{line.toInt()});

        // Enter on the row goes to the place: in the stylesheet, or in the included file, shown
        // read-only in a window of its own.
        QTreeWidget *list = doc->problemsPane()->list();
        list->setCurrentItem(list->topLevelItem(0));
        QTest::keyClick(list, Qt::Key_Return);
        DocumentWindow *shown = main->activeDocument();
        if (file == QLatin1String("stylesheet.xsl")) {
            QCOMPARE(shown, doc);
        } else {
            QVERIFY(shown != doc);
            QCOMPARE(shown->fileName(), QDir::cleanPath(QDir(folder).filePath(file)));
            QVERIFY(stylesheetPane(shown)->isReadOnly());
            QVERIFY(shown->caption().endsWith(QLatin1String("(read-only)")));
        }
        QCOMPARE(stylesheetPane(shown)->currentLine() + 1, line.toInt());
    }

    // Messages of the last transformation are listed in order, with their lines; one that
    // ends the transformation is an error.
    void xslMessage_listedInOrder()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        stylesheetPane(doc)->setText(kHead + QStringLiteral("<xsl:template match=\"/\">\n<xsl:for-each select=\"//i\">\n"
                                                     "<xsl:message>item <xsl:value-of select=\".\"/></xsl:message>\n</xsl:for-each>\n"
                                                     "<xsl:message terminate=\"yes\">done</xsl:message>\n</xsl:template>\n") + kTail);
        sourcePane(doc)->setText(QStringLiteral("<r><i>one</i><i>two</i></r>"));
        main->menuItem("mnuLivePreview")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(rows(doc).size() == 3, 10000);
        QCOMPARE(rows(doc), QStringList({"New XSLT File:5 item one", "New XSLT File:5 item two", "New XSLT File:7 done"}));
        const QList<Diagnostic> problems = doc->problemsPane()->problems();
        QCOMPARE(problems[0].severity, Diagnostic::Severity::Information);
        QCOMPARE(problems[2].severity, Diagnostic::Severity::Error);
        QVERIFY(fake->messages().isEmpty()); // no box while previewing live
    }

    void margin_lineNumbersTagsIndentAndGoToLine()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        // Line numbers are on by default; the View toggle turns them off everywhere, stored.
        QVERIFY(main->menuItem("mnuLineNumbers")->isChecked());
        QVERIFY(stylesheetPane(doc)->marginWidth(0) > 0);
        main->menuItem("mnuLineNumbers")->trigger();
        QCOMPARE(stylesheetPane(doc)->marginWidth(0), 0);
        QCOMPARE(sourcePane(doc)->marginWidth(0), 0);
        QVERIFY(fixture::settingsFileText().contains(QLatin1String("LineNumbers=0")));

        // The start and end tag of the element under the caret.
        stylesheetPane(doc)->setText(QStringLiteral("<a>\n  <b><b/></b>\n  <!-- <b> -->\n</a>"));
        stylesheetPane(doc)->setSelectionStart(7);
        QTRY_COMPARE(doc->assist(stylesheetPane(doc))->matchingTags(), (QList<QPair<int, int>>{{6, 2}, {13, 3}}));
        stylesheetPane(doc)->setSelectionStart(int(stylesheetPane(doc)->text().size()) - 1);
        QTRY_COMPARE(doc->assist(stylesheetPane(doc))->matchingTags(), (QList<QPair<int, int>>{{0, 2}, {33, 3}}));

        // A new line starts where the one before it does.
        stylesheetPane(doc)->setSelectionStart(int(stylesheetPane(doc)->text().indexOf(QLatin1String("</b>"))) + 4);
        QTest::keyClick(stylesheetPane(doc), Qt::Key_Return);
        QVERIFY(stylesheetPane(doc)->text().contains(QLatin1String("</b>\n  \n")));

        // Inside a start tag whose attribute holds a ">": still that element.
        stylesheetPane(doc)->setText(QStringLiteral("<r>\n<if test=\"$a > 1\">xy</if>\n\n</r>"));
        stylesheetPane(doc)->setSelectionStart(int(stylesheetPane(doc)->text().indexOf(QLatin1String("1\""))));
        QTRY_COMPARE(doc->assist(stylesheetPane(doc))->matchingTags(), (QList<QPair<int, int>>{{4, 3}, {24, 4}}));

        // Ctrl+G asks for a line and goes there, in the selected pane.
        fake->inputs << QStringLiteral("4");
        main->activateWindow();
        stylesheetPane(doc)->setFocus();
        QTest::keySequence(main, QKeySequence(QStringLiteral("Ctrl+G")));
        QCOMPARE(fake->calls.last().title, QStringLiteral("Go to Line"));
        QCOMPARE(stylesheetPane(doc)->currentLine() + 1, 4);
    }
};

ZENDRIK_TEST_MAIN(TstProblems)
#include "tst_problems.moc"
