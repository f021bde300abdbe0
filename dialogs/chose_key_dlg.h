// The certificate choice dialog behind RegisterCert: lists the certificates of the user's store,
// lets the user pick one and name it, and returns the certificate armour and the name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

class CSystemCertStore;

inline constexpr int kChoseKeyDialogId = 203;
// The longest name the edit accepts.
inline constexpr std::size_t kCertNameMaxLength = 20;

// Control ids of the dialog.
namespace chosekey {
inline constexpr int kGroup = 235;
inline constexpr int kListLabel = 227;
inline constexpr int kList = 203;
inline constexpr int kNameLabel = 237;
inline constexpr int kName = 202;
}  // namespace chosekey

// The OK checks in order: empty name (text 243), name over 20 characters (237), name already
// used by a key of the key set, exact and case-sensitive (222), no row selected (216). Returns
// the text of the first check that fails, or 0 when the choice is accepted. `selectedRow` is
// -1 when no row is selected.
int CheckCertChoice(std::string_view name, const std::vector<std::string>& namesInUse,
                    int selectedRow);

// The box shown on a double-click: "Issued for:", the full subject, a blank line, "Issued by:",
// the full issuer, in the current language.
std::string CertDetailsText(std::string_view fullSubject, std::string_view fullIssuer);

// One row of the list, as the store collected it.
struct CertRow {
    std::string subjectName;  // column "Issued for:"
    std::string issuerName;   // column "Issued by:"
    std::string subjectDn;
    std::string issuerDn;
    std::string certificate;  // armour
};
std::vector<CertRow> CertRows(const CSystemCertStore& store);

}  // namespace vq
