#include "platform/ado/postgresql/connect.h"

#include "platform/ado/postgresql/errors.h"
#include "platform/text/utf.h"

#include <algorithm>

namespace valmorin::ado::postgresql {

namespace {

// The connection string's keys and libpq's names for them. Host and Port
// may list several servers (Host=a,b;Port=5432,5433), tried in turn for
// one whose session has the attributes asked (Target Session
// Attrs=read-write: the primary, wherever a failover put it).
const std::pair<std::u16string_view, const char*> kKeys[] = {
    {u"HOST", "host"},    {u"PORT", "port"},         {u"DATABASE", "dbname"},
    {u"USER ID", "user"}, {u"PASSWORD", "password"}, {u"TARGET SESSION ATTRS", "target_session_attrs"}};

void RefuseUnknownKeys(const ConnectionString& cs)
{
    for (const std::u16string& key : cs.Keys()) {
        if (key == u"PROVIDER") continue;
        if (std::none_of(std::begin(kKeys), std::end(kKeys), [&](const auto& known) { return known.first == key; }))
            Throw(E_FAIL,
                  u"The connection string key \"" + key +
                      u"\" is not one PostgreSQL takes (Host, Port, Database, User ID, Password, Target Session "
                      u"Attrs).",
                  u"08001");
    }
}

// Notices (a savepoint's warnings, say) are not the caller's output.
void IgnoreNotice(void*, const char*) {}

} // namespace

ConnectParameters ConnectionParameters(const ConnectionString& cs, std::u16string_view userId,
                                       std::u16string_view password, LONG commandTimeoutSeconds)
{
    RefuseUnknownKeys(cs);
    ConnectParameters parameters;
    for (const auto& [key, libpqName] : kKeys) {
        std::u16string value = cs.Get(key);
        if (key == u"USER ID" && !userId.empty()) value = userId;
        if (key == u"PASSWORD" && !password.empty()) value = password;
        if (value.empty()) continue;
        parameters.keywords.emplace_back(libpqName);
        parameters.values.push_back(text::Utf16ToUtf8(value));
    }
    parameters.keywords.emplace_back("client_encoding");
    parameters.values.emplace_back("UTF8");
    parameters.keywords.emplace_back("options");
    // Backslashes in literals are ordinary characters, as on SQLite; a
    // statement gives up after the command time-out, as a busy SQLite
    // store does.
    parameters.values.push_back("-c standard_conforming_strings=on -c statement_timeout=" +
                                std::to_string(static_cast<long long>(commandTimeoutSeconds) * 1000));
    parameters.keywords.emplace_back("application_name");
    parameters.values.emplace_back("valmorin");
    // A server that accepts and says nothing, or a link that swallows what
    // is sent, must not hold the caller: the connection gives up after ADO's
    // own connection time-out, 15 seconds, as the ODBC drivers do, and a
    // link that stops acknowledging is dropped by the kernel after as long.
    for (const auto& [keyword, value] : {std::pair{"connect_timeout", "15"}, std::pair{"tcp_user_timeout", "15000"},
                                         std::pair{"keepalives_idle", "15"}, std::pair{"keepalives_interval", "5"},
                                         std::pair{"keepalives_count", "3"}}) {
        parameters.keywords.emplace_back(keyword);
        parameters.values.emplace_back(value);
    }
    return parameters;
}

Connection OpenConnection(const ConnectParameters& parameters)
{
    std::vector<const char*> k;
    std::vector<const char*> v;
    for (std::size_t i = 0; i < parameters.keywords.size(); ++i) {
        k.push_back(parameters.keywords[i].c_str());
        v.push_back(parameters.values[i].c_str());
    }
    k.push_back(nullptr);
    v.push_back(nullptr);
    Connection connection(PQconnectdbParams(k.data(), v.data(), 0));
    if (!connection) Throw(E_OUTOFMEMORY, u"Out of memory.");
    if (PQstatus(connection.get()) != CONNECTION_OK) ThrowFromResult(nullptr, connection.get());
    PQsetNoticeProcessor(connection.get(), IgnoreNotice, nullptr);
    return connection;
}

} // namespace valmorin::ado::postgresql
