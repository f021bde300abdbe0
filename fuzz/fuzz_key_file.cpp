// Key-file loading: the input as key-file text (hex-encoded as the engine receives it), and as
// a payload inside valid armour.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/base_rsa.h"
#include "storage/armour.h"
#include "storage/hex_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vq::CBaseRSA rsa;
    std::string fp;
    const std::string asText = vq::HexEncode(std::span(data, size));
    rsa.LoadKeyFile(asText.c_str(), "password", fp);
    rsa.LoadKeyFile(std::string(reinterpret_cast<const char*>(data), size).c_str(), "", fp);
    const std::string armoured = vq::ArmourEncode(std::span(data, size), vq::armour::kData);
    rsa.LoadKeyFile(vq::HexEncode(armoured).c_str(), "password", fp);
    return 0;
}
