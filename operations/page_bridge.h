// Calls back into the page's script (after a wrong key password, "componentWKPEvent").
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "operations/client_site.h"

namespace vq {

// Attach statuses.
namespace attach {
inline constexpr int kNotYet = -1;
inline constexpr int kAttached = 0;
inline constexpr int kNoServiceProvider = 83;
inline constexpr int kNoWebBrowser = 84;
inline constexpr int kNoDocument = 85;
inline constexpr int kNoClientSite = 86;
}  // namespace attach

class CWebPage {
  public:
    bool SetDocument(std::shared_ptr<IHTMLDocument2> document);
    bool CallScript(const std::string& function, const std::vector<std::string>& args,
                    std::string* resultValue = nullptr);
    const std::string& lastError() const { return lastError_; }

  private:
    std::shared_ptr<IHTMLDocument2> document_;
    std::string lastError_;
};

class CCallJS {
  public:
    // Finds the page through the client site; returns and keeps the status.
    int Attach(IClientSite* site);
    int status() const { return status_; }
    // Calls "componentWKPEvent"(first, keyId, keyName, count as decimal); the outcome is ignored.
    int WrongPasswordEvent(const std::string& first, const std::string& keyId,
                           const std::string& keyName, int count);
    CWebPage& page() { return page_; }

  private:
    int status_ = attach::kNotYet;
    CWebPage page_;
};

// The system's text for a failing call, as FormatMessage gives it.
std::string HresultText(HRESULT_ hr);

}  // namespace vq
