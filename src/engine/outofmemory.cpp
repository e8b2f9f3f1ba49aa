#include "engine/outofmemory.h"

#include <atomic>
#include <cstring>

namespace engine {

namespace {
std::atomic<bool> g_outOfMemory{false};
}

void noteOutOfMemory() noexcept
{
    g_outOfMemory.store(true);
}

bool takeOutOfMemory() noexcept
{
    return g_outOfMemory.exchange(false);
}

bool saysOutOfMemory(const char *text) noexcept
{
    if (!text)
        return false;
    // libxml2: "Memory allocation failed", "out of memory"; libxslt: "... malloc failed".
    for (const char *phrase : {"Memory allocation failed", "memory allocation failed", "out of memory",
                               "Out of memory", "malloc failed"})
        if (std::strstr(text, phrase))
            return true;
    return false;
}

} // namespace engine
