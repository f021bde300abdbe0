#include "platform/ui/ui.h"

#include <cstdio>
#include <memory>
#include <string>

namespace vq::ui {
namespace {

// Used when no host has set a user interface: nobody can answer, so everything is refused.
class NoUi final : public Ui {
  public:
    int RunModal(QDialog&, int resourceId) override {
        Refuse("dialog " + std::to_string(resourceId));
        return kIdCancel;
    }
    int MessageBox(std::string_view, std::string_view, Icon, Buttons buttons) override {
        Refuse("message box");
        return DismissAnswer(buttons);
    }
    int OpenFile(const FileRequest&, std::string&) override {
        Refuse("file dialog");
        return kIdCancel;
    }
    int Print(const PrintRequest&) override {
        Refuse("print dialog");
        return kIdCancel;
    }
    void Event(std::string_view, std::string_view) override {}

  private:
    static void Refuse(const std::string& what) {
        std::fprintf(stderr, "veriquill: no user interface; %s cancelled\n", what.c_str());
    }
};

NoUi gNoUi;
Ui* gCurrent = nullptr;

}  // namespace

void SetCurrent(Ui* ui) {
    gCurrent = ui;
}

Ui& Current() {
    return gCurrent ? *gCurrent : gNoUi;
}

std::unique_ptr<Ui> MakeRefusingUi() {
    return std::make_unique<NoUi>();
}

int Message(std::string_view text, Icon icon, Buttons buttons, std::string_view caption) {
    return Current().MessageBox(text, caption, icon, buttons);
}

const char* IconName(Icon icon) {
    switch (icon) {
        case Icon::kError:
            return "error";
        case Icon::kWarning:
            return "warning";
        case Icon::kNone:
            break;
    }
    return "none";
}

const char* ButtonsName(Buttons buttons) {
    switch (buttons) {
        case Buttons::kOkCancel:
            return "ok-cancel";
        case Buttons::kYesNo:
            return "yes-no";
        case Buttons::kOk:
            break;
    }
    return "ok";
}

int DismissAnswer(Buttons buttons) {
    switch (buttons) {
        case Buttons::kOkCancel:
            return kIdCancel;
        case Buttons::kYesNo:
            return kIdNo;
        case Buttons::kOk:
            break;
    }
    return kIdOk;
}

}  // namespace vq::ui
