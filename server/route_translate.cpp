#include "server/route_translate.h"

#include "server/call.h"

#include "platform/text/utf.h"

void Translate(Call& call)
{
    const std::u16string &table = call.at[0], &input = call.at[1];
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
    AnswerJson(call, 200, Json{{"output", valmorin::text::Utf16ToUtf8(output)}});
}
