#include "document/documentwindow.h"
#include "document/editorbuffer.h"
#include "engine/saxonhelper.h"

#include "common/common.h"
#include "common/fetchprogress.h"
#include "document/previewguard.h"
#include "options/settingsstore.h"
#include "components/editorassist.h"
#include "document/busystrip.h"
#include "document/livepreview.h"
#include "document/parameterspanel.h"
#include "document/problemspane.h"
#include "document/xpathbar.h"
#include "document/outlinepane.h"
#include "document/stylesheetinsight.h"
#include "document/runreportpane.h"
#include "document/usagespane.h"
#include "engine/formatter.h"
#include "engine/engineprotocol.h"
#include "engine/stylesheetparams.h"
#include "engine/validator.h"
#include "engine/engineclient.h"
#include "engine/fileio.h"
#include "engine/parseservice.h"
#include "components/xmlcontext.h"
#include "engine/textfile.h"
#include "findreplace/findreplacehost.h"
#include "findreplace/searchengine.h"
#include "engine/previewpipeline.h"
#include "platform/browserlauncher.h"
#include "engine/recoverystore.h"
#include "engine/urlfetch.h"

#include <algorithm>

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLoggingCategory>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QThreadPool>
#include <QXmlStreamReader>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPrinter>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextDocument>
#include <QTimer>
#include <QShortcut>
#include <QUrl>
#include <QUuid>

#include <atomic>
#include <climits>
#include <malloc.h>
#include <thread>
#include <QAbstractTextDocumentLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWebEngineProfile>
#include <QWebEngineView>

// Where a live render's time goes: QT_LOGGING_RULES="zendrik.live.debug=true".
Q_LOGGING_CATEGORY(lcLive, "zendrik.live", QtWarningMsg)

namespace {

// Counts a running load or preview for the lifetime of the object; idle runs when the last
// one ends.
class BusyScope
{
public:
    BusyScope(int &counter, std::function<void()> idle)
        : m_counter(counter)
        , m_idle(std::move(idle))
    {
        ++m_counter;
    }
    ~BusyScope()
    {
        if (--m_counter == 0)
            m_idle();
    }

private:
    int &m_counter;
    std::function<void()> m_idle;
};

bool isUrl(const QString &source)
{
    return source.contains(QStringLiteral("://"));
}

// How long the Preview tab waits for the page at most; a local file normally takes milliseconds.
constexpr int kPreviewLoadLimitMs = 60000;
// How long a note in the status bar stays before the panels come back.
constexpr int kStatusNoteMs = 8000;
} // namespace

namespace {
// A parse error as a problem of the pane whose text it is about.
QList<Diagnostic> problemsOf(const XmlDocument::ParseError &error, const QString &file)
{
    if (error.code == 0)
        return {};
    Diagnostic d;
    d.message = error.reason.section(QLatin1Char('\n'), 0, 0);
    d.file = file;
    d.line = error.line;
    d.column = error.linepos;
    return {d};
}

QList<EditorAssist::Mark> marksOf(const QList<Diagnostic> &problems)
{
    QList<EditorAssist::Mark> marks;
    for (const Diagnostic &d : problems)
        marks << EditorAssist::Mark{d.line, d.column, d.severity, d.message};
    return marks;
}

// The local path a diagnostic's file names, or the text itself for anything else.
QString pathOf(const QString &file)
{
    const QUrl url(file);
    return url.isLocalFile() ? url.toLocalFile() : file;
}
} // namespace

QString DocumentWindow::stylesheetTemplate()
{
    return QStringLiteral("<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\"></xsl:stylesheet>");
}

DocumentWindow::DocumentWindow(QWidget *parent)
    : QWidget(parent)
{
    initResources();
    setObjectName(QStringLiteral("frmEditor"));
    m_model = new StylesheetDocument(this);
    setAttribute(Qt::WA_DeleteOnClose, false);
    m_windowId = m_model->engineId();
    buildControls();
    m_model->setBuffer(StylesheetDocument::Text::Stylesheet, std::make_unique<EditorBuffer>(txtXSLT));
    m_model->setBuffer(StylesheetDocument::Text::Source, std::make_unique<EditorBuffer>(txtXML));
    connectModel();
    setCaption(newDocumentCaption());
    loadSequence();
    m_liveTimer = new QTimer(this);
    m_liveTimer->setSingleShot(true);
    connect(m_liveTimer, &QTimer::timeout, this, &DocumentWindow::submitLivePreview);
    connect(&EngineClient::shared(), &EngineClient::started, this,
            [this](qint64 window, engine::Channel channel) { engineStarted(window, channel); });
    // Esc's state follows this window's transformations, whoever started them.
    connect(&EngineClient::shared(), &EngineClient::answered, this, [this](qint64 window) {
        if (window == m_windowId)
            updateEscape();
    });
    // While a transformation of the window runs, Esc anywhere in it stops it; otherwise Esc
    // belongs to whoever has the focus (a list, a dialog, the XPath bar). The editors take Esc
    // for themselves: the event filter sees it there first.
    m_escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, this, &DocumentWindow::stopTransformation,
                             Qt::WidgetWithChildrenShortcut);
    m_escape->setEnabled(false);
}

DocumentWindow::~DocumentWindow()
{
    unload();
    // A page must go before the profile it was made with, and the profile is a child of this
    // window that would otherwise be destroyed in whatever order the children happen to be in.
    delete WebBrowser;
    WebBrowser = nullptr;
}

void DocumentWindow::buildControls()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_busyStrip = new BusyStrip(this);
    layout->addWidget(m_busyStrip);
    connect(m_busyStrip, &BusyStrip::stopRequested, this, &DocumentWindow::stopTransformation);

    SSSplitter1 = new QSplitter(Qt::Vertical, this);
    SSSplitter1->setObjectName(QStringLiteral("SSSplitter1"));
    SSSplitter1->setChildrenCollapsible(false);
    layout->addWidget(SSSplitter1, 1);

    // The tabs, and beside them the live preview when it is on.
    m_liveSplitter = new QSplitter(Qt::Horizontal, SSSplitter1);
    m_liveSplitter->setObjectName(QStringLiteral("splLivePreview"));
    m_liveSplitter->setChildrenCollapsible(false);
    SSSplitter1->addWidget(m_liveSplitter);

    SSTab = new QTabWidget(m_liveSplitter);
    SSTab->setObjectName(QStringLiteral("SSTab"));
    SSTab->setDocumentMode(true);
    m_liveSplitter->addWidget(SSTab);

    // The problems of this window, under the editor; shown with the first one.
    m_problems = new ProblemsPane(SSSplitter1);
    SSSplitter1->addWidget(m_problems);
    SSSplitter1->setStretchFactor(0, 4);
    SSSplitter1->setStretchFactor(1, 1);
    m_problems->hide();
    connect(m_problems, &ProblemsPane::firstProblem, this, [this] { setProblemsVisible(true); });
    connect(m_problems, &ProblemsPane::activated, this, &DocumentWindow::goToProblem);
    // The stylesheet's parameters, under the editor when asked for.
    m_parameters = new ParametersPanel(SSSplitter1);
    SSSplitter1->addWidget(m_parameters);
    SSSplitter1->setStretchFactor(2, 1);
    m_parameters->hide();
    connect(m_parameters, &ParametersPanel::valuesChanged, this, [this] {
        m_model->setParameters(m_parameters->values());
        storeParameters();
        scheduleLivePreview();
    });

    // Usages, the templates of a mode, or a rename's changes, under the editor when asked for.
    m_usages = new UsagesPane(SSSplitter1);
    SSSplitter1->addWidget(m_usages);
    SSSplitter1->setStretchFactor(3, 1);
    m_usages->hide();
    // The trace and the profile of the last live run, under the editor when asked for.
    for (RunReportPane **pane : {&m_tracePane, &m_profilePane}) {
        *pane = new RunReportPane(pane == &m_tracePane ? RunReportPane::Kind::Trace : RunReportPane::Kind::Profile, SSSplitter1);
        SSSplitter1->addWidget(*pane);
        (*pane)->hide();
        RunReportPane *self = *pane;
        connect(self, &RunReportPane::templateActivated, this, &DocumentWindow::goToTemplate);
        connect(self, &RunReportPane::sourceActivated, this, &DocumentWindow::goToSourceNode);
        connect(self, &RunReportPane::closeRequested, this, [this, self] { setRunReportVisible(self, false); });
    }

    auto page = [this](const QString &name) {
        auto *w = new QWidget(SSTab);
        w->setObjectName(name);
        auto *l = new QVBoxLayout(w);
        l->setContentsMargins(2, 2, 2, 2);
        return w;
    };

    QWidget *xsltPage = page(QStringLiteral("pageXSLT"));
    // The outline, when shown, beside the editor.
    m_outlineSplitter = new QSplitter(Qt::Horizontal, xsltPage);
    m_outlineSplitter->setObjectName(QStringLiteral("splOutline"));
    m_outlineSplitter->setChildrenCollapsible(false);
    m_outline = new OutlinePane(m_outlineSplitter);
    m_outline->hide();
    m_outlineSplitter->addWidget(m_outline);
    txtXSLT = new SyntaxBox(m_outlineSplitter);
    txtXSLT->setObjectName(QStringLiteral("txtXSLT"));
    txtXSLT->setPropnamebold(true);
    txtXSLT->setCommentitalic(false);
    // The template is design-time content: it is in place before any change is watched.
    txtXSLT->setText(stylesheetTemplate());
    m_outlineSplitter->addWidget(txtXSLT);
    m_outlineSplitter->setStretchFactor(0, 0);
    m_outlineSplitter->setStretchFactor(1, 1);
    xsltPage->layout()->addWidget(m_outlineSplitter);
    tagList = new TagCompletionList(xsltPage);
    tagList->setObjectName(QStringLiteral("ucVBIntelli"));
    tagList->setEditor(txtXSLT);
    SSTab->addTab(xsltPage, QStringLiteral("XSLT"));

    QWidget *xmlPage = page(QStringLiteral("pageXML"));
    m_xpathBar = new XPathBar({m_windowId, [this] { return txtXML->utf8Text(); }, [this] { return sourceBase(); },
                               [this] { return stylesheetNamespaces(); }, [this] { return stylesheetProcessor(); }},
                              xmlPage);
    m_xpathBar->hide();
    xmlPage->layout()->addWidget(m_xpathBar);
    connect(m_xpathBar, &XPathBar::closed, this, [this] { txtXML->setFocus(); });
    // The results and the pane share the page in a split the user moves; where it was left
    // is where the next list opens.
    m_xpathSplitter = new QSplitter(Qt::Vertical, xmlPage);
    m_xpathSplitter->setObjectName(QStringLiteral("splXPath"));
    m_xpathSplitter->setChildrenCollapsible(false);
    m_xpathSplitter->addWidget(m_xpathBar->results());
    txtXML = new SyntaxBox(m_xpathSplitter);
    txtXML->setObjectName(QStringLiteral("txtXML"));
    // The node's start tag, or its line when the tag's place is not known.
    connect(m_xpathBar, &XPathBar::nodeChosen, txtXML, &SyntaxBox::selectSpan);
    txtXML->setPropnamebold(true);
    m_xpathSplitter->addWidget(txtXML);
    m_xpathSplitter->setStretchFactor(0, 0);
    m_xpathSplitter->setStretchFactor(1, 1);
    static_cast<QVBoxLayout *>(xmlPage->layout())->addWidget(m_xpathSplitter, 1);
    connect(m_xpathBar, &XPathBar::evaluated, this, &DocumentWindow::placeXPathResults);
    connect(m_xpathSplitter, &QSplitter::splitterMoved, this, &DocumentWindow::rememberXPathSplit);
    SSTab->addTab(xmlPage, QStringLiteral("XML"));

    QWidget *previewPage = page(QStringLiteral("pagePreview"));
    WebBrowser = new QWebEngineView(previewPage);
    // Files dropped here are opened by the main window, not shown in the preview.
    WebBrowser->setAcceptDrops(false);
    WebBrowser->setObjectName(QStringLiteral("WebBrowser"));
    // Shown, the view would make a page of its own; ours must be in place first.
    WebBrowser->installEventFilter(this);
    previewPage->layout()->addWidget(WebBrowser);
    SSTab->addTab(previewPage, QStringLiteral("Preview"));

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(false);
    auto *panel1 = new QWidget(StatusBar);
    panel1->setObjectName(QStringLiteral("panel1"));
    auto *p1 = new QHBoxLayout(panel1);
    p1->setContentsMargins(4, 0, 4, 0);
    p1->setSpacing(4);
    m_panel1Icon = new QLabel(panel1);
    m_panel1Icon->setFixedSize(16, 16);
    m_panel1Text = new QLabel(panel1);
    m_panel1Text->setTextFormat(Qt::PlainText);
    p1->addWidget(m_panel1Icon);
    p1->addWidget(m_panel1Text, 1);
    m_panel2 = new QLabel(StatusBar);
    m_panel2->setObjectName(QStringLiteral("panel2"));
    m_panel2->setContentsMargins(4, 0, 4, 0);
    m_panel2->setMinimumWidth(140);
    // The processor of the last preview, with its version.
    m_panelEngine = new QLabel(StatusBar);
    m_panelEngine->setObjectName(QStringLiteral("panelEngine"));
    m_panelEngine->setContentsMargins(4, 0, 4, 0);
    StatusBar->addWidget(panel1, 1);
    StatusBar->addWidget(m_panel2);
    StatusBar->addWidget(m_panelEngine);
    m_stopWaiting = new QPushButton(QStringLiteral("Stop Waiting"), StatusBar);
    m_stopWaiting->setObjectName(QStringLiteral("cmdStopWaiting"));
    m_stopWaiting->setToolTip(QStringLiteral("Stop the load or preview this window waits for, and close the window"));
    m_stopWaiting->hide();
    StatusBar->addPermanentWidget(m_stopWaiting);
    connect(m_stopWaiting, &QPushButton::clicked, this, &DocumentWindow::stopWaitingAndClose);
    StatusBar->installEventFilter(this);
    panel1->installEventFilter(this);
    m_panel1Text->installEventFilter(this);
    m_panel1Icon->installEventFilter(this);
    m_panel2->installEventFilter(this);
    layout->addWidget(StatusBar);

    connect(txtXSLT, &SyntaxBox::changed, this, &DocumentWindow::stylesheetChanged);

    connect(txtXML, &SyntaxBox::changed, this, [this] {
        m_model->textEdited(StylesheetDocument::Text::Source);
        m_xpathBar->sourceChanged();
        setEditState();
        scheduleLivePreview();
    });
    for (SyntaxBox *box : {txtXSLT, txtXML})
        connect(box, &SyntaxBox::urlsDropped, this, [this](const QList<QUrl> &urls) {
            QStringList sources;
            for (const QUrl &url : urls)
                sources << (url.isLocalFile() ? url.toLocalFile() : url.toString());
            emit openRequested(sources);
        });
    m_assistXSLT = new EditorAssist(txtXSLT);
    m_assistXML = new EditorAssist(txtXML);
    buildInsight();
    connectCompletion();
    for (SyntaxBox *box : {txtXSLT, txtXML}) {
        connect(box, &SyntaxBox::focusReceived, this, [this] { setEditState(); });
        connect(box, &SyntaxBox::keyReleased, this, [this](int, int) { setEditState(); });
        connect(box, &SyntaxBox::mouseReleased, this, [this](int, int, int, int) { setEditState(); });
        connect(box, &SyntaxBox::caretMoved, this, [this, box] { showCaretPosition(box); });
    }
    connect(txtXSLT, &SyntaxBox::characterTyped, this, &DocumentWindow::completeTyping);
    connect(tagList, &TagCompletionList::itemChosen, this, [this](const QString &name) {
        if (tagList->mode() == TagCompletionList::Mode::Attributes) {
            // The space is in the text: the attribute with its quotes, the caret between them.
            txtXSLT->replaceSelection(name + QStringLiteral("=\"\""));
            txtXSLT->setSelectionStart(txtXSLT->selectionStart() - 1);
        } else {
            // The "<" is already in the text: complete the start tag and put the end tag behind it.
            txtXSLT->replaceSelection(name + QStringLiteral("></") + name + QLatin1Char('>'));
        }
        txtXSLT->colorizeAll();
        txtXSLT->raise();
    });
    connect(tagList, &TagCompletionList::listClosed, this, [this] { txtXSLT->raise(); });
    // Ctrl going down or up anywhere in the window tells the main window whether a Ctrl+V now
    // would already be pasted by the editor itself.
    for (QWidget *w : {static_cast<QWidget *>(this), static_cast<QWidget *>(txtXSLT), static_cast<QWidget *>(txtXML)})
        w->installEventFilter(this);
    connect(SSTab, &QTabWidget::currentChanged, this, &DocumentWindow::tabChanged);
}

void DocumentWindow::loadSequence()
{
    followStylesheetVersion();
    loadEditorOptions();
    showCaretPosition(txtXSLT);
    txtXML->setAutoColorize(true);
    txtXSLT->setAutoColorize(true);
}

void DocumentWindow::loadEditorOptions()
{
    using namespace Options;
    try {
        const QString name = SettingsStore::readOption(FontName, txtXSLT->fontName());
        const QString size = SettingsStore::readOption(FontSize, txtXSLT->fontSize());
        txtXSLT->setFontName(name);
        txtXSLT->setFontSize(size);
        txtXML->setFontName(name);
        txtXML->setFontSize(size);
        m_model->setAutoParse(SettingsConvert::toBoolean(SettingsStore::readOption(AutoParse), AutoParse.key()));
        setRunPreviewScripts(SettingsConvert::toBoolean(SettingsStore::readOption(RunPreviewScripts), RunPreviewScripts.key()));
        m_model->setKeepAsWritten(SettingsConvert::toBoolean(SettingsStore::readOption(KeepAsWritten), KeepAsWritten.key()));
        setProcessorChoice(SettingsStore::readOption(XsltProcessor));
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()), QStringLiteral("Error Loading Options"));
    }
}

void DocumentWindow::setRunPreviewScripts(bool on)
{
    m_runPreviewScripts = on;
    if (m_previewProfile)
        PreviewGuard::applySettings(m_previewProfile->settings(), on);
    if (m_livePane)
        m_livePane->setRunScripts(on);
}

void DocumentWindow::ensurePreviewPage()
{
    if (m_previewProfile)
        return;
    // The preview shows what a stylesheet made, which may come from anyone.
    const PreviewGuard::Profile guarded = PreviewGuard::createProfile(this, m_runPreviewScripts);
    m_previewProfile = guarded.profile;
    m_previewGuard = guarded.guard;
    WebBrowser->setPage(new PreviewPage(m_previewProfile, m_previewGuard, WebBrowser));
}

void DocumentWindow::completeTyping(int &code)
{
    // Inside an attribute value: the names that fit there, once the character is in the text.
    if (code == '$' || code == '@' || code == '/' || code == ':' || code == '"' || code == '\'' || code == ' ' || code == '_'
        || (code > 0 && code < 0x110000 && QChar::isLetter(char32_t(code)))) {
        const int typed = code;
        QTimer::singleShot(0, this, [this, typed] { offerCompletion(typed); });
    }
    if (code == '<') {
        tagList->showTagList();
    } else if (code == ' ') {
        // After an element's name, or one of its attributes: its other attributes.
        constexpr long kWindow = 64 * 1024;
        if (const auto tag = xmlcontext::startTagAtEnd(txtXSLT->textBeforeCaret(kWindow)))
            tagList->showAttributeList(tag->name, tag->attributes);
    } else if (code == '/') {
        // "</" closes the innermost open element.
        const long caret = txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETCURRENTPOS);
        if (caret < 1 || txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETCHARAT, caret - 1) != '<')
            return;
        const QString open = xmlcontext::innermostOpenElement(txtXSLT->textBeforeCaret(LONG_MAX).chopped(1));
        if (open.isEmpty())
            return;
        code = 0;
        txtXSLT->replaceSelection(QLatin1Char('/') + open + QLatin1Char('>'));
    }
}

void DocumentWindow::setupNewDoc()
{
    txtXSLT->colorizeAll();
    txtXSLT->clearUndoHistory();
}

void DocumentWindow::setCaption(const QString &caption)
{
    setWindowTitle(caption);
}

QString DocumentWindow::panelText(int index) const
{
    if (index == 1)
        return m_panel1Text->text();
    if (index == 2)
        return m_panel2->text();
    if (index == 3)
        return m_panelEngine->text();
    return QString();
}

bool DocumentWindow::panelHasIcon() const
{
    return !m_panel1Icon->pixmap().isNull();
}

void DocumentWindow::connectModel()
{
    using Text = StylesheetDocument::Text;
    connect(m_model, &StylesheetDocument::changedStateChanged, this, [this](Text text, bool changed) {
        if (text == Text::Stylesheet) {
            QString caption = windowTitle();
            if (caption.endsWith(QLatin1Char('*')))
                caption.chop(1);
            setCaption(changed ? caption + QLatin1Char('*') : caption);
        } else {
            showSourceTab();
        }
    });
    connect(m_model, &StylesheetDocument::fileNameChanged, this, [this](Text text) {
        if (text == Text::Source)
            showSourceTab();
    });
    connect(m_model, &StylesheetDocument::verdictChanged, this, [this](Text text) {
        if (text == Text::Stylesheet) {
            showParseResult();
            m_insight->verdictKnown();
        } else {
            showSourceParseResult();
        }
    });
    connect(m_model, &StylesheetDocument::compileChecked, this, [this] {
        showEngineProblems(1, ProblemsPane::Source::Compilation, m_model->compileDiagnostics());
        if (m_insight->isCurrent())
            showInsight();
    });
    connect(m_model, &StylesheetDocument::liveAnswered, this, &DocumentWindow::livePreviewAnswered);
    connect(m_model, &StylesheetDocument::processorHintChanged, this, [this] {
        QList<Diagnostic> hint;
        if (!m_model->processorHint().isEmpty()) {
            Diagnostic d;
            d.severity = Diagnostic::Severity::Information;
            d.origin = Diagnostic::Origin::Compilation;
            d.message = m_model->processorHint();
            d.file = stylesheetName();
            hint << d;
        }
        m_problems->setProblems(ProblemsPane::Source::Hint, hint);
    });
    connect(m_model, &StylesheetDocument::recoveryCopyFailed, this, [this](const QString &error) {
        StatusBar->showMessage(QStringLiteral("No recovery copy could be kept: %1").arg(error), 10000);
    });
}

void DocumentWindow::stylesheetChanged()
{
    m_insight->textChanged();
    m_model->textEdited(StylesheetDocument::Text::Stylesheet);
    setEditState();
    scheduleLivePreview();
}

void DocumentWindow::showSourceTab()
{
    QString name;
    if (!m_model->fileName(StylesheetDocument::Text::Source).isEmpty()) {
        name = isUrl(m_model->fileName(StylesheetDocument::Text::Source)) ? QUrl(m_model->fileName(StylesheetDocument::Text::Source)).fileName() : QFileInfo(m_model->fileName(StylesheetDocument::Text::Source)).fileName();
        if (name.isEmpty())
            name = QUrl(m_model->fileName(StylesheetDocument::Text::Source)).host();
    }
    QString text = QStringLiteral("XML");
    if (!name.isEmpty())
        text += QStringLiteral(" - ") + name;
    if (m_model->isChanged(StylesheetDocument::Text::Source))
        text += QLatin1Char('*');
    // A "&" in a file name is shown, not taken for a shortcut.
    SSTab->setTabText(1, text.replace(QLatin1Char('&'), QStringLiteral("&&")));
    SSTab->setTabToolTip(1, m_model->fileName(StylesheetDocument::Text::Source));
}

void DocumentWindow::setLivePreview(bool on)
{
    if (on && !m_livePane) {
        m_livePane = new LivePreviewPane(m_runPreviewScripts, m_liveSplitter);
        m_liveSplitter->addWidget(m_livePane);
        m_liveSplitter->setSizes({1, 1});
        connect(m_livePane, &LivePreviewPane::rendered, this, [this] {
            qCDebug(lcLive) << "rendered" << (m_liveAsked.isValid() ? m_liveAsked.elapsed() : -1) << "ms after asking,"
                            << (m_liveChanged.isValid() ? m_liveChanged.elapsed() : -1) << "ms after the change";
        });
        connect(m_livePane, &LivePreviewPane::stopRequested, this, [this] {
            EngineClient::shared().stop(m_windowId, engine::Channel::Live);
        });
        connect(m_livePane, &LivePreviewPane::inspectToggled, this, [this] {
            updateLiveTracing();
            submitLivePreview();
        });
        connect(m_livePane, &LivePreviewPane::nodeInspected, this, &DocumentWindow::inspectNode);
    }
    if (!m_livePane)
        return;
    m_livePane->setVisible(on);
    if (on) {
        submitLivePreview();
    } else {
        m_liveTimer->stop();
        EngineClient::shared().stop(m_windowId, engine::Channel::Live);
    }
}

int DocumentWindow::livePauseFor(qint64 lastRunMs, bool interruptible)
{
    const int longest = interruptible ? kLivePauseInterruptibleMs : kLivePauseMs;
    if (lastRunMs < 0)
        return longest;
    return int(std::clamp<qint64>(lastRunMs, kLivePauseMinMs, longest));
}

bool DocumentWindow::livePreview() const
{
    return m_livePane && !m_livePane->isHidden();
}

void DocumentWindow::scheduleLivePreview()
{
    if (livePreview() && !m_model->isLoading()) {
        m_liveChanged.start();
        m_liveTimer->start(livePause());
    }
}

void DocumentWindow::submitLivePreview()
{
    m_liveTimer->stop();
    // The live pane shows the well-formedness errors the pipeline's own parse finds in its
    // strip, never in a box.
    if (livePreview()) {
        m_liveAsked.start();
        m_model->requestLivePreview();
        qCDebug(lcLive) << "asked" << (m_liveChanged.isValid() ? m_liveChanged.elapsed() : -1) << "ms after the change, handed over in"
                        << m_liveAsked.elapsed() << "ms";
    }
}

void DocumentWindow::engineStarted(qint64 window, engine::Channel channel)
{
    if (window == m_windowId && channel == engine::Channel::Live && m_livePane)
        m_livePane->busyStrip()->begin(QStringLiteral("Transforming"));
    if (window == m_windowId)
        updateEscape();
}

void DocumentWindow::livePreviewAnswered(const engine::Response &response)
{
    if (!m_livePane)
        return;
    if (!EngineClient::shared().isBusy(m_windowId, engine::Channel::Live))
        m_livePane->busyStrip()->end();
    if (!m_model->isLatestLive(response))
        return;
    if (m_liveAsked.isValid() && !response.superseded() && response.error != engine::ErrorKind::Stopped) {
        m_lastLiveMs = m_liveAsked.elapsed();
        m_lastLiveInterruptible = response.processor == engine::Processor::Libxslt;
    }
    qCDebug(lcLive) << "answered" << m_liveAsked.elapsed() << "ms after asking," << response.result.page.size() << "bytes";
    if (!response.engine.isEmpty())
        m_panelEngine->setText(response.engine);
    if (!engine::isParseError(response.error))
        showEngineProblems(2, ProblemsPane::Source::Transformation, response.result.diagnostics);
    if (response.result.traceData.isEmpty()) {
        showLiveResult(response.result, QByteArray());
        return;
    }
    // A map of a large page takes a while to read and to mark the page with: beside the window,
    // then shown if no newer answer has been asked for meanwhile.
    const QPointer<DocumentWindow> self(this);
    QThreadPool::globalInstance()->start([self, response] {
        preview::Result result = response.result;
        auto report = std::make_shared<const tracing::Report>(tracing::Report::fromCbor(result.traceData));
        result.traceData = QCborMap();
        const bool markup = result.method == QLatin1String("html") || result.method == QLatin1String("xhtml");
        const QByteArray annotated = markup && !report->nodes.isEmpty() ? tracing::annotatedPage(result.page, *report) : QByteArray();
        result.trace = std::move(report);
        QMetaObject::invokeMethod(qApp, [self, response, result, annotated] {
            if (self && self->m_livePane && self->m_model->isLatestLive(response))
                self->showLiveResult(result, annotated);
        });
    });
}

void DocumentWindow::showLiveResult(const preview::Result &result, const QByteArray &annotated)
{
    QElapsedTimer shown;
    shown.start();
    m_livePane->showResult(result, {m_model->stylesheetBase(), m_model->fileName(StylesheetDocument::Text::Source)}, annotated);
    qCDebug(lcLive) << "handed to the view in" << shown.elapsed() << "ms";
    if (result.ok) {
        if (traceVisible())
            m_tracePane->setReport(result.trace);
        if (profileVisible())
            m_profilePane->setReport(result.trace);
        if (m_showOutputPending) {
            m_showOutputPending = false;
            showOutputNow();
        }
    }
}

namespace {
// The channels of work the user waits for or watches: Stop and Esc end them.
constexpr engine::Channel kUserChannels[] = {engine::Channel::Tab, engine::Channel::Browser, engine::Channel::Live,
                                             engine::Channel::Validate, engine::Channel::Format};
} // namespace

bool DocumentWindow::transformationRunning() const
{
    for (const engine::Channel channel : kUserChannels)
        if (EngineClient::shared().isBusy(m_windowId, channel))
            return true;
    return false;
}

void DocumentWindow::updateEscape()
{
    m_escape->setEnabled(transformationRunning());
}

void DocumentWindow::stopTransformation()
{
    // Waiting work goes too: a preview waiting for the engine must not wait on after Stop.
    for (const engine::Channel channel : kUserChannels)
        EngineClient::shared().stop(m_windowId, channel);
}

engine::Response DocumentWindow::runInWorker(engine::Channel channel, engine::Request request, const QString &what)
{
    std::optional<engine::Response> answer;
    QEventLoop wait;
    request.window = m_windowId;
    request.generation = ++m_previewGeneration;
    // The answer may come before submit returns (no worker could be started).
    EngineClient::shared().submit(std::move(request), channel, &wait, [&](const engine::Response &r) {
        answer = r;
        wait.quit();
    });
    if (!answer) {
        m_busyStrip->begin(what);
        updateEscape();
        wait.exec();
        m_busyStrip->end();
    }
    updateEscape();
    return answer ? *answer : engine::Response::failed(engine::Request(), engine::ErrorKind::Superseded);
}

preview::Result DocumentWindow::runInEngine(engine::Channel channel, preview::Target target)
{
    const engine::Response response = runInWorker(channel, m_model->transformRequest(target), QStringLiteral("Transforming"));
    if (!response.engine.isEmpty())
        m_panelEngine->setText(response.engine);
    preview::Result result = response.result;
    if (response.superseded())
        result.text.clear();
    else if (!engine::isParseError(result.error))
        showEngineProblems(2, ProblemsPane::Source::Transformation, result.diagnostics);
    return result;
}

void DocumentWindow::showEngineProblems(int kind, ProblemsPane::Source source, const QList<Diagnostic> &problems)
{
    // Those about the stylesheet itself name it (or nothing); the rest are about files it
    // included or read.
    QList<Diagnostic> listed;
    QList<Diagnostic> here;
    for (Diagnostic d : problems) {
        // A run that stops at the compilation repeats what the compile check lists already.
        if (source == ProblemsPane::Source::Transformation && d.origin == Diagnostic::Origin::Compilation)
            continue;
        if (d.file.isEmpty() || isStylesheetFile(d.file)) {
            d.file = stylesheetName();
            here << d;
        }
        listed << d;
    }
    m_assistXSLT->setMarks(kind, marksOf(here));
    m_problems->setProblems(source, listed);
}

QString DocumentWindow::stylesheetName() const
{
    return m_model->fileName(StylesheetDocument::Text::Stylesheet).isEmpty() ? newDocumentCaption() : m_model->fileName(StylesheetDocument::Text::Stylesheet);
}

bool DocumentWindow::isStylesheetFile(const QString &file) const
{
    if (file == stylesheetName())
        return true;
    const QString path = pathOf(file);
    const QString base = stylesheetBase();
    return path == base || QFileInfo(path) == QFileInfo(base) || file == QUrl::fromLocalFile(QFileInfo(base).absoluteFilePath()).toString();
}

bool DocumentWindow::isSourceFile(const QString &file) const
{
    if (file == QLatin1String("XML") && m_model->fileName(StylesheetDocument::Text::Source).isEmpty())
        return true;
    const QString path = pathOf(file);
    const QString base = sourceBase();
    return path == base || QFileInfo(path) == QFileInfo(base);
}

void DocumentWindow::showSourceParseResult()
{
    const XmlDocument::ParseError error = m_model->parseError(StylesheetDocument::Text::Source);
    const QList<Diagnostic> problems = problemsOf(error, m_model->fileName(StylesheetDocument::Text::Source).isEmpty() ? QStringLiteral("XML") : m_model->fileName(StylesheetDocument::Text::Source));
    m_assistXML->setMarks(0, marksOf(problems));
    m_problems->setProblems(ProblemsPane::Source::XmlSource, problems);
}

void DocumentWindow::goToProblem(const Diagnostic &problem)
{
    if (problem.file.isEmpty() || isStylesheetFile(problem.file)) {
        SSTab->setCurrentIndex(0);
        m_assistXSLT->goToLine(problem.line);
    } else if (isSourceFile(problem.file)) {
        SSTab->setCurrentIndex(1);
        m_assistXML->goToLine(problem.line);
    } else {
        // A file the stylesheet included or read: it opens read-only in a window of its own.
        emit openReferenced(pathOf(problem.file), problem.line);
    }
}

void DocumentWindow::setLineNumbers(bool on)
{
    m_assistXSLT->setLineNumbers(on);
    m_assistXML->setLineNumbers(on);
}

void DocumentWindow::goToLine(int line)
{
    if (SyntaxBox *ctl = currentEditor())
        (ctl == txtXSLT ? m_assistXSLT : m_assistXML)->goToLine(line);
}

void DocumentWindow::setProblemsVisible(bool on)
{
    m_problems->setVisible(on);
    emit problemsVisibilityChanged(on);
}

bool DocumentWindow::problemsVisible() const
{
    return !m_problems->isHidden();
}

EditorAssist *DocumentWindow::assist(SyntaxBox *pane) const
{
    return pane == txtXML ? m_assistXML : m_assistXSLT;
}

void DocumentWindow::restoreUnsaved(const RecoveryEntry &kept)
{
    const QString sourceFile = m_model->restore(kept);
    fromUrl = isUrl(kept.fileName);
    setCaption(m_model->title() + (kept.changed ? QStringLiteral("*") : QString()));
    if (!sourceFile.isEmpty())
        loadXMLFile(sourceFile);
    SSTab->setCurrentIndex(kept.changed ? 0 : 1);
    // Kept at once under this program's own session: a second crash must not lose it either.
    m_model->writeRecoveryCopy();
}

void DocumentWindow::showParseResult()
{
    if (m_model->verdict(StylesheetDocument::Text::Stylesheet) == StylesheetDocument::Verdict::Checking) {
        m_panel1Icon->setPixmap(QPixmap());
        m_panel1Text->setText(QStringLiteral("Checking\u2026"));
        return;
    }
    const XmlDocument::ParseError error = m_model->parseError(StylesheetDocument::Text::Stylesheet);
    const QList<Diagnostic> problems = problemsOf(error, stylesheetName());
    m_assistXSLT->setMarks(0, marksOf(problems));
    m_problems->setProblems(ProblemsPane::Source::Stylesheet, problems);
    if (error.code == 0 && parametersVisible())
        refreshDeclaredParameters();
    if (error.code == 0)
        followStylesheetVersion();
    if (error.code != 0) {
        m_panel1Icon->setPixmap(QIcon(QStringLiteral(":/icons/parse-error.svg")).pixmap(16, 16));
        m_panel1Text->setText(error.reason.section(QLatin1Char('\n'), 0, 0));
    } else {
        m_panel1Icon->setPixmap(QPixmap());
        m_panel1Text->clear();
    }
    if (m_parseInfoWanted) {
        m_parseInfoWanted = false;
        showParseInfo();
    }
}

void DocumentWindow::showParseInfo()
{
    if (!m_model->autoParse())
        return;
    // Asked while the latest text is still being checked: the report follows with the verdict.
    if ((m_model->verdict(StylesheetDocument::Text::Stylesheet) == StylesheetDocument::Verdict::Checking)) {
        m_parseInfoWanted = true;
        return;
    }
    const XmlDocument::ParseError err = m_model->parseError(StylesheetDocument::Text::Stylesheet);
    if (err.code == 0)
        return;
    QString reason = err.reason;
    if (!reason.endsWith(QLatin1Char('\n')))
        reason += QLatin1Char('\n');
    const QString text = QStringLiteral("Parse Error in Document") + QLatin1Char('\n') + QStringLiteral("Error: ") + reason
        + QStringLiteral("Line: ") + QString::number(err.line) + QLatin1Char('\n') + QStringLiteral("Position: ")
        + QString::number(err.linepos) + QLatin1Char('\n') + QStringLiteral("Source: ") + err.srcText;
    dialogs().messageBox(this, text, QMessageBox::Information, QMessageBox::Ok, QStringLiteral("Extended Parse Info"));
}

void DocumentWindow::showCaretPosition(SyntaxBox *ctl)
{
    const int line = ctl->currentLine() + 1;
    const int column = ctl->currentColumn();
    m_panel2->setText(QStringLiteral("Line: %1, Col: %2").arg(line).arg(column));
}

void DocumentWindow::setEditState(std::optional<bool> all)
{
    EditState state;
    if (all) {
        const bool on = *all;
        state = {on, on, on, on, on, on, on, on};
    } else {
        SyntaxBox *ctl = nullptr;
        switch (SSTab->currentIndex()) {
        case 0: ctl = txtXSLT; break;
        case 1: ctl = txtXML; break;
        default: return; // the preview keeps whatever state entering it set
        }
        state = {ctl->canCopy(), ctl->canCut(), ctl->canPaste(), ctl->canUndo(), ctl->canRedo(), true, true, true};
    }
    emit editStateChanged(state);
}

void DocumentWindow::tabChanged(int index)
{
    const int previous = m_previousTab;
    m_previousTab = index;
    switch (index) {
    case 0:
        txtXSLT->setSelectionLength(0);
        setEditState();
        txtXSLT->raise();
        showCaretPosition(txtXSLT);
        break;
    case 1:
        setEditState();
        txtXML->raise();
        showCaretPosition(txtXML);
        break;
    case 2:
        enterPreview(previous);
        break;
    default: break;
    }
}

void DocumentWindow::enterPreview(int previousTab)
{
    QString stem = getTempFileStem();
    BusyCursor busy;
    BusyScope scope(m_busy, [this] { busyEnded(); });
    setEditState(false);
    const bool built = buildPreviewFile(stem);
    if (built) {
        // The page is read while events are processed; the user may switch tabs meanwhile and
        // that tab's handling runs to its end inside this wait.
        QEventLoop wait;
        bool finished = false;
        const QMetaObject::Connection done = connect(WebBrowser, &QWebEngineView::loadFinished, &wait, [&] {
            finished = true;
            wait.quit();
        });
        QTimer::singleShot(kPreviewLoadLimitMs, &wait, &QEventLoop::quit);
        ensurePreviewPage();
        m_previewGuard->setScope({m_model->stylesheetBase(), m_model->fileName(StylesheetDocument::Text::Source)}, stem);
        WebBrowser->load(QUrl::fromLocalFile(stem));
        if (!finished)
            wait.exec();
        disconnect(done);
        m_panel2->clear();
    } else if (SSTab->currentIndex() == 2) {
        SSTab->setCurrentIndex(previousTab);
    }
    if (built)
        QFile::remove(stem);
}


QString DocumentWindow::stylesheetBase() const
{
    return m_model->effectiveBase(StylesheetDocument::Text::Stylesheet);
}

QString DocumentWindow::sourceBase() const
{
    return m_model->effectiveBase(StylesheetDocument::Text::Source);
}

preview::Input DocumentWindow::previewInput() const
{
    return m_model->previewInput();
}

void DocumentWindow::reportPreviewFailure(const preview::Result &result)
{
    // Stopped by the user: a note is enough. Otherwise the processor's report, if it gave one.
    if (result.error == engine::ErrorKind::Stopped)
        StatusBar->showMessage(result.text, 5000);
    else if (!result.text.isEmpty())
        showError(result.text, result.title());
}

bool DocumentWindow::buildPreviewFile(QString &stem)
{
    if (stem.isEmpty()) {
        showError(QStringLiteral("No temporary file name could be made for the preview."), QStringLiteral("Error"));
        return false;
    }
    const preview::Result result = runInEngine(engine::Channel::Tab, preview::Target::Tab);
    if (!result.ok) {
        reportPreviewFailure(result);
        return false;
    }
    QString error;
    const QByteArray page = m_runPreviewScripts ? PreviewGuard::guardedPage(result.page, false) : result.page;
    if (!FileIO::writeNewFile(stem + QStringLiteral("xml"), page, &error)) {
        showError(error, QStringLiteral("Error"));
        return false;
    }
    stem += QStringLiteral("xml");
    return true;
}

bool DocumentWindow::previewInBrowser()
{
    BusyCursor busy;
    BusyScope scope(m_busy, [this] { busyEnded(); });
    const preview::Result result = runInEngine(engine::Channel::Browser, preview::Target::Browser);
    if (!result.ok) {
        reportPreviewFailure(result);
        return false;
    }
    // The page goes to the browser byte for byte, so none of the Preview tab's restrictions
    // can be put into it. What can be done is keep other users of the computer from reading
    // it: a folder only this user can open, a file only this user can read. Relative
    // references in the page then find nothing but the page itself. The browser itself treats
    // a file: page as an origin of its own (Chromium and Firefox alike), so the page's
    // scripts cannot read other local files either.
    const QString folder = makePrivateTempFolder();
    if (folder.isEmpty()) {
        showError(QStringLiteral("No private temporary folder could be made for the browser preview."), QStringLiteral("Error"));
        return false;
    }
    const QString file = folder + QStringLiteral("/preview.htm");
    QString error;
    if (!FileIO::writeNewFile(file, result.page, &error)) {
        QDir(folder).removeRecursively();
        showError(error, QStringLiteral("Error"));
        return false;
    }
    // The browser reads the file in its own time, so it stays until the program ends.
    keepTempFileUntilExit(folder);
    if (!browserLauncher().openFile(file, &error)) {
        showError(error, QStringLiteral("Error"));
        return false;
    }
    return true;
}

bool DocumentWindow::readDocument(const QString &source, StylesheetDocument::Loaded *loaded, QString *error, bool *cancelled)
{
    // The bytes: from the file, or from the network with the fetcher's progress and Cancel.
    QByteArray bytes;
    QString base;
    if (!isUrl(source)) {
        QString local = source;
        if (source.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
            local = QUrl(source).toLocalFile();
        base = QFileInfo(local).absoluteFilePath();
        bool read = false;
        runBeside(QStringLiteral("Loading"), [&] { read = FileIO::readRegularFile(local, &bytes, error); });
        if (!read) {
            *error += QLatin1Char('\n');
            return false;
        }
    } else {
        FetchProgress progress(source, this);
        m_fetch = &progress;
        const UrlFetchResult fetched = fetchUrl(source, progress.observer());
        m_fetch = nullptr;
        if (!fetched.ok) {
            *error = fetched.error;
            *cancelled = progress.cancelled();
            return false;
        }
        bytes = fetched.data;
        base = fetched.finalUrl.isEmpty() ? source : fetched.finalUrl;
    }
    bool ok = false;
    runBeside(QStringLiteral("Loading"), [&] {
        ok = StylesheetDocument::decode(bytes, source, base, m_model->keepAsWritten(), loaded, error);
    });
    return ok;
}

void DocumentWindow::runBeside(const QString &what, const std::function<void()> &work)
{
    QEventLoop wait;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
        QMetaObject::invokeMethod(&wait, &QEventLoop::quit, Qt::QueuedConnection);
    });
    if (!done) {
        m_busyStrip->begin(what, false);
        wait.exec();
        m_busyStrip->end();
    }
    worker.join();
}

bool DocumentWindow::refuseWhileBusy()
{
    if (!isBusy())
        return false;
    StatusBar->showMessage(QStringLiteral("This window is still loading or previewing a document; "
                                          "try again when it has finished."),
                           kStatusNoteMs);
    return true;
}

void DocumentWindow::stopWaitingAndClose()
{
    m_closeWhenIdle = true;
    m_stopWaiting->setEnabled(false);
    if (m_fetch)
        m_fetch->cancel();
    EngineClient::shared().stop(m_windowId);
}

void DocumentWindow::busyEnded()
{
    m_stopWaiting->hide();
    m_stopWaiting->setEnabled(true);
    if (!m_closeWhenIdle)
        return;
    m_closeWhenIdle = false;
    // Once the waiting code has returned: the close asks about unsaved work as any close does.
    QTimer::singleShot(0, this, [this] {
        if (QWidget *frame = parentWidget())
            frame->close();
    });
}

bool DocumentWindow::loadInto(StylesheetDocument::Text pane, const QString &file, const QString &errorTitle,
                              const QString &fileName)
{
    if (refuseWhileBusy())
        return false;
    BusyCursor busy;
    BusyScope scope(m_busy, [this] { busyEnded(); });
    bool result = false;
    try {
        StylesheetDocument::Loaded text;
        QString error;
        bool cancelled = false;
        // The user may go on typing while a document loads; only the moment the loaded text
        // goes in is not an edit.
        if (readDocument(file, &text, &error, &cancelled)) {
            m_model->putLoaded(pane, text, fileName.isEmpty() ? text.base : fileName);
            result = true;
            if (text.format.fallback)
                StatusBar->showMessage(QStringLiteral("The file is not valid %1; it is shown byte for byte as Latin-1 "
                                                      "and saved the same way.").arg(QString::fromLatin1(text.format.encoding)),
                                       kStatusNoteMs);
        } else if (cancelled) {
            // The user asked for it: a note, not an error box to dismiss.
            StatusBar->showMessage(error, kStatusNoteMs);
        } else {
            showError(error, errorTitle);
        }
    } catch (const std::exception &e) {
        showError(QString::fromStdString(e.what()), QStringLiteral("Error"));
    }
    // Reading a large file went through several large copies (bytes, tree, text); what they
    // freed goes back to the system.
    malloc_trim(0);
    return result;
}

bool DocumentWindow::loadXSLTFile(QString file)
{
    const bool loaded = loadInto(StylesheetDocument::Text::Stylesheet, file, QStringLiteral("Error Parsing XSLT Document"), file);
    if (loaded) {
        setCaption(file);
        if (isUrl(file))
            fromUrl = true;
        loadStoredParameters();
        scheduleLivePreview();
    }
    return loaded;
}

void DocumentWindow::loadXMLFile(QString file)
{
    // Edits to the source the new one replaces are the user's to keep or drop.
    bool cancel = false;
    querySaveSource(cancel);
    if (cancel)
        return;
    if (loadInto(StylesheetDocument::Text::Source, file, QStringLiteral("Error Parsing XML Document"), QString())) {
        // What a check of the previous source found is not about this one.
        m_problems->setProblems(ProblemsPane::Source::Validation, {});
        m_assistXML->setMarks(3, {});
        showSourceTab();
        SSTab->setCurrentIndex(1);
        // The text went in while loading, when edits do not ask for a render.
        scheduleLivePreview();
    }
}

void DocumentWindow::saveFile(bool &Cancel)
{
    if (m_model->fileName(StylesheetDocument::Text::Stylesheet).trimmed().isEmpty() || fromUrl) {
        const QString answer = showFileDialog(CommonDialog_, QStringLiteral("Save XSLT..."),
                                              QStringLiteral("XSLT (*.xsl;*.xslt)|*.xsl;*.xslt"), 2);
        if (answer.trimmed().isEmpty()) {
            Cancel = true;
            return;
        }
        // A failed save keeps the window's state, URL mark included, and counts as not done.
        if (saveXSLTFile(answer))
            fromUrl = false;
        else
            Cancel = true;
        return;
    }
    if (!saveXSLTFile(m_model->fileName(StylesheetDocument::Text::Stylesheet)))
        Cancel = true;
}

bool DocumentWindow::writeDocument(StylesheetDocument::Text text, const QString &path, const WriteTexts &texts)
{
    QString reason;
    // As written, a text that does not parse is saved only when the user says so.
    if (m_model->keepAsWritten() && !m_model->checkWellFormed(text, &reason)) {
        const auto answer = dialogs().messageBox(this, texts.notWellFormed.arg(reason), QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No,
                                                texts.questionTitle);
        if (answer != QMessageBox::Yes)
            return false;
    }
    QString error;
    QString note;
    switch (m_model->save(text, path, &error, &note)) {
    case StylesheetDocument::SaveResult::NotWellFormed:
        showError(error, texts.parseErrorTitle);
        return false;
    case StylesheetDocument::SaveResult::Failed:
        showError(error, texts.saveErrorTitle);
        return false;
    case StylesheetDocument::SaveResult::Saved:
        break;
    }
    if (!note.isEmpty())
        StatusBar->showMessage(note, kStatusNoteMs);
    return true;
}

bool DocumentWindow::saveXSLTFile(const QString &file)
{
    if (!writeDocument(StylesheetDocument::Text::Stylesheet, file,
                       {QStringLiteral("Error Parsing XSLT Document"), QStringLiteral("Error Saving XSLT Document"),
                        QStringLiteral("The stylesheet is not well-formed: %1. Save it anyway?"),
                        QStringLiteral("Save XSLT Document")}))
        return false;
    setCaption(m_model->fileName(StylesheetDocument::Text::Stylesheet));
    // The values go with the stylesheet to its new name.
    storeParameters();
    return true;
}

void DocumentWindow::queryUnload(bool &cancel)
{
    if (m_model->isChanged(StylesheetDocument::Text::Stylesheet)) {
        const QString caption = windowTitle();
        const int star = caption.indexOf(QLatin1Char('*'));
        const QString name = star >= 0 ? caption.left(star) : QString();
        const auto answer = dialogs().messageBox(this, QStringLiteral("Would you like to save your changes ") + name + QLatin1Char('?'),
                                                QMessageBox::Question, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QStringLiteral("Save Changes?"));
        if (answer == QMessageBox::Yes)
            saveFile(cancel);
        else if (answer != QMessageBox::No)
            cancel = true; // Cancel, or the box closed without an answer
        if (cancel)
            return;
    }
    // The source's own question comes after the stylesheet's.
    querySaveSource(cancel);
}

void DocumentWindow::querySaveSource(bool &cancel)
{
    if (!m_model->isChanged(StylesheetDocument::Text::Source))
        return;
    const QString question = m_model->fileName(StylesheetDocument::Text::Source).isEmpty()
                                 ? QStringLiteral("Would you like to save your changes to the XML source?")
                                 : QStringLiteral("Would you like to save your changes to the XML source %1?").arg(m_model->fileName(StylesheetDocument::Text::Source));
    const auto answer = dialogs().messageBox(this, question, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QStringLiteral("Save Changes?"));
    if (answer == QMessageBox::Yes)
        cancel = !saveSource(false);
    else if (answer != QMessageBox::No)
        cancel = true;
}

bool DocumentWindow::saveSource(bool saveAs)
{
    QString target = m_model->fileName(StylesheetDocument::Text::Source);
    if (saveAs || target.trimmed().isEmpty() || isUrl(target)) {
        target = showFileDialog(CommonDialog_, saveAs ? QStringLiteral("Save XML As...") : QStringLiteral("Save XML..."),
                                QStringLiteral("XML (*.xml)|*.xml"), 2);
        if (target.trimmed().isEmpty())
            return false;
    }
    return writeDocument(StylesheetDocument::Text::Source, target,
                         {QStringLiteral("Error Parsing XML Document"), QStringLiteral("Error Saving XML Document"),
                          QStringLiteral("The XML source is not well-formed: %1. Save it anyway?"),
                          QStringLiteral("Save XML Document")});
}

void DocumentWindow::closeEvent(QCloseEvent *event)
{
    // A load or preview waiting for its data still uses this window. The user may end the
    // wait and have the window close then.
    if (isBusy()) {
        StatusBar->showMessage(QStringLiteral("This window is still loading or previewing a document; try again when "
                                              "it has finished, or stop waiting and close it now."),
                               kStatusNoteMs);
        m_stopWaiting->show();
        event->ignore();
        return;
    }
    if (!m_closeApproved) {
        bool cancel = false;
        queryUnload(cancel);
        if (cancel) {
            event->ignore();
            return;
        }
    }
    unload();
    event->accept();
}

void DocumentWindow::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // Closing without saving was the user's choice: the copy goes with the window.
    m_model->discardRecoveryCopy();
    // Whatever the engine still does for this window is of no use to anyone now.
    disconnect(&EngineClient::shared(), nullptr, this, nullptr);
    disconnect(m_model, nullptr, this, nullptr);
    m_model->cancelWork();
    emit closed(registryIndex);
}

bool DocumentWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == WebBrowser && event->type() == QEvent::Show)
        ensurePreviewPage();
    // The editors claim Esc before any shortcut sees it; while a transformation runs, Esc
    // there stops it, unless the tag list is open, which Esc closes first.
    if (event->type() == QEvent::ShortcutOverride && (watched == txtXSLT || watched == txtXML)) {
        auto *ke = static_cast<QKeyEvent *>(event);
        if (ke->key() == Qt::Key_Escape && ke->modifiers() == Qt::NoModifier && !tagList->isVisible()
            && transformationRunning()) {
            stopTransformation();
            event->accept();
            return true;
        }
    }
    // Ctrl+Space in the stylesheet: the names that fit at the caret.
    if (event->type() == QEvent::KeyPress && watched == txtXSLT) {
        auto *ke = static_cast<QKeyEvent *>(event);
        if (ke->key() == Qt::Key_Space && ke->modifiers() == Qt::ControlModifier) {
            offerCompletion(0);
            return true;
        }
    }
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto *ke = static_cast<QKeyEvent *>(event);
        if (ke->key() == Qt::Key_Control && !ke->isAutoRepeat())
            emit controlKeyChanged(event->type() == QEvent::KeyPress);
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        auto *me = static_cast<QMouseEvent *>(event);
        if (me->button() == Qt::LeftButton && watched->isWidgetType()
            && (watched == StatusBar || StatusBar->isAncestorOf(static_cast<QWidget *>(watched)))) {
            showParseInfo();
            return true; // once per click, not again for each parent the click passes
        }
    }
    return QWidget::eventFilter(watched, event);
}

void DocumentWindow::setStylesheetReadOnly(bool on)
{
    txtXSLT->setReadOnly(on);
}

bool DocumentWindow::isStylesheetReadOnly() const
{
    return txtXSLT->isReadOnly();
}

void DocumentWindow::showStylesheetPage()
{
    SSTab->setCurrentIndex(0);
}

void DocumentWindow::focusStylesheet()
{
    txtXSLT->setFocus();
}

void DocumentWindow::setProcessorChoice(const QString &stored)
{
    using Choice = StylesheetDocument::ProcessorChoice;
    m_model->setProcessorChoice(stored == QLatin1String("libxslt")    ? Choice::Libxslt
                                : stored == QLatin1String("Saxon-HE") ? Choice::Saxon
                                                                      : Choice::Automatic);
}

bool DocumentWindow::caretLine(int *line, int *lines) const
{
    const SyntaxBox *pane = currentEditor();
    if (!pane)
        return false;
    *line = pane->currentLine() + 1;
    *lines = pane->lines();
    return true;
}

void DocumentWindow::applyEditorOptions()
{
    using namespace Options;
    auto color = [](const Key &key) { return SettingsConvert::toInt32(SettingsStore::readOption(key), key.key()); };
    auto flag = [](const Key &key) { return SettingsConvert::toBoolean(SettingsStore::readOption(key), key.key()); };
    for (SyntaxBox *ctl : {txtXSLT, txtXML}) {
        // Every value is read afresh per control: the store, not the dialog, is the truth.
        ctl->setFontName(SettingsStore::readOption(FontName, QString()));
        // No stored size yet (the dialog was closed before anything was saved) keeps the
        // control's size instead of failing on an empty text.
        const QString size = SettingsStore::readOption(FontSize, QString());
        if (!size.trimmed().isEmpty())
            ctl->setFontSize(size);
        ctl->setTagColor(color(TagColor));
        ctl->setTagBold(flag(TagBold));
        ctl->setTagItalic(flag(TagItalic));
        ctl->setAttribColor(color(AttribColor));
        ctl->setAttribBold(flag(AttribBold));
        ctl->setAttribItalic(flag(AttribItalic));
        ctl->setAttribValueColor(color(AttribValueColor));
        ctl->setAttribValueBold(flag(AttribValueBold));
        ctl->setAttribValueItalic(flag(AttribValueItalic));
        ctl->colorizeAll();
    }
}

void DocumentWindow::focusParameterFilter()
{
    m_parameters->filter()->setFocus();
}

SyntaxBox *DocumentWindow::currentEditor() const
{
    switch (SSTab->currentIndex()) {
    case 0: return txtXSLT;
    case 1: return txtXML;
    default: return nullptr;
    }
}

void DocumentWindow::cut()
{
    if (SyntaxBox *ctl = currentEditor())
        ctl->cut();
}

void DocumentWindow::copy()
{
    if (SyntaxBox *ctl = currentEditor())
        ctl->copy();
}

void DocumentWindow::paste()
{
    if (SyntaxBox *ctl = currentEditor())
        ctl->paste();
}

void DocumentWindow::undo()
{
    SyntaxBox *ctl = currentEditor();
    if (!ctl)
        return;
    // The editor reports the change itself, which runs the same handling as typing.
    ctl->undo();
}

void DocumentWindow::redo()
{
    SyntaxBox *ctl = currentEditor();
    if (!ctl)
        return;
    ctl->redo();
}

void DocumentWindow::selectAll()
{
    if (SyntaxBox *ctl = currentEditor()) {
        ctl->setSelectionStart(0);
        ctl->setSelectionLength(int(ctl->text().length()));
        // Copy and Cut can act on the new selection at once.
        setEditState();
    }
}

void DocumentWindow::printDoc()
{
    try {
        if (SyntaxBox *ctl = currentEditor())
            printText(ctl);
        else
            printPreview();
    } catch (const std::exception &e) {
        showError(QString::fromStdString(e.what()), QStringLiteral("Error Printing Document"));
    }
}

void DocumentWindow::printText(SyntaxBox *ctl)
{
    QPrinter printer;
    if (!dialogs().printDialog(this, &printer))
        throw std::runtime_error("Printing was cancelled.");
    const int copies = std::max(1, printer.copyCount());
    printer.setCopyCount(1);
    const QString outputFile = printer.outputFileName();
    // Each copy is a print job of its own with the whole text, in the printer's default font.
    for (int copy = 1; copy <= copies; ++copy) {
        if (!outputFile.isEmpty() && copies > 1)
            printer.setOutputFileName(copy == 1 ? outputFile : QStringLiteral("%1.%2").arg(outputFile).arg(copy));
        QTextDocument text;
        text.setPlainText(ctl->text() + QLatin1Char('\n'));
        // Laid out on the printer's own pages: a document without pages of its own would get
        // page numbers added at the foot of each.
        text.documentLayout()->setPaintDevice(&printer);
        text.setPageSize(printer.pageRect(QPrinter::DevicePixel).size());
        text.print(&printer);
        if (printer.printerState() == QPrinter::Error)
            throw std::runtime_error("The printer reported an error.");
    }
}

void DocumentWindow::printPreview()
{
    QPrinter printer;
    // Cancelling the page's print dialog is the user's choice, not a failure.
    if (!dialogs().printDialog(this, &printer))
        return;
    ensurePreviewPage();
    BusyScope scope(m_busy, [this] { busyEnded(); });
    QEventLoop wait;
    bool ok = false;
    const QMetaObject::Connection done = connect(WebBrowser, &QWebEngineView::printFinished, &wait, [&](bool success) {
        ok = success;
        wait.quit();
    });
    WebBrowser->print(&printer);
    wait.exec();
    disconnect(done);
    if (!ok)
        throw std::runtime_error("The page could not be printed.");
}

void DocumentWindow::showFindDialog()
{
    findreplace::showFindReplace(this, txtXSLT, findreplace::Down, findreplace::initialFindText(txtXSLT), false,
                                 QString());
}

void DocumentWindow::showReplaceDialog()
{
    findreplace::showFindReplace(this, txtXSLT, findreplace::Down, findreplace::initialFindText(txtXSLT), true,
                                 QString());
}

// Per stylesheet file: the values given to its parameters; per source file: the schema it is
// checked against. Keyed by the file's path, escaped so that no path makes a group of its own.
static const char *const kParametersSection = "StylesheetParameters";
static const char *const kSchemasSection = "SourceSchemas";

static QString settingsKeyFor(const QString &file)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(file));
}

void DocumentWindow::setParametersVisible(bool on)
{
    m_parameters->setVisible(on);
    if (on)
        refreshDeclaredParameters();
    emit parametersVisibilityChanged(on);
}

bool DocumentWindow::parametersVisible() const
{
    return !m_parameters->isHidden();
}

void DocumentWindow::refreshDeclaredParameters()
{
    // Reading the included stylesheets takes a while for large sets of them: beside the window.
    const qint64 generation = ++m_declaredGeneration;
    const QPointer<DocumentWindow> self(this);
    QThreadPool::globalInstance()->start([self, generation, text = txtXSLT->utf8Text(), base = stylesheetBase()] {
        const QList<params::Declared> declared = params::declaredIn(text, base);
        QMetaObject::invokeMethod(qApp, [self, generation, declared] {
            if (self && generation == self->m_declaredGeneration)
                self->m_parameters->setDeclared(declared);
        });
    });
}

void DocumentWindow::loadStoredParameters()
{
    const QString stored = m_model->fileName(StylesheetDocument::Text::Stylesheet).isEmpty()
                               ? QString()
                               : SettingsStore::read(QString::fromLatin1(kParametersSection), settingsKeyFor(m_model->fileName(StylesheetDocument::Text::Stylesheet)), QString());
    m_parameters->setValues(params::fromText(stored));
    m_model->setParameters(m_parameters->values());
}

void DocumentWindow::storeParameters()
{
    if (m_model->fileName(StylesheetDocument::Text::Stylesheet).isEmpty())
        return;
    const QList<params::Value> values = m_parameters->values();
    const QString section = QString::fromLatin1(kParametersSection);
    const QString key = settingsKeyFor(m_model->fileName(StylesheetDocument::Text::Stylesheet));
    if (values.isEmpty() && SettingsStore::read(section, key, QString()).isEmpty())
        return;
    try {
        SettingsStore::save(section, key, values.isEmpty() ? QString() : params::toText(values));
    } catch (const SettingsError &e) {
        StatusBar->showMessage(QStringLiteral("The parameter values could not be remembered: %1").arg(QString::fromUtf8(e.what())),
                               kStatusNoteMs);
    }
}

void DocumentWindow::followStylesheetVersion()
{
    // The root element's start tag lies near the top: the first part of the text will do.
    const long length = std::min<long>(txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETLENGTH), 64 * 1024);
    const auto *p = reinterpret_cast<const char *>(txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETRANGEPOINTER, 0UL, length));
    const double version = p ? saxon::xsltVersion(QByteArray(p, length)) : 1.0;
    // Each list covers its version and the ones after it that have no list of their own.
    const QString file = version >= 3.0   ? QStringLiteral("W3C_XSLT_30.xml")
                         : version >= 2.0 ? QStringLiteral("W3C_XSLT_20.xml")
                                          : QStringLiteral("W3C_XSLT_10.xml");
    if (file == m_tagListFile)
        return;
    m_tagListFile = file;
    tagList->loadDefinitions(QCoreApplication::applicationDirPath() + QLatin1Char('/') + file);
}

engine::Processor DocumentWindow::stylesheetProcessor() const
{
    // The version sits on the root element's start tag, near the top.
    const long length = std::min<long>(txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETLENGTH), 64 * 1024);
    const auto *p = reinterpret_cast<const char *>(txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETRANGEPOINTER, 0UL, length));
    return m_model->processorFor(p ? QByteArray(p, length) : QByteArray());
}

QList<QPair<QString, QString>> DocumentWindow::stylesheetNamespaces() const
{
    // The root element's start tag lies near the top: the first part of the text will do.
    const long length = std::min<long>(txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETLENGTH), 256 * 1024);
    const auto *p = reinterpret_cast<const char *>(txtXSLT->SendScintilla(QsciScintillaBase::SCI_GETRANGEPOINTER, 0UL, length));
    QList<QPair<QString, QString>> out;
    if (!p)
        return out;
    QXmlStreamReader xml(QByteArray::fromRawData(p, length));
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        for (const QXmlStreamNamespaceDeclaration &d : xml.namespaceDeclarations())
            if (!d.prefix().isEmpty())
                out.append({d.prefix().toString(), d.namespaceUri().toString()});
        break;
    }
    return out;
}

namespace {
const char *const kLayoutSection = "Layout";
const char *const kXPathShareKey = "XPathResultsShare";
// The results' share of the page, in percent: the pane keeps at least two thirds to start with.
constexpr int kDefaultXPathShare = 30;
} // namespace

void DocumentWindow::placeXPathResults()
{
    const bool shown = !m_xpathBar->results()->isHidden();
    if (shown && !m_xpathResultsShown) {
        int share = kDefaultXPathShare;
        bool ok = false;
        const int stored = SettingsStore::read(QString::fromLatin1(kLayoutSection), QString::fromLatin1(kXPathShareKey),
                                               QString()).toInt(&ok);
        if (ok)
            share = std::clamp(stored, 5, 80);
        const QList<int> sizes = m_xpathSplitter->sizes();
        int total = m_xpathSplitter->orientation() == Qt::Vertical ? m_xpathSplitter->height() : m_xpathSplitter->width();
        if (total <= 0)
            total = sizes.value(0) + sizes.value(1);
        const int results = total * share / 100;
        m_xpathSplitter->setSizes({results, std::max(1, total - results)});
    }
    m_xpathResultsShown = shown;
}

void DocumentWindow::rememberXPathSplit()
{
    const QList<int> sizes = m_xpathSplitter->sizes();
    const int total = sizes.value(0) + sizes.value(1);
    if (m_xpathBar->results()->isHidden() || total <= 0)
        return;
    try {
        SettingsStore::save(QString::fromLatin1(kLayoutSection), QString::fromLatin1(kXPathShareKey),
                            QString::number(std::clamp(sizes.value(0) * 100 / total, 5, 80)));
    } catch (const SettingsError &) {
        // A convenience: the split stays where it is in this window.
    }
}

void DocumentWindow::showXPathBar()
{
    SSTab->setCurrentIndex(1);
    m_xpathBar->activate();
}

static int indentWidth()
{
    try {
        return std::clamp<int>(SettingsConvert::toInt16(SettingsStore::readOption(Options::IndentWidth), Options::IndentWidth.key()), 0, 16);
    } catch (const SettingsError &) {
        return int(Options::IndentWidth.fallbackNumber());
    }
}

void DocumentWindow::replaceAsOneStep(SyntaxBox *pane, int start, int end, const QString &text)
{
    const long from = pane->SendScintilla(QsciScintillaBase::SCI_POSITIONRELATIVECODEUNITS, 0L, start);
    const long to = pane->SendScintilla(QsciScintillaBase::SCI_POSITIONRELATIVECODEUNITS, 0L, end);
    const long caretLine = pane->SendScintilla(QsciScintillaBase::SCI_LINEFROMPOSITION,
                                               pane->SendScintilla(QsciScintillaBase::SCI_GETCURRENTPOS));
    const long firstVisible = pane->SendScintilla(QsciScintillaBase::SCI_GETFIRSTVISIBLELINE);
    const QByteArray utf8 = text.toUtf8();
    pane->beginUndoAction();
    pane->SendScintilla(QsciScintillaBase::SCI_SETTARGETRANGE, from, to);
    pane->SendScintilla(QsciScintillaBase::SCI_REPLACETARGET, static_cast<unsigned long>(utf8.size()), utf8.constData());
    pane->endUndoAction();
    // The caret stays on its line, the view where it was.
    pane->SendScintilla(QsciScintillaBase::SCI_GOTOLINE, caretLine);
    pane->SendScintilla(QsciScintillaBase::SCI_SETFIRSTVISIBLELINE, firstVisible);
}

engine::Response DocumentWindow::runToolInWorker(engine::Channel channel, engine::Request request, const QString &what)
{
    BusyScope scope(m_busy, [this] { busyEnded(); });
    return runInWorker(channel, std::move(request), what);
}

bool DocumentWindow::toolFailed(const engine::Response &response, const QString &title)
{
    if (response.superseded())
        return true;
    // Stopped by the user: a note is enough.
    if (response.error == engine::ErrorKind::Stopped) {
        StatusBar->showMessage(response.errorText, kStatusNoteMs);
        return true;
    }
    if (response.error != engine::ErrorKind::None) {
        showError(response.errorText.trimmed(), title);
        return true;
    }
    return false;
}

bool DocumentWindow::formatInWorker(SyntaxBox *pane, engine::FormatWork work, const QString &title, formatter::Result *result)
{
    engine::Request request;
    request.kind = engine::Kind::Format;
    request.format = std::move(work);
    // The text cannot change while it is formatted.
    pane->setReadOnly(true);
    const engine::Response response = runToolInWorker(engine::Channel::Format, std::move(request), QStringLiteral("Formatting"));
    pane->setReadOnly(false);
    if (toolFailed(response, title))
        return false;
    *result = response.format;
    return true;
}

void DocumentWindow::formatDocument()
{
    SyntaxBox *pane = currentEditor();
    if (!pane || pane->isReadOnly() || refuseWhileBusy())
        return;
    const QString text = pane->text();
    formatter::Result result;
    if (!formatInWorker(pane, {text, indentWidth(), false, QString()}, QStringLiteral("Format Document"), &result))
        return;
    if (!result.ok) {
        showError(result.line > 0 ? QStringLiteral("The document could not be formatted: %1 (line %2).").arg(result.error).arg(result.line)
                                  : QStringLiteral("The document could not be formatted: %1.").arg(result.error),
                  QStringLiteral("Format Document"));
        return;
    }
    if (result.text != text)
        replaceAsOneStep(pane, 0, int(text.size()), result.text);
}

void DocumentWindow::formatSelection()
{
    SyntaxBox *pane = currentEditor();
    if (!pane || pane->isReadOnly() || refuseWhileBusy())
        return;
    const QString text = pane->text();
    int start = pane->selectionStart();
    const int end = start + pane->selectionLength();
    if (end == start) {
        StatusBar->showMessage(QStringLiteral("Select the elements to format first."), kStatusNoteMs);
        return;
    }
    // From the start of the line when only indentation lies before the selection: the
    // fragment's lines then all get the line's indentation.
    const int lineStart = int(text.lastIndexOf(QLatin1Char('\n'), start - 1) + 1);
    const QString before = text.mid(lineStart, start - lineStart);
    QString base;
    for (const QChar c : before) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t'))
            break;
        base += c;
    }
    if (base.size() == before.size())
        start = lineStart;
    const QString fragment = text.mid(start, end - start);
    formatter::Result result;
    if (!formatInWorker(pane, {fragment, indentWidth(), true, base}, QStringLiteral("Format Selection"), &result))
        return;
    if (!result.ok) {
        showError(QStringLiteral("The selection could not be formatted: %1.").arg(result.error), QStringLiteral("Format Selection"));
        return;
    }
    if (result.text != fragment)
        replaceAsOneStep(pane, start, end, result.text);
}

void DocumentWindow::validateSource()
{
    if (refuseWhileBusy())
        return;
    const QString section = QString::fromLatin1(kSchemasSection);
    const QString key = settingsKeyFor(m_model->fileName(StylesheetDocument::Text::Source));
    const QString stored = m_model->fileName(StylesheetDocument::Text::Source).isEmpty() ? QString() : SettingsStore::read(section, key, QString());
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("frmValidate"));
    dialog.setWindowTitle(QStringLiteral("Validate Source"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *dtd = new QRadioButton(QStringLiteral("Against the &DTD its DOCTYPE names"), &dialog);
    auto *xsd = new QRadioButton(QStringLiteral("Against an XML &Schema (XSD)"), &dialog);
    auto *rng = new QRadioButton(QStringLiteral("Against a &RELAX NG schema"), &dialog);
    auto *pathRow = new QHBoxLayout;
    auto *path = new QLineEdit(&dialog);
    path->setObjectName(QStringLiteral("txtSchema"));
    path->setPlaceholderText(QStringLiteral("Schema file"));
    auto *browse = new QPushButton(QStringLiteral("&Browse..."), &dialog);
    pathRow->addWidget(path, 1);
    pathRow->addWidget(browse);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(dtd);
    layout->addWidget(xsd);
    layout->addWidget(rng);
    layout->addLayout(pathRow);
    layout->addWidget(buttons);
    dtd->setChecked(true);
    if (stored.startsWith(QLatin1String("xsd:")))
        xsd->setChecked(true);
    else if (stored.startsWith(QLatin1String("rng:")))
        rng->setChecked(true);
    path->setText(stored.section(QLatin1Char(':'), 1));
    const auto update = [&] {
        path->setEnabled(!dtd->isChecked());
        browse->setEnabled(!dtd->isChecked());
    };
    update();
    connect(dtd, &QRadioButton::toggled, &dialog, update);
    connect(browse, &QPushButton::clicked, &dialog, [&] {
        const QString file = QFileDialog::getOpenFileName(&dialog, QStringLiteral("Schema"), path->text(),
                                                          xsd->isChecked() ? QStringLiteral("XML Schema (*.xsd);;All Files (*)")
                                                                           : QStringLiteral("RELAX NG (*.rng);;All Files (*)"));
        if (!file.isEmpty())
            path->setText(file);
    });
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const validator::Schema schema = dtd->isChecked()   ? validator::Schema::Dtd
                                     : xsd->isChecked() ? validator::Schema::Xsd
                                                        : validator::Schema::RelaxNg;
    const QString schemaPath = dtd->isChecked() ? QString() : path->text().trimmed();
    if (!m_model->fileName(StylesheetDocument::Text::Source).isEmpty()) {
        try {
            SettingsStore::save(section, key,
                                dtd->isChecked() ? QStringLiteral("dtd")
                                                 : (xsd->isChecked() ? QStringLiteral("xsd:") : QStringLiteral("rng:")) + schemaPath);
        } catch (const SettingsError &) {
            // A convenience: the check itself still runs.
        }
    }
    validateSourceWith(schema, schemaPath);
}

bool DocumentWindow::validateSourceWith(validator::Schema schema, const QString &schemaPath)
{
    if (refuseWhileBusy())
        return false;
    if (schema != validator::Schema::Dtd && schemaPath.isEmpty()) {
        showError(QStringLiteral("Choose the schema file to check the XML source against."), QStringLiteral("Validate Source"));
        return false;
    }
    engine::Request request;
    request.kind = engine::Kind::Validate;
    request.validate = {txtXML->utf8Text(), sourceBase(), schema, schemaPath};
    const QString base = request.validate.sourceBase;
    const engine::Response response =
        runToolInWorker(engine::Channel::Validate, std::move(request), QStringLiteral("Validating the XML source"));
    if (toolFailed(response, QStringLiteral("Validate Source")))
        return false;
    const validator::Result &result = response.validation;
    // Problems of the source itself show against the XML pane.
    QList<Diagnostic> problems = result.problems;
    for (Diagnostic &d : problems)
        if (d.file.isEmpty() || d.file == base)
            d.file = m_model->fileName(StylesheetDocument::Text::Source).isEmpty() ? QStringLiteral("XML") : m_model->fileName(StylesheetDocument::Text::Source);
    m_problems->setProblems(ProblemsPane::Source::Validation, problems);
    m_assistXML->setMarks(3, marksOf(problems));
    if (!result.error.isEmpty()) {
        showError(result.error, QStringLiteral("Validate Source"));
        return false;
    }
    if (result.valid) {
        StatusBar->showMessage(QStringLiteral("Valid"), kStatusNoteMs);
    } else {
        setProblemsVisible(true);
        StatusBar->showMessage(QStringLiteral("Not valid: see the problems list"), kStatusNoteMs);
    }
    return true;
}
