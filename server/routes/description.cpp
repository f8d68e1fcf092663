#include "server/routes/description.h"

#include "server/call.h"

#include <string>

namespace {

const std::string& OpenApiDescription()
{
    static const std::string description =
#include "openapi.inc"
        ;
    return description;
}

} // namespace

void ShowDescription(Call& call)
{
    call.response().set_content(OpenApiDescription(), "application/json; charset=utf-8");
}
