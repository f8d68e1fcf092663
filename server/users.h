// Who may use the server: the accounts of an htpasswd file (bcrypt hashes,
// as `htpasswd -B` writes them), checked with libcrypt, and the failed
// logins of each client address and of each account, which slow a guesser
// down.
#pragma once

#include <array>
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

    // True when the name is an account and the password its own. A name or
    // password holding a NUL is refused: crypt would read only the part
    // before it.
    bool Verify(const std::string& name, const std::string& password) const;
    // True when bcrypt accepted this password of the account a short while
    // ago: it is known again by a keyed digest, so that a client giving
    // Basic credentials on every request does not pay bcrypt's cost each
    // time; a changed password is checked afresh.
    bool Remembered(const std::string& name, const std::string& password) const;

    // What an unknown name's password is checked against, so that it costs
    // what the dearest account costs and the time of an answer does not
    // tell which names are accounts.
    const std::string& placeholder() const { return m_placeholder; }
    // How long checking a password at the dearest cost takes now: the
    // longest of the last checks at that cost (the one just made among
    // them), and never less than at start, on an idle server. Every
    // check's answer is held that long, so that an account of a cheaper
    // cost is not told from the others, or from an unknown name, by its
    // answer's time, also while checks run at once and each takes longer.
    std::chrono::steady_clock::duration dearestCheck() const;

private:
    struct Accepted {
        std::string digest;
        std::chrono::steady_clock::time_point until;
    };
    bool VerifyHash(const std::string& name, const std::string& password) const;
    std::string Digest(const std::string& password) const;

    std::map<std::string, std::string> m_hashes;
    std::string m_placeholder;
    unsigned long m_dearestCost = 0;
    std::chrono::steady_clock::duration m_idleDearestCheck{};
    mutable std::array<std::chrono::steady_clock::duration, 16> m_lastDearestChecks{};
    mutable std::size_t m_nextDearestCheck = 0;
    std::string m_key;
    static constexpr std::chrono::minutes kRemembered{5};
    mutable std::mutex m_mutex;
    mutable std::map<std::string, Accepted> m_accepted;
};

// Failed logins within a minute: an address with kMostFailures of them is
// refused until the minute has passed; an account with as many is not
// locked (its owner must still get in) but slowed: its further attempts
// take turns a second apart, whoever makes them, but for the addresses
// its owner logged in from in the last day: a guesser with many addresses
// cannot take every turn and keep the owner out.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kMostFailures = 5;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::chrono::seconds kTurn{1};

    struct Turn {
        bool refused = false;          // the account's turns are taken for now
        Clock::time_point notBefore{}; // the attempt is answered no earlier
    };
    // Whether the address is refused for now, whatever it sends.
    bool Locked(const std::string& address, Clock::time_point now);
    // The turn of a login attempt for the account from the address.
    Turn Attempt(const std::string& account, const std::string& address, Clock::time_point now);
    void Failed(const std::string& address, const std::string& account, Clock::time_point now);
    // The address is known as the account's for a day. Neither the address
    // nor the account is cleared: a guesser with an account of their own,
    // or one sharing an address with an account's owner, would be back at
    // full speed at each of their logins.
    void Succeeded(const std::string& address, const std::string& account, Clock::time_point now);
    static constexpr std::chrono::hours kKnownFor{24};

private:
    struct Record {
        int failures = 0;
        Clock::time_point first;
        Clock::time_point lastTurn;
    };
    static bool Throttled(std::map<std::string, Record>& records, const std::string& key, Clock::time_point now);
    static std::string KeyOf(const std::string& account);
    std::mutex m_mutex;
    std::map<std::string, Record> m_addresses;
    std::map<std::string, Record> m_accounts;                                 // by KeyOf the name
    std::map<std::pair<std::string, std::string>, Clock::time_point> m_known; // (account, address): last login
};
