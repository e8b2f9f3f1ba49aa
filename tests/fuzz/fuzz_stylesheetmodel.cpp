// libFuzzer target: any text as a stylesheet's model and its checks; every reference,
// declaration and finding lies inside the text.
#include "engine/stylesheetmodel.h"
#include "engine/stylesheetrename.h"

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
    for (const double version : {1.0, 3.0})
        for (const stylesheet::Finding &f : stylesheet::check(model, version))
            if (f.message.isEmpty() || f.place.offset + f.place.length > text.size())
                __builtin_trap();
    // Renames of the first declarations: every edit replaces a span inside the text.
    for (int i = 0; i < model.declarations.size() && i < 8; ++i)
        for (const QString &name : {QStringLiteral("renamed"), QStringLiteral("p:renamed"), QStringLiteral("no name")}) {
            const stylesheet::RenamePlan plan = stylesheet::planRename(model, i, name, [](const QString &) { return true; });
            if (!plan.error.isEmpty() && !plan.edits.isEmpty())
                __builtin_trap();
            for (const stylesheet::RenameEdit &e : plan.edits)
                if (e.place.offset < 0 || e.place.offset + e.place.length > text.size() || e.newText.isEmpty())
                    __builtin_trap();
        }
    return 0;
}
