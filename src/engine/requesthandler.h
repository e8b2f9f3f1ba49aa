#pragma once

#include "engine/engineprotocol.h"
#include "engine/transformcache.h"

#include <memory>

namespace engine {

// Stops the work under way from another thread: a transformation ends within a few steps of its
// instructions and XPath expressions; one that starts before takeInterrupt() ends at once.
// Compiling, parsing and the other kinds of work run on.
void interruptWork() noexcept;
// Whether interruptWork() was called since the last call, which clears it.
bool takeInterrupt() noexcept;

// Carries out requests one at a time, as a worker process does. Keeps the parsed XML source of
// the last XPath request, so that evaluating one expression after another does not parse a
// large source again each time; and the compiled stylesheet and parsed source of the last
// transformation, so that an edit of one is not paid for again with the other.
class RequestHandler
{
public:
    // memoryLimitMb: the worker's cap, named in the message of a request that reached it.
    explicit RequestHandler(qint64 memoryLimitMb = 0);
    ~RequestHandler();
    RequestHandler(const RequestHandler &) = delete;
    RequestHandler &operator=(const RequestHandler &) = delete;

    Response handle(const Request &request);

    // Whether the last request ran out of memory. Its answer says so; the process that handled
    // it should end, since an allocation that failed inside libxml2 can leave it unsound.
    bool ranOutOfMemory() const { return m_outOfMemory; }
    const TransformCache &transformCache() const { return m_cache; }

private:
    Response evaluateXPath(const Request &request);

    qint64 m_memoryMb;
    bool m_outOfMemory = false;
    std::unique_ptr<xpatheval::Session> m_xpath;
    qint64 m_sourceKey = 0;
    bool m_hasSource = false;
    TransformCache m_cache;
};

} // namespace engine
