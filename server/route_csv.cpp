#include "server/route_csv.h"

#include "server/approval.h"
#include "server/call.h"
#include "server/import_proposal.h"
#include "server/refusal.h"

#include "platform/text/utf.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace {

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

} // namespace

void ExportCsv(Call& call)
{
    const std::u16string& table = call.at[0];
    RequireTable(call, table);
    // Sent from its file as the client takes it: an export held in memory
    // for each slow reader would let a few take the server's.
    std::optional<TemporaryFile>& download = call.exchange.download;
    try {
        download.emplace();
    } catch (const std::runtime_error& e) {
        Refuse(500, e.what(), E_FAIL);
    }
    try {
        CallNumber([&](LONG* rows) {
            return call.Valmorin().TableExport(Text(table).get(), Text(valmorin::text::Widen(download->path())).get(),
                                               rows);
        });
    } catch (const Refusal& refusal) {
        RefuseNamingContent(refusal, download->path(), "export");
    }
    call.response().status = 200;
    call.response().set_header("Content-Type", "text/csv; charset=utf-8");
}

void ImportCsv(Call& call)
{
    const std::u16string& table = call.at[0];
    const std::string mode = call.request().get_param_value("mode");
    if (!mode.empty() && mode != "replace" && mode != "merge")
        Refuse(400, "the query parameter \"mode\" is merge or replace");
    if (!call.exchange.upload) Refuse(415, "a PUT to this route carries text/csv");
    const TemporaryFile& file = *call.exchange.upload;
    // A file cut short (a full disk) must never be imported as if it were
    // the upload.
    if (!file.failure().empty()) Refuse(500, "the upload cannot be kept: " + file.failure(), E_FAIL);
    if (NeedsApproval(call, table)) {
        RequireAccounts(call);
        return ProposeImport(call, table, file.path(), mode == "replace");
    }
    try {
        const std::u16string report = CallText([&](BSTR* text) {
            return call.Valmorin().TableImport(Text(call.user).get(), Text(table).get(),
                                               Text(valmorin::text::Widen(file.path())).get(),
                                               mode == "replace" ? 1 : 0, text);
        });
        AnswerJson(call, 200, valmorin::text::Utf16ToUtf8(report));
    } catch (const Refusal& refusal) {
        RefuseNamingContent(refusal, file.path(), "upload");
    }
}
