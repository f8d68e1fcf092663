#include "platform/text/marks.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <climits>

namespace valmorin::text {

bool Unshowable(char16_t c)
{
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
    const bool separator = c == 0x2028 || c == 0x2029;
    const bool reordering =
        c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    const bool invisible = c == 0x00AD || c == 0x180E || (c >= 0x200B && c <= 0x200D) || (c >= 0x2060 && c <= 0x2064) ||
                           (c >= 0x206A && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB);
    return control || separator || reordering || invisible;
}

bool Blank(char16_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

namespace {

// What NFKC_Casefold leaves apart that readers take for the same: the
// apostrophes and hyphens that keyboards and word processors put in each
// other's place, runs of white space, and the dot an uppercase İ keeps
// above its i once folded.
std::u16string FoldedPunctuation(std::u16string_view folded)
{
    std::u16string out;
    for (const char16_t c : folded) {
        const bool apostrophe = c == 0x2018 || c == 0x2019 || c == 0x02BC || c == 0x2032;
        const bool hyphen = c == 0x2010 || c == 0x2012 || c == 0x2013 || c == 0x2212 || c == 0xFE63;
        const char16_t read = apostrophe ? u'\'' : hyphen ? u'-' : Blank(c) ? u' ' : c;
        if (read == u' ' && !out.empty() && out.back() == u' ') continue;
        if (c == 0x0307 && !out.empty() && (out.back() == u'i' || out.back() == u'j')) continue;
        out += read;
    }
    return out;
}

} // namespace

std::u16string ReadingForm(std::u16string_view text)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* fold = icu::Normalizer2::getNFKCCasefoldInstance(status);
    if (U_FAILURE(status) || text.size() > static_cast<std::size_t>(INT32_MAX)) return std::u16string(text);
    const icu::UnicodeString source(false, text.data(), static_cast<int32_t>(text.size())); // read, not copied
    icu::UnicodeString folded;
    fold->normalize(source, folded, status);
    if (U_FAILURE(status)) return std::u16string(text);
    return FoldedPunctuation(std::u16string_view(folded.getBuffer(), static_cast<std::size_t>(folded.length())));
}

} // namespace valmorin::text
