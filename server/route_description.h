// /api/openapi.json: the API's description, docs/openapi.json as the build
// found it, open to anyone.
#pragma once

struct Call;

void ShowDescription(Call& call); // GET /api/openapi.json
