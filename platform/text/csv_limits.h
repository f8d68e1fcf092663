// What one CSV record may hold, so that a file or an upload cannot take
// its reader's memory: fields of at most `fieldBytes` bytes, at most
// `fields` of them, at most `recordBytes` in all. The component's import
// and the server's reading of an upload proposed for approval hold records
// to the same limits.
#pragma once

#include <cstddef>

namespace valmorin::text {

struct CsvLimits {
    std::size_t fieldBytes = std::size_t{1} << 20;
    std::size_t fields = 4096;
    std::size_t recordBytes = std::size_t{16} << 20;
};

} // namespace valmorin::text
