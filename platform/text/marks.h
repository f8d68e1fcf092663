// Characters a reader cannot see for what they are. Names people choose
// (of tables, of users) refuse them, so that two names that look the same
// are the same.
#pragma once

#include "valmorin/com/types.h"

#include <string>
#include <string_view>

namespace valmorin::text {

// The C0 and C1 controls and DEL, the line and paragraph separators, the
// marks that reorder the text around them (bidirectional embeddings,
// overrides, isolates and marks), and the format characters that show
// nothing at all (zero-width spaces and joiners, the word joiner, the
// byte order mark, the soft hyphen, the invisible operators).
VALMORIN_PLATFORM_API bool Unshowable(char16_t c);

// White space of any script: what a name must not begin or end with.
VALMORIN_PLATFORM_API bool Blank(char16_t c);

// The form in which two names that read alike are equal: compatibility
// characters folded (fullwidth letters, the Kelvin sign), accents composed,
// letter case folded and the characters no reader sees removed (Unicode's
// NFKC_Casefold, by ICU); then apostrophes and hyphens of every kind taken
// for ASCII's, runs of white space for one space, and the dot of the
// Turkish İ left out. A text that is not valid UTF-16 reads as itself.
VALMORIN_PLATFORM_API std::u16string ReadingForm(std::u16string_view text);

} // namespace valmorin::text
