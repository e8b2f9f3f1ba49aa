#pragma once

#include "engine/resulttrace.h"

#include <memory>

struct _xmlDoc;
struct _xsltStylesheet;
struct _xsltTransformContext;

namespace xmlinternal {

// Watches one libxslt run through its debugger hooks and records what tracing::Report holds.
// libxml2 tells it of every node the run creates, so that each result node is tagged with the
// instruction, template and source node current when it was made; the result tree itself is
// left as it is. One run at a time, on the thread that runs it.
class TraceCollector
{
public:
    // mainDoc: the stylesheet document the compiled stylesheet was made from, whose
    // instructions are reported as lying in mainFile.
    TraceCollector(int flags, const _xmlDoc *mainDoc, const QString &mainFile);
    ~TraceCollector();
    TraceCollector(const TraceCollector &) = delete;
    TraceCollector &operator=(const TraceCollector &) = delete;

    // From the run's start to its end: the hooks see only ctxt.
    void attach(_xsltTransformContext *ctxt);
    void detach();

    // After the run, with its context still alive: the report for result, whose bytes as
    // written are plain.
    tracing::Report finish(_xmlDoc *result, _xsltStylesheet *style, const QByteArray &plain);

    struct Impl; // what the library's hooks reach, through a thread-local pointer

private:
    std::unique_ptr<Impl> d;
};

} // namespace xmlinternal
