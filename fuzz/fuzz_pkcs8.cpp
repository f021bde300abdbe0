// PKCS#8 loading of arbitrary DER (hex-encoded as the engine receives it).
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/base_rsa.h"
#include "storage/hex_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vq::CBaseRSA rsa;
    std::string fp;
    const std::string hex = vq::HexEncode(std::span(data, size));
    rsa.LoadPkcs8Key(hex.c_str(), "s3cret", fp);
    return 0;
}
