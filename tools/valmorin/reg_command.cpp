#include "reg_command.h"

#include "platform/registry/hive.h"
#include "platform/registry/reg_text.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "valmorin/com/errorinfo.h"
#include "platform/win32/kernel.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include <unistd.h>

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr const char* kDone = "The operation completed successfully.";
constexpr const char* kNotFound = "The system was unable to find the specified registry key or value.";
constexpr const char* kFileError = "Error opening the file. There may be a disk or file system error.";

// An export is the user's to share; it starts out private.
constexpr mode_t kExportMode = 0600;

// Ends the command with "ERROR: " and the message, then a "valmorin: note:"
// line for each note: which file, which rule.
struct RegError {
    std::string message;
    std::vector<std::string> notes;
};

struct Cancelled {};

RegError SyntaxError(const std::string& operation)
{
    return {"Invalid syntax.\nType \"valmorin reg " + operation + " /?\" for usage.", {}};
}

std::u16string Wide(const std::string& text, const std::string& operation)
{
    auto wide = valmorin::text::Utf8ToUtf16(text);
    if (!wide) throw SyntaxError(operation);
    return *wide;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// A name as a user can read it back: control characters and unpaired
// surrogates, which a terminal would hide or act on, are spelled out.
std::string Shown(std::u16string_view name)
{
    std::string shown;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        const bool paired = c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
                            name[i + 1] <= 0xDFFF;
        char escaped[8];
        if (c == u'\n' || c == u'\r') {
            shown += c == u'\n' ? "\\n" : "\\r";
        } else if (c < u' ' || c == u'\x7F' || (c >= 0xD800 && c <= 0xDFFF && !paired)) {
            std::snprintf(escaped, sizeof escaped, c > 0xFF ? "\\u%04X" : "\\x%02X", static_cast<unsigned>(c));
            shown += escaped;
        } else {
            shown += valmorin::text::Utf16ToUtf8(name.substr(i, paired ? 2 : 1));
            i += paired ? 1 : 0;
        }
    }
    return shown;
}

// Which hive files stand in the way, for errors that come from one.
std::vector<std::string> HiveNotes(LONG error)
{
    if (error != static_cast<LONG>(ERROR_BADDB) && error != static_cast<LONG>(ERROR_REGISTRY_IO_FAILED) &&
        error != static_cast<LONG>(ERROR_ACCESS_DENIED))
        return {};
    std::vector<std::string> notes = valmorin::registry::HiveProblems();
    if (notes.empty() && error == static_cast<LONG>(ERROR_ACCESS_DENIED))
        notes.push_back("the hive file or its folder may not be written by this account, or is a symbolic link");
    return notes;
}

// The system's text for a registry error; a missing key or value in reg's
// own words.
RegError Failure(LONG error)
{
    if (error == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return {kNotFound, {}};
    const std::u16string text = SystemMessageText(static_cast<DWORD>(error));
    const std::string message =
        text.empty() ? "Error " + std::to_string(error) + "." : valmorin::text::Utf16ToUtf8(text);
    return {message, HiveNotes(error)};
}

void Check(LONG error)
{
    if (error != 0) throw Failure(error);
}

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> switches; // lower case, "/v" -> its value
};

// The first positionalCount arguments are positional whatever they look
// like (a Linux file name starts with a slash); the rest are switches.
Arguments ParseArguments(const std::vector<std::string>& args, std::size_t positionalCount,
                         const std::set<std::string>& flags, const std::set<std::string>& valued)
{
    const std::string operation = Upper(args[0]);
    if (args.size() < positionalCount + 1) throw SyntaxError(operation);
    Arguments parsed;
    parsed.positional.assign(args.begin() + 1, args.begin() + 1 + static_cast<std::ptrdiff_t>(positionalCount));
    for (auto arg = args.begin() + 1 + static_cast<std::ptrdiff_t>(positionalCount); arg != args.end(); ++arg) {
        std::string name = *arg;
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name.starts_with('-')) name[0] = '/';
        const bool takesValue = valued.contains(name);
        if ((!takesValue && !flags.contains(name)) || parsed.switches.contains(name)) throw SyntaxError(operation);
        if (takesValue && ++arg == args.end()) throw SyntaxError(operation);
        parsed.switches[name] = takesValue ? *arg : "";
    }
    return parsed;
}

struct KeyName {
    HKEY root;
    std::u16string rootName;
    std::u16string subPath;

    std::u16string Full() const { return subPath.empty() ? rootName : rootName + u"\\" + subPath; }
};

KeyName ParseKeyName(std::u16string_view name)
{
    const std::size_t separator = name.find(u'\\');
    const std::string root = Upper(valmorin::text::Utf16ToUtf8(name.substr(0, separator)));
    std::u16string subPath(separator == std::u16string_view::npos ? u"" : name.substr(separator + 1));
    while (subPath.ends_with(u'\\')) subPath.pop_back();
    const struct {
        const char* shortName;
        const char16_t* fullName;
        HKEY key;
    } roots[] = {{"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                 {"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                 {"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                 {"HKU", u"HKEY_USERS", HKEY_USERS}};
    for (const auto& candidate : roots)
        if (root == candidate.shortName || root == valmorin::text::Utf16ToUtf8(candidate.fullName))
            return {candidate.key, candidate.fullName, subPath};
    throw RegError{"Invalid key name.", {}};
}

// Refused before anything is written: the registry would refuse it half-way.
void RequireCarried(const std::u16string& keyPath, const std::u16string* valueName)
{
    for (const std::u16string& level : valmorin::registry::SplitKeyPath(keyPath))
        if (!valmorin::registry::IsCarriedName(level))
            throw RegError{"Invalid key name: " + Shown(keyPath) + ".",
                           {"a key name cannot hold line breaks, other control characters or unpaired surrogates"}};
    if (valueName != nullptr && !valmorin::registry::IsCarriedName(*valueName))
        throw RegError{"Invalid value name " + Shown(*valueName) + " under " + Shown(keyPath) + ".",
                       {"a value name cannot hold line breaks, other control characters or unpaired surrogates"}};
}

UniqueHKey OpenKey(const KeyName& name)
{
    HKEY key = nullptr;
    Check(RegOpenKeyExW(name.root, name.subPath.c_str(), 0, KEY_READ, &key));
    return UniqueHKey(key);
}

// Asks on a terminal; elsewhere nobody can answer and the command refuses.
void Confirm(const std::string& question, const std::string& refusal)
{
    if (!::isatty(STDIN_FILENO)) throw RegError{refusal, {}};
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) ||
        (answer.empty() || std::tolower(static_cast<unsigned char>(answer[0])) != 'y'))
        throw Cancelled{};
}

std::vector<valmorin::registry::Value> ReadValues(HKEY key)
{
    std::vector<valmorin::registry::Value> values;
    std::u16string name(16384, u'\0');
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = 0;
        const LONG error = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, nullptr, &size);
        if (error == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) return values;
        Check(error);
        std::vector<BYTE> data(size);
        nameLength = static_cast<DWORD>(name.size());
        Check(RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size));
        values.push_back({name.substr(0, nameLength), type, std::move(data)});
    }
}

std::vector<std::u16string> ReadSubkeyNames(HKEY key)
{
    std::vector<std::u16string> names;
    std::u16string name(256, u'\0');
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        const LONG error = RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (error == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) return names;
        Check(error);
        names.push_back(name.substr(0, length));
    }
}

UniqueHKey OpenSubkey(HKEY key, const std::u16string& name)
{
    HKEY subkey = nullptr;
    Check(RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &subkey));
    return UniqueHKey(subkey);
}

valmorin::registry::Key ReadTree(HKEY key, const std::u16string& name)
{
    valmorin::registry::Key tree{name, ReadValues(key), {}};
    for (const std::u16string& subkey : ReadSubkeyNames(key))
        tree.subkeys.push_back(ReadTree(OpenSubkey(key, subkey).get(), subkey));
    return tree;
}

const std::map<DWORD, std::string>& TypeNames()
{
    static const std::map<DWORD, std::string> names = {{REG_NONE, "REG_NONE"},           {REG_SZ, "REG_SZ"},
                                                       {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_BINARY, "REG_BINARY"},
                                                       {REG_DWORD, "REG_DWORD"},         {REG_MULTI_SZ, "REG_MULTI_SZ"},
                                                       {REG_QWORD, "REG_QWORD"}};
    return names;
}

std::uint64_t LittleEndian(const std::vector<BYTE>& data)
{
    std::uint64_t number = 0;
    for (std::size_t i = std::min<std::size_t>(data.size(), 8); i-- > 0;) number = number << 8 | data[i];
    return number;
}

std::string DisplayData(const valmorin::registry::Value& value)
{
    std::u16string text = valmorin::registry::DataText(value.data);
    char number[24];
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return valmorin::text::Utf16ToUtf8(text.substr(0, text.find(u'\0')));
    case REG_MULTI_SZ: {
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        std::string joined;
        for (const char16_t c : text)
            joined += c == u'\0' ? std::string("\\0") : valmorin::text::Utf16ToUtf8(std::u16string(1, c));
        return joined;
    }
    case REG_DWORD:
    case REG_QWORD:
        std::snprintf(number, sizeof number, "0x%llx", static_cast<unsigned long long>(LittleEndian(value.data)));
        return number;
    default: break;
    }
    std::string hex;
    for (const BYTE byte : value.data) {
        std::snprintf(number, sizeof number, "%02X", byte);
        hex += number;
    }
    return hex;
}

std::string ValueLine(const valmorin::registry::Value& value)
{
    const auto type = TypeNames().find(value.type);
    return "    " + (value.name.empty() ? std::string("(Default)") : valmorin::text::Utf16ToUtf8(value.name)) + "    " +
           (type != TypeNames().end() ? type->second : "REG_UNKNOWN") + "    " + DisplayData(value);
}

// A key as reg shows it: its path, its values and, unless the whole tree
// is shown, the paths of its sub-keys. Returns the number of matches.
std::size_t PrintKey(HKEY key, const std::u16string& path, bool tree)
{
    const std::vector<valmorin::registry::Value> values = ReadValues(key);
    std::cout << "\n" << valmorin::text::Utf16ToUtf8(path) << "\n";
    for (const valmorin::registry::Value& value : values) std::cout << ValueLine(value) << "\n";
    std::size_t matches = values.size();
    const std::vector<std::u16string> subkeys = ReadSubkeyNames(key);
    if (!tree && !values.empty() && !subkeys.empty()) std::cout << "\n";
    for (const std::u16string& subkey : subkeys) {
        const std::u16string subPath = path + u"\\" + subkey;
        if (tree)
            matches += 1 + PrintKey(OpenSubkey(key, subkey).get(), subPath, true);
        else
            std::cout << valmorin::text::Utf16ToUtf8(subPath) << "\n";
    }
    return matches;
}

// The value a command names: /v name, /ve the default value.
std::optional<std::u16string> NamedValue(const Arguments& parsed, const std::string& operation)
{
    const bool named = parsed.switches.contains("/v");
    const bool byDefault = parsed.switches.contains("/ve");
    if (named && byDefault) throw SyntaxError(operation);
    if (named) return Wide(parsed.switches.at("/v"), operation);
    if (byDefault) return std::u16string();
    return std::nullopt;
}

int Query(const std::vector<std::string>& args)
{
    const Arguments parsed = ParseArguments(args, 1, {"/ve", "/s"}, {"/v"});
    const KeyName name = ParseKeyName(Wide(parsed.positional[0], "QUERY"));
    const auto valueName = NamedValue(parsed, "QUERY");
    const UniqueHKey key = OpenKey(name);
    if (!valueName) {
        const bool tree = parsed.switches.contains("/s");
        const std::size_t matches = PrintKey(key.get(), name.Full(), tree);
        if (tree) std::cout << "\nEnd of search: " << matches << " match(es) found.\n";
        return kExitSuccess;
    }
    const std::vector<valmorin::registry::Value> values = ReadValues(key.get());
    const auto value = std::find_if(values.begin(), values.end(), [&](const valmorin::registry::Value& v) {
        return valmorin::registry::SameName(v.name, *valueName);
    });
    const bool unsetDefault = value == values.end() && valueName->empty();
    if (value == values.end() && !unsetDefault) throw RegError{kNotFound, {}};
    // A key always has a default value to show, set or not, as reg shows it.
    const std::string line = unsetDefault ? "    (Default)    REG_SZ    (value not set)" : ValueLine(*value);
    std::cout << "\n" << valmorin::text::Utf16ToUtf8(name.Full()) << "\n" << line << "\n\n";
    return kExitSuccess;
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t largest)
{
    if (text.empty()) return 0;
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t number = 0;
    const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), number, base);
    if (failed != std::errc{} || end != text.data() + text.size() || number > largest) return std::nullopt;
    return number;
}

std::vector<BYTE> LittleEndianBytes(std::uint64_t number, std::size_t size)
{
    std::vector<BYTE> bytes;
    for (std::size_t i = 0; i < size; ++i, number >>= 8) bytes.push_back(static_cast<BYTE>(number));
    return bytes;
}

std::optional<std::vector<BYTE>> HexBytes(std::string_view text)
{
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<BYTE> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        BYTE byte = 0;
        const auto [end, failed] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (failed != std::errc{} || end != text.data() + i + 2) return std::nullopt;
        bytes.push_back(byte);
    }
    return bytes;
}

// The data of /d for the type of /t; strings of a REG_MULTI_SZ are
// separated by /s, "\0" by default.
std::vector<BYTE> EncodeData(DWORD type, const std::string& data, const std::string& separator)
{
    std::optional<std::vector<BYTE>> bytes;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        bytes = valmorin::registry::StringData(Wide(data, "ADD"));
    } else if (type == REG_MULTI_SZ) {
        std::u16string strings = Wide(data, "ADD");
        const std::u16string split = Wide(separator, "ADD");
        if (split.empty()) throw SyntaxError("ADD");
        for (std::size_t at; (at = strings.find(split)) != std::u16string::npos;)
            strings.replace(at, split.size(), 1, u'\0');
        bytes = valmorin::registry::StringData(strings.empty() ? strings : strings + u'\0');
    } else if (type == REG_DWORD || type == REG_QWORD) {
        const std::size_t size = type == REG_DWORD ? 4 : 8;
        const auto number = ParseNumber(data, type == REG_DWORD ? 0xFFFFFFFFu : ~std::uint64_t{0});
        if (number) bytes = LittleEndianBytes(*number, size);
    } else {
        bytes = HexBytes(data);
    }
    if (!bytes) throw SyntaxError("ADD");
    return *bytes;
}

DWORD TypeOf(const std::string& name)
{
    for (const auto& [type, typeName] : TypeNames())
        if (Upper(name) == typeName) return type;
    throw SyntaxError("ADD");
}

int Add(const std::vector<std::string>& args)
{
    const Arguments parsed = ParseArguments(args, 1, {"/ve", "/f"}, {"/v", "/t", "/s", "/d"});
    const KeyName name = ParseKeyName(Wide(parsed.positional[0], "ADD"));
    auto valueName = NamedValue(parsed, "ADD");
    const auto& switches = parsed.switches;
    if (!valueName && (switches.contains("/d") || switches.contains("/t"))) valueName = u"";
    const DWORD type = switches.contains("/t") ? TypeOf(switches.at("/t")) : REG_SZ;
    const std::string data = switches.contains("/d") ? switches.at("/d") : "";
    const std::vector<BYTE> bytes = EncodeData(type, data, switches.contains("/s") ? switches.at("/s") : "\\0");
    RequireCarried(name.Full(), valueName ? &*valueName : nullptr);

    HKEY created = nullptr;
    Check(RegCreateKeyExW(name.root, name.subPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                          &created, nullptr));
    const UniqueHKey key(created);
    if (valueName) {
        const bool exists = RegQueryValueExW(key.get(), valueName->c_str(), nullptr, nullptr, nullptr, nullptr) == 0;
        const std::string shown = valueName->empty() ? "(Default)" : valmorin::text::Utf16ToUtf8(*valueName);
        if (exists && !switches.contains("/f"))
            Confirm("Value " + shown + " exists, overwrite",
                    "Value " + shown + " exists; add /f to overwrite it without asking.");
        Check(RegSetValueExW(key.get(), valueName->c_str(), 0, type, bytes.data(), static_cast<DWORD>(bytes.size())));
    }
    std::cout << kDone << "\n";
    return kExitSuccess;
}

int Delete(const std::vector<std::string>& args)
{
    const Arguments parsed = ParseArguments(args, 1, {"/ve", "/va", "/f"}, {"/v"});
    const KeyName name = ParseKeyName(Wide(parsed.positional[0], "DELETE"));
    const auto valueName = NamedValue(parsed, "DELETE");
    const bool allValues = parsed.switches.contains("/va");
    const bool asked = !parsed.switches.contains("/f");
    if (valueName && allValues) throw SyntaxError("DELETE");
    const UniqueHKey key = OpenKey(name);
    if (valueName) {
        const std::string shown = valueName->empty() ? "(Default)" : valmorin::text::Utf16ToUtf8(*valueName);
        if (asked)
            Confirm("Delete the registry value " + shown, "Add /f to delete the value " + shown + " without asking.");
        Check(RegDeleteValueW(key.get(), valueName->c_str()));
    } else if (allValues) {
        if (asked)
            Confirm("Delete all values under the registry key " + valmorin::text::Utf16ToUtf8(name.Full()),
                    "Add /f to delete the values without asking.");
        for (const valmorin::registry::Value& value : ReadValues(key.get()))
            Check(RegDeleteValueW(key.get(), value.name.c_str()));
    } else {
        if (asked)
            Confirm("Permanently delete the registry key " + valmorin::text::Utf16ToUtf8(name.Full()),
                    "Add /f to delete the key without asking.");
        Check(RegDeleteTreeW(name.root, name.subPath.c_str()));
    }
    std::cout << kDone << "\n";
    return kExitSuccess;
}

// What is not there already is as good as deleted.
void CheckDeleted(LONG error)
{
    if (error != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) Check(error);
}

void ImportSection(const valmorin::registry::RegSection& section)
{
    const KeyName name = ParseKeyName(section.path);
    if (section.removeKey) {
        CheckDeleted(RegDeleteTreeW(name.root, name.subPath.c_str()));
        return;
    }
    HKEY created = nullptr;
    Check(RegCreateKeyExW(name.root, name.subPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                          &created, nullptr));
    const UniqueHKey key(created);
    for (const valmorin::registry::Value& value : section.values)
        Check(RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                             static_cast<DWORD>(value.data.size())));
    for (const std::u16string& removed : section.removedValues)
        CheckDeleted(RegDeleteValueW(key.get(), removed.c_str()));
}

void RequireCarried(const valmorin::registry::RegSection& section)
{
    ParseKeyName(section.path);
    RequireCarried(section.path, nullptr);
    for (const valmorin::registry::Value& value : section.values) RequireCarried(section.path, &value.name);
    for (const std::u16string& removed : section.removedValues) RequireCarried(section.path, &removed);
}

int Import(const std::vector<std::string>& args)
{
    const Arguments parsed = ParseArguments(args, 1, {}, {});
    const std::string& fileName = parsed.positional[0];
    std::string bytes;
    int error = 0;
    if (const std::string problem = valmorin::registry::ReadRegularFile(fileName, bytes, error); !problem.empty())
        throw RegError{kFileError, {fileName + ": " + problem}};
    const auto sections = valmorin::registry::ParseRegFile(bytes, valmorin::registry::RegSource::Import);
    if (!sections)
        throw RegError{"The specified file is not a registry file. You can import only registry files.",
                       {fileName + ": not a well-formed .reg file (REGEDIT4 or version 5.00)"}};
    for (const valmorin::registry::RegSection& section : *sections) RequireCarried(section);
    for (const valmorin::registry::RegSection& section : *sections) ImportSection(section);
    std::cout << kDone << "\n";
    return kExitSuccess;
}

int Export(const std::vector<std::string>& args)
{
    const Arguments parsed = ParseArguments(args, 2, {"/y"}, {});
    const KeyName name = ParseKeyName(Wide(parsed.positional[0], "EXPORT"));
    const std::string& fileName = parsed.positional[1];
    const UniqueHKey key = OpenKey(name);
    std::vector<valmorin::registry::RegSection> sections;
    valmorin::registry::AppendSections(ReadTree(key.get(), name.Full()), name.Full(), sections);
    if (std::filesystem::exists(fileName) && !parsed.switches.contains("/y"))
        Confirm("File " + fileName + " already exists. Overwrite",
                "File " + fileName + " exists; add /y to overwrite it without asking.");
    const std::string text = valmorin::registry::FormatRegFile(sections, valmorin::registry::RegEncoding::Utf16);
    if (valmorin::registry::ReplaceFile(fileName, text, kExportMode) != ERROR_SUCCESS)
        throw RegError{kFileError, {fileName + ": cannot be written through " + fileName + ".new"}};
    std::cout << kDone << "\n";
    return kExitSuccess;
}

void PrintUsage()
{
    std::cout
        << "valmorin reg QUERY  KeyName [/v ValueName | /ve] [/s]\n"
           "valmorin reg ADD    KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n"
           "valmorin reg DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
           "valmorin reg IMPORT FileName\n"
           "valmorin reg EXPORT KeyName FileName [/y]\n\n"
           "KeyName: ROOT\\SubKey, ROOT one of HKLM, HKCU, HKCR, HKU (or spelled out).\n"
           "Type: REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE.\n"
           "Without /f (/y), an existing value, key or file is replaced only when confirmed on a terminal.\n";
}

} // namespace

int RunRegCommand(const std::vector<std::string>& args)
{
    const std::map<std::string, int (*)(const std::vector<std::string>&)> operations = {
        {"QUERY", Query}, {"ADD", Add}, {"DELETE", Delete}, {"IMPORT", Import}, {"EXPORT", Export}};
    try {
        if (!args.empty() && (args[0] == "/?" || args[0] == "-h" || args[0] == "--help")) {
            PrintUsage();
            return kExitSuccess;
        }
        const auto operation = args.empty() ? operations.end() : operations.find(Upper(args[0]));
        if (operation == operations.end())
            throw RegError{"Invalid syntax.\nType \"valmorin reg /?\" for usage.", {}};
        if (args.size() == 2 && args[1] == "/?") {
            PrintUsage();
            return kExitSuccess;
        }
        return operation->second(args);
    } catch (const RegError& e) {
        std::cerr << "ERROR: " << e.message << "\n";
        for (const std::string& note : e.notes) std::cerr << "valmorin: note: " << note << "\n";
    } catch (const Cancelled&) {
        std::cout << "The operation was canceled by the user.\n";
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
    }
    return kExitFailure;
}
