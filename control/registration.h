// The module's COM registration: the classes, the type library and the component categories that
// let a page create the control and script it without a security prompt.
#pragma once

#include <cstdint>
#include <string_view>

namespace vq {

using HResult = std::int32_t;

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSelfRegETypeLib = static_cast<HResult>(0x80040200u);  // SELFREG_E_TYPELIB
inline constexpr HResult kSelfRegEClass = static_cast<HResult>(0x80040201u);    // SELFREG_E_CLASS

// HRESULT_FROM_WIN32 for a registry error code.
HResult HResultFromWin32(long code);

// Fixed identifiers of the module. Pages name the control by its class identifier: never change
// them.
inline constexpr const char* kControlClsid = "{7DE9BCCD-D27D-47D7-8ABD-5035F04E0DED}";
inline constexpr const char* kPropPageClsid = "{F1EED466-80DC-4503-AF1F-859FD6ED2A5C}";
inline constexpr const char* kTypeLibId = "{9DAEA929-D047-4189-A095-D7F7B22D3BFF}";
inline constexpr const char* kDispatchIid = "{CBF8BDB5-F073-4EEE-A679-F3F5B4F084C9}";
inline constexpr const char* kEventsIid = "{E0D1E127-53B7-46F1-A3F5-D674C21BD029}";

inline constexpr const char* kControlProgId = "VERIQUILL.VeriquillCtrl.1";
inline constexpr const char* kPropPageProgId = "VERIQUILL.VeriquillPropPage.1";
inline constexpr const char* kTypeLibVersion = "1.0";
inline constexpr const char* kTypeLibName = "Veriquill ActiveX Control module";
inline constexpr const char* kDispatchName = "_DVeriquill";
inline constexpr const char* kEventsName = "_DVeriquillEvents";
// Invisible at run time, inside-out activation, cannot link inside, recompose on resize, set
// client site first.
inline constexpr const char* kMiscStatus = "132241";

// The well-known categories of controls that are safe for scripting and for initialising.
inline constexpr const char* kCatidSafeForScripting = "{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
inline constexpr const char* kCatidSafeForInitializing = "{7DD95802-9882-11CF-9FA9-00AA006C42C4}";
inline constexpr const char* kSafeForScriptingText = "Controls safely scriptable!";
inline constexpr const char* kSafeForInitializingText =
    "Controls safely initializable from persistent data!";

// Where the classes live: HKEY_LOCAL_MACHINE "Software\Classes" (HKEY_CLASSES_ROOT).
inline constexpr const char* kClassesKey = "Software\\Classes";

// Registers type library, classes (control and property page) and both categories for the module
// at `modulePath` (the library or executable that serves the control). 0, SELFREG_E_TYPELIB,
// SELFREG_E_CLASS, or the HRESULT of a failed category registration.
HResult DllRegisterServer(std::string_view modulePath);
// Removes type library and class entries; the category entries stay. 0, SELFREG_E_TYPELIB or
// SELFREG_E_CLASS. Entries that are already gone are not an error.
HResult DllUnregisterServer();

// The component categories manager's two calls: a category with its English (locale 409)
// description, cut to 127 characters, and a class as implementing one category.
HResult RegisterCategory(std::string_view catid, std::string_view description);
HResult RegisterClassImplCategory(std::string_view clsid, std::string_view catid);

}  // namespace vq
