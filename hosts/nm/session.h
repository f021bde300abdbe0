// One page's control, served over native messaging: the host process holds exactly one, so the
// key set, the signing lock and the dialog variant live as long as the page's control.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/veriquill_ctrl.h"
#include "operations/client_site.h"

namespace vq::nm {

// Sends one message to the extension; false when the browser has gone.
using Sender = std::function<bool(std::string_view json)>;

// The page as the control sees it through its client site: a script call becomes a message to
// the extension, which calls the page's function. Nothing waits for the function's return value.
class BrowserPage : public IClientSite {
  public:
    explicit BrowserPage(Sender send);
    ~BrowserPage() override;
    std::shared_ptr<IServiceProvider> ServiceProvider() override;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

class Session {
  public:
    // `startWindows` runs before the first call that may show a window (the host starts its
    // window system then, not at start-up).
    Session(Sender send, std::vector<std::string> allowedOrigins,
            std::function<void()> startWindows = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Handles one message. False when the host should end: the page was refused, or the browser
    // can no longer be written to.
    bool Handle(std::string_view message);
    // Answers a message that could not be read whole (too large).
    bool Reject(std::string_view error);

    bool opened() const { return opened_; }
    bool refused() const { return refused_; }
    const std::string& origin() const { return origin_; }
    CVeriquillCtrl& control() { return *ctrl_; }

  private:
    Sender send_;
    std::vector<std::string> allowed_;
    std::function<void()> startWindows_;
    bool opened_ = false;
    bool refused_ = false;
    std::string origin_;
    // The page outlives the control that holds it as client site.
    BrowserPage page_;
    std::unique_ptr<CVeriquillCtrl> ctrl_;
};

}  // namespace vq::nm
