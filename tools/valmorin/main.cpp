// valmorin: calls the component's methods by name from the command line or,
// with --batch, from standard input, one call per line.
#include "activation.h"
#include "batch_line.h"
#include "batch_stream.h"
#include "datasource_command.h"
#include "dispatch_client.h"
#include "failure_notes.h"
#include "history_command.h"
#include "reg_command.h"
#include "regsvr_command.h"
#include "platform/datasource/catalogue.h"
#include "platform/text/utf.h"
#include "platform/win32/kernel.h"
#include "valmorin/com/errorinfo.h"
#include "store.h"
#include "serve_command.h"
#include "transfer_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <streambuf>

#include <unistd.h>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFalse = 1;
constexpr int kExitFailure = 2;
constexpr int kExitUsage = 64;

// Standard output carries results only. The component echoes its log
// records to the process's standard output, so while it runs that goes to
// standard error, and results are written to the original stream.
class ResultStream : private std::streambuf, public std::ostream {
public:
    ResultStream() : std::ostream(this), m_fd(::dup(STDOUT_FILENO)) { ::dup2(STDERR_FILENO, STDOUT_FILENO); }
    ~ResultStream() override
    {
        sync();
        ::dup2(m_fd, STDOUT_FILENO);
        ::close(m_fd);
    }

private:
    int overflow(int c) override
    {
        if (c != std::char_traits<char>::eof()) m_buffer.push_back(static_cast<char>(c));
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override
    {
        m_buffer.append(text, static_cast<std::size_t>(count));
        return count;
    }
    // A write that fails (a full disk, a closed pipe) fails the stream,
    // and so the command: a cut result must not pass for a whole one.
    int sync() override
    {
        std::fflush(stdout);
        for (std::size_t done = 0; done < m_buffer.size();) {
            const ssize_t n = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                m_buffer.clear();
                return -1;
            }
            done += static_cast<std::size_t>(n);
        }
        m_buffer.clear();
        return 0;
    }

    int m_fd;
    std::string m_buffer;
};

std::string FailureText(const CallOutcome& outcome)
{
    return FailureText(Described({outcome.hr, outcome.source, outcome.description, {}}));
}

std::string Signature(const MethodHelp& method)
{
    std::string line = valmorin::text::Utf16ToUtf8(method.name);
    for (const auto& input : method.inputs) line += " " + valmorin::text::Utf16ToUtf8(input);
    if (!method.result.empty()) line += " -> " + valmorin::text::Utf16ToUtf8(method.result);
    return line;
}

void PrintHelp(std::ostream& out, const DispatchClient& client)
{
    out << "usage: valmorin [--connection \"<ADO connection string>\"] <Method> [arg ...]\n"
           "       valmorin [--connection \"<ADO connection string>\"] --batch\n"
           "       valmorin [--connection \"<ADO connection string>\"] import <table> <file.csv> [--replace]\n"
           "                [--user <name>] [--inputs <n>]\n"
           "       valmorin [--connection \"<ADO connection string>\"] export <table> [<file.csv>]\n"
           "       valmorin serve [--listen <address>:<port>] [--connection <cs>] [--users <htpasswd>]\n"
           "                [--tls-cert <pem> --tls-key <pem>] [--csv-limit <MiB>] [--threads <n>]\n"
           "                [--header-timeout <seconds>] [--allow-host <name>]... [--metrics-listen <address>:<port>]\n"
           "                [--trusted-proxy <address>]... [--read-connection <cs> [--read-lag <KiB>] [--read-wait "
           "<ms>]\n"
           "                [--ready-lag <KiB>]]\n"
           "       valmorin init [--connection \"<ADO connection string>\"]\n"
           "       valmorin history prune --before <time> [--connection \"<ADO connection string>\"]\n"
           "       valmorin reg query|add|delete|import|export ...   (as the Windows reg command)\n"
           "       valmorin datasource list|show|set|remove ...\n"
           "       valmorin regsvr [/u] [/s] <library>   (as the Windows regsvr32 command)\n"
           "       valmorin --version\n"
           "       valmorin help <Method>\n"
           "Arguments are UTF-8 text; --null passes a NULL string.\n"
           "Without --connection the component connects to the data source \"NK\"\n"
           "(valmorin datasource show NK); unconfigured, that is "
        << DefaultStorePath() << ".\n\nMethods:\n";
    for (const MethodHelp& method : client.Describe()) out << "  " << Signature(method) << "\n";
}

int PrintMethodHelp(std::ostream& out, const DispatchClient& client, const std::u16string& name)
{
    const std::optional<MethodHelp> method = client.Describe(name);
    if (!method)
        throw UsageError{"unknown method '" + valmorin::text::Utf16ToUtf8(name) +
                         "'; valmorin --help lists the methods"};
    out << Signature(*method) << "\n";
    if (!method->help.empty()) out << valmorin::text::Utf16ToUtf8(method->help) << "\n";
    return kExitOk;
}

// A call that cannot be made is the caller's mistake, not the component's.
void RefuseUnmadeCall(const CallOutcome& outcome, std::size_t given)
{
    if (outcome.hr == DISP_E_UNKNOWNNAME)
        throw UsageError{"unknown method '" + valmorin::text::Utf16ToUtf8(outcome.method) +
                         "'; valmorin --help lists the methods"};
    if (outcome.hr == DISP_E_BADPARAMCOUNT)
        throw UsageError{valmorin::text::Utf16ToUtf8(outcome.method) + " does not take " + std::to_string(given) +
                         " argument(s); valmorin help " + valmorin::text::Utf16ToUtf8(outcome.method) + " shows them"};
}

int ExitCodeOf(HRESULT hr) { return FAILED(hr) ? kExitFailure : hr == S_FALSE ? kExitFalse : kExitOk; }

int RunOne(std::ostream& out, const DispatchClient& client, const std::u16string& method,
           const std::vector<Argument>& arguments)
{
    const CallOutcome outcome = client.Call(method, arguments);
    RefuseUnmadeCall(outcome, arguments.size());
    if (FAILED(outcome.hr)) {
        std::cerr << "valmorin: " << valmorin::text::Utf16ToUtf8(outcome.method) << ": " << FailureText(outcome)
                  << "\n";
        PrintFailureNotes(outcome.hr);
        return kExitFailure;
    }
    if (outcome.result) out << valmorin::text::Utf16ToUtf8(*outcome.result) << "\n";
    return ExitCodeOf(outcome.hr);
}

// The calls of a --batch session. A run of lines calling one method looks
// its id up once, and the arguments' VARIANTs and the result are reused.
class BatchCaller {
public:
    explicit BatchCaller(const DispatchClient& client) : m_client(client) {}

    // Appends the answer to a line to out; false when it is an error.
    bool Answer(std::string_view line, std::string& out)
    {
        try {
            m_decoder.Decode(line);
            const CallOutcome outcome = Call();
            RefuseUnmadeCall(outcome, m_decoder.arguments().size());
            if (FAILED(outcome.hr)) {
                PrintFailureNotes(outcome.hr);
                AppendAnswer(out, "ERROR\t", valmorin::text::Widen(FailureText(outcome)));
                return false;
            }
            AppendAnswer(out, outcome.hr == S_FALSE ? "FALSE\t" : "OK\t",
                         ResultText(m_result, m_text) ? std::u16string_view(m_text) : std::u16string_view());
            return true;
        } catch (const UsageError& e) {
            AppendAnswer(out, "ERROR\t", valmorin::text::Widen(HresultText(E_INVALIDARG) + " valmorin: " + e.message));
            return false;
        }
    }

private:
    static void AppendAnswer(std::string& out, std::string_view status, std::u16string_view text)
    {
        out += status;
        AppendEscapedField(out, text);
        out += '\n';
    }

    CallOutcome Call()
    {
        const std::u16string& method = m_decoder.method();
        if (!m_id || method != m_method) {
            m_id.emplace();
            if (const HRESULT hr = m_client.IdOf(method, *m_id); FAILED(hr)) {
                m_id.reset();
                return UnmadeCall(hr, method);
            }
            m_method = method;
        }
        SetArguments(m_decoder.arguments());
        VariantClear(&m_result);
        return m_client.Invoke(*m_id, method, m_values, m_result);
    }

    void SetArguments(std::span<const CallArgument> arguments)
    {
        m_values.resize(arguments.size());
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            VARIANT& value = m_values[arguments.size() - 1 - i]; // last argument first
            if (!arguments[i]) {
                VariantClear(&value);
                value.vt = VT_NULL;
                continue;
            }
            // The text of the line before, at the same place, takes this one.
            if (value.vt != VT_BSTR) {
                VariantClear(&value);
                value.bstrVal = nullptr;
                value.vt = VT_BSTR;
            }
            if (!SysReAllocStringLen(&value.bstrVal, arguments[i]->data(), static_cast<UINT>(arguments[i]->size())))
                throw std::bad_alloc();
        }
    }

    const DispatchClient& m_client;
    BatchLineDecoder m_decoder;
    std::u16string m_method;
    std::optional<DISPID> m_id; // of m_method
    std::vector<CComVariant> m_values;
    CComVariant m_result;
    std::u16string m_text;
};

int RunBatch(std::ostream& out, const DispatchClient& client)
{
    BatchOutput answers(out);
    BatchInput input(STDIN_FILENO);
    BatchCaller caller(client);
    int status = kExitOk;
    for (std::string_view line; input.Next(line, answers);) {
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty()) continue;
        if (!caller.Answer(line, answers.text())) status = kExitFailure;
        answers.FlushWhenFull();
    }
    answers.Flush();
    return status;
}

int RunTransfer(std::ostream& out, const DispatchClient& client, const TransferCall& transfer)
{
    const auto call = [&](std::ostream& to, const TransferCall& made) {
        return RunOne(to, client, made.method, made.arguments);
    };
    if (transfer.method == u"TableImport") return WithImportProgress(transfer, [&] { return call(out, transfer); });
    if (!transfer.file.empty()) return call(out, transfer);
    std::ostream rowCount(nullptr); // standard output carries the file alone
    return ExportToStream(transfer, out, [&](const TransferCall& made) { return call(rowCount, made); });
}

constexpr const char* kInitUsage = "usage: valmorin init [--connection \"<ADO connection string>\"]";

// "--help" as the first word after a command asks for that command's
// usage; after a method's name it is one of the method's values. "-h" is
// not taken: it may be a table's name.
bool AsksForHelp(const std::vector<std::string>& args) { return args.size() > 1 && args[1] == "--help"; }

int PrintUsage(std::ostream& out, const std::string& usage)
{
    out << usage << "\n";
    return kExitOk;
}

int RunInit(const std::vector<std::string>& args)
{
    if (AsksForHelp(args)) return PrintUsage(std::cout, kInitUsage);
    std::u16string connection = DefaultStoreConnectionString();
    if (args.size() == 3 && args[1] == "--connection")
        connection = Wide(args[2], "the connection string");
    else if (args.size() != 1)
        throw UsageError{kInitUsage};
    const InitOutcome outcome = InitStore(connection);
    (outcome.failed ? std::cerr : std::cout) << "valmorin: init: " << outcome.message << "\n";
    return outcome.failed ? kExitFailure : kExitOk;
}

int RunComponentCommand(ResultStream& results, std::vector<std::string> args);

int Run(std::vector<std::string> args)
{
    if (args.empty()) throw UsageError{"no method given; valmorin --help lists the methods"};
    if (args[0] == "init") return RunInit(args);
    if (args[0] == "history") return RunHistoryCommand({args.begin() + 1, args.end()});
    if (args[0] == "reg") return RunRegCommand({args.begin() + 1, args.end()});
    if (args[0] == "datasource") return RunDataSourceCommand({args.begin() + 1, args.end()});
    if (args[0] == "regsvr") return RunRegsvrCommand({args.begin() + 1, args.end()});
    if (args[0] == "serve") return RunServeCommand({args.begin() + 1, args.end()});
    ResultStream results;
    const int status = RunComponentCommand(results, std::move(args));
    if (!results.flush())
        throw std::runtime_error(std::string("the results could not be written whole to standard output: ") +
                                 std::strerror(errno));
    return status;
}

int RunComponentCommand(ResultStream& results, std::vector<std::string> args)
{
    const Component component = CreateComponent();
    const DispatchClient client(component.object);
    if (args[0] == "--version") {
        results << "valmorin " << VALMORIN_VERSION << "\ncomponent: " << DescribeComponent(component) << "\n";
        return kExitOk;
    }
    if (args[0] == "--help" || args[0] == "-h") {
        PrintHelp(results, client);
        results << "\nComponent: " << DescribeComponent(component) << "\n";
        return kExitOk;
    }
    if (args[0] == "help") {
        if (args.size() != 2) throw UsageError{"usage: valmorin help <Method>"};
        return PrintMethodHelp(results, client, Wide(args[1], "the method name"));
    }

    std::optional<std::u16string> connection;
    if (args[0] == "--connection") {
        if (args.size() < 2) throw UsageError{"--connection needs a connection string"};
        connection = Wide(args[1], "the connection string");
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) throw UsageError{"no method given; valmorin --help lists the methods"};
    const bool transfer = args[0] == "import" || args[0] == "export";
    if (transfer && AsksForHelp(args)) return PrintUsage(results, TransferUsage(args[0]));
    const bool batch = args[0] == "--batch";
    if (batch && args.size() > 1) throw UsageError{"--batch takes its calls from standard input, not arguments"};
    if (connection) {
        valmorin::datasource::SetProcessDataSource(valmorin::datasource::kDefaultDataSourceName, *connection);
        const CallOutcome opened = client.Call(u"Open", {*connection});
        if (FAILED(opened.hr)) {
            std::cerr << "valmorin: Open: " << FailureText(opened) << "\n";
            PrintFailureNotes(opened.hr);
            return kExitFailure;
        }
    }
    if (batch) return RunBatch(results, client);
    if (transfer) return RunTransfer(results, client, ReadTransferCall(args));

    std::vector<Argument> arguments;
    for (std::size_t i = 1; i < args.size(); ++i)
        arguments.push_back(ToArgument(args[i], "argument " + std::to_string(i)));
    return RunOne(results, client, Wide(args[0], "the method name"), arguments);
}

} // namespace

// What the commands print on standard output must reach it whole: a cut
// listing must not pass for a whole one.
int ExitAfterOutput(int status)
{
    if (std::cout.flush()) return status;
    std::cerr << "valmorin: the output could not be written whole to standard output: " << std::strerror(errno) << "\n";
    return kExitFailure;
}

int main(int argc, char** argv)
{
    try {
        return ExitAfterOutput(Run(std::vector<std::string>(argv + 1, argv + argc)));
    } catch (const UsageError& e) {
        std::cerr << "valmorin: " << e.message << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "valmorin: " << e.what() << "\n";
        return kExitFailure;
    }
}
