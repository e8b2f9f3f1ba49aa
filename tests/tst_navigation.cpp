// What a window knows of its stylesheet: the checks while typing, the outline, Go to
// Definition, Find Usages, Rename and completion, across an include.
#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "components/editorassist.h"
#include "document/documentwindow.h"
#include "document/outlinepane.h"
#include "document/problemspane.h"
#include "document/stylesheetinsight.h"
#include "document/usagespane.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>

#include <bit>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

namespace {

QString readData(const QString &name)
{
    QFile f(QStringLiteral(TEST_DATA_DIR "/navigation/") + name);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QStringList rowsOf(QTreeWidget *list)
{
    QStringList out;
    for (QTreeWidgetItemIterator it(list); *it; ++it) {
        QStringList cells;
        for (int c = 0; c < list->columnCount(); ++c)
            cells << (*it)->text(c);
        out << cells.join(' ');
    }
    return out;
}

QStringList visibleRows(QTreeWidget *tree)
{
    QStringList out;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if (!(*it)->isHidden())
            out << (*it)->text(0);
    return out;
}

// Puts the caret on the first occurrence of what in the stylesheet, after skip characters.
void caretAt(DocumentWindow *doc, const QString &what, int skip = 1)
{
    SyntaxBox *box = stylesheetPane(doc);
    const int at = int(box->text().indexOf(what));
    QVERIFY2(at >= 0, qPrintable(what));
    box->setSelectionStart(at + skip);
}

// The rows of the stylesheet's own checks: "line severity message", sorted.
QStringList checkRows(DocumentWindow *doc)
{
    QStringList out;
    for (const Diagnostic &d : doc->problemsPane()->problems())
        if (d.origin == Diagnostic::Origin::Check)
            out << QStringLiteral("%1 %2 %3").arg(d.line).arg(d.severity == Diagnostic::Severity::Error ? "error" : "warning", d.message);
    out.sort();
    return out;
}

} // namespace

class TstNavigation : public QObject, public fixture::Session
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(start());
        folder = std::make_unique<QTemporaryDir>();
        QTemporaryDir &dir = *folder;
        QVERIFY(dir.isValid());
        for (const char *name : {"main.xsl", "parts.xsl"}) {
            QFile::remove(dir.filePath(name));
            QVERIFY(QFile::copy(QStringLiteral(TEST_DATA_DIR "/navigation/") + name, dir.filePath(name)));
            QFile(dir.filePath(name)).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
    }
    void cleanup()
    {
        stop();
        folder.reset();
    }

    // The checks follow the text: each finding a row with its kind and a mark on its line, a
    // warning's mark of its own; mended, they go; resting on a variable shows its declaration.
    void checks_followTheText()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        SyntaxBox *box = stylesheetPane(doc);
        const auto rows = [doc] { return checkRows(doc); };
        // A warning alone is marked and listed, but does not open the list.
        box->setText(QString(readData("checks.xsl")).replace("<xsl:value-of select=\"nosuch($gg)\"/>", "").replace("<xsl:call-template name=\"missing\"/>", ""));
        QTRY_COMPARE(rows(), QStringList{"4 warning \"spare\" is never used"});
        QVERIFY(!doc->problemsVisible());
        box->setText(readData("checks.xsl"));
        QTRY_COMPARE(rows(), (QStringList{"4 warning \"spare\" is never used", "5 error No function is named \"nosuch\"",
                                          "5 error Variable or parameter \"gg\" is not declared here", "6 error No template is named \"missing\""}));
        QVERIFY(doc->problemsVisible());
        EditorAssist *assist = doc->assist(box);
        QCOMPARE(assist->markedLines(), (QList<int>{4, 5, 5, 6}));
        // The warning's marker is not the error's.
        const int warningMarkers = int(box->SendScintilla(QsciScintillaBase::SCI_MARKERGET, 3L));
        const int errorMarkers = int(box->SendScintilla(QsciScintillaBase::SCI_MARKERGET, 4L));
        QVERIFY(warningMarkers && errorMarkers && warningMarkers != errorMarkers);
        QCOMPARE(box->SendScintilla(QsciScintillaBase::SCI_MARKERSYMBOLDEFINED, long(std::countr_zero(unsigned(warningMarkers)))),
                 long(QsciScintilla::RightTriangle));
        QCOMPARE(assist->messageAt(int(box->text().indexOf("gg"))), QStringLiteral("Variable or parameter \"gg\" is not declared here"));

        // Resting on a variable: its declaration's line.
        DocumentWindow::TextEdit mend{int(box->text().indexOf("nosuch($gg)")), 11, "string($g)"};
        QVERIFY(doc->applyStylesheetEdits({mend}));
        QTRY_COMPARE(rows(), (QStringList{"4 warning \"spare\" is never used", "6 error No template is named \"missing\""}));
        QTRY_VERIFY(doc->insight()->isCurrent());
        QCOMPARE(doc->hoverText(int(box->text().indexOf("$g)")) + 1), QStringLiteral("Line 2: <xsl:variable name=\"g\" select=\"1\"/>"));
        QCOMPARE(doc->hoverText(int(box->text().indexOf("string("))), QStringLiteral("string(object?) → string"));
        // A text cut short keeps the last findings rather than reporting what follows as missing.
        box->setSelectionStart(int(box->text().indexOf("</xsl:template>")));
        box->replaceSelection("<");
        QTest::qWait(StylesheetInsight::kPauseMs * 2);
        QCOMPARE(rows().size(), 2);
    }

    // View > Outline: the declarations with the included file's under it, narrowed by the
    // filter, the caret's template selected; Enter goes to the declaration.
    void outline_filtersAndFollowsTheCaret()
    {
        QVERIFY(main->openXSLT(folder->filePath("main.xsl")));
        DocumentWindow *doc = main->activeDocument();
        QAction *item = main->menuItem("mnuOutline");
        QCOMPARE(item->text(), QStringLiteral("&Outline"));
        QCOMPARE(item->shortcut(), QKeySequence("Ctrl+Shift+O"));
        item->trigger();
        OutlinePane *outline = doc->outlinePane();
        QVERIFY(outline->isVisible());
        QTRY_COMPARE(visibleRows(outline->tree()),
                     (QStringList{"include parts.xsl", "template name=\"row\"", "param $title", "template match=\"/\"",
                                  "template match=\"item\" mode=\"list\""}));
        QCOMPARE(QApplication::focusWidget(), outline->filter());
        QTest::keyClicks(outline->filter(), "ROW");
        QCOMPARE(visibleRows(outline->tree()), (QStringList{"include parts.xsl", "template name=\"row\""}));
        outline->filter()->clear();

        caretAt(doc, "count(//item)");
        QTRY_COMPARE(outline->tree()->currentItem() ? outline->tree()->currentItem()->text(0) : QString(),
                     QStringLiteral("template match=\"/\""));
        // Enter on the parameter's row: the caret on its name.
        outline->tree()->setFocus();
        outline->tree()->setCurrentItem(outline->tree()->topLevelItem(1));
        QTest::keyClick(outline->tree(), Qt::Key_Return);
        QCOMPARE(stylesheetPane(doc)->selectedText(), QStringLiteral("title"));
        // The included template's row opens its file.
        outline->tree()->setCurrentItem(outline->tree()->topLevelItem(0)->child(0));
        QTest::keyClick(outline->tree(), Qt::Key_Return);
        QTRY_COMPARE(QFileInfo(main->activeDocument()->fileName()).fileName(), QStringLiteral("parts.xsl"));
        QCOMPARE(stylesheetPane(main->activeDocument())->selectedText(), QStringLiteral("row"));
        QVERIFY(!main->menuItem("mnuOutline")->isChecked());
    }

    // F12 from a use to its declaration across the include, on a mode to the list of its
    // templates; Shift+F12 lists the usages with file, line and text.
    void definitionAndUsages()
    {
        QVERIFY(main->openXSLT(folder->filePath("main.xsl")));
        DocumentWindow *doc = main->activeDocument();
        QCOMPARE(main->menuItem("mnuGoToDefinition")->shortcut(), QKeySequence("F12"));
        QCOMPARE(main->menuItem("mnuFindUsages")->shortcut(), QKeySequence("Shift+F12"));
        QCOMPARE(main->menuItem("mnuRename")->shortcut(), QKeySequence("F2"));

        caretAt(doc, "$total");
        main->menuItem("mnuGoToDefinition")->trigger();
        QCOMPARE(stylesheetPane(doc)->selectedText(), QStringLiteral("total"));
        QCOMPARE(stylesheetPane(doc)->currentLine(), 5);

        caretAt(doc, "mode=\"list\"/>", 7);
        main->menuItem("mnuGoToDefinition")->trigger();
        UsagesPane *usages = doc->usagesPane();
        QVERIFY(usages->isVisible());
        QCOMPARE(usages->title(), QStringLiteral("Templates in mode \"list\": 1"));
        QCOMPARE(rowsOf(usages->list()), (QStringList{"main.xsl 13 <xsl:template match=\"item\" mode=\"list\"/>"}));

        caretAt(doc, "name=\"n\"", 6);
        main->menuItem("mnuFindUsages")->trigger();
        QCOMPARE(usages->title(), QStringLiteral("2 usages of $n"));
        QCOMPARE(rowsOf(usages->list()), (QStringList{"parts.xsl 4 <xsl:param name=\"n\"/>",
                                                      "main.xsl 9 <xsl:with-param name=\"n\" select=\"$total\"/>",
                                                      "parts.xsl 5 <td><xsl:value-of select=\"$n\"/></td>"}));
        QTest::keyClick(usages->list(), Qt::Key_Return);
        QTRY_COMPARE(QFileInfo(main->activeDocument()->fileName()).fileName(), QStringLiteral("parts.xsl"));
        DocumentWindow *parts = main->activeDocument();
        QCOMPARE(stylesheetPane(parts)->selectedText(), QStringLiteral("n"));
        // The included file is read as part of the stylesheet that includes it: that one's
        // parameter is declared there, a name declared nowhere is not.
        SyntaxBox *partsBox = stylesheetPane(parts);
        partsBox->setSelectionStart(int(partsBox->text().indexOf("</td>")));
        partsBox->replaceSelection("<xsl:value-of select=\"$title\"/><xsl:value-of select=\"$nosuch\"/>");
        QTRY_COMPARE(checkRows(parts), QStringList{"5 error Variable or parameter \"nosuch\" is not declared here"});

        // Esc in the list puts it away.
        main->mdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(doc->parentWidget()));
        QVERIFY(usages->isVisible());
        QTest::keyClick(usages->list(), Qt::Key_Escape);
        QVERIFY(usages->isHidden());

        // Nothing under the caret: said so.
        stylesheetPane(doc)->setSelectionStart(0);
        main->menuItem("mnuGoToDefinition")->trigger();
        QCOMPARE(windowStatus(doc)->currentMessage(), QStringLiteral("No name to go to at the caret"));
    }

    // F2 shows the changes first; Apply makes them in both files' windows, one undo step each.
    // A name in use or not a name is refused with the reason, and nothing changes.
    void rename_acrossTheInclude()
    {
        QVERIFY(main->openXSLT(folder->filePath("main.xsl")));
        DocumentWindow *doc = main->activeDocument();
        const QString before = stylesheetPane(doc)->text();

        const auto lastPrompt = [this] {
            for (qsizetype i = fake->calls.size() - 1; i >= 0; --i)
                if (fake->calls[i].kind == "input")
                    return fake->calls[i].text + " " + fake->calls[i].defaultText;
            return QString();
        };
        // $title is used where $total is in scope: renamed, $total would take it over.
        caretAt(doc, "$total");
        fake->inputs.enqueue("title");
        main->menuItem("mnuRename")->trigger();
        QCOMPARE(lastPrompt(), QStringLiteral("New name for $total: total"));
        QCOMPARE(fake->lastMessage().text, QStringLiteral("\"title\" is already declared in this scope"));
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Rename"));
        caretAt(doc, "name=\"n\"", 6);
        fake->inputs.enqueue("1x");
        main->menuItem("mnuRename")->trigger();
        QCOMPARE(fake->lastMessage().text, QStringLiteral("\"1x\" is not a valid name"));
        QCOMPARE(stylesheetPane(doc)->text(), before);

        // Shown, then the text changes: the rename is refused, not made at stale places.
        UsagesPane *usages = doc->usagesPane();
        fake->inputs.enqueue("cells");
        main->menuItem("mnuRename")->trigger();
        QVERIFY(usages->isRenamePreview());
        stylesheetPane(doc)->setSelectionStart(0);
        stylesheetPane(doc)->replaceSelection(" ");
        usages->findChild<QPushButton *>("cmdApplyRename")->click();
        QCOMPARE(fake->lastMessage().text, QStringLiteral("The stylesheets changed since the rename was shown; nothing was renamed."));
        QCOMPARE(stylesheetPane(doc)->text(), " " + before);
        QCOMPARE(fixture::documentWindows(main).size(), 1);
        stylesheetPane(doc)->undo();

        caretAt(doc, "name=\"n\"", 6);
        fake->inputs.enqueue("cells");
        main->menuItem("mnuRename")->trigger();
        QVERIFY(usages->isRenamePreview());
        QCOMPARE(usages->title(), QStringLiteral("Rename $n to $cells: 3 changes in 2 files"));
        QCOMPARE(rowsOf(usages->list()), (QStringList{"main.xsl 9 <xsl:with-param name=\"cells\" select=\"$total\"/>",
                                                      "parts.xsl 4 <xsl:param name=\"cells\"/>",
                                                      "parts.xsl 5 <td><xsl:value-of select=\"$cells\"/></td>"}));
        QCOMPARE(stylesheetPane(doc)->text(), before);
        usages->findChild<QPushButton *>("cmdApplyRename")->click();
        QTRY_COMPARE(fixture::documentWindows(main).size(), 2);
        DocumentWindow *parts = fixture::documentWindows(main).last();
        QCOMPARE(stylesheetPane(parts)->text(), readData("parts.xsl").replace("\"n\"", "\"cells\"").replace("$n", "$cells"));
        QCOMPARE(stylesheetPane(doc)->text(), QString(before).replace("name=\"n\"", "name=\"cells\""));
        QTRY_VERIFY(parts->isChanged() && doc->isChanged());
        QVERIFY(usages->isHidden());
        stylesheetPane(parts)->undo();
        QCOMPARE(stylesheetPane(parts)->text(), readData("parts.xsl"));
        stylesheetPane(doc)->undo();
        QCOMPARE(stylesheetPane(doc)->text(), before);
    }

    // Inside expressions: the variables in scope after "$" (the locals first), functions with
    // their signatures, the source's attributes by frequency after "@"; the named templates in
    // call-template; a choice inserts the name (a function's with its parenthesis).
    void completion_offersWhatIsInScope()
    {
        QVERIFY(main->openXSLT(folder->filePath("main.xsl")));
        DocumentWindow *doc = main->activeDocument();
        SyntaxBox *box = stylesheetPane(doc);
        sourcePane(doc)->setText("<list><item id='1' kind='a'/><item id='2'/><item id='3'/></list>");
        QTRY_VERIFY(doc->insight()->isCurrent());
        const auto typeAt = [&](const QString &anchor, int skip, const QString &keys) {
            caretAt(doc, anchor, skip);
            box->setFocus();
            QTest::keyClicks(box, keys);
        };
        typeAt("select=\"$total\"", 8, "$");
        QTRY_COMPARE(doc->completionRows(), (QStringList{"total", "title"}));
        QTest::keyClick(box, Qt::Key_Escape);
        typeAt("select=\"$title\"", 8, "c");
        QTRY_VERIFY(!doc->completionRows().isEmpty());
        QTest::keyClicks(box, "on");
        QVERIFY(doc->completionRows().contains("concat(string, string, string*) → string"));
        QVERIFY(doc->completionRows().contains("contains(string, string) → boolean"));
        QVERIFY(!doc->completionRows().contains("string(object?) → string"));
        QTest::keyClick(box, Qt::Key_Return);
        QVERIFY(box->text().contains("select=\"concat($title\""));
        typeAt("select=\"item\"", 12, "[@");
        QTRY_COMPARE(doc->completionRows(), (QStringList{"id", "kind"}));
        QTest::keyClick(box, Qt::Key_Escape);
        // Ctrl+Space: whatever fits at the caret.
        box->setSelectionStart(int(box->text().indexOf("name=\"row\"")) + 6);
        QTest::keyClick(box, Qt::Key_Space, Qt::ControlModifier);
        QCOMPARE(doc->completionRows(), QStringList{"row"});
    }

private:
    std::unique_ptr<QTemporaryDir> folder;
};

ZENDRIK_TEST_MAIN(TstNavigation)
#include "tst_navigation.moc"
