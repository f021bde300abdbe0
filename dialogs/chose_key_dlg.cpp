#include "dialogs/chose_key_dlg.h"

#include <algorithm>
#include <cstdio>

#include "crypto/system_cert_store.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {

int CheckCertChoice(std::string_view name, const std::vector<std::string>& namesInUse,
                    int selectedRow) {
    if (name.empty()) return kTextEnterCertificateName;
    if (name.size() > kCertNameMaxLength) return kTextKeyNameTooLong;
    if (std::find(namesInUse.begin(), namesInUse.end(), name) != namesInUse.end())
        return kTextKeyNameInUse;
    if (selectedRow < 0) return kTextSelectCertificate;
    return 0;
}

std::string CertDetailsText(std::string_view fullSubject, std::string_view fullIssuer) {
    std::string text = LoadText(kTextIssuedFor);
    text += '\n';
    text += fullSubject;
    text += "\n\n";
    text += LoadText(kTextIssuedBy);
    text += '\n';
    text += fullIssuer;
    text += '\n';
    return text;
}

std::vector<CertRow> CertRows(const CSystemCertStore& store) {
    std::vector<CertRow> rows;
    const std::size_t n = std::min({store.SubjectNames().size(), store.IssuerNames().size(),
                                    store.SubjectDns().size(), store.IssuerDns().size(),
                                    store.Certificates().size()});
    rows.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        rows.push_back({store.SubjectNames()[i], store.IssuerNames()[i], store.SubjectDns()[i],
                        store.IssuerDns()[i], store.Certificates()[i]});
    return rows;
}

}  // namespace vq
