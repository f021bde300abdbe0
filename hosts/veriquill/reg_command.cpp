#include "hosts/veriquill/reg_command.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "platform/codepage/codepage.h"
#include "platform/registry/registry.h"
#include "storage/hex_text.h"

namespace vq::host {
namespace {

constexpr const char* kUsage =
    "usage: veriquill reg set KEY NAME VALUE                 string value\n"
    "       veriquill reg set KEY NAME --multi VALUE...      multi-string value\n"
    "       veriquill reg set KEY NAME --dword NUMBER\n"
    "       veriquill reg set KEY NAME --binary HEX\n"
    "       veriquill reg get KEY NAME\n"
    "       veriquill reg delete KEY [NAME]                  a value, or the key with its "
    "sub-keys\n"
    "       veriquill reg import FILE.reg\n"
    "       veriquill reg export KEY [FILE.reg]\n"
    "KEY starts with HKLM\\ (HKEY_LOCAL_MACHINE\\) or HKCU\\ (HKEY_CURRENT_USER\\).\n";

bool SplitKey(const std::string& key, reg::Root& root, std::string& path) {
    const auto slash = key.find('\\');
    const std::string head = key.substr(0, slash);
    path = slash == std::string::npos ? std::string() : key.substr(slash + 1);
    if (head == "HKLM" || head == "HKEY_LOCAL_MACHINE") {
        root = reg::Root::LocalMachine;
    } else if (head == "HKCU" || head == "HKEY_CURRENT_USER") {
        root = reg::Root::CurrentUser;
    } else {
        return false;
    }
    return !path.empty();
}

int Failed(std::ostream& err, const std::string& what, long code) {
    std::string message = reg::FormatMessage(code);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    err << "veriquill reg: " << what << ": error " << code << " - " << message << '\n';
    return 1;
}

std::string Ansi(const std::string& utf8, bool& ok) {
    auto a = cp::Utf8ToAnsi(utf8);
    ok = a.has_value();
    return a.value_or(std::string());
}

int Set(const std::vector<std::string>& a, std::ostream& err) {
    reg::Root root;
    std::string path;
    if (a.size() < 4 || !SplitKey(a[1], root, path)) {
        err << kUsage;
        return 2;
    }
    bool ok = true;
    const std::string name = Ansi(a[2], ok);
    std::uint32_t type = reg::kRegSz;
    std::string data;
    if (a[3] == "--multi") {
        type = reg::kRegMultiSz;
        for (std::size_t i = 4; i < a.size() && ok; ++i) {
            data += Ansi(a[i], ok);
            data += '\0';
        }
        data += '\0';
    } else if (a[3] == "--dword" && a.size() == 5) {
        type = reg::kRegDword;
        std::uint32_t v = 0;
        const auto [end, ec] = std::from_chars(a[4].data(), a[4].data() + a[4].size(), v);
        if (ec != std::errc() || end != a[4].data() + a[4].size()) {
            err << "veriquill reg: not a 32-bit number: " << a[4] << '\n';
            return 2;
        }
        for (int i = 0; i < 4; ++i) data += static_cast<char>((v >> (8 * i)) & 0xFF);
    } else if (a[3] == "--binary" && a.size() == 5) {
        type = reg::kRegBinary;
        if (HexDecode(a[4], data) != 0) {
            err << "veriquill reg: not hex text: " << a[4] << '\n';
            return 2;
        }
    } else if (a.size() == 4) {
        data = Ansi(a[3], ok);
        data += '\0';
    } else {
        err << kUsage;
        return 2;
    }
    if (!ok) {
        err << "veriquill reg: text cannot be held in " << cp::AnsiCodePage() << '\n';
        return 2;
    }
    reg::KeyPtr key;
    if (long rc = reg::CreateKey(root, path, reg::kKeyRead | reg::kKeyWrite, key))
        return Failed(err, "open " + a[1], rc);
    if (long rc =
            reg::SetValue(*key, name, type, reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<std::uint32_t>(data.size())))
        return Failed(err, "set " + a[2], rc);
    return 0;
}

int Get(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    reg::Root root;
    std::string path;
    if (a.size() != 3 || !SplitKey(a[1], root, path)) {
        err << kUsage;
        return 2;
    }
    bool ok = true;
    const std::string name = Ansi(a[2], ok);
    reg::KeyPtr key;
    if (long rc = reg::OpenKey(root, path, reg::kKeyRead, key))
        return Failed(err, "open " + a[1], rc);
    std::uint32_t type = 0, size = 0;
    if (long rc = reg::QueryValue(*key, name, &type, nullptr, &size))
        return Failed(err, "read " + a[2], rc);
    std::string data(size, '\0');
    if (long rc = reg::QueryValue(*key, name, &type, reinterpret_cast<unsigned char*>(data.data()),
                                  &size))
        return Failed(err, "read " + a[2], rc);
    data.resize(size);
    switch (type) {
        case reg::kRegSz:
        case reg::kRegExpandSz:
            if (!data.empty() && data.back() == '\0') data.pop_back();
            out << cp::AnsiToUtf8(data) << '\n';
            break;
        case reg::kRegMultiSz: {
            std::size_t start = 0;
            while (start < data.size()) {
                const std::size_t end = data.find('\0', start);
                const std::string item = data.substr(start, end - start);
                if (item.empty()) break;
                out << cp::AnsiToUtf8(item) << '\n';
                if (end == std::string::npos) break;
                start = end + 1;
            }
            break;
        }
        case reg::kRegDword:
            if (data.size() == 4) {
                std::uint32_t v = 0;
                for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(data[i]);
                out << v << '\n';
                break;
            }
            [[fallthrough]];
        default:
            out << HexEncode(data) << '\n';
    }
    return 0;
}

int Delete(const std::vector<std::string>& a, std::ostream& err) {
    reg::Root root;
    std::string path;
    if (a.size() < 2 || a.size() > 3 || !SplitKey(a[1], root, path)) {
        err << kUsage;
        return 2;
    }
    if (a.size() == 2) {
        if (long rc = reg::DeleteKey(root, path)) return Failed(err, "delete " + a[1], rc);
        return 0;
    }
    bool ok = true;
    const std::string name = Ansi(a[2], ok);
    reg::KeyPtr key;
    if (long rc = reg::OpenKey(root, path, reg::kKeyRead | reg::kKeyWrite, key))
        return Failed(err, "open " + a[1], rc);
    if (long rc = reg::DeleteValue(*key, name)) return Failed(err, "delete " + a[2], rc);
    return 0;
}

int Import(const std::vector<std::string>& a, std::ostream& err) {
    if (a.size() != 2) {
        err << kUsage;
        return 2;
    }
    std::ifstream in(a[1], std::ios::binary);
    if (!in) {
        err << "veriquill reg: cannot read " << a[1] << '\n';
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (long rc = reg::ImportText(text)) return Failed(err, "import " + a[1], rc);
    return 0;
}

int Export(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    reg::Root root;
    std::string path;
    if (a.size() < 2 || a.size() > 3 || !SplitKey(a[1], root, path)) {
        err << kUsage;
        return 2;
    }
    std::string text;
    if (long rc = reg::ExportText(root, path, text)) return Failed(err, "export " + a[1], rc);
    if (a.size() == 2) {
        out << text;
        return 0;
    }
    std::ofstream file(a[2], std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush()) {
        err << "veriquill reg: cannot write " << a[2] << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

int RegCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    const std::string& verb = args[0];
    if (verb == "set") return Set(args, err);
    if (verb == "get") return Get(args, out, err);
    if (verb == "delete") return Delete(args, err);
    if (verb == "import") return Import(args, err);
    if (verb == "export") return Export(args, out, err);
    err << kUsage;
    return 2;
}

}  // namespace vq::host
