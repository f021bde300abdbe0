// Armour: Base64 text between a BEGIN line and an END line, in four labelled kinds.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace vq {

namespace armour {
inline constexpr int kCertificateRequest = 1;
inline constexpr int kCertificate = 2;
inline constexpr int kData = 3;  // key files
inline constexpr int kCrl = 4;

// Codes of ArmourEncode.
inline constexpr int kEncodeOk = 0;
inline constexpr int kEncodeUnknownKind = 1;
inline constexpr int kEncodeNoRoom = 2;

// Codes of ArmourDecode.
inline constexpr int kDecodeOk = 0;
inline constexpr int kDecodeShortInput = 1;
inline constexpr int kDecodeSmallOutput = 2;
inline constexpr int kDecodeNoHeader = 3;
inline constexpr int kDecodeUnknownKind = 4;
}  // namespace armour

// Header and footer of a kind; null for an unknown kind.
const char* ArmourHeader(int kind);
const char* ArmourFooter(int kind);

// Exact length of the armoured text of `length` input bytes; 0 for an unknown kind.
std::size_t ArmourEncodedLength(std::size_t length, int kind);

// Writes the armoured text of the input into `out` (not zero-terminated). `length` is the
// capacity of `out` on entry and the length written on success. The text must fit with at least
// one byte to spare, so that a length equal to the capacity always means failure: when it does
// not fit, nothing is written, `length` stays equal to the capacity and the code is 2.
int ArmourEncode(const unsigned char* in, std::size_t inLength, char* out, std::size_t* length,
                 int kind);
// Convenience form: the whole armoured text, or empty for an unknown kind.
std::string ArmourEncode(std::span<const unsigned char> in, int kind);

// Decodes the Base64 body that follows the first header of the kind. `length` is the capacity
// of `out` on entry and the number of decoded bytes on success; on any failure it is left
// unchanged. Line ends, spaces and other characters outside the alphabet are skipped; "-" (the
// footer) or "=" ends the body. The whole output buffer is zeroed first.
int ArmourDecode(const char* in, std::size_t inLength, unsigned char* out, std::size_t* length,
                 int kind);

}  // namespace vq
