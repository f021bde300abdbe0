// Runs a page script against one control, as a page would for the life of its control.
#pragma once

#include <iosfwd>
#include <set>
#include <string>

#include "control/veriquill_ctrl.h"

namespace vq::host {

struct RunOptions {
    bool echo = false;  // print each call before its result
};

class ScriptRunner {
  public:
    explicit ScriptRunner(RunOptions options = {}) : options_(options) {}

    // Executes every line; prints one line per call (the result, or an empty line for a method
    // without one). Errors go to `err` naming the line; returns 0, or 1 when any line failed.
    int Run(std::istream& in, std::ostream& out, std::ostream& err);

    CVeriquillCtrl& control() { return ctrl_; }
    const std::set<std::string>& pageFunctions() const { return pageFunctions_; }

  private:
    RunOptions options_;
    CVeriquillCtrl ctrl_;
    std::set<std::string> pageFunctions_;
};

}  // namespace vq::host
