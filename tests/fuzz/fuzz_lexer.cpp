// libFuzzer target over the styling core: styles the whole input, then restyles it from a
// line start picked from the input's own bytes, with the state stored for the line before,
// and aborts when the two disagree. The last input byte also picks the XSLT prefix.
//
//   clang++ -g -O1 -fsanitize=fuzzer,address,undefined -std=c++20 -I src \
//       tests/fuzz/fuzz_lexer.cpp src/components/xmlstyler.cpp -o fuzz_lexer
//   ./fuzz_lexer -max_total_time=600 scratch_corpus tests/fuzz/corpus_lexer

#include "components/xmlstyler.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    // Exact-size buffers, so that AddressSanitizer sees any write past the range.
    std::vector<unsigned char> full(size);
    std::vector<xmlstyler::LineInfo> lines;

    const char *const prefixes[] = {"xsl", "", "t"};
    const xmlstyler::PrefixLookup lookup = xmlstyler::findXsltPrefix(std::string_view(text, size));
    const xmlstyler::Styler styler(lookup.found ? lookup.prefix : prefixes[size ? data[size - 1] % 3 : 0]);
    const xmlstyler::State end = styler.style(text, size, 0, full.data(), &lines);

    for (unsigned char s : full)
        if (s >= xmlstyler::StyleCount)
            std::abort();
    std::size_t covered = 0;
    for (const xmlstyler::LineInfo &line : lines) {
        if (line.end <= covered || line.end > size)
            std::abort();
        covered = line.end;
    }
    if (covered != size || (!lines.empty() && lines.back().endState != end))
        std::abort();

    // A pseudo-random midpoint from the bytes themselves, moved to the next line start.
    if (size < 2)
        return 0;
    std::uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; i += 1 + size / 64)
        h = (h ^ data[i]) * 16777619u;
    const std::size_t mid = xmlstyler::lineStartAtOrAfter(text, size, h % size);
    xmlstyler::State state = 0;
    std::size_t lineStart = 0;
    for (const xmlstyler::LineInfo &line : lines) {
        if (lineStart == mid)
            break;
        lineStart = line.end;
        state = line.endState;
    }
    if (lineStart != mid)
        std::abort(); // lineStartAtOrAfter and the line split disagree
    std::vector<unsigned char> rest(size - mid);
    styler.style(text + mid, size - mid, state, rest.data());
    if (!rest.empty() && std::memcmp(rest.data(), full.data() + mid, rest.size()) != 0) {
        std::fprintf(stderr, "restyling from byte %zu differs from styling from the top\n", mid);
        std::abort();
    }
    return 0;
}
