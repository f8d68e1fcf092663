// The sessions of browsers that logged in: a random token in a cookie, the
// account it stands for, the token every state-changing request of the
// session must carry (X-CSRF-Token), and when it ends.
#pragma once

#include <chrono>
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

    // A new session of the user; its cookie token.
    std::string Open(const std::string& user);
    std::optional<Session> Find(const std::string& token);
    void Close(const std::string& token);

private:
    std::mutex m_mutex;
    std::map<std::string, Session> m_sessions;
};

// 32 bytes of the kernel's randomness, as hexadecimal.
std::string RandomToken();
