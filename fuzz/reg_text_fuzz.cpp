// .reg text, as hives and imports read it: whatever parses must be written
// back so that it parses to the same sections, in either encoding, or a
// hive rewritten by the registry would change what it holds.
#include "fuzz_check.h"
#include "platform/registry/reg_text.h"

#include <cstddef>
#include <cstdint>

namespace {

bool SameSections(const std::vector<valmorin::registry::RegSection>& a,
                  const std::vector<valmorin::registry::RegSection>& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].path != b[i].path || a[i].removeKey != b[i].removeKey || a[i].values != b[i].values ||
            a[i].removedValues != b[i].removedValues)
            return false;
    return true;
}

void CheckRoundTrip(std::string_view bytes, valmorin::registry::RegSource source)
{
    const auto sections = valmorin::registry::ParseRegFile(bytes, source);
    if (!sections) return;
    for (const auto encoding : {valmorin::registry::RegEncoding::Utf8, valmorin::registry::RegEncoding::Utf16}) {
        const auto reread = valmorin::registry::ParseRegFile(valmorin::registry::FormatRegFile(*sections, encoding));
        FUZZ_CHECK(reread.has_value());
        FUZZ_CHECK(SameSections(*sections, *reread));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckRoundTrip(bytes, valmorin::registry::RegSource::Hive);
    CheckRoundTrip(bytes, valmorin::registry::RegSource::Import);
    return 0;
}
