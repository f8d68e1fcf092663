// Where the data sources are configured, and which one answers a name for
// an account.
//
//   machine file   /etc/pelkor/datasources.ini, or datasources.ini in the
//                  folder that PELKOR_DATASOURCES_DIR names
//   user file      $XDG_CONFIG_HOME/pelkor/datasources.ini
//                  (~/.config/pelkor when XDG_CONFIG_HOME is unset)
//
// The user's file comes first, and within a file a section for the account
// comes before the section for every account. When neither file configures
// "NK", the embedded default store answers it, so that a new user has a
// working component after nothing more than "valmorin init".
#pragma once

#include "valmorin/com/types.h"

#include "platform/datasource/entries.h"

#include <filesystem>

namespace valmorin::datasource {

inline constexpr std::u16string_view kDefaultDataSourceName = u"NK";

VALMORIN_PLATFORM_API std::filesystem::path MachineStoreFile();
VALMORIN_PLATFORM_API std::filesystem::path UserStoreFile();
// $XDG_DATA_HOME/Pelkor/QMS/valmorin.db (~/.local/share when XDG_DATA_HOME
// is unset), for the system account (root) /var/lib/Pelkor/QMS/valmorin.db
// (below $PELKOR_ROOT when set): the SQLite store that "valmorin init"
// creates.
VALMORIN_PLATFORM_API std::filesystem::path DefaultStorePath();
VALMORIN_PLATFORM_API std::u16string DefaultStoreConnectionString();

enum class Origin { User, Machine, Default };

struct CatalogueEntry {
    DataSource source;
    Origin origin;
};

struct Catalogue {
    std::vector<CatalogueEntry> entries; // the user's, the machine's, the default
    std::string refusal;                 // why nothing may be answered; empty when all can be

    bool refused() const { return !refusal.empty(); }
};

// Makes one data source the only one of this process, whatever the files
// configure: a program given a store explicitly (valmorin --connection)
// keeps using it when the component connects again by name.
VALMORIN_PLATFORM_API void SetProcessDataSource(std::u16string_view name, std::u16string_view connectionString);

// A refused store file refuses the whole catalogue, the default included:
// answering from another store than the one configured would go unnoticed.
VALMORIN_PLATFORM_API Catalogue LoadCatalogue();
// The entry that answers the name for the account; null when none does.
VALMORIN_PLATFORM_API const CatalogueEntry* FindEntry(const Catalogue& catalogue, std::u16string_view account,
                                                      std::u16string_view name);

} // namespace valmorin::datasource
