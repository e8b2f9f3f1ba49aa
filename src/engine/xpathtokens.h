#pragma once

// The tokens of an XPath expression (1.0 through 3.1) with their places, for what has to know
// the names in an expression without evaluating it: references to variables and functions,
// name tests, the keys and modes a stylesheet uses. It never fails: a text that is no XPath
// comes back as tokens all the same, with Error where nothing else fits, and every character
// is looked at a bounded number of times.

#include <QList>
#include <QString>
#include <QStringView>

namespace xpathtokens {

struct Token {
    enum class Kind {
        Variable,     // $name (the text is the name without the $)
        Function,     // a name called as a function: name(
        NodeTest,     // a name test or kind test: item, xsl:*, text(), element(x)
        Axis,         // child, descendant-or-self... (before ::)
        Keyword,      // for, let, if, some, every, in, return, and, or, div, mod, instance of...
        Operator,     // / // | + - * = != < <= > >= , :: @ . .. ! || => ? := # and brackets
        String,       // a literal, quotes included
        Number,
        Error,        // a character no token begins with, or a literal left open
    };
    Kind kind = Kind::Error;
    int start = 0;  // in UTF-16 units of the expression
    int length = 0;
    QString text;   // names and variables: the (possibly prefixed) name; other kinds: as written

    bool operator==(const Token &) const = default;
};

// Splits expression into tokens. Comments (: ... :) are skipped (nested as in XPath 2.0).
QList<Token> tokenize(QStringView expression);

// The expressions inside an attribute value template, with where each starts in value: the
// parts between { and } ({{ and }} are plain braces). A brace left open ends the value.
struct Part {
    int start = 0;
    QStringView text;
};
QList<Part> templateExpressions(QStringView value);

} // namespace xpathtokens
