// Sets or removes an environment variable, or sets the umask, for the life
// of the object and puts the old value back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include <sys/stat.h>

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) m_old = old;
        Set(value);
    }
    ~ScopedEnvironment() { Set(m_old ? m_old->c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    void Set(const char* value) const
    {
        if (value) setenv(m_name.c_str(), value, 1);
        else unsetenv(m_name.c_str());
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : m_old(::umask(mask)) {}
    ~ScopedUmask() { ::umask(m_old); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t m_old;
};
