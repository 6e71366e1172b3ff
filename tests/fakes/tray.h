// A tray platform that records the icon's spec and balloons, for tests of the tray logic.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/tray.h"

namespace nolv {

struct FakeTrayState {
  TrayIconSpec spec;
  bool present = false;
  int removed = 0;
  struct Balloon {
    std::u16string title;
    std::u16string text;
  };
  std::vector<Balloon> balloons;
  int withdrawn = 0;
  bool balloons_fail = false;
};

class FakeTrayPlatform : public TrayPlatform {
 public:
  std::shared_ptr<FakeTrayState> state = std::make_shared<FakeTrayState>();
  std::optional<std::string> fail_with;  // the reason text of a failed creation
  bool fallback_icon = false;
  int attempts = 0;

  Result<AddedTrayIcon> add_tray_icon(TrayIconSpec spec) override {
    ++attempts;
    if (fail_with) return Error{*fail_with};
    state->spec = std::move(spec);
    state->present = true;
    return AddedTrayIcon{std::make_unique<Icon>(state), fallback_icon};
  }

 private:
  class Icon : public TrayIconBackend {
   public:
    Icon(const Icon&) = delete;
    Icon& operator=(const Icon&) = delete;
    explicit Icon(std::shared_ptr<FakeTrayState> s) : s_(std::move(s)) {}
    ~Icon() override {
      s_->present = false;
      ++s_->removed;
    }
    bool show_balloon(const std::u16string& title, const std::u16string& text) override {
      if (s_->balloons_fail) return false;
      s_->balloons.push_back({title, text});
      return true;
    }
    void withdraw_balloon() override { ++s_->withdrawn; }

   private:
    std::shared_ptr<FakeTrayState> s_;
  };
};

}  // namespace nolv
