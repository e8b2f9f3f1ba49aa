#include "app/frmmdimain.h"
#include "document/frmeditor.h"
#include "engine/xmldocument.h"
#include "support/appfixture.h"
#include "support/testmain.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMdiSubWindow>
#include <QStatusBar>
#include <QSplitter>
#include <QTabWidget>
#include <QWebEngineView>
#include <QTemporaryDir>
#include <QTest>

using fixture::documentWindows;

class TstDocument : public QObject, public fixture::Session
{
    Q_OBJECT

    frmEditor *open() { return fixture::newDocument(main); }
    static void clickStatusBar(frmEditor *doc)
    {
        QTest::mouseClick(doc->StatusBar->findChild<QWidget *>("panel1"), Qt::LeftButton);
    }
    static bool closeWindow(frmEditor *doc) { return doc->parentWidget()->close(); }

private slots:
    void init()
    {
        QVERIFY(start());
    }
    void cleanup()
    {
        stop();
    }

    void newWindow_designTimeState()
    {
        frmEditor *doc = open();
        QCOMPARE(doc->SSTab->count(), 3);
        QCOMPARE(doc->SSTab->tabText(0), QStringLiteral("XSLT"));
        QCOMPARE(doc->SSTab->tabText(1), QStringLiteral("XML"));
        QCOMPARE(doc->SSTab->tabText(2), QStringLiteral("Preview"));
        QCOMPARE(doc->SSTab->currentIndex(), 0);
        for (const char *name : {"txtXSLT", "txtXML", "SSTab", "SSSplitter1", "WebBrowser", "StatusBar", "ucVBIntelli"})
            QVERIFY2(doc->findChild<QObject *>(name), name);
        QCOMPARE(doc->txtXSLT->Text(),
                 QStringLiteral("<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\">"
                                "</xsl:stylesheet>"));
        QCOMPARE(doc->txtXML->Text(), QString());
        // The template is a well-formed, empty stylesheet.
        XmlDocument parsed;
        QVERIFY(parsed.loadXML(doc->txtXSLT->Text()));
        QVERIFY(!doc->txtXSLT->CanUndo());
        QVERIFY(doc->blnAutoParse);
        QVERIFY(doc->hasParseDocument());
        QVERIFY(!doc->blnChanged() && !doc->blnIsURL && doc->strFileName().isEmpty());
        // Nothing is parsed until the first edit.
        QCOMPARE(doc->panelText(1), QString());
        QVERIFY(!doc->panelHasIcon());
        QCOMPARE(doc->panelText(2), QStringLiteral("Line: 1, Col: %1").arg(doc->txtXSLT->CurrentColumn()));
        QVERIFY(doc->txtXSLT->propnamebold() && !doc->txtXSLT->commentitalic());
        QVERIFY(doc->txtXML->propnamebold());
        QVERIFY(!doc->ucVBIntelliCtl->definitions().isEmpty());
    }

    void options_storedFontAndParseOnEditAreApplied()
    {
        fixture::writeSettings("Options", {{"FontName", "DejaVu Sans Mono"}, {"FontSize", "12"}, {"AutoParse", "0"}});
        frmEditor *doc = open();
        for (SyntaxBox *box : {doc->txtXSLT, doc->txtXML}) {
            QCOMPARE(box->fontName(), QStringLiteral("DejaVu Sans Mono"));
            QCOMPARE(box->fontPointSize(), 12.0);
        }
        QVERIFY(!doc->blnAutoParse);
        QVERIFY(!doc->hasParseDocument());
        QVERIFY(fake->calls.isEmpty());
    }

    void options_badValueIsReportedAndTheWindowStillOpens()
    {
        fixture::writeSettings("Options", {{"FontSize", "huge"}, {"AutoParse", "0"}});
        frmEditor *doc = open();
        QVERIFY(doc);
        QCOMPARE(fake->messages().size(), 1);
        const FakeDialogs::Call err = fake->lastMessage();
        QCOMPARE(err.title, QStringLiteral("Error Loading Options"));
        QCOMPARE(err.style, 16);
        QVERIFY2(err.text.contains("huge"), qPrintable(err.text));
        // The steps after the failing one are skipped.
        QVERIFY(!doc->blnAutoParse);

        fake->calls.clear();
        fixture::writeSettings("Options", {{"FontSize", "10"}, {"AutoParse", "maybe"}});
        frmEditor *second = open();
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Loading Options"));
        QCOMPARE(second->txtXSLT->fontPointSize(), 10.0);
    }

    void parseOnEdit_errorShownAndReported()
    {
        frmEditor *doc = open();
        doc->txtXSLT->setSelStart(0);
        QTest::keyClicks(doc->txtXSLT, "<");
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File*"));
        QVERIFY(doc->panelHasIcon());
        const QString first = doc->panelText(1);
        QVERIFY(!first.isEmpty());
        QVERIFY(!first.contains('\n'));

        clickStatusBar(doc);
        QCOMPARE(fake->messages().size(), 1);
        const FakeDialogs::Call info = fake->lastMessage();
        QCOMPARE(info.title, QStringLiteral("Extended Parse Info"));
        QCOMPARE(info.style, 64);
        QVERIFY2(info.text.startsWith("Parse Error in Document\nError: " + first), qPrintable(info.text));
        const QStringList lines = info.text.split('\n');
        QVERIFY(lines.filter(QRegularExpression("^Line: \\d+$")).size() == 1);
        QVERIFY(lines.filter(QRegularExpression("^Position: \\d+$")).size() == 1);
        QVERIFY(lines.last().startsWith("Source: <"));

        // Putting it right clears the panel, and a click then says nothing.
        QTest::keyClick(doc->txtXSLT, Qt::Key_Backspace);
        QCOMPARE(doc->panelText(1), QString());
        QVERIFY(!doc->panelHasIcon());
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File*"));
        fake->calls.clear();
        clickStatusBar(doc);
        QVERIFY(fake->calls.isEmpty());
    }

    void parseOnEditOff_editsStillMarkTheDocument()
    {
        fixture::writeSettings("Options", {{"AutoParse", "0"}});
        frmEditor *doc = open();
        QTest::keyClicks(doc->txtXSLT, "<<");
        QCOMPARE(doc->panelText(1), QString());
        QVERIFY(!doc->hasParseDocument());
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File*"));
        clickStatusBar(doc);
        QVERIFY(fake->calls.isEmpty());
        fake->answers << msg::Cancel;
        QVERIFY(!closeWindow(doc));
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Save Changes?"));
    }

    void editingTheXmlPane_neverMarksTheDocument()
    {
        frmEditor *doc = open();
        doc->SSTab->setCurrentIndex(1);
        QTest::keyClicks(doc->txtXML, "<a>text</a>");
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<a>text</a>"));
        QVERIFY(!doc->blnChanged());
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File"));
        QVERIFY(closeWindow(doc));
        QVERIFY(fake->calls.isEmpty());
    }

    void closeQuery_unchangedClosesWithoutPrompt()
    {
        frmEditor *doc = open();
        QVERIFY(closeWindow(doc));
        QVERIFY(fake->calls.isEmpty());
        QVERIFY(main->documents().isEmpty());
    }

    void closeQuery_cancelKeepsWindowTextAndMark()
    {
        frmEditor *doc = open();
        QTest::keyClicks(doc->txtXSLT, "x");
        const QString text = doc->txtXSLT->Text();
        fake->answers << msg::Cancel;
        QVERIFY(!closeWindow(doc));
        const FakeDialogs::Call q = fake->lastMessage();
        QCOMPARE(q.text, QStringLiteral("Would you like to save your changes New XSLT File?"));
        QCOMPARE(q.title, QStringLiteral("Save Changes?"));
        QCOMPARE(q.style, 35);
        QCOMPARE(documentWindows(main).size(), 1);
        QCOMPARE(doc->txtXSLT->Text(), text);
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File*"));
        QVERIFY(doc->blnChanged());
        fake->answers << msg::No;
        QVERIFY(closeWindow(doc));
        QVERIFY(documentWindows(main).isEmpty());
    }

    void closeQuery_yesSavesThenCloses()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("café→.xsl");
        frmEditor *doc = open();
        doc->txtXSLT->setSelStart(doc->txtXSLT->Text().indexOf("</xsl:stylesheet>"));
        QTest::keyClicks(doc->txtXSLT, "<!-- ");
        doc->txtXSLT->setSelText(QStringLiteral("é→漢"));
        QTest::keyClicks(doc->txtXSLT, " -->");
        fake->answers << msg::Yes;
        fake->fileNames << path;
        QVERIFY(closeWindow(doc));
        QCOMPARE(fake->calls.size(), 2);
        QCOMPARE(fake->calls[1].kind, QStringLiteral("save"));
        QCOMPARE(fake->calls[1].text, QStringLiteral("Save XSLT..."));
        QCOMPARE(fake->calls[1].title, QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt"));
        XmlDocument saved;
        QVERIFY2(saved.load(path), qPrintable(saved.parseError().reason));
        QVERIFY(saved.xml().contains("<!-- é→漢 -->"));
        QVERIFY(documentWindows(main).isEmpty());
    }

    void closeQuery_yesButSaveFailsKeepsTheWindow_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("badFolder");
        QTest::addColumn<QString>("errorTitle");
        QTest::addRow("not well-formed") << "<" << false << "Error Parsing XSLT Document";
        QTest::addRow("folder missing") << " " << true << "Error Saving XSLT Document";
    }
    void closeQuery_yesButSaveFailsKeepsTheWindow()
    {
        QFETCH(QString, typed);
        QFETCH(bool, badFolder);
        QFETCH(QString, errorTitle);
        QTemporaryDir dir;
        const QString path = badFolder ? dir.filePath("missing/folder/x.xsl") : dir.filePath("x.xsl");
        frmEditor *doc = open();
        doc->txtXSLT->setSelStart(0);
        QTest::keyClicks(doc->txtXSLT, typed);
        fake->calls.clear();
        fake->answers << msg::Yes;
        fake->fileNames << path;
        QVERIFY(!closeWindow(doc));
        QCOMPARE(fake->lastMessage().title, errorTitle);
        QCOMPARE(fake->lastMessage().style, 16);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(documentWindows(main).size(), 1);
        QCOMPARE(doc->Caption(), QStringLiteral("New XSLT File*"));
        QVERIFY(doc->strFileName().isEmpty());
    }

    void closeQuery_yesThenCancelledSaveDialogKeepsTheWindow()
    {
        frmEditor *doc = open();
        QTest::keyClicks(doc->txtXSLT, " ");
        fake->answers << msg::Yes; // no file name queued: the dialog is cancelled
        QVERIFY(!closeWindow(doc));
        QCOMPARE(documentWindows(main).size(), 1);
        QVERIFY(doc->blnChanged());
    }

    void save_afterSuccessCaptionIsThePathAndCloseDoesNotAsk()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("s.xsl");
        frmEditor *doc = open();
        QTest::keyClicks(doc->txtXSLT, " ");
        fake->fileNames << path;
        main->menuItem("mnuSave")->trigger();
        QCOMPARE(doc->Caption(), path);
        QVERIFY(!doc->blnChanged());
        QCOMPARE(doc->strFileName(), path);
        // A plain Save of a named document asks for nothing.
        QTest::keyClicks(doc->txtXSLT, " ");
        QCOMPARE(doc->Caption(), path + "*");
        fake->calls.clear();
        main->menuItem("mnuSave")->trigger();
        QVERIFY(fake->calls.isEmpty());
        QCOMPARE(doc->Caption(), path);
        QVERIFY(closeWindow(doc));
        QVERIFY(fake->calls.isEmpty());
    }

    void tagCompletion_insertsTheElementWithItsEndTag()
    {
        frmEditor *doc = open();
        const int at = int(doc->txtXSLT->Text().indexOf("</xsl:stylesheet>"));
        doc->txtXSLT->setSelStart(at);
        QTest::keyClicks(doc->txtXSLT, "<");
        QTRY_VERIFY(doc->ucVBIntelliCtl->isVisible());
        emit doc->ucVBIntelliCtl->ItemChosen("xsl:template");
        QVERIFY(doc->txtXSLT->Text().contains("<xsl:template></xsl:template></xsl:stylesheet>"));
        // A selection is replaced by the completion.
        doc->txtXSLT->setSelStart(at + 1);
        doc->txtXSLT->setSelLength(13); // "xsl:template>"
        emit doc->ucVBIntelliCtl->ItemChosen("xsl:param");
        QVERIFY2(doc->txtXSLT->Text().contains("<xsl:param></xsl:param></xsl:template>"), qPrintable(doc->txtXSLT->Text()));
        // The XML pane offers nothing.
        doc->ucVBIntelliCtl->hide();
        doc->SSTab->setCurrentIndex(1);
        QTest::keyClicks(doc->txtXML, "<");
        QVERIFY(!doc->ucVBIntelliCtl->isVisible());
        QCOMPARE(doc->txtXML->Text(), QStringLiteral("<"));
    }

    void controlKey_heldInADocumentIsSeenByTheMainWindow()
    {
        frmEditor *doc = open();
        QTest::keyPress(doc->txtXSLT, Qt::Key_Control, Qt::ControlModifier);
        QVERIFY(main->blnControlKey);
        QTest::keyRelease(doc->txtXSLT, Qt::Key_Control);
        QVERIFY(!main->blnControlKey);
        QTest::keyPress(doc->txtXML, Qt::Key_Control, Qt::ControlModifier);
        QVERIFY(main->blnControlKey);
        // Released while another program had the focus.
        emit qApp->applicationStateChanged(Qt::ApplicationInactive);
        QVERIFY(!main->blnControlKey);
    }

    void layout_pagesFillTheTabsThroughResizeAndMinimise()
    {
        frmEditor *doc = open();
        auto *sub = qobject_cast<QMdiSubWindow *>(doc->parentWidget());
        auto fills = [doc](QWidget *page) {
            // A page control fills the tab control's page area but for a small margin.
            const QRect area = doc->SSTab->currentWidget()->rect();
            return page->width() >= area.width() - 8 && page->height() >= area.height() - 8
                && page->width() <= area.width() && page->height() <= area.height();
        };
        doc->txtXML->setText("  "); // no source: the preview shows the stylesheet itself
        doc->SSTab->setCurrentIndex(2);
        QCOMPARE(doc->SSTab->currentIndex(), 2);
        sub->resize(700, 520);
        QTRY_VERIFY(fills(doc->WebBrowser));
        sub->showMinimized();
        QTRY_VERIFY(sub->isMinimized());
        sub->showNormal();
        QTRY_VERIFY(fills(doc->WebBrowser));
        const QSize large = doc->WebBrowser->size();
        // Resized while the preview shows: the editors fit as soon as their tabs come up.
        sub->resize(500, 380);
        QTRY_VERIFY(doc->WebBrowser->width() < large.width() && fills(doc->WebBrowser));
        doc->SSTab->setCurrentIndex(1);
        QTRY_VERIFY(fills(doc->txtXML));
        doc->SSTab->setCurrentIndex(0);
        QTRY_VERIFY(fills(doc->txtXSLT));
        // The status bar runs along the bottom edge, below the tabs.
        QVERIFY(doc->StatusBar->geometry().top() > doc->SSSplitter1->geometry().bottom());
        QCOMPARE(doc->StatusBar->geometry().bottom(), doc->rect().bottom());
    }

    void tabs_selectionAndCaretPanel()
    {
        frmEditor *doc = open();
        doc->txtXSLT->setText("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                              "<xsl:template match=\"/\"><xsl:copy-of select=\".\"/></xsl:template></xsl:stylesheet>");
        doc->txtXSLT->setSelStart(1);
        doc->txtXSLT->setSelLength(3);
        doc->txtXML->setText("<a>\n  <b/>\n</a>");
        doc->txtXML->setSelStart(6);
        doc->txtXML->setSelLength(4);
        doc->SSTab->setCurrentIndex(1);
        QCOMPARE(doc->txtXML->SelLength(), 4);
        QCOMPARE(doc->panelText(2), QStringLiteral("Line: 2, Col: %1").arg(doc->txtXML->CurrentColumn()));
        doc->SSTab->setCurrentIndex(2);
        QCOMPARE(doc->panelText(2), QString());
        for (const char *name : {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuRedo", "mnuFind", "mnuReplace", "mnuSelectAll"})
            QVERIFY2(!main->menuItem(name)->isEnabled(), name);
        for (const char *key : {"Cut", "Copy", "Paste", "Find", "Undo", "Redo"})
            QVERIFY2(!main->toolbarButton(key)->isEnabled(), key);
        doc->SSTab->setCurrentIndex(0);
        QCOMPARE(doc->txtXSLT->SelLength(), 0);
        QCOMPARE(doc->txtXSLT->SelStart(), 1);
        QCOMPARE(doc->panelText(2), QStringLiteral("Line: 1, Col: %1").arg(doc->txtXSLT->CurrentColumn()));
        QVERIFY(main->menuItem("mnuFind")->isEnabled());
        doc->SSTab->setCurrentIndex(1);
        QCOMPARE(doc->txtXML->SelLength(), 4);
    }
};

ZENDRIK_TEST_MAIN(TstDocument)
#include "tst_document.moc"
