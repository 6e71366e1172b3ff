// An active event loop for handler tests: fixed monitors and scale, and a count of exit requests.
#pragma once

#include <vector>

#include "fakes/window.h"
#include "platform/event_loop.h"

namespace nolv {

class FakeActiveLoop : public ActiveEventLoop {
 public:
  std::vector<Monitor> monitors() const override { return monitor_list; }
  double primary_scale_factor() const override { return scale_factor; }
  void exit() override { ++exit_requests; }
  Result<std::shared_ptr<Window>> create_window(const WindowAttributes& attributes) override {
    if (fail_windows) return fail("no windows here");
    auto window = std::make_shared<FakeWindow>(WindowId{next_window_id++}, attributes);
    window->fail_surface = fail_surfaces;
    window->fail_surface_resize = fail_surface_sizes;
    windows.push_back(window);
    return std::shared_ptr<Window>(window);
  }

  std::vector<Monitor> monitor_list;
  double scale_factor = 1.0;
  int exit_requests = 0;
  bool fail_windows = false;
  bool fail_surfaces = false;       // windows made from now on have no surface
  bool fail_surface_sizes = false;  // and their surfaces refuse every size
  std::uint64_t next_window_id = 1;
  std::vector<std::shared_ptr<FakeWindow>> windows;  // every window created, in order
};

}  // namespace nolv
