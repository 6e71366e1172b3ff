#include "util/thread.h"

#include <pthread.h>

#include <cstring>
#include <memory>

#include "util/fatal.h"

namespace nolv {

namespace {

struct Start {
  std::string name;
  ThreadBody body;
};

void* thread_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  set_thread_name(start->name);
  start->body();
  return nullptr;
}

}  // namespace

Status spawn_detached(std::string name, ThreadBody body, std::size_t stack_size) {
  pthread_attr_t attr;
  if (int rc = pthread_attr_init(&attr); rc != 0) return fail("{}", std::strerror(rc));
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (int rc = pthread_attr_setstacksize(&attr, stack_size); rc != 0) {
    pthread_attr_destroy(&attr);
    return fail("{}", std::strerror(rc));
  }
  auto start = std::make_unique<Start>(Start{std::move(name), std::move(body)});
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, thread_main, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return fail("{}", std::strerror(rc));
  (void)start.release();  // owned by the thread now
  return {};
}

}  // namespace nolv
