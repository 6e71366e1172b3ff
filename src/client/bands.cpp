#include "client/bands.h"

#include <algorithm>

#include "util/log.h"
#include "util/thread.h"

namespace nolv {

namespace {
constexpr std::string_view kLog = "nolv::client::window";
}  // namespace

BandWorkers::~BandWorkers() {
  for (std::jthread& helper : helpers_) helper.request_stop();
  helpers_.clear();
}

void BandWorkers::run(std::uint64_t begin, std::uint64_t end, std::uint64_t row_pixels, void* work,
                      Call call) {
  if (end <= begin) return;
  const std::uint64_t rows = end - begin;
  // 64-bit throughout: a row count times a row length from the caller cannot wrap here.
  const std::uint64_t pixels =
      row_pixels != 0 && rows > UINT64_MAX / row_pixels ? UINT64_MAX : rows * row_pixels;
  // Twice as many bands as threads: a helper that wakes late leaves its share to the others.
  const std::uint64_t bands =
      std::min({std::uint64_t{2} * (kBandHelpers + 1), pixels / kMinBandPixels, rows});
  std::unique_lock run_lock(run_mutex_);
  if (bands < 2 || !start_helpers()) {
    call(work, begin, end);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    job_ = Job{call, work, begin, end, (rows + bands - 1) / bands, bands};
    next_band_ = 0;
    unfinished_ = bands;
    ++generation_;
  }
  wake_.notify_all();
  work_on_bands();
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return unfinished_ == 0; });
}

bool BandWorkers::start_helpers() {
  if (!helpers_.empty()) return true;
  if (helpers_failed_) return false;
  for (unsigned i = 0; i < kBandHelpers; ++i) {
    auto helper = spawn_joinable("present", [this](std::stop_token stop) { help(stop); });
    if (!helper) {
      log_error(kLog, "presenting on one thread: cannot start a helper: {}", helper.message());
      helpers_failed_ = true;
      for (std::jthread& started : helpers_) started.request_stop();
      helpers_.clear();
      return false;
    }
    helpers_.push_back(std::move(*helper));
  }
  return true;
}

void BandWorkers::help(std::stop_token stop) {
  std::uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  while (wake_.wait(lock, stop, [&] { return generation_ != seen; })) {
    seen = generation_;
    lock.unlock();
    work_on_bands();
    lock.lock();
  }
}

void BandWorkers::work_on_bands() {
  std::unique_lock lock(mutex_);
  while (next_band_ < job_.bands) {
    const Job job = job_;
    const std::uint64_t band = next_band_++;
    lock.unlock();
    const std::uint64_t first = job.begin + band * job.rows_per_band;
    job.call(job.work, first, std::min(first + job.rows_per_band, job.end));
    lock.lock();
    if (--unfinished_ == 0) done_.notify_all();
  }
}

}  // namespace nolv
