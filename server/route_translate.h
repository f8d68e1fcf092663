// /api/translate/{name}/{input}: one lookup, the API's busiest route.
#pragma once

struct Call;

void Translate(Call& call); // GET /api/translate/{name}/{input}
