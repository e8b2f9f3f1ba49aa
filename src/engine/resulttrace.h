#pragma once

#include <QByteArray>
#include <QCborMap>
#include <QList>
#include <QString>
#include <QStringList>

// Where a transformation's output came from, recorded while it runs: which instruction made each
// element and text of the result and which source node was current then (the map), which
// templates fired in what order (the trace), and what each template cost (the profile). A plain
// record of tables that refer to each other by index, so that either processor can fill it and
// it crosses the worker's pipe as it is.
namespace tracing {

// What a run records, besides its result.
enum Flag {
    Map = 1,
    Trace = 2,
    Profile = 4,
};

// The most result nodes mapped and trace events kept; the rest are counted.
inline constexpr int kMaxNodes = 100000;
inline constexpr int kMaxEvents = 100000;

// An instruction that made output: a literal result element, xsl:element, xsl:value-of, text
// written in the stylesheet...
struct Instruction {
    int file = -1;  // into Report::files
    int line = 0;   // the line its start tag ends on (where the parser reports an element)
    QString name;   // as written: "p", "xsl:value-of"; "#text" for text in the stylesheet
    qint64 runs = 0; // how often it ran
    int templ = -1;  // the template it lies in, -1 outside any (a global variable's)
    bool operator==(const Instruction &) const = default;
};

// A template rule or named template that ran.
struct Template {
    int file = -1;
    int line = 0;
    QString match, name, mode;
    qint64 calls = 0; // how often it fired
    bool operator==(const Template &) const = default;
};

// A source node that was current when output was made or a template fired, or an ancestor of
// one: each holds its step from its parent, so that a path is told once for all its nodes.
// Parents come before their children in Report::sources.
struct SourceNode {
    int parent = -1; // -1 for the document, and for a node whose tree is gone
    int line = 0;    // 0 when the node has none (the document)
    QString step;    // "section[2]", "@id", "text()"; empty for the document
    bool operator==(const SourceNode &) const = default;
};

// An element or text of the result, in document order.
struct Node {
    bool text = false;
    int parent = -1;      // the element it lies in, -1 at the top
    int instruction = -1; // what made it; -1 for a built-in rule's copy, or when not known
    int templ = -1;       // the instruction's template; -1 in a built-in rule or outside any
    int source = -1;      // the source node current then
    // Where it lies in the result's bytes, -1 when not known; an element's extent runs from its
    // start tag to the end of its end tag. attributesAt is where an element's start tag can
    // take an attribute: after its name and namespace declarations.
    qint64 offset = -1;
    qint64 length = 0;
    qint64 attributesAt = -1;
    bool operator==(const Node &) const = default;
};

// A template firing; templ -1 is a built-in rule.
struct Event {
    int depth = 0;
    int templ = -1;
    int source = -1;
    bool operator==(const Event &) const = default;
};

// A template's share of the run. Times in nanoseconds: total includes the templates it called
// (a recursive template counts once), own does not. templ -1 holds the built-in rules' calls.
struct ProfileRow {
    int templ = -1;
    qint64 calls = 0;
    qint64 totalNs = 0;
    qint64 ownNs = 0;
    bool operator==(const ProfileRow &) const = default;
};

struct Report {
    int flags = 0; // what was recorded
    QStringList files; // paths or URLs; 0 is the main stylesheet
    QList<Instruction> instructions;
    QList<Template> templates;
    QList<SourceNode> sources;
    QList<Node> nodes;
    qint64 nodesCut = 0; // result nodes beyond kMaxNodes, not mapped
    QList<Event> events;
    qint64 eventsCut = 0;
    QList<ProfileRow> profile;
    qint64 runNs = 0;
    bool operator==(const Report &) const = default;

    bool isEmpty() const { return flags == 0; }
    QCborMap toCbor() const;
    static Report fromCbor(const QCborMap &map);

    // A template's label: its match pattern, else its name, with its mode: "section (mode toc)".
    QString templateLabel(int templ) const;
    // A source node's path, "/article/section[2]/title", and its name as written ("title";
    // empty for the document and for text).
    QString sourcePath(int source) const;
    QString sourceName(int source) const;
};

// The bytes of a result as the rendered view gets them: each mapped element carries its index in
// data-zk, and one with mapped text in it lists the text's indexes, in order, in data-zkt.
QByteArray annotatedPage(const QByteArray &page, const Report &report);

// Scans a result serialized with markers (each mapped element with a first attribute
// data-zk="i", each mapped text headed by U+E000 i U+E001, raw or as a character reference)
// and sets every node's offset, length and attributesAt in the result written without them.
// Returns false, leaving offsets unknown, when the two do not line up.
bool placeNodes(const QByteArray &marked, const QByteArray &plain, QList<Node> &nodes, bool complete);

} // namespace tracing
