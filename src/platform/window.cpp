#include "platform/window.h"

#include <array>

#include <fmt/format.h>

#include "util/overload.h"

namespace nolv {
namespace {

constexpr std::array<const char*, 53> kNamedKeyNames = {
    "Alt",       "AltGraph",   "CapsLock", "Control",     "NumLock", "ScrollLock", "Shift",
    "Super",     "Meta",       "Fn",       "Enter",       "Tab",     "Space",      "ArrowDown",
    "ArrowLeft", "ArrowRight", "ArrowUp",  "End",         "Home",    "PageDown",   "PageUp",
    "Backspace", "Delete",     "Insert",   "ContextMenu", "Escape",  "Pause",      "PrintScreen",
    "F1",        "F2",         "F3",       "F4",          "F5",      "F6",         "F7",
    "F8",        "F9",         "F10",      "F11",         "F12",     "F13",        "F14",
    "F15",       "F16",        "F17",      "F18",         "F19",     "F20",        "F21",
    "F22",       "F23",        "F24",      "Other",
};
static_assert(kNamedKeyNames.size() == static_cast<std::size_t>(NamedKey::Other) + 1);

const char* button_name(MouseButtonKind kind) {
  switch (kind) {
    case MouseButtonKind::Left:
      return "Left";
    case MouseButtonKind::Right:
      return "Right";
    case MouseButtonKind::Middle:
      return "Middle";
    case MouseButtonKind::Back:
      return "Back";
    case MouseButtonKind::Forward:
      return "Forward";
    case MouseButtonKind::Other:
      return "Other";
  }
  return "Other";
}

}  // namespace

std::string to_string(const LogicalKey& key) {
  return std::visit(
      Overload{
          [](NamedKey k) {
            return fmt::format("Named({})", kNamedKeyNames[static_cast<std::size_t>(k)]);
          },
          [](const CharacterKey& k) { return fmt::format("Character({:?})", k.text); },
          [](const DeadKey& k) {
            return k.character ? fmt::format("Dead(Some(U+{:04X}))",
                                             static_cast<std::uint32_t>(*k.character))
                               : std::string("Dead(None)");
          },
          [](const UnidentifiedKey&) { return std::string("Unidentified"); },
      },
      key);
}

std::string to_string(const WindowEvent& event) {
  return std::visit(
      Overload{
          [](const RedrawRequested&) { return std::string("RedrawRequested"); },
          [](const Resized& e) {
            return fmt::format("Resized({}x{})", e.size.width, e.size.height);
          },
          [](const Moved& e) { return fmt::format("Moved({}, {})", e.position.x, e.position.y); },
          [](const CloseRequested&) { return std::string("CloseRequested"); },
          [](const Focused& e) { return fmt::format("Focused({})", e.focused); },
          [](const KeyboardInput& e) {
            return fmt::format(
                "KeyboardInput {{ logical_key: {}, scancode: {:#x}, pressed: {}, repeat: {}, "
                "synthetic: {} }}",
                to_string(e.logical_key), e.scancode, e.pressed, e.repeat, e.synthetic);
          },
          [](const ModifiersChanged& e) { return fmt::format("ModifiersChanged({:#x})", e.state); },
          [](const CursorMoved& e) { return fmt::format("CursorMoved({}, {})", e.x, e.y); },
          [](const MouseInput& e) {
            return e.button.kind == MouseButtonKind::Other
                       ? fmt::format("MouseInput(Other({}), pressed: {})", e.button.other,
                                     e.pressed)
                       : fmt::format("MouseInput({}, pressed: {})", button_name(e.button.kind),
                                     e.pressed);
          },
          [](const MouseWheel& e) {
            return std::visit(
                Overload{[](const LineDelta& d) {
                           return fmt::format("MouseWheel(LineDelta({}, {}))", d.x, d.y);
                         },
                         [](const PixelDelta& d) {
                           return fmt::format("MouseWheel(PixelDelta({}, {}))", d.x, d.y);
                         }},
                e.delta);
          },
          [](const ScaleFactorChanged& e) {
            return fmt::format("ScaleFactorChanged({})", e.scale_factor);
          },
          [](const PointerGrabLost&) { return std::string("PointerGrabLost"); },
          [](const OtherWindowEvent& e) { return e.description; },
      },
      event);
}

}  // namespace nolv
