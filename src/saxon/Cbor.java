import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

// The part of CBOR (RFC 8949) the program's exchange uses: integers, byte and text strings,
// arrays, maps with text keys, booleans, null and doubles. Definite lengths only, as Qt writes.
final class Cbor {
    private Cbor() {}

    static final class FormatException extends Exception {
        private static final long serialVersionUID = 1L;
        FormatException(String message) { super(message); }
    }

    // Decoding.
    static Object decode(byte[] bytes) throws FormatException {
        final Reader r = new Reader(bytes);
        final Object value = r.item(0);
        if (r.at != bytes.length)
            throw new FormatException("trailing bytes after the message");
        return value;
    }

    private static final class Reader {
        final byte[] b;
        int at = 0;
        Reader(byte[] bytes) { b = bytes; }

        int next() throws FormatException {
            if (at >= b.length)
                throw new FormatException("the message ends early");
            return b[at++] & 0xff;
        }

        long argument(int info) throws FormatException {
            if (info < 24)
                return info;
            int n = info == 24 ? 1 : info == 25 ? 2 : info == 26 ? 4 : info == 27 ? 8 : -1;
            if (n < 0)
                throw new FormatException("indefinite or reserved length");
            long v = 0;
            for (int i = 0; i < n; ++i)
                v = (v << 8) | next();
            return v;
        }

        int length(int info) throws FormatException {
            final long n = argument(info);
            if (n < 0 || n > b.length - at)
                throw new FormatException("a length beyond the message");
            return (int) n;
        }

        Object item(int depth) throws FormatException {
            if (depth > 64)
                throw new FormatException("nested too deeply");
            final int head = next();
            final int major = head >> 5, info = head & 31;
            switch (major) {
            case 0: return argument(info);
            case 1: return -1 - argument(info);
            case 2: {
                final int n = length(info);
                final byte[] out = java.util.Arrays.copyOfRange(b, at, at + n);
                at += n;
                return out;
            }
            case 3: {
                final int n = length(info);
                final String s = new String(b, at, n, StandardCharsets.UTF_8);
                at += n;
                return s;
            }
            case 4: {
                final long n = argument(info);
                if (n > b.length - at)
                    throw new FormatException("an array longer than the message");
                final List<Object> list = new ArrayList<>();
                for (long i = 0; i < n; ++i)
                    list.add(item(depth + 1));
                return list;
            }
            case 5: {
                final long n = argument(info);
                if (n > b.length - at)
                    throw new FormatException("a map longer than the message");
                final Map<String, Object> map = new LinkedHashMap<>();
                for (long i = 0; i < n; ++i) {
                    final Object k = item(depth + 1);
                    map.put(String.valueOf(k), item(depth + 1));
                }
                return map;
            }
            case 6:
                argument(info); // a tag: the value it marks stands for itself here
                return item(depth + 1);
            default:
                if (info == 20) return Boolean.FALSE;
                if (info == 21) return Boolean.TRUE;
                if (info == 22 || info == 23) return null;
                if (info == 27) return Double.longBitsToDouble(argument(info));
                if (info == 26) return (double) Float.intBitsToFloat((int) argument(info));
                throw new FormatException("an unsupported simple value");
            }
        }
    }

    // Encoding.
    static byte[] encode(Object value) {
        final ByteArrayOutputStream out = new ByteArrayOutputStream();
        write(out, value);
        return out.toByteArray();
    }

    private static void head(ByteArrayOutputStream out, int major, long n) {
        final int m = major << 5;
        if (n < 24) {
            out.write(m | (int) n);
        } else if (n < 0x100) {
            out.write(m | 24);
            out.write((int) n);
        } else if (n < 0x10000) {
            out.write(m | 25);
            out.write((int) (n >> 8));
            out.write((int) n);
        } else if (n < 0x100000000L) {
            out.write(m | 26);
            for (int s = 24; s >= 0; s -= 8)
                out.write((int) (n >> s));
        } else {
            out.write(m | 27);
            for (int s = 56; s >= 0; s -= 8)
                out.write((int) (n >> s));
        }
    }

    @SuppressWarnings("unchecked")
    private static void write(ByteArrayOutputStream out, Object v) {
        if (v == null) {
            out.write(0xf6);
        } else if (v instanceof Boolean) {
            out.write((Boolean) v ? 0xf5 : 0xf4);
        } else if (v instanceof Integer || v instanceof Long) {
            final long n = ((Number) v).longValue();
            if (n >= 0)
                head(out, 0, n);
            else
                head(out, 1, -1 - n);
        } else if (v instanceof Double) {
            out.write(0xfb);
            final long bits = Double.doubleToLongBits((Double) v);
            for (int s = 56; s >= 0; s -= 8)
                out.write((int) (bits >> s));
        } else if (v instanceof byte[]) {
            final byte[] b = (byte[]) v;
            head(out, 2, b.length);
            out.write(b, 0, b.length);
        } else if (v instanceof String) {
            final byte[] b = ((String) v).getBytes(StandardCharsets.UTF_8);
            head(out, 3, b.length);
            out.write(b, 0, b.length);
        } else if (v instanceof List) {
            final List<Object> list = (List<Object>) v;
            head(out, 4, list.size());
            for (Object o : list)
                write(out, o);
        } else if (v instanceof Map) {
            final Map<String, Object> map = (Map<String, Object>) v;
            head(out, 5, map.size());
            for (Map.Entry<String, Object> e : map.entrySet()) {
                write(out, e.getKey());
                write(out, e.getValue());
            }
        } else {
            write(out, v.toString());
        }
    }
}
