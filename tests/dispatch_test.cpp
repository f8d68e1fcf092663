#include "platform/com/typeinfo.h"
#include "support/store.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Invocation {
    HRESULT hr;
    CComVariant result;
    EXCEPINFO excepInfo;
    ~Invocation()
    {
        SysFreeString(excepInfo.bstrSource);
        SysFreeString(excepInfo.bstrDescription);
        SysFreeString(excepInfo.bstrHelpFile);
    }
};

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_store.Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'T');"
                    "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, '5', 'five'), (1, '', 'empty');");
        m_component.QueryInterface(m_dispatch);
    }

    DISPID IdOf(const std::u16string& name)
    {
        DISPID id = DISPID_UNKNOWN;
        auto* text = const_cast<LPOLESTR>(name.c_str());
        EXPECT_EQ(m_dispatch->GetIDsOfNames(GUID_NULL, &text, 1, 0, &id), S_OK) << std::string(name.begin(), name.end());
        return id;
    }

    // Arguments are given first to last.
    void Invoke(Invocation& call, DISPID id, std::vector<CComVariant> arguments)
    {
        std::reverse(arguments.begin(), arguments.end());
        DISPPARAMS params;
        params.rgvarg = arguments.empty() ? nullptr : arguments.data();
        params.cArgs = static_cast<UINT>(arguments.size());
        UINT argErr = 0;
        call.hr = m_dispatch->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, &call.result, &call.excepInfo, &argErr);
    }

    TestStore m_store;
    CComPtr<IValmorin> m_component = NewComponent(&m_store);
    CComPtr<IDispatch> m_dispatch;
};

TEST_F(DispatchTest, EveryMethodHasItsIdentifierWhateverTheCase)
{
    const char16_t* names[] = {u"Attach", u"RegisterAll", u"UnregisterAll", u"GetComponents", u"RegisterComponent",
                               u"UnregisterComponent", u"transadd", u"transdel", u"translate", u"transmatch",
                               u"transIdent", u"transDayIdent", u"Open", u"TableList", u"TableDelete", u"TableCreate",
                               u"TableUpdate", u"TableColumns", u"TableExists", u"CorrespondanceList",
                               u"CorrespondanceDelete", u"CorrespondanceCreate", u"CorrespondanceUpdate",
                               u"CorrespondanceExists", u"TableFourEyesIsLastUser",
                               u"CorrespondanceFourEyesIsLastUser", u"TableDescription"};
    for (DISPID expected = 1; expected <= 27; ++expected) {
        std::u16string name = names[expected - 1];
        EXPECT_EQ(IdOf(name), expected);
        for (char16_t& c : name) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
        EXPECT_EQ(IdOf(name), expected);
    }
    DISPID id = 0;
    auto* unknown = const_cast<LPOLESTR>(u"transmogrify");
    EXPECT_EQ(m_dispatch->GetIDsOfNames(GUID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(DispatchTest, TypeInformationDescribesTheInterface)
{
    UINT count = 0;
    EXPECT_EQ(m_dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(m_dispatch->GetTypeInfoCount(nullptr), E_POINTER);
    CComPtr<ITypeInfo> info;
    EXPECT_EQ(m_dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(m_dispatch->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ASSERT_EQ(m_dispatch->GetTypeInfo(0, 0, &info), S_OK);

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IValmorin);
    EXPECT_EQ(attr->cFuncs, 27);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 3);
    info->ReleaseTypeAttr(attr);

    BSTR names[6] = {};
    UINT got = 0;
    ASSERT_EQ(info->GetNames(7, names, 6, &got), S_OK);
    ASSERT_EQ(got, 5u);
    const char16_t* expected[] = {u"transadd", u"tableName", u"ValueIn", u"ValueOut", u"bRetVal"};
    for (UINT i = 0; i < got; ++i) {
        EXPECT_EQ(std::u16string_view(names[i]), expected[i]);
        SysFreeString(names[i]);
    }
    FUNCDESC* desc = nullptr;
    ASSERT_EQ(info->GetFuncDesc(6, &desc), S_OK);
    EXPECT_EQ(desc->memid, 7);
    EXPECT_EQ(desc->cParams, 4);
    EXPECT_TRUE(desc->paramFlags[3] & PARAMFLAG_FRETVAL);
    info->ReleaseFuncDesc(desc);
}

TEST_F(DispatchTest, InvokeConvertsArgumentsAndPassesTheResultBack)
{
    Invocation found;
    Invoke(found, 9, {CComVariant(u"T"), CComVariant(LONG{5})}); // a number is turned into text
    EXPECT_EQ(found.hr, S_OK);
    ASSERT_EQ(found.result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string_view(found.result.bstrVal), u"five");

    CComVariant null;
    null.vt = VT_NULL;
    CComVariant missing;
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    Invocation nulls;
    Invoke(nulls, 9, {CComVariant(u"T"), null});
    EXPECT_EQ(std::u16string_view(nulls.result.bstrVal), u"empty");
    Invocation omitted;
    Invoke(omitted, 9, {CComVariant(u"T"), missing});
    EXPECT_EQ(std::u16string_view(omitted.result.bstrVal), u"empty");

    Invocation unwritten; // transmatch writes no result
    Invoke(unwritten, 10, {CComVariant(u"T"), CComVariant(u"5")});
    EXPECT_EQ(unwritten.hr, S_OK);
    EXPECT_EQ(unwritten.result.vt, VT_EMPTY);

    Invocation attach;
    Invoke(attach, 1, {CComVariant(u"anything")});
    EXPECT_EQ(attach.hr, S_OK);
}

TEST_F(DispatchTest, FailuresComeBackThroughExcepInfo)
{
    Invocation refused;
    Invoke(refused, 9, {CComVariant(u"T"), CComVariant(u"it's")});
    EXPECT_EQ(refused.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(refused.excepInfo.scode, MakeHResult(0x80040E14));
    EXPECT_EQ(std::u16string_view(refused.excepInfo.bstrSource), u"SQLite");
    EXPECT_NE(std::u16string_view(refused.excepInfo.bstrDescription).find(u"ValueIn"), std::u16string_view::npos);

    Invocation wrongCount;
    Invoke(wrongCount, 9, {CComVariant(u"T")});
    EXPECT_EQ(wrongCount.hr, DISP_E_BADPARAMCOUNT);
    Invocation noSuchMember;
    Invoke(noSuchMember, 28, {});
    EXPECT_EQ(noSuchMember.hr, DISP_E_MEMBERNOTFOUND);
}

} // namespace
