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

std::optional<QByteArray> encodeAs(const QString &text, const QByteArray &encoding)
{
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
    return convert(text.toUtf8(), encoding.constData(), "UTF-8");
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
    static const QRegularExpression re(QStringLiteral(
        "^\\x{FEFF}?<\\?xml\\s+version\\s*=\\s*(['\"])[^'\"]*\\1\\s+encoding\\s*=\\s*(['\"])([A-Za-z][A-Za-z0-9._-]*)\\2"));
    const QRegularExpressionMatch m = re.match(text.left(400));
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
        // Without a mark, UTF-16 shows in the "<?" every declaration starts with; otherwise
        // the declaration, read as ASCII, names the encoding.
        if (bytes.startsWith(QByteArray("<\0?\0", 4)))
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
    return d;
}

QByteArray encode(const QString &text, Format *format, bool *rewrittenAsUtf8)
{
    if (rewrittenAsUtf8)
        *rewrittenAsUtf8 = false;
    const QByteArray encoding = format->fallback ? QByteArray("ISO-8859-1") : format->encoding;
    QByteArray mark;
    if (format->byteOrderMark)
        for (const Mark &m : kMarks)
            if (encoding.compare(m.encoding, Qt::CaseInsensitive) == 0)
                mark = QByteArray(m.bytes, m.length);
    if (const auto bytes = encodeAs(text, encoding))
        return mark + *bytes;
    // Some character does not fit: the whole text goes as UTF-8, and says so.
    QString utf8Text = text;
    const QString declared = declaredEncoding(text);
    if (!declared.isEmpty()) {
        const qsizetype at = text.left(400).indexOf(declared);
        utf8Text.replace(at, declared.size(), QStringLiteral("UTF-8"));
    }
    format->encoding = "UTF-8";
    format->fallback = false;
    if (rewrittenAsUtf8)
        *rewrittenAsUtf8 = true;
    return (format->byteOrderMark ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + utf8Text.toUtf8();
}

} // namespace textfile
