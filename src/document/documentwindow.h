#pragma once

#include "components/syntaxbox.h"
#include "components/tagcompletionlist.h"
#include "platform/dialogs.h"
#include "engine/engineprotocol.h"
#include "engine/previewpipeline.h"
#include "engine/textfile.h"
#include "document/problemspane.h"
#include "engine/xmldocument.h"
#include "engine/formatter.h"
#include "model/stylesheetdocument.h"

#include <QElapsedTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class FetchProgress;
class QLabel;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QShortcut;
class QTimer;
class QWebEngineProfile;
class QWebEngineView;
class BusyStrip;
class EditorAssist;
class LivePreviewPane;
class PreviewGuard;
class ParametersPanel;
class XPathBar;
class OutlinePane;
class StylesheetInsight;
class UsagesPane;
class RunReportPane;
struct RecoveryEntry;
namespace validator { enum class Schema; }

// Which of the main window's edit commands a document window can carry out now.
struct EditState {
    bool copy = false;
    bool cut = false;
    bool paste = false;
    bool undo = false;
    bool redo = false;
    bool find = false;
    bool replace = false;
    bool selectAll = false;
};

// A document window: one stylesheet with its XML source and the preview of the result. Both
// texts are documents: each is marked changed by edits, saved to its own file, and asked
// about before the window closes.
class DocumentWindow : public QWidget
{
    Q_OBJECT
public:
    explicit DocumentWindow(QWidget *parent = nullptr);
    ~DocumentWindow() override;

    static QString newDocumentCaption() { return StylesheetDocument::newDocumentTitle(); }
    static QString stylesheetTemplate();

    // Public record fields.
    bool fromUrl = false;
    QWidget *mainWindow = nullptr; // the main window that owns it
    short registryIndex = 0;

    // Read-only views of the private record, for the main window and for diagnostics.
    QString fileName() const { return m_model->fileName(StylesheetDocument::Text::Stylesheet); }
    bool isChanged() const { return m_model->isChanged(StylesheetDocument::Text::Stylesheet); }
    bool isLoading() const { return m_model->isLoading(); }
    // What the window shows: its texts' names, changed states and parse verdicts.
    StylesheetDocument *model() const { return m_model; }
    QString caption() const { return windowTitle(); }
    QString panelText(int index) const;
    bool panelHasIcon() const;

    void setupNewDoc();
    // The caret's line (1-based) and the line count of the page shown; false on the Preview page.
    bool caretLine(int *line, int *lines) const;
    // Applies the stored font, colours and styles to both editors; throws SettingsError for a
    // stored value that is not one.
    void applyEditorOptions();
    // Puts the focus in the parameters' filter field.
    void focusParameterFilter();
    void setStylesheetReadOnly(bool on);
    bool isStylesheetReadOnly() const;
    void showStylesheetPage();
    void focusStylesheet();
    void setEditState(std::optional<bool> all = std::nullopt);
    bool loadXSLTFile(QString file);
    void loadXMLFile(QString file);
    void saveFile(bool &Cancel);
    bool saveXSLTFile(const QString &file);
    bool previewInBrowser();

    // The XML source: where it was read from or saved to, and whether it has unsaved edits.
    QString sourceFileName() const { return m_model->fileName(StylesheetDocument::Text::Source); }
    bool sourceChanged() const { return m_model->isChanged(StylesheetDocument::Text::Source); }
    // Writes the source to its file, or, with saveAs or without a file of its own, to the one
    // the user names. False when it was not saved: cancelled, refused or failed (then told).
    bool saveSource(bool saveAs);
    // Asks whether to save an edited source; Cancel, or a save that did not happen, sets cancel.
    void querySaveSource(bool &cancel);

    // Clipboard, history, selection and printing act on the page of the selected tab; on the
    // Preview tab only printing does something.
    void cut();
    void copy();
    void paste();
    void undo();
    void redo();
    void selectAll();
    void printDoc();

    // The one find or replace dialog of the program, searching this window's stylesheet pane.
    // Defined with the find and replace subsystem.
    void showFindDialog();
    void showReplaceDialog();
    // Builds the Preview tab's page from the current texts: on success stem has "xml" appended
    // and names the written file; on failure the user was told why and no file exists.
    bool buildPreviewFile(QString &stem);

    // True while a load or a preview runs; the window refuses to close meanwhile.
    bool isBusy() const { return m_busy > 0; }
    // While the window is busy, says so in its status bar and returns true: the caller must
    // not start anything in it. Loads wait for the network while the program stays usable, so
    // the user can ask for a second one before the first has finished.
    bool refuseWhileBusy();
    // Where the XML source came from (path or URL), empty when it was typed.
    QString xmlSourceName() const { return sourceFileName(); }

    // Whether scripts in the Preview tab's page run; they are off unless the user turned them
    // on. Takes effect with the next preview.
    bool runPreviewScripts() const { return m_runPreviewScripts; }
    // Files shown and saved as written, or as the parser writes them.
    void setKeepAsWritten(bool on) { m_model->setKeepAsWritten(on); }
    bool keepAsWritten() const { return m_model->keepAsWritten(); }
    // The XSLT processor as the options store it: "Automatic", "libxslt" or "Saxon-HE".
    void setProcessorChoice(const QString &stored);
    // Whether the texts are parsed as they change.
    void setAutoParse(bool on) { m_model->setAutoParse(on); }
    bool autoParse() const { return m_model->autoParse(); }
    void setRunPreviewScripts(bool on);

    // The live preview pane beside the tabs: re-rendered a short pause after the stylesheet or
    // the source changes.
    void setLivePreview(bool on);
    bool livePreview() const;
    LivePreviewPane *livePane() const { return m_livePane; }
    // The pause follows what a render costs: the last one's time from request to answer, within
    // these bounds, and the longest until a render was timed. A render of a few milliseconds
    // follows each key at once. A render in zendrik-engine is interrupted when a newer text
    // comes, so a short pause is enough to let a burst of keys go by without starting one per
    // key; the Saxon helper runs a render to its end, and a render already running there makes
    // the last key's page wait for it: a pause as long as a render keeps a fast typist from
    // starting one per key.
    static constexpr int kLivePauseMinMs = 10;
    static constexpr int kLivePauseMs = 300;
    static constexpr int kLivePauseInterruptibleMs = 100;
    static int livePauseFor(qint64 lastRunMs, bool interruptible = false);
    int livePause() const { return livePauseFor(m_lastLiveMs, m_lastLiveInterruptible); }

    // This window's identity in the engine's queue.
    qint64 windowId() const { return m_windowId; }
    // Ends the transformation this window waits for, if any (Stop, or Esc).
    void stopTransformation();
    BusyStrip *busyStrip() const { return m_busyStrip; }

    // Line numbers beside both panes.
    void setLineNumbers(bool on);
    // Moves the caret of the selected pane to a 1-based line.
    void goToLine(int line);
    // The problems list under the editor.
    void setProblemsVisible(bool on);
    bool problemsVisible() const;
    ProblemsPane *problemsPane() const { return m_problems; }
    // The stylesheet's parameters under the editor, with the values every preview passes.
    // Values are remembered per stylesheet file in the settings' [StylesheetParameters] group.
    void setParametersVisible(bool on);
    bool parametersVisible() const;
    ParametersPanel *parametersPanel() const { return m_parameters; }
    // The outline of the stylesheet beside its editor, following the caret.
    void setOutlineVisible(bool on);
    bool outlineVisible() const;
    void focusOutlineFilter();
    OutlinePane *outlinePane() const { return m_outline; }
    // The usages, templates of a mode, or rename changes, under the editor.
    UsagesPane *usagesPane() const { return m_usages; }

    // Where the live preview's output came from: Inspect in the live pane, the Trace and the
    // Profile of the last live run under the editor, and Show Output for the instruction or
    // template at the caret. Each asks the live runs to record what it needs.
    void setTraceVisible(bool on);
    bool traceVisible() const;
    void setProfileVisible(bool on);
    bool profileVisible() const;
    RunReportPane *tracePane() const { return m_tracePane; }
    RunReportPane *profilePane() const { return m_profilePane; }
    void toggleInspect();
    void showOutput();
    // Selects what made a node of the live result's map: the instruction in the stylesheet (in
    // another window for an included file) and the source node in the XML pane.
    void inspectNode(int node);
    StylesheetInsight *insight() const { return m_insight; }
    // From the name under the stylesheet's caret: to its declaration (a mode: the list of its
    // templates; an include's href: the file), the list of its usages, or a rename of it with
    // all its references, shown first and applied as one undo step per window.
    void goToDefinition();
    void findUsages();
    void renameSymbol();
    // Selects a span of the stylesheet (1-based line, column in UTF-16 units of the line) and
    // shows it.
    void selectInStylesheet(int line, int column, int length);
    // The stylesheet's text as it is in the editor, and as UTF-8 (a copy of the editor's buffer,
    // cheap for any size).
    QString stylesheetText() const;
    QByteArray stylesheetUtf8() const;
    // Replaces spans of the stylesheet (UTF-16 offsets into the text as it is) as one undo
    // step; false, changing nothing, when a span lies outside the text.
    struct TextEdit {
        int offset = 0;
        int length = 0;
        QString text;
    };
    bool applyStylesheetEdits(QList<TextEdit> edits);
    // Set by the main window: the unsaved texts of the open stylesheets (by absolute path), and
    // the window of a stylesheet file, opened when it is not open yet (nullptr when it cannot be).
    std::function<QHash<QString, QByteArray>()> unsavedStylesheets;
    std::function<DocumentWindow *(const QString &path)> windowForFile;
    // The open stylesheet whose last model includes or imports the file at path: its path and
    // text as UTF-8; nullopt when none does.
    std::function<std::optional<QPair<QString, QByteArray>>(const QString &path)> includerOf;

    // Offers, at the stylesheet's caret, the names that fit there: after typed (a character
    // just typed), or whatever fits when typed is 0 (Ctrl+Space). False when nothing is offered.
    bool offerCompletion(int typed);
    // The rows of the completion list open in the stylesheet pane, in their order.
    QStringList completionRows() const;
    // What resting the pointer on a place of the stylesheet (a UTF-16 offset) tells: a
    // declaration's line, a function's signature; empty for anything else.
    QString hoverText(int position) const;

    // The XPath bar over the XML pane: shows the XML tab and focuses the bar.
    void showXPathBar();
    XPathBar *xpathBar() const { return m_xpathBar; }
    // Re-indents the selected pane's text, or its selection, as one undo step.
    void formatDocument();
    void formatSelection();
    // Asks which schema to check the XML source against (remembered per source file in the
    // [SourceSchemas] group), then checks it.
    void validateSource();
    // Checks the XML source against a schema: problems go to the list, or "Valid" to the
    // status bar. False when the check could not run (the user was told why).
    bool validateSourceWith(validator::Schema schema, const QString &schemaPath);
    // The margin, marks and tag matching of a pane.
    EditorAssist *assist(SyntaxBox *pane) const;
    // How long after a stylesheet becomes well-formed it is compiled for its checks.
    static constexpr int kCheckPauseMs = StylesheetDocument::kCheckPauseMs;
    // Gives WebBrowser its page: a memory-only profile of this window's own whose every request
    // passes the guard. Made on first need, so a window that never previews never starts the
    // web engine.
    void ensurePreviewPage();

    // The close query: sets cancel when the window must stay open.
    void queryUnload(bool &cancel);
    // Set by the main window once every document agreed to close, so the query is not repeated.
    void setCloseApproved(bool approved) { m_closeApproved = approved; }

    // Shows the parse report of the last failed parse, if any.
    void showParseInfo();
    // Texts up to this size are parsed as they change; larger ones on the parse thread.
    static constexpr qsizetype kParseInlineBytes = StylesheetDocument::kParseInlineBytes;
    // True while the verdict on the latest text is still to come.
    bool parsePending() const { return m_model->verdict(StylesheetDocument::Text::Stylesheet) == StylesheetDocument::Verdict::Checking; }

    // Puts back a window kept from a program that ended without closing its windows: the
    // stylesheet's text under the name it had, and the XML source's unsaved text or the file
    // it was read from, each marked changed when it was, and written as its file was.
    void restoreUnsaved(const RecoveryEntry &kept);
    // How long after the last edit the recovery copy is written.
    static constexpr int kRecoveryDelayMs = StylesheetDocument::kRecoveryDelayMs;

signals:
    // What the edit commands can do now: on every change of the edit state of the selected
    // page, and disabled while the preview is built.
    void editStateChanged(const EditState &state);
    // Ctrl went down (true) or up in this window.
    void controlKeyChanged(bool down);
    // The window is going; position is its place in the main window's registry.
    void closed(int position);
    // A problem lies in a file the stylesheet included or read: show it there.
    void openReferenced(const QString &path, int line);
    void problemsVisibilityChanged(bool visible);
    void parametersVisibilityChanged(bool visible);
    void outlineVisibilityChanged(bool visible);
    void traceVisibilityChanged(bool visible);
    void profileVisibilityChanged(bool visible);
    // A declaration lies in another stylesheet: show it there, in a window of its own.
    void openDeclaration(const QString &path, int line, int column, int length);
    // Files or addresses were dropped on the window, to be opened as the main window opens them.
    void openRequested(const QStringList &sources);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Controls; tests and tools find them by their object names.
    QSplitter *SSSplitter1 = nullptr;
    QTabWidget *SSTab = nullptr;
    SyntaxBox *txtXSLT = nullptr;
    SyntaxBox *txtXML = nullptr;
    TagCompletionList *tagList = nullptr;
    // Gets its guarded page when it is first shown, previewed or printed; anything else that
    // would use it must call ensurePreviewPage() first, or the view makes an unguarded page of
    // its own.
    QWebEngineView *WebBrowser = nullptr;
    QStatusBar *StatusBar = nullptr;

    void buildControls();
    // The window follows its document: captions, tabs, verdicts, compile problems, live answers.
    void connectModel();
    void loadSequence();
    void loadEditorOptions();
    void stylesheetChanged();
    void showCaretPosition(SyntaxBox *ctl);
    SyntaxBox *currentEditor() const;
    void printText(SyntaxBox *ctl);
    void printPreview();
    void tabChanged(int index);
    void enterPreview(int previousTab);
    // The two panes as the preview pipeline takes them.
    preview::Input previewInput() const;
    QString stylesheetBase() const;
    QString sourceBase() const;
    // Loads a path or URL into a text of the document, named fileName (empty: where it was read
    // from in the end); false when it was not loaded (the user was told why).
    bool loadInto(StylesheetDocument::Text pane, const QString &file, const QString &errorTitle, const QString &fileName);
    // Reads a path or URL; on failure returns false with the reason in error, and cancelled
    // set when the user stopped the load.
    bool readDocument(const QString &source, StylesheetDocument::Loaded *loaded, QString *error, bool *cancelled);
    // The box titles and question of writeDocument for one kind of document.
    struct WriteTexts {
        QString parseErrorTitle, saveErrorTitle, notWellFormed, questionTitle;
    };
    // Writes a text of the document to path: as written, in its file's format (asking first
    // when it is not well-formed), or as the parser writes it, as the option says. False when
    // nothing was written; the user was told why.
    bool writeDocument(StylesheetDocument::Text text, const QString &path, const WriteTexts &texts);
    // Runs work on a thread of its own and waits for it while events go on.
    void runBeside(const QString &what, const std::function<void()> &work);
    // Ends the load or preview the window waits for and closes the window once it is over.
    void stopWaitingAndClose();
    void busyEnded();
    void unload();
    void setCaption(const QString &caption);
    // The verdict of a text's latest parse, in the status bar, the margin and the problems list.
    void showParseResult();
    void showSourceParseResult();
    // Completion as the stylesheet is typed: the tag list after "<", an element's attributes
    // after its name and a space, the end tag of the innermost open element after "</".
    void completeTyping(int &code);
    void showSourceTab();
    // Marks (of a kind) and list rows (of a source) from what the engine reported.
    void showEngineProblems(int kind, ProblemsPane::Source source, const QList<Diagnostic> &problems);
    void goToProblem(const Diagnostic &problem);
    // Lists the parameters the stylesheet declares, read beside the window.
    void refreshDeclaredParameters();
    void loadStoredParameters();
    void storeParameters();
    // The tag list offers the elements of the XSLT version the stylesheet declares.
    void followStylesheetVersion();
    // The prefixes the stylesheet's root element declares.
    QList<QPair<QString, QString>> stylesheetNamespaces() const;
    // The processor the stylesheet runs in, by its version and the option.
    engine::Processor stylesheetProcessor() const;
    // Replaces the text of pane from start to end (UTF-16 positions) as one undo step.
    void replaceAsOneStep(SyntaxBox *pane, int start, int end, const QString &text);
    QString stylesheetName() const;
    bool isStylesheetFile(const QString &file) const;
    bool isSourceFile(const QString &file) const;
    // Runs the preview pipeline in the engine and waits for its answer while events go on,
    // with the busy strip and its Stop button showing.
    preview::Result runInEngine(engine::Channel channel, preview::Target target);
    // Runs work in the window's worker and waits for its answer while events go on, with the
    // busy strip and its Stop button showing. An answer that is superseded means the wait was
    // given up (the window closes).
    engine::Response runInWorker(engine::Channel channel, engine::Request request, const QString &what);
    // The same for a tool (validation, formatting), counted as the window's busy time.
    engine::Response runToolInWorker(engine::Channel channel, engine::Request request, const QString &what);
    // Tells the user why a tool's work brought no answer (stopped: a note; failed: a box with
    // title); false when it brought one.
    bool toolFailed(const engine::Response &response, const QString &title);
    // Formats in the worker with the pane read-only meanwhile; false when there is no result
    // (stopped, or failed, and the user was told).
    bool formatInWorker(SyntaxBox *pane, engine::FormatWork work, const QString &title, formatter::Result *result);
    // Whether work the user waits for or watches runs in this window: what Stop and Esc end.
    bool transformationRunning() const;
    void updateEscape();
    // The XPath results take their remembered share of the XML page when they appear; a moved
    // split is remembered.
    void placeXPathResults();
    void rememberXPathSplit();
    // Tells the user why a preview failed.
    void reportPreviewFailure(const preview::Result &result);
    void scheduleLivePreview();
    void submitLivePreview();
    void engineStarted(qint64 window, engine::Channel channel);
    // The answer of the live pane.
    void livePreviewAnswered(const engine::Response &response);
    // The stylesheet's checks as marks and problem rows, and the outline, from a new model.
    void buildInsight();
    void showInsight();
    void followCaretInOutline();
    // The caret of the stylesheet pane as a UTF-16 offset of its text.
    int stylesheetCaret() const;
    void goToPlace(const QString &file, int line, int column, int length);
    // A 1-based line of the stylesheet (its editor) or of a module the model read.
    QString lineText(const QString &file, int line) const;
    void showUsagesPane(bool on);
    void applyRename();
    void connectCompletion();
    // The element or attribute names of the XML source, most frequent first.
    QStringList sourceNames(bool attributes);
    QString functionSignatureAt(int position) const;

    StylesheetDocument *m_model = nullptr;
    // The wait in progress for a load from the network, to cancel it.
    FetchProgress *m_fetch = nullptr;
    QPushButton *m_stopWaiting = nullptr;
    bool m_closeWhenIdle = false;
    bool m_closeApproved = false;
    bool m_unloaded = false;
    int m_previousTab = 0;
    int m_busy = 0;
    bool m_runPreviewScripts = false;
    QWebEngineProfile *m_previewProfile = nullptr;
    PreviewGuard *m_previewGuard = nullptr;
    CommonDialog CommonDialog_;
    QLabel *m_panel1Icon = nullptr;
    QLabel *m_panel1Text = nullptr;
    QLabel *m_panel2 = nullptr;
    QLabel *m_panelEngine = nullptr;
    QString m_tagListFile; // the element list the tag list holds
    qint64 m_windowId = 0;
    BusyStrip *m_busyStrip = nullptr;
    QShortcut *m_escape = nullptr;
    QSplitter *m_liveSplitter = nullptr;
    LivePreviewPane *m_livePane = nullptr;
    QTimer *m_liveTimer = nullptr;
    QElapsedTimer m_liveAsked; // when the newest live render was asked for
    QElapsedTimer m_liveChanged; // the last change a live render waits for
    qint64 m_lastLiveMs = -1;  // what the last one took, from request to answer
    bool m_lastLiveInterruptible = false; // whether it ran where a newer text interrupts it
    EditorAssist *m_assistXSLT = nullptr;
    EditorAssist *m_assistXML = nullptr;
    ProblemsPane *m_problems = nullptr;
    ParametersPanel *m_parameters = nullptr;
    qint64 m_declaredGeneration = 0;
    XPathBar *m_xpathBar = nullptr;
    QSplitter *m_xpathSplitter = nullptr;
    bool m_xpathResultsShown = false;
    bool m_parseInfoWanted = false;
    StylesheetInsight *m_insight = nullptr;
    OutlinePane *m_outline = nullptr;
    QSplitter *m_outlineSplitter = nullptr;
    QTimer *m_outlineFollow = nullptr;
    UsagesPane *m_usages = nullptr;
    RunReportPane *m_tracePane = nullptr;
    RunReportPane *m_profilePane = nullptr;
    bool m_showOutputPending = false;
    void updateLiveTracing();
    void showLiveResult(const preview::Result &result, const QByteArray &annotated);
    void showOutputNow();
    void goToTemplate(int templ);
    void goToSourceNode(int source);
    void goToTraced(const QString &file, int line, const QString &name);
    void setRunReportVisible(RunReportPane *pane, bool on);
    // The rename the usages pane shows, to apply: the edits of each file, and the text each
    // was planned on.
    struct PendingRename {
        QHash<QString, QList<TextEdit>> edits;
        QHash<QString, QString> texts; // the modules'
        qint64 generation = -1;        // this stylesheet's text it was planned on
    } m_pendingRename;
    // The completion list shown: its rows, and what each inserts.
    QStringList m_completionRows;
    QHash<QString, QString> m_completion;
    bool m_sourceNamesFresh = false;
    QStringList m_sourceElements;
    QStringList m_sourceAttributes;
    qint64 m_previewGeneration = 0;
};
