#include "store.h"

#include "platform/ado/connection_string.h"
#include "platform/datasource/catalogue.h"
#include "platform/text/ascii.h"
#include "platform/text/utf.h"

#include <iostream>

std::string DefaultStorePath() { return valmorin::datasource::DefaultStorePath().string(); }

std::u16string DefaultStoreConnectionString() { return valmorin::datasource::DefaultStoreConnectionString(); }

std::optional<std::string> SqliteFileOf(const std::u16string& connectionString)
{
    const valmorin::ado::ConnectionString settings(connectionString);
    if (valmorin::text::AsciiUpper(settings.Get(u"Provider")) != u"SQLITE") return std::nullopt;
    const std::u16string file = settings.Get(u"Data Source");
    if (file.empty()) return std::nullopt;
    return valmorin::text::Utf16ToUtf8(file);
}

InitOutcome InitStore(const std::u16string& connectionString)
{
    InitOutcome outcome = qmt::InitStore(connectionString);
    std::cout << outcome.schemaForAdministrator;
    return outcome;
}
