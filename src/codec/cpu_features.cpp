#include "codec/cpu_features.h"

#include <atomic>

#include "codec/digest.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kelvadrome {
namespace {

CpuFeatures Detect() {
  CpuFeatures features;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return features;
  const unsigned max_leaf = eax;
  if (max_leaf < 1) return features;
  __cpuid(1, eax, ebx, ecx, edx);
  features.ssse3 = (ecx & (1u << 9)) != 0;
  features.sse41 = (ecx & (1u << 19)) != 0;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  // YMM registers are usable only when the operating system saves them: XCR0 bits 1 (SSE) and
  // 2 (AVX) must both be set. AVX-512 instructions, even on ymm registers, also need bits 5-7
  // (opmask registers, upper halves of ZMM0-15, ZMM16-31).
  bool ymm_enabled = false;
  bool zmm_enabled = false;
  if (osxsave && avx) {
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    ymm_enabled = (xcr0_low & 0x6u) == 0x6u;
    zmm_enabled = (xcr0_low & 0xe6u) == 0xe6u;
  }
  if (max_leaf >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    features.avx2 = ymm_enabled && (ebx & (1u << 5)) != 0;
    features.bmi1 = (ebx & (1u << 3)) != 0;
    features.bmi2 = (ebx & (1u << 8)) != 0;
    // The SHA bit is read here rather than through the compiler's builtin, which some compiler
    // versions do not know.
    features.sha = (ebx & (1u << 29)) != 0;
    features.avx512f = zmm_enabled && (ebx & (1u << 16)) != 0;
    features.avx512vl = zmm_enabled && (ebx & (1u << 31)) != 0;
  }
#endif
  return features;
}

std::atomic<DigestEngine> g_engine{DigestEngine::kAuto};

}  // namespace

const CpuFeatures& GetCpuFeatures() {
  static const CpuFeatures features = Detect();
  return features;
}

void SetDigestEngine(DigestEngine engine) {
  g_engine.store(engine, std::memory_order_relaxed);
}

DigestEngine GetDigestEngine() {
  return g_engine.load(std::memory_order_relaxed);
}

bool DigestAccelerationAvailable(DigestAlgorithm algorithm) {
  const CpuFeatures& cpu = GetCpuFeatures();
  switch (algorithm) {
    case DigestAlgorithm::kMd5:
      return false;
    case DigestAlgorithm::kSha1:
    case DigestAlgorithm::kSha256:
      return cpu.sha && cpu.sse41 && cpu.ssse3;
    case DigestAlgorithm::kSha512:
      return cpu.avx2 && cpu.bmi1 && cpu.bmi2;
  }
  return false;
}

}  // namespace kelvadrome
