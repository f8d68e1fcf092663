#include "server/users.h"

#include "server/sessions.h"

#include <crypt.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
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
    return hash.size() == 60 && (hash.starts_with("$2y$") || hash.starts_with("$2b$") || hash.starts_with("$2a$")) &&
           std::isdigit(static_cast<unsigned char>(hash[4])) && std::isdigit(static_cast<unsigned char>(hash[5])) &&
           hash[6] == '$';
}

// The cost a bcrypt hash was made with: "$2y$05$..." is 5.
unsigned long CostOf(const std::string& hash) { return std::stoul(hash.substr(4, 2)); }

// A real hash of a random password at the cost given, which no password
// will match.
std::string PlaceholderHash(unsigned long cost)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt, sizeof salt) == nullptr)
        throw std::runtime_error("libcrypt makes no bcrypt salt of cost " + std::to_string(cost));
    crypt_data data{};
    const char* hash = crypt_r(RandomToken().c_str(), salt, &data);
    if (hash == nullptr || hash[0] == '*') throw std::runtime_error("libcrypt makes no bcrypt hash");
    return hash;
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
    for (const auto& [name, hash] : m_hashes) m_dearestCost = std::max(m_dearestCost, CostOf(hash));
    m_placeholder = PlaceholderHash(m_dearestCost);
    // Timed twice, the first check warming what the second need not.
    for (int i = 0; i < 2; ++i) {
        const auto started = std::chrono::steady_clock::now();
        VerifyHash({}, RandomToken());
        m_idleDearestCheck = std::max(m_idleDearestCheck, std::chrono::steady_clock::now() - started);
    }
    m_lastDearestChecks.fill({});
}

std::chrono::steady_clock::duration UserFile::dearestCheck() const
{
    const std::lock_guard lock(m_mutex);
    return std::max(m_idleDearestCheck, *std::max_element(m_lastDearestChecks.begin(), m_lastDearestChecks.end()));
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

bool UserFile::Remembered(const std::string& name, const std::string& password) const
{
    const std::string digest = Digest(password);
    const std::lock_guard lock(m_mutex);
    const auto known = m_accepted.find(name);
    return known != m_accepted.end() && known->second.until > std::chrono::steady_clock::now() &&
           SameText(known->second.digest, digest);
}

bool UserFile::Verify(const std::string& name, const std::string& password) const
{
    if (name.find('\0') != std::string::npos || password.find('\0') != std::string::npos) return false;
    if (Remembered(name, password)) return true;
    if (!VerifyHash(name, password)) return false;
    const std::lock_guard lock(m_mutex);
    m_accepted[name] = {Digest(password), std::chrono::steady_clock::now() + kRemembered};
    return true;
}

bool UserFile::VerifyHash(const std::string& name, const std::string& password) const
{
    const auto it = m_hashes.find(name);
    const std::string& hash = it != m_hashes.end() ? it->second : m_placeholder;
    crypt_data data{};
    const auto started = std::chrono::steady_clock::now();
    const char* computed = crypt_r(password.c_str(), hash.c_str(), &data);
    if (CostOf(hash) == m_dearestCost) {
        const auto took = std::chrono::steady_clock::now() - started;
        const std::lock_guard lock(m_mutex);
        m_lastDearestChecks[m_nextDearestCheck++ % m_lastDearestChecks.size()] = took;
    }
    return it != m_hashes.end() && computed != nullptr && SameText(computed, hash);
}

// Whether the key has kMostFailures within the window; a record whose
// window has passed is forgotten.
bool LoginThrottle::Throttled(std::map<std::string, Record>& records, const std::string& key, Clock::time_point now)
{
    const auto it = records.find(key);
    if (it == records.end()) return false;
    if (now - it->second.first > kWindow) {
        records.erase(it);
        return false;
    }
    return it->second.failures >= kMostFailures;
}

bool LoginThrottle::Locked(const std::string& address, Clock::time_point now)
{
    const std::lock_guard lock(m_mutex);
    return Throttled(m_addresses, address, now);
}

// An account's failures are kept under a digest of its name, whatever its
// length: names a guesser makes up (each as long as a head allows) take no
// more room than an account's. Two names of one digest share their turns,
// which a guesser could have by guessing the other name itself.
std::string LoginThrottle::KeyOf(const std::string& account)
{
    return std::to_string(std::hash<std::string>{}(account));
}

LoginThrottle::Turn LoginThrottle::Attempt(const std::string& account, const std::string& address,
                                           Clock::time_point now)
{
    const std::lock_guard lock(m_mutex);
    const std::string key = KeyOf(account);
    if (!Throttled(m_accounts, key, now)) return {false, now};
    const auto known = m_known.find({account, address});
    if (known != m_known.end() && now - known->second < kKnownFor) return {false, now};
    Record& record = m_accounts[key];
    const Clock::time_point turn = std::max(now, record.lastTurn + kTurn);
    // One attempt waits for its turn; the others are told to come back
    // rather than hold a worker of the server while they wait.
    if (turn - now > kTurn) return {true, now};
    record.lastTurn = turn;
    return {false, turn};
}

void LoginThrottle::Failed(const std::string& address, const std::string& account, Clock::time_point now)
{
    const std::lock_guard lock(m_mutex);
    const std::string accountKey = KeyOf(account);
    for (auto [records, key] : {std::pair{&m_addresses, &address}, std::pair{&m_accounts, &accountKey}}) {
        std::erase_if(*records, [&](const auto& entry) { return now - entry.second.first > kWindow; });
        Record& record = (*records)[*key];
        if (record.failures == 0) record.first = now;
        ++record.failures;
        // The next turn counts from this failure's answer.
        record.lastTurn = std::max(record.lastTurn, now);
    }
}

void LoginThrottle::Succeeded(const std::string& address, const std::string& account, Clock::time_point now)
{
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_known, [&](const auto& entry) { return now - entry.second >= kKnownFor; });
    m_known[{account, address}] = now;
}
