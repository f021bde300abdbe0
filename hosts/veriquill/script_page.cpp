#include "hosts/veriquill/script_page.h"

#include <vector>

#include "platform/codepage/codepage.h"
#include "platform/ui/json_line.h"
#include "platform/ui/ui.h"

namespace vq::host {

// One object plays every role of the browser: service provider, browser, document and script.
struct ScriptPage::Impl : IServiceProvider,
                          IWebBrowserApp,
                          IHTMLDocument2,
                          IScriptDispatch,
                          std::enable_shared_from_this<ScriptPage::Impl> {
    std::vector<std::string> functions;

    std::shared_ptr<IWebBrowserApp> WebBrowserApp() override { return shared_from_this(); }
    std::shared_ptr<IHTMLDocument2> Document() override { return shared_from_this(); }
    std::shared_ptr<IScriptDispatch> Script() override { return shared_from_this(); }

    HRESULT_ GetIDOfName(const std::string& name, int& dispid) override {
        for (std::size_t i = 0; i < functions.size(); ++i) {
            if (functions[i] == name) {
                dispid = static_cast<int>(i + 1);
                return 0;
            }
        }
        ui::Current().Event(
            "page-call",
            ui::JsonLine().Str("function", cp::AnsiToUtf8(name)).Bool("defined", false).Fields());
        return page_error::kUnknownName;
    }

    HRESULT_ Invoke(int dispid, const std::vector<std::string>& argsLastFirst,
                    std::string* resultValue) override {
        if (dispid < 1 || dispid > static_cast<int>(functions.size()))
            return page_error::kUnknownName;
        std::string args = "[";
        for (auto it = argsLastFirst.rbegin(); it != argsLastFirst.rend(); ++it) {
            if (args.size() > 1) args += ',';
            args += ui::JsonQuote(cp::AnsiToUtf8(*it));
        }
        args += ']';
        ui::Current().Event(
            "page-call",
            ui::JsonLine()
                .Str("function", cp::AnsiToUtf8(functions[static_cast<std::size_t>(dispid - 1)]))
                .Bool("defined", true)
                .Raw("args", args)
                .Fields());
        if (resultValue) resultValue->clear();
        return 0;
    }
};

ScriptPage::ScriptPage() : impl_(std::make_shared<Impl>()) {}
ScriptPage::~ScriptPage() = default;

void ScriptPage::Define(const std::string& function) {
    for (const std::string& f : impl_->functions)
        if (f == function) return;
    impl_->functions.push_back(function);
}

std::shared_ptr<IServiceProvider> ScriptPage::ServiceProvider() {
    return impl_;
}

}  // namespace vq::host
