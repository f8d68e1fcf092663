// Automation values at their edges: VARIANT_BOOL's true is -1, narrowing
// fails rather than wraps, and a BSTR's length is its prefix, not its first
// NUL, except where the component reads an argument as text.
#include "platform/ado/ado.h"
#include "valmorin/com/runtime.h"
#include "support/ado_connection.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

CComVariant Bool(VARIANT_BOOL value)
{
    CComVariant v;
    v.vt = VT_BOOL;
    v.boolVal = value;
    return v;
}

CComVariant Short(SHORT value)
{
    CComVariant v;
    v.vt = VT_I2;
    v.iVal = value;
    return v;
}

struct Narrowing {
    const char* label;
    CComVariant source;
    VARTYPE to;
    HRESULT hr;
    LONG value; // when it succeeds
};

// Faults caught: a bound compared with < for <= (or the other way), the
// value narrowed by a cast that wraps, text parsed into a 32-bit integer
// that wraps before the range test, true converted as 1.
TEST(VariantLimits, NarrowingFailsWithOverflowInsteadOfWrapping)
{
    const std::vector<Narrowing> cases = {
        {"I4 32767 to I2", CComVariant(LONG{32767}), VT_I2, S_OK, 32767},
        {"I4 32768 to I2", CComVariant(LONG{32768}), VT_I2, DISP_E_OVERFLOW, 0},
        {"I4 -32768 to I2", CComVariant(LONG{-32768}), VT_I2, S_OK, -32768},
        {"I4 -32769 to I2", CComVariant(LONG{-32769}), VT_I2, DISP_E_OVERFLOW, 0},
        {"I4 65536 to I2", CComVariant(LONG{65536}), VT_I2, DISP_E_OVERFLOW, 0},
        {"I4 max to I2", CComVariant(LONG{INT_MAX}), VT_I2, DISP_E_OVERFLOW, 0},
        {"text 32767 to I2", CComVariant(u"32767"), VT_I2, S_OK, 32767},
        {"text 32768 to I2", CComVariant(u"32768"), VT_I2, DISP_E_OVERFLOW, 0},
        {"text -32769 to I2", CComVariant(u"-32769"), VT_I2, DISP_E_OVERFLOW, 0},
        {"text 2147483647 to I4", CComVariant(u"2147483647"), VT_I4, S_OK, INT_MAX},
        {"text 2147483648 to I4", CComVariant(u"2147483648"), VT_I4, DISP_E_OVERFLOW, 0},
        {"text -2147483648 to I4", CComVariant(u"-2147483648"), VT_I4, S_OK, INT_MIN},
        {"text -2147483649 to I4", CComVariant(u"-2147483649"), VT_I4, DISP_E_OVERFLOW, 0},
        {"text 4294967296 to I4", CComVariant(u"4294967296"), VT_I4, DISP_E_OVERFLOW, 0},
        {"text 2^64 to I4", CComVariant(u"18446744073709551616"), VT_I4, DISP_E_OVERFLOW, 0},
        {"I2 -1 to I4", Short(-1), VT_I4, S_OK, -1},
        {"true to I4", Bool(VARIANT_TRUE), VT_I4, S_OK, -1},
        {"true to I2", Bool(VARIANT_TRUE), VT_I2, S_OK, -1},
        {"false to I4", Bool(VARIANT_FALSE), VT_I4, S_OK, 0},
    };
    for (const Narrowing& c : cases) {
        CComVariant converted;
        const HRESULT hr = VariantChangeType(&converted, &c.source, 0, c.to);
        EXPECT_EQ(hr, c.hr) << c.label;
        if (FAILED(hr)) {
            EXPECT_EQ(converted.vt, VT_EMPTY) << c.label << ": a failed conversion leaves nothing";
            continue;
        }
        EXPECT_EQ(converted.vt, c.to) << c.label;
        EXPECT_EQ(c.to == VT_I2 ? LONG{converted.iVal} : converted.lVal, c.value) << c.label;
    }
}

// Fault caught: true stored as 1, which a caller comparing with
// VARIANT_TRUE (VBScript's "= True") takes for false.
TEST(VariantBool, TrueIsMinusOneWhereverItIsMade)
{
    for (const LONG number : {1, -1, 2, 65536, INT_MIN}) {
        CComVariant source(number), converted;
        ASSERT_EQ(VariantChangeType(&converted, &source, 0, VT_BOOL), S_OK) << number;
        EXPECT_EQ(converted.vt, VT_BOOL);
        EXPECT_EQ(converted.boolVal, VARIANT_TRUE) << number;
    }
    CComVariant zero(LONG{0}), converted;
    ASSERT_EQ(VariantChangeType(&converted, &zero, 0, VT_BOOL), S_OK);
    EXPECT_EQ(converted.boolVal, VARIANT_FALSE);

    // As text, a boolean is the number unless the words are asked for: a
    // script's True given for a text argument of IDispatch::Invoke arrives
    // as "-1" (fault caught: the words whatever the flags).
    struct AsText {
        VARIANT_BOOL value;
        USHORT flags;
        const char16_t* text;
    };
    for (const AsText& c :
         {AsText{VARIANT_TRUE, 0, u"-1"}, AsText{VARIANT_FALSE, 0, u"0"},
          AsText{VARIANT_TRUE, VARIANT_ALPHABOOL, u"True"}, AsText{VARIANT_FALSE, VARIANT_ALPHABOOL, u"False"}}) {
        CComVariant source = Bool(c.value), text;
        ASSERT_EQ(VariantChangeType(&text, &source, c.flags, VT_BSTR), S_OK);
        ASSERT_EQ(text.vt, VT_BSTR);
        EXPECT_EQ(std::u16string_view(text.bstrVal), c.text) << c.value << " flags " << c.flags;
    }

    // A recordset's end and beginning.
    TempDir dir;
    CreateSqliteFile(dir / "r.db", "CREATE TABLE R (ID INTEGER); INSERT INTO R VALUES (1);");
    const AdoConnection connection(SqliteConnectionString(dir / "r.db"));
    CComPtr<_Recordset> recordset;
    ASSERT_EQ(
        CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL, _Recordset::iid, reinterpret_cast<void**>(&recordset)),
        S_OK);
    CComVariant source(u"SELECT ID FROM R WHERE ID > 1");
    CComVariant active = connection.Active();
    ASSERT_EQ(recordset->Open(source, active, -1, -1, -1), S_OK);
    VARIANT_BOOL eof = 0, bof = 0;
    ASSERT_EQ(recordset->get_EOF(&eof), S_OK);
    ASSERT_EQ(recordset->get_BOF(&bof), S_OK);
    EXPECT_EQ(eof, VARIANT_TRUE);
    EXPECT_EQ(bof, VARIANT_TRUE);
    recordset->Close();

    CComVariant rows(u"SELECT ID FROM R");
    ASSERT_EQ(recordset->Open(rows, active, -1, -1, -1), S_OK);
    ASSERT_EQ(recordset->get_EOF(&eof), S_OK);
    EXPECT_EQ(eof, VARIANT_FALSE);
    ASSERT_EQ(recordset->MoveNext(), S_OK);
    ASSERT_EQ(recordset->get_EOF(&eof), S_OK);
    EXPECT_EQ(eof, VARIANT_TRUE);
    recordset->Close();
}

const std::u16string kWithNuls(u"ab\0cd\0", 6);

// Faults caught: a copy made with SysAllocString (or any NUL-terminated
// copy) where the length must be kept.
TEST(BstrNuls, CopiesKeepTheLengthPastEmbeddedNuls)
{
    BSTR raw = SysAllocStringLen(kWithNuls.data(), static_cast<UINT>(kWithNuls.size()));
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(SysStringLen(raw), 6u);
    EXPECT_EQ(SysStringByteLen(raw), 12u);
    SysFreeString(raw);

    const CComBSTR held(kWithNuls);
    EXPECT_EQ(held.view(), kWithNuls);
    const CComBSTR copied(held);
    EXPECT_EQ(copied.view(), kWithNuls);

    BSTR out = nullptr;
    ASSERT_EQ(CopyToBstr(kWithNuls, &out), S_OK);
    EXPECT_EQ(std::u16string_view(out, SysStringLen(out)), kWithNuls);
    SysFreeString(out);

    CComVariant text(kWithNuls);
    CComVariant copy(text);
    ASSERT_EQ(copy.vt, VT_BSTR);
    EXPECT_EQ(std::u16string_view(copy.bstrVal, SysStringLen(copy.bstrVal)), kWithNuls);
    CComVariant assigned;
    assigned = text;
    EXPECT_EQ(std::u16string_view(assigned.bstrVal, SysStringLen(assigned.bstrVal)), kWithNuls);
}

} // namespace
