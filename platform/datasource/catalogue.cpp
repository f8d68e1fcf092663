#include "platform/datasource/catalogue.h"

#include "platform/ado/connection_string.h"
#include "platform/datasource/store_file.h"
#include "platform/posix/user_folders.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>

#include <unistd.h>

namespace valmorin::datasource {

namespace {

constexpr const char* kStoreFileName = "datasources.ini";
constexpr const char* kSystemDataFolder = "/var/lib";

bool Configures(const Catalogue& catalogue, std::u16string_view name)
{
    return std::any_of(catalogue.entries.begin(), catalogue.entries.end(),
                       [&](const CatalogueEntry& entry) { return SameName(entry.source.name, name); });
}

// The user's file before the machine's; in each, the account's section
// before the one for every account.
int Precedence(const CatalogueEntry& entry)
{
    return 2 * static_cast<int>(entry.origin) + (entry.source.account.empty() ? 1 : 0);
}

std::mutex g_processSourceLock;
std::optional<DataSource> g_processSource;

std::optional<DataSource> ProcessDataSource()
{
    const std::lock_guard lock(g_processSourceLock);
    return g_processSource;
}

} // namespace

void SetProcessDataSource(std::u16string_view name, std::u16string_view connectionString)
{
    const std::lock_guard lock(g_processSourceLock);
    g_processSource = DataSource{std::u16string(name), {}, std::u16string(connectionString), {}};
}

std::filesystem::path MachineStoreFile()
{
    const char* folder = std::getenv("PELKOR_DATASOURCES_DIR");
    return (folder != nullptr && folder[0] != '\0' ? std::filesystem::path(folder) : MachineConfigFolder()) /
           kStoreFileName;
}

std::filesystem::path UserStoreFile() { return UserConfigFolder() / "pelkor" / kStoreFileName; }

// The system account serves the whole machine: its store lies where
// daemons keep their state, never in the folders of a user whose
// environment it happens to run with (sudo -E).
std::filesystem::path DefaultStorePath()
{
    const std::filesystem::path data = ::geteuid() == 0 ? MachineFolder(kSystemDataFolder) : UserDataFolder();
    return data / "Pelkor" / "QMS" / "valmorin.db";
}

std::u16string DefaultStoreConnectionString()
{
    return ado::ConnectionString()
        .With(u"Provider", u"SQLite")
        .With(u"Data Source", text::Widen(DefaultStorePath().string()))
        .Text();
}

Catalogue LoadCatalogue()
{
    Catalogue catalogue;
    if (std::optional<DataSource> source = ProcessDataSource()) {
        catalogue.entries.push_back({std::move(*source), Origin::Default});
        return catalogue;
    }
    const std::pair<std::filesystem::path, Origin> files[] = {{UserStoreFile(), Origin::User},
                                                              {MachineStoreFile(), Origin::Machine}};
    for (const auto& [file, origin] : files) {
        StoreContents contents = ReadStoreFile(file);
        if (contents.refused()) return {{}, std::move(contents.refusal)};
        for (DataSource& source : contents.sources) catalogue.entries.push_back({std::move(source), origin});
    }
    if (!Configures(catalogue, kDefaultDataSourceName)) {
        const DataSource embedded{std::u16string(kDefaultDataSourceName), {}, DefaultStoreConnectionString(), {}};
        catalogue.entries.push_back({embedded, Origin::Default});
    }
    return catalogue;
}

const CatalogueEntry* FindEntry(const Catalogue& catalogue, std::u16string_view account, std::u16string_view name)
{
    const CatalogueEntry* best = nullptr;
    for (const CatalogueEntry& entry : catalogue.entries) {
        const DataSource& source = entry.source;
        if (!SameName(source.name, name) || (!source.account.empty() && !SameName(source.account, account))) continue;
        if (best == nullptr || Precedence(entry) < Precedence(*best)) best = &entry;
    }
    return best;
}

} // namespace valmorin::datasource
