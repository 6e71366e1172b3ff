#include <mutex>

#include "platform/clipboard.h"
#include "platform/tray.h"

namespace nolv {
namespace {

std::mutex services_mutex;
std::shared_ptr<TrayPlatform> tray_platform;
std::shared_ptr<ClipboardAccess> clipboard_access;

}  // namespace

void ClipboardAccess::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(wait_mutex_);
  wait_cv_.wait_until(lock, deadline, [&] { return woken_; });
  woken_ = false;
}

void ClipboardAccess::wake() {
  {
    std::lock_guard lock(wait_mutex_);
    woken_ = true;
  }
  wait_cv_.notify_all();
}

void install_tray_platform(std::shared_ptr<TrayPlatform> platform) {
  std::lock_guard lock(services_mutex);
  tray_platform = std::move(platform);
}

std::shared_ptr<TrayPlatform> installed_tray_platform() {
  std::lock_guard lock(services_mutex);
  return tray_platform;
}

void install_clipboard_access(std::shared_ptr<ClipboardAccess> access) {
  std::lock_guard lock(services_mutex);
  clipboard_access = std::move(access);
}

std::shared_ptr<ClipboardAccess> installed_clipboard_access() {
  std::lock_guard lock(services_mutex);
  return clipboard_access;
}

}  // namespace nolv
