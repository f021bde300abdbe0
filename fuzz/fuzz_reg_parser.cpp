// Root files and imported .reg text come from outside: parse them, and check that whatever parses
// is written back as text that parses to the same tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/registry/reg_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vq::reg;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RegDocument doc;
    if (!ParseRegText(text, size % 2 == 0, doc)) return 0;
    for (Root root : {Root::LocalMachine, Root::CurrentUser}) {
        RegNode tree;
        ApplySections(doc, root, tree);
        const std::string written = WriteRegText(root, {}, tree);
        RegDocument again;
        if (!ParseRegText(written, false, again)) std::abort();
        RegNode back;
        ApplySections(again, root, back);
        if (WriteRegText(root, {}, back) != written) std::abort();
    }
    return 0;
}
