// UTF-8 <-> UTF-16 conversion.
#pragma once

#include "valmorin/com/types.h"

#include <optional>
#include <string>
#include <string_view>

namespace valmorin::text {

// Nothing when the input is not well-formed UTF-8 (overlong forms,
// surrogates and values past U+10FFFF included).
VALMORIN_PLATFORM_API std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);
// The same, appended to out, so that a caller converting text after text
// reuses one buffer; false when the input is not well-formed, with out
// holding what came before the fault.
VALMORIN_PLATFORM_API bool AppendUtf8AsUtf16(std::string_view utf8, std::u16string& out);
// Whether the text is well-formed UTF-8, as Utf8ToUtf16 reads it, with
// nothing converted.
VALMORIN_PLATFORM_API bool IsUtf8(std::string_view utf8);
// An unpaired surrogate becomes U+FFFD.
VALMORIN_PLATFORM_API std::string Utf16ToUtf8(std::u16string_view utf16);
// The same, written at out, which has room for three bytes per UTF-16 unit;
// returns the end of what was written.
VALMORIN_PLATFORM_API char* EncodeUtf8(std::u16string_view utf16, char* out);
// The text with each unpaired surrogate as U+FFFD, as the UTF-8 stores keep
// it; for a store that takes UTF-16.
VALMORIN_PLATFORM_API std::u16string WithoutLoneSurrogates(std::u16string_view utf16);
// For texts known to be ASCII or UTF-8 from the program itself.
VALMORIN_PLATFORM_API std::u16string Widen(std::string_view utf8);

} // namespace valmorin::text
