// Compiled, never linked, in every cross build (cmake/zig.cmake). Such a build takes the
// interpreter's headers from the build machine's CPython 3.13, whose pyconfig.h configure wrote
// for that machine; the public headers read these of its values, which must then hold for the
// target as well. On macOS, Python.h first has pymacconfig.h replace the sizes, alignments and
// byte order that differ between Apple's CPUs, as it does in every macOS build of CPython.
#include <Python.h>

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

static_assert(SIZEOF_INT == sizeof(int));
static_assert(SIZEOF_LONG == sizeof(long));
static_assert(SIZEOF_LONG_LONG == sizeof(long long));
static_assert(SIZEOF_LONG_DOUBLE == sizeof(long double));
static_assert(SIZEOF_VOID_P == sizeof(void*));
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t));
static_assert(SIZEOF_UINTPTR_T == sizeof(std::uintptr_t));
static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t));
static_assert(SIZEOF__BOOL == sizeof(bool));
static_assert(SIZEOF_TIME_T == sizeof(std::time_t));
static_assert(SIZEOF_PID_T == sizeof(pid_t));
static_assert(SIZEOF_PTHREAD_T == sizeof(pthread_t));
static_assert(ALIGNOF_MAX_ALIGN_T == alignof(std::max_align_t));
#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
#error "pyconfig.h's byte order is not the target's"
#endif
