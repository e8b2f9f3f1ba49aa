#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

// What the text before the caret says about where the caret is, for completion: read from the
// editor's UTF-8 text, in one pass, without building a tree. Text that is not well-formed gives
// the best reading it allows, never an error.
namespace xmlcontext {

// A start tag the caret is in, right after its name or after a complete attribute.
struct StartTag {
    QString name;
    QStringList attributes; // the ones it has so far
};
// The start tag text ends in, when it ends between the tag's name or an attribute's closing
// quote and the next attribute. Only the last window bytes need to be given.
std::optional<StartTag> startTagAtEnd(QByteArrayView text);

// An attribute value the caret is in: text ends inside its quotes.
struct AttributeValue {
    QString element;   // the start tag's name as written
    QString attribute; // the attribute's name as written
    QString value;     // the value from its opening quote to the end of text, as written
};
std::optional<AttributeValue> attributeValueAtEnd(QByteArrayView text);

// The name of the innermost element open at the end of text (comments, CDATA sections,
// processing instructions and the DOCTYPE skipped), or empty.
QString innermostOpenElement(QByteArrayView text);

} // namespace xmlcontext
