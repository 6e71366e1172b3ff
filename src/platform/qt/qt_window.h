// Native windows over Qt: one QWindow per window, a QBackingStore as its surface, Qt's events
// turned into WindowEvents.
#pragma once

#include <functional>
#include <memory>

#include <QKeyEvent>
#include <QScreen>

#include "platform/window.h"

namespace nolv {

// Called on the event-loop thread, once per event, from the top of the loop (never from inside
// a window operation), so handlers may create and destroy windows freely.
using WindowEventHandler = std::function<void(WindowId, WindowEvent)>;

// Creates and (unless attributes.visible is false) shows a window. Needs a QGuiApplication.
Result<std::shared_ptr<Window>> create_qt_window(const WindowAttributes& attributes,
                                                 WindowEventHandler handler);

std::uint32_t modifier_bits_from_qt(Qt::KeyboardModifiers modifiers);

// The screen's DPI over 96, the scale a desktop asks of its programs; 1.0 when it reports none.
double screen_scale_factor(const QScreen* screen);

}  // namespace nolv
