// The device layer: the only place that talks to smart cards and USB tokens. It finds readers
// through PC/SC ("winscard.dll"), decides whether each device is a card or a token, binds the
// PKCS#11 module for it ("pkcs11.dll", or "gclib.dll" for Gemplus cards) and offers the flows
// small operations that each return a program code (storage/codes.h).
//
// Calling order for every device task: SelectDevice (or OpenDevice), ReadTokenState, the
// operation (LoginUser / LoginSO first where the module needs it), CloseSession, UnloadModule.
#pragma once

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/cryptoki.h"
#include "devices/device_kind.h"
#include "devices/device_ui.h"
#include "devices/pcsc/reader_scan.h"
#include "devices/pkcs11/limits.h"
#include "devices/pkcs11/token_state.h"
#include "platform/loader/loader.h"
#include "storage/secure.h"

namespace vq {

// Module kinds.
inline constexpr int kModuleGemplus = 0;  // "gclib.dll"
inline constexpr int kModulePkcs11 = 1;   // "pkcs11.dll"

// Which row of the error table applies to the two code-related PKCS#11 values.
enum class CodeFlavour { SecurityOfficer = 0, User = 1 };

// Signing modes of DeviceSign.
inline constexpr int kSignRaw = 0;
inline constexpr int kSignDecrypt = 1;
inline constexpr int kSignSha1 = 3;
inline constexpr int kSignSha256 = 4;
inline constexpr int kSignDigest = 5;

// Key fingerprint of a device key: upper-case hex SHA-1 over the modulus followed by 01 00 01
// (whatever the key's real exponent).
std::string DeviceKeyFingerprint(const unsigned char* modulus, std::size_t length);
// Public-key blob as upper-case hex: modulus length (LE32), modulus, 3 (LE32), 01 00 01.
std::string DevicePublicKeyBlob(const unsigned char* modulus, std::size_t length);

class CPSA {
  public:
    static constexpr int kMaxModels = 100;
    static constexpr std::size_t kMaxKeyList = kMaxKeyListText;  // characters of ListKeys
    static constexpr CK_ULONG kMaxHandles = 1000;                // handles per object search
    static constexpr CK_ULONG kMaxAttribute = 5000;              // bytes per label or modulus

    CPSA();
    ~CPSA();
    CPSA(const CPSA&) = delete;
    CPSA& operator=(const CPSA&) = delete;

    // --- module binding ---
    // 0 passes; -1 no version information; 89 refused (only "pkcs11.dll" is admitted when the
    // root block of its version information can be read).
    static int CheckModuleVersion(const char* fileName);
    int LoadModule(const char* fileName);
    int InitializeModule();
    int UnloadModule();  // always 0; also forgets the session, which C_Finalize ended
    int OpenDevice(const char* fileName, CK_SLOT_ID slot, const char* readerName);
    int CloseSession();  // 55 without a session, else the raw C_CloseSession value
    CK_SLOT_ID FindSlotByReader(const char* readerName);

    // --- enumeration ---
    // The device choice for two or more usable devices; without one, that case is a cancel (8).
    void SetDeviceChooser(IDeviceChooser* chooser) { chooser_ = chooser; }
    int SelectDevice(DeviceKind deviceKind, CK_SLOT_ID* chosenSlot);
    int ListDevices(DeviceKind deviceKind, DeviceEntries& entries);

    // --- state and codes ---
    int GetSerialNumber(std::string& serial);  // 16 characters
    int ReadTokenState();
    int LoginUser(const SecureString* pin);  // null: no PIN given
    int LoginSO(const SecureString* puk);
    int ChangeCode(const SecureString* oldCode, const SecureString* newCode, CodeFlavour flavour);
    int InitUserPin(const SecureString* pin);
    int InitDevice(const SecureString* puk);
    static int MapDeviceError(CK_RV rv, CodeFlavour flavour);
    int AddModelName(const char* name);

    // --- key operations ---
    int FindKey(const char* label, const char* fingerprint, bool verify, CK_OBJECT_HANDLE* key,
                CK_ULONG* modulusLength);
    int ListKeys(std::string& out);
    int GenerateDeviceKeyPair(const char* label, int bits, std::string& blobHex,
                              std::string& fingerprint);
    int DeviceSign(const char* label, const char* fingerprint, const SecureString* pin,
                   const unsigned char* data, std::size_t length, int mode, SecureBytes& out);
    int RemoveDeviceKeys(IKeyRemovalChooser& chooser, std::string& removed);

    // --- fields ---
    int tokenFlag() const { return tokenFlag_; }
    CK_SLOT_ID slot() const { return slot_; }
    CK_SESSION_HANDLE session() const { return session_; }
    bool initialised() const { return initialised_; }
    bool loaded() const { return loaded_; }
    int moduleKind() const { return moduleKind_; }
    void setModuleKind(int kind) { moduleKind_ = kind; }
    const TokenState& tokenState() const { return state_; }
    bool tokenReady() const { return state_.tokenReady; }
    bool userPinInitialised() const { return state_.userPinInitialised; }
    bool userPinLocked() const { return state_.userPinLocked; }
    bool pukLocked() const { return state_.pukLocked; }
    int modelCount() const { return static_cast<int>(models_.size()); }
    const std::string& modelName(int i) const { return models_.at(static_cast<std::size_t>(i)); }
    const Cryptoki& cryptoki() const { return p11_; }

  private:
    int Enumerate(DeviceKind deviceKind, DeviceEntries& entries, int& matching, int& remembered);
    // Opens the device in `reader` (at `position` in the reader list) and reads its serial
    // number into `entry`; 0 or the failing code.
    int Probe(const Reader& reader, CK_SLOT_ID position, DeviceEntry& entry);
    int ReadAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                      std::vector<unsigned char>& value, CK_RV& rv);

    int tokenFlag_ = 0;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = 0;
    bool initialised_ = false;
    bool loaded_ = false;
    loader::Library module_;
    std::vector<std::string> models_;
    int moduleKind_ = kModulePkcs11;
    TokenState state_;
    std::map<int, std::string> readerPatterns_;
    Cryptoki p11_;
    IDeviceChooser* chooser_ = nullptr;
};

// The device collection of the key generation dialog: owns its device objects.
class CPSAS {
  public:
    CPSA& Add();
    int size() const { return static_cast<int>(devices_.size()); }
    CPSA& at(int i) { return *devices_.at(static_cast<std::size_t>(i)); }
    void Clear() { devices_.clear(); }

  private:
    std::vector<std::unique_ptr<CPSA>> devices_;
};

}  // namespace vq
