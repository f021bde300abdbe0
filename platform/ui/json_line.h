// One-line JSON objects for the transcript, written without a JSON library, and the one decoder
// of JSON string literals (the script host's lines and the scripted user's commands).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vq::ui {

// Whether the text is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);

// Decodes the JSON string literal starting at `pos` (its opening quote) and moves `pos` past the
// closing quote. Escapes become UTF-8; other bytes are copied as they stand, so whether they are
// UTF-8 is the caller's question. On failure `pos` stays and `error`, if given, says why.
std::optional<std::string> DecodeJsonString(std::string_view text, std::size_t& pos,
                                            std::string* error = nullptr);

// A quoted JSON string of UTF-8 text; invalid UTF-8 sequences become U+FFFD.
std::string JsonQuote(std::string_view utf8);

// Builds the members of an object: JsonLine().Str("text", t).Int("result", 1).Fields().
class JsonLine {
  public:
    JsonLine& Str(std::string_view key, std::string_view utf8);
    JsonLine& Int(std::string_view key, long long value);
    JsonLine& Bool(std::string_view key, bool value);
    JsonLine& Null(std::string_view key);
    // `json` must already be valid JSON (an array or object built elsewhere).
    JsonLine& Raw(std::string_view key, std::string_view json);

    // The members without braces.
    const std::string& Fields() const { return fields_; }
    // A complete object with "event" first.
    std::string Object(std::string_view event) const;

  private:
    void Key(std::string_view key);
    std::string fields_;
};

}  // namespace vq::ui
