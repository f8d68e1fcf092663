// The data sources one store file configures, and the text of such a file:
//
//   # a comment (";" starts one too)
//   [NK]                         a data source for every account
//   ConnectionString = Provider=OraOLEDB.Oracle;Data Source=PROD;User ID=QMS;Password=...
//   Schema = SALES
//
//   [NK@CORP\alice]              the same name for one account only
//   ConnectionString = Provider=SQLite;Data Source=/home/alice/qms.db
//
// The text is UTF-8. Names, accounts and keys are compared without regard to
// ASCII letter case, as Windows compares account and data-source names. A
// value runs from the first "=" to the end of its line, without the blanks
// around it. A section or a key given twice makes the file unusable rather
// than leaving it to chance which one counts.
#pragma once

#include "valmorin/com/types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valmorin::datasource {

struct DataSource {
    std::u16string name;
    std::u16string account; // empty: every account
    std::u16string connectionString;
    std::u16string schema;

    bool operator==(const DataSource&) const = default;
};

// What a store file holds, or why it cannot be used.
struct StoreContents {
    std::vector<DataSource> sources; // in the file's order
    std::string refusal;             // empty when the sources can be used

    bool refused() const { return !refusal.empty(); }
};

VALMORIN_PLATFORM_API bool SameName(std::u16string_view a, std::u16string_view b);
// Whether two data sources occupy the same section of a file.
VALMORIN_PLATFORM_API bool SameSection(const DataSource& a, const DataSource& b);

// "NK" or "NK@account", as the section header and the command spell it.
VALMORIN_PLATFORM_API std::u16string SectionName(const DataSource& source);
// The name and account of a section name; the texts are left empty.
VALMORIN_PLATFORM_API DataSource FromSectionName(std::u16string_view section);
// Why the data source cannot be written to a file as it is; nothing when it can.
VALMORIN_PLATFORM_API std::optional<std::string> ProblemWith(const DataSource& source);

StoreContents ParseStore(std::string_view text);
std::string FormatStore(const std::vector<DataSource>& sources);

} // namespace valmorin::datasource
