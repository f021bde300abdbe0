// Program codes: the small integers every operation returns and every method reports to the page.
// They pass upward unchanged; this header is the one place that names them.
#pragma once

namespace vq::code {

inline constexpr int kOk = 0;
inline constexpr int kInvalidArgument = 1;        // missing/malformed argument, hex or message
inline constexpr int kOutOfMemory = 2;            // also: PIN prompt cancelled in key removal
inline constexpr int kKeyDerivationFailed = 3;
inline constexpr int kKindNotUsable = 5;          // key kind cannot sign, or no key selected
inline constexpr int kRsaSignFailed = 6;
inline constexpr int kCancelled = 8;              // any dialog closed without OK
inline constexpr int kWrongPassword = 9;
inline constexpr int kKeyFileOpen = 18;
inline constexpr int kKeyFileShort = 19;
inline constexpr int kCertStoreOpen = 21;
inline constexpr int kCertNotInStore = 23;
inline constexpr int kHashCreate = 25;            // certificate store: no digest
inline constexpr int kHashData = 26;              // certificate store: hashing failed
inline constexpr int kSignatureLength = 27;       // certificate store: length unknown
inline constexpr int kStoreSignFailed = 28;       // certificate store: signing failed
inline constexpr int kSignatureCancelled = 29;    // certificate store: prompt cancelled
inline constexpr int kPrivateKeyUnavailable = 31; // certificate's private key not found
inline constexpr int kKeyExistsOnDevice = 33;
inline constexpr int kNoSuchKey = 34;             // key set empty or identifier not in it
inline constexpr int kSingleBar = 35;             // allowed-key list is "|" alone
inline constexpr int kFingerprintMismatch = 36;
inline constexpr int kBadKeyMaterial = 40;        // not hex or no armour
inline constexpr int kNotCertificate = 41;        // not a certificate armour or certificate
inline constexpr int kNoReader = 48;
inline constexpr int kBadSlot = 52;
inline constexpr int kKeyNotOnCard = 53;
inline constexpr int kPinNotAcceptable = 54;
inline constexpr int kNoSession = 55;
inline constexpr int kWrongPin = 56;
inline constexpr int kNoCard = 57;
inline constexpr int kPinLocked = 64;
inline constexpr int kNotLoggedIn = 65;
inline constexpr int kCertNotValid = 80;          // certificate not valid at that moment
inline constexpr int kKeyBlocked = 82;
inline constexpr int kPinAndPukLocked = 91;
inline constexpr int kNoReader93 = 93;
inline constexpr int kNoReader94 = 94;
inline constexpr int kNoReader95 = 95;
inline constexpr int kPkcs8Unparsable = 98;
inline constexpr int kWrongPasswordLower = 101;   // from a device or store layer; handled like 9
inline constexpr int kNotInitialised = 120;
inline constexpr int kWrongPuk = 130;
inline constexpr int kPukLocked = 131;
inline constexpr int kNoToken = 133;
inline constexpr int kKeyNotOnToken = 134;
inline constexpr int kNoDriver = 135;             // neither reader driver component installed
inline constexpr int kCardGenFailed = 137;
inline constexpr int kTokenGenFailed = 138;
inline constexpr int kRawRsaFailed = 502;
inline constexpr int kNoExchangeKey = 504;        // certificate's key cannot decrypt
inline constexpr int kDecryptFailed = 505;        // certificate store: decryption failed
inline constexpr int kCipherSetup506 = 506;
inline constexpr int kCipherSetup507 = 507;
inline constexpr int kCipherSetup508 = 508;
inline constexpr int kNoLocation = 509;
inline constexpr int kSigningLocked = 600;

// Device layer (smart cards and USB tokens).
inline constexpr int kNoVersionInfo = -1;          // module file without version information
inline constexpr int kDeviceKeyMismatch = 38;      // key under the label has another fingerprint
inline constexpr int kModuleUnavailable = 51;      // module cannot be loaded, bound or initialised
inline constexpr int kBadKeySize = 66;             // key size other than 512, 1024, 2048
inline constexpr int kObjectSearchFailed = 67;
inline constexpr int kModuleRefused = 89;          // module refused by the version gate
inline constexpr int kPcscUnavailable = 92;        // PC/SC context or card list unavailable
inline constexpr int kPcscLibraryMissing = 96;     // "winscard.dll" or one of its functions missing
inline constexpr int kInitDeviceFailed = 132;
inline constexpr int kKeyPairGenFailed = 136;
inline constexpr int kModuleSpecific = 601;        // module-specific value passed through
inline constexpr int kNoKeyObjects = 800;
inline constexpr int kDestroyObjectFailed = 801;

// Device library errors without an entry of their own arrive as this plus the library's value.
inline constexpr int kDeviceErrorBase = 32768;

}  // namespace vq::code
