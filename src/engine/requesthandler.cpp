#include "engine/requesthandler.h"

#include <libxslt/xslt.h>

#include "engine/outofmemory.h"

namespace engine {

namespace {

bool mentionsOutOfMemory(const QString &text)
{
    return !text.isEmpty() && saysOutOfMemory(text.toUtf8().constData());
}

// A result built while memory ran out may be wrong without saying so (a number that came out
// as -1, a string cut short): what the libraries reported is searched for the sign of it.
// xsl:message output is the stylesheet's own text and proves nothing.
bool transformRanOutOfMemory(const preview::Result &r)
{
    if (mentionsOutOfMemory(r.text))
        return true;
    for (const Diagnostic &d : r.diagnostics)
        if (d.origin != Diagnostic::Origin::Message && mentionsOutOfMemory(d.message))
            return true;
    return false;
}

bool validationRanOutOfMemory(const validator::Result &r)
{
    if (mentionsOutOfMemory(r.error))
        return true;
    for (const Diagnostic &d : r.problems)
        if (mentionsOutOfMemory(d.message))
            return true;
    return false;
}

} // namespace

RequestHandler::RequestHandler(qint64 memoryLimitMb)
    : m_memoryMb(memoryLimitMb)
{
}

RequestHandler::~RequestHandler() = default;

Response RequestHandler::handle(const Request &request)
{
    Response response;
    response.id = request.id;
    response.window = request.window;
    response.generation = request.generation;
    response.kind = request.kind;
    m_outOfMemory = false;
    takeOutOfMemory();
    bool outOfMemory = false;
    try {
        switch (request.kind) {
        case Kind::Transform:
            response.result = preview::build(request.input, request.target, &m_cache);
            response.engine = QStringLiteral("libxslt %1.%2.%3")
                                  .arg(xsltLibxsltVersion / 10000)
                                  .arg(xsltLibxsltVersion / 100 % 100)
                                  .arg(xsltLibxsltVersion % 100);
            outOfMemory = transformRanOutOfMemory(response.result);
            break;
        case Kind::XPath:
            response = evaluateXPath(request);
            outOfMemory = !response.xpath.ok && mentionsOutOfMemory(response.xpath.error);
            break;
        case Kind::Validate:
            response.validation = validator::validate(request.validate.source, request.validate.sourceBase,
                                                      request.validate.schema, request.validate.schemaPath);
            outOfMemory = validationRanOutOfMemory(response.validation);
            break;
        case Kind::Format:
            response.format = request.format.fragment
                                  ? formatter::formatFragment(request.format.text, request.format.indentWidth,
                                                              request.format.baseIndent)
                                  : formatter::formatDocument(request.format.text, request.format.indentWidth);
            outOfMemory = !response.format.ok && mentionsOutOfMemory(response.format.error);
            break;
        }
    } catch (const std::bad_alloc &) {
        outOfMemory = true;
    }
    if (takeOutOfMemory())
        outOfMemory = true;
    if (outOfMemory) {
        m_outOfMemory = true;
        // Whatever was built is not to be trusted, and the source held for XPath goes too.
        m_xpath.reset();
        m_hasSource = false;
        m_cache.clear();
        return Response::failed(request, ErrorKind::OutOfMemory,
                                errorMessage(request.kind, ErrorKind::OutOfMemory,
                                             m_memoryMb > 0 ? QString::number(m_memoryMb) : QStringLiteral("the available")));
    }
    // A transformation's verdict is the answer's.
    if (request.kind == Kind::Transform)
        response.error = response.result.error;
    return response;
}

Response RequestHandler::evaluateXPath(const Request &request)
{
    const XPathWork &work = request.xpath;
    Response response;
    response.id = request.id;
    response.window = request.window;
    response.generation = request.generation;
    response.kind = Kind::XPath;
    if (!m_xpath)
        m_xpath = std::make_unique<xpatheval::Session>();
    if (work.hasSource) {
        // A source that is not well-formed is held as such: evaluate() says why it cannot run.
        m_xpath->setSource(work.source, work.sourceBase);
        m_sourceKey = work.sourceKey;
        m_hasSource = true;
    } else if (!m_hasSource || m_sourceKey != work.sourceKey) {
        response.needSource = true;
        return response;
    }
    m_xpath->setNamespaces(work.namespaces);
    response.xpath = m_xpath->evaluate(work.expression, work.maxRows, work.maxValueChars);
    return response;
}

} // namespace engine
