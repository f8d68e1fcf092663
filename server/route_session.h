// /api/session: a browser's login, who its session is (with the token its
// changes carry), and its logout. Without accounts every client on
// loopback is the account that runs the server, and needs none.
#pragma once

struct Call;

void ShowSession(Call& call); // GET /api/session
void LogIn(Call& call);       // POST /api/session
void LogOut(Call& call);      // DELETE /api/session
