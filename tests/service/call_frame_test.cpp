// The service's call frame and its helpers: exceptions become HRESULTs
// with error info, statements are formatted without escaping, and caller
// texts are read as the component reads them.
#include "platform/com/com_error.h"
#include "qmt/diag/exception.h"
#include "service/service_text.h"
#include "service/valmorin.h"
#include "service/service_text.h"
#include "support/admin.h"
#include "support/component.h"
#include "support/store.h"
#include "support/seams.h"

#include <gtest/gtest.h>

#include <functional>

using qmt::CException;
using qmt::CWinException;

namespace {

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override { SetErrorInfo(0, nullptr); }

    static std::pair<std::u16string, std::u16string> ErrorTexts()
    {
        IErrorInfo* raw = nullptr;
        if (GetErrorInfo(0, &raw) != S_OK) return {};
        _com_error holder(E_FAIL, raw);
        GUID guid{};
        raw->GetGUID(&guid);
        EXPECT_EQ(guid, IID_IValmorin);
        return {holder.Source(), holder.Description()};
    }
};

TEST_F(ReportTest, CodesBecomeHResults)
{
    EXPECT_EQ(CValmorin::ReportComError(CWinException(5)), MakeHResult(0x80040005));
    EXPECT_EQ(ErrorTexts(), std::make_pair(std::u16string(u"Windows"), std::u16string(u"Access is denied.\r\n")));
    EXPECT_EQ(CValmorin::ReportComError(CException(u"s", u"d", 0x80004005)), E_FAIL);
    EXPECT_EQ(ErrorTexts(), std::make_pair(std::u16string(u"s"), std::u16string(u"d")));
    EXPECT_EQ(CValmorin::ReportComError(CWinException(1011)), MakeHResult(0x800403F3));
    EXPECT_EQ(CValmorin::ReportComError(CException()), MakeHResult(0x80040000));
}

TEST_F(ReportTest, NoErrorObjectGivesSFalse)
{
    {
        const FailingErrorInfoCreation outOfMemory;
        EXPECT_EQ(CValmorin::ReportComError(CWinException(5)), S_FALSE);
    }
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

TEST(ServiceText, NullBstrIsEmptyAndCopyStopsAtNul)
{
    EXPECT_EQ(ServiceText::FromBstr(nullptr).str(), u"");
    BSTR withNul = SysAllocStringLen(u"ab\0cd", 5);
    EXPECT_EQ(ServiceText::FromBstr(withNul).str(), u"ab");
    SysFreeString(withNul);
    ServiceText text(u"abc");
    BSTR cached = text.bstr();
    EXPECT_EQ(cached, text.bstr());
    text += u"d";
    EXPECT_EQ(std::u16string_view(text.bstr()), u"abcd");
}

const std::u16string kWithNuls(u"ab\0cd\0", 6);

// The component reads its text arguments up to the first NUL, as C strings
// are read on the other side. Faults caught: FromBstr taking the whole
// length, or stopping one unit early or late.
TEST(BstrNuls, ArgumentsAreReadUpToTheirFirstNul)
{
    const CComBSTR withNul(kWithNuls);
    EXPECT_EQ(ServiceText::FromBstr(withNul.get()).str(), u"ab");
    EXPECT_EQ(ServiceText::FromBstr(nullptr).str(), u"");
    const CComBSTR leading(std::u16string(u"\0x", 2));
    EXPECT_EQ(ServiceText::FromBstr(leading.get()).str(), u"");

    TestStore store;
    store.Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'Currencies');"
              "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'EUR', 'Euro');");
    CComPtr<IValmorin> component = NewComponent(&store);
    BstrResult found;
    ASSERT_EQ(component->translate(CComBSTR(std::u16string(u"Currencies\0x", 12)).get(),
                                   CComBSTR(std::u16string(u"EUR\0USD", 7)).get(), &found),
              S_OK);
    EXPECT_EQ(found.text(), u"Euro");

    LONG added = 0;
    ASSERT_EQ(component->transadd(CComBSTR(u"Currencies").get(), CComBSTR(std::u16string(u"GBP\0x", 5)).get(),
                                  CComBSTR(std::u16string(u"Pound\0' OR 1=1", 14)).get(), &added),
              S_OK);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(store.Column("SELECT INPUT || '=' || OUTPUT FROM QM_VALMOR WHERE ID_TABLE = 1 ORDER BY INPUT"),
              (std::vector<std::u16string>{u"EUR=Euro", u"GBP=Pound"}));
}

} // namespace

namespace {

// The methods whose result says yes or no, called with arguments that are
// refused once the store is reached (an apostrophe, a missing table).
using TruthCall = std::function<HRESULT(IValmorin&, LONG*)>;
const std::pair<const char*, TruthCall> kTruthCalls[] = {
    {"transadd", [](IValmorin& v, LONG* r) { return v.transadd(Arg(u"T'"), Arg(u"k"), Arg(u"v"), r); }},
    {"transdel", [](IValmorin& v, LONG* r) { return v.transdel(Arg(u"T'"), Arg(u"k"), r); }},
    {"CorrespondanceExists", [](IValmorin& v, LONG* r) { return v.CorrespondanceExists(Arg(u"T'"), Arg(u"k"), r); }},
    {"TableFourEyesIsLastUser",
     [](IValmorin& v, LONG* r) { return v.TableFourEyesIsLastUser(Arg(u"u"), Arg(u"T'"), r); }},
    {"CorrespondanceFourEyesIsLastUser",
     [](IValmorin& v, LONG* r) { return v.CorrespondanceFourEyesIsLastUser(Arg(u"u"), Arg(u"T'"), Arg(u"k"), r); }},
};

// A yes-or-no result is never written as a success when the store cannot
// be reached (left as the caller had it, or 0 where the method clears it
// first), and is 0 when the call fails past that point.
// Fault caught: the result written (as success, or at all) when the
// connection ensure, the first step of the call, failed; a failure past it
// leaving the caller's value in place.
TEST(CallFrame, TruthResultsAreWrittenOnlyOnceTheStoreIsReached)
{
    const CComPtr<IValmorin> closed = NewComponent(); // no data source "NK" is configured here
    TestStore store;
    const CComPtr<IValmorin> open = NewComponent(&store);
    for (const auto& [name, call] : kTruthCalls) {
        SCOPED_TRACE(name);
        LONG untouched = 77;
        EXPECT_TRUE(FAILED(call(*closed.get(), &untouched)));
        EXPECT_TRUE(untouched == 77 || untouched == 0) << untouched;
        LONG refused = 77;
        const HRESULT hr = call(*open.get(), &refused);
        EXPECT_TRUE(FAILED(hr) || hr == S_OK) << std::hex << hr;
        EXPECT_EQ(refused, 0);
    }
}

} // namespace
