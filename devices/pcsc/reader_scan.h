// The PC/SC half of the device layer: which readers are attached, the answer-to-reset of the
// card in each, and whether a device is a smart card or a USB token. "winscard.dll" is loaded
// at run time, never linked.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

// One reader of the list, with the ATR of the card in it (empty when there is none).
struct Reader {
    std::string name;
    std::vector<unsigned char> atr;
};

// A USB token is a reader whose name holds `tokenPattern` (" Key ") or whose ATR is listed as a
// token's in the machine's device configuration.
bool IsTokenDevice(std::string_view readerName, std::span<const unsigned char> atr,
                   std::string_view tokenPattern);
// 3B A7 00 40, any byte, 80 65 A2 09: served by "gclib.dll" instead of "pkcs11.dll".
bool IsGemplusAtr(std::span<const unsigned char> atr);

// One look at the readers. The PC/SC context stays established, and "winscard.dll" loaded, for
// the life of the object: the devices found are probed while it lives.
class ReaderScan {
  public:
    static constexpr std::size_t kMaxReaders = 10;  // further readers are not looked at

    ReaderScan();
    ~ReaderScan();
    ReaderScan(const ReaderScan&) = delete;
    ReaderScan& operator=(const ReaderScan&) = delete;

    // Loads "winscard.dll" (96), establishes a user context (92), lists the known cards (92)
    // and keeps those of `models` as the card filter, lists the readers (93) and locates the
    // cards in the first kMaxReaders of them (94). 0 otherwise, with no readers too.
    int Run(const std::vector<std::string>& models);
    const std::vector<Reader>& readers() const { return readers_; }

  private:
    struct Pcsc;
    std::unique_ptr<Pcsc> pcsc_;
    std::vector<Reader> readers_;
};

}  // namespace vq
