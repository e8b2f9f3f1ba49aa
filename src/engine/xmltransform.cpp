#include "engine/requesthandler.h"
#include "engine/tracecollector.h"
#include "engine/xmlinternal.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

using namespace xmlinternal;

namespace xmlinternal {
thread_local xsltTransformContextPtr t_transformContext = nullptr;
} // namespace xmlinternal

namespace {

// The transformations under way and whether they are to stop. A run is stopped through the limit
// libxslt and libxml2 keep on the operations of a run: reached, every instruction and every
// step of an XPath expression fails at once, so even loops nested deep, or an expression over a
// large tree, end within a few steps; the state "stopped" ends the rest as an xsl:message that
// terminates would. They are written from the worker's reading thread, under the lock that keeps
// the context from going meanwhile; the run only ever raises its count towards a limit it reads.
void stopRun(xsltTransformContextPtr ctxt)
{
    ctxt->opLimit = 1;
    ctxt->opCount = 1;
    if (ctxt->xpathCtxt) {
        ctxt->xpathCtxt->opLimit = 1;
        ctxt->xpathCtxt->opCount = 1;
    }
    ctxt->state = XSLT_STATE_STOPPED;
}

struct Interrupt {
    std::mutex lock;
    std::vector<xsltTransformContextPtr> running;
    bool asked = false;
};

Interrupt &interrupt()
{
    static Interrupt i;
    return i;
}

// Registers a transformation for as long as it runs.
class Interruptible
{
public:
    explicit Interruptible(xsltTransformContextPtr ctxt)
        : m_ctxt(ctxt)
    {
        Interrupt &i = interrupt();
        const std::lock_guard<std::mutex> hold(i.lock);
        i.running.push_back(ctxt);
        if (i.asked)
            stopRun(ctxt);
    }
    ~Interruptible()
    {
        Interrupt &i = interrupt();
        const std::lock_guard<std::mutex> hold(i.lock);
        i.running.erase(std::find(i.running.begin(), i.running.end(), m_ctxt));
    }
    Interruptible(const Interruptible &) = delete;
    Interruptible &operator=(const Interruptible &) = delete;

private:
    xsltTransformContextPtr m_ctxt;
};

} // namespace

namespace engine {

void interruptWork() noexcept
{
    Interrupt &i = interrupt();
    const std::lock_guard<std::mutex> hold(i.lock);
    i.asked = true;
    for (xsltTransformContextPtr ctxt : i.running)
        stopRun(ctxt);
}

bool takeInterrupt() noexcept
{
    Interrupt &i = interrupt();
    const std::lock_guard<std::mutex> hold(i.lock);
    return std::exchange(i.asked, false);
}

} // namespace engine

namespace {

// another file (an include, a document() target) name that file.
QString transformReason(const ErrorCapture &cap)
{
    QStringList lines;
    for (const Message &m : cap.messages) {
        if (m.structured && m.level < XML_ERR_ERROR)
            continue;
        // libxslt heads a message it cannot place in a stylesheet with a bare "error" line.
        if (!m.structured && m.text.trimmed() == QLatin1String("error"))
            continue;
        if (m.structured && m.domain == XML_FROM_XPATH)
            lines << QStringLiteral("XPath error : ") + m.text;
        else if (m.structured && !m.file.isEmpty() && m.line > 0)
            lines << QStringLiteral("%1:%2: %3").arg(m.file).arg(m.line).arg(m.text);
        else
            lines << m.text;
    }
    return joinLines(lines);
}

// The messages of a compilation or transformation, each at its place. libxslt heads a message
// it can place with "compilation error: file F line N element E" (or "runtime error: ..."); an
// XPath error comes before the heading of the instruction it belongs to; the messages of

// documents read on the way name their document as "name:line: text".
QList<Diagnostic> diagnosticsOf(const std::vector<Message> &messages, Diagnostic::Origin origin)
{
    static const QRegularExpression heading(QStringLiteral("^(compilation|runtime) error: file (.*) line (\\d+) element (.*)$"));
    static const QRegularExpression located(QStringLiteral("^(.+):(\\d+): (.*)$"));
    QList<Diagnostic> out;
    std::optional<Diagnostic> place;
    QStringList xpath;
    const auto add = [&](Diagnostic d) {
        if (!xpath.isEmpty() && d.origin != Diagnostic::Origin::Message) {
            d.message += QStringLiteral(" (%1)").arg(xpath.join(QStringLiteral("; ")));
            xpath.clear();
        }
        if (!out.contains(d))
            out << d;
    };
    for (const Message &m : messages) {
        if (m.xslMessage) {
            Diagnostic d;
            d.origin = Diagnostic::Origin::Message;
            d.severity = m.terminates ? Diagnostic::Severity::Error : Diagnostic::Severity::Information;
            d.message = m.text;
            d.file = m.file;
            d.line = m.line;
            add(d);
            continue;
        }
        if (m.structured) {
            if (m.level < XML_ERR_ERROR)
                continue;
            if (m.domain == XML_FROM_XPATH) {
                xpath << m.text;
                continue;
            }
            Diagnostic d;
            d.origin = Diagnostic::Origin::WellFormedness;
            d.message = m.text;
            d.file = m.file;
            d.line = m.line;
            d.column = m.column;
            add(d);
            continue;
        }
        const QString text = m.text.trimmed();
        if (text.isEmpty() || text == QLatin1String("error"))
            continue;
        if (const QRegularExpressionMatch h = heading.match(text); h.hasMatch()) {
            Diagnostic d;
            d.origin = h.captured(1) == QLatin1String("compilation") ? Diagnostic::Origin::Compilation
                                                                     : Diagnostic::Origin::Runtime;
            d.file = h.captured(2);
            d.line = h.captured(3).toInt();
            place = d;
            continue;
        }
        if (place) {
            Diagnostic d = *place;
            d.message = text;
            add(d);
            place.reset();
            continue;
        }
        if (const QRegularExpressionMatch l = located.match(text); l.hasMatch()) {
            Diagnostic d;
            d.origin = origin;
            d.file = l.captured(1);
            d.line = l.captured(2).toInt();
            d.message = l.captured(3);
            add(d);
            continue;
        }
        // A line without a place usually explains the heading that follows it ("Cannot open
        // file ..." before "xsl:include : unable to load ...").
        xpath << text;
    }
    // What explained nothing that followed stands on its own.
    for (const QString &text : std::as_const(xpath)) {
        Diagnostic d;
        d.origin = origin;
        d.message = text;
        if (!out.contains(d))
            out << d;
    }
    return out;
}

// What the documents of one transformation may read: set for its length (see
// TransformEnvironment), consulted by the document loader and the security checks.
struct TransformPolicy {
    bool localFiles = false;
    QString remoteOrigin;
    // Reads the loader refused outright; any of them fails the transformation, where a
    // document that is merely missing only empties a document() result.
    mutable QStringList refusals;
    bool allows(const QString &uri) const
    {
        if (!localPathOf(uri).isEmpty())
            return localFiles;
        const QString origin = originOf(uri);
        return !origin.isEmpty() && origin == remoteOrigin;
    }
};
thread_local const TransformPolicy *t_transformPolicy = nullptr;

TransformPolicy policyForStylesheet(const QByteArray &baseUri)
{
    TransformPolicy p;
    const QString base = QString::fromUtf8(baseUri);
    p.remoteOrigin = originOf(base);
    p.localFiles = p.remoteOrigin.isEmpty();
    return p;
}

} // namespace

namespace xmlinternal {

xmlDocPtr guardedDocLoader(const xmlChar *uri, xmlDictPtr dict, int, void *, xsltLoadType)
{
    const QString target = fromXml(uri);
    const TransformPolicy *transform = t_transformPolicy;
    const auto refuse = [&](const QString &why) -> xmlDocPtr {
        if (t_readLog)
            t_readLog->uncheckable = true;
        loaderError(why);
        if (transform)
            transform->refusals << why;
        return nullptr;
    };
    if (!transform || !transform->allows(target))
        return refuse(QStringLiteral("Reading %1 was refused: a stylesheet from the network reads only from its own "
                                     "server, and one from this computer reads only local files.").arg(target));
    QByteArray bytes;
    QString base = target;
    const QString path = localPathOf(target);
    if (!path.isEmpty()) {
        QString error;
        const bool read = FileIO::readRegularFile(path, &bytes, &error);
        if (t_readLog)
            t_readLog->noteFile(path, read ? &bytes : nullptr);
        if (!read) {
            if (QFileInfo::exists(path))
                return refuse(error);
            loaderError(error);
            return nullptr;
        }
    } else {
        if (t_readLog)
            t_readLog->uncheckable = true;
        // Every hop is checked before it is taken: another server never hears of the request.
        UrlFetchObserver sameOrigin;
        sameOrigin.redirectAllowed = [transform](const QString &to) { return transform->allows(to); };
        const UrlFetchResult fetched = fetchUrl(target, sameOrigin);
        if (!fetched.refusedRedirect.isEmpty())
            return refuse(QStringLiteral("Reading %1 was refused: the server sent it on to %2, another server.")
                              .arg(target, fetched.refusedRedirect));
        if (!fetched.ok) {
            loaderError(fetched.error);
            return nullptr;
        }
        bytes = fetched.data;
        base = fetched.finalUrl;
    }
    return readForTransformation(bytes, base, nullptr, 0, dict);
}

} // namespace xmlinternal

namespace {

// Local and network reads are allowed only as the transformation's policy says; everything
// that writes is refused.
int checkRead(xsltSecurityPrefsPtr, xsltTransformContextPtr, const char *value)
{
    return t_transformPolicy && value && t_transformPolicy->allows(QString::fromUtf8(value)) ? 1 : 0;
}

xsltSecurityPrefsPtr newSecurityPrefs()
{
    xsltSecurityPrefsPtr sec = xsltNewSecurityPrefs();
    if (!sec)
        return nullptr;
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_WRITE_FILE, xsltSecurityForbid);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_CREATE_DIRECTORY, xsltSecurityForbid);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_WRITE_NETWORK, xsltSecurityForbid);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_READ_NETWORK, &engine::CallbackEdge<&checkRead>::call);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_READ_FILE, &engine::CallbackEdge<&checkRead>::call);
    return sec;
}

// libxslt consults only the process-wide security preferences while compiling, so they are
// swapped for the length of one transformation, together with the policy the loaders follow.
class TransformEnvironment
{
public:
    TransformEnvironment(xsltSecurityPrefsPtr sec, const TransformPolicy *policy)
        : m_oldSecurity(xsltGetDefaultSecurityPrefs())
        , m_oldPolicy(t_transformPolicy)
    {
        xsltSetDefaultSecurityPrefs(sec);
        t_transformPolicy = policy;
    }
    ~TransformEnvironment()
    {
        xsltSetDefaultSecurityPrefs(m_oldSecurity);
        t_transformPolicy = m_oldPolicy;
    }
    TransformEnvironment(const TransformEnvironment &) = delete;
    TransformEnvironment &operator=(const TransformEnvironment &) = delete;

private:
    xsltSecurityPrefsPtr m_oldSecurity;
    const TransformPolicy *m_oldPolicy;
};

} // namespace

bool XmlDocument::transformNode(const XmlDocument &source, QString *result)
{
    QByteArray bytes;
    QByteArray encoding;
    const bool ok = transform(&source, &bytes, &encoding);
    if (result)
        *result = ok ? decode(bytes, encoding.isEmpty() ? QByteArray("UTF-8") : encoding) : QString();
    return ok;
}

bool XmlDocument::transformNodeToBytes(const XmlDocument &source, QByteArray *result)
{
    QByteArray bytes;
    const bool ok = transform(&source, &bytes, nullptr);
    if (result)
        *result = ok ? bytes : QByteArray();
    return ok;
}

xmlDoc *XmlDocument::readForXslt() const
{
    return readForTransformation(d->input, d->url, d->unicodeText ? "UTF-8" : nullptr,
                                 d->unicodeText ? XML_PARSE_IGNORE_ENC : 0, nullptr);
}

bool XmlDocument::transform(const XmlDocument *source, QByteArray *out, QByteArray *encoding)
{
    m_error = ParseError();
    m_diagnostics.clear();
    const auto fail = [&](const QString &reason, int code = -1) {
        m_error.code = code;
        m_error.reason = joinLines({reason});
        return false;
    };
    if (!d->doc && !d->unparsed && (source || d->input.isEmpty()))
        return fail(QStringLiteral("The stylesheet is not loaded"));
    if (source && !source->d->doc && !source->d->unparsed)
        return fail(QStringLiteral("The XML source document is not loaded"));
    TransformCache::Impl *cache = m_cache ? m_cache->impl() : nullptr;

    SecurityPtr sec(newSecurityPrefs());
    if (!sec)
        return fail(QStringLiteral("Out of memory while preparing the transformation"), XML_ERR_NO_MEMORY);

    ErrorCapture capture(ErrorCapture::Processor);
    // Whatever happens below, what was reported is kept, each at its place.
    struct KeepDiagnostics {
        ErrorCapture &capture;
        QList<Diagnostic> &into;
        Diagnostic::Origin origin;
        ~KeepDiagnostics()
        {
            capture.flushText();
            into = diagnosticsOf(capture.messages, origin);
        }
    } keep{capture, m_diagnostics, source ? Diagnostic::Origin::Runtime : Diagnostic::Origin::Compilation};
    const TransformPolicy policy = policyForStylesheet(d->baseUri);
    TransformEnvironment env(sec.get(), &policy);
    const auto failWithMessages = [&](const QString &fallback) {
        capture.flushText();
        const Message *first = capture.firstError();
        QString reason = transformReason(capture);
        if (reason.isEmpty())
            reason = fallback;
        return fail(reason, first && first->code ? first->code : -1);
    };

    // The compiled stylesheet: the one kept from an earlier run of the same texts, or a new one.
    StylesheetPtr ownStyle;
    xsltStylesheetPtr style = nullptr;
    const QByteArray styleKey = cache ? cache->keyOf(d->input, d->url, d->unicodeText) : QByteArray();
    // The stylesheet as compiled, its imports' contents included: what stripped a kept source.
    QByteArray compiled = styleKey;
    if (cache && cache->style && cache->current(*cache->style, styleKey)) {
        style = cache->style->style.get();
        compiled = cache->style->compiled;
        capture.messages.insert(capture.messages.begin(), cache->style->messages.begin(), cache->style->messages.end());
        ++cache->counts.stylesheetReuses;
    } else {
        if (cache) {
            cache->style.reset();
            ++cache->counts.compiles;
        }
        ReadLog reads;
        ReadLogScope logging(&reads);
        // The stylesheet compiler rewrites the tree it is given and keeps it, so it gets a copy.
        xmlDocPtr styleDoc = readForXslt();
        if (!styleDoc)
            return failWithMessages(QStringLiteral("The stylesheet could not be read for the transformation"));
        ownStyle.reset(xsltParseStylesheetDoc(styleDoc));
        if (!ownStyle) {
            xmlFreeDoc(styleDoc);
            return failWithMessages(QStringLiteral("The stylesheet could not be compiled"));
        }
        // libxslt reports some faults (an unknown xsl: element in a 1.0 stylesheet) as
        // compilation errors without counting them; the stylesheet would then quietly do nothing
        // there.
        capture.flushText();
        const bool compileErrorReported = std::any_of(capture.messages.begin(), capture.messages.end(), [](const Message &m) {
            return !m.structured && m.text.startsWith(QLatin1String("compilation error"));
        });
        if (ownStyle->errors > 0 || compileErrorReported)
            return failWithMessages(QStringLiteral("The stylesheet could not be compiled"));
        style = ownStyle.get();
        for (const ReadLog::File &f : reads.files)
            compiled += f.digest;
        if (cache && TransformCache::Impl::keepable(d->input.size(), reads)) {
            TransformCache::Impl::Style &kept = cache->style.emplace();
            kept.key = styleKey;
            kept.reads = std::move(reads);
            kept.checkedIn = cache->request;
            kept.messages = capture.messages;
            kept.compiled = compiled;
            kept.style = std::move(ownStyle);
        }
    }
    if (!source)
        return true;

    // The source: the tree kept from an earlier run, unless a stylesheet other than this one
    // stripped its blank text; else a new parse.
    DocPtr ownSource;
    xmlDocPtr sourceDoc = nullptr;
    const QByteArray sourceKey = cache ? cache->keyOf(source->d->input, source->d->url, source->d->unicodeText) : QByteArray();
    if (cache && cache->source && cache->current(*cache->source, sourceKey)
        && (cache->source->strippedBy.isEmpty() || cache->source->strippedBy == compiled)) {
        sourceDoc = cache->source->doc.get();
        ++cache->counts.sourceReuses;
    } else {
        if (cache) {
            cache->source.reset();
            ++cache->counts.sourceParses;
        }
        ReadLog reads;
        {
            ReadLogScope logging(&reads);
            ownSource.reset(source->readForXslt());
        }
        if (!ownSource)
            return failWithMessages(QStringLiteral("The XML source could not be read for the transformation"));
        sourceDoc = ownSource.get();
        if (cache && TransformCache::Impl::keepable(source->d->input.size(), reads)) {
            TransformCache::Impl::Source &kept = cache->source.emplace();
            kept.key = sourceKey;
            kept.reads = std::move(reads);
            kept.checkedIn = cache->request;
            kept.doc = std::move(ownSource);
        }
    }
    // Stripping is the one change a run makes to its source that outlives it (the marks it
    // leaves for keys and ids are cleared at its end).
    bool strips = false;
    for (xsltStylesheetPtr s = style; s && !strips; s = xsltNextImport(s))
        strips = s->stripSpaces != nullptr;
    if (cache && cache->source && cache->source->doc.get() == sourceDoc && strips)
        cache->source->strippedBy = compiled;

    TransformCtxtPtr tctxt(xsltNewTransformContext(style, sourceDoc));
    if (!tctxt)
        return failWithMessages(QStringLiteral("The transformation could not be started"));
    xsltSetCtxtSecurityPrefs(sec.get(), tctxt.get());
    xsltSetTransformErrorFunc(tctxt.get(), &capture, &ErrorCapture::generic);
    xsltSetCtxtParseOptions(tctxt.get(), kXsltOptions);
    // Strings go in as they are; expressions are evaluated by the run itself, against the source.
    QList<QByteArray> expressions;
    for (const params::Value &p : std::as_const(m_parameters)) {
        if (p.xpath) {
            expressions << p.name.toUtf8() << p.value.toUtf8();
            continue;
        }
        const QByteArray name = p.name.toUtf8();
        const QByteArray value = p.value.toUtf8();
        if (xsltQuoteOneUserParam(tctxt.get(), reinterpret_cast<const xmlChar *>(name.constData()),
                                  reinterpret_cast<const xmlChar *>(value.constData()))
            != 0)
            return failWithMessages(QStringLiteral("The value given to the parameter %1 could not be used").arg(p.name));
    }
    std::vector<const char *> paramArray;
    for (const QByteArray &b : std::as_const(expressions))
        paramArray.push_back(b.constData());
    paramArray.push_back(nullptr);

    // Declared after the context: it lets go of it before the context goes.
    std::optional<TraceCollector> collector;
    m_trace = tracing::Report();
    if (m_traceFlags && out && !encoding) {
        collector.emplace(m_traceFlags, style->doc, d->url);
        collector->attach(tctxt.get());
    }
    const xsltTransformContextPtr outer = t_transformContext;
    t_transformContext = tctxt.get();
    std::optional<Interruptible> interruptible(std::in_place, tctxt.get());
    DocPtr resultDoc(xsltApplyStylesheetUser(style, sourceDoc, paramArray.data(), nullptr, nullptr, tctxt.get()));
    interruptible.reset();
    t_transformContext = outer;
    if (collector)
        collector->detach();
    if (!resultDoc || tctxt->state == XSLT_STATE_ERROR || tctxt->state == XSLT_STATE_STOPPED
        || !policy.refusals.isEmpty())
        return failWithMessages(QStringLiteral("The transformation failed"));

    xmlChar *buf = nullptr;
    int len = 0;
    if (xsltSaveResultToString(&buf, &len, resultDoc.get(), style) != 0) {
        xmlFree(buf);
        return failWithMessages(QStringLiteral("The transformation result could not be written"));
    }
    *out = QByteArray(reinterpret_cast<const char *>(buf), buf ? len : 0);
    xmlFree(buf);
    if (collector)
        m_trace = collector->finish(resultDoc.get(), style, *out);
    const xmlChar *enc = nullptr;
    XSLT_GET_IMPORT_PTR(enc, style, encoding)
    m_outputEncoding = enc ? QByteArray(reinterpret_cast<const char *>(enc)) : QByteArray();
    if (encoding)
        *encoding = m_outputEncoding;
    // Without a method, libxslt writes HTML when the result starts with an html element.
    const xmlChar *method = nullptr;
    XSLT_GET_IMPORT_PTR(method, style, method)
    m_outputMethod = method ? fromXml(method).toLower()
                     : resultDoc->type == XML_HTML_DOCUMENT_NODE ? QStringLiteral("html")
                                                                 : QStringLiteral("xml");
    return true;
}

bool XmlDocument::compileStylesheet()
{
    return transform(nullptr, nullptr, nullptr);
}

void XmlDocument::setUnparsedUtf8(const QByteArray &utf8, const QString &baseUrl)
{
    d->doc.reset();
    d->unparsed = true;
    d->input = utf8;
    d->unicodeText = true;
    d->url = baseUrl;
    d->baseUri = toBaseUri(baseUrl);
    m_error = ParseError();
    m_diagnostics.clear();
}

bool XmlDocument::compileStylesheetUtf8(const QByteArray &utf8, const QString &baseUrl)
{
    // The compiler reads the text itself, in the XSLT data model; a parse for the editor first
    // would only double the work.
    d->doc.reset();
    d->input = utf8;
    d->unicodeText = true;
    d->url = baseUrl;
    d->baseUri = toBaseUri(baseUrl);
    return transform(nullptr, nullptr, nullptr);
}
