#include "datasource_command.h"

#include "platform/datasource/catalogue.h"
#include "platform/ado/connection_string.h"
#include "platform/datasource/store_file.h"
#include "platform/registry/hive.h"
#include "platform/text/utf.h"
#include "qmt/diag/exception.h"
#include "qmt/sys/system.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotConfigured = 1;
constexpr int kExitFailure = 2;
constexpr int kExitUsage = 64;

constexpr const char* kUsage =
    "usage: valmorin datasource list\n"
    "       valmorin datasource show <name>[@<account>]\n"
    "       valmorin datasource set <name>[@<account>] \"<connection string>\" [--schema <schema>] [--machine]\n"
    "       valmorin datasource remove <name>[@<account>] [--machine]\n";

// Ends the command with its message on standard error.
struct CommandEnd {
    int exitCode;
    std::string message;
};

CommandEnd Usage(const std::string& problem) { return {kExitUsage, problem}; }

struct Arguments {
    std::vector<std::string> positional;
    std::optional<std::string> schema;
    bool machine = false;
};

Arguments Parse(const std::vector<std::string>& args)
{
    Arguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--machine")
            parsed.machine = true;
        else if (args[i] == "--schema" && i + 1 < args.size())
            parsed.schema = args[++i];
        else if (args[i].starts_with("--"))
            throw Usage("unknown or incomplete option " + args[i]);
        else
            parsed.positional.push_back(args[i]);
    }
    return parsed;
}

void Expect(const Arguments& arguments, std::size_t positional, bool schema, bool machine)
{
    if (arguments.positional.size() != positional || (arguments.schema && !schema) || (arguments.machine && !machine))
        throw Usage("wrong arguments");
}

std::u16string Wide(const std::string& text, const std::string& what)
{
    auto wide = valmorin::text::Utf8ToUtf16(text);
    if (!wide) throw Usage(what + " is not valid UTF-8");
    return *wide;
}

void RequireStorable(const valmorin::datasource::DataSource& source)
{
    if (auto problem = valmorin::datasource::ProblemWith(source)) throw Usage(*problem);
}

valmorin::datasource::DataSource Named(const std::string& name)
{
    valmorin::datasource::DataSource source = valmorin::datasource::FromSectionName(Wide(name, "the name"));
    RequireStorable(source);
    return source;
}

std::string Section(const valmorin::datasource::DataSource& source)
{
    return "[" + valmorin::text::Utf16ToUtf8(valmorin::datasource::SectionName(source)) + "]";
}

void Check(const std::string& failure)
{
    if (!failure.empty()) throw CommandEnd{kExitFailure, failure};
}

std::filesystem::path TargetFile(const Arguments& arguments)
{
    return arguments.machine ? valmorin::datasource::MachineStoreFile() : valmorin::datasource::UserStoreFile();
}

valmorin::datasource::Catalogue LoadedCatalogue()
{
    valmorin::datasource::Catalogue catalogue = valmorin::datasource::LoadCatalogue();
    Check(catalogue.refusal);
    return catalogue;
}

std::string OriginText(valmorin::datasource::Origin origin)
{
    switch (origin) {
    case valmorin::datasource::Origin::User: return "user\t" + valmorin::datasource::UserStoreFile().string();
    case valmorin::datasource::Origin::Machine: return "machine\t" + valmorin::datasource::MachineStoreFile().string();
    case valmorin::datasource::Origin::Default: break;
    }
    return "default";
}

std::string TrimmedLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

int List(const Arguments& arguments)
{
    Expect(arguments, 0, false, false);
    for (const valmorin::datasource::CatalogueEntry& entry : LoadedCatalogue().entries)
        std::cout << valmorin::text::Utf16ToUtf8(valmorin::datasource::SectionName(entry.source)) << "\t"
                  << OriginText(entry.origin) << "\n";
    return kExitOk;
}

int Show(const Arguments& arguments)
{
    Expect(arguments, 1, false, false);
    const valmorin::datasource::DataSource wanted = Named(arguments.positional[0]);
    const std::u16string account = wanted.account.empty() ? qmt::CSystem::accountName() : wanted.account;
    const valmorin::datasource::Catalogue catalogue = LoadedCatalogue();
    const valmorin::datasource::CatalogueEntry* entry =
        valmorin::datasource::FindEntry(catalogue, account, wanted.name);
    if (entry == nullptr)
        throw CommandEnd{kExitNotConfigured, valmorin::text::Utf16ToUtf8(wanted.name) +
                                                 " is not configured for the account " +
                                                 valmorin::text::Utf16ToUtf8(account)};
    std::cout << "# " << OriginText(entry->origin) << "\n"
              << Section(entry->source) << "\n"
              << "ConnectionString = "
              << valmorin::text::Utf16ToUtf8(valmorin::ado::MaskPasswords(entry->source.connectionString)) << "\n";
    if (!entry->source.schema.empty())
        std::cout << "Schema = " << valmorin::text::Utf16ToUtf8(entry->source.schema) << "\n";
    return kExitOk;
}

int Set(const Arguments& arguments)
{
    Expect(arguments, 2, true, true);
    valmorin::datasource::DataSource source = Named(arguments.positional[0]);
    source.connectionString = Wide(arguments.positional[1], "the connection string");
    source.schema = arguments.schema ? Wide(*arguments.schema, "the schema") : u"";
    RequireStorable(source);
    const std::filesystem::path file = TargetFile(arguments);
    Check(valmorin::datasource::UpdateStoreFile(file, [&](std::vector<valmorin::datasource::DataSource>& sources) {
        const auto same =
            std::find_if(sources.begin(), sources.end(),
                         [&](const valmorin::datasource::DataSource& other) { return SameSection(other, source); });
        if (same == sources.end())
            sources.push_back(source);
        else
            *same = source;
    }));
    std::cout << Section(source) << " is set in " << file.string() << "\n";
    return kExitOk;
}

int Remove(const Arguments& arguments)
{
    Expect(arguments, 1, false, true);
    const valmorin::datasource::DataSource wanted = Named(arguments.positional[0]);
    const std::filesystem::path file = TargetFile(arguments);
    bool removed = false;
    Check(valmorin::datasource::UpdateStoreFile(file, [&](std::vector<valmorin::datasource::DataSource>& sources) {
        const auto same = [&](const valmorin::datasource::DataSource& other) { return SameSection(other, wanted); };
        removed = std::erase_if(sources, same) > 0;
    }));
    if (!removed) throw CommandEnd{kExitNotConfigured, Section(wanted) + " is not in " + file.string()};
    std::cout << Section(wanted) << " is removed from " << file.string() << "\n";
    return kExitOk;
}

} // namespace

int RunDataSourceCommand(const std::vector<std::string>& args)
{
    const std::map<std::string, int (*)(const Arguments&)> operations = {
        {"list", List}, {"show", Show}, {"set", Set}, {"remove", Remove}};
    try {
        if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
            std::cout << kUsage;
            return kExitOk;
        }
        const auto operation = args.empty() ? operations.end() : operations.find(args[0]);
        if (operation == operations.end())
            throw Usage(args.empty() ? "no operation given" : "unknown operation " + args[0]);
        return operation->second(Parse({args.begin() + 1, args.end()}));
    } catch (const CommandEnd& end) {
        std::cerr << "valmorin: datasource: " << end.message << "\n";
        if (end.exitCode == kExitUsage) std::cerr << kUsage;
        return end.exitCode;
    } catch (const qmt::CException& e) {
        // The account name comes from the registry: a hive that cannot be
        // read ends up here, and the user needs to know which.
        std::cerr << "valmorin: datasource: " << TrimmedLine(valmorin::text::Utf16ToUtf8(e.description)) << "\n";
        for (const std::string& problem : valmorin::registry::HiveProblems())
            std::cerr << "valmorin: note: " << problem << "\n";
    } catch (const std::exception& e) {
        std::cerr << "valmorin: datasource: " << e.what() << "\n";
    }
    return kExitFailure;
}
