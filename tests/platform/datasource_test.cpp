// The data-source directory: which file answers for which account, the
// embedded default, untrusted files refused, and the store's text format.
#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"
#include "platform/datasource/directory.h"
#include "platform/datasource/entries.h"
#include "platform/text/utf.h"
#include "support/datasource_folders.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using valmorin::datasource::DataSource;

struct Answer {
    HRESULT hr = E_FAIL;
    std::string text; // the entry's text, or the error description
};

// Asks a new directory object, as the component's resolver does.
Answer Ask(std::u16string_view account, std::u16string_view name, LONG selector = kSelectorConnectionString)
{
    CComPtr<IDataSourceDirectory> directory;
    EXPECT_EQ(CoCreateInstance(CLSID_DataSourceDirectory, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                               IDataSourceDirectory::iid, reinterpret_cast<void**>(&directory)),
              S_OK);
    LONG entry = -1;
    CComBSTR text;
    HRESULT hr = directory->Lookup(CComBSTR(account).get(), CComBSTR(name).get(), selector, &entry);
    CComPtr<IErrorInfo> info;
    if (FAILED(hr) && GetErrorInfo(0, &info) == S_OK) info->GetDescription(&text);
    if (SUCCEEDED(hr)) hr = directory->GetText(entry, &text);
    return {hr, valmorin::text::Utf16ToUtf8(text.view())};
}

class DirectoryTest : public ::testing::Test {
protected:
    DataSourceFolders m_folders;
};

TEST_F(DirectoryTest, UserFileWinsAndAccountSectionsComeFirst)
{
    DataSourceFolders::Write(m_folders.machineFile(), "[NK]\nConnectionString = machine-all\nSchema = MACHINE\n"
                                                      "[NK@CORP\\alice]\nConnectionString = machine-alice\n"
                                                      "[Sales]\nConnectionString=machine-sales\nSchema=SALES\n");
    DataSourceFolders::Write(m_folders.userFile(), "# mine\n[sales]\nConnectionString = user-sales\n"
                                                   "[Sales@corp\\ALICE]\r\nConnectionString = user-alice\r\n");
    EXPECT_EQ(Ask(u"CORP\\alice", u"NK").text, "machine-alice");
    EXPECT_EQ(Ask(u"bob", u"nk").text, "machine-all");
    EXPECT_EQ(Ask(u"bob", u"nk", kSelectorSchema).text, "MACHINE");
    EXPECT_EQ(Ask(u"bob", u"SALES").text, "user-sales");
    EXPECT_EQ(Ask(u"CORP\\alice", u"Sales").text, "user-alice");
    // the user's entry replaces the machine's whole: its schema is not mixed in
    EXPECT_EQ(Ask(u"bob", u"Sales", kSelectorSchema).text, "");

    const Answer unknown = Ask(u"bob", u"Elsewhere");
    EXPECT_EQ(unknown.hr, HRESULT_FROM_WIN32(1168));
    EXPECT_EQ(unknown.text, "The data source Elsewhere is not configured for bob.");
    EXPECT_EQ(Ask(u"bob", u"NK", 0).hr, E_INVALIDARG);
}

TEST_F(DirectoryTest, EmbeddedDefaultAnswersNKWhenNoFileConfiguresIt)
{
    const std::string store = m_folders.defaultStore().string();
    EXPECT_EQ(Ask(u"anyone", u"NK").text, valmorin::text::Utf16ToUtf8(SqliteConnectionString(store)));
    EXPECT_EQ(Ask(u"anyone", u"NK", kSelectorSchema).text, "");
    EXPECT_EQ(Ask(u"anyone", u"Sales").hr, HRESULT_FROM_WIN32(1168));
    if (::geteuid() != 0) { // the system account's store follows no user folder
        const TempDir home;
        const ScopedEnvironment relative("XDG_DATA_HOME", "relative/data"); // no folder by the XDG rules
        const ScopedEnvironment homeFolder("HOME", home.path().c_str());
        EXPECT_EQ(Ask(u"anyone", u"NK").text,
                  valmorin::text::Utf16ToUtf8(SqliteConnectionString(home / ".local/share/Pelkor/QMS/valmorin.db")));
    }
    DataSourceFolders::Write(m_folders.machineFile(), "[NK@bob]\nConnectionString = bob's\n");
    EXPECT_EQ(Ask(u"alice", u"NK").hr, HRESULT_FROM_WIN32(1168));
}

TEST_F(DirectoryTest, UntrustedFileRefusesEveryAnswer)
{
    DataSourceFolders::Write(m_folders.userFile(), "[NK]\nConnectionString = fine\n");
    const std::string machine = m_folders.machineFile().string();
    for (const auto& [mode, shown] : {std::pair{0620, "0620"}, std::pair{0602, "0602"}}) {
        DataSourceFolders::Write(m_folders.machineFile(), "[Sales]\nConnectionString = x\n", mode);
        const Answer refused = Ask(u"bob", u"NK");
        EXPECT_EQ(refused.hr, E_ACCESSDENIED);
        EXPECT_EQ(refused.text, machine + ": writable by others than its owner (mode " + shown + "): not trusted");
    }
    ::chmod(m_folders.machineFile().c_str(), 0644);
    EXPECT_EQ(Ask(u"bob", u"NK").text, "fine");
    if (::geteuid() != 0) return; // only root can give a file away
    ASSERT_EQ(::chown(m_folders.machineFile().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Ask(u"bob", u"NK").text,
              machine + ": owned by uid 65534, neither root nor the current user: not trusted");
}

TEST(StoreText, RefusesWhatWouldBeAmbiguous)
{
    const std::pair<const char*, const char*> cases[] = {
        {"ConnectionString = x\n", "line 1: a key outside any [section]"},
        {"[NK]\n[nk]\n", "line 2: [nk] is given twice"},
        {"[NK]\nSchema = a\nSCHEMA = b\n", "line 3: SCHEMA is given twice"},
        {"[NK]\nShema = a\n", "line 2: unknown key Shema (ConnectionString or Schema)"},
        {"[NK@]\n", "line 1: a data-source name cannot hold @, [ or ]"},
        {"[NK\n", "line 1: a section header ends with ]"},
        {"\n[NK]\njust words\n", "line 3: expected [name], key = value or a comment"},
        {"[NK]\nSchema = \xFF\n", "line 2: the line is not UTF-8"},
    };
    for (const auto& [text, refusal] : cases)
        EXPECT_EQ(valmorin::datasource::ParseStore(text).refusal, refusal) << text;

    const std::vector<DataSource> sources = {
        {u"NK", u"", u"Provider=OraOLEDB.Oracle;User ID=QMS;Password=\"a;b=c\"", u"SALES"},
        {u"NK", u"CORP\\alice", u"Provider=SQLite;Data Source=/home/alice/é.db", u""},
    };
    const valmorin::datasource::StoreContents read =
        valmorin::datasource::ParseStore("\xEF\xBB\xBF" + valmorin::datasource::FormatStore(sources));
    EXPECT_EQ(read.refusal, "");
    EXPECT_EQ(read.sources, sources);
}

} // namespace
