// The component's data-source resolution over the directory: the names it
// cannot resolve, a refused file, one directory object per connection
// ensure, and the Oracle session's schema switch (the Oracle provider is a
// stand-in that records its statements: no Oracle client is at hand).
#include "platform/ado/provider.h"
#include "valmorin/com/runtime.h"
#include "platform/datasource/directory.h"
#include "platform/text/utf.h"
#include "qmt/db/ado_connection_nk.h"
#include "qmt/db/ado_datasource.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/trace.h"
#include "support/datasource_folders.h"
#include "support/idle_session.h"
#include "support/memory_log.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

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
    std::unique_ptr<valmorin::ado::Session> Connect(const valmorin::ado::ConnectionString&, std::u16string_view,
                                                    std::u16string_view, LONG) override
    {
        return std::make_unique<Session>(statements);
    }

    std::shared_ptr<std::vector<std::u16string>> statements = std::make_shared<std::vector<std::u16string>>();

private:
    struct Session final : IdleSession {
        explicit Session(std::shared_ptr<std::vector<std::u16string>> statements) : m_statements(std::move(statements))
        {}
        valmorin::ado::ExecuteOutcome Execute(std::u16string_view sql,
                                              std::span<const valmorin::ado::BoundValue>) override
        {
            m_statements->emplace_back(sql);
            return {valmorin::ado::ExecuteOutcome::Count::NotApplicable, 0};
        }
        std::shared_ptr<std::vector<std::u16string>> m_statements;
    };
};

class ResolverTest : public ::testing::Test {
protected:
    DataSourceFolders m_folders;

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
