#include "hosts/nm/framing.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vq::nm {
namespace {

// Reads exactly `n` bytes; returns the number read (less than `n` only at end of stream), or -1.
long ReadFull(int fd, char* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd, out + done, n - done);
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<std::size_t>(r);
    }
    return static_cast<long>(done);
}

bool WriteFull(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

ReadStatus ReadMessage(int fd, std::string& body, std::uint32_t limit, std::uint32_t* length) {
    body.clear();
    char header[4];
    const long h = ReadFull(fd, header, sizeof header);
    if (h < 0) return ReadStatus::kIoError;
    if (h == 0) return ReadStatus::kEof;
    if (h < static_cast<long>(sizeof header)) return ReadStatus::kTruncated;
    std::uint32_t n = 0;
    std::memcpy(&n, header, sizeof n);
    if (length) *length = n;

    if (n > limit) {
        // Drop the body in pieces so that the next message starts where it should.
        char scratch[65536];
        std::uint32_t left = n;
        while (left > 0) {
            const std::size_t chunk = left < sizeof scratch ? left : sizeof scratch;
            const long r = ReadFull(fd, scratch, chunk);
            if (r < 0) return ReadStatus::kIoError;
            if (static_cast<std::size_t>(r) < chunk) return ReadStatus::kTruncated;
            left -= static_cast<std::uint32_t>(r);
        }
        return ReadStatus::kTooLarge;
    }
    body.resize(n);
    const long r = ReadFull(fd, body.data(), n);
    if (r < 0) return ReadStatus::kIoError;
    if (static_cast<std::uint32_t>(r) < n) {
        body.clear();
        return ReadStatus::kTruncated;
    }
    return ReadStatus::kMessage;
}

bool WriteMessage(int fd, std::string_view body, std::uint32_t limit) {
    if (body.size() > limit) return false;
    const auto n = static_cast<std::uint32_t>(body.size());
    std::string frame(sizeof n + body.size(), '\0');
    std::memcpy(frame.data(), &n, sizeof n);
    std::memcpy(frame.data() + sizeof n, body.data(), body.size());
    // One write for header and body, so a reader never sees a header without its body.
    return WriteFull(fd, frame.data(), frame.size());
}

}  // namespace vq::nm
