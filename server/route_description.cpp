#include "server/route_description.h"

#include "server/call.h"

#include "openapi.h"

void ShowDescription(Call& call)
{
    call.response().set_content(kOpenApiDescription, sizeof kOpenApiDescription - 1, "application/json; charset=utf-8");
}
