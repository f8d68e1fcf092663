// Who may use the server: the accounts of an htpasswd file (bcrypt hashes,
// as `htpasswd -B` writes them), checked with libcrypt, and the failed
// logins of each client address, which slow a guesser down.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class UserFile {
public:
    // Reads the file, which may be hostile: a regular file of at most
    // 1 MiB, each line "name:hash" with a bcrypt hash ($2y$, $2b$ or $2a$).
    // Throws std::runtime_error naming the file and the line of a problem.
    explicit UserFile(const std::string& path);

    // True when the name is an account and the password its own. A
    // password bcrypt accepted is known again for a while by a keyed digest,
    // so that a client giving Basic credentials on every request does not
    // pay bcrypt's cost each time; a changed password is checked afresh.
    bool Verify(const std::string& name, const std::string& password) const;

private:
    struct Accepted {
        std::string digest;
        std::chrono::steady_clock::time_point until;
    };
    bool VerifyHash(const std::string& name, const std::string& password) const;
    std::string Digest(const std::string& password) const;

    std::map<std::string, std::string> m_hashes;
    std::string m_key;
    static constexpr std::chrono::minutes kRemembered{5};
    mutable std::mutex m_mutex;
    mutable std::map<std::string, Accepted> m_accepted;
};

// Failed logins per client address: after kMostFailures within the window,
// the address is refused until the window has passed.
class LoginThrottle {
public:
    bool Refused(const std::string& address);
    void Failed(const std::string& address);
    void Succeeded(const std::string& address);

private:
    struct Record {
        int failures = 0;
        std::chrono::steady_clock::time_point first;
    };
    std::mutex m_mutex;
    std::map<std::string, Record> m_records;
};
