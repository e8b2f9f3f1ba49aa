#include "components/xmlcontext.h"

#include <cstring>
#include <vector>

namespace xmlcontext {

namespace {

bool isNameByte(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
           || c == ':' || c == '.';
}

// The position just after needle at or after from, or -1.
qsizetype after(QByteArrayView text, qsizetype from, QByteArrayView needle)
{
    const qsizetype at = text.indexOf(needle, from);
    return at < 0 ? -1 : at + needle.size();
}

// Reads a start tag's attributes from i (just after its name) on. Returns the position after the
// closing '>' (or "/>"), or -1 when text ends inside the tag; selfClosing tells which; names
// collects the attribute names; betweenAttributes tells whether an unfinished tag ends where a
// new attribute could begin.
qsizetype readAttributes(QByteArrayView text, qsizetype i, bool *selfClosing, QStringList *names, bool *betweenAttributes)
{
    const qsizetype n = text.size();
    *betweenAttributes = true;
    while (i < n) {
        const char c = text[i];
        if (c == '>') {
            *selfClosing = i > 0 && text[i - 1] == '/';
            return i + 1;
        }
        if (isNameByte(c)) {
            const qsizetype start = i;
            while (i < n && isNameByte(text[i]))
                ++i;
            if (names)
                names->append(QString::fromUtf8(text.sliced(start, i - start)));
            *betweenAttributes = false;
            continue;
        }
        if (c == '"' || c == '\'') {
            const qsizetype close = text.indexOf(c, i + 1);
            if (close < 0) {
                *betweenAttributes = false;
                return -1;
            }
            i = close + 1;
            *betweenAttributes = true;
            continue;
        }
        if (c == '=')
            *betweenAttributes = false;
        ++i;
    }
    return -1;
}

} // namespace

std::optional<StartTag> startTagAtEnd(QByteArrayView text)
{
    const qsizetype lt = text.lastIndexOf('<');
    if (lt < 0 || lt + 1 >= text.size() || !isNameByte(text[lt + 1]))
        return std::nullopt;
    qsizetype i = lt + 1;
    while (i < text.size() && isNameByte(text[i]))
        ++i;
    StartTag tag;
    tag.name = QString::fromUtf8(text.sliced(lt + 1, i - lt - 1));
    bool selfClosing = false, between = false;
    if (readAttributes(text, i, &selfClosing, &tag.attributes, &between) >= 0)
        return std::nullopt; // the tag is closed
    // Right after the name or a closing quote: a new attribute may start here.
    if (!between)
        return std::nullopt;
    return tag;
}

std::optional<AttributeValue> attributeValueAtEnd(QByteArrayView text)
{
    // A "<" cannot occur in an attribute value: the last one starts the tag, if any.
    const qsizetype lt = text.lastIndexOf('<');
    if (lt < 0 || lt + 1 >= text.size() || !isNameByte(text[lt + 1]))
        return std::nullopt;
    const qsizetype n = text.size();
    qsizetype i = lt + 1;
    while (i < n && isNameByte(text[i]))
        ++i;
    AttributeValue out;
    out.element = QString::fromUtf8(text.sliced(lt + 1, i - lt - 1));
    QByteArrayView lastName;
    while (i < n) {
        const char c = text[i];
        if (c == '>')
            return std::nullopt;
        if (isNameByte(c)) {
            const qsizetype start = i;
            while (i < n && isNameByte(text[i]))
                ++i;
            lastName = text.sliced(start, i - start);
            continue;
        }
        if (c == '"' || c == '\'') {
            const qsizetype close = text.indexOf(c, i + 1);
            if (close < 0) {
                if (lastName.isEmpty())
                    return std::nullopt;
                out.attribute = QString::fromUtf8(lastName);
                out.value = QString::fromUtf8(text.sliced(i + 1));
                return out;
            }
            i = close + 1;
            lastName = {};
            continue;
        }
        ++i;
    }
    return std::nullopt;
}

QString innermostOpenElement(QByteArrayView text)
{
    std::vector<QByteArrayView> open;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const void *found = std::memchr(text.data() + i, '<', size_t(n - i));
        if (!found)
            break;
        i = static_cast<const char *>(found) - text.data();
        const QByteArrayView rest = text.sliced(i);
        qsizetype next = -1;
        if (rest.startsWith("<!--")) {
            next = after(text, i + 4, "-->");
        } else if (rest.startsWith("<![CDATA[")) {
            next = after(text, i + 9, "]]>");
        } else if (rest.startsWith("<?")) {
            next = after(text, i + 2, "?>");
        } else if (rest.startsWith("<!")) {
            // A DOCTYPE, with its internal subset when it has one.
            const qsizetype gt = text.indexOf('>', i);
            const qsizetype bracket = text.indexOf('[', i);
            next = bracket >= 0 && (gt < 0 || bracket < gt) ? after(text, bracket, "]>") : (gt < 0 ? -1 : gt + 1);
        } else if (rest.startsWith("</")) {
            qsizetype j = i + 2;
            while (j < n && isNameByte(text[j]))
                ++j;
            const QByteArrayView name = text.sliced(i + 2, j - i - 2);
            // The innermost element of that name closes, and whatever was left open inside it.
            for (auto it = open.rbegin(); it != open.rend(); ++it)
                if (*it == name) {
                    open.erase(std::next(it).base(), open.end());
                    break;
                }
            const qsizetype gt = text.indexOf('>', j);
            next = gt < 0 ? -1 : gt + 1;
        } else if (i + 1 < n && isNameByte(text[i + 1])) {
            qsizetype j = i + 1;
            while (j < n && isNameByte(text[j]))
                ++j;
            bool selfClosing = false, between = false;
            next = readAttributes(text, j, &selfClosing, nullptr, &between);
            if (next >= 0 && !selfClosing)
                open.push_back(text.sliced(i + 1, j - i - 1));
        } else {
            next = i + 1;
        }
        if (next < 0)
            break;
        i = next;
    }
    return open.empty() ? QString() : QString::fromUtf8(open.back());
}

} // namespace xmlcontext
