#include "engine/previewpipeline.h"

#include "engine/xmldocument.h"

namespace preview {

namespace {
Result failure(const QString &title, const QString &text)
{
    Result r;
    r.title = title;
    r.text = text;
    return r;
}
} // namespace

bool isSourceEmpty(const QByteArray &source)
{
    for (const char c : source)
        if (c != ' ')
            return false;
    return true;
}

Result build(const Input &input, Target target)
{
    if (target == Target::Check) {
        XmlDocument xsl;
        Result r;
        r.ok = xsl.compileStylesheetUtf8(input.stylesheet, input.stylesheetBase);
        r.diagnostics = xsl.diagnostics();
        if (!r.ok) {
            r.title = QStringLiteral("Error");
            r.text = xsl.parseError().reason;
        }
        return r;
    }
    XmlDocument xsl;
    if (!xsl.loadXMLUtf8(input.stylesheet, input.stylesheetBase)) {
        Result r = failure(QStringLiteral("Error Parsing XSLT Document"), xsl.parseError().reason);
        r.diagnostics = xsl.diagnostics();
        return r;
    }
    xsl.setParameters(input.parameters);
    Result r;
    // Without a source the stylesheet itself is the page.
    if (isSourceEmpty(input.source)) {
        r.ok = true;
        r.page = xsl.toBytes();
        r.method = QStringLiteral("xml");
        return r;
    }
    XmlDocument source;
    if (!source.loadXMLUtf8(input.source, input.sourceBase)) {
        Result failed = failure(QStringLiteral("Error Parsing XML Document"), source.parseError().reason);
        failed.diagnostics = source.diagnostics();
        return failed;
    }

    if (target == Target::Browser) {
        // The browser is not as strict as the Preview tab: it gets the raw result.
        r.ok = xsl.transformNodeToBytes(source, &r.page);
        r.diagnostics = xsl.diagnostics();
        if (!r.ok) {
            r.title = QStringLiteral("Error");
            r.text = xsl.parseError().reason;
            return r;
        }
        r.method = xsl.outputMethod();
        r.encoding = xsl.outputEncoding();
        return r;
    }
    QString result;
    if (!xsl.transformNode(source, &result)) {
        Result failed = failure(QStringLiteral("Error"), xsl.parseError().reason);
        failed.diagnostics = xsl.diagnostics();
        return failed;
    }
    r.diagnostics = xsl.diagnostics();
    XmlDocument page;
    if (!page.loadXML(result, input.sourceBase))
        return failure(QStringLiteral("Error Parsing Preview Document"),
                       page.parseError().reason + QLatin1Char('\n')
                           + QStringLiteral("If you are generating HTML try using the Preview HTML In Browser option ")
                           + QLatin1Char('\n') + QStringLiteral("as valid HTML could result in invalid XML."));
    r.ok = true;
    r.page = page.toBytes();
    return r;
}

} // namespace preview
