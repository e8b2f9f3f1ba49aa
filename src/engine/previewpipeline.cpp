#include "engine/previewpipeline.h"

#include "engine/transformcache.h"
#include "engine/xmldocument.h"

#include <QScopeGuard>

namespace preview {

namespace {
using engine::ErrorKind;

Result failure(ErrorKind error, const QString &text)
{
    Result r;
    r.error = error;
    r.text = text;
    return r;
}

// A run that failed: at the compilation when the compiler reported an error, else while it ran.
ErrorKind runError(const QList<Diagnostic> &diagnostics)
{
    for (const Diagnostic &d : diagnostics)
        if (d.origin == Diagnostic::Origin::Compilation && d.severity == Diagnostic::Severity::Error)
            return ErrorKind::Compile;
    return ErrorKind::Transform;
}
} // namespace

bool isSourceEmpty(const QByteArray &source)
{
    for (const char c : source)
        if (c != ' ')
            return false;
    return true;
}

Result build(const Input &input, Target target, TransformCache *cache)
{
    if (cache)
        cache->beginRequest();
    const auto done = qScopeGuard([cache] {
        if (cache)
            cache->endRequest();
    });
    if (target == Target::Check) {
        XmlDocument xsl;
        xsl.setCache(cache);
        Result r;
        r.ok = xsl.compileStylesheetUtf8(input.stylesheet, input.stylesheetBase);
        r.diagnostics = xsl.diagnostics();
        if (!r.ok) {
            r.error = ErrorKind::Compile;
            r.text = xsl.parseError().reason;
        }
        return r;
    }
    const bool noSource = isSourceEmpty(input.source);
    XmlDocument xsl;
    // A text the cache holds compiled, or parsed, was well-formed when it was read: it needs no
    // parse of its own for the editor's verdict.
    if (!noSource && cache && cache->holdsStylesheet(input.stylesheet, input.stylesheetBase)) {
        xsl.setUnparsedUtf8(input.stylesheet, input.stylesheetBase);
    } else if (!xsl.loadXMLUtf8(input.stylesheet, input.stylesheetBase)) {
        Result r = failure(ErrorKind::ParseStylesheet, xsl.parseError().reason);
        r.diagnostics = xsl.diagnostics();
        return r;
    }
    xsl.setCache(cache);
    xsl.setParameters(input.parameters);
    Result r;
    // Without a source the stylesheet itself is the page.
    if (noSource) {
        r.ok = true;
        r.page = xsl.toBytes();
        r.method = QStringLiteral("xml");
        return r;
    }
    XmlDocument source;
    if (cache && cache->holdsSource(input.source, input.sourceBase)) {
        source.setUnparsedUtf8(input.source, input.sourceBase);
    } else if (!source.loadXMLUtf8(input.source, input.sourceBase)) {
        Result failed = failure(ErrorKind::ParseSource, source.parseError().reason);
        failed.diagnostics = source.diagnostics();
        return failed;
    }

    if (target == Target::Browser) {
        // The browser is not as strict as the Preview tab: it gets the raw result.
        xsl.setTracing(input.trace);
        r.ok = xsl.transformNodeToBytes(source, &r.page);
        r.diagnostics = xsl.diagnostics();
        if (r.ok && input.trace)
            r.trace = std::make_shared<const tracing::Report>(xsl.traceReport());
        if (!r.ok) {
            r.error = runError(r.diagnostics);
            r.text = xsl.parseError().reason;
            return r;
        }
        r.method = xsl.outputMethod();
        r.encoding = xsl.outputEncoding();
        return r;
    }
    QString result;
    if (!xsl.transformNode(source, &result)) {
        Result failed = failure(runError(xsl.diagnostics()), xsl.parseError().reason);
        failed.diagnostics = xsl.diagnostics();
        return failed;
    }
    r.diagnostics = xsl.diagnostics();
    XmlDocument page;
    if (!page.loadXML(result, input.sourceBase))
        return failure(ErrorKind::ParseResult,
                       page.parseError().reason + QLatin1Char('\n')
                           + QStringLiteral("If you are generating HTML try using the Preview HTML In Browser option ")
                           + QLatin1Char('\n') + QStringLiteral("as valid HTML could result in invalid XML."));
    r.ok = true;
    r.page = page.toBytes();
    return r;
}

} // namespace preview
