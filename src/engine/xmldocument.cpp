#include "engine/xmldocument.h"

#include "engine/outofmemory.h"

#include "engine/fileio.h"
#include "engine/urlfetch.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

#include <libexslt/exslt.h>
#include <libxml/encoding.h>

#include <cerrno>
#include <iconv.h>
#include <libxml/SAX2.h>
#include <libxml/catalog.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/uri.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <libxslt/documents.h>
#include <libxslt/imports.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/variables.h>
#include <libxslt/variables.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <optional>
#include <memory>
#include <vector>

namespace {

// Everything the editor parses is untrusted text. No network, no external DTD, no entity
// substitution. BIG_LINES only keeps line numbers above 65535 right in messages.
constexpr int kEditOptions = XML_PARSE_NONET | XML_PARSE_BIG_LINES;

// The documents an XSLT processor works on follow the XPath data model: entities expanded,
// CDATA sections merged into text, attribute defaults of the internal subset filled in. This is
// what xsltproc reads. What else such a read may pull in (external entities, an external DTD)
// depends on where the document came from: see ParsePolicy.
constexpr int kXsltOptions = XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOCDATA
                             | XML_PARSE_NONET | XML_PARSE_BIG_LINES;

// What one operation reports at most: a document built to produce errors by the million must
// not cost minutes of formatting and a box taller than the screen.
constexpr int kMaxMessages = 20;
constexpr qsizetype kMaxMessageChars = 64 * 1024;

QString fromXml(const xmlChar *s)
{
    return s ? QString::fromUtf8(reinterpret_cast<const char *>(s)) : QString();
}

// One message from libxml2 or libxslt, in the order they arrived.
struct Message {
    bool structured = false;
    int code = 0;
    int level = 0;
    int domain = 0;
    int line = 0;
    int column = 0;
    QString file;
    QString text; // without the trailing line break
    // Output of xsl:message: where the instruction is, and whether it ends the transformation.
    bool xslMessage = false;
    bool terminates = false;
};

// The transformation running on this thread, so that a line of its output can be traced to
// the instruction that wrote it.
thread_local xsltTransformContextPtr t_transformContext = nullptr;

// Collects every message libxml2 and libxslt produce while it lives, so none reaches stderr and
// each operation reports only its own. The previous handlers come back on destruction.
//
// Only the first kMaxMessages distinct messages (kMaxMessageChars in all) are kept. A parse
// stops at its first fatal error: the document is rejected by then, and going on only piles up
// consequences of the first mistake (millions of them, with nested entities).
class ErrorCapture
{
public:
    // libxml2 keeps its handlers per thread, so parses may run on several threads at once.
    // libxslt's are plain globals: only a transformation (never more than one at a time, in
    // one thread) installs those.
    enum Scope { Parser, Processor };
    explicit ErrorCapture(Scope scope = Parser)
        : m_processor(scope == Processor)
        , m_oldGeneric(xmlGenericError)
        , m_oldGenericCtx(xmlGenericErrorContext)
        , m_oldStructured(xmlStructuredError)
        , m_oldStructuredCtx(xmlStructuredErrorContext)
        , m_oldXsltError(xsltGenericError)
        , m_oldXsltErrorCtx(xsltGenericErrorContext)
        , m_oldXsltDebug(xsltGenericDebug)
        , m_oldXsltDebugCtx(xsltGenericDebugContext)
    {
        xmlSetGenericErrorFunc(this, &ErrorCapture::generic);
        xmlSetStructuredErrorFunc(this, &ErrorCapture::structured);
        if (m_processor) {
            xsltSetGenericErrorFunc(this, &ErrorCapture::generic);
            xsltSetGenericDebugFunc(this, &ErrorCapture::discard);
        }
    }

    ~ErrorCapture()
    {
        xmlSetGenericErrorFunc(m_oldGenericCtx, m_oldGeneric);
        xmlSetStructuredErrorFunc(m_oldStructuredCtx, m_oldStructured);
        if (m_processor) {
            xsltSetGenericErrorFunc(m_oldXsltErrorCtx, m_oldXsltError);
            xsltSetGenericDebugFunc(m_oldXsltDebugCtx, m_oldXsltDebug);
        }
    }

    ErrorCapture(const ErrorCapture &) = delete;
    ErrorCapture &operator=(const ErrorCapture &) = delete;

    static void generic(void *ctx, const char *fmt, ...)
    {
        auto *self = static_cast<ErrorCapture *>(ctx);
        if (self->full())
            return;
        va_list ap;
        va_start(ap, fmt);
        engine::atCallbackEdge([&] {
            const QString text = QString::vasprintf(fmt, ap);
            if (engine::saysOutOfMemory(fmt))
                engine::noteOutOfMemory();
            self->appendText(text);
        });
        va_end(ap);
    }

    static void discard(void *, const char *, ...) {}

    static void structured(void *ctx, xmlErrorPtr err)
    {
        engine::atCallbackEdge([&] { note(static_cast<ErrorCapture *>(ctx), err); });
    }

    static void note(ErrorCapture *self, xmlErrorPtr err)
    {
        if (!err)
            return;
        if (err->code == XML_ERR_NO_MEMORY)
            engine::noteOutOfMemory();
        const bool parser = err->domain == XML_FROM_PARSER || err->domain == XML_FROM_NAMESPACE;
        // What a parser says after its first fatal error is an echo of it ("Extra content at
        // the end of the document", one "failed to parse" per enclosing entity).
        if (parser && self->m_parserHalted)
            return;
        if (err->level == XML_ERR_FATAL && err->domain == XML_FROM_PARSER) {
            self->m_parserHalted = true;
            // Halting by state alone: the parser checks it at every step and unwinds, while
            // the input it may still be reading stays where it is.
            if (auto *parserCtxt = static_cast<xmlParserCtxtPtr>(err->ctxt)) {
                parserCtxt->instate = XML_PARSER_EOF;
                parserCtxt->disableSAX = 1;
            }
        }
        if (self->full())
            return;
        self->flushText();
        Message m;
        m.structured = true;
        m.code = err->code;
        m.level = err->level;
        m.domain = err->domain;
        m.line = err->line;
        m.column = err->int2;
        m.file = QString::fromUtf8(err->file);
        m.text = QString::fromUtf8(err->message).trimmed();
        if (m.text.isEmpty())
            m.text = QStringLiteral("Error %1").arg(err->code);
        // An XPath error names the expression separately; without it the message is useless.
        if (err->domain == XML_FROM_XPATH && err->str1)
            m.text += QStringLiteral(": ") + QString::fromUtf8(err->str1);
        self->push(std::move(m));
    }

    void appendText(const QString &s)
    {
        // xsl:message writes through the transformation's error function while the context's
        // current instruction is that xsl:message.
        if (m_pending.isEmpty()) {
            m_pendingMessage = Message();
            const xsltTransformContextPtr ctxt = t_transformContext;
            const xmlNodePtr inst = ctxt ? ctxt->inst : nullptr;
            if (inst && inst->type == XML_ELEMENT_NODE && inst->ns
                && xmlStrEqual(inst->ns->href, XSLT_NAMESPACE) && xmlStrEqual(inst->name, BAD_CAST "message")) {
                m_pendingMessage.xslMessage = true;
                m_pendingMessage.line = int(xmlGetLineNo(inst));
                m_pendingMessage.file = inst->doc && inst->doc->URL ? fromXml(inst->doc->URL) : QString();
                xmlChar *terminate = xmlGetNsProp(inst, BAD_CAST "terminate", nullptr);
                m_pendingMessage.terminates = terminate && xmlStrEqual(terminate, BAD_CAST "yes");
                xmlFree(terminate);
            }
        }
        m_pending += s;
        int nl;
        while ((nl = m_pending.indexOf(QLatin1Char('\n'))) >= 0) {
            pushText(m_pending.left(nl));
            m_pending.remove(0, nl + 1);
        }
        if (m_pending.size() > kMaxMessageChars)
            flushText();
    }

    void flushText()
    {
        if (!m_pending.isEmpty())
            pushText(m_pending);
        m_pending.clear();
    }

    // Forgets everything collected so far, for an operation that starts over.
    void clear()
    {
        messages.clear();
        m_pending.clear();
        m_seen.clear();
        m_chars = 0;
        m_parserHalted = false;
    }

    bool hasErrors() const
    {
        for (const Message &m : messages)
            if (!m.structured || m.level >= XML_ERR_ERROR)
                return true;
        return false;
    }

    // An entity the document uses but does not declare is no error while its DTD is not
    // read (libxml2 reports it as an error-level warning then); unless undeclaredIsError, for
    // a read whose entities are expanded and would silently lose text.
    const Message *firstError(bool undeclaredIsError = false) const
    {
        for (const Message &m : messages)
            if (m.structured && m.level >= XML_ERR_ERROR && (undeclaredIsError || m.code != XML_WAR_UNDECLARED_ENTITY))
                return &m;
        return nullptr;
    }

    std::vector<Message> messages;

private:
    bool full() const { return int(messages.size()) >= kMaxMessages || m_chars >= kMaxMessageChars; }

    void push(Message &&m)
    {
        if (full())
            return;
        // The same parser message for every level of a nested entity says nothing new. (The
        // processor's free-form lines come in groups whose parts repeat; joinLines() drops
        // their immediate repetitions.)
        if (m.structured) {
            const QString key = QString::number(m.line) + QLatin1Char(':') + m.text;
            if (m_seen.contains(key))
                return;
            m_seen.insert(key);
        }
        if (m.text.size() > kMaxMessageChars - m_chars)
            m.text.truncate(std::max<qsizetype>(0, kMaxMessageChars - m_chars));
        m_chars += m.text.size();
        messages.push_back(std::move(m));
    }

    void pushText(const QString &line)
    {
        Message m = m_pendingMessage;
        m.text = line;
        push(std::move(m));
    }

    bool m_processor;
    QString m_pending;
    Message m_pendingMessage;
    QSet<QString> m_seen;
    qsizetype m_chars = 0;
    bool m_parserHalted = false;
    xmlGenericErrorFunc m_oldGeneric;
    void *m_oldGenericCtx;
    xmlStructuredErrorFunc m_oldStructured;
    void *m_oldStructuredCtx;
    xmlGenericErrorFunc m_oldXsltError;
    void *m_oldXsltErrorCtx;
    xmlGenericErrorFunc m_oldXsltDebug;
    void *m_oldXsltDebugCtx;
};

// Every line ends in "\n", so the first line alone reads as a summary.
QString joinLines(const QStringList &lines)
{
    QString out;
    for (const QString &l : lines) {
        const QStringList parts = l.split(QLatin1Char('\n'));
        for (const QString &p : parts) {
            QString t = p;
            while (t.endsWith(QLatin1Char('\r')))
                t.chop(1);
            // libxml2 repeats a message once per nesting level it unwinds (entity loops).
            if (!t.trimmed().isEmpty() && !out.endsWith(QLatin1Char('\n') + t + QLatin1Char('\n'))
                && out != t + QLatin1Char('\n'))
                out += t + QLatin1Char('\n');
        }
    }
    return out;
}

// Messages of a transformation, as the processor words them. Messages of the parser about
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

} // namespace

QByteArray toBaseUri(const QString &base)
{
    if (base.isEmpty())
        return QByteArray();
    if (base.contains(QLatin1String("://")))
        return base.toUtf8();
    return QUrl::fromLocalFile(QFileInfo(base).absoluteFilePath()).toEncoded();
}

namespace {

// The encoding named in an XML declaration, or empty when there is none.
QString declaredEncoding(QStringView head)
{
    static const QRegularExpression re(QStringLiteral(
        "^\\x{FEFF}?<\\?xml\\s+version\\s*=\\s*(['\"])[^'\"]*\\1\\s+encoding\\s*=\\s*(['\"])([A-Za-z][A-Za-z0-9._-]*)\\2"));
    const QRegularExpressionMatch m = re.match(head.left(400).toString());
    return m.hasMatch() ? m.captured(3) : QString();
}

// The encoding bytes are in, judged the way an XML parser does: byte order mark or the
// declaration, UTF-8 otherwise.
QByteArray detectEncoding(const QByteArray &bytes)
{
    const auto b = [&](int i) { return i < bytes.size() ? uchar(bytes[i]) : 0x100; };
    if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF)
        return "UTF-8";
    if ((b(0) == 0xFF && b(1) == 0xFE) || (b(0) == '<' && b(1) == 0 && b(2) == '?' && b(3) == 0))
        return "UTF-16LE";
    if ((b(0) == 0xFE && b(1) == 0xFF) || (b(0) == 0 && b(1) == '<' && b(2) == 0 && b(3) == '?'))
        return "UTF-16BE";
    const QString declared = declaredEncoding(QString::fromLatin1(bytes.left(400)));
    return declared.isEmpty() ? QByteArray("UTF-8") : declared.toLatin1();
}

// Decodes bytes in any encoding libxml2 knows. Qt handles the Unicode forms and Latin-1 itself;
// everything else goes through libxml2's converters so both sides agree on what a name means.
QString decode(const QByteArray &bytes, const QByteArray &encoding)
{
    if (encoding.isEmpty() || bytes.isEmpty())
        return QString::fromUtf8(bytes);
    if (auto enc = QStringConverter::encodingForName(encoding.constData())) {
        QStringDecoder dec(*enc);
        return dec.decode(bytes);
    }
    xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(encoding.constData());
    if (!handler)
        return QString::fromUtf8(bytes);
    xmlBufferPtr in = xmlBufferCreateSize(size_t(bytes.size()) + 1);
    xmlBufferPtr out = xmlBufferCreateSize(size_t(bytes.size()) * 2 + 16);
    xmlBufferAdd(in, reinterpret_cast<const xmlChar *>(bytes.constData()), int(bytes.size()));
    bool ok = true;
    while (xmlBufferLength(in) > 0) {
        const int before = xmlBufferLength(in);
        if (xmlCharEncInFunc(handler, out, in) < 0 || xmlBufferLength(in) == before) {
            ok = false;
            break;
        }
    }
    QString text = ok ? QString::fromUtf8(reinterpret_cast<const char *>(xmlBufferContent(out)),
                                          xmlBufferLength(out))
                      : QString::fromLatin1(bytes);
    xmlBufferFree(in);
    xmlBufferFree(out);
    xmlCharEncCloseFunc(handler);
    return text;
}

// Line n (1-based) of a text, without its line break.
QString lineOf(const QString &text, int n)
{
    if (n < 1)
        return QString();
    qsizetype start = 0;
    for (int i = 1; i < n; ++i) {
        start = text.indexOf(QLatin1Char('\n'), start);
        if (start < 0)
            return QString();
        ++start;
    }
    qsizetype end = text.indexOf(QLatin1Char('\n'), start);
    QString line = text.mid(start, end < 0 ? -1 : end - start);
    while (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

bool isUtf8Name(const xmlChar *enc)
{
    return !enc || !xmlStrcasecmp(enc, BAD_CAST "UTF-8") || !xmlStrcasecmp(enc, BAD_CAST "UTF8");
}

// Whether every character of utf8 can be written in encoding.
bool encodable(const QByteArray &utf8, const char *encoding)
{
    iconv_t cd = iconv_open(encoding, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    QByteArray in = utf8;
    char *inPtr = in.data();
    size_t inLeft = size_t(in.size());
    char buffer[16384];
    bool ok = true;
    while (inLeft > 0) {
        char *outPtr = buffer;
        size_t outLeft = sizeof buffer;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == size_t(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    return ok;
}

// The XML declaration exactly as libxml2's serializer writes it; encoding overrides the
// document's own when given.
QByteArray declarationFor(xmlDocPtr doc, const char *encoding = nullptr)
{
    QByteArray decl = "<?xml version=\"";
    decl += doc->version ? reinterpret_cast<const char *>(doc->version) : "1.0";
    decl += '"';
    if (!encoding && doc->encoding)
        encoding = reinterpret_cast<const char *>(doc->encoding);
    if (encoding) {
        decl += " encoding=\"";
        decl += encoding;
        decl += '"';
    }
    if (doc->standalone == 0)
        decl += " standalone=\"no\"";
    else if (doc->standalone == 1)
        decl += " standalone=\"yes\"";
    decl += "?>\n";
    return decl;
}

// libxml2 marks a document that had no declaration with standalone -1; writing one in would
// change the user's text.
bool hasDeclaration(xmlDocPtr doc)
{
    return doc->standalone != -1;
}

bool dump(xmlDocPtr doc, const char *encoding, int options, QByteArray *out)
{
    xmlBufferPtr buf = xmlBufferCreate();
    if (!buf)
        return false;
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buf, encoding, options);
    if (!save) {
        xmlBufferFree(buf);
        return false;
    }
    const long written = xmlSaveDoc(save, doc);
    const int closed = xmlSaveClose(save);
    const bool ok = written >= 0 && closed >= 0;
    if (ok)
        *out = QByteArray(reinterpret_cast<const char *>(xmlBufferContent(buf)), xmlBufferLength(buf));
    xmlBufferFree(buf);
    return ok;
}

// ---- Where a document came from decides what it may read -------------------------------
//
// A document the user opened from a local file (or typed) may pull in external entities, its
// DTD, included stylesheets and document() targets that are local regular files, as xsltproc
// allows. A document that came from the network, and everything it pulls in, reads no local
// file and no external entity or DTD at all; its stylesheet may include and read documents from
// its own origin (scheme, host and port), through the program's fetcher with its limits.
// Nothing ever reads a folder, pipe or device, and nothing else goes to the network.

// "http://host:port" for a network address, empty for anything else.
QString originOf(const QString &uri)
{
    const QUrl url(uri);
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QString();
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1://%2:%3").arg(scheme, url.host().toLower()).arg(port);
}

// The local path a URI names, or empty when it names something on the network.
QString localPathOf(const QString &uri)
{
    if (uri.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        QUrl url(uri);
        // "file://localhost/x" is the local file /x, not the network path //localhost/x.
        if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
            url.setHost(QString());
        return url.host().isEmpty() ? url.toLocalFile() : QString();
    }
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    return scheme.match(uri).hasMatch() ? QString() : uri;
}

} // namespace

bool isLocalOrigin(const QString &base)
{
    // Empty: typed into a new window, the user's own text.
    return base.isEmpty() || (originOf(base).isEmpty() && !localPathOf(base).isEmpty());
}

namespace {

// What a parse may read besides its own text; hangs on the parser context as its user data,
// which libxml2 hands on to the contexts it makes for entities.
struct ParsePolicy {
    static constexpr quint32 kTag = 0x5a4e4452;
    quint32 tag = kTag;
    bool localFiles = false;      // external entities and the DTD may be local regular files
    bool raisedLimits = false;    // parsing with XML_PARSE_HUGE: no entity may be declared
    bool declaresEntities = false;
    QStringList refusals;         // what was not read, and why
};

ParsePolicy *policyOf(void *parserContext)
{
    auto *ctxt = static_cast<xmlParserCtxtPtr>(parserContext);
    if (!ctxt || !ctxt->_private)
        return nullptr;
    auto *policy = static_cast<ParsePolicy *>(ctxt->_private);
    return policy->tag == ParsePolicy::kTag ? policy : nullptr;
}

// The LocalFileReads living on this thread, innermost first.
thread_local LocalFileReads *t_localFileReads = nullptr;

// Where the system's XML catalog maps a DTD or entity, as a local path; empty when it does not.
// A catalog that delegates a system id (DocBook's http addresses) to a catalog that does not
// map it gives nothing for the pair of ids, where the public id alone resolves; so the public
// id and the system id are tried on their own too, as xmllint and xsltproc find them.
QString catalogPath(const char *url, const char *id, QString *resolvedUri)
{
    const auto *sys = reinterpret_cast<const xmlChar *>(url);
    const auto *pub = reinterpret_cast<const xmlChar *>(id);
    xmlChar *resolved = xmlCatalogResolve(pub, sys);
    if (!resolved && pub && sys)
        resolved = xmlCatalogResolvePublic(pub);
    if (!resolved && pub && sys)
        resolved = xmlCatalogResolveSystem(sys);
    if (!resolved)
        return QString();
    *resolvedUri = fromXml(resolved);
    xmlFree(resolved);
    return localPathOf(*resolvedUri);
}

// The only way libxml2 reads another resource while parsing: external entities and DTDs.
xmlParserInputPtr guardedEntityLoader(const char *url, const char *id, xmlParserCtxtPtr ctxt)
{
    ParsePolicy *policy = policyOf(ctxt);
    // A parse without a policy of its own (a schema's, a validation's) follows the thread's.
    LocalFileReads *scope = policy ? nullptr : t_localFileReads;
    const QString target = url ? QString::fromUtf8(url) : QString::fromUtf8(id ? id : "");
    const auto refuse = [&](const QString &why) -> xmlParserInputPtr {
        const QString text = QStringLiteral("\"%1\" was not read: %2").arg(target, why);
        if (policy)
            policy->refusals << text;
        else if (scope)
            scope->refuse(target, text);
        return nullptr;
    };
    if (policy && !policy->localFiles && ctxt && ctxt->inSubset != 0) {
        // A parameter entity is part of the DTD, which a document from the network is parsed
        // without (see skipExternalSubset): what it would have declared stays undeclared.
        return nullptr;
    }
    if (scope && !scope->allowsLocalFiles())
        return refuse(QStringLiteral("the DTD and external entities of a document from the network are not read"));
    if (!scope && (!policy || !policy->localFiles))
        return refuse(QStringLiteral("a document that came from the network may not read other files"));
    QString path = localPathOf(target);
    // A public DTD (DocBook's, say) is found through the system's XML catalog.
    QString resolvedUri;
    if (const QString local = catalogPath(url, id, &resolvedUri); !local.isEmpty())
        path = local;
    else
        resolvedUri.clear();
    if (path.isEmpty())
        return refuse(QStringLiteral("documents are never fetched from the network while they are parsed"));
    QByteArray bytes;
    QString error;
    if (!FileIO::readRegularFile(path, &bytes, &error))
        return refuse(error);
    xmlParserInputBufferPtr buffer = xmlParserInputBufferCreateMem(bytes.constData(), int(bytes.size()),
                                                                   XML_CHAR_ENCODING_NONE);
    if (!buffer)
        return refuse(QStringLiteral("out of memory"));
    xmlParserInputPtr input = xmlNewIOInputStream(ctxt, buffer, XML_CHAR_ENCODING_NONE);
    if (!input) {
        xmlFreeParserInputBuffer(buffer);
        return refuse(QStringLiteral("out of memory"));
    }
    // Relative references inside the entity resolve against the place it was read from: for a
    // DTD the catalog found, the local copy, so that the modules it pulls in are local too
    // rather than addresses on the network that nothing reads.
    const QByteArray base = resolvedUri.isEmpty() ? QByteArray(url ? url : "") : resolvedUri.toUtf8();
    input->filename = reinterpret_cast<char *>(xmlCanonicPath(reinterpret_cast<const xmlChar *>(base.constData())));
    return input;
}

// A document from the network is parsed without its external DTD: not read, and not refused
// either, so that it reads as if it had only its internal subset. Other parses load the DTD as
// their options say.
void skipExternalSubset(void *parserContext, const xmlChar *name, const xmlChar *externalId, const xmlChar *systemId)
{
    const ParsePolicy *policy = policyOf(parserContext);
    if (policy && !policy->localFiles)
        return;
    xmlSAX2ExternalSubset(parserContext, name, externalId, systemId);
}

const QString kEntitiesOverLimits = QStringLiteral(
    "The document is larger than the usual limits allow and declares entities; such a document cannot be read safely.");

// Entity declarations are counted, and refused while limits are raised: XML_PARSE_HUGE turns
// off libxml2's bound on entity expansion.
void guardedEntityDecl(void *parserContext, const xmlChar *name, int type, const xmlChar *publicId,
                       const xmlChar *systemId, xmlChar *content)
{
    ParsePolicy *policy = policyOf(parserContext);
    if (policy) {
        policy->declaresEntities = true;
        if (policy->raisedLimits) {
            policy->refusals << kEntitiesOverLimits;
            xmlStopParser(static_cast<xmlParserCtxtPtr>(parserContext));
            return;
        }
    }
    xmlSAX2EntityDecl(parserContext, name, type, publicId, systemId, content);
}

// A parameter entity referenced in the DTD may declare any general entity, so a reference to
// one not declared is then no well-formedness error (XML 1.0, "Entity Declared"). libxml2 only
// notes such a reference when it reads the entity, and the editor reads none: without this, a
// stylesheet that takes its entities from a file of them would be reported broken.
xmlEntityPtr notedParameterEntity(void *parserContext, const xmlChar *name)
{
    static_cast<xmlParserCtxtPtr>(parserContext)->hasPErefs = 1;
    return xmlSAX2GetParameterEntity(parserContext, name);
}

// Messages libxml2 gives when a document is beyond its default limits: a text node or an
// attribute over 10 MB, names over 50,000 characters, nesting over 256 levels.
bool hitSizeLimit(const ErrorCapture &capture)
{
    static const QRegularExpression re(QStringLiteral("huge|too (long|big|large)|excessive depth|XML_PARSE_HUGE"),
                                       QRegularExpression::CaseInsensitiveOption);
    return std::any_of(capture.messages.begin(), capture.messages.end(),
                       [](const Message &m) { return re.match(m.text).hasMatch(); });
}

struct ParseResult {
    xmlDocPtr doc = nullptr; // owned by the caller
    bool wellFormed = false;
    bool nsWellFormed = false;
    bool noMemory = false;
};

// Parses input with libxml2's usual limits and, when only those stood in the way of a document
// that declares no entities, once more with raised limits. The user's own large documents open,
// preview and save alike, while entity expansion stays bounded.
ParseResult parseWithLimits(const QByteArray &input, const QByteArray &baseUri, const char *encoding,
                            int options, ParsePolicy &policy, ErrorCapture &capture, xmlDictPtr dict = nullptr)
{
    ParseResult result;
    for (;;) {
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        if (!ctxt) {
            result.noMemory = true;
            return result;
        }
        if (dict) {
            // Documents of one transformation share the stylesheet's dictionary.
            xmlDictFree(ctxt->dict);
            ctxt->dict = dict;
            xmlDictReference(dict);
        }
        ctxt->_private = &policy;
        ctxt->sax->entityDecl = &engine::CallbackEdge<&guardedEntityDecl>::call;
        ctxt->sax->getParameterEntity = &engine::CallbackEdge<&notedParameterEntity>::call;
        ctxt->sax->externalSubset = &engine::CallbackEdge<&skipExternalSubset>::call;
        const int flags = options | (policy.raisedLimits ? XML_PARSE_HUGE : 0);
        result.doc = xmlCtxtReadMemory(ctxt, input.constData(), int(input.size()),
                                       baseUri.isEmpty() ? nullptr : baseUri.constData(), encoding, flags);
        result.wellFormed = ctxt->wellFormed && result.doc;
        result.nsWellFormed = ctxt->nsWellFormed;
        xmlFreeParserCtxt(ctxt);
        capture.flushText();
        const bool failed = !result.wellFormed || !result.nsWellFormed || capture.firstError(options & XML_PARSE_NOENT);
        if (failed && !policy.raisedLimits && policy.declaresEntities && hitSizeLimit(capture))
            policy.refusals.prepend(kEntitiesOverLimits);
        if (!failed || policy.raisedLimits || policy.declaresEntities || !hitSizeLimit(capture))
            return result;
        xmlFreeDoc(result.doc);
        result = ParseResult();
        capture.clear();
        policy.refusals.clear();
        policy.raisedLimits = true;
    }
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

// Parse options and policy for an XSLT read of a document with this base.
int xsltOptionsFor(const QString &base, ParsePolicy &policy)
{
    policy.localFiles = isLocalOrigin(base);
    return policy.localFiles ? kXsltOptions | XML_PARSE_DTDLOAD : kXsltOptions;
}

// Reports a problem of the document loader the way libxslt reports its own.
void loaderError(const QString &text)
{
    xsltGenericError(xsltGenericErrorContext, "%s\n", text.toUtf8().constData());
}

// Parses a document for a transformation, with what its origin allows. Its messages go on to
// the capture the transformation installed, each naming the document. Null when it is not
// well-formed or pulled in something it may not read.
xmlDocPtr readForTransformation(const QByteArray &bytes, const QString &base, const char *encoding,
                                int extraOptions, xmlDictPtr dict)
{
    ParsePolicy policy;
    const int options = xsltOptionsFor(base, policy) | extraOptions;
    ParseResult parsed;
    std::vector<Message> found;
    {
        ErrorCapture capture;
        parsed = parseWithLimits(bytes, toBaseUri(base), encoding, options, policy, capture, dict);
        found = capture.messages;
    }
    const bool failed = !parsed.wellFormed || !parsed.nsWellFormed || !policy.refusals.isEmpty()
                        || std::any_of(found.begin(), found.end(), [](const Message &m) {
                               return m.structured && m.level >= XML_ERR_ERROR;
                           });
    const QString name = base.isEmpty() ? QStringLiteral("(untitled)") : base;
    for (const Message &m : found)
        if (!m.structured || m.level >= XML_ERR_ERROR)
            loaderError(m.line > 0 ? QStringLiteral("%1:%2: %3").arg(name).arg(m.line).arg(m.text)
                                   : QStringLiteral("%1: %2").arg(name, m.text));
    for (const QString &why : std::as_const(policy.refusals))
        loaderError(why);
    if (failed) {
        xmlFreeDoc(parsed.doc);
        return nullptr;
    }
    return parsed.doc;
}

// Every document libxslt loads (xsl:include, xsl:import, document()) comes through here.
xmlDocPtr guardedDocLoader(const xmlChar *uri, xmlDictPtr dict, int, void *, xsltLoadType)
{
    const QString target = fromXml(uri);
    const TransformPolicy *transform = t_transformPolicy;
    const auto refuse = [&](const QString &why) -> xmlDocPtr {
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
        if (!FileIO::readRegularFile(path, &bytes, &error)) {
            if (QFileInfo::exists(path))
                return refuse(error);
            loaderError(error);
            return nullptr;
        }
    } else {
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

void initLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        exsltRegisterAll();
        // Installed once for the whole program: every read any parse or transformation makes
        // goes through these two and follows the document's origin.
        xmlSetExternalEntityLoader(&engine::CallbackEdge<&guardedEntityLoader>::call);
        xsltSetLoaderFunc(&engine::CallbackEdge<&guardedDocLoader>::call);
    });
}

template<typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *p) const
    {
        if (p)
            Free(p);
    }
};
void freeDoc(xmlDoc *d) { xmlFreeDoc(d); }
void freeParserCtxt(xmlParserCtxt *c) { xmlFreeParserCtxt(c); }
void freeStylesheet(xsltStylesheet *s) { xsltFreeStylesheet(s); }
void freeTransformCtxt(xsltTransformContext *c) { xsltFreeTransformContext(c); }
void freeSecurity(xsltSecurityPrefs *s) { xsltFreeSecurityPrefs(s); }
using DocPtr = std::unique_ptr<xmlDoc, Deleter<xmlDoc, freeDoc>>;
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, Deleter<xmlParserCtxt, freeParserCtxt>>;
using StylesheetPtr = std::unique_ptr<xsltStylesheet, Deleter<xsltStylesheet, freeStylesheet>>;
using TransformCtxtPtr = std::unique_ptr<xsltTransformContext, Deleter<xsltTransformContext, freeTransformCtxt>>;
using SecurityPtr = std::unique_ptr<xsltSecurityPrefs, Deleter<xsltSecurityPrefs, freeSecurity>>;

} // namespace

struct XmlDocument::Impl {
    DocPtr doc;
    // What was parsed, kept so that a transformation can read the same text again in the XSLT
    // data model without disturbing the tree the editor sees.
    QByteArray input;
    bool unicodeText = false;
    QString url;
    QByteArray baseUri;
};

XmlDocument::XmlDocument()
    : d(std::make_unique<Impl>())
{
    initLibraries();
}

XmlDocument::~XmlDocument() = default;

LocalFileReads::LocalFileReads(const QString &base)
    : m_outer(t_localFileReads)
    , m_localFiles(isLocalOrigin(base))
{
    initLibraries();
    t_localFileReads = this;
}

LocalFileReads::~LocalFileReads()
{
    t_localFileReads = m_outer;
}

bool XmlDocument::loadXMLUtf8(const QByteArray &utf8, const QString &baseUrl)
{
    return parse(utf8, true, baseUrl, nullptr);
}

bool XmlDocument::loadXML(const QString &text, const QString &baseUrl)
{
    return parse(text.toUtf8(), true, baseUrl, &text);
}

bool XmlDocument::loadBytes(const QByteArray &bytes, const QString &baseUrl)
{
    return parse(bytes, false, baseUrl, nullptr);
}

bool XmlDocument::load(const QString &path)
{
    QString local = path;
    if (path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        local = QUrl(path).toLocalFile();

    d->doc.reset();
    d->input.clear();
    d->url = local;
    d->baseUri = toBaseUri(local);
    m_error = ParseError();

    QByteArray bytes;
    QString error;
    if (!FileIO::readRegularFile(local, &bytes, &error)) {
        const QFileInfo info(local);
        m_error.code = !info.exists() ? XML_IO_ENOENT
                       : info.isDir() ? XML_IO_EISDIR
                       : !info.isReadable() ? XML_IO_EACCES
                                            : XML_IO_LOAD_ERROR;
        m_error.reason = error + QLatin1Char('\n');
        return false;
    }
    return parse(bytes, false, QFileInfo(local).absoluteFilePath(), nullptr);
}

bool XmlDocument::parse(const QByteArray &input, bool unicodeText, const QString &baseUrl,
                        const QString *text)
{
    d->doc.reset();
    d->input = input;
    d->unicodeText = unicodeText;
    d->url = baseUrl;
    d->baseUri = toBaseUri(baseUrl);
    m_error = ParseError();
    m_diagnostics.clear();

    ErrorCapture capture;
    // The editor's parse reads nothing but its own text: no entity is loaded, so the policy
    // only bounds entity declarations when the limits have to be raised.
    ParsePolicy policy;
    // Text from the editor is Unicode already; a declaration naming another encoding
    // describes how the file is to be saved, not how to read these bytes.
    const int options = kEditOptions | (unicodeText ? XML_PARSE_IGNORE_ENC : 0);
    ParseResult parsed = parseWithLimits(input, d->baseUri, unicodeText ? "UTF-8" : nullptr, options, policy, capture);
    if (parsed.noMemory) {
        m_error.code = XML_ERR_NO_MEMORY;
        m_error.reason = QStringLiteral("Out of memory while creating the XML parser\n");
        return false;
    }
    DocPtr doc(parsed.doc);
    const bool nsWellFormed = parsed.nsWellFormed;

    // A prefix without a namespace declaration leaves a tree XSLT cannot use; the editor treats
    // it as the error it is rather than as a warning.
    const bool failed = !doc || !parsed.wellFormed || !nsWellFormed || capture.firstError() || !policy.refusals.isEmpty();
    // The text itself is only needed for the declaration and for error reports.
    QString decoded;
    if (unicodeText && !text) {
        decoded = QString::fromUtf8(input.left(failed ? input.size() : 400));
        text = &decoded;
    }
    if (!failed && unicodeText) {
        const QString declared = declaredEncoding(*text);
        if (!declared.isEmpty()) {
            xmlCharEncodingHandlerPtr h = xmlFindCharEncodingHandler(declared.toLatin1().constData());
            if (!h) {
                m_error.code = XML_ERR_UNSUPPORTED_ENCODING;
                m_error.reason = QStringLiteral("Unsupported encoding %1\n").arg(declared);
                m_error.line = 1;
                m_error.linepos = int(lineOf(*text, 1).indexOf(declared)) + 1;
                m_error.srcText = lineOf(*text, 1);
                return false;
            }
            xmlCharEncCloseFunc(h);
        }
        // Remember the declared encoding so that saving writes the bytes the declaration promises.
        xmlFree(const_cast<xmlChar *>(doc->encoding));
        doc->encoding = declared.isEmpty() ? nullptr : xmlStrdup(BAD_CAST declared.toLatin1().constData());
    }
    if (!failed) {
        d->doc = std::move(doc);
        return true;
    }

    // What the policy refused explains the parser's own messages, so it comes first.
    QStringList lines = policy.refusals;
    for (const Message &m : capture.messages)
        if (!m.structured || m.level >= XML_ERR_ERROR)
            lines << m.text;
    if (const Message *first = capture.firstError()) {
        m_error.code = first->code;
        m_error.line = first->line;
        m_error.linepos = first->column;
    } else {
        m_error.code = XML_ERR_INTERNAL_ERROR;
    }
    if (m_error.code == 0)
        m_error.code = XML_ERR_INTERNAL_ERROR;
    m_error.reason = joinLines(lines);
    if (m_error.reason.isEmpty())
        m_error.reason = QStringLiteral("The document is not well-formed XML\n");
    if (m_error.line > 0) {
        const QString source = text ? *text : decode(input, detectEncoding(input));
        m_error.srcText = lineOf(source, m_error.line);
    }
    Diagnostic d;
    d.message = m_error.reason.section(QLatin1Char('\n'), 0, 0);
    d.file = baseUrl;
    d.line = m_error.line;
    d.column = m_error.linepos;
    m_diagnostics = {d};
    return false;
}

bool XmlDocument::isLoaded() const
{
    return d->doc != nullptr;
}

xmlDoc *XmlDocument::tree() const
{
    return d->doc.get();
}

QString XmlDocument::xml() const
{
    if (!d->doc)
        return QString();
    xmlDocPtr doc = d->doc.get();
    ErrorCapture capture;
    QByteArray body;
    if (!dump(doc, "UTF-8", XML_SAVE_NO_DECL, &body))
        return QString();
    // The declaration keeps the encoding the document declares, although this text is Unicode:
    // it says how the file will be written when saved.
    if (hasDeclaration(doc))
        body.prepend(declarationFor(doc));
    return QString::fromUtf8(body);
}

QByteArray XmlDocument::toBytes() const
{
    QByteArray out;
    if (!d->doc)
        return out;
    xmlDocPtr doc = d->doc.get();
    ErrorCapture capture;
    if (isUtf8Name(doc->encoding)) {
        // Handing libxml2 "UTF-8" would write encoding="UTF-8" into a declaration that had none.
        if (!dump(doc, "UTF-8", XML_SAVE_NO_DECL, &out))
            return QByteArray();
        if (hasDeclaration(doc))
            out.prepend(declarationFor(doc));
        return out;
    }
    // A character the declared encoding cannot hold would have to become a character
    // reference, which is not allowed everywhere (comments, processing instructions, names), so
    // such a document is written in UTF-8 and its declaration says so: no character is lost.
    QByteArray utf8;
    if (!dump(doc, "UTF-8", XML_SAVE_NO_DECL, &utf8))
        return QByteArray();
    if (!encodable(utf8, reinterpret_cast<const char *>(doc->encoding))) {
        utf8.prepend(declarationFor(doc, "UTF-8"));
        return utf8;
    }
    const int options = hasDeclaration(doc) ? 0 : XML_SAVE_NO_DECL;
    if (!dump(doc, reinterpret_cast<const char *>(doc->encoding), options, &out))
        return QByteArray();
    // Some encodings iconv writes cannot be read back by any XML parser: in UTF-7 the
    // declaration itself becomes "+ADw?xml". Such a document is written in UTF-8 instead.
    XmlDocument probe;
    if (!probe.loadBytes(out)) {
        utf8.prepend(declarationFor(doc, "UTF-8"));
        return utf8;
    }
    return out;
}

bool XmlDocument::save(const QString &path, QString *errorText) const
{
    const auto fail = [&](const QString &why) {
        if (errorText)
            *errorText = why;
        return false;
    };
    if (!d->doc)
        return fail(QStringLiteral("Cannot save \"%1\": there is no parsed document to save").arg(path));
    const QByteArray bytes = toBytes();
    if (bytes.isEmpty())
        return fail(QStringLiteral("Cannot save \"%1\": the document cannot be written in its declared encoding \"%2\"")
                        .arg(path, fromXml(d->doc->encoding)));
    // Nothing replaces the old file that would not open again as the document it was.
    const auto reopens = [](const QByteArray &written, QString *why) {
        XmlDocument probe;
        if (probe.loadBytes(written))
            return true;
        *why = QStringLiteral("the written file would not open again (%1)")
                   .arg(probe.parseError().reason.section(QLatin1Char('\n'), 0, 0));
        return false;
    };
    return FileIO::writeFileAtomically(path, bytes, errorText, reopens);
}

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
    if (!d->doc && (source || d->input.isEmpty()))
        return fail(QStringLiteral("The stylesheet is not loaded"));
    if (source && !source->d->doc)
        return fail(QStringLiteral("The XML source document is not loaded"));

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

    // The stylesheet compiler rewrites the tree it is given and keeps it, so it gets a copy.
    xmlDocPtr styleDoc = readForXslt();
    if (!styleDoc)
        return failWithMessages(QStringLiteral("The stylesheet could not be read for the transformation"));
    StylesheetPtr style(xsltParseStylesheetDoc(styleDoc));
    if (!style) {
        xmlFreeDoc(styleDoc);
        return failWithMessages(QStringLiteral("The stylesheet could not be compiled"));
    }
    // libxslt reports some faults (an unknown xsl: element in a 1.0 stylesheet) as compilation
    // errors without counting them; the stylesheet would then quietly do nothing there.
    capture.flushText();
    const bool compileErrorReported = std::any_of(capture.messages.begin(), capture.messages.end(), [](const Message &m) {
        return !m.structured && m.text.startsWith(QLatin1String("compilation error"));
    });
    if (style->errors > 0 || compileErrorReported)
        return failWithMessages(QStringLiteral("The stylesheet could not be compiled"));
    if (!source)
        return true;

    DocPtr sourceDoc(source->readForXslt());
    if (!sourceDoc)
        return failWithMessages(QStringLiteral("The XML source could not be read for the transformation"));

    TransformCtxtPtr tctxt(xsltNewTransformContext(style.get(), sourceDoc.get()));
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

    const xsltTransformContextPtr outer = t_transformContext;
    t_transformContext = tctxt.get();
    DocPtr resultDoc(xsltApplyStylesheetUser(style.get(), sourceDoc.get(), paramArray.data(), nullptr,
                                             nullptr, tctxt.get()));
    t_transformContext = outer;
    if (!resultDoc || tctxt->state == XSLT_STATE_ERROR || tctxt->state == XSLT_STATE_STOPPED
        || !policy.refusals.isEmpty())
        return failWithMessages(QStringLiteral("The transformation failed"));

    xmlChar *buf = nullptr;
    int len = 0;
    if (xsltSaveResultToString(&buf, &len, resultDoc.get(), style.get()) != 0) {
        xmlFree(buf);
        return failWithMessages(QStringLiteral("The transformation result could not be written"));
    }
    *out = QByteArray(reinterpret_cast<const char *>(buf), buf ? len : 0);
    xmlFree(buf);
    const xmlChar *enc = nullptr;
    XSLT_GET_IMPORT_PTR(enc, style.get(), encoding)
    m_outputEncoding = enc ? QByteArray(reinterpret_cast<const char *>(enc)) : QByteArray();
    if (encoding)
        *encoding = m_outputEncoding;
    // Without a method, libxslt writes HTML when the result starts with an html element.
    const xmlChar *method = nullptr;
    XSLT_GET_IMPORT_PTR(method, style.get(), method)
    m_outputMethod = method ? fromXml(method).toLower()
                     : resultDoc->type == XML_HTML_DOCUMENT_NODE ? QStringLiteral("html")
                                                                 : QStringLiteral("xml");
    return true;
}

bool XmlDocument::compileStylesheet()
{
    return transform(nullptr, nullptr, nullptr);
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

QString XmlDocument::url() const
{
    return d->url;
}
