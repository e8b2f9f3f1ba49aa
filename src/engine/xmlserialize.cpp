#include "engine/xmlinternal.h"

using namespace xmlinternal;

namespace xmlinternal {

// The encoding named in an XML declaration, or empty when there is none.
QString declaredEncoding(QStringView head)
{
    static const QRegularExpression re(QStringLiteral(
        "^\\x{FEFF}?<\\?xml\\s+version\\s*=\\s*(['\"])[^'\"]*\\1\\s+encoding\\s*=\\s*(['\"])([A-Za-z][A-Za-z0-9._-]*)\\2"));
    const QRegularExpressionMatch m = re.match(head.left(400).toString());
    return m.hasMatch() ? m.captured(3) : QString();
}

// The encoding bytes are in, judged the way an XML parser does: byte order mark or the
// declaration, UTF-8 otherwise.
QByteArray detectEncoding(const QByteArray &bytes)
{
    const auto b = [&](int i) { return i < bytes.size() ? uchar(bytes[i]) : 0x100; };
    if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF)
        return "UTF-8";
    if ((b(0) == 0xFF && b(1) == 0xFE) || (b(0) == '<' && b(1) == 0 && b(2) == '?' && b(3) == 0))
        return "UTF-16LE";
    if ((b(0) == 0xFE && b(1) == 0xFF) || (b(0) == 0 && b(1) == '<' && b(2) == 0 && b(3) == '?'))
        return "UTF-16BE";
    const QString declared = declaredEncoding(QString::fromLatin1(bytes.left(400)));
    return declared.isEmpty() ? QByteArray("UTF-8") : declared.toLatin1();
}

// Decodes bytes in any encoding libxml2 knows. Qt handles the Unicode forms and Latin-1 itself;
// everything else goes through libxml2's converters so both sides agree on what a name means.
QString decode(const QByteArray &bytes, const QByteArray &encoding)
{
    if (encoding.isEmpty() || bytes.isEmpty())
        return QString::fromUtf8(bytes);
    if (auto enc = QStringConverter::encodingForName(encoding.constData())) {
        QStringDecoder dec(*enc);
        return dec.decode(bytes);
    }
    xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(encoding.constData());
    if (!handler)
        return QString::fromUtf8(bytes);
    xmlBufferPtr in = xmlBufferCreateSize(size_t(bytes.size()) + 1);
    xmlBufferPtr out = xmlBufferCreateSize(size_t(bytes.size()) * 2 + 16);
    xmlBufferAdd(in, reinterpret_cast<const xmlChar *>(bytes.constData()), int(bytes.size()));
    bool ok = true;
    while (xmlBufferLength(in) > 0) {
        const int before = xmlBufferLength(in);
        if (xmlCharEncInFunc(handler, out, in) < 0 || xmlBufferLength(in) == before) {
            ok = false;
            break;
        }
    }
    QString text = ok ? QString::fromUtf8(reinterpret_cast<const char *>(xmlBufferContent(out)),
                                          xmlBufferLength(out))
                      : QString::fromLatin1(bytes);
    xmlBufferFree(in);
    xmlBufferFree(out);
    xmlCharEncCloseFunc(handler);
    return text;
}

// Line n (1-based) of a text, without its line break.
QString lineOf(const QString &text, int n)
{
    if (n < 1)
        return QString();
    qsizetype start = 0;
    for (int i = 1; i < n; ++i) {
        start = text.indexOf(QLatin1Char('\n'), start);
        if (start < 0)
            return QString();
        ++start;
    }
    qsizetype end = text.indexOf(QLatin1Char('\n'), start);
    QString line = text.mid(start, end < 0 ? -1 : end - start);
    while (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

} // namespace xmlinternal

namespace {

bool isUtf8Name(const xmlChar *enc)
{
    return !enc || !xmlStrcasecmp(enc, BAD_CAST "UTF-8") || !xmlStrcasecmp(enc, BAD_CAST "UTF8");
}

// Whether every character of utf8 can be written in encoding.
bool encodable(const QByteArray &utf8, const char *encoding)
{
    iconv_t cd = iconv_open(encoding, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    QByteArray in = utf8;
    char *inPtr = in.data();
    size_t inLeft = size_t(in.size());
    char buffer[16384];
    bool ok = true;
    while (inLeft > 0) {
        char *outPtr = buffer;
        size_t outLeft = sizeof buffer;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == size_t(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    return ok;
}

// The XML declaration exactly as libxml2's serializer writes it; encoding overrides the
// document's own when given.
QByteArray declarationFor(xmlDocPtr doc, const char *encoding = nullptr)
{
    QByteArray decl = "<?xml version=\"";
    decl += doc->version ? reinterpret_cast<const char *>(doc->version) : "1.0";
    decl += '"';
    if (!encoding && doc->encoding)
        encoding = reinterpret_cast<const char *>(doc->encoding);
    if (encoding) {
        decl += " encoding=\"";
        decl += encoding;
        decl += '"';
    }
    if (doc->standalone == 0)
        decl += " standalone=\"no\"";
    else if (doc->standalone == 1)
        decl += " standalone=\"yes\"";
    decl += "?>\n";
    return decl;
}

// libxml2 marks a document that had no declaration with standalone -1; writing one in would
// change the user's text.
bool hasDeclaration(xmlDocPtr doc)
{
    return doc->standalone != -1;
}

bool dump(xmlDocPtr doc, const char *encoding, int options, QByteArray *out)
{
    xmlBufferPtr buf = xmlBufferCreate();
    if (!buf)
        return false;
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buf, encoding, options);
    if (!save) {
        xmlBufferFree(buf);
        return false;
    }
    const long written = xmlSaveDoc(save, doc);
    const int closed = xmlSaveClose(save);
    const bool ok = written >= 0 && closed >= 0;
    if (ok)
        *out = QByteArray(reinterpret_cast<const char *>(xmlBufferContent(buf)), xmlBufferLength(buf));
    xmlBufferFree(buf);
    return ok;
}

} // namespace

QString XmlDocument::xml() const
{
    if (!d->doc)
        return QString();
    xmlDocPtr doc = d->doc.get();
    ErrorCapture capture;
    QByteArray body;
    if (!dump(doc, "UTF-8", XML_SAVE_NO_DECL, &body))
        return QString();
    // The declaration keeps the encoding the document declares, although this text is Unicode:
    // it says how the file will be written when saved.
    if (hasDeclaration(doc))
        body.prepend(declarationFor(doc));
    return QString::fromUtf8(body);
}

QByteArray XmlDocument::toBytes() const
{
    QByteArray out;
    if (!d->doc)
        return out;
    xmlDocPtr doc = d->doc.get();
    ErrorCapture capture;
    if (isUtf8Name(doc->encoding)) {
        // Handing libxml2 "UTF-8" would write encoding="UTF-8" into a declaration that had none.
        if (!dump(doc, "UTF-8", XML_SAVE_NO_DECL, &out))
            return QByteArray();
        if (hasDeclaration(doc))
            out.prepend(declarationFor(doc));
        return out;
    }
    // A character the declared encoding cannot hold would have to become a character
    // reference, which is not allowed everywhere (comments, processing instructions, names), so
    // such a document is written in UTF-8 and its declaration says so: no character is lost.
    QByteArray utf8;
    if (!dump(doc, "UTF-8", XML_SAVE_NO_DECL, &utf8))
        return QByteArray();
    if (!encodable(utf8, reinterpret_cast<const char *>(doc->encoding))) {
        utf8.prepend(declarationFor(doc, "UTF-8"));
        return utf8;
    }
    const int options = hasDeclaration(doc) ? 0 : XML_SAVE_NO_DECL;
    if (!dump(doc, reinterpret_cast<const char *>(doc->encoding), options, &out))
        return QByteArray();
    // Some encodings iconv writes cannot be read back by any XML parser: in UTF-7 the
    // declaration itself becomes "+ADw?xml". Such a document is written in UTF-8 instead.
    XmlDocument probe;
    if (!probe.loadBytes(out)) {
        utf8.prepend(declarationFor(doc, "UTF-8"));
        return utf8;
    }
    return out;
}

bool XmlDocument::save(const QString &path, QString *errorText) const
{
    const auto fail = [&](const QString &why) {
        if (errorText)
            *errorText = why;
        return false;
    };
    if (!d->doc)
        return fail(QStringLiteral("Cannot save \"%1\": there is no parsed document to save").arg(path));
    const QByteArray bytes = toBytes();
    if (bytes.isEmpty())
        return fail(QStringLiteral("Cannot save \"%1\": the document cannot be written in its declared encoding \"%2\"")
                        .arg(path, fromXml(d->doc->encoding)));
    // Nothing replaces the old file that would not open again as the document it was.
    const auto reopens = [](const QByteArray &written, QString *why) {
        XmlDocument probe;
        if (probe.loadBytes(written))
            return true;
        *why = QStringLiteral("the written file would not open again (%1)")
                   .arg(probe.parseError().reason.section(QLatin1Char('\n'), 0, 0));
        return false;
    };
    return FileIO::writeFileAtomically(path, bytes, errorText, reopens);
}
