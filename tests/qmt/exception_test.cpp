// The exception family: each kind takes its texts from the system, from the
// thread's error info or from a COM error object, and logs where it arises.
#include "platform/com/com_error.h"
#include "platform/win32/kernel.h"
#include "qmt/diag/exception.h"
#include "qmt/diag/format.h"
#include "qmt/diag/trace.h"
#include "support/memory_log.h"

#include <gtest/gtest.h>

using qmt::CComException;
using qmt::CException;
using qmt::CWinException;
using qmt::LogLevel;

namespace {

class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override { SetErrorInfo(0, nullptr); }
    std::vector<std::u16string> Messages() const
    {
        std::vector<std::u16string> messages;
        for (const auto& record : m_log.records()) messages.push_back(record.message);
        return messages;
    }

    MemoryLog m_log;
};

TEST_F(LoggedTest, WindowsErrorsTakeTheSystemText)
{
    SetLastError(2);
    const CWinException last(0);
    EXPECT_EQ(last.code, 2u);
    EXPECT_EQ(last.source, u"Windows");
    EXPECT_EQ(last.description, u"The system cannot find the file specified.\r\n");
    EXPECT_EQ(Messages(),
              std::vector<std::u16string>{u"Windows error (2): The system cannot find the file specified.\r\n"});

    m_log.Clear();
    const CWinException quiet(5, false);
    EXPECT_EQ(quiet.description, u"Access is denied.\r\n");
    EXPECT_TRUE(Messages().empty());

    const CWinException unknown(54321);
    EXPECT_EQ(unknown.code, 54321u);
    EXPECT_EQ(unknown.source, u"?");
    EXPECT_EQ(unknown.description, u"Unexpected error");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(LoggedTest, HResultsBelowTheInterfaceRangeUseSystemTexts)
{
    const CComException e(E_FAIL);
    EXPECT_EQ(e.source, u"Windows");
    EXPECT_EQ(e.description, u"Windows (80004005):Unspecified error\r\n");
    EXPECT_EQ(Messages(), (std::vector<std::u16string>{u"_com_error:80004005",
                                                       u"Windows Windows (80004005):Unspecified error\r\n"}));

    m_log.Clear();
    const CComException noText(MakeHResult(0x80001234));
    EXPECT_EQ(noText.source, u"_com_error");
    EXPECT_EQ(noText.description, u"Error:80001234");
    EXPECT_EQ(Messages().back(), u"_com_error Error:80001234 (80001234)");
}

TEST_F(LoggedTest, HResultsAboveTakeTheThreadErrorInfo)
{
    const CComException bare(MakeHResult(0x800A0E7D));
    EXPECT_EQ(bare.source, u"_com_error");
    EXPECT_EQ(bare.description, u"Error:800a0e7d");

    SetThreadErrorInfo(GUID_NULL, u"Provider", u"it went wrong");
    const CComException described(MakeHResult(0x80040E14));
    EXPECT_EQ(described.source, u"Provider");
    EXPECT_EQ(described.description, u"it went wrong");
    IErrorInfo* left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE); // taken by the exception
}

TEST_F(LoggedTest, ComErrorObjectsWithEmptyDescriptionsFallBack)
{
    SetThreadErrorInfo(GUID_NULL, u"Somewhere", u"");
    IErrorInfo* info = nullptr;
    GetErrorInfo(0, &info);
    const CComException empty(_com_error(E_POINTER, info));
    EXPECT_EQ(empty.source, u"_com_error");
    EXPECT_EQ(empty.description, u"Error:80004003");
    EXPECT_EQ(Messages().back(), u"_com_error Error:80004003 (80004003)");
}

// The last HRESULT of the system's range (0x800401FF) takes no error info;
// the first of the interfaces' range (0x80040200) takes it.
// Fault caught: a range boundary off by one, at either end.
TEST_F(LoggedTest, TheInterfaceRangeStartsRightAfterTheSystemsLastCode)
{
    SetThreadErrorInfo(GUID_NULL, u"Provider", u"its own words");
    const CComException lastOfTheSystem(MakeHResult(0x800401FF));
    EXPECT_NE(lastOfTheSystem.description, u"its own words");
    IErrorInfo* left = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &left), S_OK) << "the system's range took the thread's error info";
    SetErrorInfo(0, left);
    left->Release();
    const CComException firstOfTheInterfaces(MakeHResult(0x80040200));
    EXPECT_EQ(firstOfTheInterfaces.source, u"Provider");
    EXPECT_EQ(firstOfTheInterfaces.description, u"its own words");
}

// A buffer of n characters holds n - 1 and the terminating NUL.
// Fault caught: a text exactly as long as its buffer left whole.
TEST(FitToBuffer, ATextAsLongAsItsBufferIsCut)
{
    EXPECT_EQ(qmt::FitToBuffer(u"abcd", 5), u"abcd");
    EXPECT_EQ(qmt::FitToBuffer(u"abcde", 5), u"abcd");
    EXPECT_EQ(qmt::FitToBuffer(u"abcdef", 5), u"abcd");
    EXPECT_EQ(qmt::FitToBuffer(u"", 1), u"");
    EXPECT_EQ(qmt::FitToBuffer(u"x", 0), u"");
}

} // namespace
