// Runs one test again in a fresh process of the same test binary with more environment, for
// settings that a library reads only once per process (the fake engine's PALVEX_FAKE_*).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "process.h"

// In the child, true: the caller goes on with the test body. In the parent, false after the
// child has run the same test; its failures show up as this test's failure.
inline bool rerun_in_child(EnvChanges env) {
  if (::getenv("PALVEX_TEST_CHILD") != nullptr) return true;
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
  char self[4096] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  EXPECT_GT(length, 0);
  if (length <= 0) return false;
  env["PALVEX_TEST_CHILD"] = "1";
  env["GTEST_OUTPUT"] = std::nullopt;  // the parent's report file stays the parent's
  const ProcessResult child =
      run_process({self, "--gtest_filter=" + filter}, env, std::chrono::seconds(60));
  EXPECT_TRUE(child.exited && child.status == 0)
      << "the child run of " << filter << " failed (signal " << child.signal << "):\n"
      << child.out << child.err;
  EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
  return false;
}
