// libFuzzer target: any text as a stylesheet's model, and every reference and declaration it
// finds lies inside the text.
#include "engine/stylesheetmodel.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const stylesheet::Model model = stylesheet::build(text, QString());
    for (const stylesheet::Reference &r : model.references)
        if (r.place.offset < 0 || r.place.offset + r.place.length > text.size() || r.declaration >= model.declarations.size())
            __builtin_trap();
    for (const stylesheet::Declaration &d : model.declarations)
        if (d.place.offset < 0 || d.place.offset + d.place.length > text.size() || d.place.line < 1)
            __builtin_trap();
    return 0;
}
