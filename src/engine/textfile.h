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
    // The encoding the XML declaration named when the bytes were read or last written, empty
    // for none. While the text's declaration still names it, the text is written as it was read.
    QByteArray declared;
};

struct Decoded {
    QString text;
    Format format;
};

Decoded decode(const QByteArray &bytes);

// Why a text went out as UTF-8 rather than in the encoding its declaration names.
enum class Rewrite {
    None,
    Unrepresentable, // the encoding cannot hold some character of the text
    Unwritable,      // the encoding is unknown, or its bytes would not read back as the text
};

struct Encoded {
    QByteArray bytes;
    QString text;  // what the bytes hold: the text, with its declaration changed after a rewrite
    Format format; // how they were written, to write the next save the same way
    Rewrite rewrite = Rewrite::None;
    QByteArray wanted; // the encoding the text asked for, named in the note after a rewrite
};

// The text as its file is to hold it. The encoding follows the text's XML declaration: while it
// names what it named when the file was read, the file's own encoding, mark and fallback stay;
// otherwise the declared encoding is written, with a mark only where the Unicode form stays the
// same (and always for a plain "UTF-16" or "UTF-32"). Without a declaration the text is UTF-8,
// unless it was UTF-16 or UTF-32 with a mark. When the encoding cannot hold the text, or its
// bytes would not read back as the text, the whole text goes as UTF-8 instead, with the
// declaration changed to say so.
Encoded encodeForSave(const QString &text, const Format &format);

// encodeForSave for callers that only need the bytes: format becomes what was written, and
// *rewrittenAsUtf8 says whether the text had to go as UTF-8.
QByteArray encode(const QString &text, Format *format, bool *rewrittenAsUtf8 = nullptr);

// The encoding an XML declaration at the start of text names, or empty.
QString declaredEncoding(const QString &text);

} // namespace textfile
