#pragma once

#include <QByteArray>
#include <QString>

// A document's text as its file holds it, and back: decoded from its byte order mark or its
// declared encoding, kept with its line endings and everything else as written, and encoded
// again the same way, so that opening and saving without an edit gives the same bytes.
namespace textfile {

struct Format {
    QByteArray encoding = "UTF-8"; // the name the bytes are in, as libxml2 and iconv know it
    bool byteOrderMark = false;
    // Line breaks new lines get: what the file uses most ("\r\n", "\n" or "\r").
    QByteArray lineBreak = "\n";
    // The bytes were not valid in the encoding they claim (or, without a claim, in UTF-8): they
    // are shown as Latin-1, which keeps every byte as it was.
    bool fallback = false;
};

struct Decoded {
    QString text;
    Format format;
};

Decoded decode(const QByteArray &bytes);

// The text in the format's encoding, with its mark. A character the encoding cannot hold makes
// the whole text UTF-8 instead, with the XML declaration (when it names an encoding) changed to
// say so; then *rewrittenAsUtf8 is set and the returned format says UTF-8.
QByteArray encode(const QString &text, Format *format, bool *rewrittenAsUtf8 = nullptr);

// The encoding an XML declaration at the start of text names, or empty.
QString declaredEncoding(const QString &text);

} // namespace textfile
