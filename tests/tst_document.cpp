// The document window: its pages, parse-on-edit, the tag list, the close query, loading and
// saving its stylesheet and source from files and addresses, and its previews.
#include "support/windowparts.h"
#include "app/mainwindow.h"
#include "components/editorassist.h"
#include "components/tagcompletionlist.h"
#include "document/documentwindow.h"
#include "engine/urlfetch.h"
#include "engine/xmldocument.h"
#include "support/appfixture.h"
#include "support/httpserver.h"
#include "support/testmain.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWebEngineCore>
#include <QtWebEngineWidgets>
#include <QtWidgets>
#include <algorithm>
#include <functional>
#include <memory>

using fixture::documentWindows;
using testenv::readFile;
using testenv::writeFile;

namespace {
const QByteArray kStylesheet = "<?xml version=\"1.0\"?>\n<!-- kept -->\n<xsl:stylesheet version=\"1.0\"\n"
                               "    xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                               "  <xsl:template match=\"/\"><out/></xsl:template>\n</xsl:stylesheet>\n";
const QString kBusy = QStringLiteral("This window is still loading or previewing a document; try again when it has finished.");
const QString kBusyClosing = QStringLiteral("This window is still loading or previewing a document; try again when it has "
                                            "finished, or stop waiting and close it now.");

// Messages printed while a check runs.
QStringList g_messages;
void collectMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_messages << text;
}

// The load progress window as the user sees it, if one is on the screen.
QProgressDialog *progressWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("dlgFetchProgress") && w->isVisible())
            return qobject_cast<QProgressDialog *>(w);
    return nullptr;
}

// Stored options a new window reads, the font size and parse-on-edit it then has, and the
// error it reports (empty for none).
struct OptionsCase {
    QList<std::pair<QString, QString>> stored;
    double size;
    bool autoParse;
    QString error;
};
// Typed into the stylesheet, the answer to the save question and the file name then chosen
// ("-" for none; "missing/" for a folder that does not exist); whether the window closed, and
// the last message's title.
struct CloseCase {
    QString typed;
    int answer;
    QString fileName;
    bool closed;
    QString error;
};
// A load from a URL through the File menu, and what the user tries while it waits.
struct LoadCase {
    const char *command; // mnuOpenXSLTURL (a new window) or mnuOpenXMLURL (into the open one)
    QString attempt;     // "close window", "close main", "open xml again", "type"
};
const QString kXhtml = QStringLiteral(
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xmlns=\"http://www.w3.org/1999/xhtml\">"
    "<xsl:template match=\"/\"><html><body><h1>Items: <xsl:value-of select=\"count(//item)\"/></h1>"
    "<xsl:for-each select=\"//item\"><p><xsl:value-of select=\".\"/></p></xsl:for-each></body></html></xsl:template>"
    "</xsl:stylesheet>");
const QString kSource = QStringLiteral("<list><item>alpha</item><item>beta</item></list>");
const QString kDocbook = QStringLiteral("/usr/share/xml/docbook/stylesheet/docbook-xsl");
const QByteArray kArticle = "<?xml version=\"1.0\"?>\n<article><title>Zendrik Preview Check</title>"
                            "<section><title>First section</title><para>A paragraph about transforms.</para></section>"
                            "</article>\n";

// Runs script in a world of its own beside the page's: it sees the page's document even while
// the page's own scripts are off.
QVariant inspect(QWebEngineView *view, const QString &script)
{
    QVariant result;
    bool done = false;
    view->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant &v) {
        result = v;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        qWarning("the script's result did not arrive");
    return result;
}
QString plainText(QWebEngineView *view)
{
    return inspect(view, QStringLiteral("document.body.innerText")).toString();
}

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

constexpr QFileDevice::Permissions kOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
    | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

// browser: the preview in the browser, otherwise the Preview tab; textPart: in the message.
struct FailureCase {
    bool browser;
    QString xslt, xml;
    bool browserFails;
    QString title, textPart;
};
struct ScriptCase {
    QString stored; // RunPreviewScripts in the settings store; empty for none
    bool run;
};
} // namespace
Q_DECLARE_METATYPE(OptionsCase)
Q_DECLARE_METATYPE(CloseCase)
Q_DECLARE_METATYPE(LoadCase)
Q_DECLARE_METATYPE(ScriptCase)
Q_DECLARE_METATYPE(FailureCase)

// How the address is given: "file" (the file dialog's answer, with "{dir}" for the test's
// folder) or "url" (the input box's answer, with "{server}" for the test's server).
struct OpenFailureCase {
    QString how, answer;
    QByteArray content; // written to the file unless null
    QString title, reason;
};
Q_DECLARE_METATYPE(OpenFailureCase)

struct DefinitionsCase {
    QByteArray content;
    QStringList names;
    int count;
};
Q_DECLARE_METATYPE(DefinitionsCase)

struct TagListCase {
    QString typed;
    QStringList shown;
    QList<int> keys;
    QString chosen, inserted;
};
Q_DECLARE_METATYPE(TagListCase)

class TstDocument : public QObject, public fixture::Session
{
    Q_OBJECT
    QTemporaryDir *dir = nullptr;

    QList<QUrl> m_handedOver; // addresses the desktop was asked to open

public slots:
    void handOver(const QUrl &url) { m_handedOver << url; }

private:
    DocumentWindow *open() { return fixture::newDocument(main); }
    DocumentWindow *openWith(const QString &xslt, const QString &xml)
    {
        DocumentWindow *doc = open();
        stylesheetPane(doc)->setText(xslt);
        sourcePane(doc)->setText(xml);
        return doc;
    }
    // A new window in the active main window, where the keyboard focus can go.
    DocumentWindow *activeDocument()
    {
        main->activateWindow();
        return QTest::qWaitForWindowActive(main) ? open() : nullptr;
    }
    QString path(const QString &name) const { return dir->filePath(name); }
    QStringList messageTitles() const
    {
        QStringList titles;
        for (const FakeDialogs::Call &m : fake->messages())
            titles << m.title;
        return titles;
    }
    static void clickStatusBar(DocumentWindow *doc) { QTest::mouseClick(windowStatus(doc)->findChild<QWidget *>("panel1"), Qt::LeftButton); }
    static bool closeWindow(DocumentWindow *doc) { return doc->parentWidget()->close(); }
    // A load blocks the test until it ends; what the user does meanwhile runs from this timer,
    // once, as soon as ready() holds.
    std::unique_ptr<QTimer> m_during;
    bool m_duringRan = false;
    void during(const std::function<bool()> &ready, const std::function<void()> &script)
    {
        m_duringRan = false;
        m_during = std::make_unique<QTimer>();
        connect(m_during.get(), &QTimer::timeout, this, [this, ready, script] {
            if (!ready())
                return;
            m_during->stop();
            m_duringRan = true;
            script();
        });
        m_during->start(10);
    }

private slots:
    void init()
    {
        QVERIFY(start());
        dir = new QTemporaryDir;
        setUrlFetchTimeoutMs(600);
    }
    void cleanup()
    {
        m_during.reset();
        stop();
        delete dir;
        setUrlFetchTimeoutMs(0);
        setUrlFetchTotalLimitMs(0);
        QVERIFY2(testenv::leftoverTempFiles().isEmpty(), qPrintable(testenv::leftoverTempFiles().join(", ")));
    }

    void newWindow_showsAnEmptyStylesheet()
    {
        DocumentWindow *doc = open(), *other = open();
        QCOMPARE(QStringList({pageTabs(doc)->tabText(0), pageTabs(doc)->tabText(1), pageTabs(doc)->tabText(2)}), QStringList({"XSLT", "XML", "Preview"}));
        QCOMPARE(pageTabs(doc)->currentIndex(), 0);
        QCOMPARE(stylesheetPane(doc)->text(), QStringLiteral("<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\"></xsl:stylesheet>"));
        XmlDocument parsed;
        QVERIFY(parsed.loadXML(stylesheetPane(doc)->text()));
        QVERIFY(sourcePane(doc)->text().isEmpty() && !stylesheetPane(doc)->canUndo());
        QVERIFY(!doc->isChanged() && !doc->fromUrl && doc->fileName().isEmpty());
        QCOMPARE(main->mdiArea()->subWindowList().first()->windowTitle(), QStringLiteral("New XSLT File"));
        QCOMPARE(main->activeDocument(), other);
        for (const char *name : {"mnuOpenXML", "mnuSave", "mnuSaveAs", "mnuPrint", "mnuPreview", "mnuFind", "mnuSelectAll"})
            QVERIFY2(main->menuItem(name)->isEnabled(), name);
        QVERIFY(!main->menuItem("mnuUndo")->isEnabled() && !main->menuItem("mnuCopy")->isEnabled());
        // Nothing is parsed until the first edit.
        QVERIFY(doc->panelText(1).isEmpty() && !doc->panelHasIcon());
        QCOMPARE(doc->panelText(2), QStringLiteral("Line: 1, Col: %1").arg(stylesheetPane(doc)->currentColumn()));
        QVERIFY(stylesheetPane(doc)->propnamebold() && !stylesheetPane(doc)->commentitalic() && sourcePane(doc)->propnamebold());
        // Each window has its own text.
        stylesheetPane(doc)->setSelectionStart(0);
        QTest::keyClicks(stylesheetPane(doc), "<!-- a -->");
        QCOMPARE(stylesheetPane(other)->text(), DocumentWindow::stylesheetTemplate());
        QCOMPARE(doc->caption(), QStringLiteral("New XSLT File*"));
        QCOMPARE(other->caption(), QStringLiteral("New XSLT File"));
    }

    void newWindow_readsStoredOptions_data()
    {
        QTest::addColumn<OptionsCase>("c");
        const double fixed = SyntaxBox::defaultFont().pointSizeF();
        QTest::addRow("none stored") << OptionsCase{{}, fixed, true, ""};
        QTest::addRow("font and parse-on-edit") << OptionsCase{{{"FontName", "DejaVu Sans Mono"}, {"FontSize", "12"}, {"AutoParse", "0"}}, 12, false, ""};
        // The steps after the failing one are skipped.
        QTest::addRow("bad size") << OptionsCase{{{"FontSize", "huge"}, {"AutoParse", "0"}}, fixed, false, "huge"};
        QTest::addRow("bad parse-on-edit") << OptionsCase{{{"FontSize", "10"}, {"AutoParse", "maybe"}}, 10, false, "maybe"};
    }
    void newWindow_readsStoredOptions()
    {
        QFETCH(OptionsCase, c);
        fixture::writeSettings("Options", c.stored);
        DocumentWindow *doc = open();
        QVERIFY(doc);
        for (SyntaxBox *box : {stylesheetPane(doc), sourcePane(doc)})
            QCOMPARE(box->fontPointSize(), c.size);
        if (c.size == 12)
            QCOMPARE(sourcePane(doc)->fontName(), QStringLiteral("DejaVu Sans Mono"));
        QCOMPARE(doc->autoParse(), c.autoParse);
        QTest::keyClicks(stylesheetPane(doc), "<<"); // parsed only when parse-on-edit is on
        QCOMPARE(doc->panelHasIcon(), c.autoParse);
        QCOMPARE(fake->messages().size(), c.error.isEmpty() ? 0 : 1);
        if (!c.error.isEmpty()) {
            QCOMPARE(fake->lastMessage().title + " " + FakeDialogs::iconName(fake->lastMessage().icon), QStringLiteral("Error Loading Options Critical"));
            QVERIFY2(fake->lastMessage().text.contains(c.error), qPrintable(fake->lastMessage().text));
        }
    }

    void parseOnEdit_errorShownAndReported()
    {
        DocumentWindow *doc = open();
        stylesheetPane(doc)->setSelectionStart(0);
        QTest::keyClicks(stylesheetPane(doc), "<");
        QCOMPARE(doc->caption(), QStringLiteral("New XSLT File*"));
        QVERIFY(doc->panelHasIcon());
        const QString first = doc->panelText(1);
        QVERIFY(!first.isEmpty() && !first.contains('\n'));
        clickStatusBar(doc);
        QCOMPARE(fake->messages().size(), 1);
        const FakeDialogs::Call info = fake->lastMessage();
        QCOMPARE(info.title + " " + FakeDialogs::iconName(info.icon), QStringLiteral("Extended Parse Info Information"));
        QCOMPARE(info.buttons, QMessageBox::Ok);
        QVERIFY2(info.text.startsWith("Parse Error in Document\nError: " + first), qPrintable(info.text));
        const QStringList lines = info.text.split('\n');
        QCOMPARE(lines.filter(QRegularExpression("^Line: \\d+$")).size(), 1);
        QCOMPARE(lines.filter(QRegularExpression("^Position: \\d+$")).size(), 1);
        QVERIFY(lines.last().startsWith("Source: <"));
        // Putting it right clears the panel, and a click then says nothing.
        QTest::keyClick(stylesheetPane(doc), Qt::Key_Backspace);
        QVERIFY(doc->panelText(1).isEmpty() && !doc->panelHasIcon());
        QCOMPARE(doc->caption(), QStringLiteral("New XSLT File*"));
        clickStatusBar(doc);
        QCOMPARE(fake->messages().size(), 1);
    }

    void closeQuery_data()
    {
        QTest::addColumn<CloseCase>("c");
        QTest::addRow("unchanged") << CloseCase{"", 0, "-", true, ""};
        QTest::addRow("cancel") << CloseCase{"x", QMessageBox::Cancel, "-", false, "Save Changes?"};
        QTest::addRow("no") << CloseCase{"x", QMessageBox::No, "-", true, "Save Changes?"};
        QTest::addRow("yes, saved") << CloseCase{"<!-- é→漢 -->", QMessageBox::Yes, "café→.xsl", true, "Save Changes?"};
        QTest::addRow("yes, save dialog cancelled") << CloseCase{"x", QMessageBox::Yes, "-", false, "Save Changes?"};
        // Asked whether to save it anyway; an unscripted answer is not Yes.
        QTest::addRow("yes, not well-formed") << CloseCase{"<", QMessageBox::Yes, "x.xsl", false, "Save XSLT Document"};
        QTest::addRow("yes, folder missing") << CloseCase{" ", QMessageBox::Yes, "missing/x.xsl", false, "Error Saving XSLT Document"};
    }
    void closeQuery()
    {
        QFETCH(CloseCase, c);
        DocumentWindow *doc = open();
        stylesheetPane(doc)->setSelectionStart(0);
        QTest::keyClicks(stylesheetPane(doc), c.typed.left(5));
        if (c.typed.size() > 5)
            stylesheetPane(doc)->replaceSelection(c.typed.mid(5)); // not ASCII: as an input method gives it
        const QString text = stylesheetPane(doc)->text();
        fake->answers << QMessageBox::StandardButton(c.answer);
        if (c.fileName != "-")
            fake->fileNames << path(c.fileName);
        QCOMPARE(closeWindow(doc), c.closed);
        QCOMPARE(fake->lastMessage().title, c.error);
        if (!c.typed.isEmpty()) {
            QCOMPARE(fake->messages().first().text, QStringLiteral("Would you like to save your changes New XSLT File?"));
            QCOMPARE(fake->messages().first().icon, QMessageBox::Question);
            QCOMPARE(fake->messages().first().buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        }
        QCOMPARE(documentWindows(main).size(), c.closed ? 0 : 1);
        if (c.closed) {
            QVERIFY(c.answer != QMessageBox::Yes || QString::fromUtf8(readFile(path(c.fileName))).contains(c.typed));
            return;
        }
        QVERIFY(!QFile::exists(path(c.fileName)));
        QCOMPARE(stylesheetPane(doc)->text(), text);
        QCOMPARE(doc->caption(), QStringLiteral("New XSLT File*"));
        QVERIFY(doc->isChanged() && doc->fileName().isEmpty());
    }

    void saveAs_namesTheDocumentAndLaterSavesAskNothing()
    {
        const QString file = path("s.xsl");
        DocumentWindow *doc = open();
        fake->fileNames << file;
        main->menuItem("mnuSaveAs")->trigger();
        QCOMPARE(doc->caption(), file);
        QCOMPARE(doc->fileName(), file);
        QVERIFY(readFile(file).contains("<xsl:stylesheet"));
        stylesheetPane(doc)->setSelectionStart(0);
        QTest::keyClicks(stylesheetPane(doc), "<!--2-->");
        QCOMPARE(doc->caption(), file + "*");
        fake->calls.clear();
        main->menuItem("mnuSave")->trigger();
        QCOMPARE(doc->caption(), file);
        QVERIFY(!doc->isChanged() && readFile(file).startsWith("<!--2-->"));
        QVERIFY(closeWindow(doc));
        QVERIFY(fake->calls.isEmpty());
    }

    // The "*" follows the text: undo back to what was loaded or saved takes it away, and the
    // window then closes without a question; redo brings it back.
    void undoToTheSavedText_isUnchanged()
    {
        const QString file = path("u.xsl");
        QVERIFY(writeFile(file, kStylesheet));
        DocumentWindow *doc = open();
        QVERIFY(doc->loadXSLTFile(file));
        stylesheetPane(doc)->setSelectionStart(stylesheetPane(doc)->text().length());
        QTest::keyClicks(stylesheetPane(doc), "<!---->");
        QCOMPARE(doc->caption(), file + "*");
        doc->undo();
        QCOMPARE(doc->caption(), file);
        QVERIFY(!doc->isChanged());
        doc->redo();
        QCOMPARE(doc->caption(), file + "*");
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(!cancel);
        QTest::keyClicks(stylesheetPane(doc), " ");
        doc->undo();
        QCOMPARE(doc->caption(), file);
        doc->undo(); // before the save: changed again
        QCOMPARE(doc->caption(), file + "*");
        doc->redo();
        QVERIFY(closeWindow(doc));
        QVERIFY(fake->calls.isEmpty());
    }

    // A stylesheet that is not well-formed: shown as written, it is saved if the user says so;
    // shown as the parser writes it, it is refused. A file not saved keeps its old text.
    void save_notWellFormed_data()
    {
        QTest::addColumn<QString>("keep");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("title");
        QTest::addRow("as written, no") << "1" << int(QMessageBox::No) << "Save XSLT Document";
        QTest::addRow("as written, yes") << "1" << int(QMessageBox::Yes) << "Save XSLT Document";
        QTest::addRow("parsed") << "0" << 0 << "Error Parsing XSLT Document";
    }
    void save_notWellFormed()
    {
        QFETCH(QString, keep);
        QFETCH(int, answer);
        QFETCH(QString, title);
        fixture::writeSettings("Options", {{"KeepFilesAsWritten", keep}});
        const QString file = path("keep.xsl");
        QVERIFY(writeFile(file, kStylesheet));
        fake->fileNames << file;
        main->menuItem("mnuOpenXSLTFile")->trigger();
        DocumentWindow *doc = main->activeDocument();
        stylesheetPane(doc)->setSelectionStart(stylesheetPane(doc)->text().length());
        QTest::keyClicks(stylesheetPane(doc), "<");
        fake->answers << QMessageBox::StandardButton(answer);
        main->menuItem("mnuSave")->trigger();
        QCOMPARE(fake->lastMessage().title, title);
        if (keep == "1") {
            QVERIFY2(fake->lastMessage().text.startsWith("The stylesheet is not well-formed: ") &&
                         fake->lastMessage().text.endsWith(". Save it anyway?") && !fake->lastMessage().text.contains('\n'),
                     qPrintable(fake->lastMessage().text));
            QCOMPARE(fake->lastMessage().icon, QMessageBox::Warning);
            QCOMPARE(fake->lastMessage().buttons, QMessageBox::Yes | QMessageBox::No);
        }
        const bool saved = answer == QMessageBox::Yes;
        QCOMPARE(doc->caption(), saved ? file : file + "*");
        QCOMPARE(doc->isChanged(), !saved);
        QCOMPARE(readFile(file), saved ? kStylesheet + "<" : kStylesheet);
        QVERIFY(doc->panelHasIcon()); // the error stays shown
    }

    // content: "shipped" for the file that comes with the program, empty for no file at all.
    // A file that cannot be read leaves the tag list empty, also of what an earlier load gave,
    // and "<" then opens nothing and goes into the text like any other character.
    void tagList_definitions_data()
    {
        QTest::addColumn<DefinitionsCase>("c");
        QTest::addRow("shipped file") << DefinitionsCase{"shipped", {"xsl:apply-imports", "xsl:apply-templates"}, 35};
        QTest::addRow("file order, not sorted") << DefinitionsCase{"<elements><element name=\"xsl:if\"/><element name=\"xsl:choose\"/></elements>", {"xsl:if", "xsl:choose"}, 2};
        QTest::addRow("missing file") << DefinitionsCase{"", {}, 0};
        QTest::addRow("not XML") << DefinitionsCase{"xsl:template\nxsl:value-of\n", {}, 0};
        QTest::addRow("other root") << DefinitionsCase{"<names><element name=\"xsl:if\"/></names>", {}, 0};
    }
    void tagList_definitions()
    {
        QFETCH(DefinitionsCase, c);
        auto [content, names, count] = c;
        QString file = path("W3C_XSLT_10.xml");
        if (content == "shipped")
            file = QCoreApplication::applicationDirPath() + "/W3C_XSLT_10.xml";
        else if (!content.isEmpty())
            QVERIFY(writeFile(file, content));
        DocumentWindow *doc = activeDocument();
        TagCompletionList *intelli = completionList(doc);
        QVERIFY(!intelli->definitions().isEmpty());
        g_messages.clear();
        QtMessageHandler previous = qInstallMessageHandler(collectMessage);
        const bool loaded = intelli->loadDefinitions(file);
        qInstallMessageHandler(previous);
        QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
        QCOMPARE(loaded, count > 0);
        QCOMPARE(intelli->definitions().size(), count);
        QCOMPARE(intelli->definitions().mid(0, names.size()), names);
        stylesheetPane(doc)->setSelectionStart(0);
        QTest::keyClicks(stylesheetPane(doc), "<");
        QTest::keyClicks(QApplication::focusWidget(), "x");
        QCOMPARE(intelli->isVisible(), count > 0);
        QCOMPARE(stylesheetPane(doc)->text().startsWith("<x"), count == 0);
        // The source page offers nothing.
        pageTabs(doc)->setCurrentIndex(1);
        QTest::keyClicks(sourcePane(doc), "<");
        QCOMPARE(sourcePane(doc)->text(), QStringLiteral("<"));
    }

    // The list offers the elements of the version the stylesheet declares: 2.0's grouping,
    // functions and sequences once it says version="2.0", 3.0's own elements and attributes
    // from version="3.0" on, 1.0's again when it goes back. `attribute` is one the element
    // offers, with "!" one it requires.
    void tagList_followsTheStylesheetVersion_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("offered");
        QTest::addColumn<QStringList>("absent");
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("attribute");
        const QStringList newIn30{"accept", "accumulator", "accumulator-rule", "assert", "break", "catch", "context-item",
                                  "evaluate", "expose", "fork", "global-context-item", "iterate", "map", "map-entry",
                                  "merge", "merge-action", "merge-key", "merge-source", "mode", "next-iteration",
                                  "on-completion", "on-empty", "on-non-empty", "override", "package", "source-document",
                                  "try", "use-package", "where-populated"};
        const auto xsl = [](QStringList names) { return names.replaceInStrings(QRegularExpression("^"), "xsl:"); };
        QTest::addRow("2.0") << "2.0" << 49 << xsl({"analyze-string", "for-each-group", "function", "sequence", "value-of"})
                             << xsl({"iterate", "try"}) << "xsl:for-each-group" << "select!";
        QTest::addRow("3.0") << "3.0" << 78 << xsl(newIn30 + QStringList{"for-each-group", "param", "value-of"})
                             << QStringList() << "xsl:template" << "visibility";
        QTest::addRow("3.0, a new element") << "3.0" << 78 << xsl({"iterate"}) << QStringList() << "xsl:iterate" << "select!";
        QTest::addRow("later than 3.0") << "4.0" << 78 << xsl({"iterate"}) << QStringList() << "xsl:stylesheet" << "expand-text";
    }
    void tagList_followsTheStylesheetVersion()
    {
        QFETCH(QString, version);
        QFETCH(int, count);
        QFETCH(QStringList, offered);
        QFETCH(QStringList, absent);
        QFETCH(QString, element);
        QFETCH(QString, attribute);
        DocumentWindow *doc = activeDocument();
        TagCompletionList *intelli = completionList(doc);
        QVERIFY(!intelli->definitions().contains("xsl:for-each-group"));
        stylesheetPane(doc)->setText("<?xml version=\"1.0\"?>\n<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\""
                                     + version + "\"/>");
        QCOMPARE(intelli->definitions().size(), count);
        for (const QString &name : offered)
            QVERIFY2(intelli->definitions().contains(name), qPrintable(name));
        for (const QString &name : absent)
            QVERIFY2(!intelli->definitions().contains(name), qPrintable(name));
        const QList<TagCompletionList::Attribute> attributes = intelli->attributesOf(element);
        const bool required = attribute.endsWith('!');
        attribute.remove('!');
        QVERIFY2(std::any_of(attributes.cbegin(), attributes.cend(), [&](const auto &a) { return a.name == attribute && a.required == required; }),
                 qPrintable(element + " " + attribute));
        stylesheetPane(doc)->setText(DocumentWindow::stylesheetTemplate());
        QCOMPARE(intelli->definitions().size(), 35);
    }

    // What is typed into the open list filters it and stays out of the text; keys then move,
    // choose or close (tests/data/tag-list.txt; in keys, 0 moves the focus elsewhere, -1
    // double-clicks the current item).
    void tagList_filterThenClose_data()
    {
        QTest::addColumn<TagListCase>("c");
        TagCompletionList all;
        all.loadDefinitions(QCoreApplication::applicationDirPath() + "/W3C_XSLT_10.xml");
        for (const QStringList &row : testenv::table(TEST_DATA_DIR "/tag-list.txt")) {
            QList<int> keys;
            for (const QString &key : row[3].split(", ")) {
                keys << (key == "double click" ? -1 : key == "focus elsewhere" ? 0 : QMetaEnum::fromType<Qt::Key>().keyToValue(qPrintable("Key_" + key)));
                QVERIFY2(keys.last() != -1 || key == "double click", qPrintable(key));
            }
            QTest::addRow("%s", qPrintable(row[0])) << TagListCase{row[1], row[2] == "all" ? all.definitions() : row[2].split(", ", Qt::SkipEmptyParts),
                                                                   keys, row[4], QString(row[5]).replace("\\n", "\n").replace("␣", " ")};
        }
    }
    void tagList_filterThenClose()
    {
        QFETCH(TagListCase, c);
        auto [typed, shown, keys, chosen, inserted] = c;
        DocumentWindow *doc = activeDocument();
        SyntaxBox *editor = stylesheetPane(doc);
        TagCompletionList *intelli = completionList(doc);
        auto *list = intelli->findChild<QListWidget *>();
        QLineEdit elsewhere(doc);
        elsewhere.show();
        QStringList log, shownItems;
        connect(intelli, &TagCompletionList::itemChosen, this, [&](const QString &name) { log << "itemChosen " + name; });
        connect(intelli, &TagCompletionList::listClosed, this, [&] { log << "listClosed"; });
        editor->setText(QStringLiteral("é→ !"));
        editor->setSelectionStart(3);
        QTest::keyClicks(editor, "<");
        QVERIFY(intelli->isVisible() && intelli->isAncestorOf(QApplication::focusWidget()));
        // One key at a time to whatever has the focus: the list closes by itself once nothing
        // matches, and the rest goes straight into the text.
        for (QChar ch : std::as_const(typed))
            QTest::keyClicks(QApplication::focusWidget(), QString(ch));
        if (shown.isEmpty()) {
            QVERIFY(!intelli->isVisible());
            QCOMPARE(editor->text(), QStringLiteral("é→ <") + typed + QStringLiteral("!"));
            QCOMPARE(log, QStringList{"listClosed"});
            log.clear();
        } else {
            for (int i = 0; i < list->count(); ++i)
                if (!list->item(i)->isHidden())
                    shownItems << list->item(i)->text();
            QCOMPARE(shownItems, shown);
            QCOMPARE(list->currentItem()->text(), shown.value(0));
            QCOMPARE(editor->text(), QStringLiteral("é→ <!"));
            QVERIFY(log.isEmpty());
        }
        for (int key : keys) {
            if (key == 0) {
                elsewhere.setFocus();
            } else if (key == -1) {
                const QPoint at = list->visualItemRect(list->currentItem()).center();
                // A real double click: the first click, then the second one that Qt reports as double.
                QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
                QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            } else {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
            }
        }
        if (!chosen.isEmpty())
            inserted = QStringLiteral("<%1></%1>").arg(chosen);
        QCOMPARE(log, (shown.isEmpty()      ? QStringList{}
                       : chosen.isEmpty() ? QStringList{"listClosed"}
                                          : QStringList{"itemChosen " + chosen, "listClosed"}));
        QCOMPARE(editor->text(), QStringLiteral("é→ ") + inserted + QStringLiteral("!"));
        QVERIFY(!intelli->isVisible());
        QCOMPARE(QApplication::focusWidget(), keys.contains(0) ? static_cast<QWidget *>(&elsewhere) : editor);
        if (!keys.contains(0))
            QCOMPARE(editor->selectionStart(), 3 + inserted.size());
    }

    // Attributes after an element's name and a space, the end tag after "</", literal result
    // elements typed straight through (tests/data/completion.txt).
    void completion_data()
    {
        QTest::addColumn<QStringList>("row");
        for (const QStringList &row : testenv::table(TEST_DATA_DIR "/completion.txt"))
            QTest::addRow("%s", qPrintable(row[0])) << row;
    }
    void completion()
    {
        QFETCH(QStringList, row);
        const QString caret = QStringLiteral("‸");
        DocumentWindow *doc = activeDocument();
        SyntaxBox *editor = stylesheetPane(doc);
        TagCompletionList *intelli = completionList(doc);
        auto *list = intelli->findChild<QListWidget *>();
        editor->setText(QString(row[1]).remove(caret));
        editor->setSelectionStart(int(row[1].indexOf(caret)));
        const QString typed = QString(row[2]).replace(QStringLiteral("␣"), QStringLiteral(" "));
        for (QChar ch : typed)
            QTest::keyClicks(QApplication::focusWidget(), QString(ch));
        QStringList shown;
        if (intelli->isVisible())
            for (int i = 0; i < list->count(); ++i)
                if (QListWidgetItem *item = list->item(i); !item->isHidden())
                    shown << (item->font().bold() ? "*" : "") + item->text();
        QCOMPARE(shown, row[3].split(", ", Qt::SkipEmptyParts));
        for (const QString &key : row[4].split(", ", Qt::SkipEmptyParts))
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(QMetaEnum::fromType<Qt::Key>().keyToValue(qPrintable("Key_" + key))));
        QVERIFY(!intelli->isVisible());
        QCOMPARE(QApplication::focusWidget(), editor);
        QCOMPARE(editor->text(), QString(row[5]).remove(caret));
        QCOMPARE(editor->selectionStart(), row[5].indexOf(caret));
    }

    // File > Open XSLT with an answer that gives nothing to open: the message says why, and no
    // window, recent file or command comes of it.
    void openXSLT_failuresChangeNothing_data()
    {
        QTest::addColumn<OpenFailureCase>("c");
        const QString parsing = QStringLiteral("Error Parsing XSLT Document");
        QTest::addRow("spaces only") << OpenFailureCase{"file", "   ", {}, "", ""};
        // "parsed": with files shown as the parser writes them, only a well-formed file opens.
        QTest::addRow("not well-formed") << OpenFailureCase{"parsed file", "{dir}/bad.xsl", "<xsl:stylesheet><x></xsl:stylesheet>", parsing, "mismatch"};
        QTest::addRow("missing") << OpenFailureCase{"file", "{dir}/gone.xsl", {}, parsing, "Cannot open file \"{dir}/gone.xsl\": No such file or directory\n"};
        QTest::addRow("folder") << OpenFailureCase{"file", "{dir}", {}, parsing, "Cannot open file \"{dir}\": Is a directory\n"};
        QTest::addRow("binary") << OpenFailureCase{"file", "{dir}/bin.xsl", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), parsing,
                                                   "\"{dir}/bin.xsl\" is not a text document: it holds bytes that no XML text may contain."};
        QTest::addRow("binary, parsed") << OpenFailureCase{"parsed file", "{dir}/bin.xsl", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), parsing, ""};
        QTest::addRow("empty") << OpenFailureCase{"parsed file", "{dir}/empty.xsl", "", parsing, "empty"};
        QTest::addRow("url cancelled") << OpenFailureCase{"url", "", {}, "", ""};
        QTest::addRow("url left at its default") << OpenFailureCase{"url", "http://", {}, parsing, ""};
        QTest::addRow("url not found") << OpenFailureCase{"url", "{server}/missing.xsl", {}, parsing, "404 Not Found"};
        QTest::addRow("url not xml") << OpenFailureCase{"parsed url", "{server}/page.html", {}, parsing, ""};
        QTest::addRow("url drip-fed past the total limit") << OpenFailureCase{"url", "{server}/drip.xsl", {}, parsing, "took longer than 1.5 seconds"};
    }
    void openXSLT_failuresChangeNothing()
    {
        QFETCH(OpenFailureCase, c);
        TestHttpServer server;
        server.serve("/page.html", "<html><body><p>hello<br></body></html>", 200, "text/html");
        server.drip("/drip.xsl", 100);
        setUrlFetchTotalLimitMs(1500);
        if (c.how.startsWith("parsed "))
            fixture::writeSettings("Options", {{"KeepFilesAsWritten", "0"}});
        c.how = c.how.section(' ', -1);
        const QString answer = QString(c.answer).replace("{dir}", dir->path()).replace("{server}", server.url(""));
        if (!c.content.isNull())
            QVERIFY(writeFile(answer, c.content));
        (c.how == "url" ? fake->inputs : fake->fileNames) << answer;
        main->menuItem(c.how == "url" ? "mnuOpenXSLTURL" : "mnuOpenXSLTFile")->trigger();
        QCOMPARE(fake->lastMessage().title, c.title);
        QCOMPARE(fake->messages().size(), c.title.isEmpty() ? 0 : 1);
        QVERIFY2(fake->lastMessage().text.contains(QString(c.reason).replace("{dir}", dir->path()), Qt::CaseInsensitive),
                 qPrintable(fake->lastMessage().text));
        QVERIFY(c.title.isEmpty() || fake->lastMessage().icon == QMessageBox::Critical);
        QVERIFY(documentWindows(main).isEmpty() && main->documents().isEmpty() && main->mruList().isEmpty());
        QVERIFY(!main->menuItem("mnuSave")->isEnabled() && !QApplication::overrideCursor());
    }

    // Shown as written, a file that does not parse opens all the same, to be put right here:
    // its error is in the status bar and marked at its line, as parse-on-edit shows it.
    void openXSLT_asWrittenOpensWhatDoesNotParse_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("line");
        QTest::addRow("not well-formed") << "file" << QByteArray("<a>\r\n  <x>\r\n</a>\r\n") << "mismatch" << 3;
        QTest::addRow("empty") << "file" << QByteArray("") << "empty" << 1;
        QTest::addRow("html page") << "url" << QByteArray("<html><body><p>hello<br></body></html>") << "mismatch" << 1;
    }
    void openXSLT_asWrittenOpensWhatDoesNotParse()
    {
        QFETCH(QString, how);
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        QFETCH(int, line);
        TestHttpServer server;
        server.serve("/page.html", content, 200, "text/html");
        const QString answer = how == "url" ? server.url("/page.html") : path("broken.xsl");
        if (how == "file") {
            QVERIFY(writeFile(answer, content));
            fake->fileNames << answer;
        } else {
            fake->inputs << answer;
        }
        main->menuItem(how == "url" ? "mnuOpenXSLTURL" : "mnuOpenXSLTFile")->trigger();
        QVERIFY2(fake->messages().isEmpty(), qPrintable(fake->lastMessage().text));
        DocumentWindow *doc = main->activeDocument();
        QVERIFY(doc);
        QCOMPARE(stylesheetPane(doc)->text().toUtf8(), content);
        QCOMPARE(doc->caption(), answer);
        QVERIFY(!doc->isChanged());
        QTRY_VERIFY2(doc->panelText(1).contains(error, Qt::CaseInsensitive), qPrintable(doc->panelText(1)));
        QVERIFY(doc->panelHasIcon());
        QTRY_COMPARE(doc->assist(stylesheetPane(doc))->markedLines(), QList<int>{line});
        QCOMPARE(main->mruList(), QStringList{answer});
        // The problem is the file's, by its name.
        auto *problems = doc->findChild<QTreeWidget *>("lstProblems");
        QVERIFY(problems && problems->topLevelItemCount() == 1);
        QCOMPARE(problems->topLevelItem(0)->text(1), how == "url" ? QStringLiteral("page.html") : QStringLiteral("broken.xsl"));
    }

    void openXSLT_fromUrlKeepsTheAddressAsTypedUntilSaved()
    {
        TestHttpServer server;
        server.serve("/s/main.xsl", kStylesheet);
        const QString typed = "  " + server.url("/s/main.xsl") + " ";
        fake->inputs << typed;
        main->menuItem("mnuOpenXSLTURL")->trigger();
        QVERIFY2(fake->messages().isEmpty(), qPrintable(fake->lastMessage().text));
        DocumentWindow *doc = main->activeDocument();
        QCOMPARE(doc->caption(), typed);
        QCOMPARE(main->mruList(), QStringList{typed});
        QVERIFY(doc->fromUrl && stylesheetPane(doc)->text().contains("<out/>"));
        // A failed save keeps the address; a good one replaces it with the file.
        fake->fileNames << path("no/such/folder/u.xsl") << path("saved.xsl");
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(cancel && doc->fromUrl);
        QCOMPARE(fake->lastMessage().title, QStringLiteral("Error Saving XSLT Document"));
        QCOMPARE(doc->caption(), typed);
        cancel = false;
        doc->saveFile(cancel);
        QVERIFY(!cancel && !doc->fromUrl);
        QCOMPARE(fake->calls.last().text, QStringLiteral("Save XSLT..."));
        QCOMPARE(doc->caption(), path("saved.xsl"));
        QVERIFY(readFile(path("saved.xsl")).contains("<out/>"));
    }

    void loadFromUrl_whileWaiting_data()
    {
        QTest::addColumn<LoadCase>("c");
        QTest::addRow("stylesheet, cancel") << LoadCase{"mnuOpenXSLTURL", "cancel"};
        QTest::addRow("source, cancel") << LoadCase{"mnuOpenXMLURL", "cancel"};
        QTest::addRow("source, close its window") << LoadCase{"mnuOpenXMLURL", "close window"};
        QTest::addRow("source, stop waiting and close") << LoadCase{"mnuOpenXMLURL", "stop waiting"};
        QTest::addRow("source, close the main window") << LoadCase{"mnuOpenXMLURL", "close main"};
        QTest::addRow("source, open another source into it") << LoadCase{"mnuOpenXMLURL", "open xml again"};
        QTest::addRow("source, edit the stylesheet") << LoadCase{"mnuOpenXMLURL", "type"};
        QTest::addRow("stylesheet, close the main window") << LoadCase{"mnuOpenXSLTURL", "close main"};
    }
    void loadFromUrl_whileWaiting()
    {
        QFETCH(LoadCase, c);
        TestHttpServer server;
        server.hold("/held.xml", "<loaded/>");
        server.serve("/other.xml", "<other/>");
        const QString url = server.url("/held.xml");
        const bool source = QByteArray(c.command) == "mnuOpenXMLURL", cancel = c.attempt == "cancel";
        const bool stop = c.attempt == "stop waiting";
        QPointer<DocumentWindow> doc = open();
        if (cancel || stop)
            setUrlFetchTimeoutMs(30000); // only Cancel ends this load
        QElapsedTimer clock;
        qint64 shownAfter = 0;
        during([&] { return cancel ? progressWindow() != nullptr : server.requests().contains("/held.xml"); }, [&] {
            if (cancel) {
                shownAfter = clock.elapsed();
                QProgressDialog *dlg = progressWindow();
                QCOMPARE(dlg->labelText(), "Loading " + url + QStringLiteral("\u2026"));
                // The rest of the program can still be used.
                QVERIFY(dlg->windowModality() == Qt::NonModal && !QApplication::activeModalWidget());
                auto *button = dlg->findChild<QPushButton *>();
                QCOMPARE(button->text(), QStringLiteral("Cancel"));
                QTest::mouseClick(button, Qt::LeftButton);
                return;
            } else if (stop) {
                QVERIFY(!doc->parentWidget()->close());
                QTest::mouseClick(windowStatus(doc)->findChild<QPushButton *>("cmdStopWaiting"), Qt::LeftButton);
                return;
            } else if (c.attempt == "close window") {
                QVERIFY(!doc->parentWidget()->close());
                QCOMPARE(windowStatus(doc)->currentMessage(), kBusyClosing);
                QVERIFY(windowStatus(doc)->findChild<QPushButton *>("cmdStopWaiting")->isVisible());
            } else if (c.attempt == "close main") {
                QVERIFY(!main->close() && main->isVisible());
                QCOMPARE(main->statusBar()->currentMessage(),
                         QStringLiteral("Zendrik cannot close while a document is loading or previewing; try again when it has finished."));
            } else if (c.attempt == "open xml again") {
                fake->inputs << server.url("/other.xml");
                main->menuItem("mnuOpenXMLURL")->trigger();
                QCOMPARE(windowStatus(doc)->currentMessage(), kBusy);
                fake->inputs.clear(); // not asked for
            } else if (c.attempt == "type") {
                stylesheetPane(doc)->setSelectionStart(0);
                QTest::keyClicks(stylesheetPane(doc), "<!---->");
            }
            server.release("/held.xml");
        });
        fake->inputs << url;
        clock.start();
        main->menuItem(c.command)->trigger();
        QVERIFY(m_duringRan);
        // Nothing was asked on the way (no error, no save prompt, no second address).
        QCOMPARE(fake->calls.size(), 1);
        QCOMPARE(server.requests(), QStringList{"/held.xml"});
        if (stop) { // the wait ends at once, and the window with it
            QTRY_VERIFY(!doc);
            QVERIFY(documentWindows(main).isEmpty() && !progressWindow() && !QApplication::overrideCursor());
            return;
        }
        QVERIFY(!doc->isBusy() && !progressWindow() && !QApplication::overrideCursor());
        const QList<DocumentWindow *> docs = documentWindows(main);
        if (cancel) { // the user's own choice: a note in the window's status bar, nothing loaded
            QVERIFY2(shownAfter >= 1000, qPrintable(QString::number(shownAfter))); // quick loads show no window
            QCOMPARE(docs, QList<DocumentWindow *>{doc});
            QVERIFY(sourcePane(doc)->text().isEmpty() && pageTabs(doc)->currentIndex() == 0 && main->mruList().isEmpty());
            if (source)
                QCOMPARE(windowStatus(doc)->currentMessage(), "Loading " + url + " was cancelled.");
            return;
        }
        // The load ended as if nothing had happened meanwhile.
        QCOMPARE(docs.size(), source ? 1 : 2);
        QVERIFY(docs.last()->isVisible());
        QCOMPARE(source ? QString::number(sourcePane(doc)->text().contains("<loaded/>")) : docs.last()->caption(), source ? "1" : url);
        // An edit made while waiting is an edit like any other.
        const bool typed = c.attempt == "type";
        QCOMPARE(doc->caption(), typed ? QStringLiteral("New XSLT File*") : QStringLiteral("New XSLT File"));
        QCOMPARE(stylesheetPane(doc)->text().startsWith("<!---->"), typed);
        // Once the load is over, the windows close normally.
        fake->answers << QMessageBox::No;
        QVERIFY(main->close());
    }

    void openXML_goesIntoTheActiveWindowAndSelectsItsPage()
    {
        DocumentWindow *other = open(), *doc = open();
        const QString file = path("a&b.xml");
        QVERIFY(writeFile(file, "<?xml version=\"1.0\"?>\n<root><a>1</a></root>\n"));
        fake->fileNames << file;
        main->menuItem("mnuOpenXMLFile")->trigger();
        QCOMPARE(pageTabs(doc)->currentIndex(), 1);
        QVERIFY(sourcePane(doc)->text().contains("<root><a>1</a></root>") && !sourcePane(doc)->canUndo());
        QVERIFY(sourcePane(other)->text().isEmpty());
        QVERIFY(fake->messages().isEmpty() && main->mruList().isEmpty());
        QCOMPARE(pageTabs(doc)->tabText(1), "XML - a&&b.xml");
        QCOMPARE(pageTabs(doc)->tabToolTip(1), file);
        QCOMPARE(pageTabs(other)->tabText(1), "XML");
        QCOMPARE(pageTabs(other)->tabToolTip(1), "");
        // An edit of the source marks the source changed, not the stylesheet; undo to where it
        // was read makes it unchanged again.
        QTest::keyClicks(sourcePane(doc), "<<");
        QCOMPARE(pageTabs(doc)->tabText(1), "XML - a&&b.xml*");
        QVERIFY(doc->sourceChanged());
        QCOMPARE(doc->caption(), QStringLiteral("New XSLT File"));
        QVERIFY(!doc->isChanged() && doc->fileName().isEmpty());
        doc->undo();
        QCOMPARE(pageTabs(doc)->tabText(1), "XML - a&&b.xml");
        QVERIFY(!doc->sourceChanged());
        QTest::keyClicks(sourcePane(doc), "<<");
        // Another source asks about the edits first: Cancel keeps them, No drops them. A failed
        // load leaves the text, its history and the page as they were; spaces only do nothing.
        const QString before = sourcePane(doc)->text();
        pageTabs(doc)->setCurrentIndex(0);
        fake->answers << QMessageBox::Cancel << QMessageBox::No;
        doc->loadXMLFile(path("missing.xml"));
        QCOMPARE(fake->lastMessage().text, "Would you like to save your changes to the XML source " + file + "?");
        doc->loadXMLFile(path("missing.xml"));
        QCOMPARE(messageTitles(), QStringList({"Save Changes?", "Save Changes?", "Error Parsing XML Document"}));
        TestHttpServer server;
        server.serve("/d.xml", "<from-url/>");
        fake->inputs << "   " << server.url("/d.xml");
        main->menuItem("mnuOpenXMLURL")->trigger();
        QCOMPARE(sourcePane(doc)->text(), before);
        QCOMPARE(pageTabs(doc)->currentIndex(), 0);
        QVERIFY(sourcePane(doc)->isUndoAvailable()); // and the edits can still be undone
        fake->answers << QMessageBox::No;
        main->menuItem("mnuOpenXMLURL")->trigger();
        QVERIFY(sourcePane(doc)->text().contains("<from-url/>"));
        QCOMPARE(pageTabs(doc)->tabText(1), "XML - d.xml");
        QCOMPARE(pageTabs(doc)->tabToolTip(1), server.url("/d.xml"));
        QCOMPARE(fake->messages().size(), 4);
        QVERIFY(closeWindow(doc) && fake->messages().size() == 4);
    }

    // The source is saved to its own file: as written or as the parser writes it, after the
    // same question as the stylesheet's when it does not parse; a source read from an address or
    // typed into an empty page is saved where the user says.
    void saveSource_data()
    {
        QTest::addColumn<QString>("keep");
        QTest::addColumn<QString>("from"); // "file", "url" or "" for none
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QString>("saved"); // the file's bytes afterwards; "-" for none
        QTest::addColumn<QStringList>("titles");
        QTest::addRow("as written") << "1" << "file" << "<b/>" << QList<int>{} << "<a >\r\n&#160;<b/></a>\r\n" << QStringList{};
        QTest::addRow("parsed") << "0" << "file" << "<b/>" << QList<int>{} << "<a>\n\u00A0<b/></a>\n" << QStringList{};
        QTest::addRow("not well-formed, saved anyway") << "1" << "file" << "<" << QList<int>{QMessageBox::Yes} << "<a >\r\n&#160;<</a>\r\n"
                                                       << QStringList{"Save XML Document"};
        QTest::addRow("not well-formed, not saved") << "1" << "file" << "<" << QList<int>{QMessageBox::No} << "<a >\r\n&#160;</a>\r\n"
                                                    << QStringList{"Save XML Document"};
        QTest::addRow("not well-formed, parsed") << "0" << "file" << "<" << QList<int>{} << "<a >\r\n&#160;</a>\r\n"
                                                 << QStringList{"Error Parsing XML Document"};
        QTest::addRow("from an address") << "1" << "url" << "<b/>" << QList<int>{} << "-" << QStringList{};
        QTest::addRow("typed") << "1" << "" << "<b/>" << QList<int>{} << "-" << QStringList{};
    }
    void saveSource()
    {
        QFETCH(QString, keep);
        QFETCH(QString, from);
        QFETCH(QString, typed);
        QFETCH(QList<int>, answers);
        QFETCH(QString, saved);
        QFETCH(QStringList, titles);
        fixture::writeSettings("Options", {{"KeepFilesAsWritten", keep}});
        const QByteArray original = "<a >\r\n&#160;</a>\r\n";
        TestHttpServer server;
        server.serve("/s.xml", original);
        DocumentWindow *doc = open();
        const QString file = path("s.xml"), named = path("named.xml");
        if (from == "file") {
            QVERIFY(writeFile(file, original));
            doc->loadXMLFile(file);
        } else if (from == "url") {
            doc->loadXMLFile(server.url("/s.xml"));
        }
        sourcePane(doc)->setSelectionStart(std::max<int>(0, sourcePane(doc)->text().indexOf("</a>")));
        sourcePane(doc)->replaceSelection(typed);
        QVERIFY(doc->sourceChanged());
        for (const int a : answers)
            fake->answers << QMessageBox::StandardButton(a);
        fake->fileNames << named;
        main->menuItem("mnuSaveSource")->trigger();
        QCOMPARE(messageTitles(), titles);
        const bool done = titles.isEmpty() || answers.value(0) == QMessageBox::Yes;
        QCOMPARE(doc->sourceChanged(), !done);
        if (from == "file") {
            QCOMPARE(QString::fromUtf8(readFile(file)), saved);
            QCOMPARE(fake->fileNames.size(), 1); // no file dialog for a source with a file
        } else {
            QVERIFY(fake->fileNames.isEmpty());
            QCOMPARE(QString::fromUtf8(readFile(named)), QString(sourcePane(doc)->text()));
            QCOMPARE(doc->sourceFileName(), named);
            QCOMPARE(pageTabs(doc)->tabText(1), "XML - named.xml");
        }
        // Save Source As always asks where.
        fake->fileNames.clear();
        for (const int a : answers)
            fake->answers << QMessageBox::StandardButton(a);
        main->menuItem("mnuSaveSourceAs")->trigger();
        QCOMPARE(fake->calls.last().kind + " " + fake->calls.last().text, "save Save XML As...");
    }

    // A Latin-1 file, shown as written (CRLF and all) or as the parser writes it; text beyond
    // Latin-1 survives a save and a reload either way.
    void loadXSLTFile_showsTheTextAndSavesNonAsciiBack_data()
    {
        QTest::addColumn<QString>("keep");
        QTest::addRow("as written") << "1";
        QTest::addRow("parsed") << "0";
    }
    void loadXSLTFile_showsTheTextAndSavesNonAsciiBack()
    {
        QFETCH(QString, keep);
        fixture::writeSettings("Options", {{"KeepFilesAsWritten", keep}});
        const QByteArray bytes = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<!-- kept -->\r\n"
                                 "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                                 "<!-- caf\xe9 -->\r\n</xsl:stylesheet>\r\n";
        writeFile(path("latin1.xsl"), bytes);
        DocumentWindow *doc = open();
        QVERIFY(doc->loadXSLTFile(path("latin1.xsl")));
        XmlDocument parsed;
        QVERIFY(parsed.load(path("latin1.xsl")));
        QCOMPARE(stylesheetPane(doc)->text(), keep == "1" ? QString::fromLatin1(bytes) : parsed.xml());
        QVERIFY(stylesheetPane(doc)->text().contains("<!-- kept -->") && stylesheetPane(doc)->text().contains(QStringLiteral("café")));
        QCOMPARE(doc->caption(), path("latin1.xsl"));
        QCOMPARE(doc->fileName(), path("latin1.xsl"));
        QVERIFY(!doc->fromUrl && !doc->isChanged() && !doc->isLoading() && !stylesheetPane(doc)->canUndo());
        // The load's own changes were parsed, the last one cleanly.
        QVERIFY(doc->panelText(1).isEmpty() && !doc->panelHasIcon());
        QVERIFY(fake->calls.isEmpty() && !QApplication::overrideCursor());
        // A new line takes the file's own line break.
        stylesheetPane(doc)->setSelectionStart(stylesheetPane(doc)->text().indexOf("</xsl:stylesheet>"));
        QTest::keyClick(stylesheetPane(doc), Qt::Key_Return);
        stylesheetPane(doc)->replaceSelection(QStringLiteral("<!-- naïve → 漢字 -->"));
        bool cancel = false;
        doc->saveFile(cancel);
        QVERIFY(!cancel && !doc->caption().endsWith('*'));
        if (keep == "1") {
            QCOMPARE(readFile(path("latin1.xsl")), QString::fromLatin1(bytes)
                                                       .replace("ISO-8859-1", "UTF-8")
                                                       .replace("\r\n</xsl:", QStringLiteral("\r\n\r\n<!-- naïve → 漢字 --></xsl:"))
                                                       .toUtf8());
            QCOMPARE(windowStatus(doc)->currentMessage(), QStringLiteral("Saved in UTF-8: the text holds characters that ISO-8859-1 cannot "
                                                                      "represent; the file's declaration now says UTF-8."));
        }
        DocumentWindow *again = open();
        QVERIFY(again->loadXSLTFile(path("latin1.xsl")));
        QVERIFY(stylesheetPane(again)->text().contains(QStringLiteral("café")) && stylesheetPane(again)->text().contains(QStringLiteral("naïve → 漢字")));
    }

    // The window cannot close while the page loads: refused at once, without asking about saving.
    void previewTab_showsTheTransformedUnsavedText()
    {
        DocumentWindow *doc = openWith(kXhtml, kSource);
        pageTabs(doc)->setCurrentIndex(1);
        sourcePane(doc)->setSelectionStart(sourcePane(doc)->text().indexOf("</list>"));
        sourcePane(doc)->replaceSelection("<item>gamma</item>");
        bool closed = true;
        connect(previewView(doc), &QWebEngineView::loadStarted, doc, [&] { closed = doc->parentWidget()->close(); },
                Qt::SingleShotConnection);
        pageTabs(doc)->setCurrentIndex(2);
        QVERIFY(!closed);
        QCOMPARE(pageTabs(doc)->currentIndex(), 2);
        QVERIFY(fake->calls.isEmpty());
        const QString text = plainText(previewView(doc));
        QVERIFY2(text.contains("Items: 3") && text.contains("gamma"), qPrintable(text));
        QCOMPARE(doc->panelText(2), QString());
        QVERIFY2(doc->panelText(3).startsWith("libxslt 1."), qPrintable(doc->panelText(3))); // who made the page
        for (const char *name : {"mnuCopy", "mnuCut", "mnuPaste", "mnuUndo", "mnuRedo", "mnuFind", "mnuReplace", "mnuSelectAll"})
            QVERIFY2(!main->menuItem(name)->isEnabled(), name);
        // The Edit menu opening on the preview changes nothing.
        doc->setEditState();
        QVERIFY(!main->menuItem("mnuSelectAll")->isEnabled());
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(!doc->isBusy());
        // Leaving it brings the caret panel and the commands back.
        pageTabs(doc)->setCurrentIndex(0);
        QVERIFY(doc->panelText(2).startsWith("Line: 1, Col: "));
        QVERIFY(main->menuItem("mnuSelectAll")->isEnabled());
        // The edited source is asked about after the stylesheet.
        fake->answers << QMessageBox::No << QMessageBox::No;
        QVERIFY(doc->parentWidget()->close());
        QCOMPARE(fake->messages().size(), 2);
        QCOMPARE(fake->lastMessage().text, QStringLiteral("Would you like to save your changes to the XML source?"));
    }

    void preview_failuresAreShown_data()
    {
        QTest::addColumn<FailureCase>("c");
        QTest::addRow("tab, stylesheet broken") << FailureCase{false, "<xsl:stylesheet", kSource, false, "Error Parsing XSLT Document", ""};
        QTest::addRow("tab, source only line breaks") << FailureCase{false, kXhtml, "\n\n", false, "Error Parsing XML Document", ""};
        QTest::addRow("browser, source broken") << FailureCase{true, kXhtml, "<list>", false, "Error Parsing XML Document", ""};
        QTest::addRow("browser, none to start") << FailureCase{true, kXhtml, kSource, true, "Error", "No web browser could be started."};
    }
    void preview_failuresAreShown()
    {
        QFETCH(FailureCase, c);
        browser->fail = c.browserFails;
        DocumentWindow *doc = openWith(c.xslt, c.xml);
        if (c.browser) {
            QVERIFY(!doc->previewInBrowser());
        } else { // the Preview tab gives way to the page it was opened from
            pageTabs(doc)->setCurrentIndex(1);
            pageTabs(doc)->setCurrentIndex(2);
            QCOMPARE(pageTabs(doc)->currentIndex(), 1);
            QVERIFY(main->menuItem("mnuSelectAll")->isEnabled());
        }
        QCOMPARE(fake->messages().size(), 1);
        QCOMPARE(fake->lastMessage().title, c.title);
        QCOMPARE(fake->lastMessage().icon, QMessageBox::Critical);
        QVERIFY2(!fake->lastMessage().text.trimmed().isEmpty() && fake->lastMessage().text.contains(c.textPart), qPrintable(fake->lastMessage().text));
        QVERIFY(!QApplication::overrideCursor());
    }

    void previewInBrowser_writesTheRawResult()
    {
        const QString html = QStringLiteral(
            "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
            "<xsl:output method=\"html\" encoding=\"ISO-8859-1\"/><xsl:template match=\"/\"><html><body>caf\u00e9<br/>"
            "</body></html></xsl:template></xsl:stylesheet>");
        DocumentWindow *doc = openWith(html, kSource);
        QVERIFY(doc->previewInBrowser());
        QCOMPARE(browser->opened.size(), 1);
        const FakeBrowser::Opened page = browser->opened.first();
        QVERIFY(page.path.startsWith(QDir::tempPath()));
        QVERIFY(page.path.endsWith(".htm"));
        QVERIFY2(page.contents.contains("caf\xe9<br>"), page.contents.constData());
        QVERIFY(fake->calls.isEmpty());
        // No other user of the computer can read the page or even see its folder's contents.
        const QFileInfo file(page.path);
        const QFileInfo folder(file.path());
        QVERIFY(folder.absoluteFilePath() != QFileInfo(QDir::tempPath()).absoluteFilePath());
        QCOMPARE(file.permissions() & kOthers, QFileDevice::Permissions());
        QVERIFY(file.permissions() & QFileDevice::ReadOwner);
        QCOMPARE(folder.permissions() & kOthers, QFileDevice::Permissions());
        QCOMPARE(QDir(folder.absoluteFilePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{file.fileName()});
        // The browser may still be reading it: the file stays until the program ends.
        QVERIFY(QFile::exists(page.path));
        delete main;
        main = new MainWindow;
        QVERIFY(!QFile::exists(page.path));
        QVERIFY(!QFileInfo::exists(folder.absoluteFilePath()));
    }

    // The page of tests/data/guarded-page.xsl, with its scripts off and on.
    void previewTab_pageIsKeptToItsFolders_data()
    {
        QTest::addColumn<ScriptCase>("c");
        QTest::addRow("scripts off by default") << ScriptCase{"", false};
        QTest::addRow("scripts turned on") << ScriptCase{"1", true};
    }
    void previewTab_pageIsKeptToItsFolders()
    {
        QFETCH(ScriptCase, c);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        TestHttpServer server;
        server.serve("/remote.png", "not a picture", 200, "image/png");
        server.serve("/data", "remote data", 200, "text/plain");
        QImage picture(4, 4, QImage::Format_RGB32);
        picture.fill(Qt::red);
        for (const char *name : {"style/inside.png", "data/beside.png", "outside/outside.png"}) {
            QDir().mkpath(QFileInfo(path(name)).path());
            QVERIFY(picture.save(path(name), "PNG"));
        }
        QVERIFY(writeFile(path("style/note.txt"), "beside the stylesheet"));
        QVERIFY(writeFile(path("outside/secret.txt"), "secret"));
        QVERIFY(QFile::link(path("outside/outside.png"), path("style/link.png")));
        QFile page(TEST_DATA_DIR "/guarded-page.xsl");
        QVERIFY(page.open(QIODevice::ReadOnly));
        QString xslt = QString::fromUtf8(page.readAll());
        xslt.replace("{inside}", fileUrl(path("style/inside.png")))
            .replace("{beside}", fileUrl(path("data/beside.png")))
            .replace("{outside}", fileUrl(path("outside/outside.png")))
            .replace("{link}", fileUrl(path("style/link.png")))
            .replace("{remote}", server.url("/remote.png"))
            .replace("{note}", fileUrl(path("style/note.txt")))
            .replace("{secret}", fileUrl(path("outside/secret.txt")))
            .replace("{data}", server.url("/data"))
            .replace("{socket}", server.url("/socket").replace("http:", "ws:"))
            .replace("{next}", fileUrl(path("style/next.xml")));
        QVERIFY(writeFile(path("style/next.xml"), "<next/>"));
        QVERIFY(writeFile(path("style/page.xsl"), xslt.toUtf8()));
        QVERIFY(writeFile(path("data/src.xml"), "<any/>"));
        if (!c.stored.isEmpty())
            fixture::writeSettings("Options", {{"RunPreviewScripts", c.stored}});

        DocumentWindow *doc = fixture::newDocument(main);
        QVERIFY(doc->loadXSLTFile(path("style/page.xsl")));
        doc->loadXMLFile(path("data/src.xml"));
        pageTabs(doc)->setCurrentIndex(2);
        QVERIFY2(fake->calls.isEmpty(), qPrintable(fake->lastMessage().text));
        QCOMPARE(pageTabs(doc)->currentIndex(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(
            inspect(previewView(doc), "Array.prototype.every.call(document.images, function (i) { return i.complete; })").toBool(),
            10000);
        QCOMPARE(inspect(previewView(doc), "['inside', 'beside', 'outside', 'link', 'remote'].map(function (id) {"
                                          "  return id + ' ' + document.getElementById(id).naturalWidth; }).join(', ')")
                     .toString(),
                 QStringLiteral("inside 4, beside 4, outside 0, link 0, remote 0"));
        if (c.run) {
            // Each note comes once its attempt has ended, so a request that got through has been
            // seen by the server by then.
            QTRY_VERIFY_WITH_TIMEOUT(plainText(previewView(doc)).count(':') == 4, 10000);
            const QString text = plainText(previewView(doc));
            QStringList lines = text.split('\n', Qt::SkipEmptyParts);
            lines.sort();
            QCOMPARE(lines, QStringList({"elsewhere: blocked", "own folder: read beside the stylesheet", "scripts ran",
                                         "server: blocked", "socket: closed"}));
        } else {
            QCOMPARE(plainText(previewView(doc)).trimmed(), QStringLiteral("scripts did not run"));
        }
        QCOMPARE(server.requests(), QStringList());
        // A link to an address another program would open goes nowhere; one to a file beside the
        // stylesheet is followed (and, coming after it, shows that the first click was dealt with).
        m_handedOver.clear();
        QDesktopServices::setUrlHandler("zendrik-test", this, "handOver");
        QWidget *surface = previewView(doc)->focusProxy();
        QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(10, surface->height() / 4));
        QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(10, surface->height() * 3 / 4));
        QTRY_COMPARE_WITH_TIMEOUT(previewView(doc)->url(), QUrl::fromLocalFile(path("style/next.xml")), 10000);
        QDesktopServices::unsetUrlHandler("zendrik-test");
        QCOMPARE(m_handedOver, QList<QUrl>());
        // What the page tried to keep went nowhere on disk.
        for (auto where : {QStandardPaths::GenericDataLocation, QStandardPaths::GenericCacheLocation})
            QVERIFY2(QDir(QStandardPaths::writableLocation(where)).isEmpty(), qPrintable(QStandardPaths::writableLocation(where)));
    }

    void docbook_previewTabRendersAnArticle()
    {
        if (!QFile::exists(kDocbook + "/xhtml/docbook.xsl"))
            QSKIP("Debian's docbook-xsl package is not installed (scripts/test.sh installs it)");
        QVERIFY(writeFile(path("article.xml"), kArticle));
        DocumentWindow *doc = fixture::newDocument(main);
        QVERIFY(doc->loadXSLTFile(kDocbook + "/xhtml/docbook.xsl"));
        doc->loadXMLFile(path("article.xml"));
        QCOMPARE(pageTabs(doc)->currentIndex(), 1);
        pageTabs(doc)->setCurrentIndex(2);
        QVERIFY2(fake->calls.isEmpty(), qPrintable(fake->lastMessage().text));
        QCOMPARE(pageTabs(doc)->currentIndex(), 2);
        const QString text = plainText(previewView(doc));
        QVERIFY2(text.contains("Zendrik Preview Check") && text.contains("A paragraph about transforms."), qPrintable(text));
    }
};

ZENDRIK_TEST_MAIN(TstDocument)
#include "tst_document.moc"
