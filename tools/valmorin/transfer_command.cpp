#include "transfer_command.h"

#include "batch_line.h"
#include "platform/posix/user_folders.h"
#include "platform/text/utf.h"
#include "platform/win32/security.h"

#include <csv.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kProgressFromBytes = 4u << 20;
constexpr LONG kReplace = 1;
constexpr int kNewInputsShift = 8;
constexpr unsigned kMostNewInputs = 255;

std::u16string LoginName()
{
    char16_t name[257];
    DWORD size = 257;
    return GetUserNameW(name, &size) ? std::u16string(name) : std::u16string();
}

constexpr const char* kImportUsage =
    "usage: valmorin import <table> <file.csv> [--replace] [--user <name>] [--inputs <n>]";
constexpr const char* kExportUsage = "usage: valmorin export <table> [<file.csv>] (standard output without a file)";

[[noreturn]] void ImportUsage(const std::string& why) { throw UsageError{why + "; " + kImportUsage}; }

TransferCall ReadImport(const std::vector<std::string>& args)
{
    std::vector<std::string> positional;
    LONG mode = 0;
    std::u16string user = LoginName();
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--replace") {
            mode |= kReplace;
        } else if (arg == "--user" || arg == "--inputs") {
            if (i + 1 == args.size()) ImportUsage(arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "--user") {
                user = Wide(value, "the user name");
                continue;
            }
            char* end = nullptr;
            const unsigned long inputs = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || inputs == 0 || inputs > kMostNewInputs)
                ImportUsage("--inputs takes a number of input columns from 1 to 255, not '" + value + "'");
            mode |= static_cast<LONG>(inputs << kNewInputsShift);
        } else if (arg.starts_with("--")) {
            ImportUsage("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) ImportUsage("import takes a table and a file");
    return {u"TableImport",
            {user, Wide(positional[0], "the table name"), Wide(positional[1], "the file name"),
             valmorin::text::Widen(std::to_string(mode))},
            positional[1],
            positional[0]};
}

TransferCall ReadExport(const std::vector<std::string>& args)
{
    if (args.size() < 2 || args.size() > 3) throw UsageError{kExportUsage};
    TransferCall call{u"TableExport", {Wide(args[1], "the table name")}, {}, args[1]};
    if (args.size() == 3) {
        call.file = args[2];
        call.arguments.push_back(Wide(args[2], "the file name"));
    }
    return call;
}

// The records of a CSV file, counted by the parser the component reads
// it with, so that the bar's total is the component's.
class RecordCounter {
public:
    std::uint64_t Count(const std::string& file)
    {
        csv_parser parser{};
        if (csv_init(&parser, CSV_REPALL_NL) != 0) return 0;
        std::ifstream in(file, std::ios::binary);
        std::vector<char> block(1 << 18);
        while (in) {
            in.read(block.data(), static_cast<std::streamsize>(block.size()));
            csv_parse(&parser, block.data(), static_cast<std::size_t>(in.gcount()), Field, Record, this);
        }
        csv_fini(&parser, Field, Record, this);
        csv_free(&parser);
        return m_records > 0 ? m_records - 1 : 0; // the header is no row
    }

private:
    static void Field(void*, std::size_t, void* self) { static_cast<RecordCounter*>(self)->m_fields = true; }
    static void Record(int, void* self)
    {
        auto& counter = *static_cast<RecordCounter*>(self);
        if (counter.m_fields) ++counter.m_records;
        counter.m_fields = false;
    }

    std::uint64_t m_records = 0;
    bool m_fields = false;
};

// How far this process has read the file: the offset of a descriptor of
// ours open on it, as the kernel shows it; 0 until the import opens it.
std::uint64_t ReadOffset(const std::filesystem::path& file)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code ignored;
        if (!std::filesystem::equivalent(entry.path(), file, ignored)) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key;
        std::uint64_t value = 0;
        while (info >> key >> value)
            if (key == "pos:") return value;
    }
    return 0;
}

std::string Grouped(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

class ProgressBar {
public:
    ProgressBar(std::string table, std::filesystem::path file, std::uint64_t size, std::uint64_t rows)
        : m_table(std::move(table)), m_file(std::move(file)), m_size(size), m_rows(rows), m_thread([this] { Show(); })
    {}
    ~ProgressBar()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        m_thread.join();
        std::cerr << "\r\033[K" << std::flush;
    }

private:
    void Show()
    {
        std::unique_lock lock(m_mutex);
        do {
            const std::uint64_t offset = std::min(ReadOffset(m_file), m_size);
            const std::uint64_t rows = m_size == 0 ? 0 : m_rows * offset / m_size;
            constexpr int kWidth = 30;
            const int filled = m_size == 0 ? 0 : static_cast<int>(kWidth * offset / m_size);
            std::cerr << "\rimport " << m_table << " [" << std::string(static_cast<std::size_t>(filled), '#')
                      << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << Grouped(rows) << " of "
                      << Grouped(m_rows) << " rows" << std::flush;
        } while (!m_wake.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_done; }));
    }

    std::string m_table;
    std::filesystem::path m_file;
    std::uint64_t m_size, m_rows;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread; // started last, once the members it reads are set
};

} // namespace

std::string TransferUsage(const std::string& command) { return command == "import" ? kImportUsage : kExportUsage; }

TransferCall ReadTransferCall(const std::vector<std::string>& args)
{
    return args.at(0) == "import" ? ReadImport(args) : ReadExport(args);
}

int WithImportProgress(const TransferCall& transfer, const std::function<int()>& call)
{
    struct stat status {};
    if (!::isatty(STDERR_FILENO) || ::stat(transfer.file.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) < kProgressFromBytes)
        return call();
    const std::uint64_t rows = RecordCounter().Count(transfer.file);
    const ProgressBar bar(transfer.table, transfer.file, static_cast<std::uint64_t>(status.st_size), rows);
    return call();
}

int ExportToStream(TransferCall transfer, std::ostream& out, const std::function<int(const TransferCall&)>& call)
{
    std::string folder = (TemporaryFolder() / "valmorin-export.XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder: " + folder);
    const std::filesystem::path file = std::filesystem::path(folder) / "export.csv";
    struct Cleanup {
        std::filesystem::path folder;
        ~Cleanup()
        {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } cleanup{folder};
    transfer.arguments.push_back(valmorin::text::Widen(file.string()));
    const int status = call(transfer);
    if (status != 0) return status;
    std::ifstream in(file, std::ios::binary);
    // Gone from the folder before a byte is written out: a reader that goes
    // away, or a signal, leaves no copy of the table behind.
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    // A reader that went away (`| head`) fails the write, as a full disk
    // does, rather than ending the command by a signal.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<char> block(1 << 20);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        out.write(block.data(), in.gcount());
        out.flush();
        // A short write (a full disk, a closed pipe) must not pass for an
        // export: whoever reads the output would take a part for the whole.
        if (!out)
            throw std::runtime_error(std::string("the export could not be written whole: ") + std::strerror(errno));
    }
    if (in.bad()) throw std::runtime_error("the exported file could not be read back: " + file.string());
    return status;
}
