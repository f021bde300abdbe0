// What the control needs from the browser that hosts it, reduced to the calls the page bridge
// makes. Each host implements these for its kind of page; a host without a page passes none.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vq {

using HRESULT_ = std::uint32_t;

// Status codes of the dispatch calls a page script can fail with.
namespace page_error {
inline constexpr HRESULT_ kUnknownName = 0x80020006;  // DISP_E_UNKNOWNNAME
inline constexpr HRESULT_ kException = 0x80020009;    // DISP_E_EXCEPTION
inline constexpr HRESULT_ kNoInterface = 0x80004002;  // E_NOINTERFACE
inline constexpr HRESULT_ kFail = 0x80004005;         // E_FAIL
}  // namespace page_error

// The script dispatch of the page's document.
class IScriptDispatch {
  public:
    virtual ~IScriptDispatch() = default;
    // GetIDsOfNames for one name.
    virtual HRESULT_ GetIDOfName(const std::string& name, int& dispid) = 0;
    // Invoke as a method. Arguments arrive as dispatch parameters do: last argument first.
    // Strings are 8-bit text in the component's code page; the host converts them for its page.
    virtual HRESULT_ Invoke(int dispid, const std::vector<std::string>& argsLastFirst,
                            std::string* resultValue) = 0;
};

class IHTMLDocument2 {
  public:
    virtual ~IHTMLDocument2() = default;
    // get_Script: null on failure.
    virtual std::shared_ptr<IScriptDispatch> Script() = 0;
};

class IWebBrowserApp {
  public:
    virtual ~IWebBrowserApp() = default;
    // get_Document: null on failure.
    virtual std::shared_ptr<IHTMLDocument2> Document() = 0;
};

class IServiceProvider {
  public:
    virtual ~IServiceProvider() = default;
    // QueryService(IWebBrowserApp): null on failure.
    virtual std::shared_ptr<IWebBrowserApp> WebBrowserApp() = 0;
};

class IClientSite {
  public:
    virtual ~IClientSite() = default;
    // QueryInterface(IServiceProvider): null on failure.
    virtual std::shared_ptr<IServiceProvider> ServiceProvider() = 0;
};

}  // namespace vq
