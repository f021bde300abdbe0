// Renders the keyboard, the password dialog and the certificate choice, as real widgets driven by
// real mouse events, in every language into PNG files: vq_screenshots OUTDIR.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QTreeWidget>
#include <cstdio>

#include "dialogs/chose_key_dlg.h"
#include "dialogs/keyboard_dlg.h"
#include "dialogs/password_dialog.h"
#include "resources/text.h"
#include "storage/key_storage.h"

namespace {

using vq::CKeyboardDlg;
using vq::CPasswordDialog;

// The client picture under a plain caption bar carrying the window title.
QImage Framed(QWidget& w) {
    const QImage client = w.grab().toImage();
    const int bar = 22;
    QImage out(client.width() + 2, client.height() + bar + 1, QImage::Format_RGB32);
    out.fill(QColor(43, 87, 154));
    QPainter p(&out);
    QFont font("DejaVu Sans");
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(8, 0, out.width() - 16, bar), Qt::AlignVCenter | Qt::AlignLeft,
               w.windowTitle());
    p.drawImage(1, bar, client);
    return out;
}

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

bool Save(const QImage& image, const QString& dir, const QString& name) {
    const QString path = dir + "/" + name + ".png";
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
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
    }
    return ok ? 0 : 1;
}
