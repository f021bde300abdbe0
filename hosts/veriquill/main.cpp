// veriquill: the command-line host of the signing component.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <cstdio>
#include <filesystem>

#include "control/registration.h"
#include "hosts/veriquill/reg_command.h"
#include "hosts/veriquill/script_runner.h"

namespace {

constexpr const char* kUsage =
    "usage: veriquill run [--echo] [FILE]   run page-script calls (standard input without FILE)\n"
    "       veriquill register              register the control's classes\n"
    "       veriquill unregister            remove the control's class registration\n"
    "       veriquill reg ...               read and change registry values (veriquill reg help)\n";

int Run(const std::vector<std::string>& args) {
    vq::host::RunOptions options;
    std::string file;
    for (const std::string& a : args) {
        if (a == "--echo") {
            options.echo = true;
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
    vq::host::ScriptRunner runner(options);
    if (file.empty() || file == "-") return runner.Run(std::cin, std::cout, std::cerr);
    std::ifstream in(file);
    if (!in) {
        std::cerr << "veriquill run: cannot read " << file << '\n';
        return 2;
    }
    return runner.Run(in, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (args[0] == "run") return Run(rest);
    if (args[0] == "reg") return vq::host::RegCommand(rest, std::cout, std::cerr);
    if (args[0] == "register" || args[0] == "unregister") {
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        const vq::HResult hr = args[0] == "register" ? vq::DllRegisterServer(self.string())
                                                     : vq::DllUnregisterServer();
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
