#include "control/registration.h"

#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "resources/text.h"

namespace vq {
namespace {

// The universal marshaller of dispatch interfaces described by a type library.
constexpr const char* kOleAutomationProxy = "{00020420-0000-0000-C000-000000000046}";
constexpr const char* kEnglishLocale = "409";
constexpr std::size_t kMaxCategoryDescription = 127;

std::string ClassPath(std::string_view sub) {
    std::string p = kClassesKey;
    if (!sub.empty()) p.append("\\").append(sub);
    return p;
}

// Creates the key below the classes key and, when `value` is given, sets the named value.
long Write(std::string_view sub, std::string_view name, const std::string* value) {
    reg::KeyPtr key;
    long rc = reg::CreateKey(reg::Root::LocalMachine, ClassPath(sub),
                             reg::kKeyRead | reg::kKeyWrite, key);
    if (rc != reg::kErrorSuccess || value == nullptr) return rc;
    return reg::SetValue(*key, std::string(name), reg::kRegSz,
                         reinterpret_cast<const unsigned char*>(value->c_str()),
                         static_cast<std::uint32_t>(value->size() + 1));
}

// One registration step: a list of (key, value name, value) writes that stop at the first failure.
struct Entry {
    std::string key;
    std::string name;
    std::string value;
    bool keyOnly = false;
};

long WriteAll(const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
        const long rc = Write(e.key, e.name, e.keyOnly ? nullptr : &e.value);
        if (rc != reg::kErrorSuccess) return rc;
    }
    return reg::kErrorSuccess;
}

long Delete(std::string_view sub) {
    const long rc = reg::DeleteKey(reg::Root::LocalMachine, ClassPath(sub));
    return rc == reg::kErrorFileNotFound ? reg::kErrorSuccess : rc;
}

std::string Sub(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (std::string_view p : parts) {
        if (!s.empty()) s.push_back('\\');
        s.append(p);
    }
    return s;
}

HResult RegisterTypeLib(std::string_view modulePath) {
    const std::string lib = Sub({"TypeLib", kTypeLibId, kTypeLibVersion});
    std::string helpDir = std::filesystem::path(modulePath).parent_path().string();
    std::vector<Entry> entries = {
        {lib, "", kTypeLibName},
        {Sub({lib, "0", "win32"}), "", std::string(modulePath)},
        {Sub({lib, "FLAGS"}), "", "0"},
        {Sub({lib, "HELPDIR"}), "", helpDir},
    };
    for (auto [iid, name] : {std::pair{kDispatchIid, kDispatchName}, {kEventsIid, kEventsName}}) {
        const std::string itf = Sub({"Interface", iid});
        entries.push_back({itf, "", name});
        entries.push_back({Sub({itf, "ProxyStubClsid"}), "", kOleAutomationProxy});
        entries.push_back({Sub({itf, "ProxyStubClsid32"}), "", kOleAutomationProxy});
        entries.push_back({Sub({itf, "TypeLib"}), "", kTypeLibId});
        entries.push_back({Sub({itf, "TypeLib"}), "Version", kTypeLibVersion});
    }
    return WriteAll(entries) == reg::kErrorSuccess ? kSOk : kSelfRegETypeLib;
}

std::vector<Entry> ServerEntries(std::string_view clsid, std::string_view progId,
                                 const std::string& typeName, std::string_view modulePath) {
    const std::string cls = Sub({"CLSID", clsid});
    return {
        {std::string(progId), "", typeName},
        {Sub({progId, "CLSID"}), "", std::string(clsid)},
        {cls, "", typeName},
        {Sub({cls, "ProgID"}), "", std::string(progId)},
        {Sub({cls, "InprocServer32"}), "", std::string(modulePath)},
        {Sub({cls, "InprocServer32"}), "ThreadingModel", "Apartment"},
    };
}

HResult RegisterClasses(std::string_view modulePath) {
    std::vector<Entry> entries =
        ServerEntries(kControlClsid, kControlProgId, LoadResource(1), modulePath);
    const std::string cls = Sub({"CLSID", kControlClsid});
    // MiscStatus as the control framework writes it: the status for all aspects under the
    // default value, the content aspect (1) in a sub-key. Both carry the control's bits, which
    // have no aspect-specific difference.
    const std::vector<Entry> control = {
        {Sub({cls, "Control"}), "", "", true},
        {Sub({cls, "MiscStatus"}), "", "0"},
        {Sub({cls, "MiscStatus", "1"}), "", kMiscStatus},
        {Sub({cls, "TypeLib"}), "", kTypeLibId},
        {Sub({cls, "Version"}), "", kTypeLibVersion},
    };
    entries.insert(entries.end(), control.begin(), control.end());
    const std::vector<Entry> page =
        ServerEntries(kPropPageClsid, kPropPageProgId, LoadResource(2), modulePath);
    entries.insert(entries.end(), page.begin(), page.end());
    return WriteAll(entries) == reg::kErrorSuccess ? kSOk : kSelfRegEClass;
}

}  // namespace

HResult HResultFromWin32(long code) {
    if (code <= 0) return static_cast<HResult>(code);
    return static_cast<HResult>((static_cast<std::uint32_t>(code) & 0xFFFFu) | 0x80070000u);
}

HResult RegisterCategory(std::string_view catid, std::string_view description) {
    const std::string text(description.substr(0, kMaxCategoryDescription));
    return HResultFromWin32(Write(Sub({"Component Categories", catid}), kEnglishLocale, &text));
}

HResult RegisterClassImplCategory(std::string_view clsid, std::string_view catid) {
    return HResultFromWin32(
        Write(Sub({"CLSID", clsid, "Implemented Categories", catid}), "", nullptr));
}

HResult DllRegisterServer(std::string_view modulePath) {
    if (modulePath.empty()) return kSelfRegETypeLib;
    if (RegisterTypeLib(modulePath) != kSOk) return kSelfRegETypeLib;
    if (RegisterClasses(modulePath) != kSOk) return kSelfRegEClass;
    for (auto [catid, text] : {std::pair{kCatidSafeForInitializing, kSafeForInitializingText},
                               {kCatidSafeForScripting, kSafeForScriptingText}}) {
        HResult hr = RegisterCategory(catid, text);
        if (hr == kSOk) hr = RegisterClassImplCategory(kControlClsid, catid);
        if (hr != kSOk) return hr;
    }
    return kSOk;
}

HResult DllUnregisterServer() {
    // The type library: its version, its identifier when no other version is left, and the
    // interfaces it described.
    const std::string lib = Sub({"TypeLib", kTypeLibId});
    long rc = Delete(Sub({lib, kTypeLibVersion}));
    if (rc == reg::kErrorSuccess) {
        reg::KeyPtr key;
        std::vector<std::string> versions;
        if (reg::OpenKey(reg::Root::LocalMachine, ClassPath(lib), reg::kKeyRead, key) ==
                reg::kErrorSuccess &&
            reg::EnumKeys(*key, versions) == reg::kErrorSuccess && versions.empty()) {
            key.reset();
            rc = Delete(lib);
        }
    }
    for (const char* iid : {kDispatchIid, kEventsIid})
        if (rc == reg::kErrorSuccess) rc = Delete(Sub({"Interface", iid}));
    if (rc != reg::kErrorSuccess) return kSelfRegETypeLib;

    // The classes; the categories they were entered in stay registered.
    for (const std::string& sub : {Sub({"CLSID", kControlClsid}), std::string(kControlProgId),
                                   Sub({"CLSID", kPropPageClsid}), std::string(kPropPageProgId)}) {
        if (Delete(sub) != reg::kErrorSuccess) return kSelfRegEClass;
    }
    return kSOk;
}

}  // namespace vq
