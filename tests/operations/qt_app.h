// One QApplication for the test run, destroyed before the process exits.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace vq::test {

class QtAppEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_operations";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QApplication> app_;
};

// Registered once for the whole executable, whichever files include this.
inline ::testing::Environment* const kQtAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace vq::test
