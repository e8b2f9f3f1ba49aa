#pragma once

#include <QString>

namespace engine {

// Why a piece of work brought no result. The first five are the work's own verdict on the
// texts; the rest is what became of the work on its way to a worker and back.
enum class ErrorKind {
    None,
    ParseStylesheet, // the stylesheet is not well-formed
    ParseSource,     // the XML source is not well-formed
    Compile,         // the stylesheet does not compile
    Transform,       // the transformation failed while it ran
    ParseResult,     // the Preview tab's result is not well-formed XML
    Stopped,         // the user stopped it
    TimedOut,        // it ran past its time limit
    Crashed,         // the worker ended while working on it
    OutOfMemory,     // it needed more memory than a worker may have
    Unavailable,     // no worker could be started
    Unreadable,      // the worker's answer could not be read
    Incompatible,    // the worker belongs to another version of the program
    // Dropped unstarted for newer work of the same kind, or its window closed: whoever waits
    // for it stops waiting, nobody shows it.
    Superseded,
};

// The title of the box that reports an error of the kind.
QString errorTitle(ErrorKind kind);
// Whether the error says a text is not well-formed. A run that stopped there has no problems of
// its own to list: the editor shows the parse error already.
bool isParseError(ErrorKind kind);

} // namespace engine
