#pragma once

// Re-indents XML text without rebuilding it from a tree.
//
// What it changes: only whitespace-only text between markup. Every child of an element whose
// content is markup alone (elements, comments, processing instructions) goes on a line of its
// own, one indentation level deeper than its parent; the end tag goes back to the parent's level.
// Items before and after the root element each get a line of their own.
//
// What it keeps as written: the XML declaration, the DOCTYPE with its internal subset, comments,
// CDATA sections, processing instructions, character and entity references, and every tag with
// its attribute order, quotes and spacing. Elements with any non-whitespace text (mixed content,
// or text alone as in <a>text</a>) are kept exactly as written, their descendants included; so
// are elements under xml:space="preserve" until a descendant sets xml:space="default". Elements
// with no markup inside (<a/>, <a></a>, <a> </a>) stay as they are.
//
// The output uses the line ending the input mostly uses (\n or \r\n), unless most of those are
// in whitespace it replaces and the output would then mostly use the other. Formatting its own
// output again changes nothing. Text that is not well-formed is refused with the parser's first error;
// the text is then returned unchanged in Result::text.

#include <QString>

namespace formatter {

struct Result {
    bool ok = false;
    QString text;  // the formatted text; the input unchanged when ok is false
    QString error; // why the text could not be formatted, empty when ok
    int line = 0;  // 1-based position of that error in the input, 0 when unknown
    int column = 0;
};

// Re-indents a whole document by indentWidth spaces per level (limited to 0..32). The result
// ends with one line ending.
Result formatDocument(const QString &text, int indentWidth);

// Re-indents a well-formed fragment: any number of elements, comments, processing instructions
// and whitespace, as selected in a document. Every line the formatter starts begins with
// baseIndent, so the result replaces whole lines. Namespace prefixes and entities may be declared
// by the document around it. A fragment with text of its own at the top is returned unchanged.
// The result ends with a line ending if the fragment did.
Result formatFragment(const QString &text, int indentWidth, const QString &baseIndent);

} // namespace formatter
