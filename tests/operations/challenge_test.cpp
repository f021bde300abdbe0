// The log-in challenge: EncryptRand signs a random challenge, the bank encrypts it back, and
// DecryptRand lifts the signing lock only for the exact answer.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "operations/sign_session.h"
#include "platform/ui/ui.h"
#include "storage/codes.h"
#include "storage/network_msg.h"
#include "tests/operations/flow_fixture.h"

namespace vq::test {
namespace {

// Stands in for the order dialog's window: picks the preselected key and presses OK once.
int PressOk(SignSession& s) {
    CKeysStorage& keys = s.ops().KeySet();
    for (std::size_t i = 0; i < keys.Count(); ++i)
        if (keys.At(i)->id == s.preselectedKeyId() && s.Offered(*keys.At(i)))
            s.Select(static_cast<int>(i));
    const int code = s.SigningAttempt(nullptr, nullptr);
    return code == code::kCancelled ? ui::kIdCancel : ui::kIdOk;
}

class ChallengeTest : public FlowTest {
  protected:
    void SetUp() override {
        FlowTest::SetUp();
        key_ = MakeKey("k1.prv", "tajne");
        ASSERT_EQ(comp_->SetKey("k1", Hex("Firma").c_str(), key_.fingerprint.c_str(), 1), 0);
        ASSERT_EQ(comp_->keys().StoreLocation("k1", key_.path.c_str()), 0);
        comp_->SetSignDialogRunner(PressOk);
    }

    // EncryptRand and the proof it returns.
    CProofOfPossesion* Encrypt(const char* login, int mode = 1) {
        const OpResult r = comp_->EncryptOperation("|k1|", "k1", login, mode);
        EXPECT_EQ(r.code, code::kOk);
        if (r.code != code::kOk) return nullptr;
        std::vector<unsigned char> wire;
        EXPECT_EQ(HexDecode(r.fields.at(0), wire), 0);
        proof_ = std::make_unique<CProofOfPossesion>();
        EXPECT_EQ(proof_->Parse(wire.data(), wire.size()), 1);
        return proof_.get();
    }
    // The bank's answer: `plain` encrypted with the key's public key, as a message in hex.
    std::string Answer(std::string_view plain, const std::string& keyId = "k1") {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
            EVP_PKEY_CTX_new(key_.key.get(), nullptr), EVP_PKEY_CTX_free);
        EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
        std::vector<unsigned char> out(256);
        std::size_t n = out.size();
        EXPECT_EQ(
            EVP_PKEY_encrypt(ctx.get(), out.data(), &n,
                             reinterpret_cast<const unsigned char*>(plain.data()), plain.size()),
            1);
        out.resize(n);
        CProofOfPossesion m;
        m.keyId = keyId;
        m.signature = out;
        m.signatureLength = static_cast<std::uint32_t>(n);
        const unsigned char* wire = m.Serialize();
        return HexEncode(std::span(wire, m.Size()));
    }
    std::string Recovered(const CProofOfPossesion& p) {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
            EVP_PKEY_CTX_new(key_.key.get(), nullptr), EVP_PKEY_CTX_free);
        EVP_PKEY_verify_recover_init(ctx.get());
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
        std::vector<unsigned char> out(256);
        std::size_t n = out.size();
        if (EVP_PKEY_verify_recover(ctx.get(), out.data(), &n, p.signature->data(),
                                    p.signature->size()) != 1)
            return "?";
        return std::string(out.begin(), out.begin() + static_cast<long>(n));
    }

    TestKey key_;
    std::unique_ptr<CProofOfPossesion> proof_;
};

const std::string kPassword = "dialog 201\ntype 201 \"tajne\"\nclick 1\n";

TEST_F(ChallengeTest, ARoundUnlocksSigningWithoutAskingTheSecondTime) {
    Script(kPassword);  // one password for the whole round
    CProofOfPossesion* p = Encrypt("jan.kowalski");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->keyId, "k1");
    const std::string challenge = comp_->pendingChallenge();
    ASSERT_EQ(challenge.size(), 64u);
    // The key signed "login-challenge" with its terminating zero, raw PKCS#1.
    EXPECT_EQ(Recovered(*p), "jan.kowalski-" + challenge + std::string(1, '\0'));
    EXPECT_TRUE(comp_->signingLocked());
    EXPECT_EQ(comp_->SignOperation("|k1|", "k1", "00").code, code::kSigningLocked);

    const OpResult r = comp_->DecryptOperation("|k1|", Answer(challenge).c_str(), 1);
    EXPECT_EQ(r.code, code::kOk);
    EXPECT_FALSE(comp_->signingLocked());
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(ChallengeTest, TheAnswerMayCarryTheTerminatingZero) {
    Script(kPassword);
    ASSERT_NE(Encrypt("jan"), nullptr);
    const std::string withZero = comp_->pendingChallenge() + std::string(1, '\0');
    EXPECT_EQ(comp_->DecryptOperation("|k1|", Answer(withZero).c_str(), 1).code, 0);
    EXPECT_FALSE(comp_->signingLocked());
}

TEST_F(ChallengeTest, AnyOtherAnswerLeavesTheLock) {
    for (int variant = 0; variant < 4; ++variant) {
        Script(kPassword + kPassword);
        ASSERT_NE(Encrypt("jan"), nullptr);
        std::string answer = comp_->pendingChallenge();
        if (variant == 0) answer[10] ^= 1;                // one byte differs
        if (variant == 1) answer = answer.substr(0, 32);  // only the first 32 digits
        if (variant == 2) answer = answer + "0";          // one byte too many
        if (variant == 3) answer = answer + std::string(1, '\0') + "x";
        // The decryption itself succeeds; only the comparison fails.
        EXPECT_EQ(comp_->DecryptOperation("|k1|", Answer(answer).c_str(), 1).code, 0) << variant;
        EXPECT_TRUE(comp_->signingLocked()) << variant;
    }
}

TEST_F(ChallengeTest, LoginTextBoundsAndArgumentChecks) {
    Script(kPassword);
    ASSERT_NE(Encrypt(std::string(51, 'x').c_str()), nullptr);  // 51 + 66 = 117
    EXPECT_EQ(comp_->EncryptOperation("|k1|", "k1", std::string(52, 'x').c_str(), 1).code,
              code::kInvalidArgument);
    EXPECT_TRUE(comp_->signingLocked());
    EXPECT_EQ(comp_->EncryptOperation("|k1|", "k1", "", 1).code, code::kInvalidArgument);
    EXPECT_EQ(comp_->EncryptOperation("|", "k1", "jan", 1).code, code::kSingleBar);

    // DecryptRand in another mode than the last EncryptRand.
    EXPECT_EQ(comp_->DecryptOperation("|k1|", Answer("x").c_str(), 2).code, code::kInvalidArgument);
    EXPECT_EQ(comp_->DecryptOperation("|k1|", "0G", 1).code, code::kInvalidArgument);
    EXPECT_EQ(comp_->DecryptOperation("|k1|", "01", 1).code, code::kInvalidArgument);
    // A message for a key that is not in the key set.
    EXPECT_EQ(comp_->DecryptOperation("|k1|", Answer("x", "k9").c_str(), 1).code,
              code::kKindNotUsable);
}

TEST_F(ChallengeTest, LoginPasswordModeAsksFirstAndCancelStops) {
    Script("dialog 201\nclick 2\n");
    EXPECT_EQ(comp_->EncryptOperation("|k1|", "k1", "jan", 2).code, code::kCancelled);
    EXPECT_TRUE(comp_->signingLocked());
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(ChallengeTest, EmptyKeySet) {
    comp_->RemoveAll();
    EXPECT_EQ(comp_->EncryptOperation("|k1|", "k1", "jan", 1).code, code::kNoSuchKey);
    EXPECT_EQ(comp_->SignOperation("|k1|", "k1", "00").code, code::kSigningLocked);
}

}  // namespace
}  // namespace vq::test
