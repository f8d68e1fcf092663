// The log's lock is one per computer, whoever's process takes it: a service
// account and a user logging to files of the same name must exclude each
// other, whichever of them made the lock first.
#include "support/other_account.h"
#include "platform/text/utf.h"
#include "qmt/sys/mutex.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// One byte per step between the test and its child.
struct Pipes {
    int toChild[2] = {-1, -1};
    int toParent[2] = {-1, -1};
    Pipes()
    {
        if (pipe(toChild) != 0 || pipe(toParent) != 0) throw std::runtime_error("pipe");
    }
    ~Pipes()
    {
        for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
    }
    static void Send(int fd, char c) { (void)!write(fd, &c, 1); }
    static char Receive(int fd)
    {
        char c = '\0';
        return read(fd, &c, 1) == 1 ? c : '\0';
    }
};

// Faults caught: the lock made with default security (owner only) or
// under the process's umask, so that the other account cannot open it and
// its records are dropped; or a lock per account, so that nothing excludes.
TEST(LogMutexBetweenAccounts, AnotherAccountWaitsForTheLockAndThenTakesIt)
{
    const std::optional<OtherAccount> account = OtherAccountAvailable();
    if (!account) GTEST_SKIP() << "switching accounts needs root";
    const std::u16string name = valmorin::text::Widen("MYPC35E21C86739F4027BF5935532FF39980" +
                                                      std::to_string(getpid()) + ".accounts.Valmorin.log");
    Pipes pipes;
    // The child is forked before this process maps the lock, so that it
    // opens the lock itself, with its own account's rights.
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(account->gid) != 0 || setuid(account->uid) != 0) _exit(98);
        Pipes::Receive(pipes.toChild[0]); // the test holds the lock now
        CMutex mutex(name, false, 0);
        Pipes::Send(pipes.toParent[1], mutex.Lock(0) ? 'L' : 'w');
        Pipes::Receive(pipes.toChild[0]); // the test released it
        Pipes::Send(pipes.toParent[1], mutex.Lock(0) ? 'L' : 'w');
        Pipes::Receive(pipes.toChild[0]);
        Pipes::Send(pipes.toParent[1], mutex.Unlock() ? 'U' : '?');
        _exit(0);
    }
    {
        const mode_t old = umask(077);
        CMutex mine(name, true, 0);
        umask(old);
        Pipes::Send(pipes.toChild[1], 'h');
        EXPECT_EQ(Pipes::Receive(pipes.toParent[0]), 'w') << "the other account took a lock that was held";
        ASSERT_TRUE(mine.Unlock());
        Pipes::Send(pipes.toChild[1], 'r');
        EXPECT_EQ(Pipes::Receive(pipes.toParent[0]), 'L') << "the other account cannot take the free lock";
        EXPECT_FALSE(mine.Lock(0)) << "the lock is the other account's now";
        Pipes::Send(pipes.toChild[1], 'u');
        EXPECT_EQ(Pipes::Receive(pipes.toParent[0]), 'U');
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(mine.Lock(0));
        EXPECT_TRUE(mine.Unlock());
    }
    // The lock's file outlives its handles; it lies in the test program's
    // own machine folders, which go with the program.
}

} // namespace
