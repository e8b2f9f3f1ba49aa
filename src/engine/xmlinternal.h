#pragma once

// The inside of XmlDocument, shared by its three parts and by nothing else:
//   xmldocument.cpp   parsing, diagnostics and what a parse may read
//   xmlserialize.cpp  encodings and writing a tree back out
//   xmltransform.cpp  compiling and running stylesheets, and what they may read
#include "engine/xmldocument.h"

#include "engine/outofmemory.h"
#include "engine/transformcache.h"

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
#include <libxml/xpath.h>
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

namespace xmlinternal {

// Everything the editor parses is untrusted text. No network, no external DTD, no entity
// substitution. BIG_LINES only keeps line numbers above 65535 right in messages.
inline constexpr int kEditOptions = XML_PARSE_NONET | XML_PARSE_BIG_LINES;

// The documents an XSLT processor works on follow the XPath data model: entities expanded,
// CDATA sections merged into text, attribute defaults of the internal subset filled in. This is
// what xsltproc reads. What else such a read may pull in (external entities, an external DTD)
// depends on where the document came from: see ParsePolicy.
inline constexpr int kXsltOptions = XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOCDATA
                             | XML_PARSE_NONET | XML_PARSE_BIG_LINES;

// What one operation reports at most: a document built to produce errors by the million must
// not cost minutes of formatting and a box taller than the screen.
inline constexpr int kMaxMessages = 20;
inline constexpr qsizetype kMaxMessageChars = 64 * 1024;

inline QString fromXml(const xmlChar *s)
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
extern thread_local xsltTransformContextPtr t_transformContext;


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
QString joinLines(const QStringList &lines);

// The encoding named in an XML declaration, or empty when there is none.
QString declaredEncoding(QStringView head);
// The encoding bytes are in, judged the way an XML parser does: byte order mark or the
// declaration, UTF-8 otherwise.
QByteArray detectEncoding(const QByteArray &bytes);
// Decodes bytes in any encoding libxml2 knows.
QString decode(const QByteArray &bytes, const QByteArray &encoding);
// Line n (1-based) of a text, without its line break.
QString lineOf(const QString &text, int n);

// "http://host:port" for a network address, empty for anything else.
QString originOf(const QString &uri);
// The local path a URI names, or empty when it names something on the network.
QString localPathOf(const QString &uri);

// Parses a document for a transformation, with what its origin allows. Its messages go on to
// the capture the transformation installed, each naming the document. Null when it is not
// well-formed or pulled in something it may not read.
xmlDocPtr readForTransformation(const QByteArray &bytes, const QString &base, const char *encoding,
                                int extraOptions, xmlDictPtr dict);
// Reports a problem of the document loader the way libxslt reports its own.
inline void loaderError(const QString &text)
{
    xsltGenericError(xsltGenericErrorContext, "%s\n", text.toUtf8().constData());
}
// Every document libxslt loads (xsl:include, xsl:import, document()) comes through here.
xmlDocPtr guardedDocLoader(const xmlChar *uri, xmlDictPtr dict, int, void *, xsltLoadType);
// Sets libxml2 and libxslt up once, with the program's loaders.
void initLibraries();

// The files a parse or a compilation read while one of these was installed on the thread, each
// with a digest of what was read: what a kept tree depends on besides its own text.
struct ReadLog {
    struct File {
        QString path;
        QByteArray digest; // empty: the file could not be read
    };
    std::vector<File> files;
    qsizetype bytes = 0;
    // Something came from the network, or was refused: no reading again can tell whether a
    // kept tree is still what a fresh one would be.
    bool uncheckable = false;
    void noteFile(const QString &path, const QByteArray *content);
    // Whether every file still reads as it did.
    bool current() const;
};
extern thread_local ReadLog *t_readLog;
// Installs a log on the thread for its lifetime.
class ReadLogScope
{
public:
    explicit ReadLogScope(ReadLog *log)
        : m_outer(t_readLog)
    {
        t_readLog = log;
    }
    ~ReadLogScope() { t_readLog = m_outer; }
    ReadLogScope(const ReadLogScope &) = delete;
    ReadLogScope &operator=(const ReadLogScope &) = delete;

private:
    ReadLog *m_outer;
};
// What a kept tree is found by: a digest of its text with its base and how it is read.
QByteArray contentKey(const QByteArray &text, const QString &base, bool unicodeText);
QByteArray contentDigest(const QByteArray &bytes);

template<typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *p) const
    {
        if (p)
            Free(p);
    }
};
inline void freeDoc(xmlDoc *d) { xmlFreeDoc(d); }
inline void freeParserCtxt(xmlParserCtxt *c) { xmlFreeParserCtxt(c); }
inline void freeStylesheet(xsltStylesheet *s) { xsltFreeStylesheet(s); }
inline void freeTransformCtxt(xsltTransformContext *c) { xsltFreeTransformContext(c); }
inline void freeSecurity(xsltSecurityPrefs *s) { xsltFreeSecurityPrefs(s); }
using DocPtr = std::unique_ptr<xmlDoc, Deleter<xmlDoc, freeDoc>>;
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, Deleter<xmlParserCtxt, freeParserCtxt>>;
using StylesheetPtr = std::unique_ptr<xsltStylesheet, Deleter<xsltStylesheet, freeStylesheet>>;
using TransformCtxtPtr = std::unique_ptr<xsltTransformContext, Deleter<xsltTransformContext, freeTransformCtxt>>;
using SecurityPtr = std::unique_ptr<xsltSecurityPrefs, Deleter<xsltSecurityPrefs, freeSecurity>>;

} // namespace xmlinternal

struct XmlDocument::Impl {
    xmlinternal::DocPtr doc;
    // What was parsed, kept so that a transformation can read the same text again in the XSLT
    // data model without disturbing the tree the editor sees.
    QByteArray input;
    bool unicodeText = false;
    // Taken without a parse (setUnparsedUtf8): no tree, and none missing either.
    bool unparsed = false;
    QString url;
    QByteArray baseUri;
};

struct TransformCache::Impl {
    struct Kept {
        QByteArray key;
        xmlinternal::ReadLog reads;
        int checkedIn = -1; // the request in which reads were last found current
    };
    struct Style : Kept {
        xmlinternal::StylesheetPtr style;
        // What the compiler said: a run with the kept stylesheet reports it again.
        std::vector<xmlinternal::Message> messages;
        // Its key with the digests of the files it read: which compilation this is.
        QByteArray compiled;
    };
    struct Source : Kept {
        xmlinternal::DocPtr doc;
        // The run of xsl:strip-space takes blank text out of the tree it works on. A tree a
        // stylesheet has stripped serves that stylesheet again, and no other.
        QByteArray strippedBy;
    };
    std::optional<Style> style;
    std::optional<Source> source;
    int request = 0;
    TransformCache::Counts counts;
    // The keys worked out in this request, with the texts they are for.
    struct Keyed {
        QByteArray text;
        QString base;
        bool unicodeText = false;
        QByteArray key;
    };
    std::vector<Keyed> keyed;
    QByteArray keyOf(const QByteArray &text, const QString &base, bool unicodeText);

    // Whether the kept tree is for key and the files it read are unchanged (read again once
    // per request).
    bool current(Kept &kept, const QByteArray &key);
    static bool keepable(qsizetype textBytes, const xmlinternal::ReadLog &reads)
    {
        return !reads.uncheckable && textBytes + reads.bytes <= TransformCache::kMaxKeptTextBytes;
    }
};
