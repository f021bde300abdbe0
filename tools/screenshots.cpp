// Renders the keyboard, the password dialog and the certificate choice, as real widgets driven by
// real mouse events, in every language into PNG files: vq_screenshots OUTDIR.
#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QTreeWidget>
#include <optional>

#include <QPrinter>
#include <QTreeWidget>
#include "dialogs/chose_key_dlg.h"

#include "dialogs/devices/pin_dlg.h"
#include "dialogs/devices/pin_puk_dlg.h"
#include "dialogs/devices/remove_dlg.h"
#include "dialogs/devices/select_reader_dlg.h"
#include "dialogs/keyboard_dlg.h"
#include "dialogs/password_dialog.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "storage/key_storage.h"
#include "tools/screenshot_frame.h"

namespace {

using vq::tools::Framed;
using vq::tools::Save;

using vq::CKeyboardDlg;
using vq::CPasswordDialog;

void Click(QWidget& w, QPoint at) {
    for (auto [type, buttons] : {std::pair{QEvent::MouseButtonPress, Qt::LeftButton},
                                 std::pair{QEvent::MouseButtonRelease, Qt::NoButton}}) {
        QMouseEvent e(type, QPointF(at), QPointF(at), w.mapToGlobal(QPointF(at)), Qt::LeftButton,
                      buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &e);
    }
}

QPoint Centre(const CKeyboardDlg::SpecialRect& s) {
    return {(s.left + s.right) / 2, (s.top + s.bottom) / 2};
}
QPoint Centre(const CKeyboardDlg::KeyRect& k) {
    return {(k.left + k.right) / 2, (k.top + k.bottom) / 2};
}

// The device dialogs with typical content.
bool DeviceDialogs(const QString& dir, const QString& suffix) {
    bool ok = true;
    vq::DeviceEntries entries(2);
    entries[0].serial = "0A1B2C3D4E5F6071";
    entries[1].serial = "9F8E7D6C5B4A3921";
    {
        vq::CSelectReaderDlg d;
        d.SetEntries(nullptr, vq::DeviceKind::UsbToken, &entries);
        d.show();
        ok = Save(Framed(d), dir, "select-reader" + suffix) && ok;
    }
    const struct {
        const char* name;
        int mode;
        int token;
        const char* old;
        const char* fresh;
    } pins[] = {{"pin-change", vq::CPinDlg::kChangePin, 0, "1234", "5678"},
                {"pin-change-puk", vq::CPinDlg::kChangePuk, 1, "12345678", "87654321"},
                {"pin-unblock-card", vq::CPinDlg::kUnblockCard, 0, "12345678", "5678"},
                {"pin-unblock-token", vq::CPinDlg::kUnblockToken, 1, "12345678", "5678"}};
    for (const auto& p : pins) {
        vq::CPinDlg d;
        d.SetMode(p.mode);
        d.SetTokenFlag(p.token);
        d.show();
        qobject_cast<QLineEdit*>(d.Control(202))->setText(p.old);
        qobject_cast<QLineEdit*>(d.Control(203))->setText(p.fresh);
        ok = Save(Framed(d), dir, p.name + suffix) && ok;
    }
    {
        vq::CPinPukDlg d;
        d.show();
        qobject_cast<QLineEdit*>(d.Control(202))->setText("12345678");
        qobject_cast<QLineEdit*>(d.Control(204))->setText("1234");
        ok = Save(Framed(d), dir, "pin-puk" + suffix) && ok;
    }
    {
        vq::CRemoveDlg d;
        d.AddKey("Firma 2026", "3F2A9C41D07B5E8812AC64F09B3D7E21C5A08F6D", true, 1);
        d.AddKey("Firma 2026", "3F2A9C41D07B5E8812AC64F09B3D7E21C5A08F6D", false, 2);
        d.AddKey("Stary klucz", "A81C0E5B77D24F9036B1E8C2D5F40A9B6E13C7D2", false, 3);
        d.AddKey("Prywatny", "05D3B7E19A4C62F8D0E1B3A5C7F92468ACE13579", true, 4);
        d.show();
        auto* list = qobject_cast<QTreeWidget*>(d.Control(vq::CRemoveDlg::kListId));
        list->topLevelItem(1)->setSelected(true);
        ok = Save(Framed(d), dir, "remove-keys" + suffix) && ok;
    }
    return ok;
}

// The PUK letter as the printer gets it, into a PDF (scripts/screenshots turns it into a PNG).
class PdfTarget final : public vq::ui::PrintTarget {
  public:
    explicit PdfTarget(QPrinter& printer) : printer_(printer), painter_(&printer) {}
    QPainter& Painter() override { return painter_; }
    int PageWidth() const override { return Rect().width(); }
    int PageHeight() const override { return Rect().height(); }
    int Dpi() const override { return printer_.resolution(); }
    bool NewPage() override { return printer_.newPage(); }

  private:
    QRect Rect() const { return printer_.pageLayout().paintRectPixels(printer_.resolution()); }
    QPrinter& printer_;
    QPainter painter_;
};

bool PukLetter(const QString& path) {
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    PdfTarget target(printer);
    return vq::DrawPukLetter(target, vq::SecureString("40718265"));
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<QString> out = vq::tools::OutputDir(argc, argv);
    if (!out) return 2;
    const QString& dir = *out;
    QApplication app(argc, argv);
    bool ok = true;
    const char* languages[] = {"pl", "en", "de"};
    for (int language = 0; language < 3; ++language) {
        vq::SetLanguageIndex(language);
        const QString suffix = QString("-") + languages[language];
        const struct {
            const char* name;
            int special;
        } keyboards[] = {{"keyboard", -1},
                         {"keyboard-shift", CKeyboardDlg::kShiftLeft},
                         {"keyboard-alt", CKeyboardDlg::kAltLeft},
                         {"keyboard-capslock", CKeyboardDlg::kLock}};
        for (const auto& k : keyboards) {
            CKeyboardDlg kb;
            kb.show();
            for (int key : {26, 41})  // "ab"
                Click(kb, Centre(kb.Keys()[key]));
            if (k.special >= 0) Click(kb, Centre(kb.Specials()[k.special]));
            ok = Save(Framed(kb), dir, k.name + suffix) && ok;
        }
        const struct {
            const char* name;
            int mode;
            const char* typed;
        } prompts[] = {{"password-key", CPasswordDialog::kKeyPasswordMode, "secret"},
                       {"password-pin", CPasswordDialog::kPinMode, "1234"},
                       {"password-login", CPasswordDialog::kLoginMode, "secret"}};
        for (const auto& p : prompts) {
            CPasswordDialog d;
            d.SetMode(p.mode);
            d.SetSubject("M\xF3j klucz");  // Windows-1250 "Mój klucz"
            d.show();
            d.findChild<QLineEdit*>()->setText(p.typed);
            ok = Save(Framed(d), dir, p.name + suffix) && ok;
        }
        {
            // Rows as the store lists them (Windows-1250 text), the second one chosen.
            vq::CKeysStorage keys;
            vq::CChoseKeyDlg d(keys);
            const std::string plant =
                std::string("Zak\xB3") + "ad \xA3\xF3" + "d\x9F";  // "Zakład Łódź"
            d.SetRows({{"Jan Kowalski", "Bank Testowy CA", "CN=Jan Kowalski, O=Firma, C=PL",
                        "CN=Bank Testowy CA, C=PL", ""},
                       {plant, "Bank Testowy CA", "CN=" + plant + ", C=PL",
                        "CN=Bank Testowy CA, C=PL", ""},
                       {"Anna Nowak", "Centrum Certyfikacji Kwalifikowanej", "CN=Anna Nowak, C=PL",
                        "CN=Centrum Certyfikacji Kwalifikowanej, C=PL", ""}});
            d.show();
            auto* list = d.ControlAs<QTreeWidget>(vq::chosekey::kList);
            list->setCurrentItem(list->topLevelItem(1));
            d.ControlAs<QLineEdit>(vq::chosekey::kName)->setText("Podpis firmowy");
            ok = Save(Framed(d), dir, "chosekey" + suffix) && ok;
        }
        if (language < 2) ok = DeviceDialogs(dir, suffix) && ok;
        if (language == 1) ok = PukLetter(dir + "/puk-letter-en.pdf") && ok;
    }
    return ok ? 0 : 1;
}
