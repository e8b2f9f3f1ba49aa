import java.net.URI;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import net.sf.saxon.s9api.Axis;
import net.sf.saxon.s9api.DocumentBuilder;
import net.sf.saxon.s9api.Processor;
import net.sf.saxon.s9api.QName;
import net.sf.saxon.s9api.SaxonApiException;
import net.sf.saxon.s9api.XPathCompiler;
import net.sf.saxon.s9api.XPathSelector;
import net.sf.saxon.s9api.XdmAtomicValue;
import net.sf.saxon.s9api.XdmItem;
import net.sf.saxon.s9api.XdmNode;
import net.sf.saxon.s9api.XdmNodeKind;
import net.sf.saxon.s9api.XdmSequenceIterator;
import net.sf.saxon.s9api.XdmValue;

// The XPath bar's expressions in XPath 3.1. Each window's parsed source stays here between
// evaluations; the program sends the text again only when it changed or this helper no longer
// has it. Results are any sequence: nodes with their place in the source, atomic values with
// their type, maps, arrays and functions as text.
final class Evaluation {
    // Row kinds and result types by the program's numbers.
    static final int ROW_ELEMENT = 0, ROW_ATTRIBUTE = 1, ROW_TEXT = 2, ROW_COMMENT = 3, ROW_PI = 4, ROW_NAMESPACE = 5,
                     ROW_DOCUMENT = 6, ROW_ITEM = 7;
    static final int TYPE_NODES = 0, TYPE_NUMBER = 1, TYPE_STRING = 2, TYPE_BOOLEAN = 3, TYPE_SEQUENCE = 4;
    static final int SUMMARY_CHARS = 200;

    static final class Held {
        long key;
        String base;
        XdmNode document;
        String text;
        int[] lineStarts;
        String error; // the source did not parse
    }

    private final Processor processor;
    private final Map<Long, Held> held = new HashMap<>();

    Evaluation(Processor processor) {
        this.processor = processor;
    }

    // The window went: so does its source.
    void forget(long window) {
        synchronized (held) {
            held.remove(window);
        }
    }

    Map<String, Object> answer(Map<String, Object> request, Map<String, Object> m) {
        final long window = ZendrikSaxon.number(request.get("window"), 0);
        final long key = ZendrikSaxon.number(request.get("sourceKey"), 0);
        final String base = ZendrikSaxon.systemId(ZendrikSaxon.text(request.get("sourceBase")));
        Held source;
        if (request.containsKey("source")) {
            source = parse(ZendrikSaxon.bytes(request.get("source")), base);
            source.key = key;
            synchronized (held) {
                held.put(window, source);
            }
        } else {
            synchronized (held) {
                source = held.get(window);
            }
            if (source == null || source.key != key || !source.base.equals(base)) {
                m.put("needSource", true);
                m.put("xpath", result(false, "", 0, TYPE_NODES));
                return m;
            }
        }
        m.put("needSource", false);
        if (source.error != null) {
            m.put("xpath", result(false, source.error, 0, TYPE_NODES));
            return m;
        }
        final int maxRows = (int) Math.max(0, Math.min(1000000, ZendrikSaxon.number(request.get("maxRows"), 1000)));
        final long maxValue = ZendrikSaxon.number(request.get("maxValueChars"), Long.MAX_VALUE);
        final String expression = ZendrikSaxon.text(request.get("expression"));
        final XdmValue value;
        try {
            final XPathCompiler compiler = processor.newXPathCompiler();
            compiler.setLanguageVersion("3.1");
            compiler.setBaseURI(URI.create(base));
            declareNamespaces(compiler, source.document, request.get("namespaces"));
            final XPathSelector selector = compiler.compile(expression).load();
            selector.setContextItem(source.document);
            value = selector.evaluate();
        } catch (SaxonApiException | RuntimeException e) {
            m.put("xpath", result(false, ZendrikSaxon.reason(e), 0, TYPE_NODES));
            return m;
        }
        m.put("xpath", rows(source, value, maxRows, maxValue));
        return m;
    }

    Held parse(byte[] bytes, String base) {
        final Held h = new Held();
        h.base = base;
        h.text = new String(bytes, java.nio.charset.StandardCharsets.UTF_8);
        final List<Integer> starts = new ArrayList<>();
        starts.add(0);
        for (int i = 0; i < h.text.length(); ++i)
            if (h.text.charAt(i) == '\n')
                starts.add(i + 1);
        h.lineStarts = starts.stream().mapToInt(Integer::intValue).toArray();
        try {
            final DocumentBuilder builder = processor.newDocumentBuilder();
            builder.setLineNumbering(true);
            h.document = builder.build(Origin.text(bytes, base));
        } catch (SaxonApiException | org.xml.sax.SAXException e) {
            h.error = e.getMessage();
        }
        return h;
    }

    // The source's own prefixes first, then the stylesheet's, which win. An empty prefix is
    // left out: an unprefixed name in the bar means no namespace, as in XPath 1.0.
    static void declareNamespaces(XPathCompiler compiler, XdmNode document, Object pairs) {
        for (XdmSequenceIterator<XdmNode> it = document.axisIterator(Axis.CHILD); it.hasNext();) {
            final XdmNode root = it.next();
            if (root.getNodeKind() != XdmNodeKind.ELEMENT)
                continue;
            for (XdmSequenceIterator<XdmNode> ns = root.axisIterator(Axis.NAMESPACE); ns.hasNext();) {
                final XdmNode n = ns.next();
                final String prefix = n.getNodeName() == null ? "" : n.getNodeName().getLocalName();
                if (!prefix.isEmpty())
                    compiler.declareNamespace(prefix, n.getStringValue());
            }
        }
        if (!(pairs instanceof List))
            return;
        for (Object p : (List<?>) pairs) {
            if (!(p instanceof List) || ((List<?>) p).size() < 2)
                continue;
            final String prefix = ZendrikSaxon.text(((List<?>) p).get(0));
            if (!prefix.isEmpty())
                compiler.declareNamespace(prefix, ZendrikSaxon.text(((List<?>) p).get(1)));
        }
    }

    static Map<String, Object> result(boolean ok, String error, int total, int type) {
        final Map<String, Object> r = new LinkedHashMap<>();
        r.put("ok", ok);
        r.put("error", error == null ? "" : error);
        r.put("errorColumn", 0);
        r.put("total", total);
        r.put("type", type);
        r.put("value", "");
        r.put("valueLength", 0);
        r.put("valueType", "");
        r.put("nodes", new ArrayList<Object>());
        return r;
    }

    Map<String, Object> rows(Held source, XdmValue value, int maxRows, long maxValue) {
        final int size = value.size();
        if (size == 1 && value.itemAt(0).isAtomicValue()) {
            final XdmAtomicValue atom = (XdmAtomicValue) value.itemAt(0);
            final String type = typeName(atom);
            final Map<String, Object> r = result(true, "", 1, type.equals("xs:boolean") ? TYPE_BOOLEAN
                                                                 : isNumeric(type)         ? TYPE_NUMBER
                                                                                           : TYPE_STRING);
            final String s = atom.getStringValue();
            r.put("value", maxValue >= 0 && s.length() > maxValue ? s.substring(0, (int) maxValue) : s);
            r.put("valueLength", (long) s.length());
            r.put("valueType", type);
            return r;
        }
        boolean nodes = true;
        for (int i = 0; i < size && nodes; ++i)
            nodes = value.itemAt(i) instanceof XdmNode;
        final Map<String, Object> r = result(true, "", size, nodes ? TYPE_NODES : TYPE_SEQUENCE);
        final List<Object> out = new ArrayList<>();
        for (int i = 0; i < Math.min(size, maxRows); ++i)
            out.add(row(source, value.itemAt(i)));
        r.put("nodes", out);
        return r;
    }

    static boolean isNumeric(String type) {
        return Arrays.asList("xs:integer", "xs:decimal", "xs:double", "xs:float").contains(type)
            || type.endsWith("Integer") || type.endsWith(":int") || type.endsWith(":long") || type.endsWith(":short")
            || type.endsWith(":byte");
    }

    static String typeName(XdmAtomicValue atom) {
        final QName name = atom.getTypeName();
        return "http://www.w3.org/2001/XMLSchema".equals(name.getNamespaceURI()) ? "xs:" + name.getLocalName()
                                                                               : name.getClarkName();
    }

    // Whitespace runs become one space, and a long text is cut.
    static String summary(String s) {
        String t = s.trim().replaceAll("\\s+", " ");
        return t.length() > SUMMARY_CHARS ? t.substring(0, SUMMARY_CHARS) + "\u2026" : t;
    }

    static List<Object> row(int kind, int line, int column, int length, String text, String type) {
        return new ArrayList<Object>(Arrays.asList((long) kind, (long) line, (long) column, (long) length, text, type));
    }

    List<Object> row(Held source, XdmItem item) {
        if (!(item instanceof XdmNode)) {
            final String type = item.isAtomicValue() ? typeName((XdmAtomicValue) item)
                                : item instanceof net.sf.saxon.s9api.XdmMap ? "map(*)"
                                : item instanceof net.sf.saxon.s9api.XdmArray ? "array(*)"
                                                                              : "function(*)";
            final String text = item.isAtomicValue() ? item.getStringValue() : item.toString();
            return row(ROW_ITEM, 0, 0, 0, summary(text), type);
        }
        final XdmNode node = (XdmNode) item;
        final int line = Math.max(0, node.getLineNumber());
        switch (node.getNodeKind()) {
        case ELEMENT:
            return elementRow(source, node);
        case ATTRIBUTE:
            return row(ROW_ATTRIBUTE, Math.max(0, node.getParent().getLineNumber()), 0, 0,
                       node.getNodeName() + "=\"" + summary(node.getStringValue()) + "\"", "");
        case NAMESPACE: {
            final String prefix = node.getNodeName() == null ? "" : node.getNodeName().getLocalName();
            return row(ROW_NAMESPACE, Math.max(0, node.getParent().getLineNumber()), 0, 0,
                       (prefix.isEmpty() ? "xmlns" : "xmlns:" + prefix) + "=\"" + node.getStringValue() + "\"", "");
        }
        case COMMENT:
            return row(ROW_COMMENT, line, 0, 0, summary(node.getStringValue()), "");
        case PROCESSING_INSTRUCTION:
            return row(ROW_PI, line, 0, 0, summary(node.getNodeName().getLocalName() + " " + node.getStringValue()), "");
        case DOCUMENT:
            return row(ROW_DOCUMENT, 0, 0, 0, "/", "");
        default:
            return row(ROW_TEXT, line, 0, 0, summary(node.getStringValue()), "");
        }
    }

    // An element's start tag as written: the parser gives the line and column where the tag
    // ends, so it is found by looking back from there.
    static List<Object> elementRow(Held source, XdmNode node) {
        final String name = node.getNodeName().toString();
        final int line = node.getLineNumber();
        final int column = node.getColumnNumber();
        String text = "<" + name + ">";
        int rowLine = Math.max(0, line), rowColumn = 0, length = 0;
        if (line >= 1 && line <= source.lineStarts.length && column >= 1) {
            final int end = Math.min(source.text.length(), source.lineStarts[line - 1] + column - 1);
            final int start = source.text.lastIndexOf("<" + name, Math.max(0, end - 1));
            final int close = start < 0 ? -1 : source.text.indexOf('>', start);
            if (start >= 0 && close >= 0) {
                int startLine = Arrays.binarySearch(source.lineStarts, start);
                if (startLine < 0)
                    startLine = -startLine - 2;
                rowLine = startLine + 1;
                rowColumn = start - source.lineStarts[startLine] + 1;
                length = close + 1 - start;
                text = summary(source.text.substring(start, Math.min(close + 1, start + 4096)));
            }
        }
        for (XdmSequenceIterator<XdmNode> it = node.axisIterator(Axis.CHILD); it.hasNext();) {
            final XdmNode first = it.next();
            if (first.getNodeKind() == XdmNodeKind.TEXT) {
                final String content = summary(first.getStringValue());
                if (!content.isEmpty())
                    text = summary(text + " " + content);
            }
            break;
        }
        return row(ROW_ELEMENT, rowLine, rowColumn, length, text, "");
    }
}
