// The author's tools in a document window: the XPath bar over the source, the stylesheet's
// parameters driving the preview, re-indenting a pane, and checking the source against a schema.
#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "components/editorassist.h"
#include "document/documentwindow.h"
#include "document/parameterspanel.h"
#include "document/problemspane.h"
#include "document/xpathbar.h"
#include "options/settingsstore.h"
#include "engine/engineclient.h"
#include "model/stylesheetdocument.h"
#include "engine/validator.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLocale>
#include <QDialog>
#include <QMouseEvent>
#include <QRadioButton>
#include <QSplitter>
#include <QTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QStringList resultRows(XPathBar *bar)
{
    QStringList out;
    for (int i = 0; i < bar->results()->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = bar->results()->topLevelItem(i);
        out << item->text(0) + " " + item->text(1) + " " + item->text(2);
    }
    return out;
}

// Evaluates an expression as the user does: typed into the bar, then Return.
void evaluate(XPathBar *bar, const QString &expression)
{
    bar->expressionBox()->clear();
    QTest::keyClicks(bar->expressionBox(), expression);
    QTest::keyClick(bar->expressionBox(), Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!bar->isEvaluating(), 20000);
}

QString problemRows(DocumentWindow *doc)
{
    QStringList out;
    QTreeWidget *list = doc->problemsPane()->list();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(2);
    return out.join(',');
}

} // namespace

class TstAuthorTools : public QObject, public fixture::Session
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { stop(); }

    // Ctrl+Shift+X focuses the bar over the XML pane. Prefixes come from the source's root and
    // from the stylesheet; kinds, lines and values as the list shows them; choosing a row selects
    // the node's start tag; an error shows under the bar with its column.
    void xpath_evaluatesAgainstTheSourceText()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        stylesheetPane(doc)->setText("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
                              "xmlns:s=\"urn:a\"/>");
        sourcePane(doc)->setText(QStringLiteral("<r xmlns:a=\"urn:a\">\n  <a:x id=\"1\">é</a:x>\n  <!-- note -->\n  <a:x\n   id=\"2\"/>\n</r>"));
        main->activateWindow();
        QTest::keyClick(main, Qt::Key_X, Qt::ControlModifier | Qt::ShiftModifier);
        XPathBar *bar = doc->xpathBar();
        QCOMPARE(pageTabs(doc)->currentIndex(), 1);
        QTRY_COMPARE(QApplication::focusWidget(), bar->expressionBox());

        evaluate(bar, "//a:x");
        QCOMPARE(bar->summary()->text(), QStringLiteral("2 nodes"));
        QCOMPARE(resultRows(bar), (QStringList{"Element 2 <a:x id=\"1\"> é", "Element 4 <a:x id=\"2\"/>"}));
        evaluate(bar, "//s:x/@id | //comment()");
        QCOMPARE(resultRows(bar), (QStringList{"Attribute 2 id=\"1\"", "Comment 3 note", "Attribute 4 id=\"2\""}));
        evaluate(bar, "count(//a:x) * 1.5");
        QCOMPARE(bar->summary()->text(), QStringLiteral("Number: 3"));
        QVERIFY(bar->results()->isHidden());
        evaluate(bar, "string(//a:x)");
        QCOMPARE(bar->summary()->text(), QStringLiteral("String: é"));

        // The bar reads the text as it is now, not as it was.
        sourcePane(doc)->setSelectionStart(int(sourcePane(doc)->text().indexOf("</r>")));
        sourcePane(doc)->replaceSelection("<a:x/>");
        evaluate(bar, "//a:x");
        QCOMPARE(bar->results()->topLevelItemCount(), 3);
        bar->results()->setCurrentItem(bar->results()->topLevelItem(1));
        QCOMPARE(sourcePane(doc)->selectedText(), QStringLiteral("<a:x\n   id=\"2\"/>"));

        evaluate(bar, "//a:x[");
        QVERIFY(bar->errorLabel()->isVisible());
        QVERIFY2(bar->errorLabel()->text().startsWith("Column 7: "), qPrintable(bar->errorLabel()->text()));
        evaluate(bar, "//q:x");
        QVERIFY2(bar->errorLabel()->text().contains("\"q\""), qPrintable(bar->errorLabel()->text()));
        evaluate(bar, "/r");
        QVERIFY(bar->errorLabel()->isHidden());
        // Esc in the box puts the bar away and the caret back in the source.
        QTest::keyClick(bar->expressionBox(), Qt::Key_Escape);
        QVERIFY(bar->isHidden());
        QCOMPARE(QApplication::focusWidget(), sourcePane(doc));
    }

    // With a stylesheet of XSLT 3.0 the bar speaks XPath 3.1 through Saxon-HE: values with their
    // types, sequences of values and nodes, maps and arrays as text.
    void xpath_31ForA30Stylesheet()
    {
        if (!StylesheetDocument::saxonAvailable())
            QSKIP("Saxon-HE cannot run here (install default-jre-headless libsaxonhe-java): XPath 3.1 is not tried.");
        DocumentWindow *doc = fixture::newDocument(main);
        stylesheetPane(doc)->setText("<xsl:stylesheet version=\"3.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
                                     "xmlns:s=\"urn:a\"/>");
        sourcePane(doc)->setText(QStringLiteral("<r xmlns:a=\"urn:a\">\n  <a:x id=\"1\">é</a:x>\n  <a:x\n   id=\"2\"/>\n</r>"));
        doc->showXPathBar();
        XPathBar *bar = doc->xpathBar();
        evaluate(bar, "count(//s:x)");
        QCOMPARE(bar->summary()->text(), QStringLiteral("xs:integer: 2"));
        evaluate(bar, "map{'a': 1, 'b': [1, 2]}");
        QCOMPARE(bar->summary()->text(), QStringLiteral("1 item"));
        QCOMPARE(resultRows(bar), QStringList{"map(*)  map{\"a\":1,\"b\":[1,2]}"});
        evaluate(bar, "(//a:x ! string(@id)) => string-join('-'), //a:x[2], current-date() instance of xs:date");
        QCOMPARE(bar->summary()->text(), QStringLiteral("3 items"));
        QCOMPARE(resultRows(bar), (QStringList{"xs:string  1-2", "Element 3 <a:x id=\"2\"/>", "xs:boolean  true"}));
        // A node found by 3.1 is placed as one found by 1.0.
        bar->results()->setCurrentItem(bar->results()->topLevelItem(1));
        QCOMPARE(sourcePane(doc)->selectedText(), QStringLiteral("<a:x\n   id=\"2\"/>"));
        evaluate(bar, "for $x in //a:x return");
        QVERIFY(bar->errorLabel()->isVisible());
    }

    // A 10 MB source: the count, and the last node found at its line.
    void xpath_largeSource()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        QByteArray xml = "<list>\n";
        int lines = 1;
        while (xml.size() < 10 * 1024 * 1024) {
            xml += "  <item n=\"" + QByteArray::number(lines) + "\">some text of the item</item>\n";
            ++lines;
        }
        xml += "</list>\n";
        sourcePane(doc)->setText(QString::fromUtf8(xml));
        doc->showXPathBar();
        evaluate(doc->xpathBar(), "//item[last()]");
        QCOMPARE(resultRows(doc->xpathBar()),
                 QStringList{QStringLiteral("Element %1 <item n=\"%2\"> some text of the item").arg(lines).arg(lines - 1)});
        evaluate(doc->xpathBar(), "//item");
        QCOMPARE(doc->xpathBar()->summary()->text(), QStringLiteral("%1 nodes (the first 1000 listed)").arg(lines - 1));
    }

    // An expression can take any time and memory the source allows: it runs in a worker of
    // the window's own. A long value shows its length and a part, and copies whole; Esc stops
    // an evaluation at once; closing the window never waits for one.
    void xpath_hostileExpressionsCostOneAnswer()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        const QString text = QStringLiteral("x").repeated(5000) + QStringLiteral("é");
        sourcePane(doc)->setText(QStringLiteral("<r><v>%1</v>%2</r>").arg(text, QStringLiteral("<a/>").repeated(3000)));
        doc->showXPathBar();
        XPathBar *bar = doc->xpathBar();
        evaluate(bar, "string(/)");
        QCOMPARE(bar->summary()->text(), QStringLiteral("String (%1 characters): %2…")
                                             .arg(QLocale().toString(5001), text.left(XPathBar::kShownChars)));
        QTest::mouseClick(bar->findChild<QWidget *>(QStringLiteral("cmdCopyXPathValue")), Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), text);

        // Every a against every a against every a: minutes of work.
        bar->expressionBox()->setText(QStringLiteral("count(//a[count(//a[count(//a) > 0]) > 0])"));
        QTest::keyClick(bar->expressionBox(), Qt::Key_Return);
        QVERIFY(bar->isEvaluating());
        QTRY_VERIFY(bar->summary()->text() == QStringLiteral("Evaluating…") && bar->findChild<QWidget *>(QStringLiteral("cmdStopXPath"))->isVisible());
        QTest::keyClick(bar->expressionBox(), Qt::Key_Escape);
        QVERIFY(!bar->isEvaluating());
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->summary()->text(), QStringLiteral("Evaluation stopped"));
        evaluate(bar, "count(//a)");
        QCOMPARE(bar->summary()->text(), QStringLiteral("Number: 3000"));

        bar->expressionBox()->setText(QStringLiteral("count(//a[count(//a[count(//a) > 0]) > 0])"));
        QTest::keyClick(bar->expressionBox(), Qt::Key_Return);
        const qint64 window = doc->windowId();
        QVERIFY(EngineClient::shared().isBusy(window, engine::Channel::XPath));
        doc->setCloseApproved(true);
        QVERIFY(doc->parentWidget()->close());
        QVERIFY(!EngineClient::shared().isBusy(window));
    }

    // The results share the XML page with the pane in a split the user moves: the pane keeps
    // at least two thirds at first, and where the split is left is where the next list opens.
    void xpath_resultsSplitMovesAndIsRemembered()
    {
        const auto shareOf = [](QSplitter *split) {
            const QList<int> sizes = split->sizes();
            return sizes.value(0) * 100 / std::max(1, sizes.value(0) + sizes.value(1));
        };
        DocumentWindow *doc = fixture::newDocument(main);
        sourcePane(doc)->setText(QStringLiteral("<r>%1</r>").arg(QStringLiteral("<a/>").repeated(50)));
        doc->showXPathBar();
        evaluate(doc->xpathBar(), "//a");
        auto *split = doc->findChild<QSplitter *>(QStringLiteral("splXPath"));
        QVERIFY(split);
        QTRY_VERIFY(split->sizes().value(0) > 0);
        QVERIFY2(shareOf(split) <= 34, qPrintable(QString::number(shareOf(split))));

        // Dragged down to where the list has about half the page.
        QSplitterHandle *handle = split->handle(1);
        const int total = split->sizes().value(0) + split->sizes().value(1);
        const QPoint from = handle->rect().center();
        const QPoint to = from + QPoint(0, total / 2 - split->sizes().value(0));
        const auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
            QMouseEvent e(type, at, handle->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
            QApplication::sendEvent(handle, &e);
        };
        send(QEvent::MouseButtonPress, from, Qt::LeftButton);
        send(QEvent::MouseMove, to, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, to, Qt::NoButton);
        const int moved = shareOf(split);
        QVERIFY2(moved >= 45 && moved <= 55, qPrintable(QString::number(moved)));
        QVERIFY(fixture::settingsFileText().contains(QStringLiteral("XPathResultsShare=%1").arg(moved)));

        DocumentWindow *next = fixture::newDocument(main);
        sourcePane(next)->setText(sourcePane(doc)->text());
        next->showXPathBar();
        evaluate(next->xpathBar(), "//a");
        auto *nextSplit = next->findChild<QSplitter *>(QStringLiteral("splXPath"));
        QTRY_VERIFY(nextSplit->sizes().value(0) > 0);
        QVERIFY2(std::abs(shareOf(nextSplit) - moved) <= 2, qPrintable(QString::number(shareOf(nextSplit))));
    }

    // Parameters declared by the stylesheet and what it includes; a value given in the panel
    // goes into the preview, is kept under the stylesheet's file and comes back when it opens.
    void parameters_drivePreviewAndComeBack()
    {
        QTemporaryDir dir;
        const QString xsl = dir.filePath("page.xsl");
        QVERIFY(writeFile(dir.filePath("common.xsl"),
                          "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                          "<xsl:param name=\"count\" select=\"0\"/></xsl:stylesheet>"));
        QVERIFY(writeFile(xsl, "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                               "<xsl:include href=\"common.xsl\"/>\n<xsl:output method=\"text\"/>\n"
                               "<xsl:param name=\"greeting\" select=\"'Hi'\"/>\n"
                               "<xsl:template match=\"/\"><xsl:value-of select=\"concat($greeting, '|', $count)\"/></xsl:template>\n"
                               "</xsl:stylesheet>\n"));
        QVERIFY(writeFile(dir.filePath("in.xml"), "<r><i/><i/><i/></r>"));
        const auto preview = [&](DocumentWindow *doc) {
            browser->opened.clear();
            doc->previewInBrowser();
            return browser->opened.isEmpty() ? QByteArray() : browser->opened.last().contents;
        };

        DocumentWindow *doc = fixture::newDocument(main);
        QVERIFY(doc->loadXSLTFile(xsl));
        doc->loadXMLFile(dir.filePath("in.xml"));
        QCOMPARE(preview(doc), QByteArray("Hi|0"));
        main->menuItem(QStringLiteral("mnuParameters"))->trigger();
        QVERIFY(doc->parametersVisible());
        QTableWidget *table = doc->parametersPanel()->table();
        QTRY_COMPARE(table->rowCount(), 2);
        QCOMPARE(table->item(0, ParametersPanel::NameColumn)->text(), QStringLiteral("greeting"));
        QCOMPARE(table->item(0, ParametersPanel::DefaultColumn)->text(), QStringLiteral("'Hi'"));
        QCOMPARE(table->item(1, ParametersPanel::NameColumn)->text(), QStringLiteral("count"));
        table->item(0, ParametersPanel::ValueColumn)->setText(QStringLiteral("It's <b> & \"you\""));
        table->item(1, ParametersPanel::ValueColumn)->setText(QStringLiteral("count(//i) * 2"));
        table->item(1, ParametersPanel::XPathColumn)->setCheckState(Qt::Checked);
        QCOMPARE(preview(doc), QByteArray("It's <b> & \"you\"|6"));
        QVERIFY(fixture::settingsFileText().contains("[StylesheetParameters]"));

        // A bad expression is the preview's error, with the parameter's expression in it.
        table->item(1, ParametersPanel::ValueColumn)->setText(QStringLiteral("count(//i"));
        fake->calls.clear();
        QCOMPARE(preview(doc), QByteArray());
        QVERIFY(!fake->messages().isEmpty());
        table->item(1, ParametersPanel::ValueColumn)->setText(QStringLiteral("count(//i) * 2"));

        QVERIFY(doc->parentWidget()->close());
        QTRY_COMPARE(fixture::documentWindows(main).size(), 0);
        DocumentWindow *again = fixture::newDocument(main);
        QVERIFY(again->loadXSLTFile(xsl));
        again->loadXMLFile(dir.filePath("in.xml"));
        QCOMPARE(again->parametersPanel()->values(),
                 (QList<params::Value>{{"greeting", "It's <b> & \"you\"", false}, {"count", "count(//i) * 2", true}}));
        QCOMPARE(preview(again), QByteArray("It's <b> & \"you\"|6"));
    }

    // Among hundreds of parameters the filter keeps the rows whose name holds what is typed, in
    // any case; Down goes on to the value of the first row left.
    void parameters_filterNarrowsTheRows_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("shown");
        QTest::addRow("another case") << "AUTOLABEL" << QStringList{"section.autolabel", "chapter.autolabel", "section.autolabel.max.depth"};
        QTest::addRow("dots and digits") << "p.29" << QStringList{"p.29", "p.290", "p.291", "p.292", "p.293", "p.294", "p.295", "p.296", "p.297", "p.298", "p.299"};
        QTest::addRow("no name holds it") << "appendix" << QStringList{};
    }
    void parameters_filterNarrowsTheRows()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, shown);
        QString xsl = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n";
        for (const char *name : {"section.autolabel", "chapter.autolabel", "html.stylesheet", "section.autolabel.max.depth"})
            xsl += QStringLiteral("<xsl:param name=\"%1\" select=\"0\"/>\n").arg(name);
        for (int i = 0; i < 300; ++i)
            xsl += QStringLiteral("<xsl:param name=\"p.%1\"/>\n").arg(i);
        xsl += "<xsl:template match=\"/\"/></xsl:stylesheet>\n";
        DocumentWindow *doc = fixture::newDocument(main);
        stylesheetPane(doc)->setText(xsl);
        main->menuItem(QStringLiteral("mnuParameters"))->trigger();
        ParametersPanel *panel = doc->parametersPanel();
        QTableWidget *table = panel->table();
        QTRY_COMPARE(table->rowCount(), 304);
        auto *filter = panel->findChild<QLineEdit *>(QStringLiteral("txtParameterFilter"));
        QVERIFY(filter);
        QVERIFY(!filter->placeholderText().isEmpty());
        QTRY_COMPARE(QApplication::focusWidget(), filter);
        const auto visible = [&] {
            QStringList names;
            for (int row = 0; row < table->rowCount(); ++row)
                if (!table->isRowHidden(row))
                    names << table->item(row, ParametersPanel::NameColumn)->text();
            return names;
        };
        QTest::keyClicks(filter, typed);
        QCOMPARE(visible(), shown);
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("lblNoParameterMatch"))->isVisibleTo(panel), shown.isEmpty());
        if (!shown.isEmpty()) {
            QTest::keyClick(filter, Qt::Key_Down);
            QCOMPARE(table->item(table->currentRow(), ParametersPanel::NameColumn)->text(), shown.first());
            QCOMPARE(table->currentColumn(), int(ParametersPanel::ValueColumn));
            table->currentItem()->setText(QStringLiteral("1"));
        }
        // The stylesheet changing keeps the filter; clearing it shows every row, values kept.
        stylesheetPane(doc)->setText(QString(xsl).replace("html.stylesheet", "html.stylesheet.type"));
        QTRY_COMPARE(table->item(2, ParametersPanel::NameColumn)->text(), QStringLiteral("html.stylesheet.type"));
        QCOMPARE(visible(), shown);
        filter->clear();
        QCOMPARE(visible().size(), 304);
        if (!shown.isEmpty())
            QCOMPARE(panel->values(), (QList<params::Value>{{shown.first(), "1", false}}));
    }

    // Format Document re-indents the selected pane by the option's width, as one undo step;
    // Format Selection re-indents a fragment at its line's indentation; text that is not
    // well-formed is refused and left alone.
    void format_reindentsAsOneStep()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        pageTabs(doc)->setCurrentIndex(1);
        const QString before = QStringLiteral("<r><a>x <b>y</b></a><!-- c --><c/></r>");
        sourcePane(doc)->setText(before);
        doc->formatDocument();
        QCOMPARE(sourcePane(doc)->text(), QStringLiteral("<r>\n  <a>x <b>y</b></a>\n  <!-- c -->\n  <c/>\n</r>\n"));
        doc->undo();
        QCOMPARE(sourcePane(doc)->text(), before);

        SettingsStore::saveOption(Options::IndentWidth, QStringLiteral("4"));
        sourcePane(doc)->setText(QStringLiteral("<r>\n  <s><t/><u/></s>\n</r>\n"));
        sourcePane(doc)->setSelectionStart(6);
        sourcePane(doc)->setSelectionLength(15);
        doc->formatSelection();
        QCOMPARE(sourcePane(doc)->text(), QStringLiteral("<r>\n  <s>\n      <t/>\n      <u/>\n  </s>\n</r>\n"));

        const QString broken = QStringLiteral("<r><a></r>");
        sourcePane(doc)->setText(broken);
        fake->calls.clear();
        doc->formatDocument();
        QCOMPARE(sourcePane(doc)->text(), broken);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Format Document"));
        QVERIFY2(fake->lastMessage().text.startsWith("The document could not be formatted: "), qPrintable(fake->lastMessage().text));
    }

    // The source against a DTD, an XML Schema and a RELAX NG schema: problems with their lines in
    // the list, or "Valid" in the status bar.
    void validate_reportsProblemsOrValid_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("schema");
        QTest::addColumn<QString>("schemaFile");
        QTest::addColumn<QString>("lines"); // of the problems listed; empty: "Valid"
        QTest::addRow("dtd, invalid") << "dtd-invalid.xml" << int(validator::Schema::Dtd) << "" << "6,6,7,7";
        QTest::addRow("dtd, valid") << "dtd-valid.xml" << int(validator::Schema::Dtd) << "" << "";
        QTest::addRow("xsd, invalid") << "plain-invalid.xml" << int(validator::Schema::Xsd) << "order.xsd" << "2,3,4";
        QTest::addRow("rng, valid") << "plain-valid.xml" << int(validator::Schema::RelaxNg) << "order.rng" << "";
    }
    void validate_reportsProblemsOrValid()
    {
        QFETCH(QString, source);
        QFETCH(int, schema);
        QFETCH(QString, schemaFile);
        QFETCH(QString, lines);
        const QString folder = QStringLiteral(TEST_DATA_DIR "/validate/");
        DocumentWindow *doc = fixture::newDocument(main);
        doc->loadXMLFile(folder + source);
        QVERIFY(doc->validateSourceWith(validator::Schema(schema), schemaFile.isEmpty() ? QString() : folder + schemaFile));
        QCOMPARE(problemRows(doc), lines);
        QCOMPARE(doc->problemsVisible(), !lines.isEmpty());
        if (lines.isEmpty())
            QCOMPARE(windowStatus(doc)->currentMessage(), QStringLiteral("Valid"));
        else
            QCOMPARE(doc->assist(sourcePane(doc))->markedLines().first(), lines.section(',', 0, 0).toInt());
    }

    // A grammar that recurses as deep as the source: the validation takes the worker down, not
    // the program, and the next one runs.
    void validate_crashCostsOneAnswer()
    {
        QTemporaryDir dir;
        const QString grammar = dir.filePath(QStringLiteral("deep.rng"));
        QVERIFY(writeFile(grammar, "<grammar xmlns=\"http://relaxng.org/ns/structure/1.0\"><start><ref name=\"A\"/></start>"
                                   "<define name=\"A\"><element name=\"a\"><optional><ref name=\"A\"/></optional></element></define></grammar>"));
        DocumentWindow *doc = fixture::newDocument(main);
        sourcePane(doc)->setText(QStringLiteral("<a>").repeated(200000) + QStringLiteral("</a>").repeated(200000));
        fake->calls.clear();
        QVERIFY(!doc->validateSourceWith(validator::Schema::RelaxNg, grammar));
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Validate Source"));
        QCOMPARE(fake->lastMessage().text,
                 QStringLiteral("The validation stopped the engine (it crashed). Your documents are not affected."));
        sourcePane(doc)->setText(QStringLiteral("<a><a/></a>"));
        QVERIFY(doc->validateSourceWith(validator::Schema::RelaxNg, grammar));
        QCOMPARE(windowStatus(doc)->currentMessage(), QStringLiteral("Valid"));
    }

    // Tools > Validate Source asks which schema; the answer is kept for the source's file and
    // offered again next time.
    void validate_choiceRememberedPerSource()
    {
        const QString folder = QStringLiteral(TEST_DATA_DIR "/validate/");
        DocumentWindow *doc = fixture::newDocument(main);
        doc->loadXMLFile(folder + "plain-invalid.xml");
        QStringList seen;
        const auto answer = [&](bool pickXsd) {
            QTimer::singleShot(50, this, [&, pickXsd] {
                auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
                QVERIFY(dialog && dialog->windowTitle() == QStringLiteral("Validate Source"));
                const QList<QRadioButton *> kinds = dialog->findChildren<QRadioButton *>();
                auto *path = dialog->findChild<QLineEdit *>(QStringLiteral("txtSchema"));
                for (QRadioButton *b : kinds)
                    if (b->isChecked())
                        seen << b->text() + " " + path->text().section('/', -1);
                if (pickXsd) {
                    kinds[1]->setChecked(true);
                    path->setText(folder + "order.xsd");
                }
                dialog->accept();
            });
        };
        answer(true);
        main->menuItem(QStringLiteral("mnuValidateSource"))->trigger();
        QCOMPARE(problemRows(doc), QStringLiteral("2,3,4"));
        answer(false);
        main->menuItem(QStringLiteral("mnuValidateSource"))->trigger();
        QCOMPARE(seen, (QStringList{"Against the &DTD its DOCTYPE names ", "Against an XML &Schema (XSD) order.xsd"}));
        QVERIFY(fixture::settingsFileText().contains("[SourceSchemas]"));
    }
};

ZENDRIK_TEST_MAIN(TstAuthorTools)
#include "tst_authortools.moc"
