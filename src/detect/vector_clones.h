#pragma once

// A function marked OMBRIX_AVX2_CLONES is compiled twice, for AVX2 and for the baseline, and the
// variant the processor can run is chosen when the program is loaded. Sanitizer builds define
// OMBRIX_NO_TARGET_CLONES: the resolver of a cloned function runs while the program is being
// loaded, before the sanitizer runtime is ready for instrumented code.
#ifdef OMBRIX_NO_TARGET_CLONES
#define OMBRIX_AVX2_CLONES
#else
#define OMBRIX_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#endif
