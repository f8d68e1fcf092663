// The computer name, read once per process and kept.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace qmt {

class CComputerNameCache {
public:
    explicit CComputerNameCache(std::function<std::u16string()> read) : m_read(std::move(read)) {}

    // The first call reads the name; callers that arrive meanwhile wait for
    // that read instead of reading again. A read that throws, or gives an
    // empty name, leaves the cache empty for the next call to try.
    std::u16string get();

private:
    std::function<std::u16string()> m_read;
    std::mutex m_mutex;
    std::u16string m_name;
};

} // namespace qmt
