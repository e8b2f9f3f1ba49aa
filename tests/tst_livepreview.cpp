// The preview beside the editor, and the engine's work seen from the window: typing re-renders,
// a failure keeps the last good render, Stop ends a runaway stylesheet, a closing window ends
// its work.
#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "document/busystrip.h"
#include "document/documentwindow.h"
#include "document/livepreview.h"
#include "document/runreportpane.h"
#include "engine/engineclient.h"
#include "model/stylesheetdocument.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QProcess>
#include <QScopeGuard>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QSignalSpy>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace {

QString stylesheet(const QString &output, const QString &body)
{
    return QStringLiteral("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">") + output
           + QStringLiteral("<xsl:template match=\"/\">") + body + QStringLiteral("</xsl:template></xsl:stylesheet>");
}

const QString kSource = QStringLiteral("<list><item>alpha</item><item>beta</item></list>");
// Runs for as long as anyone lets it, in constant memory: every node against every node, five
// levels deep, writing nothing.
const QString kEndless = stylesheet(QString(), QStringLiteral(
    "<o><xsl:for-each select=\"//node()\"><xsl:for-each select=\"//node()\"><xsl:for-each select=\"//node()\">"
    "<xsl:for-each select=\"//node()\"><xsl:for-each select=\"//node()\"><xsl:if test=\"false()\"><x/></xsl:if>"
    "</xsl:for-each></xsl:for-each></xsl:for-each></xsl:for-each></xsl:for-each></o>"));

// What a script in the rendered view gives back.
QVariant runInView(QWebEngineView *view, const QString &script)
{
    QVariant result;
    bool done = false;
    view->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant &v) {
        result = v;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        return QVariant();
    return result;
}

} // namespace

class TstLivePreview : public QObject, public fixture::Session
{
    Q_OBJECT

    DocumentWindow *liveWindow(const QString &xslt, const QString &xml)
    {
        DocumentWindow *doc = fixture::newDocument(main);
        stylesheetPane(doc)->setText(xslt);
        sourcePane(doc)->setText(xml);
        if (!main->menuItem("mnuLivePreview")->isChecked())
            main->menuItem("mnuLivePreview")->trigger();
        return doc;
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { stop(); }

    void liveToggle_showsThePaneAndIsStored()
    {
        DocumentWindow *doc = liveWindow(stylesheet(QString(), QStringLiteral("<p><xsl:value-of select=\"count(//item)\"/></p>")), kSource);
        QVERIFY(doc->livePreview());
        QVERIFY(fixture::settingsFileText().contains(QLatin1String("LivePreview=1")));
        QTRY_COMPARE_WITH_TIMEOUT(doc->livePane()->renders(), 1, 10000);
        // A new window follows the toggle; turning it off hides every pane.
        DocumentWindow *second = fixture::newDocument(main);
        QVERIFY(second->livePreview());
        QTest::keySequence(main, QKeySequence(QStringLiteral("Ctrl+Shift+P")));
        QVERIFY(!doc->livePreview() && !second->livePreview());
        QVERIFY(fixture::settingsFileText().contains(QLatin1String("LivePreview=0")));
    }

    // A source read from a file is rendered with, however it comes: File > Open XML into a
    // window whose pane shows the old source, or named after the stylesheet on the command line.
    void sourceFromFile_rendered_data()
    {
        QTest::addColumn<bool>("commandLine");
        QTest::addRow("File > Open XML") << false;
        QTest::addRow("command line") << true;
    }
    void sourceFromFile_rendered()
    {
        QFETCH(bool, commandLine);
        const QString dir = QDir(testenv::tempDir()).filePath(QStringLiteral("opened"));
        const QString xsl = dir + QStringLiteral("/a.xsl"), xml = dir + QStringLiteral("/b.xml");
        QVERIFY(testenv::writeFile(xsl, stylesheet(QString(), QStringLiteral("<p>Items: <xsl:value-of select=\"count(//item)\"/></p>")).toUtf8()));
        QVERIFY(testenv::writeFile(xml, "<list><item/><item/><item/></list>"));
        const auto cleanUp = qScopeGuard([&] { QDir(dir).removeRecursively(); });
        DocumentWindow *doc = nullptr;
        if (commandLine) {
            main->menuItem("mnuLivePreview")->trigger();
            main->openSources({xsl, xml});
            QTRY_VERIFY(!main->documents().isEmpty() && main->documents().last()->sourceFileName() == xml);
            doc = main->documents().last();
        } else {
            doc = liveWindow(QString(), kSource);
            QVERIFY(doc->loadXSLTFile(xsl));
            QTRY_VERIFY_WITH_TIMEOUT(fixture::pageText(doc->livePane()->view()).contains(QStringLiteral("Items: 2")), 10000);
            fake->answers << QMessageBox::No; // the typed source is not kept
            doc->loadXMLFile(xml);    // what File > Open XML does with the file chosen
            QCOMPARE(doc->sourceFileName(), xml);
        }
        QTRY_VERIFY_WITH_TIMEOUT(fixture::pageText(doc->livePane()->view()).contains(QStringLiteral("Items: 3")), 10000);
    }

    // Each row: the xsl:output, the page text the view shows, the raw result (what xsltproc writes).
    void outputMethods_render_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("shown");
        QTest::addRow("html") << "<xsl:output method=\"html\"/>" << "<html><body><p>Items: <xsl:value-of select=\"count(//item)\"/></p><br/></body></html>" << "Items: 2";
        QTest::addRow("xhtml as xml") << "" << "<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>First: <xsl:value-of select=\"//item\"/></p></body></html>" << "First: alpha";
        QTest::addRow("text") << "<xsl:output method=\"text\"/>" << "<xsl:for-each select=\"//item\"><xsl:value-of select=\".\"/>;</xsl:for-each>" << "alpha;beta;";
        QTest::addRow("plain xml") << "" << "<r><xsl:copy-of select=\"//item[2]\"/></r>" << "beta";
        // XSLT 3.0's own methods, in Saxon-HE: shown as the text they are.
        QTest::addRow("json") << "<xsl:output method=\"json\"/>" << "<xsl:sequence select=\"map{'items': array{//item/string()}}\"/>"
                              << "{\"items\":[\"alpha\",\"beta\"]}";
        QTest::addRow("adaptive") << "<xsl:output method=\"adaptive\"/>" << "<xsl:sequence select=\"count(//item), 'x'\"/>" << "2\n\"x\"";
    }
    void outputMethods_render()
    {
        QFETCH(QString, output);
        QFETCH(QString, body);
        QFETCH(QString, shown);
        const bool xslt3 = output.contains("json") || output.contains("adaptive");
        if (xslt3 && !StylesheetDocument::saxonAvailable())
            QSKIP("Saxon-HE cannot run here (install default-jre-headless libsaxonhe-java): its output methods are not tried.");
        QString text = stylesheet(output, body);
        if (xslt3)
            text.replace("version=\"1.0\"", "version=\"3.0\"");
        DocumentWindow *doc = liveWindow(text, kSource);
        QTRY_VERIFY_WITH_TIMEOUT(doc->livePane()->renders() == 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(fixture::pageText(doc->livePane()->view()).contains(shown), 10000);
        if (xslt3) {
            QCOMPARE(doc->livePane()->resultSource(), shown);
            return;
        }
        // The raw result is what xsltproc writes for the same pair.
        if (QFile::exists(QStringLiteral("/usr/bin/xsltproc"))) {
            const QString dir = QDir(testenv::tempDir()).filePath(QStringLiteral("methods"));
            QDir().mkpath(dir);
            QFile xsl(dir + QStringLiteral("/s.xsl")), xml(dir + QStringLiteral("/s.xml"));
            QVERIFY(xsl.open(QIODevice::WriteOnly) && xml.open(QIODevice::WriteOnly));
            xsl.write(stylesheetPane(doc)->utf8Text());
            xml.write(sourcePane(doc)->utf8Text());
            xsl.close();
            xml.close();
            QProcess proc;
            proc.start(QStringLiteral("/usr/bin/xsltproc"), {xsl.fileName(), xml.fileName()});
            QVERIFY(proc.waitForFinished());
            QCOMPARE(doc->livePane()->resultSource(), QString::fromUtf8(proc.readAllStandardOutput()));
            QDir(dir).removeRecursively();
        }
    }

    // A new page of the same kind replaces the content of the one shown, where the reader left
    // it; a page the view shows as an XML tree, or as text, is loaded afresh.
    void nextRender_replacesThePageInPlace_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("inPlace");
        const QString paragraphs = QStringLiteral("<xsl:for-each select=\"(//node())[position() &lt; 400]\"><p>line</p></xsl:for-each>");
        QTest::addRow("html") << "<xsl:output method=\"html\"/>" << "<html><body><h1>WORD caf\u00e9</h1>" + paragraphs + "</body></html>" << true;
        // Written in Latin-1, as DocBook's pages are; read as a browser reads it.
        QTest::addRow("html in latin-1") << "<xsl:output method=\"html\" encoding=\"ISO-8859-1\"/>"
                                         << "<html><body><h1>WORD caf\u00e9</h1>" + paragraphs + "</body></html>" << true;
        QTest::addRow("xhtml as xml") << "" << "<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><h1>WORD</h1>" + QString(paragraphs).replace("<p>", "<p xmlns=\"http://www.w3.org/1999/xhtml\">") + "</body></html>" << true;
        QTest::addRow("plain xml") << "" << "<r>WORD</r>" << false;
        QTest::addRow("text") << "<xsl:output method=\"text\"/>" << "WORD" << false;
    }
    void nextRender_replacesThePageInPlace()
    {
        QFETCH(QString, output);
        QFETCH(QString, body);
        QFETCH(bool, inPlace);
        const QString text = stylesheet(output, body);
        DocumentWindow *doc = liveWindow(text, QStringLiteral("<list>") + QStringLiteral("<item>x</item>").repeated(500) + QStringLiteral("</list>"));
        LivePreviewPane *pane = doc->livePane();
        QTRY_VERIFY_WITH_TIMEOUT(pane->renders() == 1 && fixture::pageText(pane->view()).contains(QLatin1String("WORD")), 20000);
        if (inPlace) {
            pane->view()->page()->runJavaScript(QStringLiteral("window.scrollTo(0, 600);"), QWebEngineScript::ApplicationWorld);
            QTRY_COMPARE(int(pane->view()->page()->scrollPosition().y()), 600);
        }
        stylesheetPane(doc)->setText(QString(text).replace(QLatin1String("WORD"), QLatin1String("NEWER")));
        QTRY_VERIFY_WITH_TIMEOUT(pane->renders() == 2 && fixture::pageText(pane->view()).contains(QLatin1String("NEWER")), 20000);
        QCOMPARE(pane->inPlaceRenders(), inPlace ? 1 : 0);
        if (inPlace) {
            QTRY_COMPARE(int(pane->view()->page()->scrollPosition().y()), 600);
            if (body.contains(QStringLiteral("caf\u00e9")))
                QVERIFY(fixture::pageText(pane->view()).contains(QStringLiteral("NEWER caf\u00e9")));
        }
    }

    // Of a page replaced in place only what differs changes, and the page shown is then the new
    // one exactly: text, attributes, children added, removed or of another kind, the head.
    void nextRender_changesOnlyWhatDiffers_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addRow("text") << "<h1>one</h1><p>same</p>" << "<h1>two</h1><p>same</p>";
        QTest::addRow("attributes") << "<p class=\"a\" id=\"k\">x</p>" << "<p title=\"t\" id=\"j\">x</p>";
        QTest::addRow("child inserted") << "<ul><li>1</li><li>3</li></ul><p>end</p>" << "<ul><li>1</li><li>2</li><li>3</li></ul><p>end</p>";
        QTest::addRow("children removed") << "<ul><li>1</li><li>2</li><li>3</li><li>4</li></ul>" << "<ul><li>1</li><li>4</li></ul>";
        QTest::addRow("another kind") << "<p>x</p><em>y</em>" << "<div>x</div>tail<em>y</em>";
        QTest::addRow("everything") << "<table><tr><td>a</td></tr></table>" << "<ol><li>b</li></ol><!-- c --><p>d</p>";
    }
    void nextRender_changesOnlyWhatDiffers()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        const auto page = [](const QString &title, const QString &body) {
            return stylesheet(QStringLiteral("<xsl:output method=\"html\"/>"),
                              QStringLiteral("<html><head><title>") + title + QStringLiteral("</title></head><body>") + body + QStringLiteral("</body></html>"));
        };
        DocumentWindow *doc = liveWindow(page(QStringLiteral("first"), before), kSource);
        LivePreviewPane *pane = doc->livePane();
        QTRY_VERIFY_WITH_TIMEOUT(pane->renders() == 1 && runInView(pane->view(), QStringLiteral("document.title")).toString() == QLatin1String("first"), 20000);
        stylesheetPane(doc)->setText(page(QStringLiteral("second"), after));
        QTRY_VERIFY_WITH_TIMEOUT(pane->renders() == 2 && runInView(pane->view(), QStringLiteral("document.title")).toString() == QLatin1String("second"), 20000);
        QCOMPARE(pane->patchedRenders(), 1);
        const QString fresh = QStringLiteral("new DOMParser().parseFromString(%1[0], 'text/html').documentElement.isEqualNode(document.documentElement)")
                                  .arg(QString::fromUtf8(QJsonDocument(QJsonArray{pane->resultSource()}).toJson(QJsonDocument::Compact)));
        QVERIFY(runInView(pane->view(), fresh).toBool());
    }

    // Inspect: a click on the rendered output, or on a line of Result Source, selects the
    // instruction that made it and the source node current then; Show Output marks what the
    // instruction at the caret made and says how often it ran; the Trace and the Profile list
    // the run's templates, and Enter on one goes to it.
    void inspect_mapsOutputBackToStylesheetAndSource()
    {
        const QString folder = QStringLiteral(TEST_DATA_DIR "/trace-basic");
        DocumentWindow *doc = liveWindow(QString(), QString());
        QVERIFY(doc->loadXSLTFile(folder + QStringLiteral("/stylesheet.xsl")));
        doc->loadXMLFile(folder + QStringLiteral("/source.xml"));
        LivePreviewPane *pane = doc->livePane();
        QTRY_VERIFY_WITH_TIMEOUT(fixture::pageText(pane->view()).contains(QStringLiteral("Loose text")), 20000);
        QVERIFY(!pane->map()); // nothing is recorded until asked for
        QCOMPARE(pane->inspectButton()->text(), QStringLiteral("Inspect"));
        main->menuItem("mnuInspect")->trigger();
        QVERIFY(pane->isInspecting());
        QTRY_VERIFY_WITH_TIMEOUT(pane->map(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(runInView(pane->view(), QStringLiteral("!!window.zk")).toBool(), 10000);
        // The text "one" in the first list item: the xsl:value-of, for the first item.
        const QVariantList at = runInView(pane->view(), QStringLiteral(
            "(function(){ const li = document.querySelector('li'); const r = li.getBoundingClientRect();"
            " return [r.left + 4, r.top + r.height / 2]; })()")).toList();
        QCOMPARE(at.size(), 2);
        QSignalSpy inspected(pane, &LivePreviewPane::nodeInspected);
        pane->inspectAt(QPoint(at[0].toInt(), at[1].toInt()));
        QTRY_COMPARE_WITH_TIMEOUT(inspected.size(), 1, 10000);
        QCOMPARE(stylesheetPane(doc)->selectedText(), QStringLiteral("<xsl:value-of select=\"@name\"/>"));
        QCOMPARE(sourcePane(doc)->selectedText(), QStringLiteral("<item name=\"one\"/>"));

        // A line of Result Source: the aside comes from xsl:element in the note template.
        pane->findChild<QTabBar *>(QStringLiteral("tabLiveView"))->setCurrentIndex(1);
        SyntaxBox *source = pane->sourceView();
        source->setFocus();
        const qint64 aside = source->utf8Text().indexOf("<aside");
        QVERIFY(aside > 0);
        source->SendScintilla(QsciScintillaBase::SCI_GOTOPOS, static_cast<unsigned long>(aside + 2));
        QTRY_COMPARE(stylesheetPane(doc)->selectedText(), QStringLiteral("<xsl:element name=\"aside\">"));
        QCOMPARE(sourcePane(doc)->selectedText(), QStringLiteral("<note/>"));

        // Show Output from inside the li of the for-each: both items, and how often it ran.
        SyntaxBox *xslt = stylesheetPane(doc);
        xslt->SendScintilla(QsciScintillaBase::SCI_GOTOPOS, static_cast<unsigned long>(xslt->utf8Text().indexOf("<li>") + 5));
        main->menuItem("mnuShowOutput")->trigger();
        QCOMPARE(pane->noteText(), QStringLiteral("li on line 21 ran 2 times in the last run and made 2 pieces of its output."));
        QCOMPARE(pane->markedSource().size(), 2);
        for (const auto &[from, to] : pane->markedSource())
            QVERIFY(source->utf8Text().mid(from, to - from).startsWith("<li>"));
        xslt->SendScintilla(QsciScintillaBase::SCI_GOTOPOS, static_cast<unsigned long>(xslt->utf8Text().indexOf("<xsl:template match=\"chapter\">") + 3));
        main->menuItem("mnuShowOutput")->trigger();
        QCOMPARE(pane->noteText(), QStringLiteral("The template on line 15 ran 2 times in the last run and made 2 pieces of its output."));
        // Both divs are boxed in the rendered view.
        QTRY_COMPARE_WITH_TIMEOUT(runInView(pane->view(), QStringLiteral(
            "Array.from(document.querySelectorAll('div')).filter(d => d.style.outline.includes('224, 138, 0')).length")).toInt(), 2, 10000);
        QCOMPARE(main->menuItem("mnuInspect")->text(), QStringLiteral("&Inspect Output"));
        QCOMPARE(main->menuItem("mnuShowOutput")->text(), QStringLiteral("Show O&utput"));
        QCOMPARE(main->menuItem("mnuTrace")->text(), QStringLiteral("&Trace"));
        QCOMPARE(main->menuItem("mnuProfile")->text(), QStringLiteral("Pro&file"));

        // The trace and the profile come with the next run.
        main->menuItem("mnuTrace")->trigger();
        main->menuItem("mnuProfile")->trigger();
        RunReportPane *trace = doc->tracePane();
        RunReportPane *profile = doc->profilePane();
        QTRY_COMPARE_WITH_TIMEOUT(trace->title(), QStringLiteral("Templates fired: 8"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(profile->title().startsWith(QStringLiteral("Run time: ")), true, 20000);
        QTreeWidgetItem *root = trace->list()->topLevelItem(0);
        QCOMPARE(root->text(0), QStringLiteral("/"));
        QCOMPARE(root->text(1), QStringLiteral("stylesheet.xsl:6"));
        QCOMPARE(root->child(0)->text(0), QStringLiteral("built-in rule"));
        QCOMPARE(root->child(0)->text(2), QStringLiteral("/book (line 1)"));
        QCOMPARE(root->child(0)->child(0)->text(0), QStringLiteral("chapter"));
        QStringList headers;
        for (int c = 0; c < profile->list()->columnCount(); ++c)
            headers << profile->list()->headerItem()->text(c);
        QCOMPARE(headers, QStringList({"Template", "Calls", "Total ms", "Own ms", "Share"}));
        QStringList calls;
        profile->list()->sortByColumn(0, Qt::AscendingOrder);
        for (int i = 0; i < profile->list()->topLevelItemCount(); ++i)
            calls << profile->list()->topLevelItem(i)->text(0) + '=' + profile->list()->topLevelItem(i)->text(1);
        QCOMPARE(calls, QStringList({"/=1", "built-in rule=3", "chapter=2", "footer=1", "note=1", "title=1"}));
        // Enter on a row goes to the template.
        profile->list()->setCurrentItem(profile->list()->topLevelItem(2));
        QTest::keyClick(profile->list(), Qt::Key_Return);
        QCOMPARE(stylesheetPane(doc)->selectedText(), QStringLiteral("<xsl:template match=\"chapter\">"));
        // A double-click on a trace row's source node goes to the source node.
        QTreeWidgetItem *chapter = root->child(0)->child(0);
        emit trace->list()->itemActivated(chapter, 2);
        QCOMPARE(sourcePane(doc)->selectedText(), QStringLiteral("<chapter>"));
        main->menuItem("mnuTrace")->trigger();
        QVERIFY(trace->isHidden());
    }

    // What the inspecting commands say where they cannot answer, and the note over a map cut
    // short.
    void inspect_saysWhatItCannotDo()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        if (main->menuItem("mnuLivePreview")->isChecked())
            main->menuItem("mnuLivePreview")->trigger();
        QVERIFY(!doc->livePreview());
        main->menuItem("mnuInspect")->trigger();
        QCOMPARE(windowStatus(doc)->currentMessage(), QStringLiteral("Inspect works in the live preview: turn it on with View > Live Preview."));
        main->menuItem("mnuShowOutput")->trigger();
        QCOMPARE(windowStatus(doc)->currentMessage(), QStringLiteral("Show Output works in the live preview: turn it on with View > Live Preview."));
        main->menuItem("mnuTrace")->trigger();
        QCOMPARE(doc->tracePane()->title(), QStringLiteral("The trace shows the templates of the next live preview."));
        main->menuItem("mnuProfile")->trigger();
        QCOMPARE(doc->profilePane()->title(), QStringLiteral("The profile shows the templates of the next live preview."));
        main->menuItem("mnuTrace")->trigger();
        main->menuItem("mnuProfile")->trigger();

        // 40,000 source nodes make 120,001 result nodes: the map keeps the first 100,000.
        QString many;
        for (int i = 0; i < 40000; ++i)
            many += QStringLiteral("<n/>");
        stylesheetPane(doc)->setText(stylesheet(QStringLiteral("<xsl:output method=\"html\"/>"),
                                                QStringLiteral("<div><xsl:for-each select=\"//n\"><a/><b>x</b></xsl:for-each></div>")));
        sourcePane(doc)->setText(QStringLiteral("<d>") + many + QStringLiteral("</d>"));
        main->menuItem("mnuLivePreview")->trigger();
        LivePreviewPane *pane = doc->livePane();
        pane->setInspecting(true);
        QTRY_VERIFY_WITH_TIMEOUT(pane->map(), 60000);
        QCOMPARE(pane->noteText(), QStringLiteral("Only the first %1 nodes of the result are mapped; %2 more are not.")
                                       .arg(QLocale().toString(100000), QLocale().toString(20001)));
        // The caret in no element of the stylesheet: nothing to show.
        stylesheetPane(doc)->SendScintilla(QsciScintillaBase::SCI_GOTOPOS, 0UL);
        main->menuItem("mnuShowOutput")->trigger();
        QCOMPARE(pane->noteText(), QStringLiteral("Put the caret in a template or an instruction to see its output."));
    }

    void brokenEdit_keepsTheLastGoodRender()
    {
        DocumentWindow *doc = liveWindow(stylesheet(QString(), QStringLiteral("<p>good <xsl:value-of select=\"count(//item)\"/></p>")), kSource);
        QTRY_COMPARE_WITH_TIMEOUT(doc->livePane()->renders(), 1, 10000);
        QTRY_VERIFY(fixture::pageText(doc->livePane()->view()).contains(QLatin1String("good 2")));
        const QString good = doc->livePane()->resultSource();
        // Not well-formed, then an XPath error: each shows in the strip, the render stays.
        stylesheetPane(doc)->setSelectionStart(0);
        stylesheetPane(doc)->replaceSelection(QStringLiteral("<"));
        QTRY_VERIFY_WITH_TIMEOUT(!doc->livePane()->errorText().isEmpty(), 10000);
        QVERIFY2(doc->livePane()->errorText().startsWith(QLatin1String("Error Parsing XSLT Document: ")),
                 qPrintable(doc->livePane()->errorText()));
        stylesheetPane(doc)->setText(stylesheet(QString(), QStringLiteral("<p><xsl:value-of select=\"count(//item\"/></p>")));
        QTRY_VERIFY_WITH_TIMEOUT(doc->livePane()->errorText().contains(QLatin1String("count(//item")), 10000);
        QCOMPARE(doc->livePane()->renders(), 1);
        QCOMPARE(doc->livePane()->resultSource(), good);
        QVERIFY(fixture::pageText(doc->livePane()->view()).contains(QLatin1String("good 2")));
        // No box while typing.
        QVERIFY(fake->messages().isEmpty());
        // Mended, it renders again and the strip goes.
        stylesheetPane(doc)->setText(stylesheet(QString(), QStringLiteral("<p>mended</p>")));
        QTRY_COMPARE_WITH_TIMEOUT(doc->livePane()->renders(), 2, 10000);
        QVERIFY(doc->livePane()->errorText().isEmpty());
    }

    void typingBurst_showsOnlyTheNewestText()
    {
        DocumentWindow *doc = liveWindow(stylesheet(QString(), QStringLiteral("<p>v0</p>")), kSource);
        QTRY_COMPARE_WITH_TIMEOUT(doc->livePane()->renders(), 1, 10000);
        for (int i = 1; i <= 5; ++i)
            stylesheetPane(doc)->setText(stylesheet(QString(), QStringLiteral("<p>v%1</p>").arg(i)));
        QTRY_VERIFY_WITH_TIMEOUT(doc->livePane()->resultSource().contains(QLatin1String("<p>v5</p>")), 10000);
        QTest::qWait(DocumentWindow::kLivePauseMs * 2);
        QCOMPARE(doc->livePane()->renders(), 2);
    }

    void stop_endsARunawayStylesheet()
    {
        DocumentWindow *doc = liveWindow(kEndless, QStringLiteral("<r>") + QStringLiteral("<a><b/></a>").repeated(300) + QStringLiteral("</r>"));
        BusyStrip *strip = doc->livePane()->busyStrip();
        QTRY_VERIFY_WITH_TIMEOUT(strip->isVisible(), 10000);
        QVERIFY(strip->text().startsWith(QStringLiteral("Transforming\u2026 ")));
        // Esc in the pane stops it.
        main->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main));
        doc->livePane()->view()->setFocus();
        QTest::keyClick(doc->livePane()->view()->focusProxy() ? doc->livePane()->view()->focusProxy() : doc->livePane()->view(),
                        Qt::Key_Escape);
        QCOMPARE(doc->livePane()->errorText(), QStringLiteral("Transformation stopped"));
        QVERIFY(!strip->isVisible());
        // The live render is over; the compile check of the stylesheet, should it have been
        // waiting behind it, is the window's own and runs on.
        QVERIFY(!EngineClient::shared().isBusy(doc->windowId(), engine::Channel::Live));

        // The Preview tab waits with its own strip; Stop brings the editor back.
        doc->setLivePreview(false);
        bool stopped = false;
        QTimer::singleShot(0, this, [&] {
            stopped = QTest::qWaitFor([&] { return doc->busyStrip()->isVisible(); }, 10000);
            QTest::mouseClick(doc->busyStrip()->findChild<QPushButton *>(QStringLiteral("cmdStop")), Qt::LeftButton);
            doc->stopTransformation(); // never leave the wait hanging, whatever happened above
        });
        pageTabs(doc)->setCurrentIndex(2);
        QVERIFY(stopped);
        QCOMPARE(pageTabs(doc)->currentIndex(), 0);
        QVERIFY2(fake->messages().isEmpty(), qPrintable(fake->lastMessage().title + ": " + fake->lastMessage().text));
        QCOMPARE(windowStatus(doc)->currentMessage(), QStringLiteral("Transformation stopped"));
    }

    // The editors take Esc for themselves; while a transformation runs, Esc there stops it,
    // unless the tag list is open: then Esc closes the list first.
    void escapeInTheEditor_stopsTheTransformation()
    {
        DocumentWindow *doc = liveWindow(kEndless, QStringLiteral("<r>") + QStringLiteral("<a><b/></a>").repeated(300) + QStringLiteral("</r>"));
        QTRY_VERIFY_WITH_TIMEOUT(doc->livePane()->busyStrip()->isVisible(), 10000);
        main->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(main));
        stylesheetPane(doc)->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), stylesheetPane(doc));
        stylesheetPane(doc)->setSelectionStart(int(stylesheetPane(doc)->text().size()));
        QTest::keyClick(stylesheetPane(doc), Qt::Key_Less);
        QTRY_VERIFY(completionList(doc)->isVisible());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!completionList(doc)->isVisible());
        QVERIFY(EngineClient::shared().isBusy(doc->windowId(), engine::Channel::Live));

        QTRY_COMPARE(QApplication::focusWidget(), stylesheetPane(doc));
        QTest::keyClick(stylesheetPane(doc), Qt::Key_Escape);
        QCOMPARE(doc->livePane()->errorText(), QStringLiteral("Transformation stopped"));
        QVERIFY(!EngineClient::shared().isBusy(doc->windowId(), engine::Channel::Live));
        QVERIFY(stylesheetPane(doc)->text().endsWith(QLatin1Char('<')));
    }

    void closingWindow_endsItsWork()
    {
        DocumentWindow *doc = liveWindow(kEndless, QStringLiteral("<r>") + QStringLiteral("<a><b/></a>").repeated(300) + QStringLiteral("</r>"));
        const qint64 id = doc->windowId();
        QTRY_VERIFY_WITH_TIMEOUT(EngineClient::shared().isBusy(id), 10000);
        doc->setCloseApproved(true);
        QVERIFY(doc->parentWidget()->close());
        QVERIFY(!EngineClient::shared().isBusy(id));
        // The engine serves the next window at once.
        DocumentWindow *next = liveWindow(stylesheet(QString(), QStringLiteral("<p>next</p>")), kSource);
        QTRY_COMPARE_WITH_TIMEOUT(next->livePane()->renders(), 1, 10000);
    }

    // A large stylesheet is parsed beside the window: the panel says so, then gives the verdict
    // on the latest text only; a click meanwhile gets its report when the verdict is in.
    void largeText_parsedBesideTheWindow()
    {
        DocumentWindow *doc = fixture::newDocument(main);
        const QString body = QStringLiteral("<!-- %1 -->").arg(QString(200 * 1024, QLatin1Char('x')));
        stylesheetPane(doc)->setText(stylesheet(QString(), body + QStringLiteral("<p/>")));
        QCOMPARE(doc->panelText(1), QStringLiteral("Checking\u2026"));
        QTRY_VERIFY_WITH_TIMEOUT(!doc->parsePending(), 10000);
        QCOMPARE(doc->panelText(1), QString());
        // Broken, then broken elsewhere before the first verdict can count.
        stylesheetPane(doc)->setSelectionStart(0);
        stylesheetPane(doc)->replaceSelection(QStringLiteral("<a>"));
        stylesheetPane(doc)->setSelectionStart(0);
        stylesheetPane(doc)->replaceSelection(QStringLiteral("<b>"));
        QVERIFY(doc->parsePending());
        QTest::mouseClick(windowStatus(doc), Qt::LeftButton);
        QVERIFY(fake->messages().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!doc->parsePending(), 10000);
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Extended Parse Info"));
        QVERIFY2(fake->lastMessage().text.contains(QLatin1String("Source: <b><a>")), qPrintable(fake->lastMessage().text.left(200)));
        QVERIFY(doc->panelHasIcon());
        QVERIFY(doc->caption().endsWith(QLatin1Char('*')));
    }
};

ZENDRIK_TEST_MAIN(TstLivePreview)
#include "tst_livepreview.moc"
