// Certificate armour as it arrives from the page (a certificate-store key's data): decoded,
// parsed as a certificate and checked for validity.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/system_cert_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte picks the days ahead, so that far moments are reached too.
    const int days = static_cast<std::int8_t>(data[0]) * 40000;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    vq::CertDate expiry;
    vq::CSystemCertStore::CheckValidity(text.c_str(), days, &expiry);
    return 0;
}
