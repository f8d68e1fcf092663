#include "platform/text/utf.h"
#include "platform/win32/kernel.h"
#include "platform/win32/synch.h"
#include "qmt/sys/mutex.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

namespace {

// One end of a pipe pair between the test and a forked process; one byte
// per step.
class Channel {
public:
    Channel(int in, int out) : m_in(in), m_out(out) {}
    void Send(char c) const { (void)!write(m_out, &c, 1); }
    char Receive() const
    {
        char c = '\0';
        return read(m_in, &c, 1) == 1 ? c : '\0';
    }

private:
    int m_in;
    int m_out;
};

// Runs body in a forked process that ends when body returns; killed and
// reaped when the object goes, if it is still running.
class ChildProcess {
public:
    explicit ChildProcess(const std::function<void(const Channel&)>& body)
    {
        int toChild[2];
        int toParent[2];
        if (pipe(toChild) != 0 || pipe(toParent) != 0) throw std::runtime_error("pipe");
        m_pid = fork();
        if (m_pid == 0) {
            body(Channel(toChild[0], toParent[1]));
            _exit(0);
        }
        close(toChild[0]);
        close(toParent[1]);
        m_in = toParent[0];
        m_out = toChild[1];
    }
    ~ChildProcess()
    {
        Kill();
        close(m_in);
        close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    Channel channel() const { return Channel(m_in, m_out); }
    void Kill()
    {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
};

class NamedMutexTest : public ::testing::Test {
protected:
    // Unique per process and test, with a slash to be carried in the name.
    const std::u16string m_name =
        valmorin::text::Widen("MYPC35E21C86739F4027BF5935532FF39980/" + std::to_string(getpid()) + "." +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
};

// Another process takes the mutex and is killed while it holds it.
void KillWhileHolding(const std::u16string& name)
{
    ChildProcess holder([&name](const Channel& parent) {
        CMutex mutex(name, true, 0);
        parent.Send(mutex.Lock(0) ? 'L' : '?');
        parent.Receive();
    });
    ASSERT_EQ(holder.channel().Receive(), 'L');
    holder.Kill();
}

TEST_F(NamedMutexTest, ExcludesAnotherProcessUntilReleased)
{
    ChildProcess child([this](const Channel& parent) {
        CMutex mutex(m_name, true, 0);
        parent.Send('L');
        parent.Receive();
        parent.Send(mutex.Unlock() ? 'U' : '?');
        parent.Receive();
        CMutex again(m_name, false, 0);
        parent.Send(again.Lock(50) ? 'L' : 'T');
        parent.Receive();
    });
    const Channel channel = child.channel();
    ASSERT_EQ(channel.Receive(), 'L');

    CMutex mine(m_name, false, 0);
    EXPECT_FALSE(mine.Lock(0));
    EXPECT_FALSE(mine.Lock(100));
    channel.Send('r');
    ASSERT_EQ(channel.Receive(), 'U');
    EXPECT_TRUE(mine.Lock(0));
    channel.Send('t');
    EXPECT_EQ(channel.Receive(), 'T');
    EXPECT_TRUE(mine.Unlock());
}

TEST_F(NamedMutexTest, LockOfAnOwnerKilledWhileHoldingItIsTakenOver)
{
    KillWhileHolding(m_name);
    CMutex mine(m_name, false, 0);
    EXPECT_TRUE(mine.Lock(1000));
    EXPECT_TRUE(mine.Unlock());

    KillWhileHolding(m_name);
    HANDLE handle = CreateMutexW(nullptr, FALSE, m_name.c_str());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForSingleObject(handle, 1000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(handle));
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(handle));
    CloseHandle(handle);
}

TEST_F(NamedMutexTest, LockBelongsToTheThreadThatTookIt)
{
    CMutex mine(m_name, true, 0);
    ASSERT_TRUE(mine.Lock(0));
    // The owning thread may take it again through another object.
    CMutex nested(m_name, true, 0);
    EXPECT_TRUE(nested.Lock(0));

    std::thread([this] {
        CMutex other(m_name, false, 0);
        EXPECT_FALSE(other.Lock(0));
        HANDLE handle = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, m_name.c_str());
        EXPECT_FALSE(ReleaseMutex(handle));
        CloseHandle(handle);
    }).join();

    EXPECT_TRUE(nested.Unlock());
    EXPECT_TRUE(mine.Unlock());
    std::thread([this] {
        CMutex other(m_name, false, 0);
        EXPECT_TRUE(other.Lock(0));
    }).join();
}

TEST(NamedMutex, OpeningAMissingOneFails)
{
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"valmorin-test-no-such-mutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

} // namespace
