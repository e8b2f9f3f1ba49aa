#include "document/livepreview.h"

#include "common/common.h"
#include "components/syntaxbox.h"
#include "document/busystrip.h"
#include "document/previewguard.h"
#include "engine/fileio.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineScript>
#include <QWebEngineView>

namespace {

// Methods whose result is shown as the text it is: XSLT's text, and XSLT 3.0's json and
// adaptive (Saxon-HE's).
bool isTextMethod(const QString &method)
{
    return method == QLatin1String("text") || method == QLatin1String("json") || method == QLatin1String("adaptive");
}

QString mimeTypeOf(const QString &method)
{
    if (method == QLatin1String("html"))
        return QStringLiteral("text/html");
    if (method == QLatin1String("xhtml"))
        return QStringLiteral("application/xhtml+xml");
    if (isTextMethod(method))
        return QStringLiteral("text/plain");
    return QStringLiteral("application/xml");
}

QString decode(const QByteArray &bytes, const QByteArray &encoding)
{
    if (!encoding.isEmpty())
        if (auto known = QStringConverter::encodingForName(encoding.constData())) {
            QStringDecoder decoder(*known);
            return decoder.decode(bytes);
        }
    if (auto bom = QStringConverter::encodingForData(bytes)) {
        QStringDecoder decoder(*bom);
        return decoder.decode(bytes);
    }
    return QString::fromUtf8(bytes);
}

} // namespace

LivePreviewPane::LivePreviewPane(bool runScripts, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("paneLivePreview"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_tabs = new QTabBar(this);
    m_tabs->setObjectName(QStringLiteral("tabLiveView"));
    m_tabs->setDocumentMode(true);
    m_tabs->addTab(QStringLiteral("Rendered"));
    m_tabs->addTab(QStringLiteral("Result Source"));
    layout->addWidget(m_tabs);

    m_busy = new BusyStrip(this);
    layout->addWidget(m_busy);
    // Esc stops it too: the window's own Esc, which works anywhere in the window.
    connect(m_busy, &BusyStrip::stopRequested, this, &LivePreviewPane::stopRequested);

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("lblLiveError"));
    m_error->setWordWrap(true);
    m_error->setTextFormat(Qt::PlainText);
    m_error->setContentsMargins(6, 3, 6, 3);
    m_error->setStyleSheet(QStringLiteral("QLabel { background: #fde2e1; color: #8a1f11; }"));
    m_error->hide();
    layout->addWidget(m_error);

    m_stack = new QStackedWidget(this);
    const PreviewGuard::Profile guarded = PreviewGuard::createProfile(this, runScripts);
    m_profile = guarded.profile;
    m_guard = guarded.guard;
    m_view = new QWebEngineView(m_stack);
    m_view->setObjectName(QStringLiteral("LiveBrowser"));
    m_view->setPage(new PreviewPage(m_profile, m_guard, m_view));
    m_source = new SyntaxBox(m_stack);
    m_source->setObjectName(QStringLiteral("txtResultSource"));
    m_source->setReadOnly(true);
    m_stack->addWidget(m_view);
    m_stack->addWidget(m_source);
    layout->addWidget(m_stack, 1);
    connect(m_tabs, &QTabBar::currentChanged, this, [this](int index) {
        if (index == 1)
            showPendingSource();
        m_stack->setCurrentIndex(index);
    });

    // The reader keeps their place: a new render scrolls to where the last one was.
    connect(m_view, &QWebEngineView::loadFinished, this, [this](bool) {
        if (!m_scroll.isNull())
            m_view->page()->runJavaScript(QStringLiteral("window.scrollTo(%1, %2);").arg(m_scroll.x()).arg(m_scroll.y()),
                                          QWebEngineScript::ApplicationWorld);
        emit rendered();
    });
}

LivePreviewPane::~LivePreviewPane()
{
    // The page goes before the profile it was made with.
    delete m_view;
    m_view = nullptr;
    if (!m_folder.isEmpty())
        QDir(m_folder).removeRecursively();
}

void LivePreviewPane::setRunScripts(bool on)
{
    PreviewGuard::applySettings(m_profile->settings(), on);
}

QString LivePreviewPane::errorText() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

QString LivePreviewPane::resultSource() const
{
    const_cast<LivePreviewPane *>(this)->showPendingSource();
    return m_source->text();
}

void LivePreviewPane::showPendingSource()
{
    if (!m_sourcePending)
        return;
    m_sourcePending = false;
    m_source->setText(decode(m_lastPage, m_lastEncoding));
}

void LivePreviewPane::showResult(const preview::Result &result, const QStringList &documents)
{
    if (!result.ok) {
        // The first error where it is, in the processor's words; or the report's first line.
        QString first = result.text.section(QLatin1Char('\n'), 0, 0);
        for (const Diagnostic &d : result.diagnostics)
            if (d.severity == Diagnostic::Severity::Error && !d.message.isEmpty()) {
                first = d.line > 0 ? QStringLiteral("Line %1: %2").arg(d.line).arg(d.message) : d.message;
                break;
            }
        // A text that is not well-formed says which one; any other failure speaks for itself.
        m_error->setText(engine::isParseError(result.error) ? result.title() + QStringLiteral(": ") + first : first);
        m_error->setToolTip(result.text);
        m_error->show();
        return;
    }
    m_error->hide();
    m_error->clear();
    render(result, documents);
}

void LivePreviewPane::render(const preview::Result &result, const QStringList &documents)
{
    ++m_renders;
    // The result's text is coloured when it is looked at: while the page renders, the window
    // has better things to do.
    m_lastPage = result.page;
    m_lastEncoding = result.encoding;
    m_sourcePending = true;
    if (m_tabs->currentIndex() == 1)
        QTimer::singleShot(0, this, &LivePreviewPane::showPendingSource);
    m_scroll = m_view->page()->scrollPosition();
    const QString mime = mimeTypeOf(result.method);
    const bool scripts = m_profile->settings()->testAttribute(QWebEngineSettings::JavascriptEnabled);
    const QByteArray page = !scripts || isTextMethod(result.method)
                                ? result.page
                                : PreviewGuard::guardedPage(result.page, result.method == QLatin1String("html"));
    QString previous = m_pageFile;
    m_pageFile.clear();
    if (page.size() <= kInlineLimit) {
        m_guard->setScope(documents, QString());
        // Relative references in the result resolve as if it lay beside the source (or the
        // stylesheet, without a local source): where authors point their pictures.
        QString base;
        for (const QString &d : documents)
            if (base.isEmpty() && !PreviewGuard::folderOf(d).isEmpty())
                base = d;
        const QString charset = result.encoding.isEmpty() ? QString() : QStringLiteral(";charset=") + QString::fromLatin1(result.encoding);
        m_view->setContent(page, mime + charset, base.isEmpty() ? QUrl() : QUrl::fromLocalFile(base));
    } else {
        if (m_folder.isEmpty())
            m_folder = makePrivateTempFolder();
        static int serial = 0;
        const QString suffix = isTextMethod(result.method) ? QStringLiteral("txt")
                               : result.method == QLatin1String("xml") ? QStringLiteral("xml")
                               : result.method == QLatin1String("xhtml") ? QStringLiteral("xhtml")
                                                                         : QStringLiteral("htm");
        const QString file = QStringLiteral("%1/result-%2.%3").arg(m_folder).arg(++serial).arg(suffix);
        QString error;
        if (m_folder.isEmpty() || !FileIO::writeNewFile(file, page, &error)) {
            m_error->setText(error.isEmpty() ? QStringLiteral("No temporary folder could be made for the preview.") : error);
            m_error->show();
            return;
        }
        m_pageFile = file;
        m_guard->setScope(documents, file);
        m_view->load(QUrl::fromLocalFile(file));
    }
    if (!previous.isEmpty())
        QFile::remove(previous);
}
