// Binary messages exchanged with the bank's page: a one-byte tag and typed fields in network
// byte order, registered by a concrete message in its constructor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vq {

// Field kinds and the member type each one registers.
namespace field {
inline constexpr int kInt32 = 0;  // std::uint32_t, 4 bytes
inline constexpr int kInt16 = 1;  // std::uint16_t, 2 bytes
inline constexpr int kByte = 2;   // unsigned char, 1 byte
inline constexpr int kText = 3;   // std::optional<std::string>: 32-bit length, then the text
inline constexpr int kBlock = 4;  // fixed block of `size` bytes, as it is
inline constexpr int kBytes = 5;  // std::optional<std::vector<unsigned char>> plus a
                                  // std::uint32_t length: 32-bit length, then the bytes
}  // namespace field

using ByteBlock = std::optional<std::vector<unsigned char>>;
using TextField = std::optional<std::string>;

class CNetworkMsg {
  public:
    explicit CNetworkMsg(int tag);
    virtual ~CNetworkMsg();
    CNetworkMsg(const CNetworkMsg&) = delete;
    CNetworkMsg& operator=(const CNetworkMsg&) = delete;

    // Empties the output buffer and the input window and resets every field: fixed kinds are
    // zero-filled, texts and byte blocks become absent, block lengths 0.
    virtual void Clear();
    // The message in wire form; its length is Size(). Each call starts from an empty buffer.
    virtual const unsigned char* Serialize();
    // 1 when every field was read, 0 at the first failure. Fields read before the failure keep
    // their values; the failing text or byte block is left absent (its length 0). The tag byte
    // is read but not compared, and bytes after the last field are ignored.
    virtual int Parse(const unsigned char* buffer, std::size_t length);

    // Appends a field; `member` must point at the type listed for the kind (see `field`).
    // `size` is used by the fixed kinds 0, 1, 2 and 4; `lengthVar` is required by kind 5.
    // 1, or 0 for a missing member, an unknown kind or a kind 5 field without length.
    int AddField(int kind, void* member, std::size_t size = 0, std::uint32_t* lengthVar = nullptr);

    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return capacity_; }
    unsigned char Tag() const { return tag_; }

  protected:
    unsigned char tag_;

  private:
    struct Field {
        int kind;
        void* member;
        std::size_t size;
        std::uint32_t* lengthVar;
    };

    void Append(const void* bytes, std::size_t n);
    void AppendU32(std::uint32_t v);
    bool Read(void* to, std::size_t n);
    bool ReadU32(std::uint32_t& v);
    bool ParseField(const Field& f);

    std::vector<Field> fields_;
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    const unsigned char* window_ = nullptr;
    std::size_t cursor_ = 0;
    std::size_t windowLength_ = 0;
};

// Proof of possession of a key: the signature and the identifier of the key that made it.
class CProofOfPossesion : public CNetworkMsg {
  public:
    static constexpr int kTag = 1;
    CProofOfPossesion();

    ByteBlock signature;
    std::uint32_t signatureLength = 0;
    TextField keyId;
};

}  // namespace vq
