// libFuzzer target: any text through the XPath tokenizer and the value-template splitter. Tokens
// come in order, inside the text, without overlapping; every name token has a name; the parts
// of a value template lie inside it.
#include "engine/xpathtokens.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    int end = 0;
    for (const xpathtokens::Token &t : xpathtokens::tokenize(text)) {
        if (t.start < end || t.length <= 0 || t.start + t.length > text.size() || t.text.isEmpty())
            __builtin_trap();
        end = t.start + t.length;
    }
    for (const xpathtokens::Part &p : xpathtokens::templateExpressions(text))
        if (p.start < 0 || p.start + p.text.size() > text.size())
            __builtin_trap();
    return 0;
}
