// The certificate choice dialog behind RegisterCert: lists the certificates of the user's store,
// lets the user pick one and name it, and returns the certificate armour and the name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "dialogs/dialog_base.h"

class QLineEdit;
class QTreeWidget;

namespace vq {

class CKeysStorage;
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

// The names of the key set's entries (Windows-1250), for the name-in-use check.
std::vector<std::string> KeyNames(CKeysStorage& keys);

// The 16 x 16 certificate picture shown on every row.
QIcon CertificateIcon();

class CChoseKeyDlg : public CDialogBase {
    Q_OBJECT
  public:
    // `keys` is the key set whose names a new name must not repeat; it outlives the dialog.
    explicit CChoseKeyDlg(CKeysStorage& keys, QWidget* parent = nullptr);
    ~CChoseKeyDlg() override;

    // The rows to list; set before the dialog opens.
    void SetRows(std::vector<CertRow> rows);
    void SetCertificates(const CSystemCertStore& store) { SetRows(CertRows(store)); }
    const std::vector<CertRow>& Rows() const { return rows_; }

    // After OK: the typed name (Windows-1250) and the chosen row's certificate armour.
    const std::string& Name() const { return name_; }
    const std::string& Certificate() const { return certificate_; }

  protected:
    void OnInitDialog() override;
    void OnOK() override;

  private:
    void FillList();
    void ShowDetails(int row);

    CKeysStorage& keys_;
    std::vector<CertRow> rows_;
    std::string name_;
    std::string certificate_;
    QTreeWidget* list_ = nullptr;
    QLineEdit* edit_ = nullptr;
};

}  // namespace vq
