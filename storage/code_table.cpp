#include "storage/code_table.h"

#include <algorithm>
#include <array>

#include "resources/text_ids.h"
#include "storage/codes.h"

namespace vq {
namespace {

using enum SignDialogAction;

// A device with no reader: the same texts whichever of the four codes the layer gave.
constexpr CodeMeaning NoReader(int code) {
    return {.code = code,
            .text = kTextConnectReader,
            .signDialog = kStay,
            .cardGenerationText = kTextInsertCard};
}

// One row per named code, ascending. Columns left out keep their defaults: nothing shown, the
// signing dialog closes, nothing repeated, forgotten or counted.
constexpr auto kTable = std::to_array<CodeMeaning>({
    {.code = code::kNoVersionInfo},
    {.code = code::kOk, .usesUpPassword = true},
    {.code = code::kInvalidArgument},
    {.code = code::kOutOfMemory},
    {.code = code::kKeyDerivationFailed},
    {.code = code::kKindNotUsable},
    {.code = code::kRsaSignFailed},
    {.code = code::kCancelled, .signDialog = kStay, .generationStays = true},
    {.code = code::kWrongPassword,
     .text = kTextWrongPasswordOrFile,
     .signDialog = kStay,
     .repeatsStep = true,
     .usesUpPassword = true,
     .wrongPassword = true},
    {.code = code::kKeyFileOpen},
    {.code = code::kKeyFileShort},
    {.code = code::kCertStoreOpen},
    {.code = code::kCertNotInStore},
    {.code = code::kHashCreate},
    {.code = code::kHashData},
    {.code = code::kSignatureLength},
    {.code = code::kStoreSignFailed},
    {.code = code::kSignatureCancelled},
    {.code = code::kPrivateKeyUnavailable},
    {.code = code::kKeyExistsOnDevice, .cardGenerationText = kTextKeyNameInUse},
    {.code = code::kNoSuchKey},
    {.code = code::kSingleBar},
    {.code = code::kFingerprintMismatch, .signDialog = kRetry, .forgetsLocation = true},
    {.code = code::kDeviceKeyMismatch},
    {.code = code::kBadKeyMaterial, .forgetsLocation = true},
    {.code = code::kNotCertificate},
    NoReader(code::kNoReader),
    {.code = code::kModuleUnavailable},
    {.code = code::kBadSlot},
    {.code = code::kKeyNotOnCard, .text = kTextKeyNotOnCard},
    {.code = code::kPinNotAcceptable,
     .text = kTextPinTooShortMinimum,
     .signDialog = kStay,
     .pinPromptAgain = true},
    {.code = code::kNoSession},
    {.code = code::kWrongPin,
     .text = kTextIncorrectPin,
     .signDialog = kStay,
     .repeatsStep = true,
     .cardGenerationText = kTextIncorrectPin,
     .pinPromptAgain = true,
     .pinPromptText = kTextIncorrectPin},
    {.code = code::kNoCard,
     .text = kTextInsertCard,
     .signDialog = kStay,
     .cardGenerationText = kTextInsertCard},
    {.code = code::kPinLocked, .usesUpPassword = true},
    {.code = code::kNotLoggedIn},
    {.code = code::kBadKeySize},
    {.code = code::kObjectSearchFailed},
    {.code = code::kCertNotValid},
    {.code = code::kKeyBlocked, .text = kTextKeyBlocked},
    {.code = code::kModuleRefused},
    {.code = code::kPinAndPukLocked, .usesUpPassword = true},
    {.code = code::kPcscUnavailable},
    NoReader(code::kNoReader93),
    NoReader(code::kNoReader94),
    NoReader(code::kNoReader95),
    {.code = code::kPcscLibraryMissing},
    {.code = code::kPkcs8Unparsable, .signDialog = kRetry, .forgetsLocation = true},
    // Handled like 9, except that the signing dialog closes on it.
    {.code = code::kWrongPasswordLower,
     .text = kTextWrongPasswordOrFile,
     .repeatsStep = true,
     .wrongPassword = true},
    {.code = code::kNotInitialised, .signDialog = kStay, .signDialogText = kTextCardNotInitialized},
    {.code = code::kWrongPuk},
    {.code = code::kPukLocked},
    {.code = code::kInitDeviceFailed, .repeatsStep = true},
    {.code = code::kNoToken, .text = kTextConnectUsbDevice, .signDialog = kStay},
    {.code = code::kKeyNotOnToken, .text = kTextKeyNotOnUsbDevice, .signDialog = kStay},
    {.code = code::kNoDriver},
    {.code = code::kKeyPairGenFailed},
    {.code = code::kCardGenFailed},
    {.code = code::kTokenGenFailed},
    {.code = code::kRawRsaFailed},
    {.code = code::kNoExchangeKey},
    {.code = code::kDecryptFailed},
    {.code = code::kCipherSetup506},
    {.code = code::kCipherSetup507},
    {.code = code::kCipherSetup508},
    {.code = code::kNoLocation},
    {.code = code::kSigningLocked},
    {.code = code::kModuleSpecific},
    {.code = code::kNoKeyObjects},
    {.code = code::kDestroyObjectFailed},
});

// Strictly ascending: one row per code, and the lookup can search.
static_assert(std::ranges::adjacent_find(kTable, std::ranges::greater_equal{},
                                         &CodeMeaning::code) == kTable.end());

}  // namespace

CodeMeaning MeaningOf(int code) {
    const auto* row = std::ranges::lower_bound(kTable, code, {}, &CodeMeaning::code);
    if (row != kTable.end() && row->code == code) return *row;
    return {.code = code};
}

std::span<const CodeMeaning> CodeTable() {
    return kTable;
}

}  // namespace vq
