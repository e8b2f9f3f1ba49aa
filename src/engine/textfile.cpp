#include "engine/textfile.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cerrno>
#include <iconv.h>
#include <optional>

namespace textfile {

namespace {

struct Mark {
    const char *bytes;
    int length;
    const char *encoding;
};
// Longest first: the UTF-32 marks begin like the UTF-16 ones.
constexpr Mark kMarks[] = {
    {"\xFF\xFE\x00\x00", 4, "UTF-32LE"}, {"\x00\x00\xFE\xFF", 4, "UTF-32BE"}, {"\xEF\xBB\xBF", 3, "UTF-8"},
    {"\xFF\xFE", 2, "UTF-16LE"},         {"\xFE\xFF", 2, "UTF-16BE"},
};

std::optional<QStringConverter::Encoding> unicodeForm(const QByteArray &name)
{
    const QByteArray n = name.toUpper().replace('_', '-');
    if (n == "UTF-8" || n == "UTF8")
        return QStringConverter::Utf8;
    if (n == "UTF-16LE")
        return QStringConverter::Utf16LE;
    if (n == "UTF-16BE" || n == "UTF-16")
        return QStringConverter::Utf16BE;
    if (n == "UTF-32LE")
        return QStringConverter::Utf32LE;
    if (n == "UTF-32BE" || n == "UTF-32")
        return QStringConverter::Utf32BE;
    if (n == "ISO-8859-1" || n == "LATIN1" || n == "LATIN-1")
        return QStringConverter::Latin1;
    return std::nullopt;
}

// Converts between an encoding and UTF-8 with iconv; nothing when a byte or character does not
// convert.
std::optional<QByteArray> convert(const QByteArray &bytes, const char *to, const char *from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    QByteArray in = bytes;
    char *inPtr = in.data();
    size_t inLeft = size_t(in.size());
    QByteArray out;
    char buffer[16384];
    bool ok = true;
    while (inLeft > 0) {
        char *outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, qsizetype(sizeof buffer - outLeft));
        if (r == size_t(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    if (ok) {
        // Encodings with shift states end in their initial state.
        char *outPtr = buffer;
        size_t outLeft = sizeof buffer;
        iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, qsizetype(sizeof buffer - outLeft));
    }
    iconv_close(cd);
    return ok ? std::optional<QByteArray>(out) : std::nullopt;
}

std::optional<QString> decodeAs(const QByteArray &bytes, const QByteArray &encoding)
{
    if (const auto form = unicodeForm(encoding)) {
        QStringDecoder decoder(*form, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
        const QString text = decoder.decode(bytes);
        if (decoder.hasError())
            return std::nullopt;
        return text;
    }
    const auto utf8 = convert(bytes, "UTF-8", encoding.constData());
    if (!utf8)
        return std::nullopt;
    return QString::fromUtf8(*utf8);
}

// known is cleared when the encoding is not one iconv knows: then no text can be written in it.
std::optional<QByteArray> encodeAs(const QString &text, const QByteArray &encoding, bool *known)
{
    *known = true;
    if (const auto form = unicodeForm(encoding)) {
        QStringEncoder encoder(*form, QStringConverter::Flag::Stateless);
        const QByteArray bytes = encoder.encode(text);
        if (encoder.hasError())
            return std::nullopt;
        // Latin-1 has no error for what it cannot hold; it writes '?'.
        if (*form == QStringConverter::Latin1)
            for (const QChar c : text)
                if (c.unicode() > 0xFF)
                    return std::nullopt;
        return bytes;
    }
    iconv_t cd = iconv_open(encoding.constData(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        *known = false;
        return std::nullopt;
    }
    iconv_close(cd);
    return convert(text.toUtf8(), encoding.constData(), "UTF-8");
}

// An encoding name reduced to what tells names apart: "utf_16le" and "UTF-16LE" are the same.
QByteArray nameKey(const QByteArray &name)
{
    QByteArray key = name.toUpper();
    key.replace('-', "").replace('_', "");
    return key;
}

// The Unicode form an encoding is in ("UTF8", "UTF16", "UTF32"), or empty for any other.
QByteArray unicodeFormOf(const QByteArray &name)
{
    const QByteArray key = nameKey(name);
    for (const char *form : {"UTF8", "UTF16", "UTF32"})
        if (key == form || key == QByteArray(form) + "LE" || key == QByteArray(form) + "BE")
            return form;
    return QByteArray();
}

// How a text is written once its declaration names something else than the file was read
// with: the declared encoding, a mark where the Unicode form stays what it was.
Format formatFor(const QByteArray &declared, const Format &old)
{
    Format f;
    f.lineBreak = old.lineBreak;
    f.declared = declared;
    const QByteArray oldForm = old.fallback ? QByteArray() : unicodeFormOf(old.encoding);
    if (declared.isEmpty()) {
        // Without a declaration only a mark can say the text is not UTF-8.
        if (old.byteOrderMark && (oldForm == "UTF16" || oldForm == "UTF32")) {
            f.encoding = old.encoding;
            f.byteOrderMark = true;
            return f;
        }
        f.byteOrderMark = old.byteOrderMark && oldForm == "UTF8";
        return f;
    }
    const QByteArray form = unicodeFormOf(declared);
    if (form.isEmpty()) {
        f.encoding = declared;
        return f;
    }
    if (form == "UTF8") {
        f.byteOrderMark = old.byteOrderMark && oldForm == form;
        return f;
    }
    const QByteArray wide = form == "UTF16" ? "UTF-16" : "UTF-32";
    if (nameKey(declared) == form) {
        // "UTF-16" alone leaves the byte order to the mark: the one the file had, or a new one.
        if (oldForm == form) {
            f.encoding = old.encoding;
            f.byteOrderMark = old.byteOrderMark;
        } else {
            f.encoding = wide + "LE";
            f.byteOrderMark = true;
        }
        return f;
    }
    f.encoding = wide + nameKey(declared).right(2);
    f.byteOrderMark = old.byteOrderMark && nameKey(old.encoding) == nameKey(f.encoding);
    return f;
}

QByteArray markFor(const Format &format)
{
    if (format.byteOrderMark)
        for (const Mark &m : kMarks)
            if (format.encoding.compare(m.encoding, Qt::CaseInsensitive) == 0)
                return QByteArray(m.bytes, m.length);
    return QByteArray();
}

const QRegularExpression &declarationPattern()
{
    static const QRegularExpression re(QStringLiteral(
        "^\\x{FEFF}?<\\?xml\\s+version\\s*=\\s*(['\"])[^'\"]*\\1\\s+encoding\\s*=\\s*(['\"])([A-Za-z][A-Za-z0-9._-]*)\\2"));
    return re;
}

QByteArray lineBreakOf(const QString &text)
{
    qsizetype crlf = 0, lf = 0, cr = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\r')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('\n')) {
                ++crlf;
                ++i;
            } else {
                ++cr;
            }
        } else if (text[i] == QLatin1Char('\n')) {
            ++lf;
        }
    }
    if (crlf > lf && crlf >= cr)
        return "\r\n";
    if (cr > lf && cr > crlf)
        return "\r";
    return "\n";
}

} // namespace

QString declaredEncoding(const QString &text)
{
    const QRegularExpressionMatch m = declarationPattern().match(text.left(400));
    return m.hasMatch() ? m.captured(3) : QString();
}

Decoded decode(const QByteArray &bytes)
{
    Decoded d;
    QByteArray body = bytes;
    for (const Mark &mark : kMarks)
        if (bytes.startsWith(QByteArray::fromRawData(mark.bytes, mark.length))) {
            d.format.encoding = mark.encoding;
            d.format.byteOrderMark = true;
            body = bytes.mid(mark.length);
            break;
        }
    if (!d.format.byteOrderMark) {
        // Without a mark, UTF-16 and UTF-32 show in the "<?" every declaration starts with; otherwise
        // the declaration, read as ASCII, names the encoding.
        if (bytes.startsWith(QByteArray("<\0\0\0?\0\0\0", 8)))
            d.format.encoding = "UTF-32LE";
        else if (bytes.startsWith(QByteArray("\0\0\0<\0\0\0?", 8)))
            d.format.encoding = "UTF-32BE";
        else if (bytes.startsWith(QByteArray("<\0?\0", 4)))
            d.format.encoding = "UTF-16LE";
        else if (bytes.startsWith(QByteArray("\0<\0?", 4)))
            d.format.encoding = "UTF-16BE";
        else if (const QString declared = declaredEncoding(QString::fromLatin1(bytes.left(400))); !declared.isEmpty())
            d.format.encoding = declared.toLatin1();
    }
    if (const auto text = decodeAs(body, d.format.encoding)) {
        d.text = *text;
    } else {
        d.format.fallback = true;
        d.text = QString::fromLatin1(body);
    }
    d.format.lineBreak = lineBreakOf(d.text);
    d.format.declared = declaredEncoding(d.text).toLatin1();
    return d;
}

Encoded encodeForSave(const QString &text, const Format &format)
{
    Encoded out;
    const QRegularExpressionMatch declaration = declarationPattern().match(text.left(400));
    const QByteArray declared = declaration.captured(3).toLatin1();
    out.format = declared.compare(format.declared, Qt::CaseInsensitive) == 0 ? format : formatFor(declared, format);
    out.format.declared = declared;
    // Bytes that were not what their file claimed go back as they came, one for one.
    const QByteArray encoding = out.format.fallback ? QByteArray("ISO-8859-1") : out.format.encoding;
    out.wanted = out.format.fallback || declared.isEmpty() ? encoding : declared;
    bool known = true;
    if (const auto bytes = encodeAs(text, encoding, &known)) {
        out.bytes = markFor(out.format) + *bytes;
        // What does not read back as the text is not written in it: UTF-7, for one, writes the
        // "<" of the declaration as "+ADw-", and then nothing can tell its encoding any more.
        if (decode(out.bytes).text == text) {
            out.text = text;
            return out;
        }
        known = false;
    }
    out.rewrite = known ? Rewrite::Unrepresentable : Rewrite::Unwritable;
    // The whole text goes as UTF-8, and says so.
    out.text = text;
    if (declaration.hasMatch())
        out.text.replace(declaration.capturedStart(3), declaration.capturedLength(3), QStringLiteral("UTF-8"));
    Format utf8;
    utf8.lineBreak = format.lineBreak;
    utf8.byteOrderMark = format.byteOrderMark && unicodeFormOf(format.encoding) == "UTF8";
    utf8.declared = declaration.hasMatch() ? QByteArray("UTF-8") : QByteArray();
    out.format = utf8;
    out.bytes = markFor(utf8) + out.text.toUtf8();
    return out;
}

QByteArray encode(const QString &text, Format *format, bool *rewrittenAsUtf8)
{
    const Encoded out = encodeForSave(text, *format);
    *format = out.format;
    if (rewrittenAsUtf8)
        *rewrittenAsUtf8 = out.rewrite != Rewrite::None;
    return out.bytes;
}

} // namespace textfile
