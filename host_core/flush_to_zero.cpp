// Switches the processor's flush-to-zero mode on before main, so denormals read and compute
// as zero throughout the process: the engine's filters would otherwise crawl on decaying tails.
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

__attribute__((constructor(101))) void enable_flush_to_zero() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_setcsr(_mm_getcsr() | 0x8000u /* FTZ */ | 0x0040u /* DAZ */);
#elif defined(__arm__)
  uint32_t fpscr;
  __asm__ volatile("vmrs %0, fpscr" : "=r"(fpscr));
  fpscr |= (1u << 24);  // FZ
  __asm__ volatile("vmsr fpscr, %0" : : "r"(fpscr));
#elif defined(__aarch64__)
  uint64_t fpcr;
  __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
  fpcr |= (1u << 24);  // FZ
  __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
#endif
}

}  // namespace
