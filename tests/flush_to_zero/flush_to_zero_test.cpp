// The processor's flush-to-zero mode is on at the start of main, as in every program.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

uint64_t control_at_main = 0;  // the floating-point control register as main found it

uint64_t read_fp_control() {
#if defined(__x86_64__) || defined(__i386__)
  return _mm_getcsr();
#elif defined(__arm__)
  uint32_t fpscr;
  __asm__ volatile("vmrs %0, fpscr" : "=r"(fpscr));
  return fpscr;
#elif defined(__aarch64__)
  uint64_t fpcr;
  __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
  return fpcr;
#else
  return 0;
#endif
}

TEST(FlushToZero, control_register_has_the_mode_at_main) {
#if defined(__x86_64__) || defined(__i386__)
  EXPECT_EQ(control_at_main & 0x8000u, 0x8000u) << "FTZ is off";
  EXPECT_EQ(control_at_main & 0x0040u, 0x0040u) << "DAZ is off";
#elif defined(__arm__) || defined(__aarch64__)
  EXPECT_EQ(control_at_main & (1u << 24), 1u << 24) << "FZ is off";
#else
  GTEST_SKIP() << "no flush-to-zero mode known for this processor";
#endif
}

TEST(FlushToZero, denormal_product_reads_as_zero) {
  volatile float small = 1e-30f;
  volatile float factor = 1e-10f;
  const float product = small * factor;  // 1e-40 is below FLT_MIN: a denormal without the mode
  EXPECT_EQ(product, 0.0f);
}

TEST(FlushToZero, denormal_input_reads_as_zero) {
#if defined(__x86_64__) || defined(__i386__) || defined(__arm__) || defined(__aarch64__)
  const uint32_t smallest_denormal_bits = 1;
  float denormal;
  std::memcpy(&denormal, &smallest_denormal_bits, sizeof denormal);
  volatile float input = denormal;
  volatile float one = 1.0f;
  const float product = input * one;  // DAZ (x86) or FZ (ARM) treats the input as zero
  EXPECT_EQ(product, 0.0f);
#else
  GTEST_SKIP() << "no flush-to-zero mode known for this processor";
#endif
}

}  // namespace

int main(int argc, char** argv) {
  control_at_main = read_fp_control();  // before GoogleTest or anything else can touch it
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
