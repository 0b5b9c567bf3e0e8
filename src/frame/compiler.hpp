// The few compiler-specific spellings the frame needs, in one place: GCC and Clang take the GNU
// attributes, MSVC has its own spelling or none (and warns about attributes it does not know).
#pragma once

#include <cstdint>

// MSVC proper; clang-cl takes the GNU spellings.
#if defined(_MSC_VER) && !defined(__clang__)
#define FRAME_MSVC 1
#include <intrin.h>
#else
#define FRAME_MSVC 0
#endif

// Error paths: kept out of line so that the common path stays short, and laid out apart.
#if FRAME_MSVC
#define FRAME_COLD
#define FRAME_NOINLINE __declspec(noinline)
#else
#define FRAME_COLD [[gnu::cold]]
#define FRAME_NOINLINE [[gnu::noinline]]
#endif

// A thread-local that every call reads: on ELF, initial-exec makes reading it one load instead
// of a call into the dynamic linker. Elsewhere the platform's own model is already that cheap
// or has no such choice.
#if defined(__ELF__)
#define FRAME_INITIAL_EXEC_TLS [[gnu::tls_model("initial-exec")]]
#else
#define FRAME_INITIAL_EXEC_TLS
#endif

// Around a deliberate use of something the interpreter's headers mark deprecated, so that it
// warns nowhere else.
#if FRAME_MSVC
#define FRAME_ALLOW_DEPRECATED_BEGIN __pragma(warning(push)) __pragma(warning(disable : 4996))
#define FRAME_ALLOW_DEPRECATED_END __pragma(warning(pop))
#else
#define FRAME_ALLOW_DEPRECATED_BEGIN                                                               \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define FRAME_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")
#endif

namespace frame {

// An address inside the caller's stack frame. Not a local's address: sanitizers may move locals
// off the stack.
#if FRAME_MSVC
#define FRAME_FORCE_INLINE __forceinline
#else
#define FRAME_FORCE_INLINE [[gnu::always_inline]] inline
#endif
FRAME_FORCE_INLINE std::uintptr_t current_frame_address() noexcept {
#if FRAME_MSVC
    return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

} // namespace frame
