#pragma once

#include "engine/errorkind.h"
#include "engine/formatter.h"
#include "engine/previewpipeline.h"
#include "engine/validator.h"
#include "engine/xpatheval.h"

#include <QByteArray>
#include <QCborMap>
#include <QList>
#include <QPair>
#include <QString>

// The exchange between the program and its worker processes, zendrik-engine: frames of a 4-byte
// big-endian length followed by a CBOR map, over the worker's standard input and output.
namespace engine {

// The largest frame either side accepts: two documents at the largest size a document may be
// opened at, with room to spare.
inline constexpr qsizetype kMaxFrameBytes = 600LL * 1024 * 1024;

QByteArray frame(const QCborMap &message);

// Takes every complete frame off the front of buffer and appends its message to messages.
// Returns false, with error set, when the buffer cannot hold frames (a length beyond the limit
// or a payload that is no CBOR map): the stream is then beyond repair.
bool takeFrames(QByteArray &buffer, QList<QCborMap> *messages, QString *error);

// The kinds of work a worker does. Each is libxml2 or libxslt work on the user's text that can
// recurse or grow without bound, which is why none of it runs in the program's own process.
enum class Kind {
    Transform, // the preview pipeline: parse, compile, run
    XPath,     // an XPath expression against the XML source
    Validate,  // the XML source against its DTD, an XML Schema or a RELAX NG grammar
    Format,    // re-indenting a document or a selection
};

// An XPath evaluation. The parsed source stays in the worker between evaluations: the source
// text is sent only when it changed (or the worker does not have it any more, which its answer
// says), and sourceKey tells the versions apart.
struct XPathWork {
    QByteArray source; // UTF-8; empty with hasSource false: the one the worker holds for sourceKey
    bool hasSource = false;
    qint64 sourceKey = 0;
    QString sourceBase;
    QList<QPair<QString, QString>> namespaces;
    QString expression;
    int maxRows = 1000;
    // The longest string value sent back in full; a longer one comes back cut, with its length.
    qsizetype maxValueChars = 32 * 1024 * 1024;
};

struct ValidateWork {
    QByteArray source; // UTF-8
    QString sourceBase;
    validator::Schema schema = validator::Schema::Dtd;
    QString schemaPath;
};

struct FormatWork {
    QString text;
    int indentWidth = 2;
    // A selection: formatFragment with baseIndent; otherwise the whole document.
    bool fragment = false;
    QString baseIndent;
};

// Which XSLT processor runs a transformation: libxslt in zendrik-engine (XSLT 1.0), or Saxon-HE
// in the Java helper (XSLT 2.0 and 3.0).
enum class Processor { Libxslt, Saxon };

// What the worker is asked to do for one document window.
struct Request {
    qint64 id = 0;         // unique per program run
    qint64 window = 0;     // the document window that asked
    qint64 generation = 0; // the window's count of its texts: a later one supersedes this
    Kind kind = Kind::Transform;
    // Transform
    Processor processor = Processor::Libxslt; // picks the worker; not part of the frame
    preview::Target target = preview::Target::Tab;
    preview::Input input;
    XPathWork xpath;
    ValidateWork validate;
    FormatWork format;

    QCborMap toCbor() const;
    static Request fromCbor(const QCborMap &map);
};

// The answer, with the request's identity.
struct Response {
    qint64 id = 0;
    qint64 window = 0;
    qint64 generation = 0;
    Kind kind = Kind::Transform;
    // Why the work brought no result; with a transformation, the same as result.error.
    ErrorKind error = ErrorKind::None;
    // One or more sentences for the user when the work did not get as far as a result of its
    // own (stopped, crashed, out of memory...); a transformation's result carries them too.
    QString errorText;
    // The processor that did the work, with its version ("libxslt 1.1.35", "Saxon-HE 9.9.1.5").
    QString engine;
    // The processor the request was for; set by the program from its request, not part of the frame.
    Processor processor = Processor::Libxslt;
    preview::Result result;
    // XPath. needSource: the worker holds no source for the key; send it again with the text.
    xpatheval::Result xpath;
    bool needSource = false;
    validator::Result validation;
    formatter::Result format;

    bool superseded() const { return error == ErrorKind::Superseded; }
    // The answer to request when its work brought nothing: error, with text for the user (for a
    // transformation also in its result).
    static Response failed(const Request &request, ErrorKind error, const QString &text = QString());

    QCborMap toCbor() const;
    static Response fromCbor(const QCborMap &map);
};

// A message the worker sends on its own, between a request and its answer.
enum class Notice {
    None,
    // An allocation of the library failed: the work runs out of memory. The worker may not
    // get as far as answering (libxml2 does not survive every failed allocation), so it says so
    // first; should it then end, the request ran out of memory rather than crashed.
    OutOfMemory,
};
QCborMap noticeMessage(Notice notice);
// The notice a message is, or None for an answer.
Notice noticeOf(const QCborMap &message);

// The program tells a zendrik-engine worker, while it works, that a request it was handed is no
// longer wanted: a newer one of the same window and channel waits. The worker stops it at the
// next instruction it can stop at (or skips it, if it has not started it) and answers it as
// superseded, keeping what it holds for the next. The Saxon helper is never sent one.
QCborMap interruptMessage(qint64 requestId);
// The request an interrupt names, or 0 when the message is no interrupt.
qint64 interruptOf(const QCborMap &message);

// What the user is told an error of the way there and back means for a kind of work:
// "Transformation stopped", "The evaluation stopped the engine (it crashed)…". detail completes
// the crash sentence, names the memory cap, the time limit or the worker.
QString errorMessage(Kind kind, ErrorKind error, const QString &detail = QString());

// The version of this exchange. Each side's first frame is a hello that carries it; a worker of
// another version is not handed any work.
inline constexpr int kProtocolVersion = 3;
QCborMap helloMessage(int version = kProtocolVersion);
// The version a hello carries; -1 when the message is no hello.
int helloVersion(const QCborMap &message);

// The kinds of work a document window asks for, each with its own queue place: of the requests
// of one window and channel that have not started, only the newest is kept.
enum class Channel {
    Tab,      // the Preview tab
    Browser,  // the preview in the user's browser
    Live,     // the live pane
    Check,    // the compile check while typing
    Validate, // Validate Source
    Format,   // Format Document, Format Selection
    XPath,    // the XPath bar, in a worker of its own that keeps the parsed source
};
QString channelName(Channel channel);

} // namespace engine
