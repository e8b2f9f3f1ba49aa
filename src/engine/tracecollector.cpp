#include "engine/tracecollector.h"

#include "engine/xmlinternal.h"

#include <libxslt/xsltutils.h>

#include <QHash>
#include <QMultiHash>
#include <QPair>
#include <QUrl>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <optional>

namespace xmlinternal {

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

QString qualifiedName(const xmlNode *node)
{
    const QString local = QString::fromUtf8(reinterpret_cast<const char *>(node->name));
    if (node->ns && node->ns->prefix)
        return QString::fromUtf8(reinterpret_cast<const char *>(node->ns->prefix)) + QLatin1Char(':') + local;
    return local;
}

// A result tree fragment: libxslt names the documents it makes for variables so.
bool isFragment(const xmlDoc *doc)
{
    return doc && doc->name && std::strncmp(doc->name, " fake node libxslt", 18) == 0;
}

QString fileOf(const xmlChar *url)
{
    if (!url)
        return QString();
    const QByteArray bytes(reinterpret_cast<const char *>(url));
    const QUrl parsed = QUrl::fromEncoded(bytes);
    if (parsed.isLocalFile())
        return parsed.toLocalFile();
    return QString::fromUtf8(bytes);
}

} // namespace

thread_local TraceCollector::Impl *t_collector = nullptr;

struct TraceCollector::Impl {
    int flags = 0;
    xsltTransformContextPtr ctxt = nullptr;
    tracing::Report report;

    QHash<const xmlDoc *, int> files;
    QHash<const xmlNode *, int> instructions;
    QHash<const xsltTemplate *, int> templates;
    QHash<const xmlNode *, int> sources;
    std::vector<const xmlNode *> sourceNodes; // by index, while the run lives

    // What makes output at each of libxslt's template depths: the instruction the hook saw
    // last there, its template and source node, or a built-in rule. Output made after a
    // template returns belongs to what was current at the depth returned to.
    struct Made {
        int instruction = -1;
        const xmlNode *source = nullptr;
        bool builtin = false;
        bool leaf = false; // a built-in rule given a text or comment
    };
    std::vector<Made> atDepth;
    void setCurrent(int depth, const Made &m)
    {
        if (depth < 0)
            return;
        if (size_t(depth) >= atDepth.size())
            atDepth.resize(size_t(depth) + 1);
        atDepth[size_t(depth)] = m;
    }
    // Result nodes created so far: instruction and source node (an index: a node of a
    // variable's fragment may be gone by the end of the run).
    struct Tag {
        int instruction = -1;
        int source = -1;
    };
    QHash<const xmlNode *, Tag> made;

    // xsl:copy-of of a variable's tree says nothing of what it copies, but libxml2 gives a copied
    // element the line of the original. So each element the run makes (for a variable's tree or
    // for the result, which the run may yet put in a variable) is numbered in its line, which
    // nothing reads there, and kept by name and number while it lives; a copy takes the tag of
    // the latest such original, and its text children take the tags of the original's text
    // children, in order. The result's bytes do not depend on lines.
    using ElementKey = QPair<QByteArray, unsigned short>;
    QMultiHash<ElementKey, const xmlNode *> numberedElements;
    QHash<const xmlNode *, std::vector<Tag>> copiedTexts;
    unsigned short serial = 0;
    static ElementKey keyOf(const xmlNode *n) { return {QByteArray(reinterpret_cast<const char *>(n->name)), n->line}; }

    bool copiedFromFragment(xmlNodePtr node, const Made &m)
    {
        if (node->type != XML_ELEMENT_NODE || node->line == 0 || m.instruction < 0
            || report.instructions[m.instruction].name != QLatin1String("xsl:copy-of"))
            return false;
        const auto candidates = numberedElements.values(keyOf(node));
        for (const xmlNode *original : candidates) { // the latest first
            const auto it = made.constFind(original);
            if (it == made.constEnd())
                continue;
            made.insert(node, *it);
            std::vector<Tag> texts;
            for (const xmlNode *c = original->children; c; c = c->next)
                if (c->type == XML_TEXT_NODE)
                    texts.push_back(made.value(c, Tag{m.instruction, -1}));
            if (!texts.empty())
                copiedTexts.insert(node, std::move(texts));
            return true;
        }
        return false;
    }

    // Templates under way, innermost last. A template fires once in xsltApplyXSLTTemplate and
    // its body starts in the sequence constructor right after, with the same element: until
    // the body has started it is pending.
    struct Activation {
        int templ = -1; // -1: a built-in rule
        int depth = 0;  // ctxt->templNr when it fired
        qint64 start = 0;
        qint64 children = 0;
        bool pending = false;
        const xsltTemplate *compiled = nullptr;
        const xmlNode *node = nullptr; // the node it fired for
    };
    std::vector<Activation> stack;
    QHash<int, int> activeCount; // template → activations under way
    struct Costs {
        qint64 calls = 0, total = 0, own = 0;
    };
    QHash<int, Costs> costs;
    qint64 runStart = 0;

    xmlRegisterNodeFunc oldRegister = nullptr;
    xmlDeregisterNodeFunc oldDeregister = nullptr;
    xmlGenericErrorFunc oldDebug = nullptr;
    void *oldDebugCtx = nullptr;
    unsigned long traceCode = XSLT_TRACE_PROCESS_NODE;
    bool attached = false;

    int fileIndex(const xmlDoc *doc, const QString &path)
    {
        auto it = files.constFind(doc);
        if (it != files.constEnd())
            return *it;
        const int i = int(report.files.size());
        report.files << path;
        files.insert(doc, i);
        return i;
    }

    int fileOfNode(const xmlNode *node)
    {
        if (!node || !node->doc)
            return -1;
        return fileIndex(node->doc, fileOf(node->doc->URL));
    }

    int instructionIndex(const xmlNode *cur)
    {
        auto it = instructions.constFind(cur);
        if (it != instructions.constEnd())
            return *it;
        tracing::Instruction in;
        in.file = fileOfNode(cur);
        in.line = int(xmlGetLineNo(const_cast<xmlNode *>(cur)));
        in.name = cur->type == XML_ELEMENT_NODE ? qualifiedName(cur) : QStringLiteral("#text");
        const int i = int(report.instructions.size());
        report.instructions << in;
        instructions.insert(cur, i);
        return i;
    }

    int templateIndex(const xsltTemplate *templ)
    {
        if (!templ)
            return -1;
        auto it = templates.constFind(templ);
        if (it != templates.constEnd())
            return *it;
        tracing::Template t;
        if (templ->elem) {
            t.file = fileOfNode(templ->elem);
            t.line = int(xmlGetLineNo(templ->elem));
        }
        const auto text = [](const xmlChar *s) { return s ? QString::fromUtf8(reinterpret_cast<const char *>(s)) : QString(); };
        t.match = text(templ->match);
        t.name = text(templ->name);
        t.mode = text(templ->mode);
        const int i = int(report.templates.size());
        report.templates << t;
        templates.insert(templ, i);
        return i;
    }

    int sourceIndex(const xmlNode *node)
    {
        // A namespace node of XPath's is a copy that lives no longer than its node-set: it
        // stands for the element it belongs to.
        if (node && node->type == XML_NAMESPACE_DECL) {
            const auto *owner = reinterpret_cast<const xmlNode *>(reinterpret_cast<const xmlNs *>(node)->next);
            node = owner && owner->type == XML_ELEMENT_NODE ? owner : nullptr;
        }
        if (!node)
            return -1;
        auto it = sources.constFind(node);
        if (it != sources.constEnd())
            return *it;
        const int i = int(sourceNodes.size());
        sourceNodes.push_back(node);
        sources.insert(node, i);
        return i;
    }

    // The template whose body is running, from the activations: the hook is handed no template
    // in nested sequence constructors (an xsl:element's content).
    int runningTemplate() const
    {
        for (auto it = stack.rbegin(); it != stack.rend(); ++it)
            if (!it->pending)
                return it->templ;
        return -1;
    }

    void close(qint64 now)
    {
        Activation a = stack.back();
        stack.pop_back();
        const qint64 total = now - a.start;
        Costs &c = costs[a.templ];
        c.own += std::max<qint64>(0, total - a.children);
        if (--activeCount[a.templ] == 0)
            c.total += total;
        if (!stack.empty())
            stack.back().children += total;
    }

    static bool isWithin(const xmlNode *node, const xmlNode *ancestor)
    {
        if (!ancestor)
            return false;
        for (const xmlNode *n = node; n; n = n->parent)
            if (n == ancestor)
                return true;
        return false;
    }

    // libxslt says that no template matched before it makes the node current, and names the
    // node only: the built-in rule fires for real at the next thing the run does.
    struct PendingBuiltin {
        QByteArray name; // empty: the document
        int depth = 0;
        qint64 start = 0;
    };
    std::optional<PendingBuiltin> pendingBuiltin;

    void resolveBuiltin()
    {
        if (!pendingBuiltin)
            return;
        const PendingBuiltin p = *pendingBuiltin;
        pendingBuiltin.reset();
        const xmlNode *node = ctxt->node;
        const bool document = node && (node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE);
        const bool matches = node
                             && (p.name.isEmpty() ? document
                                                  : !document && node->name && p.name == reinterpret_cast<const char *>(node->name));
        fire(-1, nullptr, p.depth, matches ? node : nullptr, p.start);
    }

    // Ends what the run has left: templates whose body is over at libxslt's depth, and built-in
    // rules that the current node has moved out of.
    void settle(int depth, const xmlNode *node, bool firing, qint64 now)
    {
        while (!stack.empty()) {
            const Activation &top = stack.back();
            bool over;
            if (top.compiled)
                over = firing ? top.depth >= depth : (top.pending || depth <= top.depth);
            else if (firing)
                over = top.depth > depth || (top.depth == depth && !isWithin(node, top.node));
            else
                over = depth <= top.depth;
            if (!over)
                break;
            close(now);
        }
    }

    // A template (compiled) or a built-in rule (templ -1) fires for node.
    void fire(int templ, const xsltTemplate *compiled, int depth, const xmlNode *node, qint64 now)
    {
        settle(depth, node, true, now);
        Activation a;
        a.templ = templ;
        a.compiled = compiled;
        a.depth = depth;
        a.start = now;
        a.pending = compiled != nullptr;
        a.node = node;
        ++costs[templ].calls;
        ++activeCount[templ];
        int shown = 0;
        for (const Activation &s : stack)
            shown += s.compiled ? 0 : 1;
        if (flags & tracing::Trace) {
            if (report.events.size() < tracing::kMaxEvents)
                report.events << tracing::Event{depth + shown, templ, sourceIndex(node)};
            else
                ++report.eventsCut;
        }
        stack.push_back(a);
    }

    void onInstruction(xmlNodePtr cur, xmlNodePtr node, xsltTemplatePtr templ)
    {
        resolveBuiltin();
        if (templ && cur == templ->elem) {
            if (!stack.empty() && stack.back().pending && stack.back().compiled == templ
                && ctxt->templNr == stack.back().depth + 1) {
                stack.back().pending = false;
                setCurrent(ctxt->templNr, Made{-1, node});
                return;
            }
            fire(templateIndex(templ), templ, ctxt->templNr, node, nowNs());
            return;
        }
        settle(ctxt->templNr, node, false, nowNs());
        const int i = instructionIndex(cur);
        tracing::Instruction &in = report.instructions[i];
        if (in.runs++ == 0)
            in.templ = runningTemplate();
        setCurrent(ctxt->templNr, Made{i, node});
    }

    void onNoTemplate(const QByteArray &name)
    {
        resolveBuiltin();
        // Text and comments reach the built-in rule all the time; it copies them and calls
        // nothing, so only its calls are counted.
        const bool leaf = name == "text" || name == "comment";
        if (leaf)
            ++costs[-1].calls;
        else
            pendingBuiltin = PendingBuiltin{name, ctxt->templNr, nowNs()};
        setCurrent(ctxt->templNr, Made{-1, nullptr, true, leaf});
    }

    void onCreated(xmlNodePtr node)
    {
        if (node->type != XML_ELEMENT_NODE && node->type != XML_TEXT_NODE)
            return;
        resolveBuiltin();
        const int depth = ctxt->templNr;
        Made m = depth >= 0 && size_t(depth) < atDepth.size() ? atDepth[size_t(depth)] : Made{};
        // A built-in rule copies the text of the node it processes. Given a text node, libxslt
        // has made that current; an element's rule copies its text children without doing so.
        if (m.builtin) {
            m.source = ctxt->node;
            if (!m.leaf)
                for (auto it = stack.rbegin(); it != stack.rend(); ++it)
                    if (!it->compiled && it->depth == depth) {
                        m.source = it->node;
                        break;
                    }
        }
        const bool copied = copiedFromFragment(node, m);
        // The run's own elements only (xsl:element makes one in no document at first): those of
        // documents it reads keep their lines.
        if (node->type == XML_ELEMENT_NODE && (!node->doc || node->doc == ctxt->output || isFragment(node->doc))) {
            serial = serial == 0xffff ? 1 : serial + 1;
            node->line = serial;
            numberedElements.insert(keyOf(node), node);
        }
        if (copied)
            return;
        // Output made with a node of a variable's tree as the current node (a stylesheet that
        // builds in a variable and then works over it) stands for the source node the variable's
        // node was made for; a copy of such a node (by xsl:copy, or a text by the built-in
        // rule) is that node, made where it was.
        if (const auto it = made.constFind(m.source); it != made.constEnd()) {
            const bool copy = (m.builtin && m.leaf)
                              || (m.instruction >= 0 && report.instructions[m.instruction].name == QLatin1String("xsl:copy"));
            made.insert(node, Tag{copy ? it->instruction : m.instruction, it->source});
            return;
        }
        made.insert(node, Tag{m.instruction, sourceIndex(m.source)});
    }

    void onFreed(xmlNodePtr node)
    {
        made.remove(node);
        if (node->type == XML_ELEMENT_NODE && node->line != 0)
            numberedElements.remove(keyOf(node), node);
        copiedTexts.remove(node);
        // A node of a variable's fragment may be current; once freed its address means nothing.
        auto it = sources.find(node);
        if (it != sources.end()) {
            sourceNodes[*it] = nullptr;
            sources.erase(it);
        }
    }

    // Sibling positions of source nodes, counted once per parent.
    QHash<const xmlNode *, int> positions;
    QHash<const xmlNode *, bool> severalOfName;

    // Siblings are counted by kind and, for elements, by expanded name.
    static QByteArray siblingKey(const xmlNode *c)
    {
        switch (c->type) {
        case XML_ELEMENT_NODE: {
            const QByteArray local(reinterpret_cast<const char *>(c->name));
            return c->ns && c->ns->href ? QByteArray(reinterpret_cast<const char *>(c->ns->href)) + '}' + local : local;
        }
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            return QByteArrayLiteral("#text");
        case XML_COMMENT_NODE:
            return QByteArrayLiteral("#comment");
        case XML_PI_NODE:
            return QByteArrayLiteral("#pi");
        default:
            return QByteArray();
        }
    }

    void countSiblings(const xmlNode *parent)
    {
        QHash<QByteArray, int> count;
        std::vector<std::pair<const xmlNode *, QByteArray>> keyed;
        for (const xmlNode *c = parent->children; c; c = c->next) {
            QByteArray key = siblingKey(c);
            if (key.isEmpty())
                continue;
            positions.insert(c, ++count[key]);
            keyed.emplace_back(c, std::move(key));
        }
        for (const auto &[c, key] : keyed)
            severalOfName.insert(c, count.value(key) > 1);
    }

    QString stepOf(const xmlNode *node)
    {
        if (node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE)
            return QString();
        if (node->type == XML_ATTRIBUTE_NODE)
            return QLatin1Char('@') + qualifiedName(node);
        if (node->parent && !positions.contains(node))
            countSiblings(node->parent);
        QString step = node->type == XML_ELEMENT_NODE ? qualifiedName(node)
                       : node->type == XML_COMMENT_NODE ? QStringLiteral("comment()")
                       : node->type == XML_PI_NODE ? QStringLiteral("processing-instruction()")
                                                   : QStringLiteral("text()");
        if (severalOfName.value(node))
            step += QStringLiteral("[%1]").arg(positions.value(node));
        return step;
    }
};

namespace {

void debuggerHandler(xmlNodePtr cur, xmlNodePtr node, xsltTemplatePtr templ, xsltTransformContextPtr ctxt)
{
    TraceCollector::Impl *c = t_collector;
    if (!c || ctxt != c->ctxt || !cur)
        return;
    c->onInstruction(cur, node, templ);
}

int debuggerAddCall(xsltTemplatePtr, xmlNodePtr)
{
    return 0; // nothing to drop
}

void debuggerDropCall() {}

void debugMessage(void *, const char *msg, ...)
{
    TraceCollector::Impl *c = t_collector;
    static const char kNoTemplate[] = "xsltProcessOneNode: no template found for ";
    if (!c || std::strncmp(msg, kNoTemplate, sizeof kNoTemplate - 1) != 0)
        return;
    const char *rest = msg + sizeof kNoTemplate - 1;
    QByteArray name;
    if (std::strncmp(rest, "%s", 2) == 0) {
        va_list ap;
        va_start(ap, msg);
        const char *s = va_arg(ap, const char *);
        va_end(ap);
        name = s ? QByteArray(s) : QByteArray();
    } else if (rest[0] != '/') {
        // "text", "comment": what the rule was given, in the message itself.
        name = QByteArray(rest).trimmed();
    }
    c->onNoTemplate(name);
}

void nodeCreated(xmlNodePtr node)
{
    if (TraceCollector::Impl *c = t_collector)
        c->onCreated(node);
}

void nodeFreed(xmlNodePtr node)
{
    if (TraceCollector::Impl *c = t_collector)
        c->onFreed(node);
}

} // namespace

TraceCollector::TraceCollector(int flags, const _xmlDoc *mainDoc, const QString &mainFile)
    : d(std::make_unique<Impl>())
{
    d->flags = flags;
    d->report.flags = flags;
    d->fileIndex(mainDoc, mainFile);
}

TraceCollector::~TraceCollector()
{
    detach();
}

void TraceCollector::attach(_xsltTransformContext *ctxt)
{
    static const bool hooked = [] {
        void *callbacks[3] = {reinterpret_cast<void *>(&debuggerHandler), reinterpret_cast<void *>(&debuggerAddCall),
                              reinterpret_cast<void *>(&debuggerDropCall)};
        return xsltSetDebuggerCallbacks(3, callbacks) == 0;
    }();
    if (!hooked)
        return;
    d->ctxt = ctxt;
    // Only this context runs under the debugger; the library's global switch stays off.
    ctxt->debugStatus = XSLT_DEBUG_RUN;
    ctxt->traceCode = &d->traceCode;
    d->oldDebug = xsltGenericDebug;
    d->oldDebugCtx = xsltGenericDebugContext;
    xsltSetGenericDebugFunc(nullptr, &debugMessage);
    if (d->flags & tracing::Map) {
        d->oldRegister = xmlRegisterNodeDefault(&nodeCreated);
        d->oldDeregister = xmlDeregisterNodeDefault(&nodeFreed);
    }
    t_collector = d.get();
    d->runStart = nowNs();
    d->attached = true;
}

void TraceCollector::detach()
{
    if (!d->attached)
        return;
    d->attached = false;
    d->resolveBuiltin();
    const qint64 end = nowNs();
    while (!d->stack.empty())
        d->close(end);
    d->report.runNs = end - d->runStart;
    t_collector = nullptr;
    if (d->flags & tracing::Map) {
        xmlRegisterNodeDefault(d->oldRegister);
        xmlDeregisterNodeDefault(d->oldDeregister);
    }
    xsltSetGenericDebugFunc(d->oldDebugCtx, d->oldDebug);
    d->ctxt->debugStatus = XSLT_DEBUG_NONE;
    d->ctxt->traceCode = nullptr;
}

namespace {

bool isRawTextElement(const xmlNode *node)
{
    return node && node->type == XML_ELEMENT_NODE && node->name
           && (xmlStrcasecmp(node->name, BAD_CAST "script") == 0 || xmlStrcasecmp(node->name, BAD_CAST "style") == 0);
}

} // namespace

tracing::Report TraceCollector::finish(_xmlDoc *result, _xsltStylesheet *style, const QByteArray &plain)
{
    detach();
    Impl &c = *d;
    tracing::Report &report = c.report;

    if ((c.flags & tracing::Map) && result) {
        // The result in document order: elements, and text that is more than spaces.
        struct Walked {
            xmlNodePtr node;
            int parent;
        };
        std::vector<Walked> walked;
        std::vector<std::pair<xmlNodePtr, int>> todo; // node, parent index
        for (xmlNodePtr n = result->last; n; n = n->prev)
            todo.push_back({n, -1});
        while (!todo.empty()) {
            auto [n, parent] = todo.back();
            todo.pop_back();
            if (n->type == XML_TEXT_NODE) {
                if (xmlIsBlankNode(n) || (n->parent && isRawTextElement(n->parent)))
                    continue;
            } else if (n->type != XML_ELEMENT_NODE) {
                continue;
            }
            if (walked.size() >= size_t(tracing::kMaxNodes)) {
                ++report.nodesCut;
                if (n->type == XML_ELEMENT_NODE)
                    for (xmlNodePtr k = n->last; k; k = k->prev)
                        todo.push_back({k, -1});
                continue;
            }
            const int self = int(walked.size());
            walked.push_back({n, parent});
            if (n->type == XML_ELEMENT_NODE)
                for (xmlNodePtr k = n->last; k; k = k->prev)
                    todo.push_back({k, self});
        }
        for (auto it = c.copiedTexts.constBegin(); it != c.copiedTexts.constEnd(); ++it) {
            size_t k = 0;
            for (const xmlNode *t = it.key()->children; t && k < it->size(); t = t->next)
                if (t->type == XML_TEXT_NODE)
                    c.made.insert(t, (*it)[k++]);
        }
        report.nodes.reserve(qsizetype(walked.size()));
        for (const Walked &w : walked) {
            tracing::Node node;
            node.text = w.node->type == XML_TEXT_NODE;
            node.parent = w.parent;
            const auto it = c.made.constFind(w.node);
            if (it != c.made.constEnd()) {
                node.instruction = it->instruction;
                node.templ = it->instruction >= 0 ? report.instructions[it->instruction].templ : -1;
                node.source = it->source;
            }
            report.nodes << node;
        }

        // Where each lies in the bytes: write the result again with a mark on each (an
        // attribute first in an element's start tag, a private-use character and the node's
        // number before a text), and find the marks.
        std::vector<xmlAttrPtr> added;
        std::vector<std::pair<xmlNodePtr, xmlChar *>> swapped;
        for (size_t i = 0; i < walked.size(); ++i) {
            xmlNodePtr n = walked[i].node;
            const QByteArray number = QByteArray::number(qulonglong(i));
            if (n->type == XML_ELEMENT_NODE) {
                xmlAttrPtr a = xmlNewProp(n, BAD_CAST "data-zk", BAD_CAST number.constData());
                if (!a)
                    continue;
                // First among the attributes, so that the start tag is found by its name.
                if (n->properties != a) {
                    if (a->prev)
                        a->prev->next = nullptr;
                    a->prev = nullptr;
                    a->next = n->properties;
                    n->properties->prev = a;
                    n->properties = a;
                }
                added.push_back(a);
            } else {
                const QByteArray marked = "\xEE\x80\x80" + number + "\xEE\x80\x81" + QByteArray(reinterpret_cast<const char *>(n->content));
                swapped.push_back({n, n->content});
                n->content = xmlStrndup(BAD_CAST marked.constData(), int(marked.size()));
            }
        }
        xmlChar *buf = nullptr;
        int len = 0;
        const bool written = xsltSaveResultToString(&buf, &len, result, style) == 0;
        const QByteArray markedBytes = written && buf ? QByteArray(reinterpret_cast<const char *>(buf), len) : QByteArray();
        xmlFree(buf);
        for (auto &[n, content] : swapped) {
            xmlFree(n->content);
            n->content = content;
        }
        for (xmlAttrPtr a : added)
            xmlRemoveProp(a);
        if (written)
            tracing::placeNodes(markedBytes, plain, report.nodes, report.nodesCut == 0);
    }

    // Source nodes: only the ones the map and the trace refer to (nodes made for variables
    // that did not reach the result refer to many more), with their ancestors, each parent
    // before its children.
    QHash<const xmlNode *, int> placed;
    int fragment = -1;
    const auto place = [&](int old) {
        const xmlNode *n = old >= 0 ? c.sourceNodes[size_t(old)] : nullptr;
        if (old < 0)
            return -1;
        if (!n || isFragment(n->doc)) {
            // A node of a variable's tree (or one gone with it): no path leads there.
            if (fragment < 0) {
                fragment = int(report.sources.size());
                report.sources << tracing::SourceNode{-1, 0, QStringLiteral("(a variable's tree)")};
            }
            return fragment;
        }
        std::vector<const xmlNode *> chain;
        int parent = -1;
        for (const xmlNode *k = n; k; k = k->parent) {
            if (const auto it = placed.constFind(k); it != placed.constEnd()) {
                parent = *it;
                break;
            }
            chain.push_back(k);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            const xmlNode *k = *it;
            const xmlNode *lined = k->type == XML_ATTRIBUTE_NODE ? k->parent : k;
            const bool document = lined->type == XML_DOCUMENT_NODE || lined->type == XML_HTML_DOCUMENT_NODE;
            report.sources << tracing::SourceNode{parent, document ? 0 : int(xmlGetLineNo(const_cast<xmlNode *>(lined))), c.stepOf(k)};
            parent = int(report.sources.size() - 1);
            placed.insert(k, parent);
        }
        return placed.value(n);
    };
    for (tracing::Node &node : report.nodes)
        node.source = place(node.source);
    for (tracing::Event &e : report.events)
        e.source = place(e.source);

    for (auto it = c.costs.constBegin(); it != c.costs.constEnd(); ++it)
        if (it.key() >= 0 && it.key() < report.templates.size())
            report.templates[it.key()].calls = it->calls;
    if (c.flags & tracing::Profile) {
        for (auto it = c.costs.constBegin(); it != c.costs.constEnd(); ++it)
            report.profile << tracing::ProfileRow{it.key(), it->calls, it->total, it->own};
        std::sort(report.profile.begin(), report.profile.end(),
                  [](const tracing::ProfileRow &a, const tracing::ProfileRow &b) { return a.templ < b.templ; });
    }
    return std::move(report);
}

} // namespace xmlinternal
