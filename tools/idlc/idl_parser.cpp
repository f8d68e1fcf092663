#include "tools/idlc/idl_parser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <optional>
#include <span>

namespace idlc {
namespace {

enum class TokenKind { Word, Number, String, Punctuation, End };

struct Token {
    TokenKind kind;
    std::string text;
    int line;
};

std::string Quoted(const Token& token)
{
    switch (token.kind) {
    case TokenKind::End: return "the end of the file";
    case TokenKind::String: return "the string \"" + token.text + "\"";
    default: return "'" + token.text + "'";
    }
}

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsWordPart(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Tokens on demand, so that a uuid, whose digits and dashes are no tokens
// of the language, can be read as raw text.
class Scanner {
public:
    Scanner(std::string_view text, const std::string& file) : m_text(text), m_file(file) {}

    [[noreturn]] void Fail(int line, const std::string& message) const
    {
        throw IdlError(m_file + ":" + std::to_string(line) + ": " + message);
    }

    const Token& Peek()
    {
        if (!m_peeked) m_peeked = Scan();
        return *m_peeked;
    }

    Token Next()
    {
        Token token = Peek();
        m_peeked.reset();
        return token;
    }

    bool Accept(std::string_view text)
    {
        if (Peek().kind == TokenKind::String || Peek().text != text) return false;
        Next();
        return true;
    }

    Token Expect(std::string_view text)
    {
        Token token = Next();
        if (token.kind == TokenKind::String || token.text != text)
            Fail(token.line, "expected '" + std::string(text) + "', found " + Quoted(token));
        return token;
    }

    Token Expect(TokenKind kind, const std::string& what)
    {
        Token token = Next();
        if (token.kind != kind) Fail(token.line, "expected " + what + ", found " + Quoted(token));
        return token;
    }

    // The text up to the closing parenthesis, on the same line.
    Token RawArgument()
    {
        SkipBlanks();
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && m_text[m_pos] != ')' && m_text[m_pos] != '\n') ++m_pos;
        std::string_view raw = m_text.substr(start, m_pos - start);
        while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t')) raw.remove_suffix(1);
        return {TokenKind::Word, std::string(raw), m_line};
    }

private:
    bool At(std::string_view text) const { return m_text.substr(m_pos, text.size()) == text; }

    void SkipBlanks()
    {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                m_line += c == '\n' ? 1 : 0;
                ++m_pos;
            } else if (At("//")) {
                m_pos = std::min(m_text.find('\n', m_pos), m_text.size());
            } else if (At("/*")) {
                const std::size_t end = m_text.find("*/", m_pos + 2);
                if (end == std::string_view::npos) Fail(m_line, "comment not closed");
                m_line += static_cast<int>(std::count(m_text.begin() + static_cast<std::ptrdiff_t>(m_pos),
                                                      m_text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
                m_pos = end + 2;
            } else {
                return;
            }
        }
    }

    Token Scan()
    {
        SkipBlanks();
        if (m_pos >= m_text.size()) return {TokenKind::End, "", m_line};
        const char c = m_text[m_pos];
        if (IsWordStart(c)) return Run(TokenKind::Word, IsWordPart);
        if (IsDigit(c)) return Run(TokenKind::Number, IsDigit);
        if (c == '"') return ScanString();
        if (std::string_view("[](){},;:*.").find(c) != std::string_view::npos) {
            ++m_pos;
            return {TokenKind::Punctuation, std::string(1, c), m_line};
        }
        Fail(m_line, "unexpected character " + Printable(c));
    }

    Token Run(TokenKind kind, bool (*belongs)(char))
    {
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && belongs(m_text[m_pos])) ++m_pos;
        return {kind, std::string(m_text.substr(start, m_pos - start)), m_line};
    }

    // Help texts are plain ASCII: what the generated sources quote needs no
    // escaping and no encoding.
    Token ScanString()
    {
        const std::size_t start = ++m_pos;
        for (; m_pos < m_text.size() && m_text[m_pos] != '"'; ++m_pos) {
            const char c = m_text[m_pos];
            if (c == '\n') Fail(m_line, "string not closed on its line");
            if (c == '\\') Fail(m_line, "a string cannot hold a backslash");
            if (c < 0x20 || c > 0x7e) Fail(m_line, "a string holds printable ASCII only, not " + Printable(c));
        }
        if (m_pos >= m_text.size()) Fail(m_line, "string not closed");
        return {TokenKind::String, std::string(m_text.substr(start, m_pos++ - start)), m_line};
    }

    static std::string Printable(char c)
    {
        if (c >= 0x21 && c <= 0x7e) return std::string("'") + c + "'";
        static constexpr char kHex[] = "0123456789ABCDEF";
        const auto byte = static_cast<unsigned char>(c);
        return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 0xF];
    }

    std::string_view m_text;
    const std::string& m_file;
    std::size_t m_pos = 0;
    int m_line = 1;
    std::optional<Token> m_peeked;
};

enum class Argument { None, Uuid, Version, Text, Number };

struct AttributeRule {
    std::string_view name;
    Argument argument;
};

constexpr AttributeRule kLibraryAttributes[] = {
    {"uuid", Argument::Uuid}, {"version", Argument::Version}, {"helpstring", Argument::Text}};
constexpr AttributeRule kInterfaceAttributes[] = {{"object", Argument::None},
                                                  {"uuid", Argument::Uuid},
                                                  {"dual", Argument::None},
                                                  {"oleautomation", Argument::None},
                                                  {"helpstring", Argument::Text}};
constexpr AttributeRule kMethodAttributes[] = {{"id", Argument::Number}, {"helpstring", Argument::Text}};
constexpr AttributeRule kParameterAttributes[] = {
    {"in", Argument::None}, {"out", Argument::None}, {"retval", Argument::None}};
constexpr AttributeRule kCoclassAttributes[] = {{"uuid", Argument::Uuid}, {"helpstring", Argument::Text}};
// What an interface's or a coclass's attributes may be, before the keyword
// that says which it is.
constexpr AttributeRule kDeclarationAttributes[] = {{"object", Argument::None},
                                                    {"uuid", Argument::Uuid},
                                                    {"dual", Argument::None},
                                                    {"oleautomation", Argument::None},
                                                    {"helpstring", Argument::Text}};
constexpr AttributeRule kImplementedAttributes[] = {{"default", Argument::None}};

// The names of IDispatch's own slots: a method of that name would override
// them in the generated declaration.
constexpr std::string_view kDispatchSlots[] = {"QueryInterface", "AddRef",      "Release", "GetTypeInfoCount",
                                               "GetTypeInfo",    "GetIDsOfNames", "Invoke"};

struct Attribute {
    std::string value;
    int line;
};

class Attributes {
public:
    Attributes(int line, std::map<std::string, Attribute, std::less<>> found) : m_line(line), m_found(std::move(found))
    {
    }

    bool Has(std::string_view name) const { return m_found.contains(name); }
    // The attribute's argument; "" for a missing attribute.
    std::string Value(std::string_view name) const
    {
        const auto it = m_found.find(name);
        return it == m_found.end() ? std::string() : it->second.value;
    }
    int Line(std::string_view name) const { return m_found.find(name)->second.line; }
    int line() const { return m_line; }

private:
    int m_line;
    std::map<std::string, Attribute, std::less<>> m_found;
};

bool IsUuid(std::string_view text)
{
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// A whole number up to limit, or the failure names what it was for.
int Number(Scanner& scanner, const Token& token, int limit, const std::string& what)
{
    int value = 0;
    const auto [end, error] = std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
    if (error != std::errc() || end != token.text.data() + token.text.size() || value > limit)
        scanner.Fail(token.line, what + " " + token.text + " is larger than " + std::to_string(limit));
    return value;
}

std::string ParseArgument(Scanner& scanner, Argument argument)
{
    if (argument == Argument::None) return {};
    scanner.Expect("(");
    std::string value;
    switch (argument) {
    case Argument::Uuid: {
        const Token uuid = scanner.RawArgument();
        if (!IsUuid(uuid.text))
            scanner.Fail(uuid.line, "'" + uuid.text + "' is not a uuid of the form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX");
        value = uuid.text;
        break;
    }
    case Argument::Version:
        value = scanner.Expect(TokenKind::Number, "a major version number").text;
        scanner.Expect(".");
        value += "." + scanner.Expect(TokenKind::Number, "a minor version number").text;
        break;
    case Argument::Text: value = scanner.Expect(TokenKind::String, "a quoted string").text; break;
    case Argument::Number: value = scanner.Expect(TokenKind::Number, "a number").text; break;
    case Argument::None: break;
    }
    scanner.Expect(")");
    return value;
}

Attributes ParseAttributes(Scanner& scanner, std::span<const AttributeRule> rules, const std::string& owner)
{
    const int line = scanner.Expect("[").line;
    std::map<std::string, Attribute, std::less<>> found;
    do {
        const Token name = scanner.Expect(TokenKind::Word, "an attribute of " + owner);
        const auto rule =
            std::find_if(rules.begin(), rules.end(), [&](const AttributeRule& r) { return r.name == name.text; });
        if (rule == rules.end()) scanner.Fail(name.line, "'" + name.text + "' is no attribute of " + owner);
        if (found.contains(name.text)) scanner.Fail(name.line, "attribute '" + name.text + "' given twice");
        found.emplace(name.text, Attribute{ParseArgument(scanner, rule->argument), name.line});
    } while (scanner.Accept(","));
    scanner.Expect("]");
    return {line, std::move(found)};
}

// Attributes read before the keyword, held to the kind it names.
void CheckAttributes(Scanner& scanner, const Attributes& attributes, std::span<const AttributeRule> rules,
                     const std::string& owner)
{
    for (const AttributeRule& candidate : kDeclarationAttributes) {
        const bool allowed = std::any_of(rules.begin(), rules.end(),
                                         [&](const AttributeRule& rule) { return rule.name == candidate.name; });
        if (!allowed && attributes.Has(candidate.name))
            scanner.Fail(attributes.Line(candidate.name),
                         "'" + std::string(candidate.name) + "' is no attribute of " + owner);
    }
}

void Require(Scanner& scanner, const Attributes& attributes, std::string_view name, const std::string& owner)
{
    if (!attributes.Has(name)) scanner.Fail(attributes.line(), owner + " needs the attribute '" + std::string(name) + "'");
}

std::string Folded(std::string_view name)
{
    std::string folded(name);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

idl::Type ParseType(Scanner& scanner)
{
    const Token type = scanner.Expect(TokenKind::Word, "a parameter type");
    if (type.text == "BSTR") return scanner.Accept("*") ? idl::Type::BstrPointer : idl::Type::Bstr;
    if (type.text == "LONG") return scanner.Accept("*") ? idl::Type::LongPointer : idl::Type::Long;
    if (type.text == "SAFEARRAY") {
        scanner.Expect("(");
        scanner.Expect("BSTR");
        scanner.Expect(")");
        scanner.Expect("*");
        return idl::Type::BstrArrayPointer;
    }
    scanner.Fail(type.line,
                 "unknown type '" + type.text + "': the types are BSTR, BSTR*, LONG, LONG* and SAFEARRAY(BSTR)*");
}

idl::Direction DirectionOf(Scanner& scanner, const Attributes& attributes)
{
    const bool in = attributes.Has("in"), out = attributes.Has("out"), retval = attributes.Has("retval");
    if (in && !out && !retval) return idl::Direction::In;
    if (out && !in) return retval ? idl::Direction::OutRetval : idl::Direction::Out;
    scanner.Fail(attributes.line(), "a parameter is [in], [out] or [out, retval]");
}

// What Invoke can pass: texts and numbers in, a text or a number back as
// the result, and arrays out that it releases.
bool Passable(idl::Direction direction, idl::Type type)
{
    switch (direction) {
    case idl::Direction::In: return type == idl::Type::Bstr || type == idl::Type::Long;
    case idl::Direction::Out: return type == idl::Type::BstrArrayPointer;
    case idl::Direction::OutRetval: return type == idl::Type::BstrPointer || type == idl::Type::LongPointer;
    }
    return false;
}

Parameter ParseParameter(Scanner& scanner, const Method& method)
{
    const Attributes attributes = ParseAttributes(scanner, kParameterAttributes, "a parameter");
    const idl::Direction direction = DirectionOf(scanner, attributes);
    const idl::Type type = ParseType(scanner);
    const Token name = scanner.Expect(TokenKind::Word, "a parameter name");
    const std::string where = "parameter '" + name.text + "' of " + method.name;
    if (!Passable(direction, type))
        scanner.Fail(name.line, where + ": an [in] parameter is a BSTR or a LONG, an [out] one a SAFEARRAY(BSTR)*, "
                                        "an [out, retval] one a BSTR* or a LONG*");
    for (const Parameter& earlier : method.parameters) {
        if (earlier.direction == idl::Direction::OutRetval)
            scanner.Fail(name.line, where + " follows the [out, retval] parameter, which must come last");
        if (Folded(earlier.name) == Folded(name.text))
            scanner.Fail(name.line, where + ": the name is taken by an earlier parameter (names are told apart "
                                            "whatever their case)");
    }
    return {name.text, direction, type};
}

// Keeps what the methods read so far have taken: dispatch identifiers and
// names, with their lines.
struct MethodsSoFar {
    std::map<int, std::pair<std::string, int>> byId;
    std::map<std::string, int> lineByName;
};

void CheckIdentity(Scanner& scanner, const Method& method, int idLine, int nameLine, MethodsSoFar& seen)
{
    if (const auto taken = seen.byId.find(method.id); taken != seen.byId.end())
        scanner.Fail(idLine, "dispid " + std::to_string(method.id) + " of " + method.name + " is taken by " +
                                 taken->second.first + " (line " + std::to_string(taken->second.second) + ")");
    const int expected = static_cast<int>(seen.byId.size()) + 1;
    if (method.id != expected)
        scanner.Fail(idLine, "dispid " + std::to_string(method.id) + " of " + method.name +
                                 " is out of order: dispids follow the slots from 1, so this one must be " +
                                 std::to_string(expected));
    const std::string folded = Folded(method.name);
    for (std::string_view slot : kDispatchSlots)
        if (folded == Folded(slot))
            scanner.Fail(nameLine, method.name + " is the name of one of IDispatch's own methods");
    if (const auto taken = seen.lineByName.find(folded); taken != seen.lineByName.end())
        scanner.Fail(nameLine, method.name + " is declared already, at line " + std::to_string(taken->second) +
                                   " (names are told apart whatever their case)");
    seen.byId.emplace(method.id, std::pair{method.name, nameLine});
    seen.lineByName.emplace(folded, nameLine);
}

Method ParseMethod(Scanner& scanner, MethodsSoFar& seen)
{
    const Attributes attributes = ParseAttributes(scanner, kMethodAttributes, "a method");
    Require(scanner, attributes, "id", "a method");
    const Token result = scanner.Expect(TokenKind::Word, "HRESULT");
    if (result.text != "HRESULT")
        scanner.Fail(result.line, "a method of a dual interface returns HRESULT, not " + result.text);
    const Token name = scanner.Expect(TokenKind::Word, "a method name");
    Method method;
    method.name = name.text;
    method.help = attributes.Value("helpstring");
    const Token id{TokenKind::Number, attributes.Value("id"), attributes.Line("id")};
    method.id = Number(scanner, id, 0x7FFFFFFF, "dispid");
    CheckIdentity(scanner, method, id.line, name.line, seen);
    scanner.Expect("(");
    if (!scanner.Accept(")")) {
        do method.parameters.push_back(ParseParameter(scanner, method));
        while (scanner.Accept(","));
        scanner.Expect(")");
    }
    scanner.Expect(";");
    return method;
}

// What the interfaces declared so far have taken, for the next one that
// extends them: its methods continue their dispatch identifiers and may not
// take their names.
struct Declared {
    const Interface* interface;
    MethodsSoFar methods;
};

Interface ParseInterface(Scanner& scanner, const Attributes& attributes, const std::vector<Declared>& declared,
                         MethodsSoFar& seen)
{
    for (std::string_view required : {"object", "uuid", "dual"}) Require(scanner, attributes, required, "the interface");
    scanner.Expect("interface");
    Interface result;
    const Token name = scanner.Expect(TokenKind::Word, "the interface's name");
    result.name = name.text;
    result.uuid = attributes.Value("uuid");
    result.help = attributes.Value("helpstring");
    for (const Declared& earlier : declared)
        if (earlier.interface->name == result.name)
            scanner.Fail(name.line, "interface " + result.name + " is declared twice");
    scanner.Expect(":");
    const Token base = scanner.Expect(TokenKind::Word, "IDispatch or an interface declared before");
    result.base = base.text;
    if (base.text == "IDispatch") {
        if (!declared.empty())
            scanner.Fail(base.line, result.name + " derives from IDispatch: only the first interface may; the others "
                                                  "extend the one declared before them");
        seen = {};
    } else {
        if (declared.empty() || declared.back().interface->name != base.text)
            scanner.Fail(base.line, result.name + " extends " + base.text +
                                        ", which is not the interface declared "
                                        "just before it");
        seen = declared.back().methods;
    }
    const int line = scanner.Expect("{").line;
    while (!scanner.Accept("}")) result.methods.push_back(ParseMethod(scanner, seen));
    scanner.Expect(";");
    if (result.methods.empty()) scanner.Fail(line, "interface " + result.name + " declares no method");
    return result;
}

void ParseCoclass(Scanner& scanner, const Attributes& attributes, Library& library)
{
    Require(scanner, attributes, "uuid", "the coclass");
    scanner.Expect("coclass");
    library.coclass = scanner.Expect(TokenKind::Word, "the coclass's name").text;
    library.coclassUuid = attributes.Value("uuid");
    const int line = scanner.Expect("{").line;
    std::vector<std::string> listed;
    while (!scanner.Accept("}")) {
        const bool isDefault =
            scanner.Peek().text == "[" &&
            ParseAttributes(scanner, kImplementedAttributes, "the coclass's interface").Has("default");
        scanner.Expect("interface");
        const Token implemented = scanner.Expect(TokenKind::Word, "an interface name");
        if (std::none_of(library.interfaces.begin(), library.interfaces.end(),
                         [&](const Interface& i) { return i.name == implemented.text; }))
            scanner.Fail(implemented.line, "coclass " + library.coclass + " implements " + implemented.text +
                                               ", which the library does not declare");
        if (isDefault) {
            if (!library.defaultInterface.empty())
                scanner.Fail(implemented.line, "coclass " + library.coclass + " has two [default] interfaces");
            library.defaultInterface = implemented.text;
        }
        listed.push_back(implemented.text);
        scanner.Expect(";");
    }
    scanner.Expect(";");
    if (library.defaultInterface.empty())
        scanner.Fail(line, "coclass " + library.coclass + " names no [default] interface");
    // The class answers every interface: each extends the one before.
    for (const Interface& interface : library.interfaces)
        if (std::find(listed.begin(), listed.end(), interface.name) == listed.end())
            scanner.Fail(line, "coclass " + library.coclass + " does not implement " + interface.name +
                                   ", which the library declares");
}

void ParseVersion(Scanner& scanner, const Attributes& attributes, Library& library)
{
    const std::string version = attributes.Value("version");
    const std::size_t dot = version.find('.');
    const int line = attributes.Line("version");
    library.major = Number(scanner, {TokenKind::Number, version.substr(0, dot), line}, 0xFFFF, "major version");
    library.minor = Number(scanner, {TokenKind::Number, version.substr(dot + 1), line}, 0xFFFF, "minor version");
}

} // namespace

Library ParseIdl(std::string_view text, const std::string& file)
{
    Scanner scanner(text, file);
    const Attributes attributes = ParseAttributes(scanner, kLibraryAttributes, "a library");
    Require(scanner, attributes, "uuid", "the library");
    Require(scanner, attributes, "version", "the library");
    scanner.Expect("library");
    Library library;
    library.name = scanner.Expect(TokenKind::Word, "the library's name").text;
    library.uuid = attributes.Value("uuid");
    library.help = attributes.Value("helpstring");
    ParseVersion(scanner, attributes, library);
    scanner.Expect("{");
    std::vector<Declared> declared;
    for (;;) {
        const Attributes declaration = ParseAttributes(scanner, kDeclarationAttributes, "an interface or a coclass");
        if (scanner.Peek().text == "coclass") {
            CheckAttributes(scanner, declaration, kCoclassAttributes, "a coclass");
            if (declared.empty())
                scanner.Fail(declaration.line(), "the library declares no interface before its coclass");
            ParseCoclass(scanner, declaration, library);
            break;
        }
        CheckAttributes(scanner, declaration, kInterfaceAttributes, "an interface");
        MethodsSoFar seen;
        library.interfaces.push_back(ParseInterface(scanner, declaration, declared, seen));
        declared.push_back({nullptr, std::move(seen)});
        for (std::size_t i = 0; i < declared.size(); ++i) declared[i].interface = &library.interfaces[i];
    }
    scanner.Expect("}");
    scanner.Expect(";");
    scanner.Expect(TokenKind::End, "the end of the file after the library");
    return library;
}

std::vector<std::pair<const Interface*, const Method*>> Library::MethodsOf(const Interface& interface) const
{
    std::vector<std::pair<const Interface*, const Method*>> methods;
    for (const Interface& declared : interfaces) {
        for (const Method& method : declared.methods) methods.emplace_back(&declared, &method);
        if (&declared == &interface) break;
    }
    return methods;
}

} // namespace idlc
