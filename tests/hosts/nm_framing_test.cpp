#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "hosts/nm/framing.h"

namespace vq::nm {
namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fd), 0); }
    ~Pipe() {
        CloseWrite();
        if (fd[0] >= 0) ::close(fd[0]);
    }
    void CloseWrite() {
        if (fd[1] >= 0) ::close(fd[1]);
        fd[1] = -1;
    }
    void Raw(const std::string& bytes) const {
        ASSERT_EQ(::write(fd[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

std::string Header(std::uint32_t n) {
    std::string h(4, '\0');
    std::memcpy(h.data(), &n, 4);
    return h;
}

TEST(NmFraming, MessagesRoundTripInNativeByteOrder) {
    Pipe p;
    ASSERT_TRUE(WriteMessage(p.fd[1], R"({"a":1})"));
    ASSERT_TRUE(WriteMessage(p.fd[1], ""));
    ASSERT_TRUE(WriteMessage(p.fd[1],
                             "\xc5\x81\xc3\xb3"
                             "d\xc5\xba"));
    p.CloseWrite();

    char raw[4];
    ASSERT_EQ(::read(p.fd[0], raw, 4), 4);
    std::uint32_t n;
    std::memcpy(&n, raw, 4);
    EXPECT_EQ(n, 7u);  // the length as the machine stores a 32-bit integer
    char rest[7];
    ASSERT_EQ(::read(p.fd[0], rest, 7), 7);

    std::string body;
    EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kMessage);  // a zero-length message
    EXPECT_EQ(body, "");
    EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kMessage);
    EXPECT_EQ(body,
              "\xc5\x81\xc3\xb3"
              "d\xc5\xba");
    EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kEof);
}

TEST(NmFraming, MessageArrivingInPiecesIsReadWhole) {
    Pipe p;
    const std::string message = Header(26) + R"({"type":"call","id":12345})";
    std::thread writer([&] {
        for (char c : message) {
            ASSERT_EQ(::write(p.fd[1], &c, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        p.CloseWrite();
    });
    std::string body;
    const ReadStatus s = ReadMessage(p.fd[0], body);
    writer.join();
    EXPECT_EQ(s, ReadStatus::kMessage);
    EXPECT_EQ(body, R"({"type":"call","id":12345})");
}

TEST(NmFraming, OversizedMessageIsDroppedAndTheNextOneRead) {
    Pipe p;
    const std::uint32_t limit = 100;
    std::thread writer([&] {
        p.Raw(Header(limit + 1) + std::string(limit + 1, 'x'));
        p.Raw(Header(limit) + std::string(limit, 'y'));
        p.CloseWrite();
    });
    std::string body;
    std::uint32_t length = 0;
    EXPECT_EQ(ReadMessage(p.fd[0], body, limit, &length), ReadStatus::kTooLarge);
    EXPECT_EQ(length, limit + 1);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(ReadMessage(p.fd[0], body, limit), ReadStatus::kMessage);
    EXPECT_EQ(body, std::string(limit, 'y'));  // exactly at the limit is fine
    writer.join();
}

TEST(NmFraming, StreamEndingInsideAMessageIsTruncated) {
    {
        Pipe p;
        p.Raw(std::string("\x05\x00", 2));
        p.CloseWrite();
        std::string body;
        EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kTruncated);
    }
    {
        Pipe p;
        p.Raw(Header(10) + "abc");
        p.CloseWrite();
        std::string body;
        EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kTruncated);
        EXPECT_TRUE(body.empty());
    }
    {
        Pipe p;  // an announced length far over the limit, and then nothing
        p.Raw(Header(0xFFFFFFFFu) + "abc");
        p.CloseWrite();
        std::string body;
        EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kTruncated);
    }
}

TEST(NmFraming, WritingOverTheLimitOrToAGoneReaderFails) {
    Pipe p;
    EXPECT_FALSE(WriteMessage(p.fd[1], std::string(11, 'a'), 10));
    EXPECT_TRUE(WriteMessage(p.fd[1], std::string(10, 'a'), 10));
    p.CloseWrite();
    std::string body;
    EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kMessage);
    EXPECT_EQ(body.size(), 10u);  // the refused one left nothing behind
    EXPECT_EQ(ReadMessage(p.fd[0], body), ReadStatus::kEof);

    Pipe gone;
    ::close(gone.fd[0]);
    gone.fd[0] = -1;
    signal(SIGPIPE, SIG_IGN);
    EXPECT_FALSE(WriteMessage(gone.fd[1], "{}"));
}

}  // namespace
}  // namespace vq::nm
