// veriquill: the command-line host of the signing component.
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <cstdio>
#include <filesystem>

#include "control/registration.h"
#include "hosts/veriquill/reg_command.h"
#include "hosts/veriquill/script_runner.h"
#include "platform/codepage/codepage.h"
#include "platform/fs/fs.h"
#include "platform/qtui/qt_ui.h"

namespace {

constexpr const char* kUsage =
    "usage: veriquill run [OPTIONS] [FILE]  run page-script calls (standard input without FILE)\n"
    "         --echo                 print each call before its result\n"
    "         --ui=qt                real windows (the default when a display is available)\n"
    "         --ui=script:SCRIPT     an automation script answers every dialog\n"
    "         --ui=none              nobody answers: every dialog is cancelled\n"
    "         --transcript FILE      JSON lines of dialogs and page calls (scripted: stderr)\n"
    "         --no-page              run as a control outside a browser page\n"
    "       veriquill register              register the control's classes\n"
    "       veriquill unregister            remove the control's class registration\n"
    "       veriquill reg ...               read and change registry values (veriquill reg help)\n";

int Run(int argc, char** argv, const std::vector<std::string>& args) {
    vq::host::RunOptions options;
    std::string file;
    std::string uiSpec;
    std::string transcript;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--echo") {
            options.echo = true;
        } else if (a == "--no-page") {
            options.page = false;
        } else if (a.starts_with("--ui=")) {
            uiSpec = a.substr(5);
        } else if (a == "--transcript" && i + 1 < args.size()) {
            transcript = args[++i];
        } else if (a.starts_with("--transcript=")) {
            transcript = a.substr(13);
        } else if (a.starts_with("--")) {
            std::cerr << "veriquill run: unknown option " << a << '\n' << kUsage;
            return 2;
        } else if (file.empty()) {
            file = a;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    std::ifstream in;
    if (!file.empty() && file != "-") {
        in.open(file);
        if (!in) {
            std::cerr << "veriquill run: cannot read " << file << '\n';
            return 2;
        }
    }
    // Without a display the dialogs still exist, drawn off screen. The user interface is chosen
    // before Qt starts, as the offscreen platform it then switches to would count as a display.
    const std::string uiKind = vq::ui::UiKind(uiSpec);
    vq::ui::UiApplication app(argc, argv, uiKind);
    std::string error;
    std::unique_ptr<vq::ui::Ui> ui = vq::ui::MakeUi(uiKind, transcript, error);
    if (!ui) {
        std::cerr << "veriquill run: " << error << '\n';
        return 2;
    }
    vq::ui::SetCurrent(ui.get());
    int status = 0;
    {
        vq::host::ScriptRunner runner(options);
        status = runner.Run(in.is_open() ? static_cast<std::istream&>(in) : std::cin, std::cout,
                            std::cerr);
    }
    if (ui->Finish() != 0) {
        std::cerr << "veriquill run: user interface: " << ui->Error() << '\n';
        status = 1;
    }
    vq::ui::SetCurrent(nullptr);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "run") return Run(argc, argv, rest);
    if (args[0] == "reg") return vq::host::RegCommand(rest, std::cout, std::cerr);
    if (args[0] == "register" || args[0] == "unregister") {
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        // The registry keeps the module's path as component text.
        const std::optional<std::string> modulePath = vq::fs::FromOsName(self.string());
        if (args[0] == "register" && !modulePath) {
            std::fprintf(stderr,
                         "veriquill register: the program's path %s has characters the code page "
                         "%s cannot hold\n",
                         self.c_str(), vq::cp::AnsiCodePage().c_str());
            return 1;
        }
        const vq::HResult hr =
            args[0] == "register" ? vq::DllRegisterServer(*modulePath) : vq::DllUnregisterServer();
        if (hr != vq::kSOk) {
            std::fprintf(stderr, "veriquill %s: failed, HRESULT 0x%08X\n", args[0].c_str(),
                         static_cast<unsigned>(hr));
            return 1;
        }
        return 0;
    }
    std::cerr << kUsage;
    return 2;
}
