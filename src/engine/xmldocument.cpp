#include "engine/xmlinternal.h"

using namespace xmlinternal;

namespace xmlinternal {

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

} // namespace xmlinternal

QByteArray toBaseUri(const QString &base)
{
    if (base.isEmpty())
        return QByteArray();
    if (base.contains(QLatin1String("://")))
        return base.toUtf8();
    return QUrl::fromLocalFile(QFileInfo(base).absoluteFilePath()).toEncoded();
}

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
        if (t_readLog)
            t_readLog->uncheckable = true;
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
    if (t_readLog)
        t_readLog->noteFile(path, &bytes);
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

// What builds the tree, for a parse that wants only the verdict: the parser itself finds every
// well-formedness and namespace error, and keeps the DTD's declarations in a document of its
// own; the elements, texts and the rest are read and dropped.
void skipStartElement(void *, const xmlChar *, const xmlChar *, const xmlChar *, int, const xmlChar **, int, int,
                      const xmlChar **)
{
}
void skipEndElement(void *, const xmlChar *, const xmlChar *, const xmlChar *) {}
void skipText(void *, const xmlChar *, int) {}
void skipComment(void *, const xmlChar *) {}
void skipInstruction(void *, const xmlChar *, const xmlChar *) {}
void skipReference(void *, const xmlChar *) {}

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
                            int options, ParsePolicy &policy, ErrorCapture &capture, xmlDictPtr dict = nullptr,
                            bool treeless = false)
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
        if (treeless) {
            ctxt->sax->startElementNs = &skipStartElement;
            ctxt->sax->endElementNs = &skipEndElement;
            ctxt->sax->characters = &skipText;
            ctxt->sax->ignorableWhitespace = &skipText;
            ctxt->sax->cdataBlock = &skipText;
            ctxt->sax->comment = &skipComment;
            ctxt->sax->processingInstruction = &skipInstruction;
            ctxt->sax->reference = &skipReference;
        }
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

// Parse options and policy for an XSLT read of a document with this base.
int xsltOptionsFor(const QString &base, ParsePolicy &policy)
{
    policy.localFiles = isLocalOrigin(base);
    return policy.localFiles ? kXsltOptions | XML_PARSE_DTDLOAD : kXsltOptions;
}

} // namespace

namespace xmlinternal {

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

} // namespace xmlinternal

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
    d->unparsed = false;
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

bool XmlDocument::checkUtf8(const QByteArray &utf8, const QString &baseUrl)
{
    // An ID given twice is an error the tree's builder finds, as it files each ID: a text that
    // may have IDs (xml:id, or attributes a DTD declares) gets its tree after all.
    const bool mayHaveIds = utf8.contains("xml:id") || utf8.contains("<!ATTLIST");
    const bool ok = parse(utf8, true, baseUrl, nullptr, !mayHaveIds);
    d->doc.reset();
    return ok;
}

bool XmlDocument::parse(const QByteArray &input, bool unicodeText, const QString &baseUrl,
                        const QString *text, bool verdictOnly)
{
    d->doc.reset();
    d->unparsed = false;
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
    ParseResult parsed = parseWithLimits(input, d->baseUri, unicodeText ? "UTF-8" : nullptr, options, policy, capture,
                                         nullptr, verdictOnly);
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
        if (!verdictOnly)
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

QString XmlDocument::url() const
{
    return d->url;
}
