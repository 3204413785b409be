// What the running CPU offers to the digest block functions, read once with CPUID.
#pragma once

namespace kelvadrome {

struct CpuFeatures {
  bool ssse3 = false;
  bool sse41 = false;
  bool sha = false;   // SHA-1 / SHA-256 instructions
  bool avx2 = false;  // AVX2, with the YMM register state enabled by the operating system
  bool bmi1 = false;
  bool bmi2 = false;
  // AVX-512 Foundation and Vector Length extensions, with the opmask and ZMM register state
  // enabled by the operating system (the SHA-512 schedule uses them on ymm registers).
  bool avx512f = false;
  bool avx512vl = false;
};

// GetCpuFeatures returns the features of the running CPU, detected on the first call (thread
// safe). Every flag is false on builds for other architectures.
const CpuFeatures& GetCpuFeatures();

}  // namespace kelvadrome
