#pragma once
// Lets the compiler vectorise the element loops that call exp through
// glibc's vector math library (libmvec, whose vector exp dates from glibc
// 2.22), and VELMORA_SIMD_CLONES compiles a loop once per instruction set;
// the loader picks the clone for the running CPU. GCC learns of libmvec's
// SIMD variants from the declaration below, Clang from -fveclib=libmvec.
// Without libmvec the same loops call the scalar exp.

#include <cmath>

#if defined(VELMORA_HAVE_LIBMVEC) && defined(__x86_64__)
#if !defined(__clang__)
extern "C" {
__attribute__((simd("notinbranch"))) double exp(double) noexcept;
}
#endif
// x86-64-v3 is AVX2 with FMA; v4 adds the AVX-512 subsets of common CPUs.
// Compilers before GCC 12 take single features instead.
#if defined(VELMORA_HAVE_LEVEL_CLONES)
#define VELMORA_TARGET_WIDE "arch=x86-64-v4"
#define VELMORA_TARGET_MID "arch=x86-64-v3"
#else
#define VELMORA_TARGET_WIDE "avx512f"
#define VELMORA_TARGET_MID "avx2"
#endif
// The versions by target attribute: Clang's dispatch knows the x86-64 levels
// in clones only, so its versions name the levels' features.
#if defined(__clang__)
#define VELMORA_VERSION_MID "avx2,fma,bmi,bmi2"
#define VELMORA_VERSION_WIDE "avx512f,avx512vl,avx512bw,avx512dq,avx512cd," VELMORA_VERSION_MID
#else
#define VELMORA_VERSION_MID VELMORA_TARGET_MID
#define VELMORA_VERSION_WIDE VELMORA_TARGET_WIDE
#endif
// Loops written on vectors of explicit width get one version per
// instruction set, each at its registers' width in doubles (8, 4, 2), as a
// clone alone would compile the one width into all three.
// VELMORA_WIDTH_VERSIONS defines `type name parameters` returning
// `implementation<width> arguments`; the loader picks the version. Clang
// takes each version of a function of internal linkage for one that nothing
// calls, so the versions are defined outside anonymous namespaces. The
// implementation takes a version's instruction set only where it is inlined
// into it: choose between its instantiations with plain calls, as a lambda
// between the two may be compiled apart, for the baseline (GCC did so with
// a lambda over the weighted dummy loops, whose sums lost their FMAs).
#if defined(VELMORA_NO_AVX512)
// Built without the AVX-512 versions, so that a CPU which has AVX-512 runs,
// tests and times the AVX2 ones.
#define VELMORA_SIMD_CLONES __attribute__((target_clones(VELMORA_TARGET_MID, "default")))
#define VELMORA_WIDE_VERSION(type, name, parameters, implementation, arguments)
#else
#define VELMORA_SIMD_CLONES \
  __attribute__((target_clones(VELMORA_TARGET_WIDE, VELMORA_TARGET_MID, "default")))
#define VELMORA_WIDE_VERSION(type, name, parameters, implementation, arguments) \
  [[gnu::target(VELMORA_VERSION_WIDE)]] type name parameters { return implementation<8> arguments; }
#endif
#define VELMORA_WIDTH_VERSIONS(type, name, parameters, implementation, arguments) \
  VELMORA_WIDE_VERSION(type, name, parameters, implementation, arguments)         \
  [[gnu::target(VELMORA_VERSION_MID)]] type name parameters {                     \
    return implementation<4> arguments;                                           \
  }                                                                               \
  [[gnu::target("default")]] type name parameters { return implementation<2> arguments; }
// Loops over elements get one version per instruction set through
// VELMORA_ELEMENT_VERSIONS, which defines `type name parameters` returning
// `implementation arguments` (an always-inlined loop): GCC's clones, or for
// Clang, whose clones carry single features (an AVX2 clone without FMA),
// versions by the levels' feature lists.
#if defined(__clang__)
#if defined(VELMORA_NO_AVX512)
#define VELMORA_WIDE_ELEMENT_VERSION(type, name, parameters, implementation, arguments)
#else
#define VELMORA_WIDE_ELEMENT_VERSION(type, name, parameters, implementation, arguments) \
  [[gnu::target(VELMORA_VERSION_WIDE)]] type name parameters { return implementation arguments; }
#endif
#define VELMORA_ELEMENT_VERSIONS(type, name, parameters, implementation, arguments)              \
  VELMORA_WIDE_ELEMENT_VERSION(type, name, parameters, implementation, arguments)                \
  [[gnu::target(VELMORA_VERSION_MID)]] type name parameters { return implementation arguments; } \
  [[gnu::target("default")]] type name parameters { return implementation arguments; }
#else
#define VELMORA_ELEMENT_VERSIONS(type, name, parameters, implementation, arguments) \
  VELMORA_SIMD_CLONES type name parameters { return implementation arguments; }
#endif
#else
#define VELMORA_SIMD_CLONES
#define VELMORA_WIDTH_VERSIONS(type, name, parameters, implementation, arguments) \
  type name parameters { return implementation<2> arguments; }
#define VELMORA_ELEMENT_VERSIONS(type, name, parameters, implementation, arguments) \
  type name parameters { return implementation arguments; }
#endif
