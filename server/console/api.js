// The server's API as the console uses it: JSON in and out, the session's
// CSRF token on every change, the component's message on every failure.

let csrf = "";

export class ApiError extends Error {
  constructor(status, message, hresult) {
    super(message);
    this.status = status;
    this.hresult = hresult;
  }
}

// A path below /api from its segments, each percent-encoded as UTF-8.
export function apiPath(...segments) {
  return "/api/" + segments.map((segment) => encodeURIComponent(segment)).join("/");
}

function headers(method, type) {
  // Without this header a refusal would carry WWW-Authenticate and the
  // browser would ask for Basic credentials itself.
  const list = { "X-Valmorin-Console": "1" };
  if (method !== "GET") list["X-CSRF-Token"] = csrf;
  if (type) list["Content-Type"] = type;
  return list;
}

async function failure(response) {
  let message = `${response.status} ${response.statusText}`;
  let hresult = "";
  try {
    const body = await response.json();
    if (body && body.error) {
      message = body.error.message;
      hresult = body.error.hresult;
    }
  } catch {
    // a body that is not the API's error: the status says enough
  }
  return new ApiError(response.status, message, hresult);
}

// A call with a JSON body (changes send at least {}); the parsed answer, or
// null for an answer without a body.
export async function call(method, path, body) {
  const init = { method, headers: headers(method, method === "GET" ? null : "application/json"), credentials: "same-origin" };
  if (method !== "GET") init.body = JSON.stringify(body ?? {});
  const response = await fetch(path, init);
  if (!response.ok) throw await failure(response);
  const text = await response.text();
  return text ? JSON.parse(text) : null;
}

// GET /api/session: who is signed in, or null when nobody is.
export async function currentSession() {
  const response = await fetch("/api/session", { headers: headers("GET"), credentials: "same-origin" });
  if (response.status === 401) return null;
  if (!response.ok) throw await failure(response);
  const session = await response.json();
  csrf = session.csrf;
  return session;
}

export async function signIn(user, password) {
  const session = await call("POST", "/api/session", { user, password });
  csrf = session.csrf;
  return session;
}

export async function signOut() {
  const response = await fetch("/api/session", { method: "DELETE", headers: headers("DELETE"), credentials: "same-origin" });
  if (!response.ok) throw await failure(response);
  csrf = "";
}

// Uploads a CSV file into a table, reporting the share sent so far; the
// import's report.
export function uploadCsv(table, file, mode, progress) {
  return new Promise((resolve, reject) => {
    const request = new XMLHttpRequest();
    request.open("PUT", `${apiPath("tables", table, "csv")}?mode=${mode}`);
    for (const [name, value] of Object.entries(headers("PUT", "text/csv"))) request.setRequestHeader(name, value);
    request.upload.onprogress = (event) => {
      if (event.lengthComputable) progress(event.loaded / event.total);
    };
    request.onload = () => {
      let body = null;
      try {
        body = JSON.parse(request.responseText);
      } catch {
        body = null;
      }
      if (request.status >= 200 && request.status < 300) resolve(body);
      else reject(new ApiError(request.status, body?.error?.message ?? `${request.status} ${request.statusText}`, body?.error?.hresult ?? ""));
    };
    request.onerror = () => reject(new ApiError(0, "the server cannot be reached", ""));
    request.send(file);
  });
}
