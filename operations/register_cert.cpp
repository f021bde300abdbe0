#include "operations/register_cert.h"

#include "crypto/system_cert_store.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {

int RegisterCert(CSystemCertStore& store, const CertChooser& choose, std::string& nameHex,
                 std::string& certificate) {
    nameHex.clear();
    certificate.clear();
    if (const int rc = store.List(); rc != code::kOk) return rc;
    std::string name, chosen;
    if (!choose || !choose(store, name, chosen)) return code::kCancelled;
    nameHex = HexEncode(Win1250ToIso(name));
    certificate = std::move(chosen);
    return code::kOk;
}

}  // namespace vq
