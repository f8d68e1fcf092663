#include "valmorin/com/runtime.h"
#include "qmt/sys/com_library.h"
#include "qmt/sys/computer_name_cache.h"
#include "qmt/sys/system.h"
#include "support/memory_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <stdexcept>
#include <thread>

#include <unistd.h>

using qmt::CSystem;

namespace {

TEST(AccountName, OnlyThisComputersPrefixIsDropped)
{
    EXPECT_EQ(CSystem::accountNameOn(u"MYPC\\bob", u"MYPC"), u"bob");
    EXPECT_EQ(CSystem::accountNameOn(u"mypc\\bob", u"MYPC"), u"bob");
    EXPECT_EQ(CSystem::accountNameOn(u"MyPc\\bob", u"mYpC"), u"bob");
    EXPECT_EQ(CSystem::accountNameOn(u"CORP\\bob", u"MYPC"), u"CORP\\bob");
    EXPECT_EQ(CSystem::accountNameOn(u"MYPC2\\bob", u"MYPC"), u"MYPC2\\bob");
    EXPECT_EQ(CSystem::accountNameOn(u"bob", u"MYPC"), u"bob");
    EXPECT_EQ(CSystem::accountNameOn(u"MYPC\\dom\\bob", u"MYPC"), u"dom\\bob");
}

TEST(AccountName, ProcessNamesAgree)
{
    const MemoryLog log;
    const std::u16string user = CSystem::userName();
    const std::u16string domain = CSystem::domainName();
    const std::u16string computer = CSystem::computerName();
    ASSERT_FALSE(user.empty());
    ASSERT_FALSE(domain.empty());
    EXPECT_TRUE(!computer.empty() && computer.size() <= 15);
    EXPECT_EQ(computer.find(u'.'), std::u16string::npos);
    if (geteuid() == 0) {
        EXPECT_EQ(user, u"SYSTEM");
    }
    EXPECT_EQ(CSystem::accountName(), CSystem::accountNameOn(domain + u"\\" + user, computer));
    // The first computer-name read adds the registry's own records.
    const std::vector<LogRecord>& records = log.records();
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [&](const LogRecord& record) { return record.message == u"Domain :" + domain; }),
              1);
}

TEST(ComputerNameCache, TwoThreadsAskingTogetherReadOnce)
{
    std::atomic<int> reads = 0;
    qmt::CComputerNameCache cache([&reads] {
        ++reads;
        // Long enough for the other thread to arrive while the read runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return std::u16string(u"MYPC");
    });
    std::latch start(2);
    std::u16string first;
    std::u16string second;
    std::thread a([&] {
        start.arrive_and_wait();
        first = cache.get();
    });
    std::thread b([&] {
        start.arrive_and_wait();
        second = cache.get();
    });
    a.join();
    b.join();
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(first, u"MYPC");
    EXPECT_EQ(second, u"MYPC");
    EXPECT_EQ(cache.get(), u"MYPC");
    EXPECT_EQ(reads, 1);
}

TEST(ComputerNameCache, FailedReadIsTriedAgain)
{
    int reads = 0;
    qmt::CComputerNameCache cache([&reads] {
        if (++reads == 1) throw std::runtime_error("registry unavailable");
        return std::u16string(u"MYPC");
    });
    EXPECT_THROW(cache.get(), std::runtime_error);
    EXPECT_EQ(cache.get(), u"MYPC");
    EXPECT_EQ(reads, 2);
}

TEST(ComLibrary, LeavesTheThreadsComStateAsFound)
{
    std::thread([] {
        {
            const qmt::CComLibrary first(COINIT_MULTITHREADED);
            EXPECT_EQ(first.result(), S_OK);
        }
        // The guard that initialised COM uninitialised it.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            const qmt::CComLibrary nested(COINIT_MULTITHREADED);
            EXPECT_EQ(nested.result(), S_FALSE);
        }
        CoUninitialize();
        // Back to no initialisation at all: the nested guard balanced its S_FALSE.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
}

} // namespace
