import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.EOFException;
import java.io.IOException;
import java.net.URI;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import javax.xml.transform.ErrorListener;
import javax.xml.transform.Source;
import javax.xml.transform.SourceLocator;
import javax.xml.transform.TransformerException;
import javax.xml.transform.URIResolver;
import javax.xml.transform.stream.StreamSource;
import net.sf.saxon.Configuration;
import net.sf.saxon.lib.CollectionFinder;
import net.sf.saxon.lib.Feature;
import net.sf.saxon.trans.XPathException;
import net.sf.saxon.s9api.DocumentBuilder;
import net.sf.saxon.s9api.Processor;
import net.sf.saxon.s9api.QName;
import net.sf.saxon.s9api.SaxonApiException;
import net.sf.saxon.s9api.Serializer;
import net.sf.saxon.s9api.XdmAtomicValue;
import net.sf.saxon.s9api.XdmNode;
import net.sf.saxon.s9api.XdmValue;
import net.sf.saxon.s9api.XPathCompiler;
import net.sf.saxon.s9api.Xslt30Transformer;
import net.sf.saxon.s9api.XsltCompiler;
import net.sf.saxon.s9api.XsltExecutable;

// Zendrik's XSLT 2.0/3.0 helper: a long-lived Java process running Saxon-HE for the program.
// It speaks the program's exchange over standard input and output (frames of a 4-byte
// big-endian length and a CBOR map; a hello with the version first each way) and answers
// transformation requests as the libxslt worker does, with the same error kinds.
public final class ZendrikSaxon {
    static final int PROTOCOL_VERSION = 3;
    static final int MAX_FRAME = 600 * 1024 * 1024;

    // The program's enumerations, by their numbers.
    static final int KIND_TRANSFORM = 0, KIND_XPATH = 1;
    static final int TARGET_TAB = 0, TARGET_BROWSER = 1, TARGET_CHECK = 2;
    static final int ERR_NONE = 0, ERR_PARSE_STYLESHEET = 1, ERR_PARSE_SOURCE = 2, ERR_COMPILE = 3, ERR_TRANSFORM = 4,
                     ERR_PARSE_RESULT = 5, ERR_OUT_OF_MEMORY = 9, ERR_UNAVAILABLE = 10;
    static final int SEV_ERROR = 0, SEV_WARNING = 1, SEV_INFORMATION = 2;
    static final int ORIGIN_WELLFORMEDNESS = 0, ORIGIN_COMPILATION = 1, ORIGIN_RUNTIME = 2, ORIGIN_MESSAGE = 3;

    private final Processor processor = new Processor(false);
    // Compiled stylesheets by the hash of their text and base; each keeps the hashes of the
    // files it read while compiling, so an edit of an included file compiles it again.
    // Requests run side by side, one thread each (the program hands each of its windows one at
    // a time), so the cache is used under its own lock.
    private final Map<String, Compiled> compiled = new LinkedHashMap<String, Compiled>(16, 0.75f, true) {
        @Override
        protected boolean removeEldestEntry(Map.Entry<String, Compiled> eldest) { return size() > 8; }
    };

    static final class Compiled {
        XsltExecutable executable;
        byte[] text; // the stylesheet's own
        Map<String, String> read = new HashMap<>(); // file URI -> hash of its bytes
        List<Map<String, Object>> warnings = new ArrayList<>();
    }

    // The stylesheet of the request a thread works for: what unparsed-text() and collection()
    // may read follows its origin, as doc() does.
    private static final ThreadLocal<URI> currentStylesheet = ThreadLocal.withInitial(() -> URI.create("file:///"));
    private final Evaluation evaluation = new Evaluation(processor);

    ZendrikSaxon() {
        processor.setConfigurationProperty(Feature.ALLOW_EXTERNAL_FUNCTIONS, false);
        final Configuration config = processor.getUnderlyingConfiguration();
        // unparsed-text() and json-doc() read what doc() may read, the same way: local regular
        // files, or the stylesheet's own server with each redirect checked.
        config.setUnparsedTextURIResolver((uri, encoding, c) -> {
            final String why = Origin.refusal(uri, currentStylesheet.get());
            if (why != null)
                throw new XPathException(why);
            final byte[] bytes;
            try {
                bytes = Origin.read(uri, currentStylesheet.get());
            } catch (TransformerException e) {
                final XPathException failed = new XPathException(reason(e));
                failed.setErrorCode("FOUT1170");
                throw failed;
            }
            java.nio.charset.Charset charset = java.nio.charset.StandardCharsets.UTF_8;
            try {
                if (encoding != null && !encoding.isEmpty())
                    charset = java.nio.charset.Charset.forName(encoding);
            } catch (IllegalArgumentException e) {
                final XPathException failed = new XPathException("Unknown encoding \"" + encoding + "\"");
                failed.setErrorCode("FOUT1190");
                throw failed;
            }
            int skip = 0;
            if (charset.equals(java.nio.charset.StandardCharsets.UTF_8) && bytes.length >= 3 && (bytes[0] & 0xff) == 0xEF
                && (bytes[1] & 0xff) == 0xBB && (bytes[2] & 0xff) == 0xBF)
                skip = 3; // a byte order mark is no character of the text
            return new java.io.InputStreamReader(new ByteArrayInputStream(bytes, skip, bytes.length - skip), charset);
        });
        final CollectionFinder collections = config.getCollectionFinder();
        config.setCollectionFinder((context, uri) -> {
            if (uri != null) {
                final String why = Origin.refusal(currentStylesheet.get().resolve(uri), currentStylesheet.get());
                if (why != null)
                    throw new XPathException(why);
            }
            return collections.findCollection(context, uri);
        });
    }

    public static void main(String[] args) throws IOException {
        if (args.length > 0 && args[0].equals("--warm-up")) {
            // Run once at build time with the Java VM recording the classes it loads, so that
            // every start after reads them from its archive instead of the jars.
            new ZendrikSaxon().warmUp();
            System.exit(0);
        }
        final DataInputStream in = new DataInputStream(System.in);
        final DataOutputStream out = new DataOutputStream(System.out);
        final Map<String, Object> hello = new LinkedHashMap<>();
        hello.put("hello", PROTOCOL_VERSION);
        send(out, hello);
        final Map<String, Object> theirs = receive(in);
        if (theirs == null || !Long.valueOf(PROTOCOL_VERSION).equals(theirs.get("hello")))
            System.exit(4);
        final ZendrikSaxon helper = new ZendrikSaxon();
        // The first stylesheet would otherwise pay for loading and first running the most of
        // Saxon; that is done while the user still reads the text.
        final Thread warm = new Thread(helper::warmUp, "warm-up");
        warm.setDaemon(true);
        warm.setPriority(Thread.MIN_PRIORITY);
        warm.start();
        for (;;) {
            final Map<String, Object> request = receive(in);
            if (request == null)
                System.exit(0); // the program closed the exchange: its end is ours
            // Each request on a thread of its own, with room for deep recursion: a runaway in
            // one window does not hold up another's (the program ends this helper to stop it).
            final Thread work = new Thread(null, () -> serve(helper, out, request),
                                           "request-" + number(request.get("id"), 0), 64L * 1024 * 1024);
            work.setDaemon(true);
            work.start();
        }
    }

    static void serve(ZendrikSaxon helper, DataOutputStream out, Map<String, Object> request) {
        Map<String, Object> answer;
        try {
            answer = helper.answer(request);
        } catch (OutOfMemoryError e) {
            sendQuietly(out, failed(request, ERR_OUT_OF_MEMORY, "The work needed more memory than Saxon may have."));
            System.exit(3); // the heap may be beyond use: the next request gets a fresh helper
            return;
        } catch (StackOverflowError e) {
            answer = failed(request, ERR_TRANSFORM, "The stylesheet recursed too deeply (endless recursion?).");
        } catch (RuntimeException e) {
            answer = failed(request, ERR_TRANSFORM, "Saxon failed: " + e);
        }
        sendQuietly(out, answer);
    }

    static void sendQuietly(DataOutputStream out, Map<String, Object> message) {
        try {
            send(out, message);
        } catch (IOException e) {
            System.exit(0); // the program is gone
        }
    }

    // Compiles and runs a small 3.0 stylesheet that uses what most do, and forgets it.
    void warmUp() {
        final String xsl = "<xsl:stylesheet version='3.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'"
            + " xmlns:f='urn:f' xmlns:xs='http://www.w3.org/2001/XMLSchema' expand-text='yes'>"
            + "<xsl:output method='html' version='5'/>"
            + "<xsl:function name='f:up' as='xs:string'><xsl:param name='s'/><xsl:sequence select='upper-case($s)'/></xsl:function>"
            + "<xsl:template match='/'><html><body><xsl:for-each-group select='//i' group-by='@g'>"
            + "<p>{f:up(current-grouping-key())}: {count(current-group())} {replace(string(.), '\\d', '#')}</p>"
            + "</xsl:for-each-group><xsl:variable name='m' select='map{\"a\":1}'/>"
            + "<xsl:iterate select='1 to 3'><xsl:value-of select='. + $m?a'/></xsl:iterate>"
            + "<xsl:analyze-string select='\"a1b2\"' regex='[0-9]'><xsl:matching-substring>"
            + "<b>{.}</b></xsl:matching-substring></xsl:analyze-string></body></html></xsl:template></xsl:stylesheet>";
        final String xml = "<r><i g='a'>1</i><i g='b'>2</i><i g='a'>3</i></r>";
        try {
            for (int round = 0; round < 3; ++round) {
                final XsltExecutable e = processor.newXsltCompiler().compile(
                    new StreamSource(new java.io.StringReader(xsl), "file:///warm-up.xsl"));
                final Object source = parseSource(xml.getBytes(java.nio.charset.StandardCharsets.UTF_8), "file:///warm-up.xml");
                if (!(source instanceof XdmNode))
                    return;
                final Xslt30Transformer t = e.load30();
                t.setGlobalContextItem((XdmNode) source);
                t.applyTemplates((XdmNode) source, t.newSerializer(new ByteArrayOutputStream()));
                processor.newXPathCompiler().evaluate("count(//i[@g = 'a']) || map{1:2}?1", (XdmNode) source);
            }
        } catch (SaxonApiException | RuntimeException e) {
            // Only time is lost.
        }
    }

    static Map<String, Object> receive(DataInputStream in) throws IOException {
        final int length;
        try {
            length = in.readInt();
        } catch (EOFException e) {
            return null;
        }
        if (length < 0 || length > MAX_FRAME)
            throw new IOException("a message longer than the exchange allows");
        final byte[] payload = new byte[length];
        in.readFully(payload);
        try {
            final Object value = Cbor.decode(payload);
            if (!(value instanceof Map))
                throw new IOException("a message that is no map");
            @SuppressWarnings("unchecked")
            final Map<String, Object> map = (Map<String, Object>) value;
            return map;
        } catch (Cbor.FormatException e) {
            throw new IOException("a message that could not be read: " + e.getMessage());
        }
    }

    static synchronized void send(DataOutputStream out, Map<String, Object> message) throws IOException {
        final byte[] payload = Cbor.encode(message);
        out.writeInt(payload.length);
        out.write(payload);
        out.flush();
    }

    static long number(Object value, long fallback) {
        return value instanceof Long ? (Long) value : fallback;
    }

    static String text(Object value) {
        return value instanceof String ? (String) value : "";
    }

    static byte[] bytes(Object value) {
        return value instanceof byte[] ? (byte[]) value : new byte[0];
    }

    static Map<String, Object> answerTo(Map<String, Object> request) {
        final Map<String, Object> m = new LinkedHashMap<>();
        m.put("id", number(request.get("id"), 0));
        m.put("window", number(request.get("window"), 0));
        m.put("generation", number(request.get("generation"), 0));
        m.put("kind", number(request.get("kind"), 0));
        m.put("engine", "Saxon-HE " + net.sf.saxon.Version.getProductVersion());
        return m;
    }

    static Map<String, Object> failed(Map<String, Object> request, int error, String text) {
        final Map<String, Object> m = answerTo(request);
        m.put("errorKind", error);
        m.put("errorText", text);
        m.put("ok", false);
        m.put("page", new byte[0]);
        m.put("method", "");
        m.put("encoding", new byte[0]);
        m.put("text", text);
        m.put("diagnostics", new ArrayList<Object>());
        if (number(request.get("kind"), 0) == KIND_XPATH) {
            m.put("xpath", Evaluation.result(false, text, 0, Evaluation.TYPE_NODES));
            m.put("needSource", false);
        }
        return m;
    }

    static Map<String, Object> diagnostic(int severity, int origin, String message, String file, int line, int column) {
        final Map<String, Object> d = new LinkedHashMap<>();
        d.put("severity", severity);
        d.put("origin", origin);
        d.put("message", message == null ? "" : message);
        d.put("file", file == null ? "" : file);
        d.put("line", Math.max(line, 0));
        d.put("column", Math.max(column, 0));
        return d;
    }

    // The place a processor's report names, as a problem of the kind.
    static Map<String, Object> diagnostic(int severity, int origin, TransformerException e, String fallbackFile) {
        final SourceLocator at = e.getLocator();
        String file = at == null ? null : at.getSystemId();
        if (file == null || file.isEmpty())
            file = fallbackFile;
        return diagnostic(severity, origin, reason(e), file, at == null ? 0 : at.getLineNumber(),
                          at == null ? 0 : at.getColumnNumber());
    }

    // A path or address as a URI Saxon resolves against.
    static String systemId(String base) {
        if (base == null || base.isEmpty())
            return Paths.get("").toAbsolutePath().toUri().toString();
        if (base.contains("://") || base.startsWith("file:"))
            return base;
        return Paths.get(base).toAbsolutePath().toUri().toString();
    }

    // A fingerprint of the parts' contents: two checksums the VM computes in native code (a
    // digest written in Java would take a cold helper most of a second over a large source),
    // with the lengths. The caches compare the texts themselves before they use an entry; only
    // the files a stylesheet read are told apart by fingerprint alone.
    static String hash(byte[]... parts) {
        final StringBuilder s = new StringBuilder();
        for (byte[] part : parts) {
            final java.util.zip.CRC32 crc = new java.util.zip.CRC32();
            final java.util.zip.Adler32 adler = new java.util.zip.Adler32();
            crc.update(part, 0, part.length);
            adler.update(part, 0, part.length);
            s.append(part.length).append(':').append(Long.toHexString(crc.getValue())).append(':')
                .append(Long.toHexString(adler.getValue())).append(';');
        }
        return s.toString();
    }

    static byte[] readLocal(String uri) {
        try {
            return Origin.read(URI.create(uri), URI.create(uri));
        } catch (Exception e) {
            return new byte[0];
        }
    }

    // The user's reason for a failure: a refusal of ours wherever Saxon wrapped it, or Saxon's
    // own text.
    static String reason(Throwable e) {
        for (Throwable t = e; t != null; t = t.getCause()) {
            if (t instanceof Origin.Refusal)
                return t.getMessage();
            if (t.getCause() == t)
                break;
        }
        return userText(e.getMessage() == null ? e.toString() : e.getMessage());
    }

    static String userText(String text) {
        return text != null && text.contains("xsl:result-document is disabled") ? RESULT_DOCUMENT_REFUSED : text;
    }
    static final String RESULT_DOCUMENT_REFUSED = "xsl:result-document was refused: a preview writes no files.";

    static final class Collector implements ErrorListener {
        final List<Map<String, Object>> problems = new ArrayList<>();
        final int origin;
        final String file;
        Collector(int origin, String file) {
            this.origin = origin;
            this.file = file;
        }
        // Saxon tells a static error once as an error and again as the fatal error that ends
        // the compilation: the user is told once.
        synchronized void add(Map<String, Object> problem) {
            if (!problems.contains(problem))
                problems.add(problem);
        }
        @Override
        public void warning(TransformerException e) { add(diagnostic(SEV_WARNING, origin, e, file)); }
        @Override
        public void error(TransformerException e) { add(diagnostic(SEV_ERROR, origin, e, file)); }
        @Override
        public void fatalError(TransformerException e) { add(diagnostic(SEV_ERROR, origin, e, file)); }
    }

    static String joined(List<Map<String, Object>> problems, String fallback) {
        final StringBuilder s = new StringBuilder();
        for (Map<String, Object> p : problems) {
            if (!Long.valueOf(SEV_ERROR).equals(((Number) p.get("severity")).longValue()))
                continue;
            if (s.length() > 0)
                s.append('\n');
            s.append(p.get("message"));
        }
        return s.length() > 0 ? s.toString() : fallback;
    }

    // The answer for a text that does not parse: its error, at its line, as the problem.
    static Map<String, Object> notWellFormed(Map<String, Object> request, int error, SaxonApiException e, String file) {
        final Map<String, Object> m = failed(request, error, e.getMessage());
        m.put("diagnostics", List.of(diagnostic(SEV_ERROR, ORIGIN_WELLFORMEDNESS, e.getMessage(), file, e.getLineNumber(), 0)));
        return m;
    }

    static boolean onlySpaces(byte[] source) {
        for (byte b : source)
            if (b != ' ')
                return false;
        return true;
    }

    Map<String, Object> answer(Map<String, Object> request) {
        final long kind = number(request.get("kind"), -1);
        if (kind == KIND_XPATH)
            return evaluation.answer(request, answerTo(request));
        if (kind != KIND_TRANSFORM)
            return failed(request, ERR_UNAVAILABLE, "Saxon does only transformations and XPath here.");
        final int target = (int) number(request.get("target"), TARGET_TAB);
        final byte[] stylesheet = bytes(request.get("stylesheet"));
        final String stylesheetId = systemId(text(request.get("stylesheetBase")));
        final byte[] source = bytes(request.get("source"));
        final String sourceId = systemId(text(request.get("sourceBase")));
        final List<Map<String, Object>> problems = new ArrayList<>();
        currentStylesheet.set(URI.create(stylesheetId));

        // The stylesheet: well-formed first, so that a parse error is told as one.
        final DocumentBuilder builder = processor.newDocumentBuilder();
        builder.setLineNumbering(true);
        // A stylesheet compiled before (and none of the files it read changed) is neither parsed
        // nor compiled again: a source edit costs the run only.
        Compiled program = cached(stylesheet, stylesheetId);
        // While the stylesheet compiles, the source is parsed on a thread of its own. (Sources
        // are not kept between requests: a tree kept lives into the old generation, which costs
        // a source edit more than a stylesheet edit would save.)
        java.util.concurrent.FutureTask<Object> sourceParse = null;
        if (program == null && target != TARGET_CHECK && !onlySpaces(source)) {
            sourceParse = new java.util.concurrent.FutureTask<>(() -> parseSource(source, sourceId));
            final Thread parser = new Thread(sourceParse, "source");
            parser.setDaemon(true);
            parser.start();
        }
        if (program == null) {
            // Compiled straight from the text (a tree built first would cost a cold start a
            // third more); a text that is not well-formed is told as such all the same.
            final Collector collector = new Collector(ORIGIN_COMPILATION, stylesheetId);
            try {
                program = compile(stylesheet, stylesheetId, Origin.text(stylesheet, stylesheetId), collector);
            } catch (org.xml.sax.SAXException e) {
                return failed(request, ERR_PARSE_STYLESHEET, e.getMessage());
            } catch (SaxonApiException e) {
                final org.xml.sax.SAXParseException notWellFormed = parseError(e, stylesheetId);
                if (notWellFormed != null) {
                    final Map<String, Object> m = failed(request, ERR_PARSE_STYLESHEET, notWellFormed.getMessage());
                    m.put("diagnostics", List.of(diagnostic(SEV_ERROR, ORIGIN_WELLFORMEDNESS, notWellFormed.getMessage(), stylesheetId,
                                                            notWellFormed.getLineNumber(), notWellFormed.getColumnNumber())));
                    return m;
                }
                final List<Map<String, Object>> found = collector.problems;
                final Map<String, Object> m = failed(request, ERR_COMPILE, found.isEmpty() ? e.getMessage() : joined(found, e.getMessage()));
                m.put("diagnostics", new ArrayList<Object>(found));
                return m;
            }
        }
        problems.addAll(program.warnings);
        if (target == TARGET_CHECK) {
            final Map<String, Object> m = answerTo(request);
            m.put("ok", true);
            m.put("diagnostics", new ArrayList<Object>(problems));
            return m;
        }
        if (onlySpaces(source)) {
            // Without a source the stylesheet itself is the page.
            final Map<String, Object> m = answerTo(request);
            m.put("ok", true);
            m.put("page", stylesheet);
            m.put("method", "xml");
            m.put("encoding", new byte[0]);
            m.put("diagnostics", new ArrayList<Object>(problems));
            return m;
        }
        Object parsed;
        try {
            parsed = sourceParse != null ? sourceParse.get() : parseSource(source, sourceId);
        } catch (InterruptedException | java.util.concurrent.ExecutionException e) {
            parsed = e.getCause() instanceof Error ? (Error) e.getCause() : new SaxonApiException(e);
        }
        if (parsed instanceof Error)
            throw (Error) parsed; // out of memory, say: as if it happened here
        if (parsed instanceof SaxonApiException)
            return notWellFormed(request, ERR_PARSE_SOURCE, (SaxonApiException) parsed, sourceId);
        if (parsed instanceof org.xml.sax.SAXException)
            return failed(request, ERR_PARSE_SOURCE, ((Exception) parsed).getMessage());
        final XdmNode sourceNode = (XdmNode) parsed;

        final Xslt30Transformer transformer = program.executable.load30();
        final Collector runtime = new Collector(ORIGIN_RUNTIME, stylesheetId);
        transformer.setErrorListener(runtime);
        transformer.setURIResolver(new Origin.Guard(stylesheetId, null));
        // Saxon refuses xsl:result-document itself while extension functions are off; should it
        // ever get this far, nothing is written either.
        transformer.setResultDocumentHandler(uri -> {
            throw new IllegalStateException(RESULT_DOCUMENT_REFUSED);
        });
        final List<Map<String, Object>> messages = new ArrayList<>();
        transformer.setMessageListener((content, terminate, at) -> messages.add(
            diagnostic(terminate ? SEV_ERROR : SEV_INFORMATION, ORIGIN_MESSAGE, content.getStringValue(),
                       at == null ? stylesheetId : at.getSystemId(), at == null ? 0 : at.getLineNumber(), 0)));
        final ByteArrayOutputStream page = new ByteArrayOutputStream();
        final Serializer serializer = transformer.newSerializer(page);
        try {
            transformer.setStylesheetParameters(parameters(request.get("parameters"), sourceNode));
            transformer.setGlobalContextItem(sourceNode);
            transformer.applyTemplates(sourceNode, serializer);
        } catch (SaxonApiException | IllegalStateException e) {
            problems.addAll(messages);
            problems.addAll(runtime.problems);
            String why = reason(e);
            if (e instanceof SaxonApiException && e.getCause() instanceof IllegalStateException)
                why = e.getCause().getMessage();
            // Ended by xsl:message terminate="yes": what the message says comes first.
            for (Map<String, Object> message : messages)
                if (Long.valueOf(SEV_ERROR).equals(((Number) message.get("severity")).longValue()))
                    why = message.get("message") + "\n" + why;
            if (runtime.problems.isEmpty())
                problems.add(diagnostic(SEV_ERROR, ORIGIN_RUNTIME, why, stylesheetId,
                                        e instanceof SaxonApiException ? ((SaxonApiException) e).getLineNumber() : 0, 0));
            final Map<String, Object> m = failed(request, ERR_TRANSFORM, why);
            m.put("diagnostics", new ArrayList<Object>(problems));
            return m;
        }
        problems.addAll(runtime.problems);
        problems.addAll(messages);
        final Map<String, Object> m = answerTo(request);
        final String method = serializer.getOutputProperty(Serializer.Property.METHOD);
        final String encoding = serializer.getOutputProperty(Serializer.Property.ENCODING);
        if (target == TARGET_TAB) {
            // The Preview tab shows well-formed XML only.
            try {
                // The result's DOCTYPE is not followed: nothing is read to check it.
                final org.xml.sax.InputSource in = new org.xml.sax.InputSource(new ByteArrayInputStream(page.toByteArray()));
                in.setSystemId(sourceId);
                builder.build(new javax.xml.transform.sax.SAXSource(Origin.closedReader(), in));
            } catch (org.xml.sax.SAXException e) {
                final Map<String, Object> f = failed(request, ERR_PARSE_RESULT, e.getMessage());
                f.put("diagnostics", new ArrayList<Object>(problems));
                return f;
            } catch (SaxonApiException e) {
                final Map<String, Object> f = failed(request, ERR_PARSE_RESULT, e.getMessage() + "\nIf you are generating HTML try using the Preview HTML In Browser option \nas valid HTML could result in invalid XML.");
                f.put("diagnostics", new ArrayList<Object>(problems));
                return f;
            }
        }
        m.put("ok", true);
        m.put("page", page.toByteArray());
        m.put("method", method == null ? "xml" : method);
        m.put("encoding", encoding == null ? new byte[0] : encoding.getBytes());
        m.put("diagnostics", new ArrayList<Object>(problems));
        return m;
    }

    // The source document, or what kept it from parsing (an exception or an error).
    Object parseSource(byte[] source, String sourceId) {
        try {
            final DocumentBuilder builder = processor.newDocumentBuilder();
            builder.setLineNumbering(true);
            return builder.build(Origin.text(source, sourceId));
        } catch (SaxonApiException | org.xml.sax.SAXException e) {
            return e;
        } catch (Error e) {
            return e;
        }
    }

    // The compiled stylesheet for this text and base, when none of the files it read changed.
    Compiled cached(byte[] stylesheet, String stylesheetId) {
        final String key = hash(stylesheet, stylesheetId.getBytes());
        final Compiled known;
        synchronized (compiled) {
            known = compiled.get(key);
        }
        if (known == null || !java.util.Arrays.equals(known.text, stylesheet))
            return null;
        for (Map.Entry<String, String> e : known.read.entrySet()) {
            if (!e.getValue().equals(hash(readLocal(e.getKey())))) {
                synchronized (compiled) {
                    compiled.remove(key);
                }
                return null;
            }
        }
        return known;
    }

    // The parser's report when the text at systemId (not a file it includes) is not well-formed.
    static org.xml.sax.SAXParseException parseError(Throwable e, String systemId) {
        for (Throwable t = e; t != null && t.getCause() != t; t = t.getCause())
            if (t instanceof org.xml.sax.SAXParseException) {
                final org.xml.sax.SAXParseException p = (org.xml.sax.SAXParseException) t;
                return p.getSystemId() == null || p.getSystemId().equals(systemId) ? p : null;
            }
        return null;
    }

    Compiled compile(byte[] stylesheet, String stylesheetId, javax.xml.transform.Source text, Collector collector) throws SaxonApiException {
        final String key = hash(stylesheet, stylesheetId.getBytes());
        final Compiled fresh = new Compiled();
        fresh.text = stylesheet;
        final XsltCompiler compiler = processor.newXsltCompiler();
        compiler.setErrorListener(collector);
        compiler.setURIResolver(new Origin.Guard(stylesheetId, fresh.read));
        fresh.executable = compiler.compile(text);
        fresh.warnings.addAll(collector.problems);
        synchronized (compiled) {
            compiled.put(key, fresh);
        }
        return fresh;
    }

    // The Parameters panel's values: a string as it is, an XPath value evaluated against the source.
    Map<QName, XdmValue> parameters(Object list, XdmNode source) throws SaxonApiException {
        final Map<QName, XdmValue> out = new HashMap<>();
        if (!(list instanceof List))
            return out;
        final XPathCompiler xpath = processor.newXPathCompiler();
        for (Object entry : (List<?>) list) {
            if (!(entry instanceof List) || ((List<?>) entry).size() < 3)
                continue;
            final List<?> p = (List<?>) entry;
            final String name = text(p.get(0));
            final String value = text(p.get(1));
            final boolean isXPath = Boolean.TRUE.equals(p.get(2));
            final QName qname = QName.fromClarkName(name.startsWith("{") ? name : "{}" + name);
            out.put(qname, isXPath ? xpath.evaluate(value, source) : new XdmAtomicValue(value));
        }
        return out;
    }
}
