// Key operations on the open device: find, list, generate, sign or decrypt, remove.
#include <openssl/evp.h>

#include <cstring>

#include "devices/psa.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

constexpr unsigned char kExponent[] = {0x01, 0x00, 0x01};
constexpr unsigned char kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                         0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60,
                                           0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                           0x01, 0x05, 0x00, 0x04, 0x20};

std::vector<unsigned char> FingerprintBytes(const unsigned char* modulus, std::size_t length) {
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1 &&
                    EVP_DigestUpdate(ctx, modulus, length) == 1 &&
                    EVP_DigestUpdate(ctx, kExponent, sizeof kExponent) == 1 &&
                    EVP_DigestFinal_ex(ctx, digest.data(), &size) == 1;
    EVP_MD_CTX_free(ctx);
    digest.resize(ok ? size : 0);
    return digest;
}

bool Digest(const EVP_MD* md, const unsigned char* data, std::size_t length,
            std::vector<unsigned char>& out) {
    out.resize(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_Digest(data, length, out.data(), &size, md, nullptr) != 1) return false;
    out.resize(size);
    return true;
}

void AppendLe32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::string RawValueText(CK_RV rv) {
    return std::to_string(rv) + "|";
}

}  // namespace

std::string DeviceKeyFingerprint(const unsigned char* modulus, std::size_t length) {
    return HexEncode(FingerprintBytes(modulus, length));
}

std::string DevicePublicKeyBlob(const unsigned char* modulus, std::size_t length) {
    std::vector<unsigned char> blob;
    blob.reserve(length + 11);
    AppendLe32(blob, static_cast<std::uint32_t>(length));
    blob.insert(blob.end(), modulus, modulus + length);
    AppendLe32(blob, sizeof kExponent);
    blob.insert(blob.end(), kExponent, kExponent + sizeof kExponent);
    return HexEncode(blob);
}

int CPSA::ReadAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                        std::vector<unsigned char>& value, CK_RV& rv) {
    value.assign(kMaxAttribute, 0);
    CK_ATTRIBUTE attribute{type, value.data(), kMaxAttribute};
    rv = p11_.Call(&CK_FUNCTION_LIST::C_GetAttributeValue, session_, object, &attribute,
                   CK_ULONG(1));
    if (rv == CKR_OK && attribute.ulValueLen > kMaxAttribute) rv = CKR_BUFFER_TOO_SMALL;
    if (rv != CKR_OK) {
        value.clear();
        return MapDeviceError(rv, CodeFlavour::User);
    }
    value.resize(attribute.ulValueLen);
    return code::kOk;
}

int CPSA::FindKey(const char* label, const char* fingerprint, bool verify, CK_OBJECT_HANDLE* key,
                  CK_ULONG* modulusLength) {
    if (key) *key = 0;
    if (!label) return code::kInvalidArgument;
    if (session_ == 0) return code::kNoSession;
    const std::size_t labelLength = std::strlen(label);

    // One search by class; the labels of the hits are compared again here, byte for byte.
    auto search = [&](CK_OBJECT_CLASS objectClass, bool mapInitError,
                      CK_OBJECT_HANDLE& kept) -> int {
        CK_KEY_TYPE keyType = CKK_RSA;
        CK_ATTRIBUTE query[] = {
            {CKA_CLASS, &objectClass, sizeof objectClass},
            {CKA_KEY_TYPE, &keyType, sizeof keyType},
            {CKA_LABEL, const_cast<char*>(label), labelLength},
        };
        CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_FindObjectsInit, session_, query, CK_ULONG(3));
        if (rv == CKR_SESSION_HANDLE_INVALID) return code::kNoSession;
        if (rv != CKR_OK)
            return mapInitError ? MapDeviceError(rv, CodeFlavour::User) : code::kObjectSearchFailed;
        std::vector<CK_OBJECT_HANDLE> handles(kMaxHandles);
        CK_ULONG found = 0;
        rv = p11_.Call(&CK_FUNCTION_LIST::C_FindObjects, session_, handles.data(), kMaxHandles,
                       &found);
        p11_.Call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session_);
        if (rv != CKR_OK) return code::kObjectSearchFailed;
        if (found == 0) return code::kKeyNotOnCard;
        int counting = 0;
        std::vector<unsigned char> value;
        for (CK_ULONG i = 0; i < found && i < kMaxHandles; ++i) {
            CK_RV attrRv = CKR_OK;
            const int rc = ReadAttribute(handles[i], CKA_LABEL, value, attrRv);
            if (rc != code::kOk) return rc;
            if (value.size() == labelLength && std::memcmp(value.data(), label, labelLength) == 0) {
                ++counting;
                kept = handles[i];
            }
        }
        if (counting == 0) return code::kKeyNotOnCard;
        if (counting > 1) return code::kKeyExistsOnDevice;
        return code::kOk;
    };

    CK_OBJECT_HANDLE publicKey = 0;
    int rc = search(CKO_PUBLIC_KEY, true, publicKey);
    if (rc != code::kOk) return rc;
    std::vector<unsigned char> modulus;
    CK_RV rv = CKR_OK;
    rc = ReadAttribute(publicKey, CKA_MODULUS, modulus, rv);
    if (rc != code::kOk) return rc;
    if (modulusLength) *modulusLength = modulus.size();
    if (verify &&
        (!fingerprint || DeviceKeyFingerprint(modulus.data(), modulus.size()) != fingerprint))
        return code::kDeviceKeyMismatch;

    CK_OBJECT_HANDLE privateKey = 0;
    rc = search(CKO_PRIVATE_KEY, false, privateKey);
    if (rc != code::kOk) return rc;
    if (key) *key = privateKey;
    return code::kOk;
}

int CPSA::ListKeys(std::string& out) {
    out.clear();
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_ATTRIBUTE query[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
    };
    CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_FindObjectsInit, session_, query, CK_ULONG(2));
    if (rv != CKR_OK) {
        out = RawValueText(rv);
        return code::kObjectSearchFailed;
    }
    std::vector<CK_OBJECT_HANDLE> handles(kMaxHandles);
    CK_ULONG found = 0;
    rv = p11_.Call(&CK_FUNCTION_LIST::C_FindObjects, session_, handles.data(), kMaxHandles, &found);
    const CK_RV finalRv = p11_.Call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session_);
    if (rv == CKR_OK) rv = finalRv;
    if (rv != CKR_OK) {
        out = RawValueText(rv);
        return code::kObjectSearchFailed;
    }

    switch (moduleKind_) {
        case kModuleGemplus:
            out = "GemplusCard|";
            break;
        case kModulePkcs11:
            out = "ProtectorCard|";
            break;
        default:
            out = "UnknownCard|";
            break;
    }
    bool first = true;
    std::vector<unsigned char> modulus;
    for (CK_ULONG i = 0; i < found && i < kMaxHandles; ++i) {
        const int rc = ReadAttribute(handles[i], CKA_MODULUS, modulus, rv);
        if (rc != code::kOk) {
            out = RawValueText(rv);
            return rc;
        }
        const std::string entry =
            (first ? "\"" : "-\"") + DeviceKeyFingerprint(modulus.data(), modulus.size()) + "\"";
        // Whole fingerprints only: a key that no longer fits is left out of the list.
        if (out.size() + entry.size() > kMaxKeyList) break;
        out += entry;
        first = false;
    }
    return code::kOk;
}

int CPSA::GenerateDeviceKeyPair(const char* label, int bits, std::string& blobHex,
                                std::string& fingerprint) {
    blobHex.clear();
    fingerprint.clear();
    if (session_ == 0) return code::kNoSession;
    if (!label) return code::kInvalidArgument;
    if (FindKey(label, nullptr, false, nullptr, nullptr) == code::kOk)
        return code::kKeyExistsOnDevice;
    if (bits != 512 && bits != 1024 && bits != 2048) return code::kBadKeySize;

    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG modulusBits = 1024;
    CK_BYTE exponent[] = {0x01, 0x00, 0x01};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits},
        {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
        {CKA_TOKEN, &yes, sizeof yes},
    };
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
    };
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
    CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_GenerateKeyPair, session_, &mechanism, publicTemplate,
                         CK_ULONG(3), privateTemplate, CK_ULONG(3), &publicKey, &privateKey);
    if (rv == CKR_FUNCTION_FAILED) return code::kKeyPairGenFailed;
    if (rv != CKR_OK) return MapDeviceError(rv, CodeFlavour::User);

    auto destroyBoth = [&] {
        p11_.Call(&CK_FUNCTION_LIST::C_DestroyObject, session_, publicKey);
        p11_.Call(&CK_FUNCTION_LIST::C_DestroyObject, session_, privateKey);
    };
    std::vector<unsigned char> modulus;
    int rc = ReadAttribute(publicKey, CKA_MODULUS, modulus, rv);
    if (rc != code::kOk) {
        // An unlabelled pair could never be found again: do not leave it on the device.
        destroyBoth();
        return rc;
    }
    const std::vector<unsigned char> id = FingerprintBytes(modulus.data(), modulus.size());
    CK_ATTRIBUTE labelling[] = {
        {CKA_ID, const_cast<unsigned char*>(id.data()), id.size()},
        {CKA_LABEL, const_cast<char*>(label), std::strlen(label)},
    };
    rv = p11_.Call(&CK_FUNCTION_LIST::C_SetAttributeValue, session_, publicKey, labelling,
                   CK_ULONG(2));
    if (rv == CKR_OK)
        rv = p11_.Call(&CK_FUNCTION_LIST::C_SetAttributeValue, session_, privateKey, labelling,
                       CK_ULONG(2));
    if (rv != CKR_OK) {
        destroyBoth();
        return MapDeviceError(rv, CodeFlavour::User);
    }
    blobHex = DevicePublicKeyBlob(modulus.data(), modulus.size());
    fingerprint = HexEncode(id);
    return code::kOk;
}

int CPSA::DeviceSign(const char* label, const char* fingerprint, const SecureString* pin,
                     const unsigned char* data, std::size_t length, int mode, SecureBytes& out) {
    out.clear();
    int rc = LoginUser(pin);
    if (rc != code::kOk) return rc;
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG modulusLength = 0;
    rc = FindKey(label, fingerprint, true, &key, &modulusLength);
    if (rc != code::kOk) return rc;
    if (!data && length > 0) return code::kInvalidArgument;

    SecureBytes input;
    std::vector<unsigned char> digest;
    switch (mode) {
        case kSignRaw:
        case kSignDecrypt:
        case kSignDigest:
            input.assign(data, data + length);
            break;
        case kSignSha1:
            if (!Digest(EVP_sha1(), data, length, digest)) return code::kInvalidArgument;
            input.assign(std::begin(kSha1Prefix), std::end(kSha1Prefix));
            input.insert(input.end(), digest.begin(), digest.end());
            break;
        case kSignSha256:
            if (!Digest(EVP_sha256(), data, length, digest)) return code::kInvalidArgument;
            input.assign(std::begin(kSha256Prefix), std::end(kSha256Prefix));
            input.insert(input.end(), digest.begin(), digest.end());
            break;
        default:
            return code::kInvalidArgument;
    }

    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    SecureBytes result(modulusLength);
    CK_ULONG resultLength = modulusLength;
    CK_RV rv;
    if (mode == kSignDecrypt) {
        rv = p11_.Call(&CK_FUNCTION_LIST::C_DecryptInit, session_, &mechanism, key);
        if (rv == CKR_OK)
            rv = p11_.Call(&CK_FUNCTION_LIST::C_Decrypt, session_, input.data(),
                           CK_ULONG(input.size()), result.data(), &resultLength);
    } else {
        rv = p11_.Call(&CK_FUNCTION_LIST::C_SignInit, session_, &mechanism, key);
        if (rv == CKR_OK)
            rv = p11_.Call(&CK_FUNCTION_LIST::C_Sign, session_, input.data(),
                           CK_ULONG(input.size()), result.data(), &resultLength);
    }
    if (rv != CKR_OK) return MapDeviceError(rv, CodeFlavour::User);
    if (resultLength > result.size())
        return MapDeviceError(CKR_BUFFER_TOO_SMALL, CodeFlavour::User);
    result.resize(resultLength);
    out = std::move(result);
    return code::kOk;
}

int CPSA::RemoveDeviceKeys(IKeyRemovalChooser& chooser, std::string& removed) {
    removed.clear();
    if (session_ == 0) return code::kNoSession;
    CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_FindObjectsInit, session_, nullptr, CK_ULONG(0));
    if (rv != CKR_OK) return MapDeviceError(rv, CodeFlavour::User);

    int added = 0;
    int rc = code::kOk;
    std::vector<unsigned char> label;
    std::vector<unsigned char> modulus;
    for (;;) {
        CK_OBJECT_HANDLE object = 0;
        CK_ULONG found = 0;
        rv = p11_.Call(&CK_FUNCTION_LIST::C_FindObjects, session_, &object, CK_ULONG(1), &found);
        if (rv != CKR_OK) {
            rc = MapDeviceError(rv, CodeFlavour::User);
            break;
        }
        if (found != 1) break;
        CK_ATTRIBUTE probe{CKA_CLASS, nullptr, 0};
        rv = p11_.Call(&CK_FUNCTION_LIST::C_GetAttributeValue, session_, object, &probe,
                       CK_ULONG(1));
        if (rv != CKR_OK && rv != CKR_ATTRIBUTE_TYPE_INVALID) continue;
        CK_OBJECT_CLASS objectClass = 0;
        CK_ATTRIBUTE classAttribute{CKA_CLASS, &objectClass, sizeof objectClass};
        if (p11_.Call(&CK_FUNCTION_LIST::C_GetAttributeValue, session_, object, &classAttribute,
                      CK_ULONG(1)) != CKR_OK)
            continue;
        if (objectClass != CKO_PUBLIC_KEY && objectClass != CKO_PRIVATE_KEY) continue;
        if ((rc = ReadAttribute(object, CKA_LABEL, label, rv)) != code::kOk) break;
        if ((rc = ReadAttribute(object, CKA_MODULUS, modulus, rv)) != code::kOk) break;
        // The chooser has room for a fixed number of objects; further ones stay on the device.
        if (added >= IKeyRemovalChooser::kMaxObjects) continue;
        const std::size_t kept = std::min(label.size(), IKeyRemovalChooser::kMaxLabel);
        std::string text(reinterpret_cast<const char*>(label.data()), kept);
        text.resize(std::strlen(text.c_str()));  // the label ends at its first NUL
        chooser.AddKey(text, DeviceKeyFingerprint(modulus.data(), modulus.size()),
                       objectClass == CKO_PRIVATE_KEY, object);
        ++added;
    }
    // The search must be over before objects are destroyed.
    p11_.Call(&CK_FUNCTION_LIST::C_FindObjectsFinal, session_);
    if (rc != code::kOk) return rc;
    if (added == 0) return code::kNoKeyObjects;
    if (!chooser.Run()) return code::kCancelled;

    // On a failed destruction the objects destroyed so far are gone: they are still reported.
    std::vector<std::string> chosenPrints;
    for (int i = 0; i < IKeyRemovalChooser::kMaxObjects && i < added; ++i) {
        if (!chooser.chosen(i)) continue;
        rv = p11_.Call(&CK_FUNCTION_LIST::C_DestroyObject, session_, chooser.handle(i));
        if (rv != CKR_OK) {
            rc = code::kDestroyObjectFailed;
            break;
        }
        chosenPrints.push_back(chooser.fingerprint(i));
    }
    for (std::size_t i = 0; i < chosenPrints.size(); ++i) {
        bool earlier = false;
        for (std::size_t j = 0; j < i && !earlier; ++j)
            earlier = chosenPrints[j] == chosenPrints[i];
        if (!earlier) removed += "|" + chosenPrints[i];
    }
    return rc;
}

}  // namespace vq
