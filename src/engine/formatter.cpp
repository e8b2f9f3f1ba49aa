#include "engine/formatter.h"

#include "engine/outofmemory.h"

#include <QRegularExpression>
#include <QStringView>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/SAX2.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <vector>

namespace formatter {
namespace {

// ---- Well-formedness -------------------------------------------------------------------------

struct Problem {
    bool found = false;
    bool namespaces = true; // whether namespace errors count (not in a fragment: see below)
    xmlParserCtxtPtr top = nullptr; // the document's parser; entity text gets a parser of its own
    QString message;
    int line = 0;
    int column = 0;
    // Whether the text declares entities, and whether the error was one of libxml2's size
    // limits (nesting over 256 levels, a text node over 10 MB, …) rather than a real fault.
    bool declaresEntities = false;
    bool hitLimit = false;
    bool raisedLimits = false;
};

const QString kEntitiesOverLimits = QStringLiteral(
    "The document is larger than the usual limits allow and declares entities; such a document cannot be read safely");

bool isSizeLimit(const QString &message)
{
    static const QRegularExpression re(QStringLiteral("huge|too (long|big|large)|excessive depth|XML_PARSE_HUGE"),
                                       QRegularExpression::CaseInsensitiveOption);
    return re.match(message).hasMatch();
}

// Called through the parser context, so nothing global changes while a check runs: a parse on
// another thread keeps its own handlers. Only the first error that makes the text unusable is
// kept; the parser is told to stop there.
void collectErrorUnguarded(void *data, xmlErrorPtr err)
{
    if (err && err->code == XML_ERR_NO_MEMORY)
        engine::noteOutOfMemory();
    auto *ctxt = static_cast<xmlParserCtxtPtr>(data);
    auto *problem = ctxt ? static_cast<Problem *>(ctxt->_private) : nullptr;
    if (!err || !problem || problem->found)
        return;
    const bool fatal = err->domain == XML_FROM_PARSER && err->level == XML_ERR_FATAL;
    const bool badNamespace = problem->namespaces && err->domain == XML_FROM_NAMESPACE
                              && err->level >= XML_ERR_ERROR;
    if (!fatal && !badNamespace)
        return;
    problem->found = true;
    problem->message = QString::fromUtf8(err->message).trimmed();
    if (problem->message.isEmpty())
        problem->message = QStringLiteral("The text is not well-formed XML (error %1)").arg(err->code);
    problem->hitLimit = isSizeLimit(problem->message);
    problem->line = err->line;
    problem->column = err->int2;
    // A position inside an entity's replacement text means nothing in the editor: the place of
    // the reference is where the problem shows.
    if (ctxt != problem->top && problem->top && problem->top->input) {
        problem->line = problem->top->input->line;
        problem->column = problem->top->input->col;
        problem->message = QStringLiteral("In the replacement text of an entity: ") + problem->message;
    }
    if (fatal) {
        ctxt->instate = XML_PARSER_EOF;
        ctxt->disableSAX = 1;
    }
}

void collectError(void *data, xmlErrorPtr err)
{
    engine::atCallbackEdge([&] { collectErrorUnguarded(data, err); });
}

void ignoreGeneric(void *, const char *, ...) {}

// Entity declarations are noted, and refused while limits are raised: XML_PARSE_HUGE lifts
// libxml2's bound on entity expansion.
void noteEntityDecl(void *data, const xmlChar *name, int type, const xmlChar *publicId, const xmlChar *systemId,
                    xmlChar *content)
{
    auto *ctxt = static_cast<xmlParserCtxtPtr>(data);
    auto *problem = ctxt ? static_cast<Problem *>(ctxt->_private) : nullptr;
    if (problem) {
        problem->declaresEntities = true;
        if (problem->raisedLimits && !problem->found) {
            problem->found = true;
            engine::atCallbackEdge([&] { problem->message = kEntitiesOverLimits; });
            problem->line = ctxt->input ? ctxt->input->line : 0;
            problem->column = ctxt->input ? ctxt->input->col : 0;
            xmlStopParser(ctxt);
            return;
        }
    }
    xmlSAX2EntityDecl(data, name, type, publicId, systemId, content);
}

// Parses UTF-8 text without touching the network, loading an external DTD or substituting
// entities, once with libxml2's default limits or once with them raised.
Problem parseOnce(const QByteArray &utf8, bool namespaces, bool raisedLimits)
{
    Problem problem;
    problem.namespaces = namespaces;
    problem.raisedLimits = raisedLimits;
    if (utf8.isEmpty()) {
        problem.found = true;
        problem.message = QStringLiteral("Document is empty");
        problem.line = 1;
        problem.column = 1;
        return problem;
    }
    if (utf8.size() > INT_MAX) {
        problem.found = true;
        problem.message = QStringLiteral("The text is too large to format");
        return problem;
    }
    // A message the parser writes without the context would otherwise reach stderr.
    const xmlGenericErrorFunc oldGeneric = xmlGenericError;
    void *const oldGenericCtx = xmlGenericErrorContext;
    xmlSetGenericErrorFunc(nullptr, &ignoreGeneric);

    xmlParserCtxtPtr ctxt = xmlCreateMemoryParserCtxt(utf8.constData(), int(utf8.size()));
    if (!ctxt) {
        xmlSetGenericErrorFunc(oldGenericCtx, oldGeneric);
        problem.found = true;
        problem.message = QStringLiteral("Out of memory while creating the XML parser");
        return problem;
    }
    // The text is Unicode already: an encoding named in its declaration says how the file is
    // saved, not how to read these bytes.
    xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_BIG_LINES | XML_PARSE_IGNORE_ENC
                                | (raisedLimits ? XML_PARSE_HUGE : 0));
    ctxt->_private = &problem;
    problem.top = ctxt;
    xmlSAXHandlerPtr sax = ctxt->sax;
    sax->serror = &collectError;
    sax->entityDecl = &noteEntityDecl;
    // Only the verdict is wanted, not a tree: the content builds nothing. What the internal
    // subset declares is still recorded, so that references to its entities are recognised.
    sax->startElementNs = nullptr;
    sax->endElementNs = nullptr;
    sax->startElement = nullptr;
    sax->endElement = nullptr;
    sax->characters = nullptr;
    sax->ignorableWhitespace = nullptr;
    sax->cdataBlock = nullptr;
    sax->comment = nullptr;
    sax->processingInstruction = nullptr;
    sax->reference = nullptr;
    xmlParseDocument(ctxt);
    const bool wellFormed = ctxt->wellFormed && (!namespaces || ctxt->nsWellFormed);
    xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    xmlFreeParserCtxt(ctxt);
    xmlSetGenericErrorFunc(oldGenericCtx, oldGeneric);

    if (!wellFormed && !problem.found) {
        problem.found = true;
        problem.message = QStringLiteral("The text is not well-formed XML");
    }
    if (wellFormed && !problem.namespaces)
        problem.found = false; // a warning-level namespace message is no reason to refuse
    return problem;
}

// The same limits as opening a document: libxml2's usual ones, raised for a document that only
// they stand in the way of and that declares no entities.
Problem checkWellFormed(const QByteArray &utf8, bool namespaces)
{
    Problem problem = parseOnce(utf8, namespaces, false);
    if (problem.found && problem.hitLimit && !problem.declaresEntities)
        return parseOnce(utf8, namespaces, true);
    if (problem.found && problem.hitLimit && problem.declaresEntities)
        problem.message = kEntitiesOverLimits;
    return problem;
}

// ---- Tokens ----------------------------------------------------------------------------------

enum class Kind : quint8 { Space, Text, CData, Comment, PI, Doctype, Start, Empty, End };

struct Token {
    qsizetype begin;
    qsizetype end;
    Kind kind;
};

constexpr bool isSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// Each returns the end (one past) of the construct starting at i, or -1 when it never ends.
qsizetype endOf(QStringView in, qsizetype from, QStringView terminator)
{
    const qsizetype at = in.indexOf(terminator, from);
    return at < 0 ? -1 : at + terminator.size();
}

qsizetype tagEnd(QStringView in, qsizetype i)
{
    char16_t quote = 0;
    for (qsizetype j = i + 1; j < in.size(); ++j) {
        const char16_t c = in[j].unicode();
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (c == u'>') {
            return j + 1;
        }
    }
    return -1;
}

// A DOCTYPE ends at the first '>' outside quotes and outside its internal subset; inside the
// subset, comments and processing instructions may hold any of those characters.
qsizetype doctypeEnd(QStringView in, qsizetype i)
{
    char16_t quote = 0;
    bool subset = false;
    for (qsizetype j = i + 2; j < in.size(); ++j) {
        const char16_t c = in[j].unicode();
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (subset && c == u'<' && in.sliced(j).startsWith(u"<!--")) {
            j = endOf(in, j + 4, u"-->");
            if (j < 0)
                return -1;
            --j;
        } else if (subset && c == u'<' && in.sliced(j).startsWith(u"<?")) {
            j = endOf(in, j + 2, u"?>");
            if (j < 0)
                return -1;
            --j;
        } else if (c == u'[') {
            subset = true;
        } else if (c == u']') {
            subset = false;
        } else if (c == u'>' && !subset) {
            return j + 1;
        }
    }
    return -1;
}

bool tokenize(QStringView in, qsizetype from, std::vector<Token> &tokens)
{
    tokens.reserve(size_t(in.size() / 16));
    qsizetype i = from;
    const qsizetype n = in.size();
    while (i < n) {
        if (in[i] != u'<') {
            qsizetype j = in.indexOf(u'<', i);
            if (j < 0)
                j = n;
            bool space = true;
            for (qsizetype k = i; k < j && space; ++k)
                space = isSpace(in[k].unicode());
            tokens.push_back({i, j, space ? Kind::Space : Kind::Text});
            i = j;
            continue;
        }
        const QStringView rest = in.sliced(i);
        qsizetype end;
        Kind kind;
        if (rest.startsWith(u"<!--")) {
            end = endOf(in, i + 4, u"-->");
            kind = Kind::Comment;
        } else if (rest.startsWith(u"<![CDATA[")) {
            end = endOf(in, i + 9, u"]]>");
            kind = Kind::CData;
        } else if (rest.startsWith(u"<?")) {
            end = endOf(in, i + 2, u"?>");
            kind = Kind::PI;
        } else if (rest.startsWith(u"<!")) {
            end = doctypeEnd(in, i);
            kind = Kind::Doctype;
        } else if (rest.startsWith(u"</")) {
            end = endOf(in, i + 2, u">");
            kind = Kind::End;
        } else {
            end = tagEnd(in, i);
            kind = end > i + 1 && in[end - 2] == u'/' ? Kind::Empty : Kind::Start;
        }
        if (end < 0)
            return false;
        tokens.push_back({i, end, kind});
        i = end;
    }
    return true;
}

// Sets *preserve from the tag's xml:space attribute, if it has one with a meaningful value.
void applyXmlSpace(QStringView tag, bool *preserve)
{
    if (!tag.contains(u"xml:space"))
        return;
    const qsizetype n = tag.size();
    qsizetype j = 1;
    while (j < n && !isSpace(tag[j].unicode()) && tag[j] != u'>' && tag[j] != u'/')
        ++j;
    for (;;) {
        while (j < n && isSpace(tag[j].unicode()))
            ++j;
        const qsizetype nameStart = j;
        while (j < n && !isSpace(tag[j].unicode()) && tag[j] != u'=' && tag[j] != u'>' && tag[j] != u'/')
            ++j;
        const QStringView name = tag.sliced(nameStart, j - nameStart);
        while (j < n && isSpace(tag[j].unicode()))
            ++j;
        if (name.isEmpty() || j >= n || tag[j] != u'=')
            return;
        ++j;
        while (j < n && isSpace(tag[j].unicode()))
            ++j;
        if (j >= n || (tag[j] != u'"' && tag[j] != u'\''))
            return;
        const QChar quote = tag[j];
        const qsizetype valueStart = ++j;
        while (j < n && tag[j] != quote)
            ++j;
        if (j >= n)
            return;
        if (name == u"xml:space") {
            const QStringView value = tag.sliced(valueStart, j - valueStart);
            if (value == u"preserve")
                *preserve = true;
            else if (value == u"default")
                *preserve = false;
            return;
        }
        ++j;
    }
}

// ---- Layout ----------------------------------------------------------------------------------

// What the layout needs to know of an element before writing its children.
struct Element {
    bool mixed = false;     // has non-whitespace text (or CDATA) of its own
    bool hasMarkup = false; // has an element, comment or processing instruction as a child
    bool preserve = false;  // xml:space="preserve" is in effect
};

struct Analysis {
    std::vector<Element> elements; // in the order of their start tags
    bool topText = false;          // text outside any element (only possible in a fragment)
};

bool analyse(QStringView in, const std::vector<Token> &tokens, Analysis &a)
{
    std::vector<size_t> open;
    for (const Token &t : tokens) {
        Element *parent = open.empty() ? nullptr : &a.elements[open.back()];
        switch (t.kind) {
        case Kind::Space:
            break;
        case Kind::Text:
        case Kind::CData:
            (parent ? parent->mixed : a.topText) = true;
            break;
        case Kind::Comment:
        case Kind::PI:
        case Kind::Doctype:
        case Kind::Empty:
            if (parent)
                parent->hasMarkup = true;
            break;
        case Kind::Start: {
            Element e;
            if (parent) {
                parent->hasMarkup = true;
                e.preserve = parent->preserve;
            }
            applyXmlSpace(in.sliced(t.begin, t.end - t.begin), &e.preserve);
            a.elements.push_back(e);
            open.push_back(a.elements.size() - 1);
            break;
        }
        case Kind::End:
            if (open.empty())
                return false;
            open.pop_back();
            break;
        }
    }
    return open.empty();
}

// Wider than any editor offers, narrow enough that deep nesting cannot ask for gigabytes.
constexpr int kMaxIndentWidth = 32;

enum class Mode {
    Format,        // whitespace between children is replaced by line breaks and indentation
    KeepPreserved, // kept as written; a child may set xml:space="default" and be formatted
    KeepAll,       // kept as written with everything inside
};

struct Frame {
    Mode mode;
    int base = 0;       // index of the indentation the levels count from
    int endLevel = 0;   // level of the end tag
    int childLevel = 0; // level of the children
    bool wroteChild = false;
};

struct LineBreaks {
    qsizetype lf = 0;
    qsizetype crlf = 0;
    void count(QStringView s)
    {
        for (qsizetype i = s.indexOf(u'\n'); i >= 0; i = s.indexOf(u'\n', i + 1))
            ++(i > 0 && s[i - 1] == u'\r' ? crlf : lf);
    }
};

// Lays the tokens out. A counting run writes nothing: it finds how many line breaks the output
// keeps from the input, of each kind, and how many it adds.
class Writer
{
public:
    Writer(QStringView in, int width, const QString &baseIndent, bool counting)
        : m_in(in), m_width(width), m_counting(counting)
    {
        m_bases.push_back(baseIndent);
        if (!counting)
            m_out.reserve(in.size() + in.size() / 4 + 64);
    }

    bool write(const std::vector<Token> &tokens, const Analysis &a, bool lineEndAtEnd)
    {
        std::vector<Frame> frames;
        frames.push_back({Mode::Format, 0, 0, 0, false});
        size_t nextElement = 0;
        for (const Token &t : tokens) {
            Frame &f = frames.back();
            const QStringView raw = m_in.sliced(t.begin, t.end - t.begin);
            if (f.mode != Mode::Format) {
                keep(raw);
            } else if (t.kind == Kind::End) {
                if (f.wroteChild)
                    newLine(f.base, f.endLevel);
                keep(raw);
            } else if (t.kind != Kind::Space) {
                if (!m_first)
                    newLine(f.base, f.childLevel);
                else if (!m_counting)
                    m_out += m_bases[size_t(f.base)];
                m_first = false;
                keep(raw);
                f.wroteChild = true;
            }
            if (t.kind == Kind::Start) {
                if (nextElement >= a.elements.size())
                    return false;
                frames.push_back(frameFor(frames.back(), a.elements[nextElement++]));
            } else if (t.kind == Kind::End) {
                if (frames.size() < 2)
                    return false;
                frames.pop_back();
            }
        }
        if (lineEndAtEnd)
            addLineBreak();
        return frames.size() == 1;
    }

    void setLineEnding(const QString &eol) { m_eol = eol; }
    const LineBreaks &kept() const { return m_kept; }
    qsizetype added() const { return m_added; }
    QString take() { return std::move(m_out); }

private:
    Frame frameFor(const Frame &parent, const Element &e)
    {
        Frame f{Mode::Format};
        if (parent.mode == Mode::KeepAll || e.mixed || !e.hasMarkup) {
            f.mode = Mode::KeepAll;
        } else if (e.preserve) {
            f.mode = Mode::KeepPreserved;
        } else if (parent.mode == Mode::Format) {
            f.base = parent.base;
            f.endLevel = parent.childLevel;
            f.childLevel = parent.childLevel + 1;
        } else if (!m_counting) {
            // Inside preserved content the start tag stays where it was written; its children
            // are indented from the indentation of the line it is on.
            const qsizetype lineStart = m_out.lastIndexOf(u'\n') + 1;
            qsizetype end = lineStart;
            while (end < m_out.size() && (m_out[end] == u' ' || m_out[end] == u'\t'))
                ++end;
            m_bases.push_back(m_out.sliced(lineStart, end - lineStart));
            f.base = int(m_bases.size() - 1);
            f.childLevel = 1;
        }
        return f;
    }

    void keep(QStringView raw)
    {
        if (m_counting)
            m_kept.count(raw);
        else
            m_out += raw;
    }

    void addLineBreak()
    {
        ++m_added;
        m_out += m_eol;
    }

    void newLine(int base, int level)
    {
        addLineBreak();
        if (m_counting)
            return;
        m_out += m_bases[size_t(base)];
        const qsizetype spaces = qsizetype(level) * m_width;
        if (m_spaces.size() < spaces)
            m_spaces = QString(spaces * 2, u' ');
        m_out += QStringView(m_spaces).left(spaces);
    }

    QStringView m_in;
    int m_width;
    bool m_counting;
    QString m_eol;
    std::vector<QString> m_bases;
    QString m_spaces;
    QString m_out;
    bool m_first = true;
    LineBreaks m_kept;
    qsizetype m_added = 0;
};

// The line ending the input mostly uses, unless the output would then mostly use the other one
// (when most of the input's line breaks were in whitespace the formatter replaces). The rule
// gives formatted text its own line ending again, so formatting twice changes nothing.
QString lineEndingFor(QStringView in, const LineBreaks &kept, qsizetype added)
{
    LineBreaks all;
    all.count(in);
    bool crlf = all.crlf > all.lf;
    if (crlf && kept.crlf + added <= kept.lf)
        crlf = false;
    else if (!crlf && kept.lf + added < kept.crlf)
        crlf = true;
    return crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
}

Result refused(const QString &text, const QString &message, int line, int column)
{
    return Result{false, text, message, line, column};
}

Result layout(const QString &text, int indentWidth, const QString &baseIndent, bool fragment)
{
    const QStringView in(text);
    qsizetype from = 0;
    QString bom;
    if (!fragment && in.startsWith(QChar(0xFEFF))) {
        bom = QString(QChar(0xFEFF));
        from = 1;
    }
    std::vector<Token> tokens;
    Analysis analysis;
    if (!tokenize(in, from, tokens) || !analyse(in, tokens, analysis))
        return refused(text, QStringLiteral("The text could not be divided into markup and text"), 0, 0);
    if (analysis.topText)
        return Result{true, text, QString(), 0, 0};

    qsizetype trailing = in.size();
    while (trailing > 0 && isSpace(in[trailing - 1].unicode()))
        --trailing;
    const bool lineEndAtEnd = !fragment || in.sliced(trailing).contains(u'\n');

    Writer counter(in, 0, QString(), true);
    Writer writer(in, qBound(0, indentWidth, kMaxIndentWidth), baseIndent, false);
    if (counter.write(tokens, analysis, lineEndAtEnd))
        writer.setLineEnding(lineEndingFor(in, counter.kept(), counter.added()));
    if (!writer.write(tokens, analysis, lineEndAtEnd))
        return refused(text, QStringLiteral("The elements in the text are not properly nested"), 0, 0);
    return Result{true, bom + writer.take(), QString(), 0, 0};
}

} // namespace

Result formatDocument(const QString &text, int indentWidth)
{
    const Problem problem = checkWellFormed(text.toUtf8(), true);
    if (problem.found)
        return refused(text, problem.message, problem.line, problem.column);
    return layout(text, indentWidth, QString(), false);
}

Result formatFragment(const QString &text, int indentWidth, const QString &baseIndent)
{
    // The fragment is checked inside an element of its own. The declared (never loaded) external
    // subset makes entities the document around it declares acceptable; namespace prefixes it
    // declares are accepted by not counting namespace errors. The prefix stays on the first line
    // so that line numbers are the fragment's own.
    static const QByteArray prefix = QByteArrayLiteral("<!DOCTYPE fragment SYSTEM \"fragment\"><fragment>");
    const Problem problem = checkWellFormed(prefix + text.toUtf8() + QByteArrayLiteral("</fragment>"), false);
    if (!problem.found)
        return layout(text, indentWidth, baseIndent, true);
    const int lastLine = int(text.count(u'\n')) + 1;
    const int lastColumn = int(text.size() - text.lastIndexOf(u'\n'));
    int column = problem.line == 1 ? qMax(problem.column - int(prefix.size()), 1) : problem.column;
    if (problem.line < lastLine || (problem.line == lastLine && column <= lastColumn))
        return refused(text, problem.message, problem.line, column);
    // Found in the closing tag of the wrapper: an element the fragment leaves open.
    QString message = problem.message;
    if (message.endsWith(QLatin1String(" and fragment")))
        message = message.chopped(8) + QStringLiteral("the end of the fragment");
    return refused(text, message, lastLine, lastColumn);
    return layout(text, indentWidth, baseIndent, true);
}

} // namespace formatter
