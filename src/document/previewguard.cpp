#include "document/previewguard.h"

#include <QQuickWindow>

#include <QDir>
#include <QStringConverter>
#include <QFileInfo>
#include <QUrl>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

namespace {

// Runs first in every frame of a preview page, before the page's own scripts: removes what
// would let a script open connections of its own, which the web engine makes itself, past
// the request interceptor (WebRTC's STUN and TURN over UDP and TCP, WebTransport's QUIC).
// A frame the page makes itself (an empty iframe, one written into markup) exists before any
// injected script can run in it, and the page could reach into it at once: so every call that
// can add a frame, and every look into one, first cleans all frames below this one. The
// constructors are deleted, not replaced: nothing is left that a script could undo.
const char kNoConnectionsScript[] = R"JS(
(function () {
    'use strict';
    var doomed = /^(webkit)?RTC|^WebTransport$/;
    var cleaned = new WeakSet();
    function sweep() {
        sweepFrom(window);
    }
    function sweepFrom(w) {
        clean(w);
        var count = 0;
        try {
            count = w.length;
        } catch (e) {
        }
        for (var i = 0; i < count; ++i)
            sweepFrom(w[i]);
    }
    function clean(w) {
        var realm;
        try {
            realm = w.Node; // one per document: a frame that moves on gets a new one
        } catch (e) {
            return; // another origin: this script runs in it on its own
        }
        if (!realm || cleaned.has(realm))
            return;
        cleaned.add(realm);
        Object.getOwnPropertyNames(w).forEach(function (name) {
            if (doomed.test(name))
                delete w[name];
        });
        var after = function (owner, name) {
            var d = owner && Object.getOwnPropertyDescriptor(owner, name);
            if (!d)
                return;
            if (typeof d.value === 'function') {
                var call = d.value;
                d.value = function () {
                    try {
                        return call.apply(this, arguments);
                    } finally {
                        sweep();
                    }
                };
            } else if (d.set) {
                var set = d.set;
                d.set = function (v) {
                    try {
                        set.call(this, v);
                    } finally {
                        sweep();
                    }
                };
            } else {
                return;
            }
            Object.defineProperty(owner, name, d);
        };
        var before = function (owner, name) {
            var d = owner && Object.getOwnPropertyDescriptor(owner, name);
            if (!d || !d.get)
                return;
            var get = d.get;
            d.get = function () {
                sweep();
                return get.call(this);
            };
            Object.defineProperty(owner, name, d);
        };
        var each = function (owner, names, how) {
            if (owner)
                names.forEach(function (name) { how(owner, name); });
        };
        var inserting = ['append', 'prepend', 'before', 'after', 'replaceWith', 'replaceChildren'];
        each(w.Node.prototype, ['appendChild', 'insertBefore', 'replaceChild'], after);
        each(w.Element.prototype, inserting.concat(['insertAdjacentElement', 'insertAdjacentHTML', 'innerHTML',
                                                    'outerHTML', 'setHTML', 'setHTMLUnsafe']), after);
        each(w.CharacterData.prototype, inserting, after);
        each(w.DocumentType.prototype, inserting, after);
        each(w.Document.prototype, inserting.concat(['write', 'writeln', 'execCommand']), after);
        each(w.DocumentFragment.prototype, inserting, after);
        each(w.ShadowRoot && w.ShadowRoot.prototype, ['innerHTML', 'setHTML', 'setHTMLUnsafe'], after);
        each(w.Range.prototype, ['insertNode', 'surroundContents'], after);
        ['HTMLIFrameElement', 'HTMLFrameElement', 'HTMLObjectElement'].forEach(function (type) {
            each(w[type] && w[type].prototype, ['contentWindow', 'contentDocument'], before);
        });
        each(w.HTMLEmbedElement && w.HTMLEmbedElement.prototype, ['getSVGDocument'], after);
        var open = w.open;
        if (typeof open === 'function') {
            w.open = function () {
                var opened = open.apply(this, arguments);
                if (opened)
                    sweepFrom(opened);
                return opened;
            };
        }
        // A frame sent to a new address has a new document by its load event; the page's
        // handlers of that event run after this one (an iframe's load never reaches the window).
        w.document.addEventListener('load', sweep, true);
        // Frames the parser adds: cleaned before the page's next script runs.
        new w.MutationObserver(sweep).observe(w.document, {childList: true, subtree: true});
    }
    sweep();
    // Put into the page itself, it leaves the page's elements as they were.
    if (document.currentScript)
        document.currentScript.remove();
})();
)JS";

// Where the parser of an XML page meets its first element's content: after the prolog (the
// declaration, processing instructions, comments, the DOCTYPE with its internal subset) and
// the root's start tag; -1 when the root has no content, so nothing in it can run.
qsizetype afterRootStartTag(const QByteArray &page)
{
    qsizetype at = 0;
    const auto skipPast = [&](const char *end) {
        const qsizetype found = page.indexOf(end, at);
        at = found < 0 ? page.size() : found + qsizetype(qstrlen(end));
    };
    while (at < page.size()) {
        const char c = page[at];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || uchar(c) >= 0x80) { // a BOM too
            ++at;
        } else if (page.mid(at, 2) == "<?") {
            skipPast("?>");
        } else if (page.mid(at, 4) == "<!--") {
            skipPast("-->");
        } else if (page.mid(at, 2) == "<!") {
            // A DOCTYPE: its internal subset, if any, holds '>' of its own.
            const qsizetype close = page.indexOf('>', at);
            const qsizetype open = page.indexOf('[', at);
            if (open >= 0 && (close < 0 || open < close)) {
                at = open;
                skipPast("]");
            }
            skipPast(">");
        } else if (c == '<') {
            char quote = 0;
            for (++at; at < page.size(); ++at) {
                const char d = page[at];
                if (quote) {
                    if (d == quote)
                        quote = 0;
                } else if (d == '"' || d == '\'') {
                    quote = d;
                } else if (d == '>') {
                    return page[at - 1] == '/' ? -1 : at + 1;
                }
            }
            return -1;
        } else {
            return -1;
        }
    }
    return -1;
}

// Where an HTML page's first script may go without changing how the page is read: after a
// DOCTYPE at its start (one after other content would put the page into quirks mode).
qsizetype afterDoctype(const QByteArray &page)
{
    qsizetype at = page.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (at < page.size() && QByteArrayView(" \t\r\n").contains(page[at]))
        ++at;
    if (page.mid(at, 9).compare("<!DOCTYPE", Qt::CaseInsensitive) != 0)
        return page.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const qsizetype close = page.indexOf('>', at);
    return close < 0 ? 0 : close + 1;
}

// A profile for a preview. Chromium sends WebRTC's UDP itself, whatever the page's scripts were
// allowed; with this policy and no proxy it sends none. It draws with the CPU, as the view
// does (see PreviewGuard::drawWithoutOpenGL). The web engine reads it once, when it
// starts, which is when the first profile is made.
QWebEngineProfile *newProfile(QObject *owner)
{
    static bool started = false;
    if (started)
        return new QWebEngineProfile(owner);
    started = true;
    const char *const name = "QTWEBENGINE_CHROMIUM_FLAGS";
    const bool had = qEnvironmentVariableIsSet(name);
    const QByteArray flags = qgetenv(name);
    // Last, so that it wins over the same switch given in the environment.
    qputenv(name, flags + " --force-webrtc-ip-handling-policy=disable_non_proxied_udp --disable-gpu");
    auto *profile = new QWebEngineProfile(owner);
    // Programs started from here (a browser for Preview HTML In Browser may itself be built on
    // this web engine) get the environment the user gave.
    if (had)
        qputenv(name, flags);
    else
        qunsetenv(name);
    return profile;
}

} // namespace

void PreviewGuard::drawWithoutOpenGL(const std::function<void()> &makeApplication)
{
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // The windowing system's OpenGL is looked for while the application starts; a choice the
    // user made in the environment stands, and programs started from here get it unchanged.
    const char *const name = "QT_XCB_GL_INTEGRATION";
    const bool chosen = qEnvironmentVariableIsSet(name);
    if (!chosen)
        qputenv(name, "none");
    makeApplication();
    if (!chosen)
        qunsetenv(name);
}

PreviewGuard::PreviewGuard(QObject *parent)
    : QWebEngineUrlRequestInterceptor(parent)
{
}

PreviewGuard::Profile PreviewGuard::createProfile(QObject *owner, bool runScripts)
{
    Profile p;
    p.profile = newProfile(owner);
    p.guard = new PreviewGuard(p.profile);
    p.profile->setUrlRequestInterceptor(p.guard);
    applySettings(p.profile->settings(), runScripts);
    QWebEngineScript noConnections;
    noConnections.setName(QStringLiteral("zendrik-no-connections"));
    noConnections.setSourceCode(QString::fromLatin1(kNoConnectionsScript));
    noConnections.setInjectionPoint(QWebEngineScript::DocumentCreation);
    noConnections.setWorldId(QWebEngineScript::MainWorld);
    noConnections.setRunsOnSubFrames(true);
    p.profile->scripts()->insert(noConnections);
    return p;
}

QByteArray PreviewGuard::guardedPage(const QByteArray &page, bool html)
{
    // The rest of the work is on text whose markup is ASCII; a page in UTF-16 or UTF-32 goes
    // there and back.
    const std::optional<QStringConverter::Encoding> wide = QStringConverter::encodingForData(page, u'<');
    const bool convert = wide && *wide != QStringConverter::Utf8;
    QByteArray text = page;
    if (convert) {
        QStringDecoder decoder(*wide);
        text = QString(decoder.decode(page)).toUtf8();
    }
    const QByteArray script(kNoConnectionsScript);
    if (html) {
        text.insert(afterDoctype(text), "<script>" + script + "</script>");
    } else {
        // Only XHTML and SVG elements run scripts in an XML page; any other page is left as it
        // is, since the web view may show it as a tree of its markup.
        if (!text.contains("http://www.w3.org/1999/xhtml") && !text.contains("http://www.w3.org/2000/svg"))
            return page;
        const qsizetype at = afterRootStartTag(text);
        if (at < 0)
            return page;
        text.insert(at, "<script xmlns=\"http://www.w3.org/1999/xhtml\"><![CDATA[" + script + "]]></script>");
    }
    if (!convert)
        return text;
    const bool bom = QStringConverter::encodingForData(page.left(4)).has_value();
    QStringEncoder encoder(*wide, bom ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
    return encoder.encode(QString::fromUtf8(text));
}

void PreviewGuard::setScope(const QStringList &documents, const QString &pageFile)
{
    m_folders.clear();
    for (const QString &document : documents) {
        const QString folder = folderOf(document);
        if (!folder.isEmpty() && !m_folders.contains(folder))
            m_folders << folder;
    }
    m_pageFile = pageFile.isEmpty() ? QString() : QFileInfo(pageFile).canonicalFilePath();
}

void PreviewGuard::interceptRequest(QWebEngineUrlRequestInfo &info)
{
    if (!allows(info.requestUrl(), m_folders, m_pageFile))
        info.block(true);
}

QString PreviewGuard::folderOf(const QString &documentPath)
{
    // A document from the web vouches for no folder on this computer.
    if (documentPath.isEmpty() || documentPath.contains(QLatin1String("://")))
        return QString();
    // The folder the user put the document in, even when the document itself is a link to a
    // file elsewhere: that is where its relative references point.
    return QFileInfo(QFileInfo(documentPath).absolutePath()).canonicalFilePath();
}

bool PreviewGuard::allows(const QUrl &url, const QStringList &folders, const QString &pageFile)
{
    const QString scheme = url.scheme(); // QUrl keeps schemes in lower case
    if (scheme == QLatin1String("data") || scheme == QLatin1String("blob") || scheme == QLatin1String("qrc"))
        return true;
    if (scheme == QLatin1String("about"))
        return url.path() == QLatin1String("blank") || url.path() == QLatin1String("srcdoc");
    if (scheme != QLatin1String("file"))
        return false;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        return false;

    QUrl local = url;
    local.setHost(QString());
    // The browser removes ".." from the address before it opens the file, so that comes first;
    // then the links on the way are resolved as the file system will resolve them.
    const QString path = QDir::cleanPath(local.toLocalFile());
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty())
        return false; // nothing there to load
    if (!pageFile.isEmpty() && real == pageFile)
        return true;
    for (const QString &folder : folders) {
        if (folder.isEmpty())
            continue;
        const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        if (real.startsWith(prefix))
            return true;
    }
    return false;
}

void PreviewGuard::applySettings(QWebEngineSettings *settings, bool runScripts)
{
    using S = QWebEngineSettings;
    settings->setAttribute(S::JavascriptEnabled, runScripts);
    settings->setAttribute(S::JavascriptCanOpenWindows, false);
    settings->setAttribute(S::JavascriptCanAccessClipboard, false);
    settings->setAttribute(S::JavascriptCanPaste, false);
    settings->setAttribute(S::AllowWindowActivationFromJavaScript, false);
    settings->setAttribute(S::LocalStorageEnabled, false);
    settings->setAttribute(S::LocalContentCanAccessRemoteUrls, false);
    // Pictures and style sheets beside the documents need it; the guard keeps it to their folders.
    settings->setAttribute(S::LocalContentCanAccessFileUrls, true);
    settings->setAttribute(S::PluginsEnabled, false);
    settings->setAttribute(S::PdfViewerEnabled, false);
    settings->setAttribute(S::HyperlinkAuditingEnabled, false);
    settings->setAttribute(S::DnsPrefetchEnabled, false);
    settings->setAttribute(S::AllowRunningInsecureContent, false);
    settings->setAttribute(S::AllowGeolocationOnInsecureOrigins, false);
    settings->setAttribute(S::FullScreenSupportEnabled, false);
    settings->setAttribute(S::ScreenCaptureEnabled, false);
    settings->setAttribute(S::WebRTCPublicInterfacesOnly, true);
    settings->setAttribute(S::NavigateOnDropEnabled, false);
}

PreviewPage::PreviewPage(QWebEngineProfile *profile, const PreviewGuard *guard, QObject *parent)
    : QWebEnginePage(profile, parent)
    , m_guard(guard)
{
}

bool PreviewPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool)
{
    // A document the page makes up itself would be an XML page whose scripts run as it is
    // parsed, before this profile's script could take WebRTC from it; the program's own pages
    // come as typed addresses.
    const QString scheme = url.scheme();
    if (type != NavigationTypeTyped && (scheme == QLatin1String("data") || scheme == QLatin1String("blob")))
        return false;
    return m_guard->permits(url);
}
