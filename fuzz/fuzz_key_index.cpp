// Drives the key set with page-supplied declarations: lines "op|id|nameHex|data|kind".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "storage/key_storage.h"

namespace {

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    std::string::size_type start = 0;
    for (;;) {
        const auto bar = line.find('|', start);
        f.push_back(line.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    f.resize(5);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vq::CKeysStorage store;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(in, line)) {
        const auto f = Fields(line);
        const std::size_t before = store.Count();
        if (f[0] == "S") {
            const int rc = store.SetKey(f[1].c_str(), f[2].c_str(), f[3].c_str(),
                                        static_cast<int>(std::strtol(f[4].c_str(), nullptr, 10)));
            if (rc != 0 && store.Count() != before) std::abort();
            if (rc == 0 && store.Find(f[1].c_str()) == nullptr) std::abort();
        } else if (f[0] == "R") {
            const int rc = store.RemoveKey(f[1].c_str());
            if (store.Count() != before - (rc == 0 ? 1 : 0)) std::abort();
        } else if (f[0] == "M") {
            store.AddCardModel(f[1].c_str());
        }
    }
    // Identifiers stay unique and every entry can be shown.
    std::set<std::string> ids;
    for (std::size_t i = 0; i < store.Count(); ++i) {
        if (!ids.insert(store.At(i)->id).second) std::abort();
        (void)store.At(i)->DisplayText();
    }
    return 0;
}
