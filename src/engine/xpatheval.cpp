#include "engine/xpatheval.h"

#include "engine/outofmemory.h"
#include "engine/xmldocument.h"

#include <QSet>

#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace xpatheval {

namespace {

constexpr int kSummaryChars = 200;
// What a summary reads of a node's text at most: enough for kSummaryChars after whitespace is
// collapsed, without copying a text node of many megabytes.
constexpr size_t kSummaryBytes = 4096;

QString fromXml(const xmlChar *s)
{
    return s ? QString::fromUtf8(reinterpret_cast<const char *>(s)) : QString();
}

// Whitespace runs become one space, and the result is cut at kSummaryChars.
QString summary(QString s, bool cut = false)
{
    s = s.simplified();
    if (s.size() > kSummaryChars) {
        s.truncate(kSummaryChars);
        cut = true;
    }
    if (cut)
        s += QChar(0x2026);
    return s;
}

// The start of a node's content, at most kSummaryBytes of it.
QString contentSummary(const xmlChar *content)
{
    if (!content)
        return QString();
    const char *s = reinterpret_cast<const char *>(content);
    const size_t len = strnlen(s, kSummaryBytes);
    return summary(QString::fromUtf8(s, qsizetype(len)), len == kSummaryBytes && s[len] != 0);
}

QByteArray qualifiedName(const xmlNode *n)
{
    QByteArray name;
    if (n->ns && n->ns->prefix)
        name = QByteArray(reinterpret_cast<const char *>(n->ns->prefix)) + ':';
    return name + reinterpret_cast<const char *>(n->name);
}

// UTF-16 code units in len bytes of UTF-8: one per lead byte, two for four-byte sequences.
int utf16Length(const char *p, qsizetype len)
{
    int n = 0;
    for (qsizetype i = 0; i < len; ++i) {
        const uchar c = uchar(p[i]);
        if ((c & 0xC0) != 0x80)
            n += c >= 0xF0 ? 2 : 1;
    }
    return n;
}

// The next node in document order, not entering entity references (their content is the
// entity's, not written at this place in the text).
const xmlNode *nextInOrder(const xmlNode *n)
{
    if (n->type == XML_ELEMENT_NODE && n->children)
        return n->children;
    while (n && n->type != XML_DOCUMENT_NODE) {
        if (n->next)
            return n->next;
        n = n->parent;
    }
    return nullptr;
}

enum class Markup { StartTag, Comment, ProcessingInstruction };

bool isWalked(const xmlNode *n)
{
    return n->type == XML_ELEMENT_NODE || n->type == XML_COMMENT_NODE || n->type == XML_PI_NODE;
}

// The element, comment or processing instruction at n or after it in document order.
const xmlNode *walkedFrom(const xmlNode *n)
{
    while (n && !isWalked(n))
        n = nextInOrder(n);
    return n;
}

// Where the next start tag, comment or processing instruction begins in the text, from offset
// from on, skipping end tags, CDATA sections, the XML declaration and the document type
// declaration; -1 when there is none. *end is set past the construct. In well-formed XML a "<"
// anywhere else starts markup.
qsizetype nextMarkup(const QByteArray &text, qsizetype from, qsizetype *end, Markup *kind)
{
    const char *b = text.constData();
    const qsizetype n = text.size();
    qsizetype i = from;
    const auto skipPast = [&](const char *marker, qsizetype at) -> qsizetype {
        const qsizetype k = text.indexOf(marker, at);
        return k < 0 ? -1 : k + qsizetype(strlen(marker));
    };
    const auto found = [&](qsizetype at, qsizetype past, Markup k) {
        if (past < 0)
            return qsizetype(-1);
        *end = past;
        *kind = k;
        return at;
    };
    while (i >= 0 && i < n) {
        const void *lt = memchr(b + i, '<', size_t(n - i));
        if (!lt)
            return -1;
        i = static_cast<const char *>(lt) - b;
        if (i + 1 >= n)
            return -1;
        const char c = b[i + 1];
        if (c == '/') {
            i = skipPast(">", i + 2);
        } else if (c == '?') {
            const bool declaration = text.mid(i, 5) == "<?xml" && i + 5 < n && b[i + 5] != 0 && strchr(" \t\r\n", b[i + 5]);
            if (!declaration)
                return found(i, skipPast("?>", i + 2), Markup::ProcessingInstruction);
            i = skipPast("?>", i + 2);
        } else if (c == '!') {
            if (text.mid(i, 4) == "<!--") {
                return found(i, skipPast("-->", i + 4), Markup::Comment);
            } else if (text.mid(i, 9) == "<![CDATA[") {
                i = skipPast("]]>", i + 9);
            } else {
                // <!DOCTYPE ...>, whose internal subset holds declarations, quoted literals,
                // comments and processing instructions.
                int depth = 0;
                qsizetype j = i + 2;
                while (j >= 0 && j < n) {
                    const char d = b[j];
                    if (d == '"' || d == '\'') {
                        const void *q = memchr(b + j + 1, d, size_t(n - j - 1));
                        j = q ? static_cast<const char *>(q) - b + 1 : -1;
                    } else if (d == '<' && text.mid(j, 4) == "<!--") {
                        j = skipPast("-->", j + 4);
                    } else if (d == '<' && j + 1 < n && b[j + 1] == '?') {
                        j = skipPast("?>", j + 2);
                    } else if (d == '[' || d == '<') {
                        ++depth, ++j;
                    } else if (d == ']') {
                        --depth, ++j;
                    } else if (d == '>') {
                        if (depth-- == 0)
                            break;
                        ++j;
                    } else {
                        ++j;
                    }
                }
                i = j < 0 || j >= n ? -1 : j + 1;
            }
        } else {
            qsizetype j = i + 1;
            char quote = 0;
            for (; j < n; ++j) {
                const char d = b[j];
                if (quote) {
                    if (d == quote)
                        quote = 0;
                } else if (d == '"' || d == '\'') {
                    quote = d;
                } else if (d == '>') {
                    break;
                }
            }
            return j >= n ? -1 : found(i, j + 1, Markup::StartTag);
        }
    }
    return -1;
}

// Keeps every message libxml2 gives on this thread while it lives, so none reaches stderr;
// the previous handlers come back on destruction.
class ErrorSink
{
public:
    ErrorSink()
        : m_oldGeneric(xmlGenericError)
        , m_oldGenericCtx(xmlGenericErrorContext)
        , m_oldStructured(xmlStructuredError)
        , m_oldStructuredCtx(xmlStructuredErrorContext)
    {
        xmlSetGenericErrorFunc(this, &ErrorSink::generic);
        xmlSetStructuredErrorFunc(this, &ErrorSink::structured);
    }
    ~ErrorSink()
    {
        xmlSetGenericErrorFunc(m_oldGenericCtx, m_oldGeneric);
        xmlSetStructuredErrorFunc(m_oldStructuredCtx, m_oldStructured);
    }
    ErrorSink(const ErrorSink &) = delete;
    ErrorSink &operator=(const ErrorSink &) = delete;

    static void generic(void *, const char *, ...) {}

    static void structured(void *ctx, xmlErrorPtr err)
    {
        engine::atCallbackEdge([&] { note(static_cast<ErrorSink *>(ctx), err); });
    }

    static void note(ErrorSink *self, xmlErrorPtr err)
    {
        if (err && err->code == XML_ERR_NO_MEMORY)
            engine::noteOutOfMemory();
        if (!err || self->found)
            return;
        self->found = true;
        self->message = QString::fromUtf8(err->message).trimmed();
        if (self->message.isEmpty())
            self->message = QStringLiteral("XPath error %1").arg(err->code);
        // An XPath error carries the expression in str1 and the offset where it stopped in int1.
        if (err->domain == XML_FROM_XPATH && err->str1)
            self->offset = err->int1;
    }

    bool found = false;
    QString message;
    int offset = -1; // byte offset in the UTF-8 expression

private:
    xmlGenericErrorFunc m_oldGeneric;
    void *m_oldGenericCtx;
    xmlStructuredErrorFunc m_oldStructured;
    void *m_oldStructuredCtx;
};

struct XPathCtxtFree {
    void operator()(xmlXPathContext *c) const { xmlXPathFreeContext(c); }
};
struct XPathCompFree {
    void operator()(xmlXPathCompExpr *c) const { xmlXPathFreeCompExpr(c); }
};
struct XPathObjFree {
    void operator()(xmlXPathObject *o) const { xmlXPathFreeObject(o); }
};

bool isNameStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_') || c.unicode() >= 0x80;
}

bool isNameChar(QChar c)
{
    return isNameStart(c) || c.isDigit() || c == QLatin1Char('-') || c == QLatin1Char('.');
}

// The first prefix of a qualified name in the expression (name test, function or variable)
// that is not among known, with its 0-based position. libxml2 only says "Undefined namespace
// prefix", without naming it, and only while evaluating.
std::optional<QPair<QString, int>> undefinedPrefix(const QString &expr, const QSet<QString> &known)
{
    const qsizetype n = expr.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = expr.at(i);
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            const qsizetype close = expr.indexOf(c, i + 1);
            if (close < 0)
                return std::nullopt; // an unterminated literal: the compiler says so
            i = close + 1;
        } else if (isNameStart(c)) {
            const qsizetype start = i;
            while (i < n && isNameChar(expr.at(i)))
                ++i;
            // "prefix:local" or "prefix:*", but not an axis ("child::").
            if (i + 1 < n && expr.at(i) == QLatin1Char(':') && expr.at(i + 1) != QLatin1Char(':')
                && (isNameStart(expr.at(i + 1)) || expr.at(i + 1) == QLatin1Char('*'))) {
                const QString prefix = expr.mid(start, i - start);
                if (!known.contains(prefix))
                    return QPair<QString, int>(prefix, int(start));
                ++i;
            } else if (i + 1 < n && expr.at(i) == QLatin1Char(':') && expr.at(i + 1) == QLatin1Char(':')) {
                i += 2;
            }
        } else {
            ++i;
        }
    }
    return std::nullopt;
}

} // namespace

struct Session::Impl {
    XmlDocument doc;
    QByteArray source;
    QString baseUrl;
    bool hasSource = false;
    QString sourceError;
    QList<QPair<QString, QString>> namespaces;

    // Where elements' start tags, comments and processing instructions are in the source,
    // found by reading the text and the tree side by side in document order, as far as rows
    // have needed so far. libxml2 records where a start tag ends rather than where it begins,
    // and above line 65535 it can only guess from neighbouring text. A located node keeps its
    // offset plus one in its _private pointer, which nothing else uses on this tree: no table
    // to fill for the hundreds of thousands of nodes a walk to the end of a large source meets.
    struct Span {
        qsizetype offset;
        qsizetype length;
    };
    const xmlNode *nextWalked = nullptr; // the next node the walk will meet
    qsizetype textPos = 0;
    bool walkStarted = false;
    bool walkBroken = false;
    std::vector<qsizetype> lineStarts; // byte offsets, built on first use

    void resetLocations()
    {
        nextWalked = nullptr;
        textPos = 0;
        walkStarted = false;
        walkBroken = false;
        lineStarts.clear();
    }

    // Whether the markup at offset at is the node the tree has there.
    bool matches(const xmlNode *n, qsizetype at, Markup kind) const
    {
        switch (n->type) {
        case XML_COMMENT_NODE:
            return kind == Markup::Comment;
        case XML_PI_NODE:
        case XML_ELEMENT_NODE: {
            if (kind != (n->type == XML_PI_NODE ? Markup::ProcessingInstruction : Markup::StartTag))
                return false;
            const char *b = source.constData();
            qsizetype nameAt = at + (n->type == XML_PI_NODE ? 2 : 1);
            const auto take = [&](const xmlChar *part) {
                const size_t len = strlen(reinterpret_cast<const char *>(part));
                if (nameAt + qsizetype(len) >= source.size() || memcmp(b + nameAt, part, len) != 0)
                    return false;
                nameAt += qsizetype(len);
                return true;
            };
            if (n->type == XML_ELEMENT_NODE && n->ns && n->ns->prefix
                && !(take(n->ns->prefix) && take(BAD_CAST ":")))
                return false;
            if (!take(n->name))
                return false;
            const char after = b[nameAt];
            return after == '>' || after == '/' || after == '?' || after == ' ' || after == '\t' || after == '\n'
                   || after == '\r';
        }
        default:
            return false;
        }
    }

    std::optional<Span> locate(const xmlNode *node)
    {
        if (node->_private) {
            const qsizetype at = qsizetype(reinterpret_cast<quintptr>(node->_private)) - 1;
            qsizetype end = 0;
            Markup kind;
            nextMarkup(source, at, &end, &kind);
            return Span{at, end - at};
        }
        if (!walkStarted) {
            walkStarted = true;
            nextWalked = walkedFrom(doc.tree()->children);
        }
        while (nextWalked && !walkBroken) {
            qsizetype end = 0;
            Markup kind = Markup::StartTag;
            const qsizetype at = nextMarkup(source, textPos, &end, &kind);
            // If the text is not what the tree says is next, it holds a construct this reading
            // does not know, and the positions from here on stay unknown.
            if (at < 0 || !matches(nextWalked, at, kind)) {
                walkBroken = true;
                break;
            }
            const Span span{at, end - at};
            auto *met = const_cast<xmlNode *>(nextWalked);
            met->_private = reinterpret_cast<void *>(quintptr(at + 1));
            textPos = end;
            nextWalked = walkedFrom(nextInOrder(met));
            if (met == node)
                return span;
        }
        return std::nullopt;
    }

    // 1-based line and 0-based byte offset of its start, for a byte offset into the source.
    QPair<int, qsizetype> lineAt(qsizetype offset)
    {
        if (lineStarts.empty()) {
            lineStarts.push_back(0);
            const char *b = source.constData();
            const qsizetype n = source.size();
            for (const char *p = b; (p = static_cast<const char *>(memchr(p, '\n', size_t(b + n - p)))); ++p)
                lineStarts.push_back(p - b + 1);
        }
        const auto it = std::upper_bound(lineStarts.begin(), lineStarts.end(), offset);
        return {int(it - lineStarts.begin()), *(it - 1)};
    }

    int lineOf(const xmlNode *n)
    {
        if (n && isWalked(n)) {
            if (const auto span = locate(n))
                return lineAt(span->offset).first;
        }
        const long line = n ? xmlGetLineNo(n) : -1;
        return line > 0 ? int(line) : 0;
    }

    // Line, column and length of a located node's markup; nothing when it cannot be located.
    std::optional<Span> place(const xmlNode *n, Row *row)
    {
        const auto span = locate(n);
        if (!span)
            return span;
        const auto [line, lineStart] = lineAt(span->offset);
        row->line = line;
        row->column = utf16Length(source.constData() + lineStart, span->offset - lineStart) + 1;
        row->length = utf16Length(source.constData() + span->offset, span->length);
        return span;
    }

    Row elementRow(const xmlNode *n)
    {
        Row row;
        row.kind = Row::Kind::Element;
        if (const auto span = place(n, &row)) {
            const qsizetype shown = std::min<qsizetype>(span->length, kSummaryBytes);
            row.text = summary(QString::fromUtf8(source.constData() + span->offset, shown), shown < span->length);
        } else {
            const long line = xmlGetLineNo(n);
            row.line = line > 0 ? int(line) : 0;
            row.text = QLatin1Char('<') + QString::fromUtf8(qualifiedName(n)) + QLatin1Char('>');
        }
        // Elements that look alike by their tags tell themselves apart by the text they start with.
        if (n->children && (n->children->type == XML_TEXT_NODE || n->children->type == XML_CDATA_SECTION_NODE)) {
            const QString text = contentSummary(n->children->content);
            if (!text.isEmpty())
                row.text = summary(row.text + QLatin1Char(' ') + text);
        }
        return row;
    }

    Row rowFor(const xmlNode *n)
    {
        Row row;
        switch (n->type) {
        case XML_ELEMENT_NODE:
            return elementRow(n);
        case XML_ATTRIBUTE_NODE: {
            row.kind = Row::Kind::Attribute;
            row.line = lineOf(n->parent);
            xmlChar *value = xmlNodeGetContent(n);
            row.text = QString::fromUtf8(qualifiedName(n)) + QStringLiteral("=\"") + contentSummary(value)
                       + QLatin1Char('"');
            xmlFree(value);
            return row;
        }
        case XML_NAMESPACE_DECL: {
            // In a node-set, a namespace node's next points to the element it belongs to.
            const auto *ns = reinterpret_cast<const xmlNs *>(n);
            const auto *owner = reinterpret_cast<const xmlNode *>(ns->next);
            row.kind = Row::Kind::Namespace;
            row.line = owner && owner->type == XML_ELEMENT_NODE ? lineOf(owner) : 0;
            row.text = (ns->prefix ? QStringLiteral("xmlns:") + fromXml(ns->prefix) : QStringLiteral("xmlns"))
                       + QStringLiteral("=\"") + fromXml(ns->href) + QLatin1Char('"');
            return row;
        }
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE: {
            row.kind = n->type == XML_COMMENT_NODE ? Row::Kind::Comment
                       : n->type == XML_PI_NODE    ? Row::Kind::ProcessingInstruction
                                                   : Row::Kind::Text;
            // libxml2 notes where a text ends (for a long text, its first part); comments and
            // processing instructions are located like elements.
            if (!isWalked(n) || !place(n, &row)) {
                const long line = xmlGetLineNo(n);
                row.line = line > 0 ? int(line) : lineOf(n->parent);
            }
            row.text = contentSummary(n->content);
            if (n->type == XML_PI_NODE)
                row.text = summary(fromXml(n->name) + QLatin1Char(' ') + row.text);
            return row;
        }
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
            row.kind = Row::Kind::Document;
            row.text = QStringLiteral("/");
            return row;
        default:
            row.kind = Row::Kind::Text;
            row.line = lineOf(n->parent);
            row.text = n->name ? fromXml(n->name) : QString();
            return row;
        }
    }
};

Session::Session()
    : d(std::make_unique<Impl>())
{
}

Session::~Session() = default;

bool Session::setSource(const QByteArray &utf8, const QString &baseUrl, QString *error)
{
    if (!d->hasSource || utf8 != d->source || baseUrl != d->baseUrl) {
        d->resetLocations();
        d->source = utf8;
        d->baseUrl = baseUrl;
        d->hasSource = true;
        d->sourceError.clear();
        if (!d->doc.loadXMLUtf8(utf8, baseUrl)) {
            const XmlDocument::ParseError &e = d->doc.parseError();
            const QString reason = e.reason.section(QLatin1Char('\n'), 0, 0).trimmed();
            d->sourceError = e.line > 0 ? QStringLiteral("line %1: %2").arg(e.line).arg(reason) : reason;
            if (d->sourceError.isEmpty())
                d->sourceError = QStringLiteral("the document is not well-formed XML");
        }
    }
    if (error)
        *error = d->sourceError;
    return d->sourceError.isEmpty();
}

void Session::setNamespaces(const QList<QPair<QString, QString>> &prefixToUri)
{
    d->namespaces = prefixToUri;
}

Result Session::evaluate(const QString &expression, int maxRows, qsizetype maxValueChars)
{
    Result r;
    if (!d->hasSource) {
        r.error = QStringLiteral("There is no XML source to evaluate the expression against");
        return r;
    }
    if (!d->sourceError.isEmpty()) {
        r.error = QStringLiteral("The XML source is not well-formed (%1)").arg(d->sourceError);
        return r;
    }
    if (expression.trimmed().isEmpty()) {
        r.error = QStringLiteral("The expression is empty");
        return r;
    }

    xmlDocPtr doc = d->doc.tree();
    std::unique_ptr<xmlXPathContext, XPathCtxtFree> ctxt(xmlXPathNewContext(doc));
    if (!ctxt) {
        r.error = QStringLiteral("Out of memory while preparing the evaluation");
        return r;
    }
    ctxt->node = reinterpret_cast<xmlNodePtr>(doc);

    // The root element's prefixes first, so that the caller's win; never the empty prefix.
    QSet<QString> known{QStringLiteral("xml")};
    if (const xmlNode *root = xmlDocGetRootElement(doc)) {
        for (const xmlNs *ns = root->nsDef; ns; ns = ns->next) {
            if (ns->prefix && ns->href) {
                xmlXPathRegisterNs(ctxt.get(), ns->prefix, ns->href);
                known.insert(fromXml(ns->prefix));
            }
        }
    }
    for (const auto &[prefix, uri] : std::as_const(d->namespaces)) {
        if (prefix.isEmpty() || uri.isEmpty())
            continue;
        xmlXPathRegisterNs(ctxt.get(), BAD_CAST prefix.toUtf8().constData(), BAD_CAST uri.toUtf8().constData());
        known.insert(prefix);
    }

    // Without an error function of its own the context reports through this thread's
    // structured handler, with the message text (its own copy of the error carries none).
    ErrorSink sink;
    const QByteArray expr = expression.toUtf8();
    const auto fail = [&](const QString &fallback) {
        r.error = sink.found ? sink.message : fallback;
        if (sink.offset >= 0)
            r.errorColumn = QString::fromUtf8(expr.left(std::min<qsizetype>(sink.offset, expr.size()))).size() + 1;
        return r;
    };

    std::unique_ptr<xmlXPathCompExpr, XPathCompFree> comp(xmlXPathCtxtCompile(ctxt.get(), BAD_CAST expr.constData()));
    if (!comp || sink.found)
        return fail(QStringLiteral("Invalid expression"));
    if (const auto undefined = undefinedPrefix(expression, known)) {
        r.error = QStringLiteral("Undefined namespace prefix \"%1\"").arg(undefined->first);
        r.errorColumn = undefined->second + 1;
        return r;
    }
    std::unique_ptr<xmlXPathObject, XPathObjFree> obj(xmlXPathCompiledEval(comp.get(), ctxt.get()));
    if (!obj || sink.found) {
        // A position within the expression means nothing once it is compiled.
        sink.offset = -1;
        return fail(QStringLiteral("The expression could not be evaluated"));
    }
    switch (obj->type) {
    case XPATH_BOOLEAN:
        r.type = Result::Type::Boolean;
        break;
    case XPATH_NUMBER:
        r.type = Result::Type::Number;
        break;
    case XPATH_STRING:
        r.type = Result::Type::String;
        break;
    default:
        r.type = Result::Type::NodeSet;
        break;
    }
    if (r.type == Result::Type::NodeSet) {
        const xmlNodeSet *set = obj->nodesetval;
        r.total = set ? set->nodeNr : 0;
        const int rows = std::min(r.total, std::max(0, maxRows));
        r.nodes.reserve(rows);
        for (int i = 0; i < rows; ++i)
            r.nodes.append(d->rowFor(set->nodeTab[i]));
    } else {
        xmlChar *value = xmlXPathCastToString(obj.get());
        if (!value) {
            r.error = QStringLiteral("Out of memory while converting the value to a string");
            return r;
        }
        r.value = fromXml(value);
        xmlFree(value);
        r.valueLength = r.value.size();
        if (maxValueChars >= 0 && r.value.size() > maxValueChars) {
            // Not between the halves of a surrogate pair.
            qsizetype cut = maxValueChars;
            if (cut > 0 && r.value.at(cut - 1).isHighSurrogate())
                --cut;
            r.value.truncate(cut);
        }
    }
    r.ok = true;
    return r;
}

} // namespace xpatheval
