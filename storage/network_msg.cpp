#include "storage/network_msg.h"

#include <cstring>

namespace vq {
namespace {

constexpr std::size_t kInitialCapacity = 1024;

std::size_t TextLength(const TextField& t) {
    if (!t) return 0;
    // A text ends at its first zero byte, as a C string would.
    return std::strlen(t->c_str());
}

}  // namespace

CNetworkMsg::CNetworkMsg(int tag)
    : tag_(static_cast<unsigned char>(tag)),
      buffer_(new unsigned char[kInitialCapacity]()),
      capacity_(kInitialCapacity) {}

CNetworkMsg::~CNetworkMsg() = default;

int CNetworkMsg::AddField(int kind, void* member, std::size_t size, std::uint32_t* lengthVar) {
    if (!member) return 0;
    switch (kind) {
        case field::kInt32:
            size = 4;
            break;
        case field::kInt16:
            size = 2;
            break;
        case field::kByte:
            size = 1;
            break;
        case field::kText:
        case field::kBlock:
            break;
        case field::kBytes:
            if (!lengthVar) return 0;
            break;
        default:
            return 0;
    }
    fields_.push_back({kind, member, size, lengthVar});
    return 1;
}

void CNetworkMsg::Clear() {
    size_ = 0;
    window_ = nullptr;
    cursor_ = 0;
    windowLength_ = 0;
    for (const Field& f : fields_) {
        switch (f.kind) {
            case field::kText:
                static_cast<TextField*>(f.member)->reset();
                break;
            case field::kBytes:
                static_cast<ByteBlock*>(f.member)->reset();
                *f.lengthVar = 0;
                break;
            default:
                std::memset(f.member, 0, f.size);
                break;
        }
    }
}

void CNetworkMsg::Append(const void* bytes, std::size_t n) {
    if (size_ + n > capacity_) {
        const std::size_t grown = size_ + n + 2 * capacity_;
        std::unique_ptr<unsigned char[]> b(new unsigned char[grown]());
        std::memcpy(b.get(), buffer_.get(), size_);
        buffer_ = std::move(b);
        capacity_ = grown;
    }
    if (n) std::memcpy(buffer_.get() + size_, bytes, n);
    size_ += n;
}

void CNetworkMsg::AppendU32(std::uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24),
                                static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    Append(b, 4);
}

const unsigned char* CNetworkMsg::Serialize() {
    size_ = 0;
    Append(&tag_, 1);
    for (const Field& f : fields_) {
        switch (f.kind) {
            case field::kInt32:
                AppendU32(*static_cast<std::uint32_t*>(f.member));
                break;
            case field::kInt16: {
                const auto v = *static_cast<std::uint16_t*>(f.member);
                const unsigned char b[2] = {static_cast<unsigned char>(v >> 8),
                                            static_cast<unsigned char>(v)};
                Append(b, 2);
                break;
            }
            case field::kByte:
            case field::kBlock:
                Append(f.member, f.size);
                break;
            case field::kText: {
                const auto& t = *static_cast<TextField*>(f.member);
                const std::size_t n = TextLength(t);
                AppendU32(static_cast<std::uint32_t>(n));
                if (n) Append(t->data(), n);
                break;
            }
            case field::kBytes: {
                // The block's own size is authoritative; it never reads past the block.
                const auto& b = *static_cast<ByteBlock*>(f.member);
                const std::size_t n = b ? b->size() : 0;
                AppendU32(static_cast<std::uint32_t>(n));
                if (n) Append(b->data(), n);
                break;
            }
        }
    }
    return buffer_.get();
}

bool CNetworkMsg::Read(void* to, std::size_t n) {
    if (windowLength_ - cursor_ < n) return false;
    if (n) std::memcpy(to, window_ + cursor_, n);
    cursor_ += n;
    return true;
}

bool CNetworkMsg::ReadU32(std::uint32_t& v) {
    unsigned char b[4];
    if (!Read(b, 4)) return false;
    v = static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
        static_cast<std::uint32_t>(b[2]) << 8 | b[3];
    return true;
}

bool CNetworkMsg::ParseField(const Field& f) {
    switch (f.kind) {
        case field::kInt32: {
            std::uint32_t v;
            if (!ReadU32(v)) return false;
            *static_cast<std::uint32_t*>(f.member) = v;
            return true;
        }
        case field::kInt16: {
            unsigned char b[2];
            if (!Read(b, 2)) return false;
            *static_cast<std::uint16_t*>(f.member) = static_cast<std::uint16_t>(b[0] << 8 | b[1]);
            return true;
        }
        case field::kByte:
        case field::kBlock:
            return Read(f.member, f.size);
        case field::kText: {
            auto& t = *static_cast<TextField*>(f.member);
            t.reset();
            std::uint32_t n;
            if (!ReadU32(n) || n > windowLength_) return false;
            std::string s(n, '\0');
            if (!Read(s.data(), n)) return false;
            t = std::move(s);
            return true;
        }
        case field::kBytes: {
            auto& b = *static_cast<ByteBlock*>(f.member);
            b.reset();
            *f.lengthVar = 0;
            std::uint32_t n;
            if (!ReadU32(n) || n > windowLength_) return false;
            std::vector<unsigned char> v(n);
            if (!Read(v.data(), n)) return false;
            b = std::move(v);
            *f.lengthVar = n;
            return true;
        }
    }
    return false;
}

int CNetworkMsg::Parse(const unsigned char* buffer, std::size_t length) {
    window_ = buffer;
    cursor_ = 0;
    windowLength_ = buffer ? length : 0;
    if (!Read(&tag_, 1)) return 0;
    for (const Field& f : fields_)
        if (!ParseField(f)) return 0;
    return 1;
}

CProofOfPossesion::CProofOfPossesion() : CNetworkMsg(kTag) {
    AddField(field::kBytes, &signature, 0, &signatureLength);
    AddField(field::kText, &keyId);
}

}  // namespace vq
