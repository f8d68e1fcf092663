// The least an HTTP lookup can cost on the engine valmorin serve is built
// on: Boost.Beast over Asio, used plainly (a coroutine per connection, one
// io_context per core, connections handed to each in turn), answering
// GET /api/translate/{table}/{input} with one statement prepared once per
// I/O thread, its values bound, on a connection with the provider's
// pragmas (pages read, never mapped). With "fixed" in place of a store, it
// answers nginx's fixed text instead: the engine's own limit. It answers
// the benchmark's keys, whose texts need neither decoding nor escaping, and
// nothing else: no routes, no log, no fields beyond the content type.
// usage: serve_reference <port> fixed | <port> <store file>
#include <utility> // before Asio 1.74, whose awaitable.hpp uses std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr char kShape[] = "SELECT OUTPUT FROM QM_VALMOR a WHERE (ID_TABLE = (SELECT b.ID_TABLE FROM "
                          "QM_TABLES  b WHERE NOM = ?)) AND (a.INPUT = ?)";
constexpr char kFixed[] = R"({"output":"V1_1"})";

// One I/O thread's connection to the store and its kept statement.
class Lookup {
public:
    explicit Lookup(const std::string& store)
    {
        sqlite3* db = nullptr;
        const int opened = sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        m_db.reset(db);
        sqlite3_stmt* statement = nullptr;
        if (opened != SQLITE_OK || sqlite3_exec(db, "PRAGMA mmap_size = 0", nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db, kShape, -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(store + ": " + sqlite3_errmsg(db));
        m_statement.reset(statement);
    }

    // The OUTPUT of the input in the table, empty when there is none.
    std::string Output(std::string_view table, std::string_view input)
    {
        sqlite3_stmt* statement = m_statement.get();
        sqlite3_bind_text(statement, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, input.data(), static_cast<int>(input.size()), SQLITE_STATIC);
        std::string output;
        if (sqlite3_step(statement) == SQLITE_ROW)
            output.assign(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
                          static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
        sqlite3_reset(statement);
        return output;
    }

private:
    struct CloseDb {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    struct Finalize {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    std::unique_ptr<sqlite3, CloseDb> m_db;
    std::unique_ptr<sqlite3_stmt, Finalize> m_statement;
};

struct IoThread {
    asio::io_context context{1};
    std::optional<Lookup> lookup; // none for the fixed answer
};

// The answer's body: the lookup's for /api/translate/{table}/{input}.
std::string Body(IoThread& io, std::string_view target)
{
    if (!io.lookup) return kFixed;
    constexpr std::string_view prefix = "/api/translate/";
    if (!target.starts_with(prefix)) return "{}";
    target.remove_prefix(prefix.size());
    const std::size_t slash = target.find('/');
    if (slash == std::string_view::npos) return "{}";
    return R"({"output":")" + io.lookup->Output(target.substr(0, slash), target.substr(slash + 1)) + "\"}";
}

asio::awaitable<void> Serve(tcp::socket socket, IoThread& io)
{
    beast::tcp_stream stream(std::move(socket));
    beast::flat_buffer buffer;
    beast::error_code error;
    for (;;) {
        http::request<http::string_body> request;
        co_await http::async_read(stream, buffer, request, asio::redirect_error(asio::use_awaitable, error));
        if (error) co_return;
        http::response<http::string_body> response{http::status::ok, request.version()};
        response.set(http::field::content_type, "application/json");
        response.body() = Body(io, std::string_view(request.target().data(), request.target().size()));
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        co_await http::async_write(stream, response, asio::redirect_error(asio::use_awaitable, error));
        if (error || !response.keep_alive()) co_return;
    }
}

asio::awaitable<void> Accept(tcp::acceptor& acceptor, std::vector<std::unique_ptr<IoThread>>& threads)
{
    for (std::size_t next = 0;; next = (next + 1) % threads.size()) {
        IoThread& io = *threads[next];
        tcp::socket socket = co_await acceptor.async_accept(io.context, asio::use_awaitable);
        socket.set_option(tcp::no_delay(true));
        asio::co_spawn(io.context, Serve(std::move(socket), io), asio::detached);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: serve_reference <port> fixed | <port> <store file>\n");
        return 64;
    }
    try {
        const std::string store = argv[2];
        std::vector<std::unique_ptr<IoThread>> threads;
        // As many I/O threads as the server makes: one per core, four at most.
        for (unsigned i = 0; i < std::clamp(std::thread::hardware_concurrency(), 1u, 4u); ++i) {
            threads.push_back(std::make_unique<IoThread>());
            if (store != "fixed") threads.back()->lookup.emplace(store);
        }
        tcp::acceptor acceptor(threads.front()->context,
                               {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::stoi(argv[1]))});
        asio::co_spawn(threads.front()->context, Accept(acceptor, threads), asio::detached);
        std::vector<std::jthread> running;
        for (std::size_t i = 1; i < threads.size(); ++i)
            running.emplace_back([&io = *threads[i]] {
                const auto work = asio::make_work_guard(io.context);
                io.context.run();
            });
        threads.front()->context.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "serve_reference: %s\n", e.what());
        return 2;
    }
}
