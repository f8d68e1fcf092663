// datasources.ini: a file that is accepted must be written back by the
// command so that it reads as the same data sources, or "datasource set"
// would change, or lose, the entries it did not touch.
#include "fuzz_check.h"
#include "platform/datasource/entries.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const valmorin::datasource::StoreContents contents =
        valmorin::datasource::ParseStore(std::string_view(reinterpret_cast<const char*>(data), size));
    if (contents.refused()) return 0;
    for (const valmorin::datasource::DataSource& source : contents.sources)
        FUZZ_CHECK(!valmorin::datasource::ProblemWith(source));
    const valmorin::datasource::StoreContents reread =
        valmorin::datasource::ParseStore(valmorin::datasource::FormatStore(contents.sources));
    FUZZ_CHECK(!reread.refused());
    FUZZ_CHECK(reread.sources == contents.sources);
    return 0;
}
