// The X server's bell, for when no audio output plays the tone; and the bell the program uses.
#pragma once

#include <memory>

#include "platform/bell.h"

namespace nolv {

// Rings the keyboard bell of the display in DISPLAY at the given pitch and length, leaving the
// desktop's own bell settings as they were.
class XServerBell : public Bell {
 public:
  Status beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override;
};

// A tone on the default audio output, else the X bell.
std::shared_ptr<Bell> make_system_bell();

}  // namespace nolv
