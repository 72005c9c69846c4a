/* Compiler and platform definitions of the worker's lwIP build (Linux, glibc, GCC or Clang). */
#ifndef TAMBLO_LWIP_ARCH_CC_H
#define TAMBLO_LWIP_ARCH_CC_H

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

/* The compiler knows the byte order; lwIP would otherwise assume little endian. */
#ifndef BYTE_ORDER
#define BYTE_ORDER __BYTE_ORDER__
#endif

/* Strict ISO modes hide the POSIX limit; without it lwIP typedefs ssize_t as int, which
   clashes with glibc's long. */
#ifndef SSIZE_MAX
#define SSIZE_MAX LONG_MAX
#endif

/* C++ units include <arpa/inet.h> too: lwIP's own htons/ntohs macros would clash with it. */
#define LWIP_DONT_PROVIDE_BYTEORDER_FUNCTIONS 1

/* Diagnostics (LWIP_DEBUG builds only) and assertions go to stderr; a failed assertion means
   the stack's state is corrupt, so the worker stops rather than relay garbage. */
static inline void __attribute__((format(printf, 1, 2))) tamblo_lwip_diag(const char* format, ...) {
    va_list args;
    va_start(args, format);
    (void)vfprintf(stderr, format, args);
    va_end(args);
}
#define LWIP_PLATFORM_DIAG(x) \
    do {                      \
        tamblo_lwip_diag x;   \
    } while (0)
#define LWIP_PLATFORM_ASSERT(x)                                                                  \
    do {                                                                                         \
        (void)fprintf(stderr, "lwIP assertion \"%s\" failed at %s:%d\n", x, __FILE__, __LINE__); \
        abort();                                                                                 \
    } while (0)

#endif /* TAMBLO_LWIP_ARCH_CC_H */
