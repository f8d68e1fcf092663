#include "platform/com/com_error.h"
#include "qmt/diag/trace.h"
#include "platform/text/utf.h"
#include "support/memory_log.h"
#include "support/component.h"

#include <gtest/gtest.h>

namespace {

std::pair<std::u16string, std::u16string> TakeErrorInfo()
{
    IErrorInfo* raw = nullptr;
    if (GetErrorInfo(0, &raw) != S_OK) return {};
    const _com_error holder(E_FAIL, raw);
    return {holder.Source(), holder.Description()};
}

class TranslateTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        if (IsSkipped()) return;
        m_store->Run("INSERT INTO QM_TABLES (ID_TABLE, NB_COLS, NOM) VALUES (1, 2, 'Currencies'), (2, 2, 'Other');"
                     "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'EUR', 'Euro'), (1, 'NUL', NULL),"
                     " (2, 'EUR', 'not this one'),"
                     " (1, 'ŒUVRE 𝄞', 'Ünïcode 😀');");
    }

    std::u16string Translate(const std::u16string& table, const std::u16string& value, HRESULT expected = S_OK)
    {
        BstrResult result;
        EXPECT_EQ(m_component->translate(CComBSTR(table).get(), CComBSTR(value).get(), &result), expected);
        return result.text();
    }
};

TEST_P(TranslateTest, StoredValuesAndAbsencesAllAnswerSOk)
{
    EXPECT_EQ(Translate(u"Currencies", u"EUR"), u"Euro");
    EXPECT_EQ(Translate(u"Currencies", u"USD"), u""); // not stored
    EXPECT_EQ(Translate(u"Missing", u"EUR"), u"");    // no such table
    EXPECT_EQ(Translate(u"Currencies", u"NUL"), u""); // NULL OUTPUT
    EXPECT_EQ(Translate(u"Currencies", u"ŒUVRE 𝄞"), u"Ünïcode 😀");
    EXPECT_EQ(Translate(u"currencies", u"EUR"), u""); // the store compares exactly
}

TEST_P(TranslateTest, NullArgumentsAreEmptyStrings)
{
    m_store->Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (3, ''); "
                 "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (3, '', 'empty key');");
    BstrResult result;
    EXPECT_EQ(m_component->translate(nullptr, nullptr, &result), S_OK);
    EXPECT_EQ(result.text(), u"empty key");
}

TEST_P(TranslateTest, ApostropheIsRefusedBeforeAnyStatement)
{
    const MemoryLog log;
    const std::u16string injected = u"x') OR ('1'='1";
    EXPECT_EQ(Translate(u"Currencies", injected, MakeHResult(0x80040E14)), u"");
    const auto [source, description] = TakeErrorInfo();
    EXPECT_EQ(source, m_store->traits().source);
    EXPECT_NE(description.find(u"ValueIn"), std::u16string::npos);
    EXPECT_EQ(Translate(u"it's", u"EUR", MakeHResult(0x80040E14)), u"");
    EXPECT_NE(TakeErrorInfo().second.find(u"tableName"), std::u16string::npos);
    for (const auto& record : log.records())
        EXPECT_EQ(record.message.find(u"Open recordset"), std::u16string::npos) << "a statement was sent";
    qmt::Tracer::Current().Disable();
    // the connection is still usable afterwards
    EXPECT_EQ(Translate(u"Currencies", u"EUR"), u"Euro");
}

TEST_P(TranslateTest, RejectedStatementGivesEmptyResultAndTheDatabaseError)
{
    m_store->Run("DROP TABLE QM_VALMOR;");
    EXPECT_EQ(Translate(u"Currencies", u"EUR", MakeHResult(0x80040E14)), u"");
    const auto [source, description] = TakeErrorInfo();
    EXPECT_EQ(source, m_store->traits().source);
    EXPECT_NE(description.find(m_store->traits().missingTable), std::u16string::npos)
        << valmorin::text::Utf16ToUtf8(description);
}

TEST_P(TranslateTest, TrivialMethodsNeverTouchTheStore)
{
    CComPtr<IValmorin> closed = NewComponent();
    BSTR untouched = SysAllocString(u"caller's");
    BSTR before = untouched;
    EXPECT_EQ(closed->transmatch(nullptr, CComBSTR(u"x").get(), &untouched), S_OK);
    EXPECT_EQ(untouched, before);
    SysFreeString(untouched);
    EXPECT_EQ(closed->Attach(nullptr), S_OK);
    EXPECT_EQ(closed->translate(nullptr, nullptr, nullptr), E_POINTER);
}

TEST_P(TranslateTest, WithoutAStoreTheCallFailsWithAnEmptyResult)
{
    CComPtr<IValmorin> closed = NewComponent(); // no data source "NK" is configured here
    BstrResult result;
    const HRESULT hr = closed->translate(CComBSTR(u"Currencies").get(), CComBSTR(u"EUR").get(), &result);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(result.text(), u"");
    EXPECT_FALSE(TakeErrorInfo().second.empty());
}

TEST_P(TranslateTest, OpenReplacesTheConnectionAndReportsFailures)
{
    EXPECT_EQ(m_component->Open(CComBSTR(u"Provider=SQLite;Data Source=/nonexistent/x.db").get()), E_FAIL);
    EXPECT_NE(TakeErrorInfo().second.find(u"does not exist"), std::u16string::npos);
    EXPECT_EQ(m_component->Open(CComBSTR(m_store->connectionString()).get()), S_OK);
    EXPECT_EQ(Translate(u"Currencies", u"EUR"), u"Euro");
}

INSTANTIATE_TEST_SUITE_P(Stores, TranslateTest, VALMORIN_STORES);

// What a lone high surrogate used to do: swallow the closing apostrophe, so
// that the next value ran as SQL. Called as any application calls.
using Rows = std::vector<std::u16string>;

TEST(TranslateInjection, LoneSurrogatesCannotTurnAValueIntoSql)
{
    const TestStore store;
    store.Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'Currencies'), (2, 'Secrets');"
              "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'EUR', 'Euro'), "
              "(2, 'key', 'secret'), (1, 'a''b', 'quoted'), (1, '', 'empty');");
    const CComPtr<IValmorin> component = NewComponent(&store);
    const std::string everything = "SELECT group_concat(ID_TABLE || INPUT || OUTPUT) FROM QM_VALMOR";
    const Rows before = store.Column(everything);
    for (const char16_t* table : {u"\xD800", u"\xDBFF", u"Currencies\xD800"}) {
        BstrResult translation;
        EXPECT_EQ(component->translate(CComBSTR(table).get(), CComBSTR(u")) OR 1=1 --").get(), &translation), S_OK);
        EXPECT_EQ(translation.text(), u"");
        LONG deleted = 42;
        EXPECT_EQ(component->transdel(CComBSTR(table).get(), CComBSTR(u")) OR 1=1 --").get(), &deleted), S_FALSE);
        EXPECT_EQ(store.Column(everything), before);
    }

    const std::u16string output = u", 9), (1, upper(1), (SELECT group_concat(OUTPUT) FROM QM_VALMOR)) --";
    LONG added = 0;
    EXPECT_EQ(component->transadd(CComBSTR(u"Currencies").get(), CComBSTR(u"GBP\xD800").get(), CComBSTR(output).get(),
                                  &added),
              S_OK);
    EXPECT_EQ(store.Column("SELECT OUTPUT FROM QM_VALMOR WHERE ID_TABLE = 1 AND INPUT LIKE 'GBP%'"), Rows{output});
    EXPECT_EQ(store.Column("SELECT COUNT(*) FROM QM_VALMOR"), Rows{u"5"});
}

} // namespace
