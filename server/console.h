// The administration console's files (HTML, CSS, JavaScript modules and
// the libraries they vendor), compiled into the server. Its pages are
// public: what they show comes from the API, which asks who is there.
#pragma once

#include <httplib.h>

// Answers a request for any path outside /api: its file ("/" is
// "/index.html"), or 404; anything but GET is refused (405).
void AnswerConsole(const httplib::Request& request, httplib::Response& response);
