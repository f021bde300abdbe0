// Renders the order signing dialog in its forms, in Polish and English, into PNG files:
// vq_sign_screenshots OUTDIR. The dialog is the real one over a sample key set; nothing is signed.
#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "dialogs/sign_dlg.h"
#include "resources/text.h"
#include "storage/hex_text.h"
#include "tools/screenshot_frame.h"

namespace {

using vq::tools::Framed;
using vq::tools::Save;

// Keys to list; the screenshots never press Sign.
class SampleOps : public vq::ISigningOperations {
  public:
    explicit SampleOps(int variant) : variant_(variant) {
        Add("K1", "Jan Kowalski", vq::kind::kFile);
        Add("K2", "Karta firmowa", vq::kind::kSmartCard);
        Add("K3", "Klucz z banku", vq::kind::kBank);
    }
    vq::CKeysStorage& KeySet() override { return keys_; }
    int DialogVariant() const override { return variant_; }
    bool SmartCardDriverInstalled() const override { return true; }
    bool TokenDriverInstalled() const override { return true; }
    int Prepare(const std::string&, bool, std::string&) override { return 8; }
    int SignStep(int, const vq::SecureString*, std::span<const unsigned char>, vq::SecureBytes&,
                 std::string&, bool, bool&) override {
        return 8;
    }
    int Finish() override { return 0; }

  private:
    void Add(const char* id, const char* name, int kind) {
        keys_.SetKey(id, vq::HexEncode(std::string_view(name)).c_str(), "00", kind);
    }
    vq::CKeysStorage keys_;
    int variant_;
};

// Two orders as a bank's page sends them (ISO 8859-2 bytes).
const char* const kTwoOrders =
    "_ZLECENIE_|"
    "a:Rachunek nadawcy:PL61 1090 1014 0000 0712 1981 2874|"
    "b:Odbiorca:Jan Nowak\r\nul. D\xB3uga 5\r\n00-950 Warszawa|"
    "c:Rachunek odbiorcy:PL27 1140 2004 0000 3002 0135 5387|"
    "d:Kwota:1 250,00 PLN|"
    "e:Tytu\xB3:Zap\xB3"
    "ata za us\xB3ug\xEA nr 12/2024 (ksi\xB1\xBFki)|"
    "_ZLECENIE_|"
    "a:Rachunek nadawcy:PL61 1090 1014 0000 0712 1981 2874|"
    "b:Odbiorca:Urz\xB1"
    "d Skarbowy \xA6r\xF3"
    "dmie\xB6"
    "cie|"
    "d:Kwota:310,00 PLN|"
    "e:Tytu\xB3:Podatek VAT-7 03/2024|"
    "_IDENTYFIKACJA"
    "f:Data:2024-04-12|";

const char* const kMultiline =
    "MULTILINE|_ZLECENIE_|"
    "a:Tre\xB6\xE6:Przelew krajowy\r\nz rachunku PL61 1090 1014 0000 0712 1981 2874\r\n|"
    "b:Odbiorca:na rachunek PL27 1140 2004 0000 3002 0135 5387\r\nJan Nowak, ul. D\xB3uga 5\r\n|"
    "c:Kwota:kwota 1 250,00 PLN, tytu\xB3: faktura 12/2024|";

struct Shot {
    const char* name;
    int variant;
    bool noOrder;
    const char* order;
    bool beingSigned;
    bool collapse;
    const char* typed;
};

}  // namespace

int main(int argc, char** argv) {
    const std::optional<QString> out = vq::tools::OutputDir(argc, argv);
    if (!out) return 2;
    const QString& dir = *out;
    QApplication app(argc, argv);
    const Shot shots[] = {
        {"sign-table", 0, false, kTwoOrders, false, false, nullptr},
        {"sign-multiline", 0, false, kMultiline, false, false, nullptr},
        {"sign-being-signed", 0, false, kTwoOrders, true, false, nullptr},
        {"sign-password", 1, false, kTwoOrders, false, false, "secret"},
        {"sign-collapsed", 1, false, kTwoOrders, false, true, "secret"},
        {"sign-login", 1, true, nullptr, false, false, "secret"},
    };
    bool ok = true;
    const char* languages[] = {"pl", "en"};
    for (int language = 0; language < 2; ++language) {
        vq::SetLanguageIndex(language);
        for (const Shot& s : shots) {
            SampleOps ops(s.variant);
            vq::CSignDlg d(ops);
            d.SetNoOrder(s.noOrder);
            d.SetPurpose(s.noOrder ? vq::purpose::kChallenge : vq::purpose::kOrder);
            const std::string hex = s.order ? vq::HexEncode(std::string_view(s.order)) : "";
            if (d.SetUp(hex, "|K1|K2|K3|", "K1") != 0) {
                std::fprintf(stderr, "bad sample order for %s\n", s.name);
                return 1;
            }
            d.show();
            if (s.beingSigned) d.ControlAs<QRadioButton>(vq::CSignDlg::kIdBeingSigned)->click();
            if (s.collapse) d.ControlAs<QPushButton>(vq::CSignDlg::kIdExpand)->click();
            if (s.typed) d.PasswordField()->setText(s.typed);
            QApplication::processEvents();
            ok = Save(Framed(d), dir, QString(s.name) + "-" + languages[language]) && ok;
            d.hide();
        }
    }
    return ok ? 0 : 1;
}
