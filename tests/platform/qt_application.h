// The one application object of the platform tests: Qt wants it before windows, cursors or
// input events are made.
#pragma once

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <memory>

namespace nolv {

// It lives from the first test that asks for it to the end of the run, and goes before the
// static destructors, which Qt does not survive.
class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { app_.reset(); }
  void ensure() {
    if (qGuiApp == nullptr) app_ = std::make_unique<QGuiApplication>(argc_, argv_);
  }

 private:
  int argc_ = 1;
  char name_[20] = "nolv_platform_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QGuiApplication> app_;
};

inline void ensure_qt_application() {
  static QtApplicationEnvironment* const environment = static_cast<QtApplicationEnvironment*>(
      ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment));
  environment->ensure();
}

}  // namespace nolv
