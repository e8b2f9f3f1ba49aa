// libFuzzer target: a stylesheet and a source document, split at the first NUL byte, through
// a transformation to a string and to the bytes xsl:output asks for.
#include "engine/xmldocument.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_transform";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    const QByteArray all(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype split = all.indexOf('\0');
    const QByteArray style = split < 0 ? all : all.left(split);
    const QByteArray source = split < 0 ? QByteArrayLiteral("<r><a x=\"1\">t</a><b/></r>") : all.mid(split + 1);

    XmlDocument xsl;
    XmlDocument xml;
    // Bases in a folder that does not exist: relative reads fail the same way every run.
    if (!xsl.loadXMLUtf8(style, QStringLiteral("/nonexistent/fuzz/style.xsl"))
        || !xml.loadXMLUtf8(source, QStringLiteral("/nonexistent/fuzz/source.xml")))
        return 0;
    QString text;
    (void)xsl.transformNode(xml, &text);
    QByteArray bytes;
    (void)xsl.transformNodeToBytes(xml, &bytes);
    return 0;
}
