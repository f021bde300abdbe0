// The page a script-host run stands in for: it defines the functions the script declares with
// `page function NAME`, and every call the control makes into it goes to the transcript.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "operations/client_site.h"

namespace vq::host {

class ScriptPage : public IClientSite {
  public:
    ScriptPage();
    ~ScriptPage() override;
    void Define(const std::string& function);
    std::shared_ptr<IServiceProvider> ServiceProvider() override;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace vq::host
