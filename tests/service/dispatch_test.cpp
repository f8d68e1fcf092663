#include "idl/ivalmorin_description.h"
#include "valmorin/com/typeinfo.h"
#include "support/component.h"

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
        EXPECT_EQ(m_dispatch->GetIDsOfNames(GUID_NULL, &text, 1, 0, &id), S_OK)
            << std::string(name.begin(), name.end());
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
        call.hr =
            m_dispatch->Invoke(id, GUID_NULL, 0, DISPATCH_METHOD, &params, &call.result, &call.excepInfo, &argErr);
    }

    TestStore m_store;
    CComPtr<IValmorin> m_component = NewComponent(&m_store);
    CComPtr<IDispatch> m_dispatch;
};

TEST_F(DispatchTest, EveryMethodOfTheDescriptionHasItsIdentifierWhateverTheCase)
{
    EXPECT_EQ(idl::kIValmorinDescription.methods.size(), 27u); // published: dispatch identifiers 1 to 27
    for (const idl::Method& method : idl::kIValmorin3Description.methods) {
        std::u16string name(method.name);
        EXPECT_EQ(IdOf(name), method.id);
        for (char16_t& c : name) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
        EXPECT_EQ(IdOf(name), method.id);
    }
    DISPID id = 0;
    auto* unknown = const_cast<LPOLESTR>(u"transmogrify");
    EXPECT_EQ(m_dispatch->GetIDsOfNames(GUID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(DispatchTest, TypeInformationDescribesEveryMethodAsTheDescriptionDoes)
{
    UINT count = 0;
    EXPECT_EQ(m_dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(m_dispatch->GetTypeInfoCount(nullptr), E_POINTER);
    CComPtr<ITypeInfo> info;
    EXPECT_EQ(m_dispatch->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
    EXPECT_EQ(m_dispatch->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ASSERT_EQ(m_dispatch->GetTypeInfo(0, 0, &info), S_OK);

    // The class's IDispatch describes IValmorin3, whose first methods are
    // IValmorin's, then IValmorin2's, unchanged.
    const auto& methods = idl::kIValmorin3Description.methods;
    const auto& published = idl::kIValmorinDescription.methods;
    ASSERT_EQ(methods.size(), published.size() + 7 + 11);
    for (std::size_t i = 0; i < published.size(); ++i) {
        EXPECT_EQ(methods[i].id, published[i].id);
        EXPECT_EQ(methods[i].name, published[i].name);
        EXPECT_EQ(methods[i].parameters.data(), published[i].parameters.data());
    }
    const auto& second = idl::kIValmorin2Description.methods;
    for (std::size_t i = 0; i < second.size(); ++i) {
        EXPECT_EQ(methods[i].id, second[i].id);
        EXPECT_EQ(methods[i].name, second[i].name);
    }
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IValmorin3);
    EXPECT_EQ(attr->cFuncs, methods.size());
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 3);
    info->ReleaseTypeAttr(attr);

    constexpr USHORT kFlags[] = {PARAMFLAG_FIN, PARAMFLAG_FOUT, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}; // by Direction
    for (UINT index = 0; index < methods.size(); ++index) {
        const idl::Method& method = methods[index];
        SCOPED_TRACE(std::string(method.name.begin(), method.name.end()));
        FUNCDESC* desc = nullptr;
        ASSERT_EQ(info->GetFuncDesc(index, &desc), S_OK);
        EXPECT_EQ(desc->memid, method.id);
        ASSERT_EQ(static_cast<std::size_t>(desc->cParams), method.parameters.size());
        std::vector<BSTR> names(method.parameters.size() + 2, nullptr);
        UINT got = 0;
        ASSERT_EQ(info->GetNames(method.id, names.data(), static_cast<UINT>(names.size()), &got), S_OK);
        std::vector<CComBSTR> owned(got);
        for (UINT i = 0; i < got; ++i) owned[i].Attach(names[i]);
        ASSERT_EQ(got, method.parameters.size() + 1);
        EXPECT_EQ(owned[0].view(), method.name);
        for (std::size_t p = 0; p < method.parameters.size(); ++p) {
            EXPECT_EQ(owned[p + 1].view(), method.parameters[p].name);
            EXPECT_EQ(desc->paramFlags[p], kFlags[static_cast<int>(method.parameters[p].direction)]);
        }
        info->ReleaseFuncDesc(desc);
        CComBSTR help;
        EXPECT_EQ(info->GetDocumentation(method.id, nullptr, &help, nullptr, nullptr), S_OK);
        EXPECT_EQ(help.view(), method.help);
    }
    FUNCDESC* beyond = nullptr;
    EXPECT_EQ(info->GetFuncDesc(static_cast<UINT>(methods.size()), &beyond), DISP_E_BADINDEX);
    CComBSTR name;
    EXPECT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), u"IValmorin3");
    EXPECT_EQ(info->GetDocumentation(static_cast<MEMBERID>(methods.size() + 1), &name, nullptr, nullptr, nullptr),
              TYPE_E_ELEMENTNOTFOUND);
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

    Invocation page; // LONG parameters take numbers written as text, and refuse other text
    Invoke(page, 33, {CComVariant(u"T"), CComVariant(u""), CComVariant(u"1"), CComVariant(LONG{0})});
    EXPECT_EQ(page.hr, S_OK);
    ASSERT_EQ(page.result.vt, VT_BSTR);
    EXPECT_NE(std::u16string_view(page.result.bstrVal).find(u"\"offset\":1,"), std::u16string_view::npos);
    Invocation notANumber;
    Invoke(notANumber, 33, {CComVariant(u"T"), CComVariant(u""), CComVariant(u"one"), CComVariant(LONG{0})});
    EXPECT_EQ(notANumber.hr, DISP_E_TYPEMISMATCH);

    Invocation components; // two [out] arrays and no result: each gets a place of its own, released after the call
    Invoke(components, 4, {});
    EXPECT_EQ(components.hr, S_OK);
    EXPECT_EQ(components.result.vt, VT_EMPTY);
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
    Invoke(noSuchMember, 46, {});
    EXPECT_EQ(noSuchMember.hr, DISP_E_MEMBERNOTFOUND);
}

} // namespace
