#include "components/xmlstyler.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace xmlstyler {
namespace {

// Where in the markup a line break can leave the lexer. Everything that can be cut by a line
// break has a mode here; names, references and keywords cannot, so they need none.
enum Mode : unsigned {
    Text,
    InComment,
    InCData,
    InPI,
    InXmlDecl,
    InDoctype,
    InTag,         // a start tag, between attributes
    AfterAttrName, // waiting for '='
    AfterEquals,   // waiting for the opening quote
    InValue,
    InEndTag,      // after the name of an end tag, waiting for '>'
    ModeCount
};

enum ElementKind : unsigned {
    Literal = 0,
    Xslt = 1,
    XsltWithTemplates = 2, // an XSLT element some of whose attributes are value templates
};

// ExpandText is the value of an expand-text attribute, looked at for the switch it makes and
// styled as a plain value.
enum ValueKind : unsigned { Plain = 0, XPath = 1, Template = 2, ExpandText = 3 };

// Braces open inside an expression (map and array constructors, function bodies) that are
// counted; a { beyond the deepest one is painted but not counted, so that the template ends
// at an earlier } than it should.
constexpr unsigned kMaxBraces = 3;

constexpr unsigned kDepthShift = 20;
// Deeper than Scintilla's fold levels go anyway.
constexpr unsigned kMaxDepth = (1u << (32 - kDepthShift)) - 1;

// State bit layout: 0-3 mode, 4-5 element kind, 6-7 value kind, 8 apostrophe-quoted value,
// 9 in an XPath string, 10 that string opened with an apostrophe, 11 inside { } of a value
// template or of a text value template, 12 the last XPath token was an operand, 13 DOCTYPE
// internal subset, 14-15 quote inside DOCTYPE (1 ", 2 '), 16 comment inside the subset, 17 text
// value templates on, 18-19 braces open inside the expression, 20-31 nesting depth.
//
// Text value templates: the bit goes on at expand-text="yes" on an XSLT element, or
// xsl:expand-text="yes" on a literal result element, and off again at "no", and then holds for
// all the text that follows, not only for the element's own content, as there is no room in
// the state for the depth of each element that switched. A stylesheet that sets it once on
// its root element, the usual case, comes out right.
struct Fields {
    unsigned mode = Text;
    unsigned element = Literal;
    unsigned value = Plain;
    bool apos = false;
    bool inString = false;
    bool stringApos = false;
    bool inExpr = false;
    bool afterOperand = false;
    bool subset = false;
    unsigned dtQuote = 0;
    bool dtComment = false;
    bool textTemplates = false;
    unsigned braces = 0;
    unsigned depth = 0;

    static Fields unpack(State s)
    {
        Fields f;
        f.mode = s & 0xF;
        if (f.mode >= ModeCount)
            f.mode = Text;
        f.element = (s >> 4) & 3;
        if (f.element > XsltWithTemplates)
            f.element = Literal;
        f.value = (s >> 6) & 3;
        f.apos = s & (1u << 8);
        f.inString = s & (1u << 9);
        f.stringApos = s & (1u << 10);
        f.inExpr = s & (1u << 11);
        f.afterOperand = s & (1u << 12);
        f.subset = s & (1u << 13);
        f.dtQuote = (s >> 14) & 3;
        if (f.dtQuote > 2)
            f.dtQuote = 0;
        f.dtComment = s & (1u << 16);
        f.textTemplates = s & (1u << 17);
        f.braces = (s >> 18) & 3;
        f.depth = s >> kDepthShift;
        return f;
    }
    State pack() const
    {
        return State(mode) | State(element) << 4 | State(value) << 6 | State(apos) << 8 | State(inString) << 9
               | State(stringApos) << 10 | State(inExpr) << 11 | State(afterOperand) << 12 | State(subset) << 13
               | State(dtQuote) << 14 | State(dtComment) << 16 | State(textTemplates) << 17 | State(braces) << 18
               | State(depth) << kDepthShift;
    }
};

constexpr bool isSpace(unsigned c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
constexpr bool isDigit(unsigned c)
{
    return c >= '0' && c <= '9';
}
constexpr bool isHexDigit(unsigned c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
constexpr bool isLetter(unsigned c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// XML names, roughly: what is not ASCII is taken as a name character.
constexpr bool isNameStart(unsigned c)
{
    return isLetter(c) || c == '_' || c == ':' || c >= 0x80;
}
constexpr bool isNameChar(unsigned c)
{
    return isNameStart(c) || isDigit(c) || c == '-' || c == '.';
}
// Names without a colon, as XPath splits QNames.
constexpr bool isNcNameStart(unsigned c)
{
    return c != ':' && isNameStart(c);
}
constexpr bool isNcNameChar(unsigned c)
{
    return c != ':' && isNameChar(c);
}

// Length and first character sort out nearly all of the words before any comparison.
bool oneOf(std::string_view word, std::initializer_list<std::string_view> words)
{
    return std::any_of(words.begin(), words.end(), [word](std::string_view w) {
        return w.size() == word.size() && (w.empty() || w[0] == word[0]) && w == word;
    });
}

// XPath's operator words. The first of `instance of`, `cast as`, `castable as` and `treat as`
// gives 2, another one 1, any other word 0.
int operatorWord(std::string_view w)
{
    switch (w.size()) {
    case 2: return oneOf(w, {"or", "eq", "ne", "lt", "le", "gt", "ge", "is", "to", "in", "of", "as"});
    case 3: return oneOf(w, {"and", "div", "mod"});
    case 4: return w == "cast" ? 2 : oneOf(w, {"idiv", "then", "else"});
    case 5: return w == "treat" ? 2 : w == "union";
    case 6: return oneOf(w, {"except", "return"});
    case 8: return oneOf(w, {"castable", "instance"}) ? 2 : 0;
    case 9: return oneOf(w, {"intersect", "satisfies"});
    default: return 0;
    }
}

// Attributes of XSLT elements that hold an expression or a pattern.
bool holdsXPath(std::string_view name)
{
    return oneOf(name, {"select", "match", "test", "use", "value", "count", "from", "group-by", "group-adjacent",
                        "group-starting-with", "group-ending-with", "use-when", "initial-value", "key", "xpath",
                        "context-item", "with-params", "namespace-context", "for-each-item", "for-each-source"});
}
// Attributes of xsl:element, xsl:attribute, xsl:processing-instruction, xsl:number and
// xsl:sort that are attribute value templates.
bool holdsTemplate(std::string_view name)
{
    return oneOf(name, {"name", "namespace", "format", "lang", "letter-value", "grouping-separator",
                        "grouping-size", "data-type", "order", "case-order"});
}

// A character of an attribute value as the XML parser hands it on: references to the
// predefined entities and character references are decoded, since `&lt;` in a test is the
// XPath operator `<` and `&quot;` may open an XPath string.
struct Char {
    unsigned c = 0;        // the character; 0x80 stands for any non-ASCII one
    std::size_t len = 0;   // bytes it takes in the text
    bool end = false;      // not part of the value: closing quote, raw '<', or end of line
    bool reference = false;// written as a reference
    bool unknown = false;  // a reference to an entity we cannot decode (c is 0)
};

class Run
{
public:
    Run(const std::string &prefix, const unsigned char *text, unsigned char *styles, Fields fields)
        : m_prefix(prefix), p(text), m_styles(styles), f(fields)
    {
    }

    void line(std::size_t begin, std::size_t end)
    {
        m_lim = end;
        std::size_t i = begin;
        int stalls = 0;
        while (i < end) {
            const std::size_t before = i;
            i = step(i);
            // A step that consumes nothing hands over to a mode that does; should a pair of
            // modes ever hand the same byte back and forth, the byte goes as plain text.
            if (i != before) {
                stalls = 0;
            } else if (++stalls > 3) {
                paint(i, i + 1, Default);
                ++i;
                stalls = 0;
            }
        }
    }

    const Fields &fields() const { return f; }

private:
    const std::string &m_prefix;
    const unsigned char *p;
    unsigned char *m_styles;
    Fields f;
    std::size_t m_lim = 0; // end of the current line: no look-ahead goes past it
    unsigned m_end = '<';  // the quote that ends the value being read; in text, only '<' ends

    void paint(std::size_t from, std::size_t to, Style style)
    {
        if (to > from)
            std::memset(m_styles + from, style, to - from);
    }

    bool startsWith(std::size_t i, std::string_view s) const
    {
        return m_lim - i >= s.size() && std::memcmp(p + i, s.data(), s.size()) == 0;
    }
    // Offset of s in [from, line end), or npos.
    std::size_t find(std::size_t from, std::string_view s) const
    {
        const std::string_view hay(reinterpret_cast<const char *>(p) + from, m_lim - from);
        const std::size_t at = hay.find(s);
        return at == std::string_view::npos ? at : from + at;
    }
    std::size_t nameEnd(std::size_t i) const
    {
        while (i < m_lim && isNameChar(p[i]))
            ++i;
        return i;
    }
    std::string_view view(std::size_t from, std::size_t to) const
    {
        return {reinterpret_cast<const char *>(p) + from, to - from};
    }

    void rise()
    {
        if (f.depth < kMaxDepth)
            ++f.depth;
    }
    void fall()
    {
        if (f.depth > 0)
            --f.depth;
    }
    void toText()
    {
        const unsigned depth = f.depth;
        const bool textTemplates = f.textTemplates;
        f = Fields();
        f.depth = depth;
        f.textTemplates = textTemplates;
    }

    std::size_t step(std::size_t i)
    {
        switch (f.mode) {
        case Text: return text(i);
        case InComment: return until(i, "-->", Comment, Comment, true);
        case InCData: return until(i, "]]>", CData, CData, false);
        case InPI: return until(i, "?>", ProcessingInstruction, PIMarker, false);
        case InXmlDecl: return until(i, "?>", XmlDeclaration, PIMarker, false);
        case InDoctype: return doctype(i);
        case InTag: return tag(i);
        case AfterAttrName: return afterName(i);
        case AfterEquals: return afterEquals(i);
        case InValue: return value(i);
        case InEndTag: return endTag(i);
        default: toText(); return i;
        }
    }

    // Length of a complete entity or character reference at i, 0 when there is none.
    std::size_t referenceLength(std::size_t i) const
    {
        std::size_t k = i + 1;
        if (k < m_lim && p[k] == '#') {
            ++k;
            const bool hex = k < m_lim && p[k] == 'x';
            if (hex)
                ++k;
            const std::size_t digits = k;
            while (k < m_lim && (hex ? isHexDigit(p[k]) : isDigit(p[k])))
                ++k;
            return k > digits && k < m_lim && p[k] == ';' ? k + 1 - i : 0;
        }
        if (k >= m_lim || !isNameStart(p[k]))
            return 0;
        k = nameEnd(k);
        return k < m_lim && p[k] == ';' ? k + 1 - i : 0;
    }

    std::size_t text(std::size_t i)
    {
        if (f.inExpr)
            return textExpression(i);
        std::size_t j = i;
        if (f.textTemplates) {
            while (j < m_lim && p[j] != '<' && p[j] != '&' && p[j] != '{' && p[j] != '}')
                ++j;
        } else {
            while (j < m_lim && p[j] != '<' && p[j] != '&')
                ++j;
        }
        paint(i, j, Default);
        if (j >= m_lim)
            return j;
        if (p[j] == '&') {
            const std::size_t len = referenceLength(j);
            paint(j, j + std::max<std::size_t>(len, 1), len ? EntityRef : Default);
            return j + std::max<std::size_t>(len, 1);
        }
        if (p[j] == '{' || p[j] == '}') {
            // {{ and }} stand for a brace, a lone } for itself (XSLT takes it as an error).
            if (j + 1 < m_lim && p[j + 1] == p[j]) {
                paint(j, j + 2, Default);
                return j + 2;
            }
            if (p[j] == '}') {
                paint(j, j + 1, Default);
                return j + 1;
            }
            paint(j, j + 1, XPathOperator);
            f.inExpr = true;
            f.afterOperand = false;
            f.braces = 0;
            return j + 1;
        }
        return markup(j);
    }

    // Inside { } of a text value template: XPath up to the closing }. Markup cannot be part of
    // it, so a '<' ends the expression where it is.
    std::size_t textExpression(std::size_t i)
    {
        m_end = '<';
        while (f.inExpr) {
            const Char ch = at(i);
            if (ch.end) {
                if (i < m_lim) {
                    f.inExpr = f.inString = false;
                    f.braces = 0;
                }
                return i;
            }
            i = xpath(i, ch);
        }
        return i;
    }

    Style elementStyle(std::size_t from, std::size_t to)
    {
        const std::string_view name = view(from, to);
        bool xslt;
        std::string_view local;
        if (m_prefix.empty()) {
            xslt = name.find(':') == std::string_view::npos;
            local = name;
        } else {
            xslt = name.size() > m_prefix.size() && name.compare(0, m_prefix.size(), m_prefix) == 0
                   && name[m_prefix.size()] == ':';
            local = xslt ? name.substr(m_prefix.size() + 1) : std::string_view();
        }
        f.element = !xslt ? Literal
                    : oneOf(local, {"element", "attribute", "processing-instruction", "number", "sort"})
                        ? XsltWithTemplates
                        : Xslt;
        return xslt ? XsltElement : Element;
    }

    Style attributeStyle(std::size_t from, std::size_t to)
    {
        const std::string_view name = view(from, to);
        const bool nsDecl = name == "xmlns" || name.substr(0, 6) == "xmlns:";
        f.value = Plain;
        if (f.element != Literal) {
            if (nsDecl || name.find(':') != std::string_view::npos)
                return Attribute;
            if (holdsXPath(name))
                f.value = XPath;
            else if (f.element == XsltWithTemplates && holdsTemplate(name))
                f.value = Template;
            else if (name == "expand-text")
                f.value = ExpandText;
            return XsltAttribute;
        }
        if (nsDecl)
            return Attribute;
        if (!m_prefix.empty() && name.size() > m_prefix.size() && name.compare(0, m_prefix.size(), m_prefix) == 0
            && name[m_prefix.size()] == ':') {
            if (name.substr(m_prefix.size() + 1) == "expand-text")
                f.value = ExpandText;
            return XsltAttribute;
        }
        f.value = Template;
        return Attribute;
    }

    // At a '<' in character data.
    std::size_t markup(std::size_t i)
    {
        const std::size_t k = i + 1;
        const unsigned next = k < m_lim ? p[k] : 0;
        if (k < m_lim && next == '/') {
            paint(i, k + 1, TagPunctuation);
            std::size_t end = k + 1;
            if (end < m_lim && isNameStart(p[end])) {
                end = nameEnd(end);
                paint(k + 1, end, elementStyle(k + 1, end));
            }
            fall();
            toText();
            f.mode = InEndTag;
            return end;
        }
        if (k < m_lim && next == '!') {
            if (startsWith(i, "<!--")) {
                paint(i, i + 4, Comment);
                rise();
                f.mode = InComment;
                return i + 4;
            }
            if (startsWith(i, "<![CDATA[")) {
                paint(i, i + 9, CData);
                f.mode = InCData;
                return i + 9;
            }
            if (k + 1 < m_lim && isLetter(p[k + 1])) {
                const std::size_t end = nameEnd(k + 1);
                paint(i, end, Doctype);
                f.mode = InDoctype;
                return end;
            }
        } else if (k < m_lim && next == '?') {
            const std::size_t end = k + 1 < m_lim && isNameStart(p[k + 1]) ? nameEnd(k + 1) : k + 1;
            paint(i, end, PIMarker);
            f.mode = view(k + 1, end) == "xml" ? InXmlDecl : InPI;
            return end;
        } else if (k < m_lim && isNameStart(next)) {
            const std::size_t end = nameEnd(k);
            paint(i, k, TagPunctuation);
            paint(k, end, elementStyle(k, end));
            rise();
            f.mode = InTag;
            return end;
        }
        // Not markup (yet): a '<' being typed, or a stray one.
        paint(i, k, Default);
        return k;
    }

    // Styles up to and including `close`, or to the end of the line while it is missing.
    std::size_t until(std::size_t i, std::string_view close, Style body, Style closing, bool lowers)
    {
        const std::size_t at = find(i, close);
        if (at == std::string_view::npos) {
            paint(i, m_lim, body);
            return m_lim;
        }
        paint(i, at, body);
        paint(at, at + close.size(), closing);
        if (lowers)
            fall();
        toText();
        return at + close.size();
    }

    std::size_t doctype(std::size_t i)
    {
        while (i < m_lim) {
            if (f.dtComment) {
                const std::size_t at = find(i, "-->");
                const std::size_t end = at == std::string_view::npos ? m_lim : at + 3;
                paint(i, end, Comment);
                f.dtComment = at == std::string_view::npos;
                i = end;
                continue;
            }
            if (f.dtQuote) {
                const std::size_t at = find(i, f.dtQuote == 1 ? "\"" : "'");
                const std::size_t end = at == std::string_view::npos ? m_lim : at + 1;
                paint(i, end, Doctype);
                if (at != std::string_view::npos)
                    f.dtQuote = 0;
                i = end;
                continue;
            }
            const unsigned c = p[i];
            if (c == '<' && f.subset && startsWith(i, "<!--")) {
                paint(i, i + 4, Comment);
                f.dtComment = true;
                i += 4;
                continue;
            }
            paint(i, i + 1, Doctype);
            ++i;
            if (c == '"')
                f.dtQuote = 1;
            else if (c == '\'')
                f.dtQuote = 2;
            else if (c == '[')
                f.subset = true;
            else if (c == ']')
                f.subset = false;
            else if (c == '>' && !f.subset) {
                toText();
                return i;
            }
        }
        return i;
    }

    std::size_t skipSpace(std::size_t i)
    {
        std::size_t j = i;
        while (j < m_lim && isSpace(p[j]))
            ++j;
        paint(i, j, Default);
        return j;
    }

    void openValue(std::size_t i, unsigned kind)
    {
        paint(i, i + 1, Value);
        f.mode = InValue;
        f.value = kind == ExpandText ? Plain : kind;
        f.apos = p[i] == '\'';
        f.inString = f.stringApos = f.inExpr = f.afterOperand = false;
        f.braces = 0;
        if (kind == ExpandText)
            switchTextTemplates(i + 1);
    }

    // At the start of an expand-text value: what it says, when it ends on this line.
    void switchTextTemplates(std::size_t i)
    {
        const std::size_t close = find(i, f.apos ? "'" : "\"");
        if (close == std::string_view::npos)
            return;
        std::string_view v = view(i, close);
        while (!v.empty() && isSpace(static_cast<unsigned char>(v.front())))
            v.remove_prefix(1);
        while (!v.empty() && isSpace(static_cast<unsigned char>(v.back())))
            v.remove_suffix(1);
        if (oneOf(v, {"yes", "true", "1"}))
            f.textTemplates = true;
        else if (oneOf(v, {"no", "false", "0"}))
            f.textTemplates = false;
    }

    std::size_t tag(std::size_t i)
    {
        while (i < m_lim) {
            const unsigned c = p[i];
            if (isSpace(c)) {
                i = skipSpace(i);
                continue;
            }
            if (c == '>') {
                paint(i, i + 1, TagPunctuation);
                toText();
                return i + 1;
            }
            if (c == '/' && i + 1 < m_lim && p[i + 1] == '>') {
                paint(i, i + 2, TagPunctuation);
                fall();
                toText();
                return i + 2;
            }
            if (c == '<') { // the tag was left unfinished: take this as new markup
                toText();
                return i;
            }
            if (isNameStart(c)) {
                const std::size_t end = nameEnd(i);
                paint(i, end, attributeStyle(i, end));
                f.mode = AfterAttrName;
                return end;
            }
            if (c == '"' || c == '\'') {
                openValue(i, Plain);
                return i + 1;
            }
            paint(i, i + 1, Default);
            if (c == '=') {
                f.value = Plain;
                f.mode = AfterEquals;
                return i + 1;
            }
            ++i;
        }
        return i;
    }

    std::size_t afterName(std::size_t i)
    {
        i = skipSpace(i);
        if (i >= m_lim)
            return i;
        if (p[i] == '=') {
            paint(i, i + 1, Default);
            f.mode = AfterEquals;
            return i + 1;
        }
        f.mode = InTag;
        return i;
    }

    std::size_t afterEquals(std::size_t i)
    {
        i = skipSpace(i);
        if (i >= m_lim)
            return i;
        if (p[i] == '"' || p[i] == '\'') {
            openValue(i, f.value);
            return i + 1;
        }
        f.mode = InTag;
        return i;
    }

    std::size_t endTag(std::size_t i)
    {
        while (i < m_lim) {
            if (p[i] == '>') {
                paint(i, i + 1, TagPunctuation);
                toText();
                return i + 1;
            }
            if (p[i] == '<') {
                toText();
                return i;
            }
            paint(i, i + 1, Default);
            ++i;
        }
        return i;
    }

    // --- attribute values ---------------------------------------------------------------

    Char at(std::size_t i) const
    {
        Char ch;
        if (i >= m_lim) {
            ch.end = true;
            return ch;
        }
        const unsigned c = p[i];
        if (c == m_end || c == '<') { // quotes are characters like any other in text
            ch.end = true;
            return ch;
        }
        ch.c = c;
        ch.len = 1;
        if (c != '&')
            return ch;
        const std::size_t len = referenceLength(i);
        if (!len)
            return ch; // a bare '&'
        ch.len = len;
        ch.reference = true;
        const std::string_view body = view(i + 1, i + len - 1);
        if (body[0] == '#') {
            const bool hex = body.size() > 1 && body[1] == 'x';
            unsigned long code = 0;
            for (std::size_t k = hex ? 2 : 1; k < body.size(); ++k) {
                const unsigned d = unsigned(body[k]);
                const unsigned v = isDigit(d) ? d - '0' : (d | 0x20) - 'a' + 10;
                code = std::min(code * (hex ? 16 : 10) + v, 0x110000UL);
            }
            ch.c = code < 0x80 ? unsigned(code) : 0x80;
        } else if (body == "lt") {
            ch.c = '<';
        } else if (body == "gt") {
            ch.c = '>';
        } else if (body == "amp") {
            ch.c = '&';
        } else if (body == "quot") {
            ch.c = '"';
        } else if (body == "apos") {
            ch.c = '\'';
        } else {
            ch.c = 0;
            ch.unknown = true;
        }
        return ch;
    }

    std::size_t value(std::size_t i)
    {
        m_end = f.apos ? '\'' : '"';
        while (true) {
            const Char ch = at(i);
            if (ch.end) {
                if (i >= m_lim)
                    return i;
                if (p[i] == '<') { // a quote is missing: let the markup that follows show
                    toText();
                    return i;
                }
                paint(i, i + 1, Value);
                const unsigned element = f.element;
                toText();
                f.mode = InTag;
                f.element = element;
                return i + 1;
            }
            if (f.value == XPath || (f.value == Template && f.inExpr)) {
                i = xpath(i, ch);
                continue;
            }
            if (f.value == Template && !ch.unknown && (ch.c == '{' || ch.c == '}')) {
                const Char next = at(i + ch.len);
                if (!next.end && next.c == ch.c && !next.unknown) { // {{ and }} stand for a brace
                    paint(i, i + ch.len + next.len, Value);
                    i += ch.len + next.len;
                    continue;
                }
                if (ch.c == '{') {
                    paint(i, i + ch.len, XPathOperator);
                    f.inExpr = true;
                    f.afterOperand = false;
                    i += ch.len;
                    continue;
                }
            }
            paint(i, i + ch.len, ch.reference ? EntityRef : Value);
            i += ch.len;
        }
    }

    // End of the decoded characters from i that satisfy pred.
    template<class Pred>
    std::size_t scan(std::size_t i, Pred pred) const
    {
        while (true) {
            const Char ch = at(i);
            if (ch.end || ch.unknown || !pred(ch.c))
                return i;
            i += ch.len;
        }
    }

    // One XPath token (or the rest of a string literal on this line) at i.
    std::size_t xpath(std::size_t i, const Char &ch)
    {
        const std::size_t next = i + ch.len;
        if (f.inString) {
            const unsigned quote = f.stringApos ? '\'' : '"';
            std::size_t j = i;
            while (true) {
                const Char c = at(j);
                if (c.end) {
                    paint(i, j, XPathString);
                    return j;
                }
                j += c.len;
                if (!c.unknown && c.c == quote) {
                    paint(i, j, XPathString);
                    f.inString = false;
                    f.afterOperand = true;
                    return j;
                }
            }
        }
        if (ch.unknown) {
            paint(i, next, EntityRef);
            f.afterOperand = true;
            return next;
        }
        const unsigned c = ch.c;
        if (isSpace(c)) {
            paint(i, next, Value);
            return next;
        }
        if (c == '"' || c == '\'') {
            paint(i, next, XPathString);
            f.inString = true;
            f.stringApos = c == '\'';
            return next;
        }
        if (c == '{') {
            paint(i, next, XPathOperator);
            if (f.braces < kMaxBraces)
                ++f.braces;
            f.afterOperand = false;
            return next;
        }
        if (c == '}') {
            paint(i, next, XPathOperator);
            if (f.braces > 0) { // the end of a constructor or function body: an operand
                --f.braces;
                f.afterOperand = true;
                return next;
            }
            if (f.value == Template || f.mode == Text)
                f.inExpr = false;
            f.afterOperand = false;
            return next;
        }
        const Char after = at(next);
        const bool digitAfter = !after.end && !after.unknown && isDigit(after.c);
        if (isDigit(c) || (c == '.' && digitAfter)) {
            std::size_t j = scan(i, [](unsigned d) { return isDigit(d); });
            const Char dot = at(j);
            if (!dot.end && dot.c == '.')
                j = scan(j + dot.len, [](unsigned d) { return isDigit(d); });
            paint(i, j, XPathNumber);
            f.afterOperand = true;
            return j;
        }
        if (c == '.') {
            const std::size_t end = !after.end && after.c == '.' ? next + after.len : next;
            paint(i, end, XPathName);
            f.afterOperand = true;
            return end;
        }
        if (c == '$') {
            const std::size_t end = qnameEnd(next);
            paint(i, end, XPathVariable);
            f.afterOperand = true;
            return end;
        }
        if (c == '@') {
            paint(i, next, XPathAxis);
            f.afterOperand = false;
            return next;
        }
        if (c == '*') {
            paint(i, next, f.afterOperand ? XPathOperator : XPathName);
            f.afterOperand = !f.afterOperand;
            return next;
        }
        if (c == ')' || c == ']') {
            paint(i, next, XPathOperator);
            f.afterOperand = true;
            return next;
        }
        if (c == '?') {
            // A lookup when a key follows at once (?name ?1 ?(expr) ?*), otherwise an occurrence
            // indicator, after which the operand goes on.
            paint(i, next, XPathOperator);
            if (!after.end && !after.unknown
                && (isNcNameStart(after.c) || isDigit(after.c) || after.c == '(' || after.c == '*'))
                f.afterOperand = false;
            return next;
        }
        // Two-character operators (=> || != <= >= << >> :=) come as two of these.
        if (c != 0 && std::strchr("([,/|+-=!<>:", int(c))) {
            paint(i, next, XPathOperator);
            f.afterOperand = false;
            return next;
        }
        if (isNcNameStart(c))
            return xpathName(i);
        paint(i, next, Value);
        return next;
    }

    // End of the QName (or prefix:*) at i.
    std::size_t qnameEnd(std::size_t i) const
    {
        const auto ncName = [](unsigned d) { return isNcNameChar(d); };
        std::size_t end = scan(i, ncName);
        const Char colon = at(end);
        if (!colon.end && colon.c == ':') {
            const Char local = at(end + colon.len);
            if (!local.end && !local.unknown && isNcNameStart(local.c))
                end = scan(end + colon.len, ncName);
            else if (!local.end && local.c == '*')
                end += colon.len + local.len;
        }
        return end;
    }

    // A name is an operator when it follows an operand: `div` in `a div b` is one, in `div/a`
    // a name test. The first word of `instance of`, `cast as`, `castable as` and `treat as`
    // leaves the operand open, so that the second word counts as an operator as well.
    //
    // Where an operand is due, the words that start an expression are keywords by what follows
    // them on the line: for, let, some and every a $, if and function a (, map and array a {.
    // Without it they are names, as in `for/a`, or functions, as in `map(*)`.
    std::size_t xpathName(std::size_t i)
    {
        const std::size_t end = qnameEnd(i);
        const std::string_view word = view(i, end);
        if (f.afterOperand) {
            if (const int op = operatorWord(word)) {
                paint(i, end, XPathOperator);
                f.afterOperand = op == 2;
                return end;
            }
        }
        const std::size_t k = scan(end, [](unsigned d) { return isSpace(d); });
        const Char c1 = at(k);
        if (!f.afterOperand && !c1.end && !c1.unknown
            && ((c1.c == '$' && oneOf(word, {"for", "let", "some", "every"}))
                || (c1.c == '(' && oneOf(word, {"if", "function"}))
                || (c1.c == '{' && oneOf(word, {"map", "array"})))) {
            paint(i, end, XPathOperator);
            return end;
        }
        if (!c1.end && c1.c == ':') {
            const Char c2 = at(k + c1.len);
            if (!c2.end && c2.c == ':') {
                const std::size_t axisEnd = k + c1.len + c2.len;
                paint(i, axisEnd, XPathAxis);
                f.afterOperand = false;
                return axisEnd;
            }
        }
        if (!c1.end && (c1.c == '(' || (c1.c == '#' && k == end))) { // a call, or a reference: concat#3
            paint(i, end, XPathFunction);
            f.afterOperand = false;
            return end;
        }
        paint(i, end, XPathName);
        f.afterOperand = true;
        return end;
    }
};

// Just past the line break of the line starting at pos, or length.
std::size_t lineEnd(const char *text, std::size_t length, std::size_t pos)
{
    const void *lf = std::memchr(text + pos, '\n', length - pos);
    const std::size_t lfAt = lf ? std::size_t(static_cast<const char *>(lf) - text) : length;
    const void *cr = std::memchr(text + pos, '\r', lfAt - pos);
    if (cr) {
        const std::size_t crAt = std::size_t(static_cast<const char *>(cr) - text);
        return crAt + 1 == lfAt && lfAt < length ? lfAt + 1 : crAt + 1;
    }
    return lfAt < length ? lfAt + 1 : length;
}

} // namespace

Styler::Styler(std::string xsltPrefix) : m_prefix(std::move(xsltPrefix)) {}

State Styler::style(const char *text, std::size_t length, State state, unsigned char *styles,
                    std::vector<LineInfo> *lines) const
{
    Run run(m_prefix, reinterpret_cast<const unsigned char *>(text), styles, Fields::unpack(state));
    std::size_t pos = 0;
    while (pos < length) {
        const std::size_t end = lineEnd(text, length, pos);
        const int startDepth = int(run.fields().depth);
        run.line(pos, end);
        if (lines) {
            LineInfo info;
            info.end = end;
            info.endState = run.fields().pack();
            info.startDepth = startDepth;
            info.endDepth = int(run.fields().depth);
            info.complete = text[end - 1] == '\n' || text[end - 1] == '\r';
            lines->push_back(info);
        }
        pos = end;
    }
    return run.fields().pack();
}

std::size_t lineStartAtOrAfter(const char *text, std::size_t length, std::size_t pos)
{
    if (pos == 0 || pos >= length)
        return std::min(pos, length);
    if (text[pos - 1] == '\n' || (text[pos - 1] == '\r' && text[pos] != '\n'))
        return pos;
    return lineEnd(text, length, pos);
}

PrefixLookup findXsltPrefix(std::string_view text)
{
    static constexpr std::string_view kNamespace = "http://www.w3.org/1999/XSL/Transform";
    for (std::size_t at = text.find(kNamespace); at != std::string_view::npos; at = text.find(kNamespace, at + 1)) {
        // Back from the namespace name over quote, '=', spaces, to the attribute name.
        if (at == 0 || at + kNamespace.size() >= text.size())
            continue;
        const char quote = text[at - 1];
        if ((quote != '"' && quote != '\'') || text[at + kNamespace.size()] != quote)
            continue;
        std::size_t k = at - 1;
        while (k > 0 && isSpace(static_cast<unsigned char>(text[k - 1])))
            --k;
        if (k == 0 || text[k - 1] != '=')
            continue;
        --k;
        while (k > 0 && isSpace(static_cast<unsigned char>(text[k - 1])))
            --k;
        std::size_t start = k;
        while (start > 0 && isNameChar(static_cast<unsigned char>(text[start - 1])))
            --start;
        const std::string_view name = text.substr(start, k - start);
        if (name == "xmlns")
            return {true, std::string()};
        if (name.size() > 6 && name.substr(0, 6) == "xmlns:")
            return {true, std::string(name.substr(6))};
    }
    return {};
}

int depthOf(State state)
{
    return int(state >> kDepthShift);
}

} // namespace xmlstyler
