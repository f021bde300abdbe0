// The SONAME reader behind the modules' version information parses whatever file a DLL name
// points at.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/loader/loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string soname;
    if (vq::loader::ParseElfSoname(data, size, soname)) {
        vq::loader::FixedFileInfo info;
        vq::loader::SonameVersion(soname, info);
    }
    return 0;
}
