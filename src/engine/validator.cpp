#include "engine/validator.h"

#include "engine/fileio.h"
#include "engine/outofmemory.h"
#include "engine/xmldocument.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <libxml/parser.h>
#include <libxml/relaxng.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <memory>
#include <vector>

namespace validator {
namespace {

// The source is the editor's Unicode text: its declaration names the encoding it will be saved
// in, not the one these bytes are in. No network, whatever the loader would allow. BIG_LINES keeps
// line numbers above 65535 right.
constexpr int kSourceOptions = XML_PARSE_NONET | XML_PARSE_BIG_LINES | XML_PARSE_IGNORE_ENC;
// For a DTD the parser itself validates, as it reads the DTD the DOCTYPE names: each problem is
// reported where the parser found it.
constexpr int kDtdOptions = kSourceOptions | XML_PARSE_DTDLOAD | XML_PARSE_DTDVALID;

// What is kept of messages that are not validity problems: enough to explain why a parse or a
// compilation failed.
constexpr int kMaxOtherMessages = 20;

QString fromUtf8(const char *s)
{
    return s ? QString::fromUtf8(s) : QString();
}

// How a user knows the place: a local path rather than a file: URL.
QString displayName(const QString &uri)
{
    if (uri.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(uri);
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return uri;
}


struct Message {
    int code = 0;
    int domain = 0;
    int level = 0;
    int line = 0;
    QString file;
    QString text;
};

// "line 3: text", with the file when it is not the document the message is about.
QString placed(const Message &m, const QByteArray &aboutUri)
{
    QString where;
    if (!m.file.isEmpty() && m.file.toUtf8() != aboutUri)
        where = QStringLiteral("\"%1\"").arg(displayName(m.file));
    if (m.line > 0)
        where += (where.isEmpty() ? QString() : QStringLiteral(", ")) + QStringLiteral("line %1").arg(m.line);
    return where.isEmpty() ? m.text : where + QStringLiteral(": ") + m.text;
}

bool isValidityDomain(int domain)
{
    return domain == XML_FROM_VALID || domain == XML_FROM_SCHEMASV || domain == XML_FROM_RELAXNGV;
}

// Receives every message libxml2 produces on this thread while it lives, so none reaches
// stderr; the thread's previous handlers come back on destruction. Validity problems become
// diagnostics about the source, the rest is kept to explain a failure.
class Collector
{
public:
    Collector(const QString &sourceBase, const QByteArray &sourceUri)
        : m_sourceBase(sourceBase)
        , m_sourceUri(sourceUri)
        , m_oldGeneric(xmlGenericError)
        , m_oldGenericCtx(xmlGenericErrorContext)
        , m_oldStructured(xmlStructuredError)
        , m_oldStructuredCtx(xmlStructuredErrorContext)
    {
        xmlSetGenericErrorFunc(this, &Collector::generic);
        xmlSetStructuredErrorFunc(this, &Collector::structured);
    }
    ~Collector()
    {
        xmlSetGenericErrorFunc(m_oldGenericCtx, m_oldGeneric);
        xmlSetStructuredErrorFunc(m_oldStructuredCtx, m_oldStructured);
    }
    Collector(const Collector &) = delete;
    Collector &operator=(const Collector &) = delete;

    static void structured(void *ctx, xmlErrorPtr err)
    {
        if (err && err->code == XML_ERR_NO_MEMORY)
            engine::noteOutOfMemory();
        if (ctx && err)
            engine::atCallbackEdge([&] { static_cast<Collector *>(ctx)->add(*err); });
    }

    // Only what has no structured form comes here (libxml2 words it in pieces).
    static void generic(void *ctx, const char *fmt, ...)
    {
        auto *self = static_cast<Collector *>(ctx);
        if (!self || self->m_genericText.size() > 4096)
            return;
        va_list ap;
        va_start(ap, fmt);
        engine::atCallbackEdge([&] { self->m_genericText += QString::vasprintf(fmt, ap); });
        va_end(ap);
    }

    // The first message at error level or above that is not a validity problem. An entity the
    // source uses but no DTD read declares is no error in itself (libxml2 reports it at error
    // level all the same).
    const Message *firstError() const
    {
        for (const Message &m : others)
            if (m.level >= XML_ERR_ERROR && m.code != XML_WAR_UNDECLARED_ENTITY)
                return &m;
        return nullptr;
    }

    // Why something failed: the first error, or failing that whatever libxml2 wrote.
    QString firstErrorText(const QByteArray &aboutUri) const
    {
        if (const Message *m = firstError())
            return placed(*m, aboutUri);
        return m_genericText.simplified();
    }

    bool hasValidityErrors() const { return m_validityErrors > 0; }

    // The problems, with a note of how many did not fit.
    QList<Diagnostic> takeProblems()
    {
        QList<Diagnostic> out = std::move(m_problems);
        if (m_leftOut > 0) {
            Diagnostic d;
            d.severity = Diagnostic::Severity::Information;
            d.origin = Diagnostic::Origin::Validation;
            d.file = m_sourceBase;
            d.message = m_leftOut == 1 ? QStringLiteral("1 more problem is not listed.")
                                       : QStringLiteral("%1 more problems are not listed.").arg(m_leftOut);
            out << d;
        }
        return out;
    }

    void addWarning(const QString &text, const QString &file)
    {
        Diagnostic d;
        d.severity = Diagnostic::Severity::Warning;
        d.origin = Diagnostic::Origin::Validation;
        d.file = file;
        d.message = text;
        addProblem(std::move(d));
    }

    // Forgets everything, for a parse that starts over.
    void restart()
    {
        others.clear();
        m_problems.clear();
        m_leftOut = 0;
        m_validityErrors = 0;
        m_genericText.clear();
    }

    std::vector<Message> others;

private:
    void add(const xmlError &err)
    {
        QString text = fromUtf8(err.message).trimmed();
        if (text.isEmpty())
            text = QStringLiteral("Error %1").arg(err.code);
        if (isValidityDomain(err.domain)) {
            if (err.level >= XML_ERR_ERROR)
                ++m_validityErrors;
            Diagnostic d;
            d.severity = err.level >= XML_ERR_ERROR ? Diagnostic::Severity::Error : Diagnostic::Severity::Warning;
            d.origin = Diagnostic::Origin::Validation;
            d.message = text;
            // A problem in the DTD file itself is placed there, not in the source.
            const QString file = fromUtf8(err.file);
            d.file = file.isEmpty() || file.toUtf8() == m_sourceUri ? m_sourceBase : displayName(file);
            d.line = err.line > 0 ? err.line : 0;
            d.column = err.int2 > 0 ? err.int2 : 0;
            addProblem(std::move(d));
            return;
        }
        if (int(others.size()) >= kMaxOtherMessages)
            return;
        Message m;
        m.code = err.code;
        m.domain = err.domain;
        m.level = err.level;
        m.line = err.line;
        m.file = fromUtf8(err.file);
        m.text = text;
        others.push_back(std::move(m));
    }

    void addProblem(Diagnostic &&d)
    {
        if (m_problems.size() >= kMaxProblems)
            ++m_leftOut;
        else
            m_problems << std::move(d);
    }

    QString m_sourceBase;
    QByteArray m_sourceUri;
    QList<Diagnostic> m_problems;
    int m_leftOut = 0;
    int m_validityErrors = 0;
    QString m_genericText;
    xmlGenericErrorFunc m_oldGeneric;
    void *m_oldGenericCtx;
    xmlStructuredErrorFunc m_oldStructured;
    void *m_oldStructuredCtx;
};

struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

// Parses the source. On failure returns null and sets error to one line saying why.
// Messages libxml2 gives when a document is beyond its default limits: a text node or an
// attribute over 10 MB, names over 50,000 characters, nesting over 256 levels.
bool hitSizeLimit(const Collector &collector)
{
    static const QRegularExpression re(QStringLiteral("huge|too (long|big|large)|excessive depth|XML_PARSE_HUGE"),
                                       QRegularExpression::CaseInsensitiveOption);
    return std::any_of(collector.others.begin(), collector.others.end(),
                       [](const Message &m) { return re.match(m.text).hasMatch(); });
}

// Whether the parse with raised limits on this thread met an entity declaration.
thread_local bool t_entityDeclared = false;

// XML_PARSE_HUGE lifts libxml2's bound on entity expansion, so a parse with it stops at the
// first entity declaration, in the document or in its DTD.
void refuseEntityDecl(void *parserContext, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *)
{
    t_entityDeclared = true;
    xmlStopParser(static_cast<xmlParserCtxtPtr>(parserContext));
}

// Parses the source, with raised limits when only libxml2's usual ones stood in the way of a
// document that declares no entities: what the editor opens can be validated. On failure
// returns null and sets error to one line saying why.
DocPtr parseSource(const QByteArray &utf8, const QByteArray &baseUri, int options, Collector &collector,
                   QString *error)
{
    if (utf8.size() > INT_MAX) {
        *error = QStringLiteral("The XML source is too large to validate.");
        return nullptr;
    }
    for (const bool raised : {false, true}) {
        xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
        if (!ctxt) {
            *error = QStringLiteral("Out of memory while creating the XML parser.");
            return nullptr;
        }
        if (raised)
            ctxt->sax->entityDecl = &refuseEntityDecl;
        t_entityDeclared = false;
        DocPtr doc(xmlCtxtReadMemory(ctxt, utf8.constData(), int(utf8.size()),
                                     baseUri.isEmpty() ? nullptr : baseUri.constData(), "UTF-8",
                                     options | (raised ? XML_PARSE_HUGE : 0)));
        const bool wellFormed = doc && ctxt->wellFormed && ctxt->nsWellFormed && !t_entityDeclared;
        xmlFreeParserCtxt(ctxt);
        if (wellFormed)
            return doc;
        if (t_entityDeclared) {
            *error = QStringLiteral("The XML source is larger than the usual limits allow and declares entities; "
                                    "such a document cannot be validated safely.");
            return nullptr;
        }
        if (raised || !hitSizeLimit(collector))
            break;
        collector.restart();
    }
    const Message *first = collector.firstError();
    // The DTD the parser read is parsed along with the source; a mistake there is the DTD's.
    if (first && !first->file.isEmpty() && first->file.toUtf8() != baseUri) {
        *error = QStringLiteral("The DTD \"%1\" is not well-formed: %2")
                     .arg(displayName(first->file), placed(*first, first->file.toUtf8()));
    } else {
        const QString why = collector.firstErrorText(baseUri);
        *error = why.isEmpty() ? QStringLiteral("The XML source is not well-formed.")
                               : QStringLiteral("The XML source is not well-formed: %1").arg(why);
    }
    return nullptr;
}

Result validateDtd(const QByteArray &utf8, const QString &sourceBase, const QByteArray &baseUri)
{
    Result r;
    // The DTD follows the source's origin: a document from the network reads none.
    LocalFileReads reads(sourceBase);
    Collector collector(sourceBase, baseUri);
    DocPtr doc = parseSource(utf8, baseUri, kDtdOptions, collector, &r.error);
    if (!doc)
        return r;
    if (!doc->intSubset && !doc->extSubset) {
        r.error = QStringLiteral("The XML source has no DOCTYPE to validate against.");
        return r;
    }
    // Without the DTD (or an entity it declares) every element would be reported undeclared:
    // the reason it was not read is the one thing worth saying.
    if (!reads.allowsLocalFiles() && !reads.refusals().isEmpty()) {
        r.error = QStringLiteral("The DTD of a document from the network is not read, so \"%1\" was left out and the "
                                 "document cannot be validated against it. Validate a copy saved on this computer, "
                                 "or choose a schema file.").arg(displayName(reads.refusedTargets().first()));
        return r;
    }
    if (!reads.refusals().isEmpty()) {
        r.error = QStringLiteral("The DTD, or a file it refers to, could not be read: %1").arg(reads.refusals().first());
        return r;
    }
    r.problems = collector.takeProblems();
    r.valid = !collector.hasValidityErrors();
    return r;
}

// The local path a schema argument names, or empty (with error set) when it names none.
QString localSchemaPath(const QString &schemaPath, QString *error)
{
    if (schemaPath.isEmpty()) {
        *error = QStringLiteral("No schema file was given.");
        return QString();
    }
    const QUrl url(schemaPath);
    if (url.isLocalFile())
        return url.toLocalFile();
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    if (scheme.match(schemaPath).hasMatch()) {
        *error = QStringLiteral("The schema \"%1\" is not a local file; schemas are never fetched from the network.")
                     .arg(schemaPath);
        return QString();
    }
    return QFileInfo(schemaPath).absoluteFilePath();
}

// Compiles a grammar and validates a document against it: XML Schema and RELAX NG go the same
// way in libxml2, with their own functions.
template<typename Grammar>
struct GrammarApi;

template<>
struct GrammarApi<xmlSchema> {
    static constexpr const char *kind = "XML Schema";
    static xmlSchemaParserCtxtPtr newParser(const char *uri) { return xmlSchemaNewParserCtxt(uri); }
    static void setParserErrors(xmlSchemaParserCtxtPtr c, void *data)
    {
        xmlSchemaSetParserStructuredErrors(c, &Collector::structured, data);
    }
    static xmlSchemaPtr parse(xmlSchemaParserCtxtPtr c) { return xmlSchemaParse(c); }
    static void freeParser(xmlSchemaParserCtxtPtr c) { xmlSchemaFreeParserCtxt(c); }
    static void freeGrammar(xmlSchemaPtr s) { xmlSchemaFree(s); }
    static int validate(xmlSchemaPtr s, xmlDocPtr doc, void *data)
    {
        xmlSchemaValidCtxtPtr v = xmlSchemaNewValidCtxt(s);
        if (!v)
            return -1;
        xmlSchemaSetValidStructuredErrors(v, &Collector::structured, data);
        const int rc = xmlSchemaValidateDoc(v, doc);
        xmlSchemaFreeValidCtxt(v);
        return rc;
    }
};

template<>
struct GrammarApi<xmlRelaxNG> {
    static constexpr const char *kind = "RELAX NG schema";
    static xmlRelaxNGParserCtxtPtr newParser(const char *uri) { return xmlRelaxNGNewParserCtxt(uri); }
    static void setParserErrors(xmlRelaxNGParserCtxtPtr c, void *data)
    {
        xmlRelaxNGSetParserStructuredErrors(c, &Collector::structured, data);
    }
    static xmlRelaxNGPtr parse(xmlRelaxNGParserCtxtPtr c) { return xmlRelaxNGParse(c); }
    static void freeParser(xmlRelaxNGParserCtxtPtr c) { xmlRelaxNGFreeParserCtxt(c); }
    static void freeGrammar(xmlRelaxNGPtr s) { xmlRelaxNGFree(s); }
    static int validate(xmlRelaxNGPtr s, xmlDocPtr doc, void *data)
    {
        xmlRelaxNGValidCtxtPtr v = xmlRelaxNGNewValidCtxt(s);
        if (!v)
            return -1;
        xmlRelaxNGSetValidStructuredErrors(v, &Collector::structured, data);
        const int rc = xmlRelaxNGValidateDoc(v, doc);
        xmlRelaxNGFreeValidCtxt(v);
        return rc;
    }
};

template<typename Grammar>
Result validateWithGrammar(const QByteArray &utf8, const QString &sourceBase, const QByteArray &baseUri,
                           const QString &schemaPath)
{
    using Api = GrammarApi<Grammar>;
    Result r;
    const QString path = localSchemaPath(schemaPath, &r.error);
    if (path.isEmpty())
        return r;
    // Read once here for a message that names the file and says why; libxml2 reads it again
    // through the program's loader.
    QByteArray bytes;
    QString readError;
    if (!FileIO::readRegularFile(path, &bytes, &readError)) {
        r.error = QStringLiteral("The %1 cannot be read: %2").arg(QLatin1String(Api::kind), readError);
        return r;
    }
    bytes.clear();

    Collector collector(sourceBase, baseUri);
    DocPtr doc;
    {
        // The source reads what its own origin allows (its DTD is not loaded here at all).
        LocalFileReads sourceReads(sourceBase);
        doc = parseSource(utf8, baseUri, kSourceOptions, collector, &r.error);
    }
    if (!doc)
        return r;
    // The user picked the schema file, so it is read whatever the source's origin; what it
    // includes and imports follows the schema file's own origin.
    LocalFileReads reads(path);

    // What the source's parse said is settled; what follows is about the schema.
    collector.others.clear();
    const QByteArray schemaUri = QUrl::fromLocalFile(path).toEncoded();
    auto *parser = Api::newParser(schemaUri.constData());
    if (!parser) {
        r.error = QStringLiteral("Out of memory while preparing the %1.").arg(QLatin1String(Api::kind));
        return r;
    }
    Api::setParserErrors(parser, &collector);
    Grammar *grammar = Api::parse(parser);
    Api::freeParser(parser);
    if (!grammar) {
        QString why = collector.firstErrorText(schemaUri);
        if (!reads.refusals().isEmpty())
            why = why.isEmpty() ? reads.refusals().first() : why + QStringLiteral(" (") + reads.refusals().first() + QLatin1Char(')');
        if (why.isEmpty())
            why = QStringLiteral("it is not a valid schema");
        r.error = QStringLiteral("The %1 \"%2\" cannot be used: %3").arg(QLatin1String(Api::kind), path, why);
        return r;
    }
    // A grammar that compiled without something it refers to (an import from the network) may
    // still judge the document wrongly: say what was left out.
    for (const QString &why : reads.refusals())
        collector.addWarning(why, path);
    const int rc = Api::validate(grammar, doc.get(), &collector);
    Api::freeGrammar(grammar);
    r.problems = collector.takeProblems();
    if (rc < 0 && !collector.hasValidityErrors()) {
        const QString why = collector.firstErrorText(baseUri);
        r.error = QStringLiteral("The validation could not run%1")
                      .arg(why.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + why);
        return r;
    }
    r.valid = rc == 0 && !collector.hasValidityErrors();
    return r;
}

} // namespace

Result validate(const QByteArray &sourceUtf8, const QString &sourceBase, Schema schema, const QString &schemaPath)
{
    const QByteArray baseUri = toBaseUri(sourceBase);
    switch (schema) {
    case Schema::Dtd:
        return validateDtd(sourceUtf8, sourceBase, baseUri);
    case Schema::Xsd:
        return validateWithGrammar<xmlSchema>(sourceUtf8, sourceBase, baseUri, schemaPath);
    case Schema::RelaxNg:
        return validateWithGrammar<xmlRelaxNG>(sourceUtf8, sourceBase, baseUri, schemaPath);
    }
    Result r;
    r.error = QStringLiteral("Unknown kind of schema.");
    return r;
}

} // namespace validator
