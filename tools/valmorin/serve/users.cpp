#include "serve/users.h"

#include "serve/sessions.h"

#include <crypt.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMostBytes = 1 << 20;
constexpr int kMostFailures = 5;
constexpr std::chrono::seconds kWindow{60};

std::string ReadSmallRegularFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(path + ": cannot be read: " + std::strerror(errno));
    std::string bytes;
    struct stat status {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (regular && static_cast<std::size_t>(status.st_size) <= kMostBytes) {
        bytes.resize(kMostBytes + 1);
        std::size_t got = 0;
        for (ssize_t n; (n = ::read(fd, bytes.data() + got, bytes.size() - got)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            got += static_cast<std::size_t>(n);
            if (got > kMostBytes) break;
        }
        bytes.resize(got);
    }
    ::close(fd);
    if (!regular) throw std::runtime_error(path + ": not a regular file");
    if (bytes.size() > kMostBytes) throw std::runtime_error(path + ": larger than 1 MiB");
    return bytes;
}

bool IsBcrypt(const std::string& hash)
{
    return hash.size() == 60 && (hash.starts_with("$2y$") || hash.starts_with("$2b$") || hash.starts_with("$2a$"));
}

// Compares the whole of both texts, whatever differs first.
bool SameText(const std::string& a, const std::string& b)
{
    unsigned difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace

UserFile::UserFile(const std::string& path) : m_key(RandomToken())
{
    std::istringstream lines(ReadSmallRegularFile(path));
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const std::size_t colon = line.find(':');
        const std::string where = path + ", line " + std::to_string(number) + ": ";
        if (colon == 0 || colon == std::string::npos) throw std::runtime_error(where + "not \"name:hash\"");
        const std::string hash = line.substr(colon + 1);
        if (!IsBcrypt(hash)) throw std::runtime_error(where + "the hash is not bcrypt (make it with htpasswd -B)");
        m_hashes[line.substr(0, colon)] = hash;
    }
    if (m_hashes.empty()) throw std::runtime_error(path + ": no account");
}

// A keyed digest of a password, under a key of this process only: what is
// kept of a password that bcrypt accepted.
std::string UserFile::Digest(const std::string& password) const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), m_key.data(), static_cast<int>(m_key.size()),
         reinterpret_cast<const unsigned char*>(password.data()), password.size(), digest, &length);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

bool UserFile::Verify(const std::string& name, const std::string& password) const
{
    const std::string digest = Digest(password);
    const auto now = std::chrono::steady_clock::now();
    {
        const std::lock_guard lock(m_mutex);
        const auto known = m_accepted.find(name);
        if (known != m_accepted.end() && known->second.until > now && SameText(known->second.digest, digest))
            return true;
    }
    if (!VerifyHash(name, password)) return false;
    const std::lock_guard lock(m_mutex);
    m_accepted[name] = {digest, now + kRemembered};
    return true;
}

bool UserFile::VerifyHash(const std::string& name, const std::string& password) const
{
    const auto it = m_hashes.find(name);
    // An unknown name costs what a known one costs.
    static const std::string kNobody = "$2y$10$" + std::string(53, 'a');
    const std::string& hash = it != m_hashes.end() ? it->second : kNobody;
    crypt_data data{};
    const char* computed = crypt_r(password.c_str(), hash.c_str(), &data);
    return it != m_hashes.end() && computed != nullptr && SameText(computed, hash);
}

bool LoginThrottle::Refused(const std::string& address)
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_records.find(address);
    if (it == m_records.end()) return false;
    if (std::chrono::steady_clock::now() - it->second.first > kWindow) {
        m_records.erase(it);
        return false;
    }
    return it->second.failures >= kMostFailures;
}

void LoginThrottle::Failed(const std::string& address)
{
    const std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(m_records, [&](const auto& entry) { return now - entry.second.first > kWindow; });
    Record& record = m_records[address];
    if (record.failures == 0) record.first = now;
    ++record.failures;
}

void LoginThrottle::Succeeded(const std::string& address)
{
    const std::lock_guard lock(m_mutex);
    m_records.erase(address);
}
