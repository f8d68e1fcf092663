#include "platform/ado/provider.h"
#include "platform/com/errorinfo.h"
#include "platform/com/runtime.h"
#include "platform/datasource/directory.h"
#include "platform/datasource/entries.h"
#include "platform/text/utf.h"
#include "qmt/db/ado_connection_nk.h"
#include "qmt/db/ado_datasource.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "support/memory_log.h"
#include "support/datasource_folders.h"

#include <gtest/gtest.h>

#include <functional>

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
    EXPECT_EQ(Ask(u"anyone", u"NK").text, "Provider=SQLite;Data Source=" + store);
    EXPECT_EQ(Ask(u"anyone", u"NK", kSelectorSchema).text, "");
    EXPECT_EQ(Ask(u"anyone", u"Sales").hr, HRESULT_FROM_WIN32(1168));
    if (::geteuid() != 0) { // the system account's store follows no user folder
        const TempDir home;
        const ScopedEnvironment relative("XDG_DATA_HOME", "relative/data"); // no folder by the XDG rules
        const ScopedEnvironment homeFolder("HOME", home.path().c_str());
        EXPECT_EQ(Ask(u"anyone", u"NK").text,
                  "Provider=SQLite;Data Source=" + (home / ".local/share/Pelkor/QMS/valmorin.db").string());
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
    for (const auto& [text, refusal] : cases) EXPECT_EQ(valmorin::datasource::ParseStore(text).refusal, refusal) << text;

    const std::vector<DataSource> sources = {
        {u"NK", u"", u"Provider=OraOLEDB.Oracle;User ID=QMS;Password=\"a;b=c\"", u"SALES"},
        {u"NK", u"CORP\\alice", u"Provider=SQLite;Data Source=/home/alice/é.db", u""},
    };
    const valmorin::datasource::StoreContents read = valmorin::datasource::ParseStore("\xEF\xBB\xBF" + valmorin::datasource::FormatStore(sources));
    EXPECT_EQ(read.refusal, "");
    EXPECT_EQ(read.sources, sources);
}

// Stands in the directory's place in the class table and keeps what it made.
class WatchingFactory final : public CComObjectBase<WatchingFactory, IClassFactory> {
public:
    explicit WatchingFactory(CComPtr<IClassFactory> real) : m_real(std::move(real)) {}
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        made.emplace_back();
        const HRESULT hr = m_real->CreateInstance(outer, IUnknown::iid, reinterpret_cast<void**>(&made.back()));
        return FAILED(hr) ? hr : made.back()->QueryInterface(riid, object);
    }
    HRESULT LockServer(int) override { return S_OK; }

    std::vector<CComPtr<IUnknown>> made;

private:
    CComPtr<IClassFactory> m_real;
};

// Whether anyone but the factory still holds the object.
bool HeldElsewhere(IUnknown* object)
{
    const ULONG references = object->AddRef();
    object->Release();
    return references > 2;
}

// An Oracle provider in name only, which records the statements it runs.
class RecordingOracle final : public valmorin::ado::Provider {
public:
    std::u16string Name() const override { return u"OraOLEDB.Oracle"; }
    std::unique_ptr<valmorin::ado::Session> Connect(const valmorin::ado::ConnectionString&, std::u16string_view, std::u16string_view,
                                          LONG) override
    {
        return std::make_unique<Session>(statements);
    }

    std::shared_ptr<std::vector<std::u16string>> statements = std::make_shared<std::vector<std::u16string>>();

private:
    struct Session final : valmorin::ado::Session {
        explicit Session(std::shared_ptr<std::vector<std::u16string>> statements)
            : m_statements(std::move(statements))
        {
        }
        valmorin::ado::ExecuteOutcome Execute(std::u16string_view sql) override
        {
            m_statements->emplace_back(sql);
            return {valmorin::ado::ExecuteOutcome::Count::NotApplicable, 0};
        }
        void Query(std::u16string_view, bool, valmorin::ado::RowSet&) override {}
        void UpdateRow(const valmorin::ado::RowSet&, std::size_t, const std::vector<valmorin::ado::ColumnChange>&) override {}
        void Begin() override {}
        void Commit() override {}
        void Rollback() override {}
        bool InTransaction() const override { return false; }
        std::shared_ptr<std::vector<std::u16string>> m_statements;
    };
};

class ResolverTest : public DirectoryTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoGetClassObject(CLSID_DataSourceDirectory, CLSCTX_INPROC_SERVER, IClassFactory::iid,
                                   reinterpret_cast<void**>(&m_real)),
                  S_OK);
        m_factory = WatchingFactory::Create(m_real);
        CoRegisterClassObject(CLSID_DataSourceDirectory, m_factory.get());
        valmorin::ado::RegisterProvider(m_oracle);
    }
    void TearDown() override
    {
        valmorin::ado::UnregisterProvider(m_oracle->Name());
        CoRegisterClassObject(CLSID_DataSourceDirectory, m_real.get());
    }

    void Configure(const std::string& connectionString, const std::string& schema = "")
    {
        DataSourceFolders::Write(m_folders.machineFile(),
                                 "[NK]\nConnectionString = " + connectionString + "\nSchema = " + schema + "\n");
    }
    static DWORD CodeOf(const std::function<void()>& call)
    {
        try {
            call();
        } catch (const qmt::CException& e) {
            return e.code;
        }
        return 0;
    }
    std::vector<std::u16string> ErrorLines() const
    {
        std::vector<std::u16string> lines;
        for (const LogRecord& record : m_log.records())
            if (record.level == qmt::LogLevel::Error) lines.push_back(record.message);
        return lines;
    }

    CComPtr<IClassFactory> m_real;
    CComPtr<WatchingFactory> m_factory;
    std::shared_ptr<RecordingOracle> m_oracle = std::make_shared<RecordingOracle>();
    MemoryLog m_log;
};

TEST_F(ResolverTest, UnresolvedNamesFailForTheConnectionStringOnly)
{
    qmt::CAdoDataSourceNK resolver;
    EXPECT_EQ(CodeOf([&] { resolver.get(u"", kSelectorConnectionString); }), 87u);
    EXPECT_TRUE(m_factory->made.empty());

    m_log.Clear();
    EXPECT_EQ(CodeOf([&] { resolver.get(u"Nowhere", kSelectorConnectionString); }), 1168u);
    const std::vector<std::u16string> errors = ErrorLines(); // the resolver's line and the exception's own
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], u"CAdoDataSourceNK::get(Nowhere) - connection string is empty");
    m_log.Clear();
    EXPECT_EQ(resolver.get(u"Nowhere", kSelectorSchema), u"");
    EXPECT_TRUE(m_log.records().empty());
}

TEST_F(ResolverTest, RefusedFileLeavesNKClosedDespiteTheDefault)
{
    DataSourceFolders::Write(m_folders.userFile(), "[Sales]\nConnectionString = x\n", 0666);
    qmt::CAdoConnectionNK connection;
    connection.open(std::u16string(u"NK"));
    EXPECT_FALSE(connection.isOpen());
    EXPECT_EQ(ErrorLines().front(), u"CAdoDataSourceNK::get(NK) - connection string is empty");
}

TEST_F(ResolverTest, EachEnsureMakesAndReleasesItsOwnDirectory)
{
    Configure("Provider=OraOLEDB.Oracle;User ID=QMS", "QMS");
    qmt::CAdoConnectionNK connection;
    connection.open(std::u16string(u"NK"));
    connection.close();
    connection.open(std::u16string(u"NK"));
    EXPECT_TRUE(connection.isOpen());
    ASSERT_EQ(m_factory->made.size(), 2u);
    EXPECT_FALSE(HeldElsewhere(m_factory->made[0].get()));
    EXPECT_FALSE(HeldElsewhere(m_factory->made[1].get()));
}

TEST_F(ResolverTest, OracleSessionSwitchesToAnotherSchemaThanTheUsers)
{
    const std::string scott = "Provider=OraOLEDB.Oracle;Data Source=PROD;User ID=SCOTT;Password=tiger";
    const std::tuple<std::string, std::string, std::vector<std::u16string>> cases[] = {
        {scott, "scott", {}},
        {scott, "SALES", {u"ALTER SESSION SET CURRENT_SCHEMA=SALES"}},
        // keys are found with their exact case: no Oracle provider here ...
        {"provider=OraOLEDB.Oracle;User ID=SCOTT", "SALES", {}},
        // ... and no user id here, so even the user's own schema is set
        {"Provider=OraOLEDB.Oracle;user id=SCOTT", "SCOTT", {u"ALTER SESSION SET CURRENT_SCHEMA=SCOTT"}},
    };
    for (const auto& [connectionString, schema, statements] : cases) {
        Configure(connectionString, schema);
        m_oracle->statements->clear();
        qmt::CAdoConnectionNK connection;
        connection.open(std::u16string(u"NK"));
        EXPECT_TRUE(connection.isOpen()) << connectionString;
        EXPECT_EQ(*m_oracle->statements, statements) << connectionString << " " << schema;
    }
}

} // namespace
