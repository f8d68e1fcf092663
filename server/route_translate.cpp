#include "server/route_translate.h"

#include "server/call.h"
#include "server/request_fields.h"

#include "platform/text/utf.h"

namespace {

void AnswerOutput(Call& call, const std::u16string& output)
{
    // Made member by member: a brace list costs a lookup half again.
    Json answer(Json::value_t::object);
    answer["output"] = valmorin::text::Utf16ToUtf8(output);
    AnswerJson(call, 200, answer);
}

// As of a point the history keeps what the row held, but not whether an
// empty OUTPUT was the row's own or no row: both answer an empty output.
void TranslateAsOf(Call& call, const std::u16string& table, const std::u16string& input)
{
    const std::u16string asOf = RequestText(call.request().get_param_value("as_of"), "the query parameter \"as_of\"");
    const std::u16string output = CallText([&](BSTR* text) {
        return call.Valmorin().translateAsOf(Text(table).get(), Text(input).get(), Text(asOf).get(), text);
    });
    AnswerOutput(call, output);
}

} // namespace

void Translate(Call& call)
{
    const std::u16string &table = call.at[0], &input = call.at[1];
    if (call.request().has_param("as_of")) return TranslateAsOf(call, table, input);
    const std::u16string output = CallText([&](BSTR* text) {
        return call.Valmorin().translateDefault(Text(table).get(), Text(input).get(), nullptr, text);
    });
    // An empty OUTPUT may be the row's own: only a row that is not there
    // is absent, answered with an empty body.
    if (output.empty() && CallNumber([&](LONG* found) {
                              return call.Valmorin().CorrespondanceExists(Text(table).get(), Text(input).get(), found);
                          }) == 0) {
        call.response().status = 404;
        return;
    }
    AnswerOutput(call, output);
}
