// An active event loop for handler tests: fixed monitors and scale, and a count of exit requests.
#pragma once

#include <vector>

#include "platform/event_loop.h"

namespace nolv {

class FakeActiveLoop : public ActiveEventLoop {
 public:
  std::vector<Monitor> monitors() const override { return monitor_list; }
  double primary_scale_factor() const override { return scale_factor; }
  void exit() override { ++exit_requests; }

  std::vector<Monitor> monitor_list;
  double scale_factor = 1.0;
  int exit_requests = 0;
};

}  // namespace nolv
