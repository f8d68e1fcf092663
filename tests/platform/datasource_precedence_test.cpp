// Which configured data source answers a name for an account, when the
// user's file, the machine's file and their account sections all offer one.
#include "platform/datasource/catalogue.h"
#include "platform/text/utf.h"
#include "support/datasource_folders.h"

#include <gtest/gtest.h>

namespace {

struct PrecedenceCase {
    const char* fault; // what a wrong order would answer instead
    const char* machine;
    const char* user;
    const char16_t* account;
    const char* answer; // the connection string, or "" for none
};

const PrecedenceCase kCases[] = {
    {"account sections ranked above the user's file", "[NK@alice]\nConnectionString = machine-alice\n",
     "[NK]\nConnectionString = user-all\n", u"alice", "user-all"},
    {"the first section of the file wins, not the account's",
     "[NK]\nConnectionString = machine-all\n[NK@alice]\nConnectionString = machine-alice\n", "", u"alice",
     "machine-alice"},
    {"the account's section wins for other accounts too",
     "[NK]\nConnectionString = machine-all\n[NK@alice]\nConnectionString = machine-alice\n", "", u"bob", "machine-all"},
    {"the account's section wins for other accounts too", "",
     "[NK@alice]\nConnectionString = user-alice\n"
     "[NK]\nConnectionString = user-all\n",
     u"bob", "user-all"},
    {"the user's file is ignored for its account sections", "[NK]\nConnectionString = machine-all\n",
     "[NK@alice]\nConnectionString = user-alice\n", u"alice", "user-alice"},
    {"another account's section in the user's file shadows the machine's", "[NK]\nConnectionString = machine-all\n",
     "[NK@bob]\nConnectionString = user-bob\n", u"alice", "machine-all"},
    {"the machine's file is read before the user's", "[NK@alice]\nConnectionString = machine-alice\n",
     "[NK@ALICE]\nConnectionString = user-alice\n", u"Alice", "user-alice"},
    {"accounts compared with their case", "", "[NK@CORP\\Alice]\nConnectionString = user-alice\n", u"corp\\ALICE",
     "user-alice"},
    {"an account that only starts like the section's matches it", "[NK@CORP\\alice]\nConnectionString = x\n", "",
     u"CORP\\al", ""},
    {"the embedded default outranks the files", "[NK@alice]\nConnectionString = machine-alice\n", "", u"alice",
     "machine-alice"},
};

TEST(DataSourcePrecedence, TheUsersFileFirstAndWithinAFileTheAccountsSection)
{
    for (const PrecedenceCase& c : kCases) {
        DataSourceFolders folders;
        if (*c.machine) DataSourceFolders::Write(folders.machineFile(), c.machine);
        if (*c.user) DataSourceFolders::Write(folders.userFile(), c.user);
        const valmorin::datasource::Catalogue catalogue = valmorin::datasource::LoadCatalogue();
        ASSERT_FALSE(catalogue.refused()) << catalogue.refusal;
        const valmorin::datasource::CatalogueEntry* entry =
            valmorin::datasource::FindEntry(catalogue, c.account, u"nk");
        const std::string answer = entry ? valmorin::text::Utf16ToUtf8(entry->source.connectionString) : "";
        EXPECT_EQ(answer, c.answer) << "fault: " << c.fault;
    }
}

// Once the files configure "NK" for nobody but another account, the
// embedded default answers everyone else, and only "NK".
TEST(DataSourcePrecedence, TheDefaultAnswersOnlyWhereNoFileConfiguresTheName)
{
    DataSourceFolders folders;
    DataSourceFolders::Write(folders.userFile(), "[Sales]\nConnectionString = user-sales\n");
    const valmorin::datasource::Catalogue catalogue = valmorin::datasource::LoadCatalogue();
    const auto* nk = valmorin::datasource::FindEntry(catalogue, u"alice", u"NK");
    ASSERT_NE(nk, nullptr);
    EXPECT_EQ(nk->origin, valmorin::datasource::Origin::Default);
    EXPECT_EQ(nk->source.connectionString, valmorin::datasource::DefaultStoreConnectionString());
    const auto* sales = valmorin::datasource::FindEntry(catalogue, u"alice", u"SALES");
    ASSERT_NE(sales, nullptr);
    EXPECT_EQ(sales->origin, valmorin::datasource::Origin::User);
    EXPECT_EQ(valmorin::datasource::FindEntry(catalogue, u"alice", u"Elsewhere"), nullptr);
}

} // namespace
