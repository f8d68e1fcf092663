#include "serve_command.h"

#include "activation.h"
#include "batch_line.h"
#include "store.h"

#include "server/server.h"

#include "platform/ado/connection_string.h"
#include "platform/datasource/catalogue.h"
#include "qmt/sys/system.h"

#include <algorithm>
#include <iostream>

namespace {

constexpr const char* kUsage =
    "usage: valmorin serve [--listen <address>:<port>] [--connection <cs>] [--users <htpasswd file>]\n"
    "                      [--tls-cert <pem> --tls-key <pem>] [--csv-limit <MiB>] [--threads <n>]\n"
    "                      [--header-timeout <seconds>] [--allow-host <name>]...\n"
    "                      [--metrics-listen <address>:<port>] [--trusted-proxy <address>]...\n"
    "                      [--read-connection <cs> [--read-lag <KiB>] [--read-wait <ms>] [--ready-lag <KiB>]]";

[[noreturn]] void Usage(const std::string& why) { throw UsageError{why + "\n" + kUsage}; }

unsigned long Positive(const std::string& text, const std::string& option)
{
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used);
        if (used == text.size() && value > 0 && value < (1ul << 20)) return value;
    } catch (const std::exception&) {
    }
    Usage(option + " takes a positive number, not '" + text + "'");
}

// <address>:<port>, an IPv6 address in brackets; port 0 lets the kernel pick.
void ReadAddress(const std::string& value, const std::string& option, std::string& host, int& port)
{
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos) Usage(option + " takes <address>:<port>");
    host = value.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    const std::string digits = value.substr(colon + 1);
    port = digits == "0" ? 0 : static_cast<int>(Positive(digits, option + "'s port"));
    if (port > 65535) Usage(option + "'s port is at most 65535");
}

ServerOptions ReadOptions(const std::vector<std::string>& args)
{
    ServerOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (i + 1 == args.size()) Usage(option + " needs a value");
        const std::string& value = args[++i];
        if (option == "--listen") {
            ReadAddress(value, option, options.host, options.port);
        } else if (option == "--metrics-listen") {
            ReadAddress(value, option, options.metricsHost, options.metricsPort);
            if (options.metricsHost.empty()) Usage("--metrics-listen names an address");
        } else if (option == "--connection") {
            options.connection = Wide(value, "the connection string");
        } else if (option == "--users") {
            options.users = value;
        } else if (option == "--tls-cert") {
            options.certificate = value;
        } else if (option == "--tls-key") {
            options.key = value;
        } else if (option == "--csv-limit") {
            options.csvLimit = Positive(value, "--csv-limit") << 20;
        } else if (option == "--threads") {
            options.threads = static_cast<unsigned>(Positive(value, "--threads"));
        } else if (option == "--header-timeout") {
            options.headerTimeout = std::chrono::seconds(Positive(value, "--header-timeout"));
        } else if (option == "--allow-host") {
            options.allowedHosts.insert(value);
        } else if (option == "--read-connection") {
            options.readConnection = Wide(value, "the read connection string");
        } else if (option == "--read-lag") {
            options.readLag = std::uint64_t{Positive(value, "--read-lag")} << 10;
        } else if (option == "--read-wait") {
            options.readWait = std::chrono::milliseconds(Positive(value, "--read-wait"));
        } else if (option == "--ready-lag") {
            options.readyLag = std::uint64_t{Positive(value, "--ready-lag")} << 10;
        } else if (option == "--trusted-proxy") {
            options.trustedProxies.insert(value);
        } else {
            Usage("unknown option " + option);
        }
    }
    if (options.certificate.empty() != options.key.empty()) Usage("--tls-cert and --tls-key go together");
    if (!options.readConnection.empty() && options.connection.empty())
        Usage("--read-connection needs --connection: the write store its standbys follow");
    if (options.readyLag && options.readConnection.empty()) Usage("--ready-lag needs --read-connection");
    return options;
}

// The connection on which the I/O threads answer lookups: the store's own,
// its lock never waited for (a locked store fails at once, and the lookup
// goes to a worker, which waits). None when the store is not a file of
// this machine's (a server's lookups wait on a link), or when its
// connection string sets its own lock wait.
std::optional<std::u16string> NeverWaitingConnection(const std::u16string& given)
{
    std::u16string connection = given;
    if (connection.empty()) {
        const valmorin::datasource::Catalogue catalogue = valmorin::datasource::LoadCatalogue();
        const valmorin::datasource::CatalogueEntry* entry = valmorin::datasource::FindEntry(
            catalogue, qmt::CSystem::accountName(), valmorin::datasource::kDefaultDataSourceName);
        if (entry == nullptr) return std::nullopt;
        connection = entry->source.connectionString;
    }
    const std::optional<std::string> file = SqliteFileOf(connection);
    const std::vector<std::u16string> keys = valmorin::ado::ConnectionString(connection).Keys();
    if (!file || std::find(keys.begin(), keys.end(), u"BUSY TIMEOUT") != keys.end()) return std::nullopt;
    valmorin::ado::AppendPair(connection, u"Busy Timeout", u"0");
    // A value left open (an unterminated quote or brace) takes in what
    // follows it: then the pair is not one, and lookups go to the workers.
    const valmorin::ado::ConnectionString appended(connection);
    if (appended.Get(u"Busy Timeout") != u"0" || SqliteFileOf(connection) != file) return std::nullopt;
    return connection;
}

// The server's objects are made as the command's own: by ProgID, or from
// the library beside the command when the class is not registered.
CComPtr<IDispatch> MakeComponent() { return CreateComponent().object; }

} // namespace

int RunServeCommand(const std::vector<std::string>& args)
{
    if (!args.empty() && args[0] == "--help") {
        std::cout << kUsage << "\n";
        return 0;
    }
    return RunServer(ReadOptions(args), ServerNeeds{MakeComponent, NeverWaitingConnection});
}
