#include "platform/ado/ado.h"
#include "platform/com/com_error.h"
#include "support/registry_sandbox.h"
#include "valmorin/com/guid.h"
#include "platform/win32/sysinfo.h"
#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"

#include <gtest/gtest.h>

#include <thread>

#include <sys/wait.h>
#include <unistd.h>

TEST(Bstr, LengthPrefixKeepsEmbeddedNulsAndNullIsEmpty)
{
    const char16_t text[] = u"a\0b\U0001F600";
    BSTR bstr = SysAllocStringLen(text, 5);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), 5u);
    EXPECT_EQ(SysStringByteLen(bstr), 10u);
    EXPECT_EQ(bstr[5], u'\0');
    EXPECT_EQ(std::u16string_view(bstr, 5), std::u16string_view(text, 5));
    SysFreeString(bstr);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    SysFreeString(nullptr);
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
}

// Faults caught: a length prefix left as the old text's, a terminator not
// moved, a text taken from the string itself read after it was freed or
// overwritten, a longer text written into a block too small for it.
TEST(Bstr, ReallocatedTextsAreTheirNewTextWhetherShorterLongerOrTheirOwnPart)
{
    BSTR bstr = nullptr;
    ASSERT_TRUE(SysReAllocStringLen(&bstr, u"translate", 9));
    EXPECT_EQ(std::u16string_view(bstr, SysStringLen(bstr)), u"translate");
    ASSERT_TRUE(SysReAllocStringLen(&bstr, u"FR", 2));
    EXPECT_EQ(SysStringLen(bstr), 2u);
    EXPECT_EQ(bstr[2], u'\0');
    EXPECT_EQ(std::u16string_view(bstr, 2), u"FR");
    const std::u16string longer(4000, u'x');
    ASSERT_TRUE(SysReAllocStringLen(&bstr, longer.data(), static_cast<UINT>(longer.size())));
    EXPECT_EQ(std::u16string_view(bstr, SysStringLen(bstr)), longer);
    EXPECT_EQ(bstr[longer.size()], u'\0');
    ASSERT_TRUE(SysReAllocStringLen(&bstr, u"0123456789", 10));
    ASSERT_TRUE(SysReAllocStringLen(&bstr, bstr + 4, 3));
    EXPECT_EQ(std::u16string_view(bstr, SysStringLen(bstr)), u"456");
    BSTR small = SysAllocString(u"ab");
    ASSERT_TRUE(SysReAllocStringLen(&small, longer.data(), 100));
    ASSERT_TRUE(SysReAllocStringLen(&small, small + 90, 10)); // its own tail, from a block it outgrew
    EXPECT_EQ(std::u16string_view(small, SysStringLen(small)), std::u16string(10, u'x'));
    ASSERT_TRUE(SysReAllocStringLen(&bstr, u"", 0));
    EXPECT_EQ(SysStringLen(bstr), 0u);
    EXPECT_FALSE(SysReAllocStringLen(nullptr, u"a", 1));
    SysFreeString(bstr);
    SysFreeString(small);
}

TEST(Variant, ConversionsBetweenIntegersAndText)
{
    CComVariant text(u" 40000 ");
    CComVariant converted;
    EXPECT_EQ(VariantChangeType(&converted, &text, 0, VT_I4), S_OK);
    EXPECT_EQ(converted.vt, VT_I4);
    EXPECT_EQ(converted.lVal, 40000);
    EXPECT_EQ(VariantChangeType(&converted, &text, 0, VT_I2), DISP_E_OVERFLOW);

    CComVariant big(u"2147483648");
    EXPECT_EQ(VariantChangeType(&converted, &big, 0, VT_I4), DISP_E_OVERFLOW);
    CComVariant garbage(u"12a");
    EXPECT_EQ(VariantChangeType(&converted, &garbage, 0, VT_I4), DISP_E_TYPEMISMATCH);

    CComVariant number(LONG{-32768});
    EXPECT_EQ(VariantChangeType(&converted, &number, 0, VT_I2), S_OK);
    EXPECT_EQ(converted.iVal, -32768);
    EXPECT_EQ(VariantChangeType(&converted, &number, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string_view(converted.bstrVal), u"-32768");

    // in place, as callers convert a VARIANT into itself
    CComVariant inPlace(u"7");
    EXPECT_EQ(VariantChangeType(&inPlace, &inPlace, 0, VT_I4), S_OK);
    EXPECT_EQ(inPlace.vt, VT_I4);
    EXPECT_EQ(inPlace.lVal, 7);
}

TEST(Variant, CopiesOwnTheirStringsAndReferences)
{
    CComPtr<IDispatch> dispatch;
    ASSERT_EQ(
        CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, IDispatch::iid, reinterpret_cast<void**>(&dispatch)),
        S_OK);
    {
        CComVariant held(dispatch.get());
        CComVariant heldCopy(held);
        EXPECT_EQ(dispatch->AddRef(), 4u);
        dispatch->Release();
    }
    EXPECT_EQ(dispatch->AddRef(), 2u);
    dispatch->Release();

    CComVariant original(u"text");
    CComVariant copy(original);
    EXPECT_NE(copy.bstrVal, original.bstrVal);
    EXPECT_EQ(std::u16string_view(copy.bstrVal), u"text");

    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_BSTR;
    holder.bstrVal = SysAllocString(u"x");
    VariantClear(&holder);
    EXPECT_EQ(holder.vt, VT_EMPTY);

    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    const LONG index = 1;
    BSTR element = SysAllocString(u"second");
    EXPECT_EQ(SafeArrayPutElement(array, &index, element), S_OK);
    SysFreeString(element);
    VARIANT arrayVariant;
    arrayVariant.vt = VT_ARRAY | VT_BSTR;
    arrayVariant.parray = array;
    CComVariant arrayCopy;
    EXPECT_EQ(VariantCopy(&arrayCopy, &arrayVariant), S_OK);
    VariantClear(&arrayVariant);
    BSTR read = nullptr;
    EXPECT_EQ(SafeArrayGetElement(arrayCopy.parray, &index, &read), S_OK);
    EXPECT_EQ(std::u16string_view(read), u"second");
    SysFreeString(read);
    LONG upper = 0;
    EXPECT_EQ(SafeArrayGetUBound(arrayCopy.parray, 1, &upper), S_OK);
    EXPECT_EQ(upper, 1);
    const LONG outside = 2;
    EXPECT_EQ(SafeArrayGetElement(arrayCopy.parray, &outside, &read), DISP_E_BADINDEX);
}

TEST(Guid, TextFormRoundTrips)
{
    constexpr GUID iid = MakeGuid("A817E7A2-43FA-11D0-9E44-00AA00B6770A");
    EXPECT_EQ(GuidToString(iid), u"{A817E7A2-43FA-11D0-9E44-00AA00B6770A}");
    CLSID parsed;
    EXPECT_EQ(CLSIDFromString(u"{a817e7a2-43fa-11d0-9e44-00aa00b6770a}", &parsed), S_OK);
    EXPECT_EQ(parsed, iid);
    EXPECT_TRUE(FAILED(CLSIDFromString(u"A817E7A2-43FA-11D0-9E44-00AA00B6770A", &parsed)));
    EXPECT_EQ(parsed, GUID_NULL);
}

TEST(ErrorInfo, IsPerThreadAndTakenOnce)
{
    SetThreadErrorInfo(GUID_NULL, u"src", u"desc");
    std::thread other([] {
        IErrorInfo* info = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
        EXPECT_EQ(info, nullptr);
    });
    other.join();
    try {
        _com_issue_error(E_FAIL);
        FAIL();
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
        EXPECT_EQ(e.Source(), u"src");
        EXPECT_EQ(e.Description(), u"desc");
    }
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

// How the command, the server and Python describe a failed call. Faults
// caught: a failure without error information described as nothing (or by
// a code's system text with its line break); a source or description the
// call left replaced.
TEST(ErrorInfo, AFailureIsDescribedByWhatItLeftOrByItsCodesText)
{
    SetThreadErrorInfo(GUID_NULL, u"SQLite", u"near \"x\": syntax error\r\n", u"42000");
    const CallFailure left = Described(TakeCallFailure(DB_E_ERRORSINCOMMAND));
    EXPECT_EQ(left.source, u"SQLite");
    EXPECT_EQ(left.sqlState, u"42000");
    EXPECT_EQ(FailureText(left), "0x80040E14 SQLite: near \"x\": syntax error");

    const CallFailure bare = Described(TakeCallFailure(E_FAIL));
    EXPECT_EQ(bare.source, u"valmorin");
    EXPECT_FALSE(bare.description.empty());
    EXPECT_NE(bare.description.back(), u'\n');
    EXPECT_EQ(FailureText(bare), "0x80004005 valmorin: Unspecified error");
}

TEST(Apartment, FirstInitialisationOwnsIt)
{
    std::thread([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
    }).join();
}

namespace {

class ProgIdTest : public RegistrySandbox {
protected:
    static CLSID Clsid(const char16_t* text)
    {
        CLSID clsid = GUID_NULL;
        EXPECT_EQ(CLSIDFromString(text, &clsid), S_OK);
        return clsid;
    }
};

// A ProgID's CurVer leads to its current version only where that version
// names a class; otherwise the ProgID's own class answers. A loop of
// CurVer keys ends.
// Fault caught: activation following a CurVer whose target lacks a CLSID
// (CO_E_CLASSSTRING, or the target's absent class), instead of falling
// back to the ProgID's own.
TEST_F(ProgIdTest, CurVerIsFollowedOnlyToAVersionThatNamesAClass)
{
    const char16_t* own = u"{11111111-2222-3333-4444-555555555555}";
    const char16_t* current = u"{66666666-7777-8888-9999-AAAAAAAAAAAA}";
    SetText(HKEY_CLASSES_ROOT, u"Demo.Dangling\\CLSID", u"", own);
    SetText(HKEY_CLASSES_ROOT, u"Demo.Dangling\\CurVer", u"", u"Demo.Dangling.2");
    Create(HKEY_CLASSES_ROOT, u"Demo.Dangling.2");
    SetText(HKEY_CLASSES_ROOT, u"Demo.Versioned\\CLSID", u"", own);
    SetText(HKEY_CLASSES_ROOT, u"Demo.Versioned\\CurVer", u"", u"Demo.Versioned.3");
    SetText(HKEY_CLASSES_ROOT, u"Demo.Versioned.3\\CLSID", u"", current);
    SetText(HKEY_CLASSES_ROOT, u"Demo.Loop\\CLSID", u"", own);
    SetText(HKEY_CLASSES_ROOT, u"Demo.Loop\\CurVer", u"", u"Demo.Loop.1");
    SetText(HKEY_CLASSES_ROOT, u"Demo.Loop.1\\CLSID", u"", own);
    SetText(HKEY_CLASSES_ROOT, u"Demo.Loop.1\\CurVer", u"", u"Demo.Loop");

    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"Demo.Dangling", &clsid), S_OK);
    EXPECT_EQ(clsid, Clsid(own));
    EXPECT_EQ(CLSIDFromProgID(u"Demo.Versioned", &clsid), S_OK);
    EXPECT_EQ(clsid, Clsid(current));
    EXPECT_EQ(CLSIDFromProgID(u"Demo.Loop", &clsid), S_OK);
    EXPECT_EQ(clsid, Clsid(own));
    EXPECT_EQ(CLSIDFromProgID(u"Demo.Absent", &clsid), CO_E_CLASSSTRING);
}

} // namespace

// A cancellation marks the call of the thread that enabled it, and ends
// with the thread: a later thread of the same id starts unmarked.
// Faults caught: a mark left behind by a thread that ended, cancelling a
// call of another; a mark on a thread that never enabled cancellation.
TEST(CallCancellation, MarksBelongToTheThreadThatEnabledThem)
{
    EXPECT_EQ(CoCancelCall(GetCurrentThreadId(), 0), CO_E_CANCEL_DISABLED);
    EXPECT_EQ(CoTestCancel(), RPC_S_CALLPENDING);
    DWORD ended = 0;
    std::thread([&ended] {
        CoEnableCallCancellation(nullptr);
        ended = GetCurrentThreadId();
        CoCancelCall(ended, 0);
        EXPECT_EQ(CoTestCancel(), RPC_E_CALL_CANCELED);
    }).join();
    EXPECT_EQ(CoCancelCall(ended, 0), CO_E_CANCEL_DISABLED) << "the ended thread's entry was left behind";
    ASSERT_EQ(CoEnableCallCancellation(nullptr), S_OK);
    EXPECT_EQ(CoTestCancel(), RPC_S_CALLPENDING);
    EXPECT_EQ(CoDisableCallCancellation(nullptr), S_OK);
    EXPECT_EQ(CoDisableCallCancellation(nullptr), CO_E_CANCEL_DISABLED);
}

// A thread's id is each thread's own, and a child made by fork has its own.
// Faults caught: one id kept for the whole process; the forking thread's id
// answered in the child, so that the child's calls are taken for another
// process's thread (cancelled, or their marks mixed up).
TEST(CurrentThreadId, IsEachThreadsOwnAndTheChildsOwnAfterFork)
{
    const DWORD own = GetCurrentThreadId();
    EXPECT_EQ(own, static_cast<DWORD>(::gettid()));
    DWORD other = 0;
    std::thread([&other] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, own);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(GetCurrentThreadId() == static_cast<DWORD>(::getpid()) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child answered its parent's thread id";
}
