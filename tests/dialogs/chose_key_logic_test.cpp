// The certificate choice dialog's checks and texts.
#include <gtest/gtest.h>

#include "dialogs/chose_key_dlg.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

TEST(CertChoiceCheck, ChecksInOrder) {
    const std::vector<std::string> used = {"Work", "Bank key"};
    const std::string tooLong(21, 'x');
    // Each failure hides the ones after it.
    EXPECT_EQ(kTextEnterCertificateName, CheckCertChoice("", used, -1));
    EXPECT_EQ(kTextKeyNameTooLong, CheckCertChoice(tooLong, {tooLong}, -1));
    EXPECT_EQ(kTextKeyNameInUse, CheckCertChoice("Work", used, -1));
    EXPECT_EQ(kTextSelectCertificate, CheckCertChoice("Home", used, -1));
    EXPECT_EQ(0, CheckCertChoice("Home", used, 0));
}

TEST(CertChoiceCheck, NameBoundaries) {
    EXPECT_EQ(0, CheckCertChoice(std::string(20, 'n'), {}, 2));
    EXPECT_EQ(kTextKeyNameTooLong, CheckCertChoice(std::string(21, 'n'), {}, 2));
    EXPECT_EQ(0, CheckCertChoice("a", {}, 0));
    // Exact, case-sensitive comparison; Windows-1250 letters count one byte each.
    EXPECT_EQ(0, CheckCertChoice("work", {"Work"}, 0));
    EXPECT_EQ(0, CheckCertChoice("Work ", {"Work"}, 0));
    EXPECT_EQ(kTextKeyNameInUse, CheckCertChoice("\xA3\xF3"
                                                 "d\x9F",
                                                 {"\xA3\xF3"
                                                  "d\x9F"},
                                                 0));
    EXPECT_EQ(0, CheckCertChoice(std::string(20, '\xB3'), {}, 0));
}

TEST(CertChoiceCheck, DetailsTextFollowsLanguage) {
    SetLanguageIndex(kLanguageEnglish);
    EXPECT_EQ("Issued for:\nCN=Jan\n\nIssued by:\nCN=Bank CA\n",
              CertDetailsText("CN=Jan", "CN=Bank CA"));
    SetLanguageIndex(kLanguagePolish);
    const std::string pl = CertDetailsText("S", "I");
    EXPECT_EQ(LoadText(kTextIssuedFor) + "\nS\n\n" + LoadText(kTextIssuedBy) + "\nI\n", pl);
    EXPECT_NE(std::string::npos, pl.find("\nS\n\n"));
    EXPECT_FALSE(LoadText(kTextIssuedFor).empty());
}

}  // namespace
}  // namespace vq
