// The ".reg" text format of the Windows registry editor, version 5.00:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Pelkor\Common\Valmorin]
//   "Debug"="y"
//   "LogFileSize"=dword:00080000
//   @=hex(2):25,00,00,00
//   "Lines"=hex(1):61,00,0a,00,62,00,00,00
//
// String data that a quoted string cannot carry (line breaks, NULs,
// unpaired surrogates) is written as hex(1), hex(2) or hex(7) bytes, as the
// Windows registry editor does, and so reads back as it was.
//
// Hives are kept in it, and `valmorin reg` imports and exports it, so an
// administrator can read, diff and carry registry contents between Windows
// and Linux machines.
#pragma once

#include "valmorin/com/types.h"

#include "platform/registry/key_tree.h"
#include "platform/registry/types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valmorin::registry {

// One bracketed block of a file.
struct RegSection {
    std::u16string path;    // full key path, root name first
    bool removeKey = false; // [-path]: delete the key and everything below it
    std::vector<Value> values;
    std::vector<std::u16string> removedValues; // "Name"=-
};

// Where a text comes from decides how much is forgiven. A hive is only ever
// written whole by this system: one whose last line lacks its line break
// was cut short and is not well-formed. A file to import may come from any
// editor: it may end without a line break, give a DWORD with fewer than
// eight digits, and carry the older "REGEDIT4" header.
enum class RegSource { Hive, Import };

// Reads UTF-16LE with its byte order mark, or UTF-8 with or without one.
// Nothing when the text is not a well-formed file.
VALMORIN_PLATFORM_API std::optional<std::vector<RegSection>> ParseRegFile(std::string_view bytes,
                                                                          RegSource source = RegSource::Hive);

// Whether a key or value name reads back from the text as it was written:
// a line break would end the line it stands on (and could start a section
// of its own), other control characters and unpaired surrogates would not
// survive the UTF-8 of a hive.
VALMORIN_PLATFORM_API bool IsCarriedName(std::u16string_view name);

// UTF-16LE with CR LF, as Windows writes its exports; UTF-8 with LF for the
// files that stay on this machine.
enum class RegEncoding { Utf16, Utf8 };
VALMORIN_PLATFORM_API std::string FormatRegFile(const std::vector<RegSection>& sections, RegEncoding encoding);

// The sections for a key and every key below it, parents first: every key
// gets its own block so that empty keys survive a round trip.
VALMORIN_PLATFORM_API void AppendSections(const Key& key, const std::u16string& path,
                                          std::vector<RegSection>& sections);

} // namespace valmorin::registry
