// The server's accounts and its login throttle, held to their rules
// directly, on a clock the test gives.
#include "server/sessions.h"
#include "server/users.h"

#include "support/process.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = LoginThrottle::Clock;

// The test's own resident memory, in KiB.
long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return 0;
}

// Fault caught: an unknown name checked against a cheaper hash than the
// accounts' (htpasswd -B makes cost 5), so that how long an answer takes
// tells which names are accounts.
TEST(ServeAccounts, AnUnknownNameCostsWhatTheDearestAccountCosts)
{
    const TempDir dir;
    const UserFile users(WriteAccountFile((dir / "users").string(), {{"alice", "pw", 4}, {"bob", "pw", 6}}));
    EXPECT_EQ(users.placeholder().substr(0, 7), "$2b$06$");
    EXPECT_EQ(users.placeholder().size(), 60u);
    EXPECT_FALSE(users.Verify("nobody", "pw"));
    EXPECT_TRUE(users.Verify("bob", "pw"));
}

// Checks made at once, each slower than on an idle server: the hold that
// follows each is at least as long as an unknown name's check just took.
// Fault caught: the hold measured once, at start, so that under load an
// unknown name's answer comes later than a cheaper account's, telling
// which names are accounts.
TEST(ServeAccounts, TheHoldKeepsUpWithChecksSlowedByLoad)
{
    const TempDir dir;
    const UserFile users(WriteAccountFile((dir / "users").string(), {{"alice", "pw", 4}, {"bob", "pw", 8}}));
    std::vector<std::thread> checkers;
    std::atomic<int> shortHolds{0};
    for (int t = 0; t < 8; ++t)
        checkers.emplace_back([&] {
            for (int i = 0; i < 6; ++i) {
                const auto started = std::chrono::steady_clock::now();
                EXPECT_FALSE(users.Verify("nobody", "pw"));
                const auto took = std::chrono::steady_clock::now() - started;
                // The check's own overhead beside bcrypt, and being put off
                // after it, well under a fifth.
                if (users.dearestCheck() < took * 8 / 10) ++shortHolds;
            }
        });
    for (std::thread& checker : checkers) checker.join();
    // A thread put off between its check and the hold is taken for slower
    // than the check itself was: eight threads on two cores under the
    // sanitizers make some such, never most (a hold measured once falls
    // short nearly every time).
    EXPECT_LE(shortHolds, 48 / 3) << "holds shorter than the unknown name's check they followed";
}

// Fault caught: a password holding a NUL accepted for the part before it,
// as crypt reads a C string.
TEST(ServeAccounts, ANulInANameOrPasswordIsRefused)
{
    const TempDir dir;
    const UserFile users(WriteAccountFile((dir / "users").string(), {{"alice", "pw", 4}}));
    EXPECT_FALSE(users.Verify("alice", std::string("pw\0x", 4)));
    EXPECT_FALSE(users.Verify(std::string("alice\0x", 7), "pw"));
    EXPECT_TRUE(users.Verify("alice", "pw"));
    EXPECT_FALSE(users.Remembered("alice", std::string("pw\0x", 4)));
}

// Faults caught: guesses spread over many addresses never slowed; an
// account locked for its owner (every turn taken by guessers, the owner's
// known address among them); guesses made at once not taking turns; one
// account's guesser slowing another account.
TEST(ServeLoginThrottle, AnAccountsFailuresMakeItsAttemptsTakeTurns)
{
    LoginThrottle throttle;
    const Clock::time_point start = Clock::now();
    throttle.Succeeded("192.0.2.1", "alice", start - 1h); // the owner's own address
    for (int i = 0; i < LoginThrottle::kMostFailures; ++i) {
        const LoginThrottle::Turn turn = throttle.Attempt("alice", "10.0.0." + std::to_string(i), start);
        EXPECT_FALSE(turn.refused);
        EXPECT_EQ(turn.notBefore, start) << "an attempt before the fifth failure waited";
        throttle.Failed("10.0.0." + std::to_string(i), "alice", start);
    }
    EXPECT_FALSE(throttle.Locked("10.0.0.1", start)) << "an address locked for one failure";

    const LoginThrottle::Turn sixth = throttle.Attempt("alice", "10.0.1.1", start + 100ms);
    EXPECT_FALSE(sixth.refused) << "the owner is locked out";
    EXPECT_EQ(sixth.notBefore, start + 1s);
    EXPECT_TRUE(throttle.Attempt("alice", "10.0.1.2", start + 100ms).refused) << "two attempts share a turn";
    const LoginThrottle::Turn owners = throttle.Attempt("alice", "192.0.2.1", start + 100ms);
    EXPECT_FALSE(owners.refused) << "the owner's known address waits behind the guessers' turns";
    EXPECT_EQ(owners.notBefore, start + 100ms);
    EXPECT_EQ(throttle.Attempt("bob", "10.0.1.2", start + 100ms).notBefore, start + 100ms);

    throttle.Failed("10.0.0.9", "alice", sixth.notBefore);
    EXPECT_EQ(throttle.Attempt("alice", "10.0.1.3", sixth.notBefore + 10ms).notBefore, sixth.notBefore + 1s);
    const Clock::time_point later = start + LoginThrottle::kWindow + 2s;
    EXPECT_EQ(throttle.Attempt("alice", "10.0.1.4", later).notBefore, later)
        << "the account stays slow past the minute";
}

// Faults caught: an address that guessed five times let on guessing within
// the minute, or locked beyond it; its count cleared by a login of the
// guesser's own account between guesses.
TEST(ServeLoginThrottle, AnAddressWithFiveFailuresIsLockedForTheMinute)
{
    LoginThrottle throttle;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < LoginThrottle::kMostFailures; ++i) {
        throttle.Failed("10.0.0.1", "user" + std::to_string(i), start);
        throttle.Succeeded("10.0.0.1", "mallory", start);
    }
    EXPECT_TRUE(throttle.Locked("10.0.0.1", start + 59s));
    EXPECT_FALSE(throttle.Locked("10.0.0.2", start));
    EXPECT_FALSE(throttle.Locked("10.0.0.1", start + 61s));
}

// Guesses under names a guesser makes up, each as long as a head allows,
// from as many addresses. Fault caught: the failures kept under the names
// themselves, so that a minute of guesses takes the server's memory.
TEST(ServeLoginThrottle, MadeUpNamesTakeNoMoreRoomThanAccounts)
{
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer keeps what is freed in quarantine: no measure of memory held
    LoginThrottle throttle;
    const Clock::time_point start = Clock::now();
    const long before = ResidentKiB();
    std::string name(24 << 10, 'n');
    for (int i = 0; i < 8000; ++i) {
        std::snprintf(name.data(), 16, "%015d", i);
        throttle.Failed("10." + std::to_string(i >> 8) + "." + std::to_string(i & 0xFF) + ".1", name, start);
    }
    EXPECT_LT(ResidentKiB() - before, 32 * 1024) << "KiB kept for 8,000 failures under names of 24 KiB";
#endif
}

// Faults caught: sessions kept without bound for a user who logs in over
// and over (memory for anyone with one password); the cap closing another
// user's sessions, or the newest rather than the oldest.
TEST(ServeSessions, AUsersOldestSessionsCloseBeyondTheCap)
{
    Sessions sessions;
    const std::string bobs = sessions.Open("bob");
    std::vector<std::string> alices;
    for (std::size_t i = 0; i < Sessions::kMostPerUser + 8; ++i) alices.push_back(sessions.Open("alice"));
    for (std::size_t i = 0; i < 8; ++i) EXPECT_FALSE(sessions.Find(alices[i])) << "session " << i << " kept";
    for (std::size_t i = 8; i < alices.size(); ++i) EXPECT_TRUE(sessions.Find(alices[i])) << "session " << i;
    EXPECT_TRUE(sessions.Find(bobs));
    sessions.Close(alices.back());
    EXPECT_FALSE(sessions.Find(alices.back()));
    EXPECT_TRUE(sessions.Find(alices[8])) << "a close took another session with it";
}

} // namespace
