#include "hosts/nm/session.h"

#include <openssl/crypto.h>

#include <cstdio>

#include "control/method_table.h"
#include "hosts/nm/access.h"
#include "hosts/nm/framing.h"
#include "hosts/nm/protocol.h"
#include "platform/codepage/codepage.h"

namespace vq::nm {
namespace {

// ANSI code pages are supersets of ASCII: pure ASCII text (most arguments and results: codes,
// hex text, identifiers) crosses unchanged, without a converter being opened for it.
bool IsAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

std::optional<std::string> ToAnsi(const std::string& utf8) {
    if (IsAscii(utf8)) return utf8;
    return cp::Utf8ToAnsi(utf8);
}

std::string FromAnsi(const std::string& ansi) {
    return IsAscii(ansi) ? ansi : cp::AnsiToUtf8(ansi);
}

void Wipe(std::vector<ScriptValue>& args) {
    for (ScriptValue& v : args)
        if (auto* s = std::get_if<std::string>(&v)) OPENSSL_cleanse(s->data(), s->size());
}

}  // namespace

// One object plays the service provider, the browser, the document and its script.
struct BrowserPage::Impl : IServiceProvider,
                           IWebBrowserApp,
                           IHTMLDocument2,
                           IScriptDispatch,
                           std::enable_shared_from_this<BrowserPage::Impl> {
    explicit Impl(Sender s) : send(std::move(s)) {}
    Sender send;
    std::vector<std::string> names;

    std::shared_ptr<IWebBrowserApp> WebBrowserApp() override { return shared_from_this(); }
    std::shared_ptr<IHTMLDocument2> Document() override { return shared_from_this(); }
    std::shared_ptr<IScriptDispatch> Script() override { return shared_from_this(); }

    // Whether the page defines the function is known only to the page: every name resolves,
    // and a call to a function the page lacks does nothing there.
    HRESULT_ GetIDOfName(const std::string& name, int& dispid) override {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == name) {
                dispid = static_cast<int>(i + 1);
                return 0;
            }
        }
        names.push_back(name);
        dispid = static_cast<int>(names.size());
        return 0;
    }

    HRESULT_ Invoke(int dispid, const std::vector<std::string>& argsLastFirst,
                    std::string* resultValue) override {
        if (dispid < 1 || dispid > static_cast<int>(names.size())) return page_error::kUnknownName;
        std::vector<std::string> args;
        for (auto it = argsLastFirst.rbegin(); it != argsLastFirst.rend(); ++it)
            args.push_back(FromAnsi(*it));
        const std::string function = FromAnsi(names[static_cast<std::size_t>(dispid - 1)]);
        if (resultValue) resultValue->clear();
        return send(ScriptCall(function, args)) ? 0 : page_error::kFail;
    }
};

BrowserPage::BrowserPage(Sender send) : impl_(std::make_shared<Impl>(std::move(send))) {}
BrowserPage::~BrowserPage() = default;

std::shared_ptr<IServiceProvider> BrowserPage::ServiceProvider() {
    return impl_;
}

Session::Session(Sender send, std::vector<std::string> allowedOrigins,
                 std::function<void()> startWindows)
    : send_(std::move(send)),
      allowed_(std::move(allowedOrigins)),
      startWindows_(std::move(startWindows)),
      page_(send_) {}

Session::~Session() = default;

bool Session::Reject(std::string_view error) {
    return send_(ErrorReply(std::nullopt, error));
}

bool Session::Handle(std::string_view message) {
    Request request = ParseRequest(message);

    if (auto* bad = std::get_if<BadRequest>(&request))
        return send_(ErrorReply(bad->id, bad->error));

    if (auto* open = std::get_if<OpenRequest>(&request)) {
        if (opened_) return send_(ErrorReply(std::nullopt, "open: the control is already open"));
        if (!OriginAllowed(open->origin, allowed_)) {
            refused_ = true;
            send_(RefusedReply("the page " + open->origin +
                               " is not allowed to use the signing component (only https pages "
                               "the administrator has listed may use it)"));
            return false;
        }
        opened_ = true;
        origin_ = *NormalizeHttpsOrigin(open->origin);
        // The control is created for the page, as the browser created it for its OBJECT element.
        ctrl_ = std::make_unique<CVeriquillCtrl>();
        ctrl_->SetClientSite(&page_);
        // The language is process-wide for the original's pages; a new control takes the one
        // the page chose last.
        if (open->language) ctrl_->SetLanguage(*open->language);
        return send_(OpenedReply(kVersionText));
    }

    auto& call = std::get<CallRequest>(request);
    if (!opened_) return send_(ErrorReply(call.id, "the control is not open"));
    const MethodInfo* method = FindMethod(call.method);
    if (!method) {
        Wipe(call.args);
        return send_(ErrorReply(call.id, "unknown method \"" + call.method + "\""));
    }
    // Strings reach the component in its ANSI code page, as the scripting engine converted them.
    for (std::size_t i = 0; i < call.args.size(); ++i) {
        auto* s = std::get_if<std::string>(&call.args[i]);
        if (!s) continue;
        auto ansi = ToAnsi(*s);
        if (!ansi) {
            Wipe(call.args);
            return send_(ErrorReply(call.id, std::string(method->name) + ": argument " +
                                                 std::to_string(i + 1) + " is not valid text"));
        }
        OPENSSL_cleanse(s->data(), s->size());
        *s = std::move(*ansi);
    }
    if (startWindows_ && MayOpenWindows(*method)) startWindows_();
    const InvokeResult r = ctrl_->Invoke(method->dispid, call.args);
    Wipe(call.args);
    if (r.hr)
        return send_(ErrorReply(call.id, std::string(method->name) + ": " + DescribeHresult(r.hr)));
    std::optional<std::string> value;
    if (r.value) value = FromAnsi(*r.value);
    std::string reply = ResultReply(call.id, value);
    if (reply.size() > kMaxOutgoing)
        return send_(ErrorReply(
            call.id, std::string(method->name) + ": the result is larger than a browser accepts"));
    return send_(reply);
}

}  // namespace vq::nm
