// Exhaustion of memory aborts with the size that was asked for.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>

namespace {

// Keeps the compiler from folding the allocation away.
volatile std::size_t huge = std::size_t{1} << 62;

TEST(AllocDeathTest, ExhaustionAbortsWithTheRequestedSize) {
  EXPECT_DEATH(
      {
        void* p = ::operator new(huge);
        ::operator delete(p);
      },
      "memory allocation of 4611686018427387904 bytes failed");
  EXPECT_DEATH(
      {
        std::string s;
        s.reserve(huge);
      },
      "memory allocation of [0-9]+ bytes failed");
}

TEST(Alloc, OrdinaryAllocationsWork) {
  std::string s(1000, 'x');
  auto* aligned = new (std::align_val_t{64}) char[100];
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 64, 0u);
  operator delete[](aligned, std::align_val_t{64});
  EXPECT_EQ(s.size(), 1000u);
}

}  // namespace
