#include "server/route_identifiers.h"

#include "server/call.h"
#include "server/refusal.h"
#include "server/request_fields.h"

#include "platform/ado/ado.h"
#include "platform/text/utf.h"

#include <string>

void NextIdentifier(Call& call)
{
    const std::u16string& counter = call.at[0];
    BodyFields(ParseBody(call)).NoOthers();
    NewName(counter, "the counter's name");
    const std::string day = call.request().get_param_value("daily");
    if (day != "" && day != "0" && day != "1") Refuse(400, "the query parameter \"daily\" is 0 or 1");
    const bool daily = day == "1";
    const std::u16string number = CallText([&](BSTR* text) {
        return daily ? call.Valmorin().transDayIdent(Text(counter).get(), text)
                     : call.Valmorin().transIdent(Text(counter).get(), text);
    });
    if (number.empty()) Refuse(409, "the counter changed under the call; try again", DB_E_INTEGRITYVIOLATION);
    AnswerJson(call, 200,
               Json{{"name", valmorin::text::Utf16ToUtf8(counter)},
                    {"number", std::stol(valmorin::text::Utf16ToUtf8(number))}});
}
