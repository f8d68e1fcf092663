// /api/identifiers/{name}: running numbers, drawn from a counter of their
// own or from one that starts again every day.
#pragma once

struct Call;

void NextIdentifier(Call& call); // POST /api/identifiers/{name}
