#include "operations/page_bridge.h"

#include <algorithm>

namespace vq {

std::string HresultText(HRESULT_ hr) {
    switch (hr) {
        case page_error::kUnknownName:
            return "Unknown name.\r\n";
        case page_error::kException:
            return "Exception occurred.\r\n";
        case page_error::kNoInterface:
            return "No such interface supported\r\n";
        case page_error::kFail:
            return "Unspecified error\r\n";
        case 0x80020003:
            return "Member not found.\r\n";
        case 0x8002000E:
            return "Invalid number of parameters.\r\n";
        case 0x80020005:
            return "Type mismatch.\r\n";
    }
    return "FormatMessage Netive Error";
}

bool CWebPage::SetDocument(std::shared_ptr<IHTMLDocument2> document) {
    if (!document) {
        lastError_ = "NULL pointer";
        return false;
    }
    document_ = std::move(document);
    return true;
}

bool CWebPage::CallScript(const std::string& function, const std::vector<std::string>& args,
                          std::string* resultValue) {
    if (!document_) {
        lastError_ = "NULL pointer";
        return false;
    }
    const std::shared_ptr<IScriptDispatch> script = document_->Script();
    if (!script) {
        lastError_ = "Cannot GetScript";
        return false;
    }
    int dispid = 0;
    if (HRESULT_ hr = script->GetIDOfName(function, dispid)) {
        lastError_ = "JSCall Error:\n" + HresultText(hr);
        return false;
    }
    // Dispatch parameters travel last argument first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    std::string value;
    if (HRESULT_ hr = script->Invoke(dispid, reversed, &value)) {
        lastError_ = "JSCall Error:\n" + HresultText(hr);
        return false;
    }
    if (resultValue) *resultValue = std::move(value);
    return true;
}

int CCallJS::Attach(IClientSite* site) {
    if (!site) return status_ = attach::kNoClientSite;
    const auto provider = site->ServiceProvider();
    if (!provider) return status_ = attach::kNoServiceProvider;
    const auto browser = provider->WebBrowserApp();
    if (!browser) return status_ = attach::kNoWebBrowser;
    auto document = browser->Document();
    if (!document) return status_ = attach::kNoDocument;
    // A document that is not an HTML document leaves the page without one; the attach itself
    // counts as done, as it did for the original.
    page_.SetDocument(std::move(document));
    return status_ = attach::kAttached;
}

int CCallJS::WrongPasswordEvent(const std::string& first, const std::string& keyId,
                                const std::string& keyName, int count) {
    page_.CallScript("componentWKPEvent", {first, keyId, keyName, std::to_string(count)});
    return 0;
}

}  // namespace vq
