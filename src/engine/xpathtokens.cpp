#include "engine/xpathtokens.h"

namespace xpathtokens {

namespace {

using Kind = Token::Kind;

bool isNameStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_') || (c.unicode() >= 0x80 && !c.isSpace() && !c.isPunct() && !c.isSymbol());
}

bool isNameChar(QChar c)
{
    return isNameStart(c) || c.isDigit() || c == QLatin1Char('-') || c == QLatin1Char('.') || c.unicode() == 0xB7;
}

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

// XPath's own axis names.
bool isAxis(QStringView name)
{
    static const char *const axes[] = {"ancestor", "ancestor-or-self", "attribute", "child", "descendant",
                                       "descendant-or-self", "following", "following-sibling", "namespace",
                                       "parent", "preceding", "preceding-sibling", "self"};
    for (const char *a : axes)
        if (name == QLatin1String(a))
            return true;
    return false;
}

// Names that look like a function call but test a node's kind (or, in 2.0 and later, are
// syntax of their own).
bool isKindTestOrSyntax(QStringView name)
{
    static const char *const names[] = {"node", "text", "comment", "processing-instruction", "element", "attribute",
                                        "document-node", "schema-element", "schema-attribute", "namespace-node",
                                        "item", "empty-sequence", "function", "map", "array", "if", "switch",
                                        "typeswitch"};
    for (const char *n : names)
        if (name == QLatin1String(n))
            return true;
    return false;
}

// Operator names, which are operators only where an operand has just ended.
bool isOperatorName(QStringView name)
{
    static const char *const names[] = {"and", "or", "div", "mod", "idiv", "union", "intersect", "except", "to",
                                        "eq", "ne", "lt", "le", "gt", "ge", "is", "instance", "of", "cast",
                                        "castable", "treat", "as", "in", "return", "satisfies", "then", "else",
                                        "otherwise"};
    for (const char *n : names)
        if (name == QLatin1String(n))
            return true;
    return false;
}

// Words that start an expression of their own when what follows says so.
bool isLeadingKeyword(QStringView name, QChar next)
{
    if (next == QLatin1Char('$'))
        return name == QLatin1String("for") || name == QLatin1String("let") || name == QLatin1String("some")
               || name == QLatin1String("every");
    if (next == QLatin1Char('('))
        return name == QLatin1String("if") || name == QLatin1String("switch") || name == QLatin1String("typeswitch");
    return false;
}

class Tokenizer
{
public:
    explicit Tokenizer(QStringView s)
        : s(s)
    {
    }

    QList<Token> run()
    {
        while (skipSpaceAndComments())
            next();
        return out;
    }

private:
    QStringView s;
    qsizetype at = 0;
    QList<Token> out;
    // Whether the last token ended an operand: then * is multiplication and "div" an operator.
    bool afterOperand = false;

    QChar peek(qsizetype ahead = 0) const { return at + ahead < s.size() ? s[at + ahead] : QChar(); }

    // Skips whitespace and (: comments :), nested; false at the end of the text.
    bool skipSpaceAndComments()
    {
        for (;;) {
            while (at < s.size() && isSpace(s[at]))
                ++at;
            if (peek() == QLatin1Char('(') && peek(1) == QLatin1Char(':')) {
                int depth = 0;
                while (at < s.size()) {
                    if (peek() == QLatin1Char('(') && peek(1) == QLatin1Char(':')) {
                        ++depth;
                        at += 2;
                    } else if (peek() == QLatin1Char(':') && peek(1) == QLatin1Char(')')) {
                        at += 2;
                        if (--depth == 0)
                            break;
                    } else {
                        ++at;
                    }
                }
                continue;
            }
            return at < s.size();
        }
    }

    void add(Kind kind, qsizetype start, qsizetype end, const QString &text = QString())
    {
        out.append({kind, int(start), int(end - start), text.isNull() ? s.mid(start, end - start).toString() : text});
        afterOperand = kind == Kind::Variable || kind == Kind::NodeTest || kind == Kind::String || kind == Kind::Number;
    }

    // A QName (prefix:local, prefix:*, *:local) or Q{uri}local from at; returns its end.
    qsizetype nameEnd(qsizetype from) const
    {
        qsizetype i = from;
        if (i + 1 < s.size() && s[i] == QLatin1Char('Q') && s[i + 1] == QLatin1Char('{')) {
            const qsizetype close = s.indexOf(QLatin1Char('}'), i + 2);
            if (close < 0)
                return i + 1;
            i = close + 1;
            while (i < s.size() && isNameChar(s[i]))
                ++i;
            return i;
        }
        if (i < s.size() && s[i] == QLatin1Char('*'))
            ++i;
        else
            while (i < s.size() && isNameChar(s[i]))
                ++i;
        // A prefix: one colon, not two (the axis separator), then a local name or *.
        if (i + 1 < s.size() && s[i] == QLatin1Char(':') && s[i + 1] != QLatin1Char(':')) {
            if (s[i + 1] == QLatin1Char('*') && s[from] != QLatin1Char('*'))
                return i + 2;
            if (isNameStart(s[i + 1])) {
                i += 2;
                while (i < s.size() && isNameChar(s[i]))
                    ++i;
            }
        }
        return i;
    }

    // Where the next character that is neither space nor inside a comment is.
    qsizetype significantFrom(qsizetype from) const
    {
        for (;;) {
            while (from < s.size() && isSpace(s[from]))
                ++from;
            if (from + 1 >= s.size() || s[from] != QLatin1Char('(') || s[from + 1] != QLatin1Char(':'))
                return from;
            int depth = 0;
            while (from < s.size()) {
                if (from + 1 < s.size() && s[from] == QLatin1Char('(') && s[from + 1] == QLatin1Char(':')) {
                    ++depth;
                    from += 2;
                } else if (from + 1 < s.size() && s[from] == QLatin1Char(':') && s[from + 1] == QLatin1Char(')')) {
                    from += 2;
                    if (--depth == 0)
                        break;
                } else {
                    ++from;
                }
            }
        }
    }

    QChar nextSignificant(qsizetype from) const
    {
        from = significantFrom(from);
        return from < s.size() ? s[from] : QChar();
    }

    void next()
    {
        const qsizetype start = at;
        const QChar c = s[at];
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            // Doubled quotes stand for one (XPath 2.0); XPath 1.0 has no way to write one.
            qsizetype i = at + 1;
            for (;;) {
                const qsizetype close = s.indexOf(c, i);
                if (close < 0) {
                    at = s.size();
                    add(Kind::Error, start, at);
                    return;
                }
                if (close + 1 < s.size() && s[close + 1] == c) {
                    i = close + 2;
                    continue;
                }
                at = close + 1;
                add(Kind::String, start, at);
                return;
            }
        }
        if (c.isDigit() || (c == QLatin1Char('.') && peek(1).isDigit())) {
            while (at < s.size() && s[at].isDigit())
                ++at;
            if (peek() == QLatin1Char('.') && peek(1) != QLatin1Char('.')) {
                ++at;
                while (at < s.size() && s[at].isDigit())
                    ++at;
            }
            if ((peek() == QLatin1Char('e') || peek() == QLatin1Char('E'))
                && (peek(1).isDigit() || ((peek(1) == QLatin1Char('+') || peek(1) == QLatin1Char('-')) && peek(2).isDigit()))) {
                at += 2;
                while (at < s.size() && s[at].isDigit())
                    ++at;
            }
            add(Kind::Number, start, at);
            return;
        }
        if (c == QLatin1Char('$')) {
            qsizetype i = at + 1;
            while (i < s.size() && isSpace(s[i]))
                ++i;
            const qsizetype end = i < s.size() && (isNameStart(s[i]) || s[i] == QLatin1Char('Q')) ? nameEnd(i) : i;
            if (end == i) {
                at = start + 1;
                add(Kind::Error, start, at);
                return;
            }
            at = end;
            add(Kind::Variable, start, at, s.mid(i, end - i).toString());
            return;
        }
        if (c == QLatin1Char('*') && afterOperand) {
            ++at;
            add(Kind::Operator, start, at);
            return;
        }
        if (isNameStart(c) || c == QLatin1Char('*')) {
            at = nameEnd(at);
            const QStringView name = s.mid(start, at - start);
            const QChar following = nextSignificant(at);
            if (afterOperand && isOperatorName(name)) {
                add(Kind::Keyword, start, at);
                // "instance of", "cast as"... leave the operand open for the word after.
                if (name == QLatin1String("instance") || name == QLatin1String("cast")
                    || name == QLatin1String("castable") || name == QLatin1String("treat"))
                    afterOperand = true;
                return;
            }
            if (isLeadingKeyword(name, following)) {
                add(Kind::Keyword, start, at);
                return;
            }
            if (following == QLatin1Char(':') && at + 1 < s.size()) {
                // "::" after an axis name.
                const qsizetype i = significantFrom(at);
                if (i + 1 < s.size() && s[i + 1] == QLatin1Char(':') && isAxis(name)) {
                    add(Kind::Axis, start, at);
                    afterOperand = false;
                    return;
                }
            }
            if (following == QLatin1Char('(') && !isKindTestOrSyntax(name)) {
                add(Kind::Function, start, at);
                return;
            }
            if (following == QLatin1Char('#') && !name.contains(QLatin1Char('*'))) {
                add(Kind::Function, start, at); // a named function reference, concat#3
                return;
            }
            if ((name == QLatin1String("map") || name == QLatin1String("array") || name == QLatin1String("function"))
                && (following == QLatin1Char('{') || following == QLatin1Char('('))) {
                add(Kind::Keyword, start, at);
                return;
            }
            add(Kind::NodeTest, start, at);
            return;
        }
        // Two-character operators first.
        static const char *const pairs[] = {"//", "!=", "<=", ">=", "::", "..", "||", "=>", ":=", "<<", ">>"};
        for (const char *p : pairs) {
            if (c == QLatin1Char(p[0]) && peek(1) == QLatin1Char(p[1])) {
                at += 2;
                add(Kind::Operator, start, at);
                afterOperand = QLatin1String(p) == QLatin1String("..");
                return;
            }
        }
        static const QLatin1String singles("/|+-=<>,@.!?#()[]{}:;");
        if (singles.contains(c)) {
            ++at;
            add(Kind::Operator, start, at);
            // An operand ends with ) ] } . and with ? as an occurrence indicator.
            afterOperand = c == QLatin1Char(')') || c == QLatin1Char(']') || c == QLatin1Char('}') || c == QLatin1Char('.')
                           || c == QLatin1Char('?');
            return;
        }
        ++at;
        add(Kind::Error, start, at);
    }
};

} // namespace

QList<Token> tokenize(QStringView expression)
{
    return Tokenizer(expression).run();
}

QList<Part> templateExpressions(QStringView value)
{
    QList<Part> parts;
    qsizetype i = 0;
    while (i < value.size()) {
        const QChar c = value[i];
        if (c == QLatin1Char('}')) {
            i += (i + 1 < value.size() && value[i + 1] == QLatin1Char('}')) ? 2 : 1;
            continue;
        }
        if (c != QLatin1Char('{')) {
            ++i;
            continue;
        }
        if (i + 1 < value.size() && value[i + 1] == QLatin1Char('{')) {
            i += 2;
            continue;
        }
        // The expression runs to the } that closes it: braces of maps and strings inside are
        // passed over.
        const qsizetype start = i + 1;
        qsizetype j = start;
        int depth = 0;
        QChar quote;
        for (; j < value.size(); ++j) {
            const QChar d = value[j];
            if (!quote.isNull()) {
                if (d == quote)
                    quote = QChar();
            } else if (d == QLatin1Char('"') || d == QLatin1Char('\'')) {
                quote = d;
            } else if (d == QLatin1Char('{')) {
                ++depth;
            } else if (d == QLatin1Char('}')) {
                if (depth-- == 0)
                    break;
            }
        }
        parts.append({int(start), value.mid(start, j - start)});
        i = j + 1;
    }
    return parts;
}

} // namespace xpathtokens
