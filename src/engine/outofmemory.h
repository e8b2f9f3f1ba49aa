#pragma once

#include <exception>
#include <new>
#include <type_traits>

// Running out of memory inside libxml2 or libxslt work. Code of ours that libxml2 calls back
// (error handlers, loaders) allocates with Qt, which throws when the memory cap is reached; an
// exception must never unwind through C frames, so each callback catches at its edge and notes
// it here. The work then counts as failed for want of memory, whatever result it produced, and
// the worker that ran it is replaced: libxml2 may have been left half way through something.
namespace engine {

void noteOutOfMemory() noexcept;
// Whether memory ran out since the last call, which clears the note.
bool takeOutOfMemory() noexcept;
// Whether a message a library gave says that an allocation failed.
bool saysOutOfMemory(const char *text) noexcept;

// Runs body and returns what it returns; an exception is noted and fallback returned instead,
// so that nothing unwinds into the C code that called us.
template<typename Body, typename Result>
Result atCallbackEdge(Body &&body, Result fallback) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        noteOutOfMemory();
    } catch (...) {
        noteOutOfMemory();
    }
    return fallback;
}

template<typename Body>
void atCallbackEdge(Body &&body) noexcept
{
    try {
        body();
    } catch (...) {
        noteOutOfMemory();
    }
}

// A C callback made of a function of ours: CallbackEdge<&f>::call has f's signature and catches
// at its edge, answering a null pointer, zero or nothing when f threw.
template<auto F>
struct CallbackEdge;

template<typename R, typename... A, R (*F)(A...)>
struct CallbackEdge<F> {
    static R call(A... args) noexcept
    {
        if constexpr (std::is_void_v<R>)
            atCallbackEdge([&] { F(args...); });
        else
            return atCallbackEdge([&] { return F(args...); }, R{});
    }
};

} // namespace engine
