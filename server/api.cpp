#include "server/api.h"
#include "server/server_log.h"

#include "platform/ado/ado.h"
#include "platform/text/utf.h"
#include "platform/win32/errors.h"
#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"
#include "valmorin/valmorin.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;
using valmorin::text::Utf16ToUtf8;

constexpr char16_t kListSeparator = u'\u00A8';
constexpr long kBadRequest = E_INVALIDARG;
constexpr long kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr long kFail = E_FAIL;

// A request the API refuses, with its status and why.
struct Refusal {
    int status;
    long hresult;
    std::string message;
    bool storeLocked = false; // another of the store's users holds its lock: worth another try
};

[[noreturn]] void Refuse(int status, const std::string& message, long hresult = kBadRequest)
{
    throw Refusal{status, hresult, message};
}

// Set before the server starts; read only afterwards.
ComponentMaker g_makeComponent;
std::u16string g_connection;   // the store's, when given apart from the data sources
std::u16string g_neverWaiting; // the I/O threads', whose lookups never wait for a lock

// A lock another of the store's users held past the wait: SQLite's busy
// store (HYT00), PostgreSQL's lock not available (55P03).
bool StoreLocked(const CallFailure& failure)
{
    return failure.sqlState == u"HYT00" || failure.sqlState == u"55P03" || failure.hr == DB_E_ABORTLIMITREACHED;
}

// The status a component failure answers with: the caller's mistake, a rule
// of the store, the store out of reach or locked, or the server's own
// trouble.
int StatusOf(const CallFailure& failure)
{
    // SQLSTATE class 08 is a connection exception, class 57 an operator's
    // intervention (the server shutting down, the session ended).
    const bool connectionLost = failure.sqlState.starts_with(u"08") || failure.sqlState.starts_with(u"57");
    if (connectionLost || failure.hr == adErrInvalidConnection || StoreLocked(failure)) return 503;
    switch (failure.hr) {
    case E_INVALIDARG:
    case HRESULT_FROM_WIN32(ERROR_INVALID_DATA):
    case DB_E_ERRORSINCOMMAND: // a text no statement can carry
    case DISP_E_TYPEMISMATCH:
    case DB_E_CANTCONVERTVALUE:
    case DB_E_DATAOVERFLOW: return 400;
    case DB_E_INTEGRITYVIOLATION: return 409; // a rule of the store
    case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): return 404;
    case E_ACCESSDENIED: return 403;
    case RPC_E_CALL_CANCELED: return 503; // the server is stopping
    default: return 500;
    }
}

[[noreturn]] void Failed(HRESULT hr)
{
    const CallFailure failure = Described(TakeCallFailure(hr));
    const std::string message = Utf16ToUtf8(failure.source) + ": " + Utf16ToUtf8(failure.description);
    const int status = StatusOf(failure);
    if (StoreLocked(failure))
        throw Refusal{status, hr, "the store is locked by another of its users; try again later", true};
    // Why the store is out of reach names the server's files and hosts:
    // the operator's to read, in the server's log, never a client's.
    if (status == 503 && hr != RPC_E_CALL_CANCELED) {
        WriteLog("valmorin serve: the store is out of reach: " + Printable(message) + "\n");
        throw Refusal{status, hr, "the store is out of reach; try again later"};
    }
    throw Refusal{status, hr, message};
}

HRESULT Checked(HRESULT hr)
{
    if (FAILED(hr)) Failed(hr);
    return hr;
}

// The calling thread's own object, on the connection that never waits for
// a lock when asked.
IValmorin2& Valmorin(bool neverWait = false)
{
    thread_local CComPtr<IValmorin2> components[2];
    CComPtr<IValmorin2>& component = components[neverWait ? 1 : 0];
    if (component) return *component.get();
    CComPtr<IValmorin2> made;
    try {
        const CComPtr<IDispatch> created = g_makeComponent();
        Checked(created->QueryInterface(IValmorin2::iid, reinterpret_cast<void**>(&made)));
    } catch (const std::runtime_error& e) {
        Refuse(500, e.what(), kFail);
    }
    const std::u16string& connection = neverWait ? g_neverWaiting : g_connection;
    if (!connection.empty()) Checked(made->Open(CComBSTR(connection).get()));
    component = made;
    return *component.get();
}

// A BSTR argument made from UTF-16.
CComBSTR Text(const std::u16string& text) { return CComBSTR(std::u16string_view(text)); }

std::u16string Take(BSTR text)
{
    CComBSTR owned;
    owned.Attach(text);
    return std::u16string(owned.view());
}

// The calls the routes make, each checked.
std::u16string CallText(const std::function<HRESULT(BSTR*)>& call)
{
    BSTR text = nullptr;
    const HRESULT hr = call(&text);
    std::u16string result = Take(text);
    Checked(hr);
    return result;
}

LONG CallNumber(const std::function<HRESULT(LONG*)>& call)
{
    LONG number = 0;
    Checked(call(&number));
    return number;
}

std::u16string Wide(const std::string& utf8, const std::string& what)
{
    std::optional<std::u16string> wide = valmorin::text::Utf8ToUtf16(utf8);
    if (!wide) Refuse(400, what + " is not valid UTF-8");
    if (wide->find(u'\0') != std::u16string::npos) Refuse(400, what + " holds a NUL character");
    return std::move(*wide);
}

// The path's segments after /api, each percent-decoded and checked.
std::vector<std::u16string> SegmentsOf(const std::string& target)
{
    const std::string path = target.substr(0, target.find('?'));
    std::vector<std::u16string> segments;
    std::size_t from = 0;
    while (from <= path.size()) {
        const std::size_t end = std::min(path.find('/', from), path.size());
        const std::string raw = path.substr(from, end - from);
        from = end + 1;
        if (raw.empty()) continue;
        for (std::size_t i = raw.find('%'); i != std::string::npos; i = raw.find('%', i + 1))
            if (i + 2 >= raw.size() + 0 || !std::isxdigit(static_cast<unsigned char>(raw[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(raw[i + 2])))
                Refuse(400, "the path holds a % that is not followed by two hexadecimal digits");
        segments.push_back(Wide(httplib::detail::decode_url(raw, false), "the path"));
    }
    if (segments.empty() || segments.front() != u"api") Refuse(404, "no such route", kNotFound);
    segments.erase(segments.begin());
    return segments;
}

Json ParseBody(const ApiRequest& request)
{
    if (request.http.body.empty()) return Json::object();
    Json body;
    try {
        body = Json::parse(request.http.body);
    } catch (const Json::exception& e) { // a syntax error, or a number past a double's range
        Refuse(400, std::string("the body is not valid JSON: ") + e.what());
    }
    if (!body.is_object()) Refuse(400, "the body is not a JSON object");
    return body;
}

// The body's fields, each of the type asked; any other field is refused.
class Fields {
public:
    explicit Fields(Json body) : m_body(std::move(body)) {}

    std::optional<std::u16string> OptionalText(const char* name)
    {
        m_known.push_back(name);
        const auto it = m_body.find(name);
        if (it == m_body.end() || it->is_null()) return std::nullopt;
        if (!it->is_string()) Refuse(400, std::string("the field \"") + name + "\" is not a string");
        return Wide(it->get<std::string>(), std::string("the field \"") + name + "\"");
    }
    std::u16string Text(const char* name)
    {
        std::optional<std::u16string> text = OptionalText(name);
        if (!text) Refuse(400, std::string("the field \"") + name + "\" is missing");
        return *text;
    }
    Json Array(const char* name)
    {
        m_known.push_back(name);
        const auto it = m_body.find(name);
        if (it == m_body.end() || it->is_null()) return Json::array();
        if (!it->is_array()) Refuse(400, std::string("the field \"") + name + "\" is not an array");
        return *it;
    }
    // Call once every field was asked for.
    void NoOthers() const
    {
        for (const auto& [key, value] : m_body.items())
            if (std::find(m_known.begin(), m_known.end(), key) == m_known.end())
                Refuse(400, "the body has an unknown field \"" + key + "\"");
    }

private:
    Json m_body;
    std::vector<std::string> m_known;
};

void AppendItem(std::u16string& list, std::u16string_view item)
{
    if (!list.empty()) list += kListSeparator;
    list += item;
}

// Characters no listing or form could show as they are: the C0 and C1
// controls, DEL, the line and paragraph separators, and the marks that
// reorder the text around them (bidirectional embeddings, overrides and
// isolates).
bool Unshowable(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

// A name the request gives to something new: a table, a column, a counter.
// Quotes and markup are data like any other; what cannot be shown as it is
// is refused.
std::u16string NewName(std::u16string name, const std::string& what)
{
    if (name.empty()) Refuse(400, what + " is empty");
    if (std::any_of(name.begin(), name.end(), Unshowable))
        Refuse(400, what + " holds a control character or a mark that reorders text");
    return name;
}

std::u16string ColumnName(const Json& name)
{
    if (!name.is_string()) Refuse(400, "a column's name is not a string");
    std::u16string wide = NewName(Wide(name.get<std::string>(), "a column's name"), "a column's name");
    if (wide.find(kListSeparator) != std::u16string::npos)
        Refuse(400, "a column's name holds \u00a8, which separates the names of a list");
    return wide;
}

// A column of a body: {"name": "...", "input": true|false}.
void AddColumn(const Json& column, std::u16string& names, std::u16string& types)
{
    if (!column.is_object() || !column.contains("name") ||
        (column.contains("input") && !column["input"].is_boolean()) || column.size() > 2 ||
        (column.size() == 2 && !column.contains("input")))
        Refuse(400, "a column is {\"name\": text, \"input\": true or false}");
    AppendItem(names, ColumnName(column["name"]));
    AppendItem(types, column.value("input", false) ? u"1" : u"0");
}

LONG Number(const httplib::Request& request, const char* name, LONG fallback)
{
    if (!request.has_param(name)) return fallback;
    const std::string text = request.get_param_value(name);
    try {
        std::size_t used = 0;
        const long value = std::stol(text, &used);
        if (used == text.size() && value >= 0 && value <= 0x7FFFFFFF) return static_cast<LONG>(value);
    } catch (const std::exception&) {
    }
    Refuse(400, std::string("the query parameter \"") + name + "\" is not a number from 0 to 2147483647");
}

void AnswerJson(ApiRequest& request, int status, const std::string& body)
{
    request.response.status = status;
    request.response.set_content(body, "application/json; charset=utf-8");
}

void AnswerJson(ApiRequest& request, int status, const Json& body)
{
    AnswerJson(request, status, body.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void NoContent(ApiRequest& request) { request.response.status = 204; }

void RequireTable(const std::u16string& table)
{
    if (CallNumber([&](LONG* found) { return Valmorin().TableExists(Text(table).get(), found); }) == 0)
        Refuse(404, "no table is named \"" + Utf16ToUtf8(table) + "\"", kNotFound);
}

void RequireRow(const std::u16string& table, const std::u16string& input)
{
    RequireTable(table);
    if (CallNumber([&](LONG* found) {
            return Valmorin().CorrespondanceExists(Text(table).get(), Text(input).get(), found);
        }) == 0)
        Refuse(404, "table \"" + Utf16ToUtf8(table) + "\" has no INPUT \"" + Utf16ToUtf8(input) + "\"", kNotFound);
}

// The table's entry in the JSON listing of every table.
Json TableEntry(const std::u16string& table)
{
    const Json tables = Json::parse(Utf16ToUtf8(CallText([](BSTR* list) { return Valmorin().TableListJson(list); })));
    for (const Json& entry : tables.at("list"))
        if (entry.at("name") == Utf16ToUtf8(table)) return entry;
    Refuse(404, "no table is named \"" + Utf16ToUtf8(table) + "\"", kNotFound);
}

// A row as the listings show it, after a change made by user.
Json RowEntry(const std::u16string& input, const std::u16string& output, const std::u16string& user)
{
    return Json{{"input", Utf16ToUtf8(input)}, {"output", Utf16ToUtf8(output)}, {"lastactionuser", Utf16ToUtf8(user)}};
}

// A message of the component that names a file in the server's temporary
// folder names what the file holds instead ("upload", "export"): the
// folder is no client's business.
[[noreturn]] void RefuseNamingContent(Refusal refusal, const std::string& path, const std::string& content)
{
    const std::pair<std::string, std::string> names[] = {
        {"The file " + path, "The " + content}, {"the file " + path, "the " + content}, {path, "the " + content}};
    for (const auto& [named, instead] : names)
        for (std::size_t at = refusal.message.find(named); at != std::string::npos;
             at = refusal.message.find(named, at + instead.size()))
            refusal.message.replace(at, named.size(), instead);
    throw refusal;
}

// The routes: method, the path's shape below /api ("*" one segment), and
// what answers.
using Arguments = std::vector<std::u16string>;
struct Route {
    const char* method;
    std::vector<const char*> shape;
    std::function<void(ApiRequest&, const Arguments&)> answer;
};

const std::vector<Route>& Routes()
{
    static const std::vector<Route> routes = {
        {"GET",
         {"tables"},
         [](ApiRequest& request, const Arguments&) {
             AnswerJson(request, 200, Utf16ToUtf8(CallText([](BSTR* list) { return Valmorin().TableListJson(list); })));
         }},
        {"POST",
         {"tables"},
         [](ApiRequest& request, const Arguments&) {
             Fields fields(ParseBody(request));
             const std::u16string name = NewName(fields.Text("name"), "the field \"name\"");
             const std::u16string description = fields.OptionalText("description").value_or(u"");
             std::u16string names, types;
             for (const Json& column : fields.Array("columns")) AddColumn(column, names, types);
             fields.NoOthers();
             LONG exists = 0;
             Checked(Valmorin().TableExists(Text(name).get(), &exists));
             if (exists) Refuse(409, "a table is named \"" + Utf16ToUtf8(name) + "\" already", DB_E_INTEGRITYVIOLATION);
             Checked(Valmorin().TableCreate(Text(request.user).get(), Text(name).get(), Text(description).get(),
                                            Text(names).get(), Text(types).get()));
             request.response.set_header("Location",
                                         "/api/tables/" + httplib::detail::encode_query_param(Utf16ToUtf8(name)));
             AnswerJson(request, 201, TableEntry(name));
         }},
        {"GET",
         {"tables", "*"},
         [](ApiRequest& request, const Arguments& at) {
             Json table = TableEntry(at[0]);
             table["columns"] = Json::parse(Utf16ToUtf8(
                 CallText([&](BSTR* list) { return Valmorin().TableColumnsJson(Text(at[0]).get(), list); })))["list"];
             AnswerJson(request, 200, table);
         }},
        {"PATCH",
         {"tables", "*"},
         [](ApiRequest& request, const Arguments& at) {
             Fields fields(ParseBody(request));
             const std::optional<std::u16string> newName = fields.OptionalText("name");
             const std::u16string name = newName ? NewName(*newName, "the field \"name\"") : at[0];
             const std::optional<std::u16string> description = fields.OptionalText("description");
             std::u16string addNames, addTypes, renameIds, renameNames, deleteIds;
             for (const Json& column : fields.Array("add")) AddColumn(column, addNames, addTypes);
             for (const Json& rename : fields.Array("rename")) {
                 if (!rename.is_object() || !rename.contains("id") || !rename["id"].is_number_integer() ||
                     !rename.contains("name") || rename.size() != 2)
                     Refuse(400, "a rename is {\"id\": number, \"name\": text}");
                 AppendItem(renameIds, valmorin::text::Widen(std::to_string(rename["id"].get<long long>())));
                 AppendItem(renameNames, ColumnName(rename["name"]));
             }
             for (const Json& id : fields.Array("delete")) {
                 if (!id.is_number_integer()) Refuse(400, "\"delete\" lists column ids, numbers");
                 AppendItem(deleteIds, valmorin::text::Widen(std::to_string(id.get<long long>())));
             }
             fields.NoOthers();
             RequireTable(at[0]);
             CComBSTR describe;
             if (description) describe = Text(*description);
             Checked(Valmorin().TableUpdate(Text(request.user).get(), Text(at[0]).get(), Text(name).get(),
                                            description ? describe.get() : nullptr, Text(addNames).get(),
                                            Text(addTypes).get(), Text(renameIds).get(), Text(renameNames).get(),
                                            Text(deleteIds).get()));
             AnswerJson(request, 200, TableEntry(name));
         }},
        {"DELETE",
         {"tables", "*"},
         [](ApiRequest& request, const Arguments& at) {
             RequireTable(at[0]);
             Checked(Valmorin().TableDelete(Text(at[0]).get()));
             NoContent(request);
         }},
        {"GET",
         {"tables", "*", "rows"},
         [](ApiRequest& request, const Arguments& at) {
             RequireTable(at[0]);
             const std::u16string contains =
                 Wide(request.http.get_param_value("contains"), "the query parameter \"contains\"");
             const LONG offset = Number(request.http, "offset", 0), limit = Number(request.http, "limit", 100);
             AnswerJson(request, 200, Utf16ToUtf8(CallText([&](BSTR* list) {
                            return Valmorin().CorrespondanceListJson(Text(at[0]).get(), Text(contains).get(), offset,
                                                                     limit, list);
                        })));
         }},
        {"POST",
         {"tables", "*", "rows"},
         [](ApiRequest& request, const Arguments& at) {
             Fields fields(ParseBody(request));
             const std::u16string input = fields.Text("input"), output = fields.Text("output");
             fields.NoOthers();
             RequireTable(at[0]);
             LONG exists = 0;
             Checked(Valmorin().CorrespondanceExists(Text(at[0]).get(), Text(input).get(), &exists));
             if (exists)
                 Refuse(409, "the INPUT \"" + Utf16ToUtf8(input) + "\" is there already", DB_E_INTEGRITYVIOLATION);
             Checked(Valmorin().CorrespondanceCreate(Text(request.user).get(), Text(at[0]).get(), Text(input).get(),
                                                     Text(output).get()));
             AnswerJson(request, 201, RowEntry(input, output, request.user));
         }},
        {"PUT",
         {"tables", "*", "rows", "*"},
         [](ApiRequest& request, const Arguments& at) {
             Fields fields(ParseBody(request));
             const std::u16string input = fields.OptionalText("input").value_or(at[1]);
             const std::u16string output = fields.Text("output");
             fields.NoOthers();
             RequireRow(at[0], at[1]);
             Checked(Valmorin().CorrespondanceUpdate(Text(request.user).get(), Text(at[0]).get(), Text(at[1]).get(),
                                                     Text(input).get(), Text(output).get()));
             AnswerJson(request, 200, RowEntry(input, output, request.user));
         }},
        {"DELETE",
         {"tables", "*", "rows", "*"},
         [](ApiRequest& request, const Arguments& at) {
             RequireRow(at[0], at[1]);
             Checked(Valmorin().CorrespondanceDelete(Text(at[0]).get(), Text(at[1]).get()));
             NoContent(request);
         }},
        // A confirmation is the four-eyes rule applied: refused to whoever
        // made the last change; otherwise the confirming user becomes the
        // last one (the table's or the row's values written again as they
        // are), so that a second confirmation needs yet another user.
        {"POST",
         {"tables", "*", "confirm"},
         [](ApiRequest& request, const Arguments& at) {
             Fields(ParseBody(request)).NoOthers();
             RequireTable(at[0]);
             if (CallNumber([&](LONG* last) {
                     return Valmorin().TableFourEyesIsLastUser(Text(request.user).get(), Text(at[0]).get(), last);
                 }))
                 Refuse(409, "the last change to the table is your own: another user must confirm it", E_ACCESSDENIED);
             Checked(Valmorin().TableUpdate(Text(request.user).get(), Text(at[0]).get(), Text(at[0]).get(), nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr));
             AnswerJson(request, 200, Json{{"confirmed", true}, {"by", Utf16ToUtf8(request.user)}});
         }},
        {"POST",
         {"tables", "*", "rows", "*", "confirm"},
         [](ApiRequest& request, const Arguments& at) {
             Fields fields(ParseBody(request));
             const std::optional<std::u16string> seen = fields.OptionalText("output");
             fields.NoOthers();
             RequireRow(at[0], at[1]);
             if (CallNumber([&](LONG* last) {
                     return Valmorin().CorrespondanceFourEyesIsLastUser(Text(request.user).get(), Text(at[0]).get(),
                                                                        Text(at[1]).get(), last);
                 }))
                 Refuse(409, "the last change to the row is your own: another user must confirm it", E_ACCESSDENIED);
             const std::u16string output = CallText([&](BSTR* text) {
                 return Valmorin().translateDefault(Text(at[0]).get(), Text(at[1]).get(), nullptr, text);
             });
             if (seen && *seen != output)
                 Refuse(409, "the row changed since it was shown; look again", DB_E_INTEGRITYVIOLATION);
             Checked(Valmorin().CorrespondanceUpdate(Text(request.user).get(), Text(at[0]).get(), Text(at[1]).get(),
                                                     Text(at[1]).get(), Text(output).get()));
             AnswerJson(request, 200, Json{{"confirmed", true}, {"by", Utf16ToUtf8(request.user)}});
         }},
        {"GET",
         {"translate", "*", "*"},
         [](ApiRequest& request, const Arguments& at) {
             const std::u16string output = CallText([&](BSTR* text) {
                 return Valmorin(request.neverWait)
                     .translateDefault(Text(at[0]).get(), Text(at[1]).get(), nullptr, text);
             });
             if (output.empty() && CallNumber([&](LONG* found) {
                                       return Valmorin(request.neverWait)
                                           .CorrespondanceExists(Text(at[0]).get(), Text(at[1]).get(), found);
                                   }) == 0) {
                 request.response.status = 404; // absent: an empty body
                 return;
             }
             AnswerJson(request, 200, Json{{"output", Utf16ToUtf8(output)}});
         }},
        {"POST",
         {"identifiers", "*"},
         [](ApiRequest& request, const Arguments& at) {
             Fields(ParseBody(request)).NoOthers();
             NewName(at[0], "the counter's name");
             const std::string day = request.http.get_param_value("daily");
             if (day != "" && day != "0" && day != "1") Refuse(400, "the query parameter \"daily\" is 0 or 1");
             const bool daily = day == "1";
             const std::u16string number = CallText([&](BSTR* text) {
                 return daily ? Valmorin().transDayIdent(Text(at[0]).get(), text)
                              : Valmorin().transIdent(Text(at[0]).get(), text);
             });
             if (number.empty()) Refuse(409, "the counter changed under the call; try again", DB_E_INTEGRITYVIOLATION);
             AnswerJson(request, 200, Json{{"name", Utf16ToUtf8(at[0])}, {"number", std::stol(Utf16ToUtf8(number))}});
         }},
        {"PUT",
         {"tables", "*", "csv"},
         [](ApiRequest& request, const Arguments& at) {
             const std::string mode = request.http.get_param_value("mode");
             if (!mode.empty() && mode != "replace" && mode != "merge")
                 Refuse(400, "the query parameter \"mode\" is merge or replace");
             if (request.upload == nullptr) Refuse(415, "a PUT to this route carries text/csv");
             const TemporaryFile& file = *request.upload;
             // A file cut short (a full disk) must never be imported as if
             // it were the upload.
             if (!file.failure().empty()) Refuse(500, "the upload cannot be kept: " + file.failure(), kFail);
             try {
                 const std::u16string report = CallText([&](BSTR* text) {
                     return Valmorin().TableImport(Text(request.user).get(), Text(at[0]).get(),
                                                   Text(valmorin::text::Widen(file.path())).get(),
                                                   mode == "replace" ? 1 : 0, text);
                 });
                 AnswerJson(request, 200, Utf16ToUtf8(report));
             } catch (const Refusal& refusal) {
                 RefuseNamingContent(refusal, file.path(), "upload");
             }
         }},
        {"GET",
         {"tables", "*", "csv"},
         [](ApiRequest& request, const Arguments& at) {
             RequireTable(at[0]);
             // Sent from its file as the client takes it: an export held in
             // memory for each slow reader would let a few take the server's.
             try {
                 request.download.emplace();
             } catch (const std::runtime_error& e) {
                 Refuse(500, e.what(), kFail);
             }
             try {
                 CallNumber([&](LONG* rows) {
                     return Valmorin().TableExport(Text(at[0]).get(),
                                                   Text(valmorin::text::Widen(request.download->path())).get(), rows);
                 });
             } catch (const Refusal& refusal) {
                 RefuseNamingContent(refusal, request.download->path(), "export");
             }
             request.response.status = 200;
             request.response.set_header("Content-Type", "text/csv; charset=utf-8");
         }},
    };
    return routes;
}

// Whether a segment is the route's own word (ASCII), as written.
bool IsWord(std::u16string_view segment, std::string_view word)
{
    return std::equal(segment.begin(), segment.end(), word.begin(), word.end(),
                      [](char16_t a, char b) { return a == static_cast<unsigned char>(b); });
}

bool Matches(const Route& route, const std::string& method, const std::vector<std::u16string>& segments,
             Arguments& arguments)
{
    if (method != route.method || segments.size() != route.shape.size()) return false;
    arguments.clear();
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (std::string_view(route.shape[i]) == "*")
            arguments.push_back(segments[i]);
        else if (!IsWord(segments[i], route.shape[i]))
            return false;
    }
    return true;
}

// The server's changes take turns: a route that reads and then writes (a
// confirmation writes back the value it read, an existence test precedes a
// create) cannot lose another request's change made in between. The store
// serialises its writers anyway, so the turn costs no throughput.
void AnswerInTurn(const Route& route, ApiRequest& request, const Arguments& arguments)
{
    static std::mutex turn;
    if (std::string_view(route.method) == "GET") return route.answer(request, arguments);
    const std::lock_guard lock(turn);
    route.answer(request, arguments);
}

} // namespace

std::string Printable(const std::string& text)
{
    constexpr std::size_t kLongest = 256;
    std::string out;
    for (const unsigned char c : std::string_view(text).substr(0, kLongest)) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > kLongest) out += "...";
    return out;
}

void UseConnections(ComponentMaker makeComponent, const std::u16string& connectionString,
                    const std::u16string& neverWaiting)
{
    g_makeComponent = std::move(makeComponent);
    g_connection = connectionString;
    g_neverWaiting = neverWaiting;
}

const std::string& OpenApiDescription()
{
    static const std::string description =
#include "openapi.inc"
        ;
    return description;
}

void AnswerError(httplib::Response& response, int status, long hresult, const std::string& message)
{
    response.status = status;
    response.set_content(
        Json{{"error", {{"hresult", HresultText(static_cast<HRESULT>(hresult))}, {"message", message}}}}.dump(
            -1, ' ', false, Json::error_handler_t::replace),
        "application/json; charset=utf-8");
}

namespace {

// The path's segments as the router reads them (so that whatever reaches
// a route was admitted for it); none for a path the router refuses.
std::vector<std::u16string> RoutedSegments(const std::string& target)
{
    try {
        return SegmentsOf(target);
    } catch (...) {
        return {};
    }
}

} // namespace

bool TakesCsv(const std::string& method, const std::string& target)
{
    if (method != "PUT") return false;
    const std::vector<std::u16string> segments = RoutedSegments(target);
    return segments.size() == 3 && segments[0] == u"tables" && segments[2] == u"csv";
}

bool AsksOneLookup(const std::string& method, const std::string& target)
{
    if (method != "GET" && method != "HEAD") return false;
    const std::vector<std::u16string> segments = RoutedSegments(target);
    return segments.size() == 3 && segments[0] == u"translate";
}

bool HandleApi(ApiRequest& request)
{
    try {
        const std::vector<std::u16string> segments = SegmentsOf(request.http.target);
        Arguments arguments;
        bool pathKnown = false;
        for (const Route& route : Routes()) {
            if (Matches(route, request.http.method, segments, arguments)) {
                AnswerInTurn(route, request, arguments);
                return true;
            }
            Arguments ignored;
            pathKnown = pathKnown || Matches(route, route.method, segments, ignored);
        }
        if (pathKnown)
            Refuse(405, "the route does not take " + request.http.method, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
        return false;
    } catch (const Refusal& refusal) {
        AnswerError(request.response, refusal.status, refusal.hresult, refusal.message);
        if (refusal.storeLocked) request.response.set_header("Retry-After", "1");
        request.storeLocked = refusal.storeLocked;
    } catch (const Json::exception& e) {
        AnswerError(request.response, 500, E_UNEXPECTED, std::string("the component's JSON: ") + e.what());
    }
    return true;
}
