#pragma once

#include "engine/resulttrace.h"

#include "engine/diagnostic.h"
#include "engine/stylesheetparams.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <memory>

// An XML document held by libxml2, with the result of the last operation on it.
//
// Parsing never touches the network, loads no external DTD, substitutes no entities and keeps
// libxml2's default limits, so hostile input (entity bombs, absurd nesting) fails cleanly.
// Errors are collected per operation and never printed.
class XmlDocument
{
public:
    // What went wrong in the last parse, load or transformation. code is 0 on success.
    struct ParseError {
        int code = 0;    // libxml2's error code, or -1 for a failure the XSLT processor reports without one
        QString reason;  // one or more lines, each ending in "\n"
        int line = 0;    // 1-based, 0 when unknown
        int linepos = 0; // 1-based column within that line, 0 when unknown
        QString srcText; // the text of the line where the error was found
    };

    XmlDocument();
    ~XmlDocument();
    XmlDocument(const XmlDocument &) = delete;
    XmlDocument &operator=(const XmlDocument &) = delete;

    // Parses text that is already Unicode, whatever its XML declaration says about encoding.
    // baseUrl (a local path or URL) is where relative references in the document resolve.
    bool loadXML(const QString &text, const QString &baseUrl = QString());
    // The same for Unicode text already encoded as UTF-8, as an editor holds it.
    bool loadXMLUtf8(const QByteArray &utf8, const QString &baseUrl = QString());
    // Whether the text would load with loadXMLUtf8, with parseError() as that would set it, but
    // without building the tree: a tree takes about ten times its text's size. Nothing is
    // loaded afterwards.
    bool checkUtf8(const QByteArray &utf8, const QString &baseUrl = QString());
    // Parses bytes as they came from a file or the network; the declaration decides the encoding.
    bool loadBytes(const QByteArray &bytes, const QString &baseUrl = QString());
    // Reads and parses a local file.
    bool load(const QString &path);

    bool isLoaded() const;
    // The parsed tree, owned by this document; null when not loaded. For work that only reads
    // it, such as evaluating XPath expressions.
    struct _xmlDoc *tree() const;
    const ParseError &parseError() const { return m_error; }

    // The whole document as one string, as the parser writes it.
    QString xml() const;
    // The document encoded as it would be saved (its declared encoding, or UTF-8).
    QByteArray toBytes() const;
    // Writes the document atomically: on failure the previous file is left as it was.
    // On failure returns false and sets errorText.
    bool save(const QString &path, QString *errorText) const;

    // Transforms source with this document as an XSLT 1.0 stylesheet. The stylesheet may read
    // documents but may not write files, create folders or use the network. On failure returns
    // false and fills parseError() with the processor's messages.
    bool transformNode(const XmlDocument &source, QString *result);
    // The same, giving the serialized result bytes exactly as the stylesheet's xsl:output says.
    bool transformNodeToBytes(const XmlDocument &source, QByteArray *result);
    // Values for the stylesheet's top-level parameters in the transformations that follow:
    // strings as they are, XPath expressions evaluated against the source first.
    void setParameters(const QList<params::Value> &values) { m_parameters = values; }
    // What the transformations that follow record of where their output came from
    // (tracing::Flag); after one that succeeded, traceReport() holds it. Only
    // transformNodeToBytes records: its bytes are the ones the report's offsets refer to.
    void setTracing(int flags) { m_traceFlags = flags; }
    const tracing::Report &traceReport() const { return m_trace; }

    // Where the transformations that follow keep their compiled stylesheet and parsed source,
    // and find them again (null: nowhere). Not owned.
    void setCache(class TransformCache *cache) { m_cache = cache; }
    // Takes a text (UTF-8, as the editor holds it) without parsing it: for a transformation
    // whose cache already holds it compiled or parsed.
    void setUnparsedUtf8(const QByteArray &utf8, const QString &baseUrl);
    // Compiles this document as an XSLT stylesheet without running it: whether it would
    // compile, with what the compiler reported in diagnostics().
    bool compileStylesheet();
    // The same for a text not parsed before (what the editor holds, UTF-8).
    bool compileStylesheetUtf8(const QByteArray &utf8, const QString &baseUrl);
    // What the last parse, compilation or transformation reported, each at its place. After a
    // transformation that succeeded: its xsl:message output.
    const QList<Diagnostic> &diagnostics() const { return m_diagnostics; }

    // The base URL the document was parsed with (path or URL), empty when none.
    QString url() const;

    // How the last successful transformation wrote its result: "xml", "html", "xhtml" or
    // "text", and the encoding its xsl:output names (empty: the method's default).
    QString outputMethod() const { return m_outputMethod; }
    QByteArray outputEncoding() const { return m_outputEncoding; }

private:
    bool parse(const QByteArray &input, bool unicodeText, const QString &baseUrl, const QString *text,
               bool verdictOnly = false);
    // Compiles this stylesheet and, given a source, runs it.
    bool transform(const XmlDocument *source, QByteArray *out, QByteArray *encoding);
    // A fresh parse of the same input as the XSLT processor wants it (entities expanded, CDATA as
    // text). The caller owns the result; null when it cannot be read that way.
    struct _xmlDoc *readForXslt() const;

    struct Impl;
    std::unique_ptr<Impl> d;
    ParseError m_error;
    QList<Diagnostic> m_diagnostics;
    QString m_outputMethod;
    QByteArray m_outputEncoding;
    QList<params::Value> m_parameters;
    int m_traceFlags = 0;
    tracing::Report m_trace;
    class TransformCache *m_cache = nullptr;
};

// The URI libxml2 and libxslt resolve relative references against, for a path or URL: a path
// with a space or '#' is no URI, and would resolve against the wrong folder.
QByteArray toBaseUri(const QString &base);

Q_DECLARE_METATYPE(XmlDocument::ParseError)

// What a parse XmlDocument did not set up itself may read: an XML Schema or RELAX NG grammar with
// its includes and imports, the DTD a validation reads. While an object of this class lives on
// a thread, such a parse on that thread reads what the origin of the document it works for
// allows: local regular files for a document from this computer (or typed in), nothing at all
// for one from the network. Never the network itself; without such an object nothing at all.
// Creating one also sets up libxml2 with the program's guarded loader.
class LocalFileReads
{
public:
    // base: the path or URL of the document whose reads these are.
    explicit LocalFileReads(const QString &base);
    ~LocalFileReads();
    LocalFileReads(const LocalFileReads &) = delete;
    LocalFileReads &operator=(const LocalFileReads &) = delete;

    bool allowsLocalFiles() const { return m_localFiles; }
    // What was not read while it lived, and why: one sentence each.
    const QStringList &refusals() const { return m_refusals; }
    // The addresses of what was not read, in the same order.
    const QStringList &refusedTargets() const { return m_targets; }
    void refuse(const QString &target, const QString &why)
    {
        m_targets << target;
        m_refusals << why;
    }

private:
    LocalFileReads *m_outer;
    bool m_localFiles;
    QStringList m_refusals;
    QStringList m_targets;
};

// Whether a document with this base (path or URL; empty: typed in) came from this computer, and
// so may read local files.
bool isLocalOrigin(const QString &base);
