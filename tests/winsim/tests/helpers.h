// Shared pieces of the simulated Windows' own tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/winsim/sim.h"

// Every test starts on a freshly reset machine.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

inline HANDLE Open(const char* path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING,
                   DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  return CreateFileA(path, access, share, nullptr, disposition, attributes, nullptr);
}

inline std::string Last(size_t back = 0) {
  const auto& calls = sim::Calls();
  return calls.size() > back ? calls[calls.size() - 1 - back] : "";
}
