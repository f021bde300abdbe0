// A component with real key files, a private registry, a scripted user and a recording page.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/base_rsa.h"
#include "dialogs/sign_dlg.h"
#include "hosts/keytool/key_file_writer.h"
#include "operations/keys_storage_comp.h"
#include "platform/codepage/codepage.h"
#include "platform/qtui/qt_ui.h"
#include "storage/cfg_reg.h"
#include "storage/hex_text.h"
#include "tests/dialogs/qt_app.h"

namespace vq::test {

// The browser side of the page bridge: records every script call the control makes.
class RecordingPage : public IClientSite,
                      public IServiceProvider,
                      public IWebBrowserApp,
                      public IHTMLDocument2,
                      public IScriptDispatch {
  public:
    std::vector<std::string> defined;
    std::vector<std::vector<std::string>> calls;  // function name, then arguments in order

    std::shared_ptr<IServiceProvider> ServiceProvider() override {
        return Self<IServiceProvider>();
    }
    std::shared_ptr<IWebBrowserApp> WebBrowserApp() override { return Self<IWebBrowserApp>(); }
    std::shared_ptr<IHTMLDocument2> Document() override { return Self<IHTMLDocument2>(); }
    std::shared_ptr<IScriptDispatch> Script() override { return Self<IScriptDispatch>(); }
    HRESULT_ GetIDOfName(const std::string& name, int& dispid) override {
        for (std::size_t i = 0; i < defined.size(); ++i)
            if (defined[i] == name) return dispid = static_cast<int>(i), 0;
        return page_error::kUnknownName;
    }
    HRESULT_ Invoke(int dispid, const std::vector<std::string>& lastFirst, std::string*) override {
        std::vector<std::string> call{defined.at(static_cast<std::size_t>(dispid))};
        call.insert(call.end(), lastFirst.rbegin(), lastFirst.rend());
        calls.push_back(std::move(call));
        return 0;
    }

  private:
    // The page lives as long as the test; hand out non-owning pointers.
    template <class I>
    std::shared_ptr<I> Self() {
        return std::shared_ptr<I>(std::shared_ptr<void>(), static_cast<I*>(this));
    }
};

struct TestKey {
    PkeyPtr key;
    std::string fingerprint;  // file fingerprint
    std::string path;         // .prv file
};

class FlowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        setenv("VERIQUILL_HKLM", Path("machine.reg").c_str(), 1);
        setenv("VERIQUILL_HKCU", Path("user.reg").c_str(), 1);
        SetSwitch("GemPCKey USB", "1");
        SetSwitch("GemPCTwin USB", "1");
        ASSERT_TRUE(ui_.transcript().Open(Path("transcript.jsonl")));
        ui::SetCurrent(&ui_);
        comp_ = std::make_unique<CKeysStorageComp>();
        comp_->SetSignDialogRunner([](SignSession& session) { return RunSignDialog(session); });
        page_.defined = {"componentWKPEvent"};
        comp_->SetClientSite(&page_);
        comp_->EnsureBridge();
    }
    void TearDown() override {
        comp_.reset();
        ui::SetCurrent(nullptr);
    }

    std::string Path(const std::string& name) const {
        return dir_.filePath(QString::fromStdString(name)).toStdString();
    }
    static void SetSwitch(const char* name, const char* value) {
        reg::KeyPtr key;
        ASSERT_EQ(
            reg::CreateKey(reg::Root::LocalMachine, kDeviceConfigKey, reg::kKeyAllAccess, key), 0);
        const std::string v = std::string(value) + '\0';
        ASSERT_EQ(
            reg::SetValue(*key, name, reg::kRegSz, reinterpret_cast<const unsigned char*>(v.data()),
                          static_cast<std::uint32_t>(v.size())),
            0);
    }

    // A fresh 1024-bit key written as a key file under `password`.
    TestKey MakeKey(const std::string& file, const char* password) {
        TestKey k;
        k.key.reset(EVP_RSA_gen(1024));
        k.fingerprint = FileFingerprint(k.key.get());
        SecureString text;
        EXPECT_EQ(keytool::MakeKeyFile(k.key.get(), password, text), 0);
        k.path = Path(file);
        std::ofstream(k.path, std::ios::binary) << text.view();
        return k;
    }

    void Script(const std::string& text) {
        std::string error;
        ASSERT_TRUE(ui_.Load(text, error)) << error;
    }
    // Transcript lines of one event kind.
    std::vector<std::string> Events(const std::string& kind) {
        std::ifstream in(Path("transcript.jsonl"));
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            if (line.find("\"event\":\"" + kind + "\"") != std::string::npos) out.push_back(line);
        return out;
    }
    static std::string Hex(std::string_view s) { return HexEncode(s); }

    static bool Verifies(const EVP_PKEY* key, std::string_view data,
                         std::span<const unsigned char> signature) {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
        return EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                                    const_cast<EVP_PKEY*>(key)) == 1 &&
               EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                reinterpret_cast<const unsigned char*>(data.data()),
                                data.size()) == 1;
    }

    QTemporaryDir dir_;
    ui::ScriptedUi ui_;
    RecordingPage page_;
    std::unique_ptr<CKeysStorageComp> comp_;
};

}  // namespace vq::test
