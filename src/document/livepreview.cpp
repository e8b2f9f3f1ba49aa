#include "document/livepreview.h"

#include "common/common.h"
#include "components/syntaxbox.h"
#include "document/busystrip.h"
#include "document/previewguard.h"
#include "engine/fileio.h"

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QStringEncoder>
#include <QToolButton>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QTabBar>
#include <QLocale>
#include <QPointer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <Qsci/qsciscintilla.h>

namespace {

using Sci = QsciScintillaBase;
constexpr int kShownIndicator = 14;

// How a browser reads the bytes of a page loaded with ";charset=<label>" (no label: UTF-8, as
// the page was written): only UTF-8 and the windows-1252 family, which HTML output mostly uses.
bool decodeAsTheViewDoes(const QByteArray &page, const QString &charset, QString *text)
{
    const QString label = charset.section(QLatin1Char('='), 1).trimmed().toLower();
    if (label.isEmpty() || label == QLatin1String("utf-8") || label == QLatin1String("utf8")) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        *text = utf8.decode(page);
        return !utf8.hasError();
    }
    static const QStringList windows1252 = {QStringLiteral("iso-8859-1"), QStringLiteral("iso8859-1"), QStringLiteral("latin1"),
                                            QStringLiteral("l1"), QStringLiteral("us-ascii"), QStringLiteral("ascii"),
                                            QStringLiteral("windows-1252"), QStringLiteral("cp1252"), QStringLiteral("iso_8859-1")};
    if (!windows1252.contains(label))
        return false;
    // Bytes 0x80-0x9F are windows-1252's own characters (five of them are left as they are).
    static const char16_t high[32] = {0x20AC, 0x81, 0x201A, 0x192, 0x201E, 0x2026, 0x2020, 0x2021, 0x2C6, 0x2030, 0x160,
                                      0x2039, 0x152, 0x8D, 0x17D, 0x8F, 0x90, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                      0x2013, 0x2014, 0x2DC, 0x2122, 0x161, 0x203A, 0x153, 0x9D, 0x17E, 0x178};
    text->resize(page.size());
    QChar *out = text->data();
    for (const char c : page) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = b >= 0x80 && b < 0xA0 ? QChar(high[b - 0x80]) : QChar(b);
    }
    return true;
}

// What the rendered view runs, in a world of its own beside the page's scripts: which mapped
// node lies under a point (an element by its data-zk, a text by its place in its element's
// data-zkt), an outline under the pointer, and boxes over what Show Output found.
const char kInspectScript[] = R"JS(
(function () {
  if (window.zk) return;
  const layer = () => document.body || document.documentElement;
  const box = (colour) => {
    const d = document.createElement('div');
    d.style.cssText = 'position:absolute;pointer-events:none;z-index:2147483647;box-sizing:border-box;'
      + 'outline:2px solid ' + colour + ';background:' + colour.replace('rgb', 'rgba').replace(')', ',0.12)');
    return d;
  };
  const textsOf = (element) => Array.from(element.childNodes).filter(c => c.nodeType === 3 && c.data.trim());
  const within = (rects, x, y) => Array.from(rects).some(r => x >= r.left && x <= r.right && y >= r.top && y <= r.bottom);
  function at(x, y) {
    const range = document.caretRangeFromPoint ? document.caretRangeFromPoint(x, y) : null;
    if (range && range.startContainer.nodeType === 3) {
      const text = range.startContainer, parent = text.parentElement;
      if (parent && parent.hasAttribute('data-zkt')) {
        const ids = parent.getAttribute('data-zkt').split(' ');
        const k = textsOf(parent).indexOf(text);
        const whole = document.createRange();
        whole.selectNodeContents(text);
        if (k >= 0 && k < ids.length && within(whole.getClientRects(), x, y)) return +ids[k];
      }
    }
    const element = document.elementFromPoint(x, y);
    const mapped = element && element.closest('[data-zk]');
    return mapped ? +mapped.getAttribute('data-zk') : -1;
  }
  function rectOf(id) {
    const element = document.querySelector('[data-zk="' + id + '"]');
    if (element) return element.getBoundingClientRect();
    for (const parent of document.querySelectorAll('[data-zkt]')) {
      const k = parent.getAttribute('data-zkt').split(' ').indexOf(String(id));
      if (k < 0) continue;
      const text = textsOf(parent)[k];
      if (!text) return null;
      const range = document.createRange();
      range.selectNodeContents(text);
      return range.getBoundingClientRect();
    }
    return null;
  }
  function place(d, r) {
    d.style.left = (r.left + scrollX) + 'px'; d.style.top = (r.top + scrollY) + 'px';
    d.style.width = r.width + 'px'; d.style.height = r.height + 'px';
  }
  let hover = null, shown = [], shownIds = [];
  // A new layout moves what the boxes stood over.
  window.addEventListener('resize', () => {
    if (hover) hover.style.display = 'none';
    if (shownIds.length) window.zk.show(shownIds, false);
  });
  window.zk = {
    at: at,
    hover(x, y) {
      if (!hover) { hover = box('rgb(47,111,223)'); layer().appendChild(hover); }
      const id = at(x, y), r = id >= 0 ? rectOf(id) : null;
      hover.style.display = r ? 'block' : 'none';
      if (r) place(hover, r);
      return id;
    },
    clear() { if (hover) hover.style.display = 'none'; },
    show(ids, scroll = true) {
      shownIds = ids;
      shown.forEach(d => d.remove());
      shown = [];
      let first = null;
      for (const id of ids) {
        const r = rectOf(id);
        if (!r) continue;
        const d = box('rgb(224,138,0)');
        place(d, r);
        layer().appendChild(d);
        shown.push(d);
        if (!first) first = r;
      }
      if (first && scroll) window.scrollTo(scrollX, Math.max(0, first.top + scrollY - innerHeight / 3));
      return shown.length;
    },
  };
})();
)JS";


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
    m_inspect = new QToolButton(this);
    m_inspect->setObjectName(QStringLiteral("btnInspect"));
    m_inspect->setText(QStringLiteral("Inspect"));
    m_inspect->setCheckable(true);
    m_inspect->setAutoRaise(true);
    m_inspect->setToolTip(QStringLiteral("Click output to see the instruction and the source node that made it (Ctrl+Shift+I)"));
    connect(m_inspect, &QToolButton::toggled, this, [this](bool on) {
        if (!on)
            runInPage(QStringLiteral("window.zk && zk.clear();"));
        emit inspectToggled(on);
    });
    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(0, 0, 4, 0);
    bar->addWidget(m_tabs, 1);
    bar->addWidget(m_inspect);
    layout->addLayout(bar);

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

    m_note = new QLabel(this);
    m_note->setObjectName(QStringLiteral("lblLiveNote"));
    m_note->setWordWrap(true);
    m_note->setTextFormat(Qt::PlainText);
    m_note->setContentsMargins(6, 3, 6, 3);
    m_note->setStyleSheet(QStringLiteral("QLabel { background: #fff4d6; color: #5c4400; }"));
    m_note->hide();
    layout->addWidget(m_note);

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
    connect(m_view, &QWebEngineView::loadStarted, this, [this] { m_replaceable = false; });
    connect(m_view, &QWebEngineView::loadFinished, this, [this](bool ok) {
        // Marked in the page's own world of ours: a page a link led to has no such mark.
        if (ok && !m_shownMime.isEmpty())
            runInPage(QStringLiteral("window.zkLive = true;"));
        m_replaceable = ok && !m_shownMime.isEmpty();
        if (!m_scroll.isNull())
            m_view->page()->runJavaScript(QStringLiteral("window.scrollTo(%1, %2);").arg(m_scroll.x()).arg(m_scroll.y()),
                                          QWebEngineScript::ApplicationWorld);
        if (m_annotated)
            runInPage(QString::fromLatin1(kInspectScript));
        if (!m_shown.isEmpty())
            runInPage(QStringLiteral("zk.show([%1]);").arg(joinNumbers(m_shown)));
        watchView();
        emit rendered();
    });
    m_source->SendScintilla(Sci::SCI_INDICSETSTYLE, kShownIndicator, Sci::INDIC_ROUNDBOX);
    m_source->SendScintilla(Sci::SCI_INDICSETFORE, kShownIndicator, QColor(0xe0, 0x8a, 0x00));
    m_source->SendScintilla(Sci::SCI_INDICSETALPHA, kShownIndicator, 90);
    connect(m_source, &QsciScintilla::cursorPositionChanged, this, [this] { sourceCaretMoved(); });
}

QString LivePreviewPane::joinNumbers(const QList<int> &numbers)
{
    QStringList parts;
    for (int n : numbers)
        parts << QString::number(n);
    return parts.join(QLatin1Char(','));
}

void LivePreviewPane::runInPage(const QString &script, const std::function<void(const QVariant &)> &done)
{
    if (done)
        m_view->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld, done);
    else
        m_view->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld);
}

// The view draws in a child widget that it may replace when a page loads: that is the one
// whose mouse events Inspect takes.
void LivePreviewPane::watchView()
{
    QObject *target = m_view->focusProxy() ? static_cast<QObject *>(m_view->focusProxy()) : m_view;
    if (target == m_watched)
        return;
    if (m_watched)
        m_watched->removeEventFilter(this);
    m_watched = target;
    m_watched->installEventFilter(this);
    connect(m_watched, &QObject::destroyed, this, [this, target] {
        if (m_watched == target)
            m_watched = nullptr;
    });
}

bool LivePreviewPane::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_watched || !isInspecting() || !m_annotated)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseMove: {
        if (m_hoverPending)
            return false;
        m_hoverPending = true;
        const QPointF p = static_cast<QMouseEvent *>(event)->position();
        runInPage(QStringLiteral("zk.hover(%1, %2);").arg(p.x()).arg(p.y()), [this](const QVariant &) { m_hoverPending = false; });
        return false;
    }
    case QEvent::MouseButtonPress:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            inspectAt(static_cast<QMouseEvent *>(event)->position().toPoint());
        return true; // a link under the pointer is not followed while inspecting
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void LivePreviewPane::inspectAt(const QPoint &viewPoint)
{
    if (!m_annotated)
        return;
    QPointer<LivePreviewPane> self(this);
    runInPage(QStringLiteral("window.zk ? zk.at(%1, %2) : -1;").arg(viewPoint.x()).arg(viewPoint.y()), [self](const QVariant &v) {
        bool ok = false;
        const int node = v.toInt(&ok);
        if (self && ok && node >= 0 && self->map() && node < self->map()->nodes.size())
            emit self->nodeInspected(node);
    });
}

void LivePreviewPane::setInspecting(bool on)
{
    m_inspect->setChecked(on);
}

bool LivePreviewPane::isInspecting() const
{
    return m_inspect->isChecked();
}

QString LivePreviewPane::noteText() const
{
    return m_note->isHidden() ? QString() : m_note->text();
}

int LivePreviewPane::nodeAtOffset(qint64 offset) const
{
    const tracing::Report *r = map();
    if (!r)
        return -1;
    int best = -1;
    for (qsizetype i = 0; i < r->nodes.size(); ++i) {
        const tracing::Node &n = r->nodes[i];
        if (n.offset < 0 || n.offset > offset)
            continue;
        if (offset < n.offset + std::max<qint64>(1, n.length))
            best = int(i); // later nodes that hold the offset lie inside earlier ones
    }
    return best;
}

bool LivePreviewPane::isUtf8() const
{
    return m_lastEncoding.isEmpty() || m_lastEncoding.compare("UTF-8", Qt::CaseInsensitive) == 0
           || m_lastEncoding.compare("UTF8", Qt::CaseInsensitive) == 0;
}

// Result Source holds the result's text as UTF-8; the map counts the result's own bytes.
qint64 LivePreviewPane::sourcePositionOf(qint64 offset) const
{
    if (isUtf8())
        return offset;
    return decode(m_lastPage.left(offset), m_lastEncoding).toUtf8().size();
}

qint64 LivePreviewPane::offsetOfSourcePosition(qint64 position) const
{
    if (isUtf8())
        return position;
    const QString prefix = QString::fromUtf8(m_source->utf8Text().left(position));
    if (auto known = QStringConverter::encodingForName(m_lastEncoding.constData())) {
        QStringEncoder encoder(*known);
        return QByteArray(encoder.encode(prefix)).size();
    }
    return prefix.toUtf8().size();
}

void LivePreviewPane::sourceCaretMoved()
{
    if (!isInspecting() || !map() || !m_source->hasFocus())
        return;
    const qint64 position = m_source->SendScintilla(Sci::SCI_GETCURRENTPOS);
    const int node = nodeAtOffset(offsetOfSourcePosition(position));
    if (node >= 0)
        emit nodeInspected(node);
}

void LivePreviewPane::showOutput(const QList<int> &nodes, const QString &note)
{
    m_shown = nodes;
    m_note->setText(note);
    m_note->setVisible(!note.isEmpty());
    if (m_annotated)
        runInPage(QStringLiteral("window.zk && zk.show([%1]);").arg(joinNumbers(nodes)));
    showPendingSource();
    m_marked.clear();
    m_source->SendScintilla(Sci::SCI_SETINDICATORCURRENT, kShownIndicator);
    m_source->SendScintilla(Sci::SCI_INDICATORCLEARRANGE, 0UL, m_source->SendScintilla(Sci::SCI_GETLENGTH));
    const tracing::Report *r = map();
    if (!r)
        return;
    // Marking is bounded: a template that ran a hundred thousand times is shown by its first
    // thousand outputs.
    for (int i : nodes.mid(0, 1000)) {
        const tracing::Node &n = r->nodes.value(i);
        if (n.offset < 0)
            continue;
        const qint64 from = sourcePositionOf(n.offset);
        const qint64 to = sourcePositionOf(n.offset + n.length);
        m_source->SendScintilla(Sci::SCI_INDICATORFILLRANGE, from, to - from);
        m_marked.append({int(from), int(to)});
    }
    if (!m_marked.isEmpty() && m_tabs->currentIndex() == 1)
        m_source->SendScintilla(Sci::SCI_GOTOPOS, m_marked.first().first);
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

void LivePreviewPane::showResult(const preview::Result &result, const QStringList &documents, const QByteArray &annotated)
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
    render(result, documents, annotated);
}

void LivePreviewPane::render(const preview::Result &result, const QStringList &documents, const QByteArray &annotated)
{
    ++m_renders;
    m_trace = result.trace;
    m_shown.clear();
    m_marked.clear();
    m_note->clear();
    m_note->hide();
    if (m_trace && m_trace->nodesCut > 0) {
        m_note->setText(QStringLiteral("Only the first %1 nodes of the result are mapped; %2 more are not.")
                            .arg(QLocale().toString(m_trace->nodes.size()), QLocale().toString(m_trace->nodesCut)));
        m_note->show();
    }
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
    // With Inspect, the view gets a copy whose mapped elements carry their place in the map;
    // the result itself (Result Source, saving, the browser) stays as it was written.
    const bool markup = result.method == QLatin1String("html") || result.method == QLatin1String("xhtml");
    m_annotated = markup && map();
    const QByteArray shown = !m_annotated ? result.page : !annotated.isEmpty() ? annotated : tracing::annotatedPage(result.page, *m_trace);
    const QByteArray page = !scripts || isTextMethod(result.method)
                                ? shown
                                : PreviewGuard::guardedPage(shown, result.method == QLatin1String("html"));
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
        // Replacing the content of the page shown costs a parse and a layout; a load costs a
        // new document besides (a few hundred milliseconds in the view). Scripts and the
        // Inspect marks want a fresh document each time, and so does the XML tree view.
        if (!isTextMethod(result.method) && !scripts && !m_annotated)
            replaceContent(page, mime, charset, base);
        else
            load(page, mime, charset, base);
    } else {
        m_shownMime.clear();
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

void LivePreviewPane::load(const QByteArray &page, const QString &mime, const QString &charset, const QString &base)
{
    m_shownMime = mime == QLatin1String("text/plain") ? QString() : mime;
    m_shownBase = base;
    m_shownCharset = charset;
    m_replaceable = false;
    ++m_serial;
    // Without a folder of its own the page still gets a short address: with none, the view gives
    // it a data: address that holds the whole page, and resolves every link of the page against
    // that (seconds for a page of a megabyte with a thousand links).
    m_view->setContent(page, mime + charset, base.isEmpty() ? QUrl(QStringLiteral("about:blank")) : QUrl::fromLocalFile(base));
}

void LivePreviewPane::replaceContent(const QByteArray &page, const QString &mime, const QString &charset, const QString &base)
{
    // The page's text is handed over as the view would read it on a load with the same charset
    // (UTF-8, or the Latin-1 of HTML output, which a browser reads as windows-1252); a page in
    // another encoding, or one that is not what it says, is loaded.
    QString text;
    if (!m_replaceable || mime != m_shownMime || base != m_shownBase || charset != m_shownCharset
        || !decodeAsTheViewDoes(page, charset, &text)) {
        load(page, mime, charset, base);
        return;
    }
    const int serial = ++m_serial;
    // The new document takes the old one's place when it is read the same way: the same
    // document type (and so the same rendering mode), no parse error of an XHTML page. Else,
    // or when the view no longer shows our page, it is loaded.
    //
    // Only what differs is changed: of each element's children, those that are equal at the
    // start and at the end stay, the ones between are brought up to date (in turn, where as
    // many of the same kind face each other) or replaced. An edit shows the view a few changed
    // nodes rather than a new document, so it lays out again only what moved: for a page of a
    // megabyte, tens of milliseconds instead of half a second. Should the result differ from the
    // new document in any way, the new document replaces the old one whole.
    const QString script = QStringLiteral(
        "(function (t) {"
        " if (!window.zkLive) return 0;"
        " var d = new DOMParser().parseFromString(t, '%1');"
        " var type = function (x) { return x.doctype ? x.doctype.name + '|' + x.doctype.publicId + '|' + x.doctype.systemId : ''; };"
        " var xhtml = function (x) { return x.documentElement && x.documentElement.namespaceURI === 'http://www.w3.org/1999/xhtml'; };"
        " if (!d.documentElement || d.getElementsByTagName('parsererror').length || type(d) !== type(document)"
        "     || d.compatMode !== document.compatMode) return 0;"
        // An XML result shows as a page only with an XHTML root; else the view shows its tree.
        " if (d.contentType === 'application/xml' && !(xhtml(d) && xhtml(document))) return 0;"
        " var x = window.scrollX, y = window.scrollY;"
        " var kin = function (a, b) { return a.nodeType === b.nodeType && a.nodeName === b.nodeName && a.namespaceURI === b.namespaceURI; };"
        " var copy = function (n) { return document.importNode(n, true); };"
        " var sync = function (a, b) {"
        "  if (a.isEqualNode(b)) return;"
        "  if (a.nodeType !== 1) { a.nodeValue = b.nodeValue; return; }"
        "  var i, at;"
        "  for (i = a.attributes.length - 1; i >= 0; --i) { at = a.attributes[i];"
        "   if (!b.hasAttributeNS(at.namespaceURI, at.localName)) a.removeAttributeNode(at); }"
        "  for (i = 0; i < b.attributes.length; ++i) { at = b.attributes[i];"
        "   if (a.getAttributeNS(at.namespaceURI, at.localName) !== at.value) a.setAttributeNS(at.namespaceURI, at.name, at.value); }"
        "  var ac = a.childNodes, bc = b.childNodes, s = 0, ea = ac.length, eb = bc.length;"
        "  while (s < ea && s < eb && ac[s].isEqualNode(bc[s])) ++s;"
        "  while (ea > s && eb > s && ac[ea - 1].isEqualNode(bc[eb - 1])) { --ea; --eb; }"
        "  if (ea - s === eb - s) {"
        "   for (i = s; i < ea; ++i) { if (kin(ac[i], bc[i])) sync(ac[i], bc[i]); else a.replaceChild(copy(bc[i]), ac[i]); }"
        "   return; }"
        "  var before = ea < ac.length ? ac[ea] : null;"
        "  for (i = ea - 1; i >= s; --i) a.removeChild(ac[i]);"
        "  for (i = s; i < eb; ++i) a.insertBefore(copy(bc[i]), before);"
        " };"
        " var patched = 1;"
        " try {"
        "  if (kin(document.documentElement, d.documentElement)) sync(document.documentElement, d.documentElement);"
        "  patched = document.documentElement.isEqualNode(d.documentElement) ? 2 : 1;"
        " } catch (e) {}"
        " if (patched !== 2) document.replaceChild(document.adoptNode(d.documentElement), document.documentElement);"
        " window.scrollTo(x, y);"
        " return patched;"
        "})(%2[0])")
        .arg(mime, QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact)));
    runInPage(script, [this, serial, page, mime, charset, base](const QVariant &replaced) {
        if (serial != m_serial)
            return;
        if (replaced.toInt() == 0) {
            load(page, mime, charset, base);
            return;
        }
        ++m_inPlaceRenders;
        if (replaced.toInt() == 2)
            ++m_patchedRenders;
        emit rendered();
    });
}
