#include "platform/xmldocument.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QUrl>

#include <libexslt/exslt.h>
#include <libxml/encoding.h>

#include <cerrno>
#include <iconv.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <libxslt/documents.h>
#include <libxslt/imports.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <memory>
#include <vector>

namespace {

// Everything the editor parses is untrusted text. No network, no external DTD, no entity
// substitution and libxml2's default size and depth limits (no XML_PARSE_HUGE).
// BIG_LINES only keeps line numbers above 65535 right in messages.
constexpr int kEditOptions = XML_PARSE_NONET | XML_PARSE_BIG_LINES;

// The documents an XSLT processor works on follow the XPath data model: entities expanded,
// CDATA sections merged into text, attribute defaults of the internal subset filled in. This is
// what xsltproc reads, minus external DTDs and the network.
constexpr int kXsltOptions = XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOCDATA
                             | XML_PARSE_NONET | XML_PARSE_BIG_LINES;

void initLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        exsltRegisterAll();
    });
}

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
};

// Collects every message libxml2 and libxslt produce while it lives, so none reaches stderr and
// each operation reports only its own. The previous handlers come back on destruction.
class ErrorCapture
{
public:
    ErrorCapture()
        : m_oldGeneric(xmlGenericError)
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
        xsltSetGenericErrorFunc(this, &ErrorCapture::generic);
        xsltSetGenericDebugFunc(this, &ErrorCapture::discard);
    }

    ~ErrorCapture()
    {
        xmlSetGenericErrorFunc(m_oldGenericCtx, m_oldGeneric);
        xmlSetStructuredErrorFunc(m_oldStructuredCtx, m_oldStructured);
        xsltSetGenericErrorFunc(m_oldXsltErrorCtx, m_oldXsltError);
        xsltSetGenericDebugFunc(m_oldXsltDebugCtx, m_oldXsltDebug);
    }

    ErrorCapture(const ErrorCapture &) = delete;
    ErrorCapture &operator=(const ErrorCapture &) = delete;

    static void generic(void *ctx, const char *fmt, ...)
    {
        va_list ap;
        va_start(ap, fmt);
        static_cast<ErrorCapture *>(ctx)->appendText(QString::vasprintf(fmt, ap));
        va_end(ap);
    }

    static void discard(void *, const char *, ...) {}

    static void structured(void *ctx, xmlErrorPtr err)
    {
        if (!err)
            return;
        auto *self = static_cast<ErrorCapture *>(ctx);
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
        self->messages.push_back(m);
    }

    void appendText(const QString &s)
    {
        m_pending += s;
        int nl;
        while ((nl = m_pending.indexOf(QLatin1Char('\n'))) >= 0) {
            pushText(m_pending.left(nl));
            m_pending.remove(0, nl + 1);
        }
    }

    void flushText()
    {
        if (!m_pending.isEmpty())
            pushText(m_pending);
        m_pending.clear();
    }

    bool hasErrors() const
    {
        for (const Message &m : messages)
            if (!m.structured || m.level >= XML_ERR_ERROR)
                return true;
        return false;
    }

    const Message *firstError() const
    {
        for (const Message &m : messages)
            if (m.structured && m.level >= XML_ERR_ERROR)
                return &m;
        return nullptr;
    }

    std::vector<Message> messages;

private:
    void pushText(const QString &line)
    {
        Message m;
        m.text = line;
        messages.push_back(m);
    }

    QString m_pending;
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

// libxslt and libxml2 resolve relative references against a URI, not a file path: a path with a
// space or '#' would resolve against the wrong folder.
QByteArray toBaseUri(const QString &base)
{
    if (base.isEmpty())
        return QByteArray();
    if (base.contains(QLatin1String("://")))
        return base.toUtf8();
    return QUrl::fromLocalFile(QFileInfo(base).absoluteFilePath()).toEncoded();
}

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

// Local file reads stay allowed (document(), xsl:include); everything that writes or goes on the
// network is refused.
xsltSecurityPrefsPtr newSecurityPrefs()
{
    xsltSecurityPrefsPtr sec = xsltNewSecurityPrefs();
    if (!sec)
        return nullptr;
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_WRITE_FILE, xsltSecurityForbid);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_CREATE_DIRECTORY, xsltSecurityForbid);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_WRITE_NETWORK, xsltSecurityForbid);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_READ_NETWORK, xsltSecurityForbid);
    xsltSetSecurityPrefs(sec, XSLT_SECPREF_READ_FILE, xsltSecurityAllow);
    return sec;
}

// libxslt loads included stylesheets with fixed parser options that allow the network, and
// consults only the process-wide security preferences while compiling. Both are swapped for the
// length of one transformation and restored afterwards.
xsltDocLoaderFunc g_originalLoader = nullptr;

xmlDocPtr noNetworkLoader(const xmlChar *uri, xmlDictPtr dict, int options, void *ctxt,
                          xsltLoadType type)
{
    return g_originalLoader(uri, dict, (options | XML_PARSE_NONET) & ~XML_PARSE_HUGE, ctxt, type);
}

class TransformEnvironment
{
public:
    explicit TransformEnvironment(xsltSecurityPrefsPtr sec)
        : m_oldLoader(xsltDocDefaultLoader)
        , m_oldSecurity(xsltGetDefaultSecurityPrefs())
    {
        g_originalLoader = m_oldLoader;
        xsltSetLoaderFunc(&noNetworkLoader);
        xsltSetDefaultSecurityPrefs(sec);
    }
    ~TransformEnvironment()
    {
        xsltSetLoaderFunc(m_oldLoader);
        xsltSetDefaultSecurityPrefs(m_oldSecurity);
    }
    TransformEnvironment(const TransformEnvironment &) = delete;
    TransformEnvironment &operator=(const TransformEnvironment &) = delete;

private:
    xsltDocLoaderFunc m_oldLoader;
    xsltSecurityPrefsPtr m_oldSecurity;
};

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

    const QFileInfo info(local);
    QFile file(local);
    if (info.isDir()) {
        m_error.code = XML_IO_EISDIR;
        m_error.reason = QStringLiteral("Cannot open file \"%1\": Is a directory\n").arg(local);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        m_error.code = !info.exists() ? XML_IO_ENOENT
                       : !info.isReadable() ? XML_IO_EACCES
                                            : XML_IO_LOAD_ERROR;
        m_error.reason = QStringLiteral("Cannot open file \"%1\": %2\n").arg(local, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_error.code = XML_IO_LOAD_ERROR;
        m_error.reason = QStringLiteral("Cannot read file \"%1\": %2\n").arg(local, file.errorString());
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

    ErrorCapture capture;
    DocPtr doc;
    bool nsWellFormed = true;
    {
        ParserCtxtPtr ctxt(xmlNewParserCtxt());
        if (!ctxt) {
            m_error.code = XML_ERR_NO_MEMORY;
            m_error.reason = QStringLiteral("Out of memory while creating the XML parser\n");
            return false;
        }
        // Text from the editor is Unicode already; a declaration naming another encoding
        // describes how the file is to be saved, not how to read these bytes.
        const int options = kEditOptions | (unicodeText ? XML_PARSE_IGNORE_ENC : 0);
        doc.reset(xmlCtxtReadMemory(ctxt.get(), input.constData(), int(input.size()),
                                    d->baseUri.isEmpty() ? nullptr : d->baseUri.constData(),
                                    unicodeText ? "UTF-8" : nullptr, options));
        nsWellFormed = ctxt->nsWellFormed;
    }
    capture.flushText();

    // A prefix without a namespace declaration leaves a tree XSLT cannot use; the editor treats
    // it as the error it is rather than as a warning.
    const bool failed = !doc || !nsWellFormed || capture.firstError();
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

    QStringList lines;
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
    return false;
}

bool XmlDocument::isLoaded() const
{
    return d->doc != nullptr;
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
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("Cannot write file \"%1\": %2").arg(path, file.errorString()));
    if (file.write(bytes) != bytes.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return fail(QStringLiteral("Cannot write file \"%1\": %2").arg(path, why));
    }
    if (!file.commit())
        return fail(QStringLiteral("Cannot write file \"%1\": %2").arg(path, file.errorString()));
    if (errorText)
        errorText->clear();
    return true;
}

bool XmlDocument::transformNode(const XmlDocument &source, QString *result)
{
    QByteArray bytes;
    QByteArray encoding;
    const bool ok = transform(source, &bytes, &encoding);
    if (result)
        *result = ok ? decode(bytes, encoding.isEmpty() ? QByteArray("UTF-8") : encoding) : QString();
    return ok;
}

bool XmlDocument::transformNodeToBytes(const XmlDocument &source, QByteArray *result)
{
    QByteArray bytes;
    const bool ok = transform(source, &bytes, nullptr);
    if (result)
        *result = ok ? bytes : QByteArray();
    return ok;
}

xmlDoc *XmlDocument::readForXslt() const
{
    ParserCtxtPtr ctxt(xmlNewParserCtxt());
    if (!ctxt)
        return nullptr;
    const int options = kXsltOptions | (d->unicodeText ? XML_PARSE_IGNORE_ENC : 0);
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt.get(), d->input.constData(), int(d->input.size()),
                                      d->baseUri.isEmpty() ? nullptr : d->baseUri.constData(),
                                      d->unicodeText ? "UTF-8" : nullptr, options);
    if (doc && !ctxt->wellFormed) {
        xmlFreeDoc(doc);
        doc = nullptr;
    }
    return doc;
}

bool XmlDocument::transform(const XmlDocument &source, QByteArray *out, QByteArray *encoding)
{
    m_error = ParseError();
    const auto fail = [&](const QString &reason, int code = -1) {
        m_error.code = code;
        m_error.reason = joinLines({reason});
        return false;
    };
    if (!d->doc)
        return fail(QStringLiteral("The stylesheet is not loaded"));
    if (!source.d->doc)
        return fail(QStringLiteral("The XML source document is not loaded"));

    SecurityPtr sec(newSecurityPrefs());
    if (!sec)
        return fail(QStringLiteral("Out of memory while preparing the transformation"), XML_ERR_NO_MEMORY);

    ErrorCapture capture;
    TransformEnvironment env(sec.get());
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

    DocPtr sourceDoc(source.readForXslt());
    if (!sourceDoc)
        return failWithMessages(QStringLiteral("The XML source could not be read for the transformation"));

    TransformCtxtPtr tctxt(xsltNewTransformContext(style.get(), sourceDoc.get()));
    if (!tctxt)
        return failWithMessages(QStringLiteral("The transformation could not be started"));
    xsltSetCtxtSecurityPrefs(sec.get(), tctxt.get());
    xsltSetTransformErrorFunc(tctxt.get(), &capture, &ErrorCapture::generic);
    xsltSetCtxtParseOptions(tctxt.get(), kXsltOptions);

    DocPtr resultDoc(xsltApplyStylesheetUser(style.get(), sourceDoc.get(), nullptr, nullptr,
                                             nullptr, tctxt.get()));
    if (!resultDoc || tctxt->state == XSLT_STATE_ERROR || tctxt->state == XSLT_STATE_STOPPED)
        return failWithMessages(QStringLiteral("The transformation failed"));

    xmlChar *buf = nullptr;
    int len = 0;
    if (xsltSaveResultToString(&buf, &len, resultDoc.get(), style.get()) != 0) {
        xmlFree(buf);
        return failWithMessages(QStringLiteral("The transformation result could not be written"));
    }
    *out = QByteArray(reinterpret_cast<const char *>(buf), buf ? len : 0);
    xmlFree(buf);
    if (encoding) {
        const xmlChar *enc = nullptr;
        XSLT_GET_IMPORT_PTR(enc, style.get(), encoding)
        *encoding = enc ? QByteArray(reinterpret_cast<const char *>(enc)) : QByteArray();
    }
    return true;
}

QString XmlDocument::url() const
{
    return d->url;
}
