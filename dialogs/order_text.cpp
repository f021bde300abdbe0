#include "dialogs/order_text.h"

#include <algorithm>

namespace vq {
namespace {

constexpr std::string_view kMultiline = "MULTILINE|";
constexpr std::string_view kOrderMarker = "_ZLECENIE_|";
constexpr std::string_view kIdentMarker = "_IDENTYFIKACJA";

// Finds a character at or after a position. The parser only ever asks for positions that do not
// move backwards, so the last answer is reused while it still lies ahead: a text with many
// colons and no bar costs one scan instead of one per record.
class Finder {
  public:
    Finder(std::string_view text, char c) : text_(text), c_(c) {}
    std::size_t From(std::size_t from) {
        if (!valid_ || from < from_ || (found_ != std::string_view::npos && found_ < from)) {
            found_ = text_.find(c_, from);
            from_ = from;
            valid_ = true;
        }
        return found_;
    }

  private:
    std::string_view text_;
    char c_;
    bool valid_ = false;
    std::size_t from_ = 0;
    std::size_t found_ = std::string_view::npos;
};

void AddValueRows(ParsedOrder& order, std::string_view label, std::string_view value) {
    bool first = true;
    while (true) {
        const std::size_t nl = value.find('\n');
        std::string_view line = value.substr(0, nl);
        if (nl != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        order.rows.push_back({first ? std::string(label) : std::string(), std::string(line)});
        first = false;
        if (nl == std::string_view::npos) break;
        value.remove_prefix(nl + 1);
    }
}

}  // namespace

ParsedOrder ParseOrderText(std::string_view text, std::size_t dataLength) {
    ParsedOrder order;
    const std::size_t maxValue = std::min(dataLength, kMaxValueBase);
    const std::size_t valueLimit = maxValue == 0 ? 0 : maxValue - 1;

    std::size_t cur = 0;
    if (text.starts_with(kMultiline)) {
        order.multiline = true;
        cur = kMultiline.size();
    }

    Finder colon(text, ':');
    Finder colonAfterFirst(text, ':');
    Finder bar(text, '|');
    Finder barAfterValue(text, '|');
    int orderNumber = 0;
    bool firstRecord = true;

    while (cur < text.size()) {
        const std::string_view rest = text.substr(cur);
        if (rest.starts_with(kOrderMarker)) {
            cur += kOrderMarker.size();
            if (order.multiline) {
                order.multilineText += '-';
            } else {
                order.rows.push_back({"ZLECENIE " + std::to_string(++orderNumber), {}});
            }
            continue;
        }
        if (rest.starts_with(kIdentMarker)) {
            cur += kIdentMarker.size();
            if (order.multiline) {
                order.multilineText += '-';
            } else {
                order.rows.push_back({"Identyfikacja", {}});
            }
            continue;
        }

        // A record: key ":" label ":" value "|".
        const std::size_t c1 = colon.From(cur);
        if (c1 == std::string_view::npos) break;
        if (firstRecord) {
            cur = c1;
            firstRecord = false;
        }
        const std::size_t c2 = colonAfterFirst.From(c1 + 1);
        if (c2 != std::string_view::npos) {
            const std::string_view label = text.substr(c1 + 1, std::min(c2 - c1 - 1, kMaxLabel));
            const std::size_t end = barAfterValue.From(c2 + 1);
            std::string_view value;
            if (end != std::string_view::npos)
                value = text.substr(c2 + 1, std::min(end - c2 - 1, valueLimit));
            if (!value.empty()) {
                if (order.multiline) {
                    order.multilineText.append(value);
                } else {
                    AddValueRows(order, label, value);
                }
            }
        }

        // Advance past this record's bar, or failing that its colon. The bar is looked for after
        // the value that was just read: a bar inside a malformed key would otherwise bring the
        // cursor back before the same record, once per bar, and repeat its value each time.
        const std::size_t b = bar.From(c2 != std::string_view::npos ? std::max(cur, c2 + 1) : cur);
        if (b != std::string_view::npos) {
            cur = b + 1;
            continue;
        }
        const std::size_t c = colon.From(cur);
        if (c == std::string_view::npos) break;
        cur = c + 1;
    }
    return order;
}

}  // namespace vq
