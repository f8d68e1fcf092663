// An executable module and the strings of its version resource.
//
// On Linux the resource is an ELF note of the module: owner
// kVersionNoteOwner, type kVersionNoteType, and as descriptor NUL-terminated
// UTF-8 text with one "sub-block=value" line per entry, the sub-blocks
// named as in a Windows version resource:
//
//   \VarFileInfo\Translation=040904b0
//   \StringFileInfo\040904b0\ProductName=Valmorin
//   \StringFileInfo\040904b0\ProductVersion=1.3.0
#pragma once

#include "qmt/sys/file.h"

#include <cstdint>
#include <string_view>

namespace qmt {

inline constexpr char kVersionNoteOwner[] = "Pelkor";
inline constexpr std::uint32_t kVersionNoteType = 0x56455253; // "VERS"

class CPEFile : public CFile {
public:
    explicit CPEFile(std::u16string_view path);

    const char* GetClassName() const override;

    // Empty when the resource has no translation or no such string.
    // CWinException with the open error when the module cannot be read, 193
    // when it is no 64-bit ELF file, 1813 when it has no version resource.
    std::u16string ProductName() const;
    std::u16string ProductVersion() const;

private:
    std::u16string VersionString(std::string_view key) const;
};

} // namespace qmt
