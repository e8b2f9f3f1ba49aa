#include "engine/stylesheetmodel.h"

#include "engine/xpathfunctions.h"
#include "engine/xpathtokens.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QUrl>

#include <algorithm>

namespace stylesheet {

namespace {

const QLatin1String kXsltNamespace("http://www.w3.org/1999/XSL/Transform");
constexpr int kMaxModules = 2000;

using DKind = Declaration::Kind;
using RKind = Reference::Kind;

// An attribute as written in the start tag: its name, and its value decoded, with the offset in
// the file of each decoded character (entity and character references map to where they start).
struct RawAttribute {
    QStringView name; // into the text the tag was read from
    QString value;
    // Where each decoded character was written: valueStart + i while the value holds no
    // reference (offsets then stays empty), else value.size() + 1 entries, the last the
    // closing quote's.
    int valueStart = 0;
    QList<int> offsets;
    int offsetOf(int i) const
    {
        if (offsets.isEmpty())
            return valueStart + std::clamp(i, 0, int(value.size()));
        return offsets.value(std::clamp(i, 0, int(offsets.size()) - 1));
    }
};

// The general entities a stylesheet's DTD declares: name and replacement text.
using Entities = QHash<QString, QString>;

// Bounds on what entities may grow a text to, against an entity that expands to a billion.
constexpr int kMaxEntityDepth = 8;
constexpr qsizetype kMaxExpansion = 4 * 1024 * 1024;

int decodeReference(QStringView s, qsizetype at, QString *out, const Entities &entities = {}, int depth = 0);

// A replacement text as part of an attribute value: its references decoded, its white space
// made spaces.
void decodeAttributeText(QStringView text, QString *out, const Entities &entities, int depth)
{
    for (qsizetype i = 0; i < text.size() && out->size() < kMaxExpansion;) {
        if (text[i] == QLatin1Char('&'))
            if (const int used = decodeReference(text, i, out, entities, depth + 1)) {
                i += used;
                continue;
            }
        *out += text[i].isSpace() ? QChar(QLatin1Char(' ')) : text[i];
        ++i;
    }
}

int decodeReference(QStringView s, qsizetype at, QString *out, const Entities &entities, int depth)
{
    // at is on '&'; returns the length of the reference, 0 when it is none.
    const qsizetype semi = s.indexOf(QLatin1Char(';'), at);
    if (semi < 0 || semi - at > 80)
        return 0;
    const QStringView name = s.mid(at + 1, semi - at - 1);
    static const QHash<QString, QChar> named = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    if (name.startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const uint code = name.startsWith(QLatin1String("#x")) ? name.mid(2).toUInt(&ok, 16) : name.mid(1).toUInt(&ok, 10);
        if (!ok || code == 0 || code > 0x10FFFF)
            return 0;
        *out += QString::fromUcs4(reinterpret_cast<const char32_t *>(&code), 1);
        return int(semi - at + 1);
    }
    const auto it = named.find(name.toString());
    if (it == named.end()) {
        const auto entity = entities.find(name.toString());
        if (entity == entities.end() || depth > kMaxEntityDepth)
            return 0;
        decodeAttributeText(*entity, out, entities, depth);
        return int(semi - at + 1);
    }
    *out += *it;
    return int(semi - at + 1);
}

// The general entities of a DTD: its declarations read without a validating parser, tolerant of
// anything. Parameter entities are followed into local files through read, a bounded number.
class DtdReader
{
public:
    DtdReader(const ModuleReader &read)
        : read(read)
    {
    }
    Entities general;

    // The DOCTYPE before the first element of text, if any: its internal subset, then its
    // external one.
    void document(QStringView text, const QString &file);

private:
    struct Parameter {
        QString value;
        QString systemFile; // external: the file's absolute path
    };
    const ModuleReader &read;
    QHash<QString, Parameter> parameters;
    qsizetype budget = kMaxExpansion; // characters of declarations still to read
    int filesRead = 0;

    qsizetype declarations(QStringView s, qsizetype i, const QString &base, int depth, bool inSubset);
    QString literalValue(QStringView literal, int depth) const;
    std::optional<QString> file(const QString &base, const QString &systemId);
};

qsizetype skipPast(QStringView s, qsizetype i, QLatin1String end)
{
    const qsizetype at = s.indexOf(end, i);
    return at < 0 ? s.size() : at + end.size();
}

qsizetype skipSpace(QStringView s, qsizetype i)
{
    while (i < s.size() && s[i].isSpace())
        ++i;
    return i;
}

qsizetype nameEnd(QStringView s, qsizetype i)
{
    while (i < s.size() && !s[i].isSpace() && s[i] != QLatin1Char('>') && s[i] != QLatin1Char('"') && s[i] != QLatin1Char('\'')
           && s[i] != QLatin1Char('%') && s[i] != QLatin1Char(';') && s[i] != QLatin1Char('[') && s[i] != QLatin1Char(']'))
        ++i;
    return i;
}

// A quoted literal at i: its text, and where it ends; nothing when there is no quote at i.
std::optional<QStringView> quoted(QStringView s, qsizetype *i)
{
    if (*i >= s.size() || (s[*i] != QLatin1Char('"') && s[*i] != QLatin1Char('\'')))
        return std::nullopt;
    const qsizetype close = s.indexOf(s[*i], *i + 1);
    const qsizetype end = close < 0 ? s.size() : close;
    const QStringView text = s.mid(*i + 1, end - *i - 1);
    *i = std::min(s.size(), end + 1);
    return text;
}

std::optional<QString> DtdReader::file(const QString &base, const QString &systemId)
{
    // Local regular files only, never the network, and a bounded number of them.
    if (!read || base.isEmpty() || ++filesRead > 32)
        return std::nullopt;
    const QUrl target = QUrl::fromLocalFile(base).resolved(QUrl(systemId));
    if (!target.isLocalFile())
        return std::nullopt;
    const QFileInfo info(target.toLocalFile());
    if (!info.isFile() || info.size() > 1024 * 1024)
        return std::nullopt;
    std::optional<QString> text = read(info.absoluteFilePath());
    if (!text || text->size() > budget)
        return std::nullopt;
    budget -= text->size();
    // A text declaration is no part of the replacement text.
    if (text->startsWith(QLatin1String("<?xml")))
        text->remove(0, skipPast(*text, 0, QLatin1String("?>")));
    return text;
}

QString DtdReader::literalValue(QStringView literal, int depth) const
{
    // Character references and parameter entities are replaced now, general entities when used.
    QString out;
    for (qsizetype i = 0; i < literal.size() && out.size() < kMaxExpansion;) {
        const QChar c = literal[i];
        if (c == QLatin1Char('&') && i + 1 < literal.size() && literal[i + 1] == QLatin1Char('#')) {
            if (const int used = decodeReference(literal, i, &out)) {
                i += used;
                continue;
            }
        } else if (c == QLatin1Char('%')) {
            const qsizetype end = nameEnd(literal, i + 1);
            if (end < literal.size() && literal[end] == QLatin1Char(';') && end > i + 1) {
                const auto it = parameters.constFind(literal.mid(i + 1, end - i - 1).toString());
                if (it != parameters.constEnd() && it->systemFile.isEmpty() && depth < kMaxEntityDepth)
                    out += literalValue(it->value, depth + 1);
                i = end + 1;
                continue;
            }
        }
        out += c;
        ++i;
    }
    return out;
}

qsizetype DtdReader::declarations(QStringView s, qsizetype i, const QString &base, int depth, bool inSubset)
{
    // Returns where it stopped: the ']' that closes an internal subset, or the end.
    while (i < s.size()) {
        const QChar c = s[i];
        if (c == QLatin1Char(']')) {
            if (inSubset)
                return i;
            ++i; // the end of a conditional section
            continue;
        }
        if (c == QLatin1Char('%')) {
            const qsizetype end = nameEnd(s, i + 1);
            const QString name = s.mid(i + 1, end - i - 1).toString();
            i = end < s.size() && s[end] == QLatin1Char(';') ? end + 1 : std::max(end, i + 1);
            const auto it = parameters.constFind(name);
            if (it == parameters.constEnd() || depth >= kMaxEntityDepth)
                continue;
            if (it->systemFile.isEmpty()) {
                const QString value = it->value;
                declarations(value, 0, base, depth + 1, false);
            } else if (const std::optional<QString> text = file(base, it->systemFile)) {
                declarations(*text, 0, QUrl::fromLocalFile(base).resolved(QUrl(it->systemFile)).toLocalFile(), depth + 1, false);
            }
            continue;
        }
        if (c != QLatin1Char('<')) {
            ++i;
            continue;
        }
        const QStringView rest = s.mid(i);
        if (rest.startsWith(QLatin1String("<!--"))) {
            i = skipPast(s, i + 4, QLatin1String("-->"));
        } else if (rest.startsWith(QLatin1String("<?"))) {
            i = skipPast(s, i + 2, QLatin1String("?>"));
        } else if (rest.startsWith(QLatin1String("<!["))) {
            // A conditional section: IGNORE's content is skipped, INCLUDE's read in place.
            qsizetype k = skipSpace(s, i + 3);
            const qsizetype end = nameEnd(s, k);
            const QStringView keyword = s.mid(k, end - k);
            if (keyword == QLatin1String("IGNORE")) {
                i = skipPast(s, end, QLatin1String("]]>"));
            } else {
                const qsizetype open = s.indexOf(QLatin1Char('['), end);
                i = open < 0 ? s.size() : open + 1;
            }
        } else if (rest.startsWith(QLatin1String("<!ENTITY"))) {
            qsizetype k = skipSpace(s, i + 8);
            const bool parameter = k < s.size() && s[k] == QLatin1Char('%');
            if (parameter)
                k = skipSpace(s, k + 1);
            const qsizetype end = nameEnd(s, k);
            const QString name = s.mid(k, end - k).toString();
            k = skipSpace(s, end);
            QString systemId;
            std::optional<QString> value;
            if (const std::optional<QStringView> literal = quoted(s, &k)) {
                value = literalValue(*literal, depth);
            } else {
                const qsizetype word = nameEnd(s, k);
                const QStringView keyword = s.mid(k, word - k);
                k = skipSpace(s, word);
                if (keyword == QLatin1String("PUBLIC")) {
                    quoted(s, &k);
                    k = skipSpace(s, k);
                }
                if (keyword == QLatin1String("SYSTEM") || keyword == QLatin1String("PUBLIC"))
                    if (const std::optional<QStringView> literal = quoted(s, &k))
                        systemId = literal->toString();
            }
            const qsizetype close = s.indexOf(QLatin1Char('>'), k);
            const bool unparsed = s.mid(k, (close < 0 ? s.size() : close) - k).contains(QLatin1String("NDATA"));
            i = close < 0 ? s.size() : close + 1;
            if (name.isEmpty() || unparsed)
                continue;
            // The first declaration of a name is the one that counts.
            if (parameter) {
                if (!parameters.contains(name))
                    parameters.insert(name, {value.value_or(QString()), systemId});
            } else if (!general.contains(name)) {
                if (value)
                    general.insert(name, *value);
                else if (!systemId.isEmpty())
                    if (const std::optional<QString> text = file(base, systemId))
                        general.insert(name, *text);
            }
        } else if (rest.startsWith(QLatin1String("<!"))) {
            // ELEMENT, ATTLIST, NOTATION: to the '>' outside literals.
            qsizetype k = i + 2;
            while (k < s.size() && s[k] != QLatin1Char('>')) {
                if (!quoted(s, &k))
                    ++k;
            }
            i = k + 1;
        } else {
            ++i;
        }
    }
    return s.size();
}

void DtdReader::document(QStringView text, const QString &file)
{
    // The prolog: a declaration, comments, processing instructions, then the DOCTYPE.
    qsizetype i = 0;
    while (true) {
        i = skipSpace(text, i);
        if (text.mid(i).startsWith(QLatin1String("<?")))
            i = skipPast(text, i + 2, QLatin1String("?>"));
        else if (text.mid(i).startsWith(QLatin1String("<!--")))
            i = skipPast(text, i + 4, QLatin1String("-->"));
        else if (i < text.size() && text[i] == QChar(0xFEFF))
            ++i;
        else
            break;
    }
    if (!text.mid(i).startsWith(QLatin1String("<!DOCTYPE")))
        return;
    qsizetype k = skipSpace(text, i + 9);
    k = skipSpace(text, nameEnd(text, k));
    QString systemId;
    const qsizetype word = nameEnd(text, k);
    const QStringView keyword = text.mid(k, word - k);
    if (keyword == QLatin1String("SYSTEM") || keyword == QLatin1String("PUBLIC")) {
        k = skipSpace(text, word);
        if (keyword == QLatin1String("PUBLIC")) {
            quoted(text, &k);
            k = skipSpace(text, k);
        }
        if (const std::optional<QStringView> literal = quoted(text, &k))
            systemId = literal->toString();
        k = skipSpace(text, k);
    }
    if (k < text.size() && text[k] == QLatin1Char('['))
        declarations(text, k + 1, file, 0, true);
    if (!systemId.isEmpty())
        if (const std::optional<QString> external = this->file(file, systemId))
            declarations(*external, 0, QUrl::fromLocalFile(file).resolved(QUrl(systemId)).toLocalFile(), 1, false);
}

// The text with the general entities referred to in content replaced by their replacement
// texts (markup included), and for each character of it the offset in text it comes from: an
// expansion's characters all come from its reference's '&'. References in attribute values and
// in the DOCTYPE stay: values are decoded on their own.
void expandContent(QStringView s, int origin, const Entities &entities, int depth, QString *out, QList<int> *origins)
{
    const auto copy = [&](qsizetype from, qsizetype to) {
        out->append(s.mid(from, to - from));
        for (qsizetype k = from; k < to; ++k)
            origins->append(origin >= 0 ? origin : int(k));
    };
    qsizetype i = 0;
    while (i < s.size()) {
        const QChar c = s[i];
        if (c == QLatin1Char('<')) {
            const QStringView rest = s.mid(i);
            qsizetype end;
            if (rest.startsWith(QLatin1String("<!--")))
                end = skipPast(s, i + 4, QLatin1String("-->"));
            else if (rest.startsWith(QLatin1String("<![CDATA[")))
                end = skipPast(s, i + 9, QLatin1String("]]>"));
            else if (rest.startsWith(QLatin1String("<?")))
                end = skipPast(s, i + 2, QLatin1String("?>"));
            else if (rest.startsWith(QLatin1String("<!DOCTYPE"))) {
                // To the '>' after the internal subset's ']' (or the first '>' without one).
                const qsizetype open = s.indexOf(QLatin1Char('['), i);
                const qsizetype gt = s.indexOf(QLatin1Char('>'), i);
                if (open >= 0 && (gt < 0 || open < gt)) {
                    qsizetype k = open + 1;
                    while (k < s.size() && s[k] != QLatin1Char(']')) {
                        if (s.mid(k).startsWith(QLatin1String("<!--")))
                            k = skipPast(s, k + 4, QLatin1String("-->"));
                        else if (!quoted(s, &k))
                            ++k;
                    }
                    end = skipPast(s, k, QLatin1String(">"));
                } else {
                    end = gt < 0 ? s.size() : gt + 1;
                }
            } else {
                // A tag: to its '>' outside attribute values.
                qsizetype k = i + 1;
                while (k < s.size() && s[k] != QLatin1Char('>') && s[k] != QLatin1Char('<')) {
                    if (!quoted(s, &k))
                        ++k;
                }
                end = k < s.size() && s[k] == QLatin1Char('>') ? k + 1 : k;
            }
            copy(i, std::max(end, i + 1));
            i = std::max(end, i + 1);
            continue;
        }
        if (c == QLatin1Char('&') && depth < kMaxEntityDepth) {
            const qsizetype semi = s.indexOf(QLatin1Char(';'), i);
            if (semi > i + 1 && semi - i <= 80) {
                const auto it = entities.constFind(s.mid(i + 1, semi - i - 1).toString());
                if (it != entities.constEnd() && out->size() + it->size() < kMaxExpansion) {
                    expandContent(*it, origin >= 0 ? origin : int(i), entities, depth + 1, out, origins);
                    i = semi + 1;
                    continue;
                }
            }
        }
        qsizetype next = i + 1;
        while (next < s.size() && s[next] != QLatin1Char('<') && s[next] != QLatin1Char('&'))
            ++next;
        copy(i, next);
        i = next;
    }
}

// Where the markup that goes on at from ends: its '>' outside quoted literals (and, for a
// DOCTYPE, outside its internal subset's brackets), or the end of text.
qsizetype markupEnd(QStringView t, qsizetype from, bool brackets)
{
    int depth = 0;
    QChar quote;
    for (qsizetype j = from; j < t.size(); ++j) {
        const QChar c = t[j];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
        } else if (brackets && c == QLatin1Char('[')) {
            ++depth;
        } else if (brackets && c == QLatin1Char(']')) {
            --depth;
        } else if (c == QLatin1Char('>') && depth <= 0) {
            return j;
        }
    }
    return t.size();
}

// The attributes of the start tag that spans [from, to) of text.
QList<RawAttribute> rawAttributes(QStringView text, qsizetype from, qsizetype to, const Entities &entities)
{
    QList<RawAttribute> out;
    qsizetype i = from + 1;
    while (i < to && !text[i].isSpace() && text[i] != QLatin1Char('>') && text[i] != QLatin1Char('/'))
        ++i; // the element's name
    while (i < to) {
        while (i < to && (text[i].isSpace()))
            ++i;
        const qsizetype nameStart = i;
        while (i < to && !text[i].isSpace() && text[i] != QLatin1Char('=') && text[i] != QLatin1Char('>') && text[i] != QLatin1Char('/'))
            ++i;
        if (i == nameStart)
            break;
        RawAttribute a;
        a.name = text.mid(nameStart, i - nameStart);
        while (i < to && text[i] != QLatin1Char('=') && text[i] != QLatin1Char('>'))
            ++i;
        while (i < to && text[i] != QLatin1Char('"') && text[i] != QLatin1Char('\'') && text[i] != QLatin1Char('>'))
            ++i;
        if (i >= to || text[i] == QLatin1Char('>'))
            break;
        const QChar quote = text[i++];
        qsizetype close = text.indexOf(quote, i);
        if (close < 0 || close > to)
            close = to;
        if (!text.mid(i, close - i).contains(QLatin1Char('&'))) {
            // Nothing to decode: the value as written, its line breaks and tabs as spaces.
            a.value = text.mid(i, close - i).toString();
            for (QChar &c : a.value)
                if (c == QLatin1Char('\n') || c == QLatin1Char('\t') || c == QLatin1Char('\r'))
                    c = QLatin1Char(' ');
            a.valueStart = int(i);
            i = close + 1;
            out << a;
            continue;
        }
        while (i < to && text[i] != quote) {
            if (text[i] == QLatin1Char('&')) {
                const int before = int(a.value.size());
                const int used = decodeReference(text, i, &a.value, entities);
                if (used > 0) {
                    for (int k = before; k < a.value.size(); ++k)
                        a.offsets << int(i);
                    i += used;
                    continue;
                }
            }
            // Line breaks and tabs in a value are spaces to the parser; the offsets stay.
            a.value += text[i].isSpace() ? QChar(QLatin1Char(' ')) : text[i];
            a.offsets << int(i);
            ++i;
        }
        a.offsets << int(i);
        ++i;
        out << a;
    }
    return out;
}


// Attributes of XSLT elements that are attribute value templates.
bool isTemplateAttribute(QStringView element, QStringView name)
{
    if ((element == QLatin1String("element") || element == QLatin1String("attribute")) && (name == QLatin1String("name") || name == QLatin1String("namespace")))
        return true;
    if (element == QLatin1String("processing-instruction") && name == QLatin1String("name"))
        return true;
    if (element == QLatin1String("number"))
        return name != QLatin1String("level") && name != QLatin1String("count") && name != QLatin1String("from") && name != QLatin1String("value");
    if (element == QLatin1String("sort"))
        return name == QLatin1String("lang") || name == QLatin1String("data-type") || name == QLatin1String("order") || name == QLatin1String("case-order");
    if (element == QLatin1String("result-document") || element == QLatin1String("message"))
        return name != QLatin1String("use-when");
    return false;
}

const struct {
    const char *element;
    DKind kind;
    const char *nameAttribute;
} kDeclarations[] = {
    {"template", DKind::Template, "name"},          {"variable", DKind::Variable, "name"},
    {"param", DKind::Param, "name"},                {"key", DKind::Key, "name"},
    {"attribute-set", DKind::AttributeSet, "name"}, {"decimal-format", DKind::DecimalFormat, "name"},
    {"namespace-alias", DKind::NamespaceAlias, "stylesheet-prefix"},
    {"include", DKind::Include, "href"},            {"import", DKind::Import, "href"},
    {"function", DKind::Function, "name"},          {"character-map", DKind::CharacterMap, "name"},
    {"accumulator", DKind::Accumulator, "name"},    {"mode", DKind::Mode, "name"},
};

class Builder
{
public:
    Builder(Model &model, const ModuleReader &read)
        : model(model)
        , read(read)
    {
    }

    void module(const QString &text, const QString &file, int *precedence, int depth);
    void resolve();

    struct Frame {
        QString xsltName; // the local name of an XSLT element, empty for others
        QList<int> locals;
        QList<int> pendingScope; // locals whose scope ends with this element
        int declaration = -1;             // the declaration this element makes
        int calledTemplateReference = -1; // call-template: the reference to its template
        QHash<QString, QString> namespaces; // the prefixes this element's start tag binds
        QSet<QString> available; // xsl:if, xsl:when: functions its test asks function-available() of
        bool guarded = false;    // xsl:fallback or use-when, or inside one
    };
private:
    struct File {
        QString file;
        QStringView text;      // with the entities in content expanded
        QList<int> lineStarts; // of the text as written
        QList<int> origins;    // for each character of text and its end, its offset as written; empty: the same
        Entities entities;

        int written(int offset) const
        {
            return origins.isEmpty() ? offset : origins.value(std::clamp<int>(offset, 0, int(origins.size()) - 1));
        }
    };

    Model &model;
    const ModuleReader &read;
    QSet<QString> open; // the modules being read, against a cycle
    QList<int> templateModes; // the references that are modes of templates
    int nextPrecedence = 0;

    Place place(const File &f, int from, int length) const
    {
        const int offset = f.written(from);
        length = std::max(0, f.written(from + length) - offset);
        const auto it = std::upper_bound(f.lineStarts.begin(), f.lineStarts.end(), offset);
        const int line = int(it - f.lineStarts.begin());
        return {f.file, line, offset - f.lineStarts.at(line - 1) + 1, offset, length};
    }

    Place valuePlace(const File &f, const RawAttribute &a, int from, int length) const
    {
        const int start = a.offsetOf(from);
        const int end = a.offsetOf(from + length);
        return place(f, start, std::max(0, end - start));
    }

    int addReference(RKind kind, const QString &name, const Place &at)
    {
        model.references.append({kind, name, at, -1, -1, {}, false});
        return int(model.references.size()) - 1;
    }

    void expression(const File &f, const RawAttribute &a, int from, QStringView text, const QList<Frame> &stack, const Frame &self);
    void names(const File &f, const RawAttribute &a, RKind kind);
    int lookUpLocal(const QString &name, const QList<Frame> &stack) const;
};

// The URI prefix is bound to on the element self, inside the elements of stack.
QString namespaceOf(QStringView prefix, const QList<Builder::Frame> &stack, const Builder::Frame &self)
{
    if (prefix == QLatin1String("xml"))
        return QStringLiteral("http://www.w3.org/XML/1998/namespace");
    const QString key = prefix.toString();
    if (const auto it = self.namespaces.constFind(key); it != self.namespaces.constEnd())
        return *it;
    for (qsizetype i = stack.size() - 1; i >= 0; --i)
        if (const auto it = stack[i].namespaces.constFind(key); it != stack[i].namespaces.constEnd())
            return *it;
    return {};
}

// A function's name with its prefix replaced by the URI it is bound to, to compare calls and
// declarations that use different prefixes; as written when the prefix is not bound.
QString expandedName(const QString &name, const QString &namespaceUri)
{
    if (namespaceUri.isEmpty())
        return name;
    return QLatin1Char('{') + namespaceUri + QLatin1Char('}') + name.mid(name.indexOf(QLatin1Char(':')) + 1);
}

QString expandedName(const QString &name, const QList<Builder::Frame> &stack, const Builder::Frame &self)
{
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    return expandedName(name, colon > 0 ? namespaceOf(QStringView(name).left(colon), stack, self) : QString());
}

int Builder::lookUpLocal(const QString &name, const QList<Frame> &stack) const
{
    for (qsizetype i = stack.size() - 1; i >= 0; --i)
        for (qsizetype k = stack[i].locals.size() - 1; k >= 0; --k)
            if (model.declarations[stack[i].locals[k]].name == name)
                return stack[i].locals[k];
    return -1;
}

void Builder::expression(const File &f, const RawAttribute &a, int from, QStringView text, const QList<Frame> &stack, const Frame &self)
{
    // Only variables and calls are references: an expression with neither needs no reading.
    if (!text.contains(QLatin1Char('$')) && !text.contains(QLatin1Char('(')))
        return;
    const QList<xpathtokens::Token> tokens = xpathtokens::tokenize(text);
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        const xpathtokens::Token &t = tokens[i];
        if (t.kind == xpathtokens::Token::Kind::Variable) {
            // The name, not the $.
            const int nameAt = t.start + t.length - int(t.text.size());
            const int ref = addReference(RKind::Variable, t.text, valuePlace(f, a, from + nameAt, int(t.text.size())));
            model.references[ref].declaration = lookUpLocal(t.text, stack);
        } else if (t.kind == xpathtokens::Token::Kind::Function) {
            if (t.text == QLatin1String("key") && i + 2 < tokens.size() && tokens[i + 2].kind == xpathtokens::Token::Kind::String) {
                const xpathtokens::Token &k = tokens[i + 2];
                addReference(RKind::Key, k.text.mid(1, k.text.size() - 2), valuePlace(f, a, from + k.start + 1, k.length - 2));
            } else {
                const qsizetype colon = t.text.indexOf(QLatin1Char(':'));
                // The built-in functions without a prefix are no reference to anything.
                if (colon < 0 && xpathfn::find(QString(), t.text, model.version))
                    continue;
                const int ref = addReference(RKind::Function, t.text, valuePlace(f, a, from + t.start, t.length));
                Reference &r = model.references[ref];
                if (colon > 0)
                    r.namespaceUri = namespaceOf(QStringView(t.text).left(colon), stack, self);
                const QString expanded = expandedName(t.text, r.namespaceUri);
                r.guarded = self.guarded || self.available.contains(expanded)
                    || std::any_of(stack.begin(), stack.end(), [&](const Frame &fr) { return fr.available.contains(expanded); });
            }
        }
    }
}

void Builder::names(const File &f, const RawAttribute &a, RKind kind)
{
    // A list of names separated by spaces (use-attribute-sets), or one name.
    qsizetype i = 0;
    while (i < a.value.size()) {
        while (i < a.value.size() && a.value[i].isSpace())
            ++i;
        const qsizetype start = i;
        while (i < a.value.size() && !a.value[i].isSpace())
            ++i;
        if (i > start)
            addReference(kind, a.value.mid(start, i - start), valuePlace(f, a, int(start), int(i - start)));
    }
}

void Builder::module(const QString &text, const QString &fileName, int *precedence, int depth)
{
    if (model.files.size() >= kMaxModules)
        return;
    model.files << fileName;
    File f{fileName, text, {0}, {}, {}};
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text[i] == QLatin1Char('\n'))
            f.lineStarts << int(i + 1);
    // Entities of the DTD: declarations in them are the stylesheet's, and attribute values use
    // them.
    DtdReader dtd(read);
    dtd.document(text, fileName);
    QString expanded;
    if (!dtd.general.isEmpty()) {
        f.entities = dtd.general;
        expandContent(text, -1, f.entities, 0, &expanded, &f.origins);
        f.origins << int(text.size());
        f.text = expanded;
    }
    const auto modulePrecedence = [&] {
        if (*precedence < 0)
            *precedence = ++nextPrecedence;
        return *precedence;
    };

    // The elements, read straight from the text: what a start tag holds is read from it as
    // written anyway, and a tree parser would cost as much again. Comments, CDATA sections,
    // processing instructions and the DOCTYPE are passed over; a text that is not well-formed
    // gives what can be read of it.
    const QStringView t = f.text;
    const qsizetype n = t.size();
    QList<Frame> stack;
    const auto endElement = [&](int endOffset) {
        if (stack.isEmpty())
            return;
        const Frame ended = stack.takeLast();
        const int end = f.written(endOffset);
        for (int d : ended.pendingScope)
            model.declarations[d].scopeEnd = end;
        if (ended.declaration >= 0) {
            Declaration &d = model.declarations[ended.declaration];
            if (d.global) {
                d.scopeEnd = end; // a template's parameters lie before this
            } else {
                d.scopeStart = end;
                if (!stack.isEmpty())
                    stack.last().locals << ended.declaration; // its own content does not see it
            }
        }
    };
    const auto skipPast = [&](qsizetype from, QStringView close) {
        const qsizetype at = t.indexOf(close, from);
        return at < 0 ? n : at + close.size();
    };
    qsizetype at = 0;
    while (at < n) {
        const qsizetype lt = t.indexOf(QLatin1Char('<'), at);
        if (lt < 0 || lt + 1 >= n)
            break;
        const QStringView rest = t.mid(lt);
        if (rest.startsWith(u"<!--")) {
            at = skipPast(lt + 4, u"-->");
            continue;
        }
        if (rest.startsWith(u"<![CDATA[")) {
            at = skipPast(lt + 9, u"]]>");
            continue;
        }
        if (rest.startsWith(u"<?")) {
            at = skipPast(lt + 2, u"?>");
            continue;
        }
        if (rest.startsWith(u"<!")) {
            at = markupEnd(t, lt + 2, true) + 1; // a DOCTYPE, with its internal subset
            continue;
        }
        if (rest.startsWith(u"</")) {
            at = skipPast(lt + 2, u">");
            endElement(int(at));
            continue;
        }
        const QChar first = t[lt + 1];
        if (!(first.isLetter() || first == QLatin1Char('_') || first == QLatin1Char(':'))) {
            at = lt + 1;
            continue;
        }
        const qsizetype j = markupEnd(t, lt + 1, false);
        if (j >= n)
            break; // a tag left open at the end of the text
        const int tagStart = int(lt);
        const int tagEnd = int(j + 1);
        const bool empty = t[j - 1] == QLatin1Char('/');
        at = tagEnd;
        qsizetype nameEnd = lt + 1;
        while (nameEnd < j && !t[nameEnd].isSpace() && t[nameEnd] != QLatin1Char('/'))
            ++nameEnd;
        const QStringView qname = t.mid(lt + 1, nameEnd - lt - 1);
        const qsizetype colon = qname.indexOf(QLatin1Char(':'));

        const QList<RawAttribute> attributes = rawAttributes(f.text, tagStart, tagEnd, f.entities);
        Frame frame;
        for (const RawAttribute &a : attributes) {
            if (a.name == QLatin1String("xmlns"))
                frame.namespaces.insert(QString(), a.value);
            else if (a.name.startsWith(QLatin1String("xmlns:")))
                frame.namespaces.insert(a.name.mid(6).toString(), a.value);
        }
        const bool xslt = namespaceOf(colon < 0 ? QStringView() : qname.left(colon), stack, frame) == kXsltNamespace;
        const QString local = qname.mid(colon + 1).toString();
        const bool topLevel = stack.size() == 1 && xslt;
        frame.xsltName = xslt ? local : QString();
        const auto attribute = [&](const char *name) -> const RawAttribute * {
            for (const RawAttribute &a : attributes)
                if (a.name == QLatin1String(name))
                    return &a;
            return nullptr;
        };

        if (depth == 0 && stack.isEmpty())
            if (const RawAttribute *a = attribute("version"))
                if (bool ok = false; (model.version = a->value.trimmed().toDouble(&ok)), !ok)
                    model.version = 1.0;
        // Where a call of a function the processor may not have is fine.
        frame.guarded = (!stack.isEmpty() && stack.last().guarded) || (xslt && local == QLatin1String("fallback"))
            || attribute(xslt ? "use-when" : "xsl:use-when");
        if (xslt && (local == QLatin1String("if") || local == QLatin1String("when")))
            if (const RawAttribute *test = attribute("test")) {
                const QList<xpathtokens::Token> tokens = xpathtokens::tokenize(test->value);
                for (qsizetype i = 0; i + 2 < tokens.size(); ++i)
                    if (tokens[i].kind == xpathtokens::Token::Kind::Function && tokens[i].text == QLatin1String("function-available")
                        && tokens[i + 2].kind == xpathtokens::Token::Kind::String)
                        frame.available.insert(expandedName(tokens[i + 2].text.mid(1, tokens[i + 2].text.size() - 2).trimmed(), stack, frame));
            }

        // References in the attributes, resolved against what is in scope before this element.
        for (const RawAttribute &a : attributes) {
            if (a.name.startsWith(QLatin1String("xmlns")))
                continue;
            if (xslt && isExpressionAttribute(a.name)) {
                expression(f, a, 0, a.value, stack, frame);
            } else if (!xslt || isTemplateAttribute(local, a.name)) {
                if (!xslt && a.name.startsWith(QLatin1String("xsl:")) && a.name != QLatin1String("xsl:use-attribute-sets")) {
                    continue;
                }
                if (a.name.endsWith(QLatin1String("use-attribute-sets"))) {
                    names(f, a, RKind::AttributeSet);
                    continue;
                }
                for (const xpathtokens::Part &p : xpathtokens::templateExpressions(a.value))
                    expression(f, a, p.start, p.text, stack, frame);
            } else if (a.name == QLatin1String("use-attribute-sets")) {
                names(f, a, RKind::AttributeSet);
            }
        }
        if (xslt) {
            if (local == QLatin1String("call-template")) {
                if (const RawAttribute *a = attribute("name")) {
                    frame.calledTemplateReference = int(model.references.size());
                    names(f, *a, RKind::CallTemplate);
                }
            } else if (local == QLatin1String("with-param") && !stack.isEmpty()) {
                if (const RawAttribute *a = attribute("name")) {
                    const int ref = int(model.references.size());
                    names(f, *a, RKind::WithParam);
                    // Resolved against the called template's parameters once all are known.
                    if (ref < model.references.size())
                        model.references[ref].call = stack.last().calledTemplateReference;
                }
            } else if (local == QLatin1String("apply-templates")) {
                if (const RawAttribute *a = attribute("mode"))
                    names(f, *a, RKind::Mode);
            } else if (local == QLatin1String("template") && topLevel) {
                // Each of a template's modes is a reference to the mode; the first one met
                // declares it when no xsl:mode does.
                if (const RawAttribute *a = attribute("mode")) {
                    const qsizetype first = model.references.size();
                    names(f, *a, RKind::Mode);
                    for (qsizetype i = first; i < model.references.size(); ++i)
                        templateModes << int(i);
                }
            }
            if ((local == QLatin1String("include") || local == QLatin1String("import")) && topLevel) {
                if (const RawAttribute *a = attribute("href")) {
                    const int ref = addReference(RKind::Href, a->value, valuePlace(f, *a, 0, int(a->value.size())));
                    Declaration d;
                    d.kind = local == QLatin1String("include") ? DKind::Include : DKind::Import;
                    d.name = a->value;
                    d.place = model.references[ref].place;
                    d.precedence = d.kind == DKind::Import ? 0 : modulePrecedence();
                    model.declarations << d;
                    const QString path = modulePath(fileName, a->value);
                    model.references[ref].declaration = int(model.declarations.size()) - 1;
                    if (!path.isEmpty() && read && !open.contains(path) && depth < 64) {
                        if (const std::optional<QString> moduleText = read(path)) {
                            open.insert(path);
                            // An import is a module of its own, below this one; an include is
                            // part of this module.
                            int imported = -1;
                            module(*moduleText, path, d.kind == DKind::Import ? &imported : precedence, depth + 1);
                            open.remove(path);
                        }
                    }
                }
            }
            // Declarations: top-level ones of every kind, and local variables and parameters.
            for (const auto &row : kDeclarations) {
                if (local != QLatin1String(row.element) || row.kind == DKind::Include || row.kind == DKind::Import)
                    continue;
                const bool variable = row.kind == DKind::Variable || row.kind == DKind::Param;
                if (!topLevel && !variable)
                    break;
                Declaration d;
                d.kind = row.kind;
                d.global = topLevel;
                d.precedence = topLevel ? modulePrecedence() : 0;
                if (const RawAttribute *a = attribute(row.nameAttribute)) {
                    d.name = a->value.trimmed();
                    d.place = valuePlace(f, *a, 0, int(a->value.size()));
                    if (row.kind == DKind::Function && d.name.indexOf(QLatin1Char(':')) > 0)
                        d.namespaceUri = namespaceOf(QStringView(d.name).left(d.name.indexOf(QLatin1Char(':'))), stack, frame);
                } else {
                    d.place = place(f, tagStart, tagEnd - tagStart);
                }
                if (row.kind == DKind::Template) {
                    if (const RawAttribute *a = attribute("match"))
                        d.match = a->value;
                    if (const RawAttribute *a = attribute("mode"))
                        d.mode = a->value;
                    if (const RawAttribute *a = attribute("priority"))
                        d.priority = a->value;
                }
                model.declarations << d;
                frame.declaration = int(model.declarations.size()) - 1;
                // A local is visible in the following siblings and their descendants: from the
                // end of its element to the end of its parent.
                if (!topLevel && !stack.isEmpty())
                    stack.last().pendingScope << frame.declaration;
                break;
            }
        }
        stack << frame;
        if (empty)
            endElement(tagEnd);
    }
}

void Builder::resolve()
{
    // Globals: of the declarations of a name, the one of the highest import precedence (the
    // first of those in the text when two share it). Variables and parameters share one space.
    const auto space = [](DKind k) { return k == DKind::Param ? int(DKind::Variable) : int(k); };
    QHash<QPair<int, QString>, int> globals;
    for (int i = 0; i < model.declarations.size(); ++i) {
        const Declaration &d = model.declarations[i];
        if (!d.global || d.name.isEmpty())
            continue;
        auto it = globals.find({space(d.kind), d.name});
        if (it == globals.end())
            globals.insert({space(d.kind), d.name}, i);
        else if (d.precedence > model.declarations[*it].precedence)
            *it = i;
    }
    const auto best = [&](DKind kind, const QString &name) { return globals.value({space(kind), name}, -1); };
    // Functions: by expanded name, whatever prefix the call uses.
    QHash<QString, int> functions;
    for (int i = 0; i < model.declarations.size(); ++i) {
        const Declaration &d = model.declarations[i];
        if (d.kind != DKind::Function || !d.global || d.name.isEmpty())
            continue;
        const QString key = expandedName(d.name, d.namespaceUri);
        if (const auto it = functions.constFind(key); it == functions.constEnd() || d.precedence > model.declarations[*it].precedence)
            functions.insert(key, i);
    }
    // A mode: its xsl:mode, or else where a template first names it.
    QHash<QString, int> modes;
    for (const int ref : std::as_const(templateModes)) {
        const Reference &r = model.references[ref];
        if (modes.contains(r.name) || r.name.startsWith(QLatin1Char('#')))
            continue;
        if (const int declared = best(DKind::Mode, r.name); declared >= 0) {
            modes.insert(r.name, declared);
            continue;
        }
        Declaration d;
        d.kind = DKind::Mode;
        d.name = r.name;
        d.place = r.place;
        d.implied = true;
        model.declarations << d;
        modes.insert(r.name, int(model.declarations.size()) - 1);
    }
    for (Reference &r : model.references) {
        switch (r.kind) {
        case RKind::Variable:
            if (r.declaration < 0)
                r.declaration = best(DKind::Variable, r.name);
            break;
        case RKind::CallTemplate:
            r.declaration = best(DKind::Template, r.name);
            break;
        case RKind::Key:
            r.declaration = best(DKind::Key, r.name);
            break;
        case RKind::AttributeSet:
            r.declaration = best(DKind::AttributeSet, r.name);
            break;
        case RKind::Function:
            r.declaration = functions.value(expandedName(r.name, r.namespaceUri), -1);
            break;
        case RKind::Mode:
            r.declaration = modes.value(r.name, best(DKind::Mode, r.name));
            break;
        case RKind::WithParam:
        case RKind::Href:
            break;
        }
    }
    // with-param: the parameter of that name among the called template's, which follow it.
    for (Reference &r : model.references) {
        if (r.kind != RKind::WithParam || r.call < 0)
            continue;
        const int call = r.call;
        const int tmpl = call >= 0 && call < model.references.size() ? model.references[call].declaration : -1;
        if (tmpl < 0)
            continue;
        const Declaration &t = model.declarations[tmpl];
        for (int i = tmpl + 1; i < model.declarations.size(); ++i) {
            const Declaration &d = model.declarations[i];
            if (d.global || d.place.file != t.place.file || d.place.offset > t.scopeEnd)
                break;
            if (d.kind == DKind::Param && d.name == r.name) {
                r.declaration = i;
                break;
            }
        }
    }
}

} // namespace

std::optional<int> Model::declarationAt(const QString &file, int offset) const
{
    // The narrowest place that holds offset: a template without a name is placed at its start
    // tag, which holds the references in its attributes.
    std::optional<int> found;
    int length = 0;
    const auto consider = [&](const Place &p, int declaration) {
        if (declaration >= 0 && p.file == file && offset >= p.offset && offset <= p.offset + p.length && (!found || p.length < length)) {
            found = declaration;
            length = p.length;
        }
    };
    for (int i = 0; i < declarations.size(); ++i)
        consider(declarations[i].place, i);
    for (const Reference &r : references)
        consider(r.place, r.declaration);
    return found;
}

QList<int> Model::usagesOf(int declaration) const
{
    QList<int> out;
    for (int i = 0; i < references.size(); ++i)
        if (references[i].declaration == declaration)
            out << i;
    return out;
}

QList<Finding> check(const Model &model, double version)
{
    QList<Finding> out;
    const auto add = [&](Finding::Severity severity, const QString &message, const Place &at) {
        out.append({severity, message, at});
    };
    QList<int> uses(model.declarations.size(), 0);
    for (const Reference &r : model.references)
        if (r.declaration >= 0)
            ++uses[r.declaration];
    QSet<QString> ownFunctions;
    for (const Declaration &d : model.declarations)
        if (d.kind == DKind::Function && !d.namespaceUri.isEmpty())
            ownFunctions.insert(d.namespaceUri);
    for (int i = 0; i < model.references.size(); ++i) {
        const Reference &r = model.references[i];
        if (r.declaration >= 0)
            continue;
        switch (r.kind) {
        case RKind::Variable:
            add(Finding::Severity::Error, QStringLiteral("Variable or parameter \"%1\" is not declared here").arg(r.name), r.place);
            break;
        case RKind::CallTemplate:
            add(Finding::Severity::Error, QStringLiteral("No template is named \"%1\"").arg(r.name), r.place);
            break;
        case RKind::WithParam: {
            // Only where the template called is known: it has no parameter of that name.
            const Reference *call = r.call >= 0 ? &model.references[r.call] : nullptr;
            if (call && call->declaration >= 0)
                add(Finding::Severity::Warning,
                    QStringLiteral("Template \"%1\" has no parameter \"%2\"").arg(call->name, r.name), r.place);
            break;
        }
        case RKind::Mode:
            if (!r.name.startsWith(QLatin1Char('#')))
                add(Finding::Severity::Warning, QStringLiteral("No template has the mode \"%1\"").arg(r.name), r.place);
            break;
        case RKind::Key:
            add(Finding::Severity::Error, QStringLiteral("No key is named \"%1\"").arg(r.name), r.place);
            break;
        case RKind::AttributeSet:
            add(Finding::Severity::Error, QStringLiteral("No attribute set is named \"%1\"").arg(r.name), r.place);
            break;
        case RKind::Function: {
            if (r.guarded)
                break;
            const qsizetype colon = r.name.indexOf(QLatin1Char(':'));
            if (colon > 0 && r.namespaceUri.isEmpty())
                break; // a prefix not bound: the parser says so
            // The namespace of the stylesheet's own functions holds no others (the 2.0+ processor
            // has no extensions there).
            if (xpathfn::find(r.namespaceUri, r.name.mid(colon + 1), version)
                || !(xpathfn::knowsAll(r.namespaceUri, version) || (version >= 2.0 && ownFunctions.contains(r.namespaceUri))))
                break;
            add(Finding::Severity::Error, QStringLiteral("No function is named \"%1\"").arg(r.name), r.place);
            break;
        }
        case RKind::Href:
            break;
        }
    }
    QHash<QPair<QString, int>, int> globals;
    for (int i = 0; i < model.declarations.size(); ++i) {
        const Declaration &d = model.declarations[i];
        const bool variable = d.kind == DKind::Variable || d.kind == DKind::Param;
        if (!d.global) {
            if (variable && uses[i] == 0)
                add(Finding::Severity::Warning, QStringLiteral("\"%1\" is never used").arg(d.name), d.place);
            // XSLT 1.0: a local may not shadow another local in scope.
            if (version < 2.0)
                for (int k = i - 1; k >= 0; --k) {
                    const Declaration &o = model.declarations[k];
                    if (o.global || o.place.file != d.place.file)
                        break;
                    if ((o.kind == DKind::Variable || o.kind == DKind::Param) && o.name == d.name && o.scopeEnd >= d.place.offset
                        && o.scopeStart <= d.place.offset) {
                        add(Finding::Severity::Error, QStringLiteral("\"%1\" hides the variable of the same name on line %2").arg(d.name).arg(o.place.line),
                            d.place);
                        break;
                    }
                }
            continue;
        }
        if (!variable && d.kind != DKind::Template && d.kind != DKind::AttributeSet && d.kind != DKind::Function)
            continue;
        if (d.name.isEmpty() || d.kind == DKind::AttributeSet) // attribute sets of one name merge
            continue;
        QString name = QString::number(variable ? int(DKind::Variable) : int(d.kind)) + QLatin1Char(' ') + d.name;
        if (d.kind == DKind::Function) {
            // Functions of one name and different numbers of parameters are different functions.
            int arity = 0;
            for (int k = i + 1; k < model.declarations.size(); ++k) {
                const Declaration &p = model.declarations[k];
                if (p.global || p.place.file != d.place.file || p.place.offset > d.scopeEnd)
                    break;
                arity += p.kind == DKind::Param;
            }
            name = expandedName(d.name, d.namespaceUri) + QLatin1Char('#') + QString::number(arity);
        }
        const QPair<QString, int> key{name, d.precedence};
        if (const auto it = globals.constFind(key); it != globals.constEnd())
            add(Finding::Severity::Error,
                QStringLiteral("\"%1\" is declared twice at the same import precedence (also on line %2 of %3)")
                    .arg(d.name)
                    .arg(model.declarations[*it].place.line)
                    .arg(QFileInfo(model.declarations[*it].place.file).fileName()),
                d.place);
        else
            globals.insert(key, i);
    }
    return out;
}

Model build(const QString &text, const QString &file, const ModuleReader &read)
{
    Model model;
    // Room for a typical stylesheet's share of names, so the lists are not copied as they grow.
    model.references.reserve(text.size() / 64);
    model.declarations.reserve(text.size() / 256);
    Builder builder(model, read);
    int precedence = -1;
    builder.module(text, file, &precedence, 0);
    builder.resolve();
    return model;
}

bool isExpressionAttribute(QStringView name)
{
    static constexpr QLatin1String names[] = {
        QLatin1String("select"), QLatin1String("test"), QLatin1String("match"), QLatin1String("use"),
        QLatin1String("value"), QLatin1String("count"), QLatin1String("from"), QLatin1String("group-by"),
        QLatin1String("group-adjacent"), QLatin1String("group-starting-with"), QLatin1String("group-ending-with"),
        QLatin1String("use-when"), QLatin1String("initial-value"), QLatin1String("key"), QLatin1String("xpath"),
        QLatin1String("context-item"), QLatin1String("with-params"), QLatin1String("for-each-item"),
        QLatin1String("for-each-source")};
    return std::any_of(std::begin(names), std::end(names), [&](QLatin1String n) { return name == n; });
}

QString modulePath(const QString &file, const QString &href)
{
    const QString base = file.isEmpty() ? QDir::currentPath() + QLatin1Char('/') : file;
    const QUrl target = QUrl::fromLocalFile(base).resolved(QUrl(href));
    return target.isLocalFile() ? QFileInfo(target.toLocalFile()).absoluteFilePath() : QString();
}

} // namespace stylesheet
