// IValmorin2 beside IValmorin on the same object: the reverse and default
// lookups and the listings written as JSON, on every store.
#include "service/statement_texts.h"
#include "support/admin.h"
#include "support/component.h"
#include "support/temp_dir.h"

#include "platform/text/utf.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using Json = nlohmann::json;
using valmorin::text::Utf16ToUtf8;

class SecondInterfaceTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(m_component.QueryInterface(m_v2), S_OK);
        ASSERT_EQ(m_component->TableCreate(Arg(u"maker"), Arg(u"T"), Arg(u"d"), Arg(u"in\u00A8out"), Arg(u"1\u00A80")),
                  S_OK);
    }
    void Put(const std::u16string& input, const std::u16string& output, const std::u16string& table = u"T")
    {
        ASSERT_EQ(m_component->CorrespondanceCreate(Arg(u"u"), Arg(table), Arg(input), Arg(output)), S_OK);
    }
    Json Page(const std::u16string& contains, LONG offset, LONG limit)
    {
        BstrResult list;
        EXPECT_EQ(m_v2->CorrespondanceListJson(Arg(u"T"), Arg(contains), offset, limit, &list), S_OK);
        return Json::parse(Utf16ToUtf8(list.text()));
    }
    static std::vector<std::string> Inputs(const Json& page)
    {
        std::vector<std::string> inputs;
        for (const Json& item : page.at("list")) inputs.push_back(item.at("input").get<std::string>());
        return inputs;
    }

    CComPtr<IValmorin2> m_v2;
};

// Faults caught: the largest INPUT instead of the smallest; a miss that
// says S_OK; a stored empty OUTPUT taken for a miss; an apostrophe that
// breaks the statement.
TEST_P(SecondInterfaceTest, ReverseAndDefaultLookups)
{
    Put(u"b", u"same");
    Put(u"a", u"same");
    Put(u"O'Brien", u"it's");
    Put(u"blank", u"");
    BstrResult found, missing, quoted;
    EXPECT_EQ(m_v2->translateReverse(Arg(u"T"), Arg(u"same"), &found), S_OK);
    EXPECT_EQ(found.text(), u"a");
    EXPECT_EQ(m_v2->translateReverse(Arg(u"T"), Arg(u"none"), &missing), S_FALSE);
    EXPECT_EQ(missing.text(), u"");
    EXPECT_EQ(m_v2->translateReverse(Arg(u"T"), Arg(u"it's"), &quoted), S_OK);
    EXPECT_EQ(quoted.text(), u"O'Brien");

    const struct {
        std::u16string table, input, expected;
    } cases[] = {{u"T", u"a", u"same"},
                 {u"T", u"blank", u""},
                 {u"T", u"O'Brien", u"it's"},
                 {u"T", u"zzz", u"fallback"},
                 {u"Missing", u"a", u"fallback"}};
    for (const auto& c : cases) {
        BstrResult translation;
        EXPECT_EQ(m_v2->translateDefault(Arg(c.table), Arg(c.input), Arg(u"fallback"), &translation), S_OK);
        EXPECT_EQ(translation.text(), c.expected) << Utf16ToUtf8(c.input);
    }
}

// Faults caught: a control character, backslash or quote written raw
// (the parser refuses the text); numbers written as strings; a row count
// of the wrong table.
TEST_P(SecondInterfaceTest, ListingsAreJsonWhateverTheTextsHold)
{
    std::u16string hostile = u"q\"b\\s/";
    for (char16_t c = 1; c < 0x20; ++c) hostile += c;
    hostile += u"\u2028\U0001F600";
    Put(hostile, hostile);
    Put(u"plain", u"x");
    // One input and two outputs: a count read from the wrong kind of column
    // shows.
    ASSERT_EQ(m_component->TableCreate(Arg(hostile), Arg(hostile), Arg(hostile), Arg(u"k\u00A8v\u00A8w"),
                                       Arg(u"1\u00A80\u00A80")),
              S_OK);
    BstrResult tables;
    ASSERT_EQ(m_v2->TableListJson(&tables), S_OK);
    const Json list = Json::parse(Utf16ToUtf8(tables.text())).at("list");
    ASSERT_EQ(list.size(), 2u);
    const Json& named = list[0].at("name") == "T" ? list[0] : list[1];
    const Json& hostileTable = list[0].at("name") == "T" ? list[1] : list[0];
    EXPECT_EQ(named.at("rows"), 2);
    EXPECT_EQ(named.at("input"), 1);
    EXPECT_EQ(named.at("output"), 1);
    EXPECT_TRUE(named.at("id").is_number());
    EXPECT_EQ(named.at("lastactionuser"), "maker");
    EXPECT_EQ(hostileTable.at("name"), Utf16ToUtf8(hostile));
    EXPECT_EQ(hostileTable.at("description"), Utf16ToUtf8(hostile));
    EXPECT_EQ(hostileTable.at("lastactionuser"), Utf16ToUtf8(hostile));
    EXPECT_EQ(hostileTable.at("rows"), 0);
    EXPECT_EQ(hostileTable.at("input"), 1);
    EXPECT_EQ(hostileTable.at("output"), 2);

    BstrResult columns;
    ASSERT_EQ(m_v2->TableColumnsJson(Arg(hostile), &columns), S_OK);
    const Json described = Json::parse(Utf16ToUtf8(columns.text()));
    EXPECT_EQ(described.at("name"), Utf16ToUtf8(hostile));
    EXPECT_EQ(described.at("list"),
              Json::parse(R"([{"id":1,"name":"k","input":true},{"id":2,"name":"v","input":false},)"
                          R"({"id":3,"name":"w","input":false}])"));

    const Json page = Page(u"", 0, 0);
    EXPECT_EQ(page.at("total"), 2);
    ASSERT_EQ(page.at("list").size(), 2u);
    const Json& item = page.at("list")[0].at("input") == "plain" ? page.at("list")[1] : page.at("list")[0];
    EXPECT_EQ(item.at("input"), Utf16ToUtf8(hostile));
    EXPECT_EQ(item.at("output"), Utf16ToUtf8(hostile));
}

// Faults caught: a page cut at the wrong row; a total of the page instead
// of the rows that qualify; a wildcard of LIKE in the searched text taken
// as one; a search that ignores case on one store only.
TEST_P(SecondInterfaceTest, PagesInInputOrderWithTheirTotal)
{
    for (const char16_t* input : {u"k1", u"k2", u"k3", u"k4", u"k5"}) Put(input, u"v");
    Put(u"p%1", u"a_b");
    Put(u"p!2", u"[x]");
    Put(u"q3", u"V");

    const Json middle = Page(u"", 1, 2);
    EXPECT_EQ(middle.at("total"), 8);
    EXPECT_EQ(middle.at("offset"), 1);
    EXPECT_EQ(middle.at("limit"), 2);
    EXPECT_EQ(Inputs(middle), (std::vector<std::string>{"k2", "k3"}));
    EXPECT_EQ(Inputs(Page(u"k", 3, 0)), (std::vector<std::string>{"k4", "k5"}));
    EXPECT_EQ(Page(u"k", 3, 0).at("total"), 5);
    EXPECT_EQ(Page(u"", 8, 5).at("list").size(), 0u);

    EXPECT_EQ(Inputs(Page(u"%", 0, 0)), std::vector<std::string>{"p%1"});
    EXPECT_EQ(Inputs(Page(u"_", 0, 0)), std::vector<std::string>{"p%1"});
    EXPECT_EQ(Inputs(Page(u"!", 0, 0)), std::vector<std::string>{"p!2"});
    EXPECT_EQ(Inputs(Page(u"[x", 0, 0)), std::vector<std::string>{"p!2"});
    const Json upper = Page(u"V", 0, 0); // the OUTPUT "V" only, not the five "v"
    EXPECT_EQ(Inputs(upper), std::vector<std::string>{"q3"});
    EXPECT_EQ(upper.at("total"), 1);

    BstrResult refused;
    EXPECT_EQ(m_v2->CorrespondanceListJson(Arg(u"T"), Arg(u""), -1, 0, &refused), E_INVALIDARG);
    EXPECT_EQ(refused.text(), u"");
}

// The steps of the plan of a statement as sent (its values bound), on an
// SQLite store, as EXPLAIN QUERY PLAN tells them.
std::vector<std::string> PlanOf(const std::filesystem::path& store, std::u16string_view statement)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* plan = nullptr;
    std::vector<std::string> steps;
    if (sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + Utf16ToUtf8(statement)).c_str(), -1, &plan, nullptr) !=
        SQLITE_OK)
        steps.push_back(std::string("not prepared: ") + sqlite3_errmsg(db));
    while (plan && sqlite3_step(plan) == SQLITE_ROW)
        steps.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(plan, 3)));
    sqlite3_finalize(plan);
    sqlite3_close(db);
    return steps;
}

// Faults caught: a page that sorts every row of its table before it reads
// its first one (the table matched with IN, which may stand for several
// tables), so that every page, the first too, costs the whole table.
TEST(SecondInterfacePlanTest, PagesReadTheirTableInItsIndexOrder)
{
    const TempDir folder;
    CreateWalStore(folder / "store.db");
    for (const qmt::ShapeView& page :
         {statements::kListCorrespondencesInOrder.View(), statements::kListCorrespondencesLike.View()}) {
        const std::vector<std::string> plan = PlanOf(folder / "store.db", page.sent);
        ASSERT_FALSE(plan.empty());
        for (const std::string& step : plan) EXPECT_EQ(step.find("TEMP B-TREE"), std::string::npos) << step;
    }
}

// Fault caught: a page's total counted in one state of the store and its
// rows read in another, so that a commit between the two statements gives
// a total the rows disagree with.
TEST_P(SecondInterfaceTest, APagesTotalAndRowsAreReadFromOneState)
{
    for (int i = 0; i < 200; ++i) Put(u"k" + valmorin::text::Widen(std::to_string(i)), u"v");
    std::atomic<bool> reading = true;
    std::thread writer([&] {
        CComPtr<IValmorin> other = NewComponent(&*m_store);
        for (int i = 0; reading; ++i) { // the table's size goes up and down by one
            const std::u16string input = u"w" + valmorin::text::Widen(std::to_string(i % 2));
            if (i % 4 < 2)
                other->CorrespondanceCreate(Arg(u"w"), Arg(u"T"), Arg(input), Arg(u"x"));
            else
                other->CorrespondanceDelete(Arg(u"T"), Arg(input));
        }
    });
    int disagreeing = 0;
    for (int i = 0; i < 300; ++i) {
        const Json page = Page(u"", 0, 0);
        disagreeing += page.at("total") != page.at("list").size();
    }
    reading = false;
    writer.join();
    EXPECT_EQ(disagreeing, 0) << "pages whose total is not their rows' number, of 300";
}

// Faults caught: IValmorin2 not answered, or answered by another object;
// a slot of IValmorin moved by the second interface.
TEST_P(SecondInterfaceTest, BothInterfacesAreOneObject)
{
    CComPtr<IValmorin> first;
    ASSERT_EQ(m_v2.QueryInterface(first), S_OK);
    EXPECT_EQ(static_cast<IValmorin*>(m_v2.get()), first.get());
    CComPtr<IUnknown> viaFirst, viaSecond;
    ASSERT_EQ(first.QueryInterface(viaFirst), S_OK);
    ASSERT_EQ(m_v2.QueryInterface(viaSecond), S_OK);
    EXPECT_EQ(viaFirst.get(), viaSecond.get());
    Put(u"EUR", u"Euro");
    BstrResult translation;
    EXPECT_EQ(first->translate(Arg(u"T"), Arg(u"EUR"), &translation), S_OK); // slot 15 of the first interface
    EXPECT_EQ(translation.text(), u"Euro");
}

INSTANTIATE_TEST_SUITE_P(Stores, SecondInterfaceTest, VALMORIN_STORES);

} // namespace
