// Localised text lookup: string resources in Polish (0), English (1) and German (2).
#pragma once

#include <string>

namespace vq {

inline constexpr int kLanguagePolish = 0;
inline constexpr int kLanguageEnglish = 1;
inline constexpr int kLanguageGerman = 2;

// The process-wide language index (initially Polish). Values other than 0, 1, 2 are ignored.
void SetLanguageIndex(int language);
int LanguageIndex();

// Text `id` in the current language as Windows-1250 bytes: resource (id + language index);
// 228 (the message box caption) is always empty; a missing resource is empty.
std::string LoadText(int id);
// The resource with exactly this identifier (no language offset), or empty.
std::string LoadResource(int resourceId);

}  // namespace vq
