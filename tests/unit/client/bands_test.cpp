#include "client/bands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace nolv {
namespace {

struct Calls {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bands;
  std::vector<std::thread::id> threads;
};

Calls run_job(BandWorkers& workers, std::uint64_t begin, std::uint64_t end,
              std::uint64_t row_pixels) {
  Calls calls;
  std::mutex mutex;
  workers.for_each_band(begin, end, row_pixels, [&](std::uint64_t first, std::uint64_t last) {
    std::lock_guard lock(mutex);
    calls.bands.emplace_back(first, last);
    calls.threads.push_back(std::this_thread::get_id());
  });
  return calls;
}

// Every row once: the bands, sorted, are non-empty and follow each other from begin to end.
void expect_exact_cover(Calls& calls, std::uint64_t begin, std::uint64_t end) {
  std::sort(calls.bands.begin(), calls.bands.end());
  std::uint64_t next = begin;
  for (const auto& [first, last] : calls.bands) {
    EXPECT_EQ(first, next);
    EXPECT_LT(first, last);
    next = last;
  }
  EXPECT_EQ(next, end);
}

TEST(BandWorkers, SmallJobsRunWholeOnTheCaller) {
  BandWorkers workers;
  struct Case {
    std::uint64_t begin, end, row_pixels;
    bool whole;
  } cases[] = {
      {0, 100, 100, true},                   // far below one band's worth
      {0, 2, kMinBandPixels - 1, true},      // just short of two bands' worth
      {5, 6, kMinBandPixels * 8, true},      // one row, however long
      {0, 3, 0, true},                       // rows of no pixels
      {0, 2, kMinBandPixels, false},         // exactly two bands' worth
      {0, 1u << 20, UINT64_MAX / 2, false},  // a pixel count past 64 bits: saturated
  };
  for (const Case& c : cases) {
    Calls calls = run_job(workers, c.begin, c.end, c.row_pixels);
    if (c.whole) {
      ASSERT_EQ(calls.bands.size(), 1u);
      EXPECT_EQ(calls.threads[0], std::this_thread::get_id());
    } else {
      EXPECT_GT(calls.bands.size(), 1u);
    }
    expect_exact_cover(calls, c.begin, c.end);
  }
  Calls empty = run_job(workers, 10, 10, 1000);
  EXPECT_TRUE(empty.bands.empty());
}

// Many large jobs in a row, each split and covered exactly once; a wake-up lost between two jobs
// would hang here, a band handed out twice or skipped would break the cover.
TEST(BandWorkers, LargeJobsAreSplitAndCoveredExactlyOnce) {
  BandWorkers workers;
  for (std::uint64_t job = 0; job < 300; ++job) {
    const std::uint64_t begin = job % 7;
    const std::uint64_t end = begin + 1080 + job % 13;
    Calls calls = run_job(workers, begin, end, 1920);
    EXPECT_GT(calls.bands.size(), 1u);
    EXPECT_LE(calls.bands.size(), 2 * (kBandHelpers + 1));
    expect_exact_cover(calls, begin, end);
  }
}

}  // namespace
}  // namespace nolv
