#include "devices/pcsc/reader_scan.h"

#include <algorithm>
#include <cstring>

#include "platform/loader/loader.h"
#include "platform/pcsc/winscard_api.h"
#include "storage/cfg_reg.h"
#include "storage/codes.h"

namespace vq {
namespace {

constexpr const char* kWinscardDll = "winscard.dll";

}  // namespace

bool IsTokenDevice(std::string_view readerName, std::span<const unsigned char> atr,
                   std::string_view tokenPattern) {
    return readerName.find(tokenPattern) != std::string_view::npos ||
           (!atr.empty() && CKeywrightUtils().IsToken(atr.data(), atr.size()));
}

bool IsGemplusAtr(std::span<const unsigned char> atr) {
    static constexpr int pattern[9] = {0x3B, 0xA7, 0x00, 0x40, -1, 0x80, 0x65, 0xA2, 0x09};
    if (atr.size() < 9) return false;
    for (std::size_t i = 0; i < 9; ++i)
        if (pattern[i] >= 0 && atr[i] != pattern[i]) return false;
    return true;
}

// The PC/SC functions of one scan; the context is released, and "winscard.dll" freed, with it.
struct ReaderScan::Pcsc {
    loader::Library library;
    SCardEstablishContextFn establish = nullptr;
    SCardReleaseContextFn release = nullptr;
    SCardLocateCardsAFn locate = nullptr;
    SCardFreeMemoryFn freeMemory = nullptr;
    SCardListReadersAFn listReaders = nullptr;
    SCardListCardsAFn listCards = nullptr;
    SCARDCONTEXT context = 0;
    bool haveContext = false;

    bool Bind() {
        library = loader::Library::Load(kWinscardDll);
        if (!library) return false;
        establish = library.Function<SCardEstablishContextFn>("SCardEstablishContext");
        release = library.Function<SCardReleaseContextFn>("SCardReleaseContext");
        locate = library.Function<SCardLocateCardsAFn>("SCardLocateCardsA");
        freeMemory = library.Function<SCardFreeMemoryFn>("SCardFreeMemory");
        listReaders = library.Function<SCardListReadersAFn>("SCardListReadersA");
        listCards = library.Function<SCardListCardsAFn>("SCardListCardsA");
        return establish && release && locate && freeMemory && listReaders && listCards;
    }
    ~Pcsc() {
        if (haveContext) release(context);
    }
    // A multi-string the service allocated, copied out and freed.
    std::vector<std::string> TakeList(char* list, DWORD length) {
        std::vector<std::string> out;
        if (!list) return out;
        std::size_t i = 0;
        while (i < length && list[i] != '\0') {
            const std::size_t n = strnlen(list + i, length - i);
            out.emplace_back(list + i, n);
            i += n + 1;
        }
        freeMemory(context, list);
        return out;
    }
    // The models the system knows, in `models` order, as a list closed by an extra NUL.
    bool CardFilter(const std::vector<std::string>& models, std::string& filter) {
        char* cards = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        if (listCards(context, nullptr, nullptr, 0, reinterpret_cast<LPSTR>(&cards), &length) !=
            SCARD_S_SUCCESS)
            return false;
        const std::vector<std::string> known = TakeList(cards, length);
        filter.clear();
        for (const auto& model : models)
            if (std::find(known.begin(), known.end(), model) != known.end()) filter += model + '\0';
        filter += '\0';
        return true;
    }
    bool ReaderNames(std::vector<std::string>& names) {
        char* list = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        if (listReaders(context, nullptr, reinterpret_cast<LPSTR>(&list), &length) !=
            SCARD_S_SUCCESS)
            return false;
        names = TakeList(list, length);
        return true;
    }
};

ReaderScan::ReaderScan() = default;
ReaderScan::~ReaderScan() = default;

int ReaderScan::Run(const std::vector<std::string>& models) {
    readers_.clear();
    pcsc_ = std::make_unique<Pcsc>();
    Pcsc& pcsc = *pcsc_;
    if (!pcsc.Bind()) return code::kPcscLibraryMissing;
    if (pcsc.establish(SCARD_SCOPE_USER, nullptr, nullptr, &pcsc.context) != SCARD_S_SUCCESS)
        return code::kPcscUnavailable;
    pcsc.haveContext = true;
    std::string filter;
    if (!pcsc.CardFilter(models, filter)) return code::kPcscUnavailable;
    std::vector<std::string> names;
    if (!pcsc.ReaderNames(names)) return code::kNoReader93;
    if (names.size() > kMaxReaders) names.resize(kMaxReaders);
    if (names.empty()) return code::kOk;

    std::vector<SCARD_READERSTATE> states(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        states[i] = SCARD_READERSTATE{};
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    if (pcsc.locate(pcsc.context, filter.data(), states.data(),
                    static_cast<DWORD>(states.size())) != SCARD_S_SUCCESS)
        return code::kNoReader94;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const SCARD_READERSTATE& state = states[i];
        const std::size_t atrLength = std::min<std::size_t>(state.cbAtr, sizeof state.rgbAtr);
        readers_.push_back({std::move(names[i]), {state.rgbAtr, state.rgbAtr + atrLength}});
    }
    return code::kOk;
}

}  // namespace vq
