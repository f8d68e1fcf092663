#include "server/router.h"
#include "server/call.h"
#include "server/refusal.h"
#include "server/request_fields.h"
#include "server/route_changesets.h"
#include "server/route_csv.h"
#include "server/route_description.h"
#include "server/route_history.h"
#include "server/route_identifiers.h"
#include "server/route_rows.h"
#include "server/route_session.h"
#include "server/route_tables.h"
#include "server/route_translate.h"

#include "platform/text/utf.h"

#include <algorithm>
#include <vector>

namespace {

// docs/openapi.json documents each of them; a test holds the two together.
constexpr Route kRoutes[] = {
    {"GET", "/api/session", ShowSession, Access::Anyone, Body::Login},
    {"POST", "/api/session", LogIn, Access::Anyone, Body::Login},
    {"DELETE", "/api/session", LogOut, Access::Anyone, Body::Login},
    {"GET", "/api/openapi.json", ShowDescription, Access::Anyone, Body::None},
    {"GET", "/api/tables", ListTables, Access::Callers, Body::Json, false, true},
    {"POST", "/api/tables", CreateTable},
    {"GET", "/api/tables/{name}", ShowTable, Access::Callers, Body::Json, false, true},
    {"PATCH", "/api/tables/{name}", ChangeTable},
    {"DELETE", "/api/tables/{name}", DeleteTable},
    {"POST", "/api/tables/{name}/confirm", ConfirmTable},
    {"GET", "/api/tables/{name}/rows", ListRows, Access::Callers, Body::Json, false, true},
    {"POST", "/api/tables/{name}/rows", CreateRow},
    {"PUT", "/api/tables/{name}/rows/{input}", ChangeRow},
    {"DELETE", "/api/tables/{name}/rows/{input}", DeleteRow},
    {"POST", "/api/tables/{name}/rows/{input}/confirm", ConfirmRow},
    {"GET", "/api/tables/{name}/csv", ExportCsv, Access::Callers, Body::Json, false, true},
    {"PUT", "/api/tables/{name}/csv", ImportCsv, Access::Callers, Body::Csv},
    {"GET", "/api/translate/{name}/{input}", Translate, Access::Callers, Body::Json, true, true},
    {"POST", "/api/identifiers/{name}", NextIdentifier},
    {"GET", "/api/tables/{name}/history", ShowHistory},
    {"PUT", "/api/tables/{name}/approval", SetApproval},
    {"GET", "/api/revision", ShowRevision},
    {"GET", "/api/changesets", ListChangeSets},
    {"POST", "/api/changesets", ProposeChangeSet},
    {"GET", "/api/changesets/{id}", ShowChangeSet},
    {"POST", "/api/changesets/{id}/approve", ApproveChangeSet},
    {"POST", "/api/changesets/{id}/reject", RejectChangeSet},
    {"POST", "/api/revisions/{n}/revert", RevertRevision},
};

// A segment of the path as it names something: percent-decoded, and
// checked as request texts are (RequestText's refusals, word for word).
// Kept in UTF-8: the routes' own words are ASCII, and only the parameters
// of the route that answers are widened. The engine refused every target
// with an escape other than % and two hexadecimal digits before this.
std::string DecodedSegment(std::string_view raw)
{
    std::string segment(raw);
    if (raw.find('%') != std::string_view::npos) segment = httplib::detail::decode_url(segment, false);
    if (!valmorin::text::IsUtf8(segment)) Refuse(400, "the path is not valid UTF-8");
    if (segment.find('\0') != std::string::npos) Refuse(400, "the path holds a NUL character");
    return segment;
}

// The path's segments after /api, each decoded and checked.
std::vector<std::string> SegmentsOf(std::string_view target)
{
    const std::string_view path = target.substr(0, target.find('?'));
    std::vector<std::string> segments;
    segments.reserve(8); // the longest route's, and /api
    std::size_t from = 0;
    while (from <= path.size()) {
        const std::size_t end = std::min(path.find('/', from), path.size());
        const std::string_view raw = path.substr(from, end - from);
        // Only the root's own slash leaves an empty segment: another one
        // would let ".../rows//confirm" be read as the row "confirm".
        const bool root = from == 0;
        from = end + 1;
        if (raw.empty() && root) continue;
        if (raw.empty()) Refuse(404, "no such route: the path has an empty segment", kNotFound);
        segments.push_back(DecodedSegment(raw));
    }
    if (segments.empty() || segments.front() != "api") Refuse(404, "no such route", kNotFound);
    segments.erase(segments.begin());
    return segments;
}

// Whether the segments after /api are the route's path; when values is
// given, the parameters' values go there, in order, widened.
bool Matches(const Route& route, const std::vector<std::string>& segments,
             std::vector<std::u16string>* values = nullptr)
{
    std::string_view rest = route.path.substr(std::string_view("/api").size());
    if (values) values->clear();
    for (const std::string& segment : segments) {
        if (rest.empty()) return false;
        rest.remove_prefix(1); // its slash
        const std::string_view word = rest.substr(0, rest.find('/'));
        rest.remove_prefix(word.size());
        if (word.starts_with('{')) {
            if (values) values->push_back(RequestText(segment, "the path"));
        } else if (segment != word) {
            return false;
        }
    }
    return rest.empty();
}

constexpr std::size_t kLongestMethod = 16; // longer than any method a route takes

// The methods the routes of these segments take, as a 405's Allow names
// them; empty when no route has this path.
std::string AllowedMethods(const std::vector<std::string>& segments)
{
    std::string allowed;
    for (const Route& route : kRoutes) {
        if (!Matches(route, segments)) continue;
        allowed += (allowed.empty() ? "" : ", ") + std::string(route.method);
        if (route.method == "GET") allowed += ", HEAD";
    }
    return allowed;
}

} // namespace

std::span<const Route> Routes() { return kRoutes; }

const Route* FindRoute(std::string_view method, const std::string& target)
{
    if (method == "HEAD") method = "GET";
    std::vector<std::string> segments;
    try {
        segments = SegmentsOf(target);
    } catch (const Refusal&) {
        return nullptr;
    }
    for (const Route& route : kRoutes)
        if (route.method == method && Matches(route, segments)) return &route;
    return nullptr;
}

bool StandbyMayAnswer(std::string_view method, std::string_view routePath)
{
    return std::any_of(std::begin(kRoutes), std::end(kRoutes), [&](const Route& route) {
        return route.standby && route.method == method && route.path == routePath;
    });
}

void Router::Answer(Call& call)
{
    const std::string& method = call.request().method;
    try {
        const std::vector<std::string> segments = SegmentsOf(call.request().target);
        for (const Route& route : kRoutes)
            if (route.method == method && Matches(route, segments, &call.at)) return AnswerInTurn(route, call);
        if (const std::string allowed = AllowedMethods(segments); !allowed.empty()) {
            call.response().set_header("Allow", allowed);
            Refuse(405,
                   "the route does not take the method " + QuotedUpTo(method, kLongestMethod) + "; it takes " + allowed,
                   HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
        }
        Refuse(404, "no such route", kNotFound);
    } catch (const Refusal& refusal) {
        AnswerRefusal(call.response(), refusal);
        call.exchange.handOver = call.exchange.atOnce && refusal.storeLocked;
    } catch (const Json::exception& e) {
        AnswerError(call.response(), 500, E_UNEXPECTED, std::string("the component's JSON: ") + e.what());
    }
}

// The server's changes take turns: a route that reads and then writes (a
// confirmation writes back the value it read, an existence test precedes a
// create) cannot lose another request's change made in between. The store
// serialises its writers anyway, so the turn costs no throughput. The
// routes open to anyone change no store, and a login never waits behind
// an import. Every change answers with its revision, read in the same turn.
void Router::AnswerInTurn(const Route& route, Call& call)
{
    if (route.method == "GET" || route.access == Access::Anyone) return route.answer(call);
    const std::lock_guard lock(m_turn);
    route.answer(call);
    if (call.response().status < 300) TellStoreRevision(call);
}
