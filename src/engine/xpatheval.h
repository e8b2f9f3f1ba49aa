#pragma once

// XPath 1.0 expressions evaluated against an XML source as the editor holds it, so that a
// stylesheet's author can try a select or match expression and see what it picks.
//
// The source is parsed the way the editor parses it (XmlDocument: no network, no entity
// substitution, libxml2's limits), so a reference to an entity declared in the internal subset
// stays a reference: text() does not see its replacement text, string() does.

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>

#include <memory>

namespace xpatheval {

// One node of a node-set, located in the source text.
struct Row {
    // Item: an XPath 2.0+ item that is no node (an atomic value, a map, an array, a function).
    enum class Kind { Element, Attribute, Text, Comment, ProcessingInstruction, Namespace, Document, Item };
    Kind kind = Kind::Element;
    int line = 0;   // 1-based; for an attribute or namespace node the line of its element; 0 when unknown
    // Elements, comments and processing instructions: where their markup (an element's start
    // tag) begins, 1-based in UTF-16 characters of its line, and its length in UTF-16
    // characters; 0 for other nodes and when unknown.
    int column = 0;
    int length = 0;
    QString text;   // one-line summary: the start tag as written, name="value", or trimmed content
    QString type;   // an item's type: "xs:integer", "map(*)", "array(*)", "function(*)"
};

struct Result {
    bool ok = false;
    QString error;
    int errorColumn = 0; // 1-based position in the expression where the error was found, 0 when none
    QList<Row> nodes;    // node-set: the first maxRows nodes in document order
    int total = 0;       // node-set: how many nodes it holds
    // Sequence: XPath 2.0+ items that are not all nodes, listed as rows.
    enum class Type { NodeSet, Number, String, Boolean, Sequence };
    Type type = Type::NodeSet;
    QString value; // number, string, boolean: the value as XPath's string() writes it
    QString valueType; // XPath 2.0+: the value's type ("xs:integer", "xs:date"); empty in 1.0
    // The value's full length in characters: more than value holds when it was cut.
    qsizetype valueLength = 0;
};

// Keeps one parsed source and evaluates expressions against it. An expression can take any
// time and memory the source allows (libxml2 cannot be interrupted while it evaluates), so the
// program only does this in a worker process, which it can end at any moment.
class Session
{
public:
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Parses the source (UTF-8, as the editor holds it). The same text and base again keep the
    // tree already parsed. When the text is not well-formed, returns false, sets error to the
    // parser's message with its line, and evaluate() reports it until a good source is set.
    bool setSource(const QByteArray &utf8, const QString &baseUrl, QString *error = nullptr);

    // Prefixes the expression may use besides those declared on the source's root element;
    // these win when both bind a prefix (the caller passes the stylesheet's declarations, and
    // the expression is written in the stylesheet). XPath 1.0 has no default namespace for
    // names in expressions, so an empty prefix is ignored: an unprefixed name test always means
    // "no namespace", whatever xmlns="..." the source declares.
    void setNamespaces(const QList<QPair<QString, QString>> &prefixToUri);

    // Evaluates expression with the document node as context node. A node-set gives its first
    // maxRows rows (rows are built only for those) and its full count. A string value longer
    // than maxValueChars (when not negative) comes back cut to that many characters.
    Result evaluate(const QString &expression, int maxRows = 1000, qsizetype maxValueChars = -1);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace xpatheval
Q_DECLARE_METATYPE(xpatheval::Result)
