#include "platform/codepage/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace vq::cp {
namespace {

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};
using Iconv = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

Iconv Open(const std::string& to, const std::string& from) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
    return Iconv(cd);
}

// What a conversion does with input it cannot convert.
enum class Unconvertible {
    kFail,             // nothing is replaced: the conversion fails
    kReplaceUnmapped,  // a character the target lacks is replaced; malformed UTF-8 fails
    kReplaceAny,       // every byte that does not convert is replaced
};

// Converts one character at a time so that a single unmappable character can be replaced.
// Returns false when the input cannot be converted as `mode` allows.
bool Convert(iconv_t cd, std::string_view in, std::string& out, std::string_view replacement,
             Unconvertible mode) {
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buffer[256];
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (rc != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        if (mode == Unconvertible::kFail) return false;
        if (errno == EILSEQ && mode == Unconvertible::kReplaceUnmapped) {
            // Either a malformed UTF-8 sequence or a character with no place in the target page.
            // Tell them apart by converting the character to UTF-32.
            Iconv probe = Open("UTF-32LE", "UTF-8");
            char32_t ch;
            char* psrc = src;
            size_t pleft = srcLeft < 4 ? srcLeft : 4;
            char* pdst = reinterpret_cast<char*>(&ch);
            size_t pdleft = sizeof ch;
            iconv(probe.get(), &psrc, &pleft, &pdst, &pdleft);
            if (pdleft != 0) return false;  // malformed input
            const size_t used = static_cast<size_t>(psrc - src);
            src += used;
            srcLeft -= used;
            out.append(replacement);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        if (errno == EILSEQ || errno == EINVAL) {
            if (mode != Unconvertible::kReplaceAny) return false;
            ++src;
            --srcLeft;
            out.append(replacement);
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        return false;
    }
    return true;
}

std::optional<std::string> Exact(std::string_view in, const std::string& to,
                                 const std::string& from) {
    Iconv cd = Open(to, from);
    if (!cd) return std::nullopt;
    std::string out;
    out.reserve(in.size() * 2);
    if (!Convert(cd.get(), in, out, {}, Unconvertible::kFail)) return std::nullopt;
    return out;
}

}  // namespace

const std::string& AnsiCodePage() {
    static const std::string page = [] {
        const char* env = std::getenv("VERIQUILL_ANSI_CODEPAGE");
        return std::string(env && *env ? env : "CP1250");
    }();
    return page;
}

std::optional<std::string> FromUtf8(std::string_view utf8, const std::string& codePage) {
    Iconv cd = Open(codePage, "UTF-8");
    if (!cd) return std::nullopt;
    std::string out;
    out.reserve(utf8.size());
    if (!Convert(cd.get(), utf8, out, "?", Unconvertible::kReplaceUnmapped)) return std::nullopt;
    return out;
}

std::string ToUtf8(std::string_view bytes, const std::string& codePage) {
    Iconv cd = Open("UTF-8", codePage);
    std::string out;
    if (!cd) return out;
    out.reserve(bytes.size() * 2);
    Convert(cd.get(), bytes, out, "\xEF\xBF\xBD", Unconvertible::kReplaceAny);
    return out;
}

std::optional<std::string> FromUtf8Exact(std::string_view utf8, const std::string& codePage) {
    auto out = Exact(utf8, codePage, "UTF-8");
    if (!out) return std::nullopt;
    const auto back = Exact(*out, "UTF-8", codePage);
    if (!back || *back != utf8) return std::nullopt;
    return out;
}

std::optional<std::string> ToUtf8Exact(std::string_view bytes, const std::string& codePage) {
    return Exact(bytes, "UTF-8", codePage);
}

}  // namespace vq::cp
