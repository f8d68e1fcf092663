// A component object on a test store, the fixture of the tests run on each
// store, and an owner of a BSTR result.
#pragma once

#include "service/ivalmorin.h"
#include "support/store.h"

// A new component object; Open-ed on the store when one is given.
CComPtr<IValmorin> NewComponent(const TestStore* store = nullptr);

// The fixture of the tests run on each store: a fresh store of the kind
// and a component open on it. A derived SetUp calls this one first and
// returns when IsSkipped().
class StoreTest : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STORE(GetParam());
        m_store.emplace(GetParam());
        m_component = NewComponent(&*m_store);
    }

    std::optional<TestStore> m_store;
    CComPtr<IValmorin> m_component;
};

// Owns a BSTR result: starts as null, freed at the end of the scope.
struct BstrResult {
    BSTR value = nullptr;
    ~BstrResult() { SysFreeString(value); }
    // An out argument: what a call before left is released, so that one
    // result may be passed to several calls.
    BSTR* operator&()
    {
        SysFreeString(value);
        value = nullptr;
        return &value;
    }
    std::u16string text() const { return value ? std::u16string(value, SysStringLen(value)) : u"<NULL>"; }
};
