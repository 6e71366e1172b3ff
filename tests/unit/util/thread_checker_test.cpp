#include "util/thread_checker.h"

#include <thread>

#include <gtest/gtest.h>

namespace nolv {
namespace {

// Release builds check nothing, so there is nothing to see there.
#ifndef NDEBUG
TEST(ThreadCheckerDeathTest, PassesOnItsOwnThreadAndEndsTheProcessOnAnother) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ThreadChecker checker;
  checker.check("never reported");
  EXPECT_DEATH(std::thread([&checker] { checker.check("the owner's work off its thread"); }).join(),
               "the owner's work off its thread");
}
#endif

}  // namespace
}  // namespace nolv
