// libFuzzer target: any bytes through every way the engine parses and writes a document.
#include "engine/xmldocument.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_parse";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    XmlDocument fromFile;
    if (fromFile.loadBytes(bytes, QStringLiteral("/nonexistent/fuzz/input.xml"))) {
        (void)fromFile.toBytes();
        const QString text = fromFile.xml();
        XmlDocument again;
        (void)again.loadXML(text, QStringLiteral("/nonexistent/fuzz/input.xml"));
    }
    // The editor hands its text over as UTF-8 whatever the declaration says.
    XmlDocument edited;
    if (edited.loadXMLUtf8(bytes))
        (void)edited.toBytes();
    // The same text as it came from the network: nothing local may be read.
    XmlDocument remote;
    (void)remote.loadBytes(bytes, QStringLiteral("http://127.0.0.1:9/fuzz.xml"));
    return 0;
}
