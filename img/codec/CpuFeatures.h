// Vector kernels chosen at run time: x86 builds (Linux x86-64, Windows i686 and x86-64) compile
// the inner loops of the picture options a second time for SSSE3 (the turn) or AVX-512 VBMI
// (the conversion to sRGB), and use them where the processor has the instructions; every other
// build, and every processor without them, runs the portable loops. The turn gives the same
// bytes either way; the conversion's levels differ by at most 1.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define PLUGIN_X86_KERNELS 1
#include <immintrin.h>
// i686 Windows keeps the stack 4-byte aligned; a vector kernel realigns it on entry.
#if defined(__i386__)
#define PLUGIN_TARGET(features) __attribute__((target(features), force_align_arg_pointer))
#else
#define PLUGIN_TARGET(features) __attribute__((target(features)))
#endif
#endif

// Which loops a conversion may use: the best the processor runs, or the portable ones (tests
// compare the two).
enum class KernelLevel { Best, Portable };

#ifdef PLUGIN_X86_KERNELS
inline bool CpuHasSsse3() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return has;
}

// AVX-512 with byte and word permutes (Ice Lake and later, Zen 4 and later); the check also
// asks the system whether it saves the 512-bit registers.
inline bool CpuHasAvx512Vbmi() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi");
    }();
    return has;
}
#endif
