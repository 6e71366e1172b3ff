#include "util/thread.h"

#include <pthread.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace nolv {
namespace {

using namespace std::chrono_literals;

// Fulfils its promise when the object it owns is freed.
struct SignalOnFree {
  std::promise<void>* freed;
  void operator()(int* value) const {
    delete value;
    freed->set_value();
  }
};

TEST(SpawnDetached, RunsAMoveOnlyBodyOnceUnderItsNameAndFreesWhatItOwns) {
  std::promise<std::string> ran;
  std::promise<void> freed;
  std::unique_ptr<int, SignalOnFree> owned(new int(7), SignalOnFree{&freed});
  Status started = spawn_detached(
      "owner",
      [&ran, owned = std::move(owned)] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        ran.set_value(std::string(name) + "=" + std::to_string(*owned));
      },
      64 * 1024);
  ASSERT_TRUE(started) << started.message();
  auto ran_future = ran.get_future();
  ASSERT_EQ(ran_future.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(ran_future.get(), "owner=7");
  EXPECT_EQ(freed.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace nolv
