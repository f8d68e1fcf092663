// valmorin_idlc: compiles the component's IDL into the sources the build
// includes.
//
//     valmorin_idlc <file.idl> [--header <file>] [--calls <file>] [--description <file>]
//                              [--method-names <file>] [--python-stub <file>]
#include "platform/posix/unique_fd.h"
#include "tools/idlc/idl_generators.h"
#include "tools/idlc/idl_parser.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Generator = std::string (*)(const idlc::Library&, std::string_view);

struct Output {
    std::string_view option;
    Generator generate;
};

constexpr Output kOutputs[] = {{"--header", idlc::InterfaceHeader},
                               {"--calls", idlc::DispatchCalls},
                               {"--description", idlc::InterfaceDescription},
                               {"--method-names", idlc::MethodNames},
                               {"--python-stub", idlc::PythonStub}};

constexpr mode_t kGeneratedMode = 0644;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string ReadAll(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    if (!(in && text << in.rdbuf())) throw std::runtime_error(file + ": cannot be read: " + std::strerror(errno));
    return text.str();
}

void WriteAll(int fd, std::string_view bytes, const std::string& file)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) throw std::runtime_error(file + ": cannot be written: " + std::strerror(errno));
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

// A build that is interrupted, or runs beside another, never sees half a
// file: the text goes to a fresh file beside the target, which then
// replaces it. A file that already says the same is left alone, so that
// what includes it is not rebuilt for nothing.
void Replace(const std::string& file, std::string_view text)
{
    if (std::ifstream current(file, std::ios::binary); current) {
        std::ostringstream held;
        if (held << current.rdbuf() && held.view() == text) return;
    }
    const std::string written = file + ".new";
    ::unlink(written.c_str()); // left over from a run that died half-way
    {
        const UniqueFd fd(::open(written.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kGeneratedMode));
        if (!fd) throw std::runtime_error(written + ": cannot be created: " + std::strerror(errno));
        try {
            if (::fchmod(fd.get(), kGeneratedMode) != 0)
                throw std::runtime_error(written + ": cannot be made readable: " + std::strerror(errno));
            WriteAll(fd.get(), text, written);
        } catch (...) {
            ::unlink(written.c_str());
            throw;
        }
    }
    if (::rename(written.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(written.c_str());
        throw std::runtime_error(file + ": cannot be replaced: " + std::strerror(error));
    }
}

int Run(const std::vector<std::string>& args)
{
    if (args.empty() || args.size() % 2 == 0)
        throw UsageError("usage: valmorin_idlc <file.idl> [--header <file>] [--calls <file>] [--description <file>] "
                         "[--method-names <file>] [--python-stub <file>]");
    const std::string& idl = args[0];
    const idlc::Library library = idlc::ParseIdl(ReadAll(idl), idl);
    const std::string source = std::filesystem::path(idl).filename().string();
    for (std::size_t i = 1; i < args.size(); i += 2) {
        const Output* output = nullptr;
        for (const Output& known : kOutputs)
            if (known.option == args[i]) output = &known;
        if (!output) throw UsageError("unknown option '" + args[i] + "'");
        Replace(args[i + 1], output->generate(library, source));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "valmorin_idlc: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
