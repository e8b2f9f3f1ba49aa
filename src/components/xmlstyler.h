#pragma once

// Syntax styling of XSLT stylesheets (and plain XML) over raw UTF-8 bytes, without any editor
// attached: the editor's lexer feeds it ranges of its buffer, the tests and the fuzzer feed it
// strings.
//
// Text is styled a line at a time. What a line gets depends only on its own bytes and on the
// State at its start, which is the State at the end of the line before (the initial State at
// the top). An editor can therefore keep that State per line and restyle from the line of an
// edit instead of from the top. Lines end at "\n", "\r\n" or a lone "\r", as in Scintilla.
//
// Any bytes are accepted: NUL, invalid UTF-8, half-typed or unterminated constructs. Bytes at
// or above 0x80 count as name characters, so non-ASCII names style as names whatever the
// encoding of the rest.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xmlstyler {

enum Style : unsigned char {
    Default = 0,        // character data ({{ and }} of text value templates included), whitespace
                        // and stray characters in markup
    XsltElement,        // names of elements in the XSLT namespace, prefix included
    Element,            // names of literal result elements (and of any element in plain XML)
    TagPunctuation,     // < > </ />
    XsltAttribute,      // attributes defined by XSLT: unprefixed ones on XSLT elements, xsl:* elsewhere
    Attribute,          // every other attribute name
    Value,              // attribute values: quotes, plain values, literal parts of templates
    XPathName,          // name tests, . and .., and whatever is not one of the kinds below
    XPathFunction,      // function names and node-type tests: count(, text(
    XPathAxis,          // child::, @
    XPathVariable,      // $name
    XPathString,        // 'literal'
    XPathNumber,        // 3.14
    XPathOperator,      // / // | [ ] ( ) { } , = != < + * ? : || => and or div mod, the keywords of
                        // XPath 2.0 and 3.1 (for, if, instance of, map {, ...), and the { } of
                        // attribute and text value templates
    Comment,            // <!-- -->
    CData,              // <![CDATA[ ]]>
    PIMarker,           // <?target and ?> of processing instructions and the XML declaration
    ProcessingInstruction, // what a processing instruction holds
    XmlDeclaration,     // what <?xml ... ?> holds
    Doctype,            // <!DOCTYPE ...> with its internal subset, and other <!DECLARATIONS>
    EntityRef,          // &amp; &#10; &#x1F; &custom;
    StyleCount
};

// The lexer's position in the markup at a line break, packed into 32 bits for per-line storage.
// 0 is the state at the top of a text: character data, nesting depth 0.
using State = std::uint32_t;

// What styling reports about each line it went through.
struct LineInfo {
    std::size_t end = 0;     // offset just past the line's break, or the end of the range
    State endState = 0;      // the state the next line starts in
    int startDepth = 0;      // element and comment nesting at the line's start ...
    int endDepth = 0;        // ... and at its end: a fold point where it rose
    bool complete = false;   // the line ended with a line break inside the range
};

class Styler
{
public:
    // The prefix bound to the XSLT namespace; empty when it is the default namespace.
    explicit Styler(std::string xsltPrefix = "xsl");

    const std::string &xsltPrefix() const { return m_prefix; }
    void setXsltPrefix(std::string prefix) { m_prefix = std::move(prefix); }

    // Styles text[0, length), which must start at a line start, beginning in `state`: writes
    // `length` styles and, when `lines` is given, appends one LineInfo per line (the last one
    // incomplete when the range does not end with a line break). Returns the state at the end.
    State style(const char *text, std::size_t length, State state, unsigned char *styles,
                std::vector<LineInfo> *lines = nullptr) const;

private:
    std::string m_prefix;
};

// The first offset at or after pos where a line starts (pos itself when it is one), or length.
std::size_t lineStartAtOrAfter(const char *text, std::size_t length, std::size_t pos);

// The prefix a namespace declaration in text binds to the XSLT namespace: "xsl" for
// xmlns:xsl="http://www.w3.org/1999/XSL/Transform", "" for a default namespace declaration.
// found is false when the text declares none.
struct PrefixLookup {
    bool found = false;
    std::string prefix;
};
PrefixLookup findXsltPrefix(std::string_view text);

// The fold depth packed in a state.
int depthOf(State state);

} // namespace xmlstyler
