// The sessions of browsers that logged in: a random token in a cookie, the
// account it stands for, the token every state-changing request of the
// session must carry (X-CSRF-Token), and when it ends.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

struct Session {
    std::string user;
    std::string csrf;
    std::chrono::steady_clock::time_point expires;
};

class Sessions {
public:
    static constexpr std::chrono::hours kLifetime{8};
    // A user's sessions open at once: past it, their oldest is closed, so
    // that logins in a loop cannot fill the server's memory.
    static constexpr std::size_t kMostPerUser = 32;

    // A new session of the user; its cookie token.
    std::string Open(const std::string& user);
    std::optional<Session> Find(const std::string& token);
    void Close(const std::string& token);

private:
    void Forget(std::map<std::string, Session>::iterator session);
    // Ended sessions are dropped a minute apart, not at every login: a
    // login costs the same whatever the number of sessions.
    void DropEnded(std::chrono::steady_clock::time_point now);

    std::mutex m_mutex;
    std::map<std::string, Session> m_sessions;
    std::map<std::string, std::deque<std::string>> m_byUser; // tokens, oldest first
    std::chrono::steady_clock::time_point m_dropped{};
};

// 32 bytes of the kernel's randomness, as hexadecimal.
std::string RandomToken();
