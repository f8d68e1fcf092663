#include "platform/ado/connection_string.h"

#include "platform/text/ascii.h"
#include "platform/text/utf.h"

#include <algorithm>
#include <stdexcept>

namespace valmorin::ado {

namespace {

constexpr std::u16string_view kBlanks = u" \t";
constexpr std::u16string_view kMask = u"********";
// A connection string in a value in a value is read pair by pair; deeper
// ones are not.
constexpr int kLevelsRead = 3;

std::size_t SkipBlanks(std::u16string_view text, std::size_t at)
{
    const std::size_t next = text.find_first_not_of(kBlanks, at);
    return next == std::u16string_view::npos ? text.size() : next;
}

std::u16string Trimmed(std::u16string_view text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::u16string_view::npos) return {};
    return std::u16string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}

char16_t Closer(char16_t opener) { return opener == u'{' ? u'}' : opener; }

// A quoted or braced value from its opener; returns where it ends (past
// the closer, or the end of an unterminated text).
std::size_t ReadEnclosed(std::u16string_view text, std::size_t at, std::u16string& value)
{
    const char16_t closer = Closer(text[at]);
    for (++at; at < text.size(); ++at) {
        if (text[at] != closer) {
            value += text[at];
        } else if (at + 1 < text.size() && text[at + 1] == closer) {
            value += closer;
            ++at;
        } else {
            return at + 1;
        }
    }
    return at;
}

// Reads the value that starts after "=" at from; returns where its pair
// ends (at ";" or the end).
std::size_t ReadValue(std::u16string_view text, std::size_t from, ConnectionPair& pair)
{
    pair.valueFrom = SkipBlanks(text, from);
    const char16_t first = pair.valueFrom < text.size() ? text[pair.valueFrom] : u'\0';
    if (first == u'"' || first == u'\'' || first == u'{') {
        pair.opener = first;
        pair.valueTo = ReadEnclosed(text, pair.valueFrom, pair.value);
        return std::min(text.find(u';', pair.valueTo), text.size());
    }
    const std::size_t end = std::min(text.find(u';', pair.valueFrom), text.size());
    pair.value = Trimmed(text.substr(pair.valueFrom, end - pair.valueFrom));
    pair.valueTo = pair.valueFrom + pair.value.size();
    return end;
}

bool IsPasswordKey(std::u16string_view key)
{
    const std::u16string upper = text::AsciiUpper(key);
    return upper == u"PASSWORD" || upper == u"PWD" || upper.ends_with(u" PASSWORD");
}

// The value written back as it was enclosed, its closer doubled inside.
std::u16string Enclosed(std::u16string_view value, char16_t opener)
{
    if (opener == u'\0') return std::u16string(value);
    const char16_t closer = Closer(opener);
    std::u16string text(1, opener);
    for (const char16_t c : value) {
        text += c;
        if (c == closer) text += c;
    }
    return text + closer;
}

} // namespace

std::vector<ConnectionPair> ParseConnectionString(std::u16string_view text)
{
    std::vector<ConnectionPair> pairs;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t semicolon = std::min(text.find(u';', at), text.size());
        const std::size_t equals = text.find(u'=', at);
        if (equals >= semicolon) {
            at = semicolon + 1;
            continue;
        }
        ConnectionPair pair;
        pair.key = Trimmed(text.substr(at, equals - at));
        pair.equalsAt = equals;
        at = ReadValue(text, equals + 1, pair) + 1;
        pairs.push_back(std::move(pair));
    }
    return pairs;
}

namespace {

// Whether a value too deeply nested to be read pair by pair might hold a
// password: then it is hidden whole.
bool MayHoldPassword(std::u16string_view text)
{
    const std::u16string upper = text::AsciiUpper(text);
    return upper.find(u"PWD") != std::u16string::npos || upper.find(u"PASSWORD") != std::u16string::npos;
}

// Each level re-encloses what it changed, doubling the closers inside, so
// the levels read pair by pair are bounded: a text built of nested braces
// would otherwise grow exponentially.
std::u16string Masked(std::u16string_view text, int depth)
{
    std::u16string masked;
    std::size_t copied = 0;
    for (const ConnectionPair& pair : ParseConnectionString(text)) {
        std::u16string replacement;
        std::size_t from = pair.valueFrom;
        if (IsPasswordKey(pair.key)) {
            replacement = kMask; // blanks and all: nothing tells how long the password is
            from = pair.equalsAt + 1;
        } else if (depth + 1 >= kLevelsRead) {
            if (!MayHoldPassword(pair.value)) continue;
            replacement = kMask;
        } else if (const std::u16string inner = Masked(pair.value, depth + 1); inner != pair.value) {
            replacement = Enclosed(inner, pair.opener);
        } else {
            continue;
        }
        masked.append(text.substr(copied, from - copied)).append(replacement);
        copied = pair.valueTo;
    }
    return masked.append(text.substr(copied));
}

} // namespace

std::u16string MaskPasswords(std::u16string_view text) { return Masked(text, 0); }

namespace {

// Every password value of the text, at every level it is read pair by pair.
void CollectPasswords(std::u16string_view text, int depth, std::vector<std::u16string>& passwords)
{
    for (const ConnectionPair& pair : ParseConnectionString(text)) {
        if (IsPasswordKey(pair.key)) {
            passwords.push_back(pair.value);
            passwords.emplace_back(text.substr(pair.valueFrom, pair.valueTo - pair.valueFrom)); // as written
        } else if (depth + 1 < kLevelsRead) {
            CollectPasswords(pair.value, depth + 1, passwords);
        }
    }
}

void ReplaceAll(std::u16string& text, std::u16string_view secret)
{
    for (std::size_t at = text.find(secret); at != std::u16string::npos; at = text.find(secret, at + kMask.size()))
        text.replace(at, secret.size(), kMask);
}

} // namespace

std::u16string MaskSecrets(std::u16string_view message, std::u16string_view connectionString,
                           std::u16string_view password)
{
    std::vector<std::u16string> secrets{std::u16string(password)};
    CollectPasswords(connectionString, 0, secrets);
    // The longest first: a password that holds another is hidden whole.
    std::sort(secrets.begin(), secrets.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    std::u16string masked(message);
    for (const std::u16string& secret : secrets)
        if (!secret.empty()) ReplaceAll(masked, secret);
    return MaskPasswords(masked);
}

ConnectionString::ConnectionString(std::u16string_view text) : m_text(text)
{
    for (ConnectionPair& pair : ParseConnectionString(text)) {
        if (pair.key.empty()) continue;
        const auto [at, added] = m_values.try_emplace(text::AsciiUpper(pair.key), std::move(pair.value));
        if (!added && m_repeated.empty()) m_repeated = pair.key;
    }
}

std::u16string ConnectionString::Get(std::u16string_view key) const
{
    const auto it = m_values.find(text::AsciiUpper(key));
    return it == m_values.end() ? std::u16string() : it->second;
}

std::vector<std::u16string> ConnectionString::Keys() const
{
    std::vector<std::u16string> keys;
    for (const auto& entry : m_values) keys.push_back(entry.first);
    return keys;
}

namespace {

std::u16string Braced(std::u16string_view value) { return Enclosed(value, u'{'); }

// A value that reads back as itself unenclosed: no ";" to end its pair, no
// opener to start an enclosed one, no outer blanks to be trimmed. "=" and
// braces inside are left to the braces too, as ODBC drivers want them.
bool ReadsBackBare(std::u16string_view value)
{
    return value.find_first_of(u";={}") == std::u16string_view::npos && Trimmed(value) == value &&
           (value.empty() || (value.front() != u'"' && value.front() != u'\''));
}

std::u16string Written(std::u16string_view value)
{
    return ReadsBackBare(value) ? std::u16string(value) : Braced(value);
}

bool Writable(std::u16string_view key)
{
    return !key.empty() && key.find_first_of(u";=") == std::u16string_view::npos && Trimmed(key) == key;
}

} // namespace

void AppendPair(std::u16string& text, std::u16string_view key, std::u16string_view value)
{
    text.append(u";").append(key).append(u"=").append(Written(value));
}

ConnectionString ConnectionString::With(std::u16string_view key, std::u16string_view value) const
{
    if (!Writable(key))
        throw std::invalid_argument("a connection string cannot hold the key \"" + text::Utf16ToUtf8(key) + "\"");
    const std::u16string written = Written(value);
    std::u16string text;
    std::size_t copied = 0;
    bool replaced = false;
    for (const ConnectionPair& pair : ParseConnectionString(m_text)) {
        if (!text::EqualAsciiNoCase(pair.key, key)) continue;
        text.append(m_text, copied, pair.valueFrom - copied).append(written);
        copied = pair.valueTo;
        replaced = true;
    }
    text.append(m_text, copied);
    if (!replaced) {
        const std::size_t last = text.find_last_not_of(kBlanks);
        if (last != std::u16string::npos && text[last] != u';') text += u';';
        text.append(key).append(u"=").append(written);
    }
    ConnectionString built(text);
    if (built.Get(key) != value)
        throw std::invalid_argument("a value left open in the connection string takes in the pair " +
                                    text::Utf16ToUtf8(key));
    return built;
}

} // namespace valmorin::ado
