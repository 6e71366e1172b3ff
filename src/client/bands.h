// Row bands: one large pixel copy split over the calling thread and a few helper threads, so that
// presenting a big window is not held to what one core moves through memory.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace nolv {

// Three helpers and the caller: one core copies about 13 GB/s on an 8-core desktop, four about
// twice that; more would only compete with the decode thread for the same bandwidth. Helpers
// start on the first job large enough to split, so they are counted once per session.
inline constexpr unsigned kBandHelpers = 3;
// Below this many pixels a band costs more in wake-ups than the copy it takes off the caller.
inline constexpr std::uint64_t kMinBandPixels = 256 * 1024;

class BandWorkers {
 public:
  BandWorkers() = default;
  BandWorkers(const BandWorkers&) = delete;
  BandWorkers& operator=(const BandWorkers&) = delete;
  ~BandWorkers();

  // Calls work(first, end) on disjoint bands of rows that together are exactly [begin, end), each
  // row `row_pixels` pixels; returns when every band is done. A job too small to split, or one
  // given while the helpers cannot start, runs on the caller alone.
  template <typename Work>
  void for_each_band(std::uint64_t begin, std::uint64_t end, std::uint64_t row_pixels,
                     Work&& work) {
    using Fn = std::remove_reference_t<Work>;
    run(begin, end, row_pixels, &work, [](void* w, std::uint64_t first, std::uint64_t last) {
      (*static_cast<Fn*>(w))(first, last);
    });
  }

 private:
  using Call = void (*)(void*, std::uint64_t, std::uint64_t);
  struct Job {
    Call call = nullptr;
    void* work = nullptr;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::uint64_t rows_per_band = 0;
    std::uint64_t bands = 0;
  };

  void run(std::uint64_t begin, std::uint64_t end, std::uint64_t row_pixels, void* work, Call call);
  bool start_helpers();
  void help(std::stop_token stop);
  void work_on_bands();

  std::mutex run_mutex_;  // one job at a time
  std::mutex mutex_;      // the fields below
  std::condition_variable_any wake_;
  std::condition_variable done_;
  Job job_;
  std::uint64_t next_band_ = 0;
  std::uint64_t unfinished_ = 0;
  std::uint64_t generation_ = 0;
  bool helpers_failed_ = false;
  std::vector<std::jthread> helpers_;  // last: stopped and joined before the state they use goes
};

// As BandWorkers::for_each_band on `workers`; without them, the whole job on the caller.
template <typename Work>
void for_each_band(BandWorkers* workers, std::uint64_t begin, std::uint64_t end,
                   std::uint64_t row_pixels, Work&& work) {
  if (workers != nullptr) {
    workers->for_each_band(begin, end, row_pixels, work);
  } else if (begin < end) {
    work(begin, end);
  }
}

}  // namespace nolv
