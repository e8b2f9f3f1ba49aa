#pragma once

#include "engine/previewpipeline.h"

#include <QByteArray>
#include <QCborMap>
#include <QList>
#include <QString>

// The exchange between the program and its worker process, zendrik-engine: frames of a 4-byte
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

// What the worker is asked to do for one document window.
struct Request {
    qint64 id = 0;         // unique per program run
    qint64 window = 0;     // the document window that asked
    qint64 generation = 0; // the window's count of its texts: a later one supersedes this
    preview::Target target = preview::Target::Tab;
    preview::Input input;

    QCborMap toCbor() const;
    static Request fromCbor(const QCborMap &map);
};

// The answer, with the request's identity.
struct Response {
    qint64 id = 0;
    qint64 window = 0;
    qint64 generation = 0;
    preview::Result result;
    // Set by the program, never sent: the request was dropped unstarted for a newer one, or
    // its window closed. Whoever waits for it stops waiting; nobody shows it.
    bool superseded = false;

    QCborMap toCbor() const;
    static Response fromCbor(const QCborMap &map);
};

// Carries out a request; what the worker does with each one.
Response handle(const Request &request);

} // namespace engine
