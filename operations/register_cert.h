// RegisterCert: the user picks a certificate of the personal store and names it, so that the page
// can declare it as a key of the certificate-store kind.
#pragma once

#include <functional>
#include <string>

namespace vq {

class CSystemCertStore;

// Shows the listed certificates and lets the user choose one and type its name: true on OK with
// the name (component text) and the chosen certificate's armour, false when cancelled.
using CertChooser =
    std::function<bool(const CSystemCertStore& store, std::string& name, std::string& certificate)>;

// Lists the store (2 and 21 pass through), lets the user choose, and gives 0 with the name as
// hex text of its ISO-8859-2 form and the certificate armour; 8 when the user cancels. The
// result text is "%d|%s|%s" with 0, nameHex, certificate, or "%d" with any other code.
int RegisterCert(CSystemCertStore& store, const CertChooser& choose, std::string& nameHex,
                 std::string& certificate);

}  // namespace vq
