// Runs part of a test in a forked process as another account than the
// test's, for what only shows between accounts: file groups that cannot be
// kept, locks that two accounts share. Only root can switch accounts, so
// callers skip when OtherAccountAvailable() is false.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

struct OtherAccount {
    uid_t uid;
    gid_t gid;
};

// "nobody", when the test runs as root and the account exists.
inline std::optional<OtherAccount> OtherAccountAvailable()
{
    if (::geteuid() != 0) return std::nullopt;
    const passwd* entry = ::getpwnam("nobody");
    if (entry == nullptr || entry->pw_uid == 0) return std::nullopt;
    return OtherAccount{entry->pw_uid, entry->pw_gid};
}

// The body's result is the child's exit code; 98 when the account could
// not be taken on.
inline int RunAsAccount(const OtherAccount& account, const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 || ::setuid(account.uid) != 0) ::_exit(98);
        ::_exit(body());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
