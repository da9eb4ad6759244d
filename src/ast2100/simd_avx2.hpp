// Where the AVX2 twins of the kernels exist, and how they are compiled.
//
// The twins are x86 code. The build targets the baseline CPU; each AVX2
// function is compiled for AVX2 through an attribute alone and runs only when
// the CPU reports AVX2 at run time. On any other CPU there are no twins and the
// scalar kernels run. The build adds the twins' files only for x86; this guard
// keeps them empty if they are compiled anyway (a cross compiler the build did
// not recognise, or QUORVEL_SCALAR_ONLY), so include it before any x86 header.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && !defined(QUORVEL_SCALAR_ONLY)
#define QUORVEL_HAVE_AVX2 1
// For the twins' helpers: compiled for AVX2, inlined into the AVX2 callers.
#define QUORVEL_AVX2 __attribute__((target("avx2")))
#else
#define QUORVEL_HAVE_AVX2 0
#endif
