// Runs a page script against one control, as a page would for the life of its control.
#pragma once

#include <iosfwd>
#include <string>

#include "control/veriquill_ctrl.h"
#include "hosts/veriquill/script_page.h"

namespace vq::host {

struct RunOptions {
    bool echo = false;  // print each call before its result
    bool page = true;   // false: a host without a page (the bridge cannot attach)
};

class ScriptRunner {
  public:
    explicit ScriptRunner(RunOptions options = {});

    // Executes every line; prints one line per call (the result, or an empty line for a method
    // without one). Errors go to `err` naming the line; returns 0, or 1 when any line failed.
    int Run(std::istream& in, std::ostream& out, std::ostream& err);

    CVeriquillCtrl& control() { return ctrl_; }

  private:
    RunOptions options_;
    // The page outlives the control that holds it as client site.
    ScriptPage page_;
    CVeriquillCtrl ctrl_;
};

}  // namespace vq::host
