// Connection strings, as datasource show masks them. Every pair must lie
// inside the text, in order, at every depth; a text that nowhere mentions
// a password must come back unchanged.
#include "fuzz_check.h"
#include "platform/ado/provider.h"
#include "platform/ado/connection_string.h"
#include "platform/text/ascii.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

void CheckPairs(std::u16string_view text, int depth)
{
    if (depth > 8) return;
    std::size_t previous = 0;
    for (const valmorin::ado::ConnectionPair& pair : valmorin::ado::ParseConnectionString(text)) {
        FUZZ_CHECK(pair.equalsAt >= previous && pair.equalsAt < pair.valueFrom);
        FUZZ_CHECK(pair.valueFrom <= pair.valueTo && pair.valueTo <= text.size());
        previous = pair.valueTo;
        CheckPairs(pair.value, depth + 1);
    }
}

bool MentionsPassword(std::u16string_view text)
{
    const std::u16string upper = valmorin::text::AsciiUpper(text);
    return upper.find(u"PWD") != std::u16string::npos || upper.find(u"PASSWORD") != std::u16string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string text(size / 2, u'\0');
    std::memcpy(text.data(), data, text.size() * 2);
    CheckPairs(text, 0);
    const std::u16string masked = valmorin::ado::MaskPasswords(text);
    if (!MentionsPassword(text)) FUZZ_CHECK(masked == text);
    return 0;
}
