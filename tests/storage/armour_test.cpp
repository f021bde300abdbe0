#include "storage/armour.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace vq {
namespace {

std::vector<unsigned char> Bytes(std::size_t n, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

// Reference Base64 of a chunk from OpenSSL.
std::string Reference(const unsigned char* p, std::size_t n) {
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    const int len =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), p, static_cast<int>(n));
    out.resize(static_cast<std::size_t>(len));
    return out;
}

int Decode(const std::string& text, std::vector<unsigned char>& out, std::size_t capacity,
           int kind = armour::kData) {
    out.assign(capacity, 0xAA);
    std::size_t length = capacity;
    const int rc = ArmourDecode(text.data(), text.size(), out.data(), &length, kind);
    out.resize(length);
    return rc;
}

TEST(ArmourEncode, LineLayoutFor49Bytes) {
    const auto in = Bytes(49);
    const std::string text = ArmourEncode(in, armour::kData);
    const std::string expected = "-----BEGIN DATA-----\n" + Reference(in.data(), 48) + "\n" +
                                 Reference(in.data() + 48, 1) + "\n-----END DATA-----\n";
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.substr(text.size() - 22, 3), "==\n");
    EXPECT_EQ(ArmourEncodedLength(49, armour::kData), text.size());
}

TEST(ArmourEncode, EveryKindAndEmptyInput) {
    for (int kind = 1; kind <= 4; ++kind) {
        const std::string text = ArmourEncode(std::span<const unsigned char>(), kind);
        EXPECT_EQ(text, std::string(ArmourHeader(kind)) + ArmourFooter(kind));
        EXPECT_EQ(std::string(ArmourFooter(kind)).front(), '\n');
    }
    EXPECT_EQ(ArmourEncode(std::span<const unsigned char>(), 2),
              "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n");
    std::size_t length = 100;
    char buf[100];
    EXPECT_EQ(ArmourEncode(nullptr, 0, buf, &length, 0), armour::kEncodeUnknownKind);
    EXPECT_EQ(ArmourEncode(nullptr, 0, buf, &length, 5), armour::kEncodeUnknownKind);
    EXPECT_EQ(length, 100u);
}

TEST(ArmourEncode, NeverWritesPastCapacity) {
    const auto in = Bytes(100);
    const std::size_t need = ArmourEncodedLength(in.size(), armour::kCertificate);
    for (std::size_t capacity : {std::size_t{0}, std::size_t{10}, need - 1, need}) {
        std::vector<char> buf(capacity + 16, '#');
        std::size_t length = capacity;
        EXPECT_EQ(ArmourEncode(in.data(), in.size(), buf.data(), &length, armour::kCertificate),
                  armour::kEncodeNoRoom);
        EXPECT_EQ(length, capacity);  // callers read this as failure
        for (char c : buf) ASSERT_EQ(c, '#');
    }
    std::vector<char> buf(need + 1);
    std::size_t length = buf.size();
    EXPECT_EQ(ArmourEncode(in.data(), in.size(), buf.data(), &length, armour::kCertificate), 0);
    EXPECT_EQ(length, need);
}

TEST(ArmourDecode, RoundTripsEveryLengthAndKind) {
    for (int kind = 1; kind <= 4; ++kind) {
        for (std::size_t n = 0; n < 150; ++n) {
            const auto in = Bytes(n, static_cast<unsigned>(n));
            std::vector<unsigned char> out;
            ASSERT_EQ(Decode(ArmourEncode(in, kind), out, 256, kind), 0) << n;
            ASSERT_EQ(out, in) << "kind " << kind << " length " << n;
        }
    }
}

TEST(ArmourDecode, SkipsLineEndsSpacesAndLeadingText) {
    const auto in = Bytes(200, 7);
    std::string text = ArmourEncode(in, armour::kData);
    std::string crlf;
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    std::string spaced;
    for (std::size_t i = 0; i < text.size(); ++i) {
        spaced += text[i];
        if (i > 25 && i % 7 == 0 && text[i] != '-') spaced += " \t";
    }
    for (const std::string& t : {crlf, spaced, "garbage before\r\n" + text}) {
        std::vector<unsigned char> out;
        ASSERT_EQ(Decode(t, out, 400), 0);
        EXPECT_EQ(out, in);
    }
}

TEST(ArmourDecode, PaddingDecidesTheLength) {
    std::vector<unsigned char> out;
    ASSERT_EQ(Decode("-----BEGIN DATA-----\nQUI=\n-----END DATA-----\n", out, 64), 0);
    EXPECT_EQ(out, (std::vector<unsigned char>{'A', 'B'}));
    ASSERT_EQ(Decode("-----BEGIN DATA-----\nQQ==", out, 64), 0);
    EXPECT_EQ(out, (std::vector<unsigned char>{'A'}));
    // End of input ends the body like the footer does.
    ASSERT_EQ(Decode("-----BEGIN DATA-----\nQUJD", out, 64), 0);
    EXPECT_EQ(out, (std::vector<unsigned char>{'A', 'B', 'C'}));
    // A padding character right after the header yields nothing rather than a negative length.
    ASSERT_EQ(Decode("-----BEGIN DATA-----\n=", out, 64), 0);
    EXPECT_TRUE(out.empty());
}

TEST(ArmourDecode, HeaderSearch) {
    std::vector<unsigned char> out;
    const auto in = Bytes(30);
    const std::string cert = ArmourEncode(in, armour::kCertificate);
    EXPECT_EQ(Decode(cert, out, 64, armour::kData), armour::kDecodeNoHeader);
    EXPECT_EQ(out.size(), 64u);  // length untouched
    EXPECT_EQ(Decode(cert, out, 64, armour::kCertificate), 0);
    EXPECT_EQ(Decode("-----BEGIN DATA----", out, 64), armour::kDecodeShortInput);
    // The header must be followed by at least one byte.
    EXPECT_EQ(Decode("-----BEGIN DATA-----", out, 64), armour::kDecodeNoHeader);
    EXPECT_EQ(Decode("-----begin data-----\nQQ==", out, 64), armour::kDecodeNoHeader);
    EXPECT_EQ(Decode("x", out, 64, 0), armour::kDecodeUnknownKind);
    EXPECT_EQ(Decode("x", out, 64, 5), armour::kDecodeUnknownKind);
}

TEST(ArmourDecode, CapacityBoundary) {
    // Three bytes and a footer: the check before the line feed needs begun + 1 < capacity.
    const std::string text = "-----BEGIN DATA-----\nQUJD\n-----END DATA-----\n";
    for (std::size_t capacity = 0; capacity <= 4; ++capacity) {
        std::vector<unsigned char> buf(capacity + 8, 0xEE);
        std::size_t length = capacity;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ArmourDecode(text.data(), text.size(), buf.data(), &length, armour::kData),
                  armour::kDecodeSmallOutput);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR_TO_SMALL_OUTPUT_BUFFER\n");
        EXPECT_EQ(length, capacity);
        for (std::size_t i = capacity; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE);
    }
    std::vector<unsigned char> out;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Decode(text, out, 5), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // stdout carries the host protocol
    EXPECT_EQ(out.size(), 3u);
}

// Whole groups of digits take a faster path than single characters. A space after every character
// keeps the decoder on the single-character path throughout, so the two texts must give the same
// code, length and bytes at every capacity, the failing ones near the end included.
TEST(ArmourDecode, GroupsDecodeAsSingleCharactersDoAtEveryCapacity) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 47u, 48u, 49u, 100u}) {
        const std::string compact = ArmourEncode(Bytes(n, 7), armour::kData);
        const std::size_t body = compact.find('\n');
        std::string spaced = compact.substr(0, body);
        for (std::size_t i = body; i < compact.size(); ++i)
            spaced.append(1, compact[i]).append(1, ' ');
        for (std::size_t capacity = 0; capacity <= n + 8; ++capacity) {
            SCOPED_TRACE(testing::Message() << n << " bytes, capacity " << capacity);
            std::vector<unsigned char> a(capacity + 4, 0xEE), b(capacity + 4, 0xEE);
            std::size_t la = capacity, lb = capacity;
            testing::internal::CaptureStderr();
            const int ra =
                ArmourDecode(compact.data(), compact.size(), a.data(), &la, armour::kData);
            const int rb = ArmourDecode(spaced.data(), spaced.size(), b.data(), &lb, armour::kData);
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(ra, rb);
            EXPECT_EQ(la, lb);
            EXPECT_EQ(a, b);
        }
    }
}

TEST(ArmourDecode, AgreesWithOpenSsl) {
    const auto in = Bytes(3000, 99);
    std::vector<unsigned char> out;
    ASSERT_EQ(Decode(ArmourEncode(in, armour::kData), out, 4096), 0);
    std::string body = Reference(in.data(), in.size());
    std::vector<unsigned char> ref(body.size());
    const int n = EVP_DecodeBlock(ref.data(), reinterpret_cast<const unsigned char*>(body.data()),
                                  static_cast<int>(body.size()));
    ASSERT_GT(n, 0);
    ref.resize(in.size());  // EVP_DecodeBlock keeps the padding bytes
    EXPECT_EQ(out, ref);
}

}  // namespace
}  // namespace vq
