#include "platform/process_memory.h"

#include <gtest/gtest.h>

#include "memory_limited_child.h"

namespace {

TEST(ProcessMemory, StatusFiguresBecomeBytes) {
  const auto memory = parseProcessStatus(
      "Name:\tqz\nVmHWM:\t    2048 kB\nVmRSS:\t    1024 kB\nRssAnon:\t      512 kB\nVmSwap:\t       8 kB\n");
  ASSERT_TRUE(memory);
  EXPECT_EQ(memory->workingSetBytes, 1024u * 1024);
  EXPECT_EQ(memory->privateBytes, 520u * 1024);
  EXPECT_EQ(memory->peakWorkingSetBytes, 2048u * 1024);
}

TEST(ProcessMemory, MissingOrMalformedFiguresFail) {
  const char* statuses[] = {
      "",
      "VmRSS:\t1 kB\nRssAnon:\t1 kB\n",
      "VmRSS:\t1 kB\nRssAnon:\t1 kB\nVmHWM:\tx kB\n",
      "VmRSS:\t1 MB\nRssAnon:\t1 kB\nVmHWM:\t1 kB\n",
      "VmRSSX:\t1 kB\nRssAnon:\t1 kB\nVmHWM:\t1 kB\n",
      "VmRSS:\t99999999999999999999 kB\nRssAnon:\t1 kB\nVmHWM:\t1 kB\n",
  };
  for (const char* status : statuses) EXPECT_FALSE(parseProcessStatus(status)) << status;
  EXPECT_EQ(parseProcessStatus("VmRSS: 1 kB\nRssAnon: 2 kB\nVmHWM: 3 kB")->privateBytes, 2048u) << "no VmSwap";
}

TEST(ProcessMemory, ThisProcessHasFigures) {
  const auto memory = queryProcessMemory();
  ASSERT_TRUE(memory);
  EXPECT_GT(memory->workingSetBytes, 0u);
  EXPECT_GE(memory->peakWorkingSetBytes, memory->workingSetBytes);
}

// Under an address-space limit, what the process may take is what the limit leaves beyond its mappings.
TEST(ProcessMemory, WhatTheProcessMayUseIsWhatItsAddressSpaceLimitLeaves) {
#ifdef QZ_TEST_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer build runs the child without a memory limit";
#endif
  EXPECT_GT(memoryTheProcessMayUse(), uint64_t{1} << 30);
  constexpr uint64_t kAllowance = uint64_t{256} << 20;
  EXPECT_EQ(runInMemoryLimitedChild(kAllowance,
                                    [] {
                                      const uint64_t bytes = memoryTheProcessMayUse();
                                      return bytes <= kAllowance && bytes > kAllowance - (16 << 20) ? 0 : 1;
                                    }),
            0);
}

}  // namespace
