// Native messaging framing: each message is a 32-bit length in the machine's byte order followed
// by that many bytes of UTF-8 JSON, on the host's standard input and output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vq::nm {

// Largest message the host takes from the browser. Key data and order texts are a few tens of
// kilobytes; anything larger is refused (and read past, so the stream stays in step).
inline constexpr std::uint32_t kMaxIncoming = 1024 * 1024;
// Largest message browsers take from a host.
inline constexpr std::uint32_t kMaxOutgoing = 1024 * 1024;

enum class ReadStatus {
    kMessage,    // `body` holds one message
    kEof,        // the stream ended cleanly between messages
    kTooLarge,   // the announced length exceeded the limit; the body was read and dropped
    kTruncated,  // the stream ended inside a message
    kIoError,    // read failed
};

// Reads one message from `fd`, however the bytes arrive (partial reads, interrupted calls).
// `length` receives the announced length when it is not null.
ReadStatus ReadMessage(int fd, std::string& body, std::uint32_t limit = kMaxIncoming,
                       std::uint32_t* length = nullptr);

// Writes one message; false when it is larger than `limit` (nothing is written) or the write
// fails (the reader has gone).
bool WriteMessage(int fd, std::string_view body, std::uint32_t limit = kMaxOutgoing);

}  // namespace vq::nm
