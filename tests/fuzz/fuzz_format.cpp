// libFuzzer target: any text through the re-indenter, as a document and as a fragment. What it
// formats must come out the same when formatted again, and what it refuses must come back as is.
#include "engine/formatter.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_format";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const bool fragment : {false, true}) {
        const auto run = [fragment](const QString &t) {
            return fragment ? formatter::formatFragment(t, 2, QStringLiteral("  ")) : formatter::formatDocument(t, 2);
        };
        const formatter::Result r = run(text);
        if (!r.ok && r.text != text)
            __builtin_trap();
        if (r.ok && run(r.text).text != r.text)
            __builtin_trap();
    }
    return 0;
}
