#include "engine/resulttrace.h"

#include <QCborArray>
#include <QHash>

#include <algorithm>
#include <charconv>

namespace tracing {

namespace {

QCborValue key(const char *name)
{
    return QCborValue(QLatin1String(name));
}

// Tables go over the pipe as flat arrays of a fixed number of fields per row: a DocBook run maps
// a hundred thousand nodes, and a map per row would triple what is sent.
template<typename T, typename Write>
QCborArray flat(const QList<T> &rows, Write write)
{
    QCborArray a;
    for (const T &row : rows)
        write(a, row);
    return a;
}

template<typename T, typename Read>
QList<T> unflat(const QCborValue &value, int fields, Read read)
{
    const QCborArray a = value.toArray();
    QList<T> rows;
    rows.reserve(a.size() / fields);
    for (qsizetype i = 0; i + fields <= a.size(); i += fields)
        rows.append(read(a, i));
    return rows;
}

// Unsigned numbers in 7-bit groups, low first, the high bit saying that more follow; signed
// ones zigzagged first (0, -1, 1, -2... as 0, 1, 2, 3...).
quint64 zigzag(qint64 v)
{
    return (quint64(v) << 1) ^ quint64(v >> 63);
}

qint64 unzigzag(quint64 z)
{
    return qint64(z >> 1) ^ -qint64(z & 1);
}

void putUnsigned(QByteArray &out, quint64 v)
{
    while (v >= 0x80) {
        out += char(v | 0x80);
        v >>= 7;
    }
    out += char(v);
}

void putSigned(QByteArray &out, qint64 v)
{
    putUnsigned(out, zigzag(v));
}

// Reads them back; a truncated or overlong number makes ok() false and the rest zero.
class Numbers
{
public:
    explicit Numbers(const QByteArray &bytes)
        : m_p(reinterpret_cast<const uchar *>(bytes.constData()))
        , m_end(m_p + bytes.size())
    {
    }
    bool more() const { return m_ok && m_p < m_end; }
    bool ok() const { return m_ok; }
    quint64 next()
    {
        quint64 v = 0;
        for (int shift = 0; m_ok && m_p < m_end && shift < 64; shift += 7) {
            const uchar b = *m_p++;
            v |= quint64(b & 0x7f) << shift;
            if (!(b & 0x80))
                return v;
        }
        m_ok = false;
        return 0;
    }

private:
    const uchar *m_p;
    const uchar *m_end;
    bool m_ok = true;
};

int index(const QCborArray &a, qsizetype i)
{
    return int(a.at(i).toInteger(-1));
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where the element whose content ends before bound closes: trailing spaces, the end tags of
// ancestors (endTags of them) and comments or processing instructions between are not its own.
qint64 elementEnd(const QByteArray &plain, qint64 start, qint64 bound, int endTags)
{
    qint64 end = bound;
    while (end > start) {
        while (end > start && isSpace(plain.at(end - 1)))
            --end;
        const QByteArrayView before(plain.constData() + start, end - start);
        if (before.endsWith("-->")) {
            const qint64 open = QByteArrayView(plain.constData(), end).lastIndexOf("<!--");
            if (open <= start)
                break;
            end = open;
            continue;
        }
        if (before.endsWith("?>")) {
            const qint64 open = QByteArrayView(plain.constData(), end).lastIndexOf("<?");
            if (open <= start)
                break;
            end = open;
            continue;
        }
        if (endTags > 0 && before.endsWith(">")) {
            const qint64 open = QByteArrayView(plain.constData(), end).lastIndexOf('<');
            if (open <= start || plain.at(open + 1) != '/')
                break;
            end = open;
            --endTags;
            continue;
        }
        break;
    }
    return end;
}

} // namespace

QString Report::templateLabel(int templ) const
{
    if (templ < 0 || templ >= templates.size())
        return QStringLiteral("built-in rule");
    const Template &t = templates.at(templ);
    QString label = !t.match.isEmpty() ? t.match : t.name;
    if (!t.match.isEmpty() && !t.name.isEmpty())
        label += QStringLiteral(" (name %1)").arg(t.name);
    if (!t.mode.isEmpty())
        label += QStringLiteral(" (mode %1)").arg(t.mode);
    return label;
}

QString Report::sourcePath(int source) const
{
    if (source < 0 || source >= sources.size())
        return QString();
    QStringList steps;
    // A table from elsewhere could hold a cycle: no path is longer than the table.
    for (int i = source; i >= 0 && i < sources.size() && steps.size() <= sources.size(); i = sources[i].parent)
        steps.prepend(sources[i].step);
    const QString path = steps.join(QLatin1Char('/'));
    return path.startsWith(QLatin1Char('/')) ? path : path.isEmpty() ? QStringLiteral("/") : path;
}

QString Report::sourceName(int source) const
{
    if (source < 0 || source >= sources.size())
        return QString();
    const QString &step = sources[source].step;
    if (step.endsWith(QLatin1Char(')')))
        return QString(); // text(), comment()...
    return step.section(QLatin1Char('['), 0, 0).remove(QLatin1Char('@'));
}

QCborMap Report::toCbor() const
{
    QCborMap m;
    m.insert(key("flags"), flags);
    m.insert(key("files"), QCborArray::fromStringList(files));
    m.insert(key("instructions"), flat(instructions, [](QCborArray &a, const Instruction &r) {
                 a << r.file << r.line << r.name << r.runs << r.templ;
             }));
    m.insert(key("templates"), flat(templates, [](QCborArray &a, const Template &r) {
                 a << r.file << r.line << r.match << r.name << r.mode << r.calls;
             }));
    // The large tables go as byte strings of variable-length numbers rather than CBOR arrays:
    // the window reads a DocBook page's map of a hundred thousand nodes in a few milliseconds
    // instead of tens. Numbers that lie near the row before's go as differences; "none" is 0
    // and a present value is shifted up by one.
    //
    // A source node (parents come before their children): distance back to its parent, its line
    // from its parent's, its name's index in sourceNames, its position among same-named
    // siblings.
    QCborArray names;
    QHash<QString, int> nameIndex;
    QByteArray src;
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const SourceNode &r = sources[i];
        const qsizetype open = r.step.endsWith(QLatin1Char(']')) ? r.step.lastIndexOf(QLatin1Char('[')) : -1;
        const QString name = open > 0 ? r.step.left(open) : r.step;
        const int position = open > 0 ? r.step.mid(open + 1, r.step.size() - open - 2).toInt() : 0;
        auto it = nameIndex.constFind(name);
        if (it == nameIndex.constEnd()) {
            it = nameIndex.insert(name, int(names.size()));
            names << name;
        }
        const bool parented = r.parent >= 0 && r.parent < i;
        putUnsigned(src, parented ? i - r.parent : 0);
        putSigned(src, r.line - (parented ? sources[r.parent].line : 0));
        putUnsigned(src, *it);
        putUnsigned(src, position);
    }
    m.insert(key("sourceNames"), names);
    m.insert(key("sources"), src);
    // A node: distance back to its parent and whether it is text, its instruction, its source
    // from the node before's, its offset from the node before's, its length, where attributes
    // go from its own offset. Its template is its instruction's.
    QByteArray n;
    qint64 previousOffset = 0;
    qint64 previousSource = 0;
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        const Node &r = nodes[i];
        putUnsigned(n, (r.parent < 0 ? 0 : quint64(i - r.parent)) * 2 + (r.text ? 1 : 0));
        putUnsigned(n, r.instruction + 1);
        if (r.source < 0) {
            putUnsigned(n, 0);
        } else {
            putUnsigned(n, zigzag(r.source - previousSource) + 1);
            previousSource = r.source;
        }
        if (r.offset < 0) {
            putUnsigned(n, 0);
        } else {
            putUnsigned(n, zigzag(r.offset - previousOffset) + 1);
            previousOffset = r.offset;
        }
        putUnsigned(n, quint64(std::max<qint64>(0, r.length)));
        putUnsigned(n, r.attributesAt < 0 || r.offset < 0 ? 0 : quint64(r.attributesAt - r.offset) + 1);
    }
    m.insert(key("nodes"), n);
    m.insert(key("nodesCut"), nodesCut);
    QByteArray e;
    for (const Event &r : events) {
        putUnsigned(e, quint64(std::max(0, r.depth)));
        putUnsigned(e, r.templ + 1);
        putUnsigned(e, r.source + 1);
    }
    m.insert(key("events"), e);
    m.insert(key("eventsCut"), eventsCut);
    m.insert(key("profile"), flat(profile, [](QCborArray &a, const ProfileRow &r) {
                 a << r.templ << r.calls << r.totalNs << r.ownNs;
             }));
    m.insert(key("runNs"), runNs);
    return m;
}

Report Report::fromCbor(const QCborMap &m)
{
    Report r;
    r.flags = int(m.value(key("flags")).toInteger());
    for (const QCborValue &f : m.value(key("files")).toArray())
        r.files << f.toString();
    r.instructions = unflat<Instruction>(m.value(key("instructions")), 5, [](const QCborArray &a, qsizetype i) {
        return Instruction{index(a, i), index(a, i + 1), a.at(i + 2).toString(), a.at(i + 3).toInteger(), index(a, i + 4)};
    });
    r.templates = unflat<Template>(m.value(key("templates")), 6, [](const QCborArray &a, qsizetype i) {
        return Template{index(a, i), index(a, i + 1), a.at(i + 2).toString(), a.at(i + 3).toString(), a.at(i + 4).toString(),
                        a.at(i + 5).toInteger()};
    });
    const QCborArray names = m.value(key("sourceNames")).toArray();
    const QByteArray src = m.value(key("sources")).toByteArray();
    for (Numbers in(src); in.more();) {
        const qsizetype self = r.sources.size();
        SourceNode s;
        const quint64 back = in.next();
        s.parent = back > 0 && back <= quint64(self) ? int(self - qsizetype(back)) : -1;
        s.line = int(unzigzag(in.next())) + (s.parent >= 0 ? r.sources[s.parent].line : 0);
        s.step = names.at(qsizetype(in.next())).toString();
        if (const quint64 position = in.next(); position > 0)
            s.step += QStringLiteral("[%1]").arg(position);
        if (!in.ok())
            break;
        r.sources << s;
    }
    const QByteArray n = m.value(key("nodes")).toByteArray();
    qint64 previousOffset = 0;
    qint64 previousSource = 0;
    for (Numbers in(n); in.more();) {
        const qsizetype self = r.nodes.size();
        Node node;
        const quint64 up = in.next();
        node.text = up & 1;
        node.parent = up / 2 > 0 && up / 2 <= quint64(self) ? int(self - qsizetype(up / 2)) : -1;
        node.instruction = int(qint64(in.next()) - 1);
        if (const quint64 source = in.next(); source > 0) {
            node.source = int(previousSource + unzigzag(source - 1));
            previousSource = node.source;
        }
        const quint64 offset = in.next();
        const quint64 length = in.next();
        const quint64 attributes = in.next();
        if (offset > 0) {
            node.offset = previousOffset + unzigzag(offset - 1);
            previousOffset = node.offset;
            node.length = qint64(length);
            node.attributesAt = attributes > 0 ? node.offset + qint64(attributes - 1) : -1;
        }
        if (!in.ok())
            break;
        r.nodes << node;
    }
    r.nodesCut = m.value(key("nodesCut")).toInteger();
    const QByteArray e = m.value(key("events")).toByteArray();
    for (Numbers in(e); in.more();) {
        Event event;
        event.depth = int(in.next());
        event.templ = int(qint64(in.next()) - 1);
        event.source = int(qint64(in.next()) - 1);
        if (!in.ok())
            break;
        r.events << event;
    }
    r.eventsCut = m.value(key("eventsCut")).toInteger();
    r.profile = unflat<ProfileRow>(m.value(key("profile")), 4, [](const QCborArray &a, qsizetype i) {
        return ProfileRow{index(a, i), a.at(i + 1).toInteger(), a.at(i + 2).toInteger(), a.at(i + 3).toInteger()};
    });
    r.runNs = m.value(key("runNs")).toInteger();
    // Indexes that point nowhere would be read by whoever shows the tables: a worker is not
    // trusted further than its pipe.
    const auto valid = [](int i, qsizetype size) { return i >= -1 && i < size; };
    for (Instruction &i : r.instructions)
        if (!valid(i.templ, r.templates.size()))
            i.templ = -1;
    for (Node &n : r.nodes) {
        if (!valid(n.parent, r.nodes.size()) || !valid(n.instruction, r.instructions.size()) || !valid(n.source, r.sources.size()))
            n = Node{};
        n.templ = n.instruction >= 0 ? r.instructions[n.instruction].templ : -1;
    }
    for (Event &e : r.events)
        if (!valid(e.templ, r.templates.size()) || !valid(e.source, r.sources.size()))
            e = Event{};
    for (Instruction &i : r.instructions)
        if (!valid(i.file, r.files.size()))
            i.file = -1;
    for (Template &t : r.templates)
        if (!valid(t.file, r.files.size()))
            t.file = -1;
    r.profile.removeIf([&](const ProfileRow &p) { return !valid(p.templ, r.templates.size()); });
    return r;
}

bool placeNodes(const QByteArray &marked, const QByteArray &plain, QList<Node> &nodes, bool complete)
{
    const auto forget = [&] {
        for (Node &n : nodes)
            n.offset = n.attributesAt = -1, n.length = 0;
        return false;
    };
    static const QByteArray textOpen[] = {QByteArrayLiteral("\xEE\x80\x80"), QByteArrayLiteral("&#57344;")};
    static const QByteArray textClose[] = {QByteArrayLiteral("\xEE\x80\x81"), QByteArrayLiteral("&#57345;")};
    qsizetype pos = 0;
    qsizetype inserted = 0;
    int textForm = -1;
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        Node &n = nodes[i];
        const QByteArray number = QByteArray::number(i);
        if (!n.text) {
            const QByteArray needle = " data-zk=\"" + number + '"';
            const qsizetype at = marked.indexOf(needle, pos);
            if (at < 0)
                return forget();
            qsizetype lt = at;
            while (lt > pos && marked.at(lt - 1) != '<')
                --lt;
            if (lt <= 0 || marked.at(lt - 1) != '<')
                return forget();
            n.offset = lt - 1 - inserted;
            n.attributesAt = at - inserted;
            inserted += needle.size();
            pos = at + needle.size();
            continue;
        }
        // The encoding decides how the mark is written, the same way throughout: the first
        // one found says which.
        qsizetype best = -1;
        qsizetype length = 0;
        for (int form = 0; form < 2; ++form) {
            if (textForm >= 0 && form != textForm)
                continue;
            const QByteArray needle = textOpen[form] + number + textClose[form];
            const qsizetype at = marked.indexOf(needle, pos);
            if (at >= 0 && (best < 0 || at < best)) {
                best = at;
                length = needle.size();
                textForm = form;
            }
        }
        if (best < 0)
            return forget();
        n.offset = best - inserted;
        inserted += length;
        pos = best + length;
    }
    if (marked.size() - inserted != plain.size())
        return forget();
    for (const Node &n : nodes)
        if (!n.text && plain.at(n.offset) != '<')
            return forget();

    // Each node's extent ends before the next node that does not lie in it.
    const qsizetype count = nodes.size();
    std::vector<int> depth(count, 0);
    for (qsizetype i = 0; i < count; ++i)
        depth[i] = nodes[i].parent >= 0 && nodes[i].parent < i ? depth[nodes[i].parent] + 1 : 0;
    std::vector<qsizetype> next(count, count);
    std::vector<qsizetype> open;
    for (qsizetype i = 0; i < count; ++i) {
        while (!open.empty() && depth[open.back()] >= depth[i]) {
            next[open.back()] = i;
            open.pop_back();
        }
        open.push_back(i);
    }
    for (qsizetype i = 0; i < count; ++i) {
        Node &n = nodes[i];
        if (n.text) {
            const qint64 following = i + 1 < count ? nodes[i + 1].offset : complete ? plain.size() : -1;
            qint64 end = following >= 0 ? following : plain.size();
            // Text in markup is escaped, so the next tag ends it; a text result has no tags.
            if (n.parent >= 0) {
                const qsizetype lt = plain.indexOf('<', n.offset);
                if (lt >= 0 && lt < end)
                    end = lt;
            }
            n.length = end - n.offset;
            continue;
        }
        const qsizetype j = next[i];
        const qint64 bound = j < count ? nodes[j].offset : complete ? plain.size() : -1;
        if (bound < 0) {
            const qsizetype gt = plain.indexOf('>', n.attributesAt);
            n.length = gt < 0 ? plain.size() - n.offset : gt + 1 - n.offset;
            continue;
        }
        n.length = elementEnd(plain, n.offset, bound, depth[i] - (j < count ? depth[j] : 0)) - n.offset;
    }
    return true;
}

QByteArray annotatedPage(const QByteArray &page, const Report &report)
{
    const QList<Node> &nodes = report.nodes;
    const qsizetype count = nodes.size();
    // Each element's placed text children, as a chain through the nodes (first and next):
    // a DocBook page has tens of thousands, and a list each would be as many allocations.
    std::vector<int> firstText(size_t(count), -1);
    std::vector<int> nextText(size_t(count), -1);
    std::vector<int> lastText(size_t(count), -1);
    bool any = false;
    for (qsizetype i = 0; i < count; ++i) {
        const Node &n = nodes[i];
        any = any || n.attributesAt >= 0;
        if (!n.text || n.offset < 0 || n.parent < 0 || n.parent >= count)
            continue;
        const size_t p = size_t(n.parent);
        if (firstText[p] < 0)
            firstText[p] = int(i);
        else
            nextText[size_t(lastText[p])] = int(i);
        lastText[p] = int(i);
    }
    if (!any)
        return page;
    QByteArray out;
    out.reserve(page.size() + count * 24);
    char number[24];
    const auto append = [&](qsizetype v) {
        const auto end = std::to_chars(number, number + sizeof number, v).ptr;
        out.append(number, end - number);
    };
    qint64 copied = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const Node &n = nodes[i];
        if (n.text || n.attributesAt < copied || n.attributesAt > page.size())
            continue;
        out.append(page.constData() + copied, n.attributesAt - copied);
        copied = n.attributesAt;
        out.append(" data-zk=\"");
        append(i);
        out.append('"');
        if (int t = firstText[size_t(i)]; t >= 0) {
            out.append(" data-zkt=\"");
            for (bool first = true; t >= 0; t = nextText[size_t(t)], first = false) {
                if (!first)
                    out.append(' ');
                append(t);
            }
            out.append('"');
        }
    }
    out.append(page.constData() + copied, page.size() - copied);
    return out;
}

} // namespace tracing
