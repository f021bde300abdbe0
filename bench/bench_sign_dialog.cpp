// The order signing dialog with orders of 1, 64 and 256 KB on the offscreen platform: set-up (hex
// decoding), parsing, opening the window (parse, table fill, raw text view) and a whole scripted
// run that signs. The signing operations are a stand-in that answers at once, so the times are the
// dialog's own. Prints the split and the ratio of each 256 KB time to its 64 KB baseline (the cost
// must stay linear: at most 4.5).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "dialogs/order_text.h"
#include "dialogs/sign_dlg.h"
#include "platform/qtui/qt_ui.h"
#include "platform/registry/registry.h"
#include "storage/hex_text.h"
#include "storage/key_storage.h"

namespace {

class InstantOps : public vq::ISigningOperations {
  public:
    InstantOps() { keys_.SetKey("K1", vq::HexEncode(std::string_view("Jan")).c_str(), "00", 1); }
    vq::CKeysStorage& KeySet() override { return keys_; }
    int DialogVariant() const override { return 1; }
    bool SmartCardDriverInstalled() const override { return true; }
    bool TokenDriverInstalled() const override { return true; }
    int Prepare(const std::string&, bool, std::string&) override { return 0; }
    int SignStep(int, const vq::SecureString*, std::span<const unsigned char> data,
                 vq::SecureBytes& result, std::string&, bool, bool&) override {
        result.assign(data.begin(), data.begin() + std::min<std::size_t>(data.size(), 128));
        return 0;
    }
    int Finish() override { return 0; }

  private:
    vq::CKeysStorage keys_;
};

// An order text of about `bytes` bytes: orders of eight records, one value in two lines.
std::string MakeOrder(std::size_t bytes) {
    std::string text;
    for (int n = 0; text.size() < bytes; ++n) {
        if (n % 8 == 0) text += "_ZLECENIE_|";
        text += "k" + std::to_string(n) + ":Pole numer " + std::to_string(n % 8) + ":";
        text +=
            n % 8 == 3 ? "Jan Kowalski\r\nul. D\xB3uga 5" : "Warto\xB6\xE6 " + std::to_string(n);
        text += "|";
    }
    text.resize(bytes);
    return text;
}

const std::string& OrderHex(int kb) {
    static std::map<int, std::string> cache;
    auto it = cache.find(kb);
    if (it == cache.end())
        it = cache.emplace(kb, vq::HexEncode(MakeOrder(static_cast<std::size_t>(kb) * 1024))).first;
    return it->second;
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);
}

void BM_SetUp(benchmark::State& state) {
    InstantOps ops;
    const std::string& hex = OrderHex(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        vq::SignSession session(ops);
        session.set_no_order(false);
        benchmark::DoNotOptimize(session.SetUp(hex, "|K1|", "K1"));
    }
}
BENCHMARK(BM_SetUp)->Apply(Sizes);

void BM_Parse(benchmark::State& state) {
    const std::string order = MakeOrder(static_cast<std::size_t>(state.range(0)) * 1024);
    for (auto _ : state) {
        const std::string display = vq::IsoToWin1250(order);
        benchmark::DoNotOptimize(vq::ParseOrderText(display, order.size()).rows.size());
    }
}
BENCHMARK(BM_Parse)->Apply(Sizes);

// Set-up and the window's initialisation: parse, table fill, raw text view, key list, layout.
void BM_Open(benchmark::State& state) {
    InstantOps ops;
    const std::string& hex = OrderHex(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        vq::CSignDlg d(ops);
        d.SetNoOrder(false);
        d.SetUp(hex, "|K1|", "K1");
        d.show();
        QApplication::processEvents();
        d.hide();
    }
}
BENCHMARK(BM_Open)->Apply(Sizes);

// A whole run: the scripted user types the password and presses Sign.
void BM_OpenAndSign(benchmark::State& state) {
    InstantOps ops;
    const std::string& hex = OrderHex(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        vq::ui::ScriptedUi ui;
        std::string error;
        ui.Load("dialog 210\ntype 213 \"secret\"\nclick 1\n", error);
        vq::ui::SetCurrent(&ui);
        vq::CSignDlg d(ops);
        d.SetNoOrder(false);
        d.SetUp(hex, "|K1|", "K1");
        if (vq::RunSignDialog(d) != vq::ui::kIdOk || d.ResultCode() != 0)
            state.SkipWithError("the scripted run did not sign");
        vq::ui::SetCurrent(nullptr);
    }
}
BENCHMARK(BM_OpenAndSign)->Apply(Sizes);

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration) time_[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto t = [&](const std::string& n) { return time_.count(n) ? time_[n] : 0.0; };
        for (const char* name : {"BM_SetUp", "BM_Parse", "BM_Open", "BM_OpenAndSign"}) {
            const double base = t(std::string(name) + "/64");
            const double big = t(std::string(name) + "/256");
            if (base > 0 && big > 0)
                std::printf("ratio %s 256 KB / 64 KB: %.2f (target <= 4.5)\n", name, big / base);
        }
        for (int kb : {1, 64, 256}) {
            const std::string k = "/" + std::to_string(kb);
            const double open = t("BM_Open" + k);
            const double run = t("BM_OpenAndSign" + k);
            if (open <= 0 || run <= 0) continue;
            const double setUp = t("BM_SetUp" + k), parse = t("BM_Parse" + k);
            std::printf(
                "split %3d KB (ms): set-up %.2f, parse %.2f, table and views %.2f, "
                "run and sign %.2f; whole run %.2f\n",
                kb, setUp, parse, open - setUp - parse, run - open, run);
        }
    }

  private:
    std::map<std::string, double> time_;
};

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir dir;
    setenv(vq::reg::kUserFileEnv, dir.filePath("user.reg").toLocal8Bit().constData(), 1);
    setenv(vq::reg::kMachineFileEnv, dir.filePath("machine.reg").toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
