import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.StringReader;
import java.net.HttpURLConnection;
import java.net.URI;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Map;
import javax.xml.parsers.ParserConfigurationException;
import javax.xml.parsers.SAXParserFactory;
import javax.xml.transform.Source;
import javax.xml.transform.TransformerException;
import javax.xml.transform.URIResolver;
import javax.xml.transform.sax.SAXSource;
import org.xml.sax.InputSource;
import org.xml.sax.SAXException;
import org.xml.sax.XMLReader;

// Trust follows origin. A stylesheet from a file reads local files only; one from an address
// reads only from its own server, each redirect checked before it is followed. A document from
// an address reads no DTD and no external entity; a local one reads those that are local
// regular files. Nothing reads a file that is not a regular file.
final class Origin {
    private Origin() {}

    static final int MAX_FETCH_BYTES = 256 * 1024 * 1024;
    static final int MAX_REDIRECTS = 5;

    // A read the origin rules do not allow; its text is what the user is told.
    static final class Refusal extends TransformerException {
        private static final long serialVersionUID = 1L;
        Refusal(String message) { super(message); }
    }

    static String scheme(URI uri) {
        return uri.getScheme() == null ? "" : uri.getScheme().toLowerCase();
    }

    static boolean isLocal(URI uri) {
        return "file".equals(scheme(uri));
    }

    // Why reading target is not allowed to a stylesheet from stylesheet, or null when it is.
    static String refusal(URI target, URI stylesheet) {
        final String scheme = scheme(target);
        if (isLocal(stylesheet) && !"file".equals(scheme))
            return "Reading \"" + target + "\" was refused: a stylesheet from a file reads only local files.";
        if (!isLocal(stylesheet) && !(scheme.equals(scheme(stylesheet)) && sameOrigin(target, stylesheet)))
            return "Reading \"" + target + "\" was refused: a stylesheet from an address reads only from its own server.";
        return null;
    }

    static boolean sameOrigin(URI a, URI b) {
        return a.getHost() != null && a.getHost().equalsIgnoreCase(b.getHost()) && a.getPort() == b.getPort();
    }

    // A parser for a document from document: its DTD and external entities as its origin allows.
    static XMLReader reader(URI document) throws SAXException {
        final XMLReader reader;
        try {
            // The VM's own parser, without a search of the class path for another (which costs
            // a start a noticeable moment).
            final SAXParserFactory factory = SAXParserFactory.newDefaultInstance();
            factory.setNamespaceAware(true);
            reader = factory.newSAXParser().getXMLReader();
        } catch (ParserConfigurationException e) {
            throw new SAXException(e);
        }
        final boolean remote = !isLocal(document);
        if (remote) {
            reader.setFeature("http://apache.org/xml/features/nonvalidating/load-external-dtd", false);
            reader.setFeature("http://xml.org/sax/features/external-general-entities", false);
            reader.setFeature("http://xml.org/sax/features/external-parameter-entities", false);
        }
        // What is not allowed is not read, and the document is parsed without it (as a DTD that
        // cannot be loaded leaves a document well-formed).
        reader.setEntityResolver((publicId, systemId) -> {
            if (systemId == null)
                return null;
            URI target;
            try {
                target = document.resolve(systemId);
            } catch (IllegalArgumentException e) {
                target = null;
            }
            if (remote || target == null || !isLocal(target) || !isRegularFile(target)) {
                final InputSource nothing = new InputSource(new StringReader(""));
                nothing.setSystemId(systemId);
                return nothing;
            }
            return null;
        });
        return reader;
    }

    // A parser that reads nothing beyond the text it is given.
    static XMLReader closedReader() throws SAXException {
        return reader(URI.create("about:blank"));
    }

    static boolean isRegularFile(URI uri) {
        try {
            return Files.isRegularFile(Paths.get(uri));
        } catch (RuntimeException e) {
            return false;
        }
    }

    // A text the program handed over, already Unicode (UTF-8 whatever its declaration says), as
    // a source parsed by the rules of its origin.
    static Source text(byte[] utf8, String systemId) throws SAXException {
        final InputSource in = new InputSource(new StringReader(new String(utf8, StandardCharsets.UTF_8)));
        in.setSystemId(systemId);
        return new SAXSource(reader(URI.create(systemId)), in);
    }

    // The bytes at target: a local regular file, or what its server answers.
    static byte[] read(URI target, URI stylesheet) throws TransformerException {
        if (isLocal(target)) {
            final Path path;
            try {
                path = Paths.get(target);
            } catch (RuntimeException e) {
                throw new TransformerException("\"" + target + "\" is not a file Zendrik can read.");
            }
            if (!Files.isRegularFile(path))
                throw new TransformerException(Files.exists(path) ? "\"" + path + "\" is not a regular file."
                                                                  : "\"" + path + "\" does not exist.");
            try {
                return Files.readAllBytes(path);
            } catch (IOException e) {
                throw new TransformerException("\"" + path + "\" could not be read: " + e.getMessage());
            }
        }
        return fetch(target, stylesheet);
    }

    static byte[] fetch(URI target, URI stylesheet) throws TransformerException {
        URI at = target;
        for (int hop = 0; hop <= MAX_REDIRECTS; ++hop) {
            final String scheme = scheme(at);
            if (!scheme.equals("http") && !scheme.equals("https"))
                throw new Refusal("Reading \"" + at + "\" was refused: only http and https addresses are read.");
            try {
                final HttpURLConnection c = (HttpURLConnection) at.toURL().openConnection();
                c.setInstanceFollowRedirects(false);
                c.setConnectTimeout(15000);
                c.setReadTimeout(30000);
                final int code = c.getResponseCode();
                if (code >= 300 && code < 400 && c.getHeaderField("Location") != null) {
                    at = at.resolve(c.getHeaderField("Location"));
                    final String why = refusal(at, stylesheet);
                    if (why != null)
                        throw new Refusal(why);
                    continue;
                }
                if (code >= 400)
                    throw new TransformerException("Reading \"" + at + "\" failed: the server answered " + code + ".");
                try (InputStream s = c.getInputStream()) {
                    return capped(s, at);
                }
            } catch (IOException | IllegalArgumentException e) {
                throw new TransformerException("Reading \"" + at + "\" failed: " + e.getMessage());
            }
        }
        throw new TransformerException("Reading \"" + target + "\" failed: too many redirects.");
    }

    static byte[] capped(InputStream in, URI at) throws IOException, TransformerException {
        final ByteArrayOutputStream out = new ByteArrayOutputStream();
        final byte[] chunk = new byte[64 * 1024];
        for (int n; (n = in.read(chunk)) > 0;) {
            if (out.size() + n > MAX_FETCH_BYTES)
                throw new TransformerException("Reading \"" + at + "\" stopped: it is larger than 256 MB.");
            out.write(chunk, 0, n);
        }
        return out.toByteArray();
    }

    // What a stylesheet may read through doc(), xsl:include and xsl:import. Everything read
    // while compiling is recorded with the hash of its bytes.
    static final class Guard implements URIResolver {
        final URI stylesheet;
        final Map<String, String> read;

        Guard(String stylesheetId, Map<String, String> read) {
            this.stylesheet = URI.create(stylesheetId);
            this.read = read;
        }

        @Override
        public Source resolve(String href, String base) throws TransformerException {
            final URI target;
            try {
                target = (base == null || base.isEmpty() ? stylesheet : URI.create(base)).resolve(href);
            } catch (IllegalArgumentException e) {
                throw new Refusal("\"" + href + "\" is not an address Zendrik can read.");
            }
            final String why = refusal(target, stylesheet);
            if (why != null)
                throw new Refusal(why);
            final byte[] bytes = Origin.read(target, stylesheet);
            if (read != null && isLocal(target))
                read.put(target.toString(), ZendrikSaxon.hash(bytes));
            final InputSource in = new InputSource(new ByteArrayInputStream(bytes));
            in.setSystemId(target.toString());
            try {
                return new SAXSource(reader(target), in);
            } catch (SAXException e) {
                throw new TransformerException(e);
            }
        }
    }
}
