#pragma once

#include "engine/diagnostic.h"
#include "engine/errorkind.h"
#include "engine/resulttrace.h"
#include "engine/stylesheetparams.h"

#include <QByteArray>
#include <QCborMap>
#include <QList>
#include <QString>

#include <memory>

class TransformCache;

// From the two panes of a document window to the page a preview shows: parse the stylesheet and
// the XML source, transform, and write the result. A plain function of its inputs, so it runs
// the same in the window, in a worker and in a test.
namespace preview {

enum class Target {
    // The Preview tab: the result must be well-formed XML, and is written again by the parser.
    Tab,
    // The user's browser and the live pane: the result's bytes exactly as the stylesheet's
    // xsl:output asks (what xsltproc writes).
    Browser,
    // No page: whether the stylesheet compiles, with what the compiler says.
    Check,
};

struct Input {
    QByteArray stylesheet; // UTF-8, as the editor holds it
    QString stylesheetBase; // path or URL relative references resolve against
    QByteArray source;      // UTF-8; only spaces means there is no source
    QString sourceBase;
    QList<params::Value> parameters; // for the stylesheet's top-level parameters
    // With the Browser target: what to record of where the output came from (tracing::Flag).
    int trace = 0;
};

struct Result {
    bool ok = false;
    QByteArray page;  // on success
    QString method;   // with the Browser target: "xml", "html", "xhtml" or "text"
    QByteArray encoding; // and the encoding xsl:output names, empty for the method's default
    engine::ErrorKind error = engine::ErrorKind::None; // on failure: where it stopped
    QString text;     // on failure: the error box's text
    QString title() const { return engine::errorTitle(error); }
    // What the parses, the compilation and the run reported, each at its place; after a
    // transformation that succeeded, its xsl:message output.
    QList<Diagnostic> diagnostics;
    // What was asked for with Input::trace, for a run that succeeded. An answer from a worker
    // brings it as traceData, as it came over the pipe: reading a large map takes a while, which
    // the receiver does beside its window (tracing::Report::fromCbor).
    std::shared_ptr<const tracing::Report> trace;
    QCborMap traceData;
};

// With a cache, the compiled stylesheet and the parsed source are kept there for the next
// build, and taken from it when they are still current (see TransformCache).
Result build(const Input &input, Target target, TransformCache *cache = nullptr);

// Whether the source pane counts as empty: only spaces. Line breaks and tabs are content the
// parser must see.
bool isSourceEmpty(const QByteArray &source);

} // namespace preview
