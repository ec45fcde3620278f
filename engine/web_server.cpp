// The web server: routes, login checks, bodies bounded as they arrive, and the stop.
#include "web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "engine_log.h"
#include "json_syntax.h"
#include "protocol.h"
#include "web_limits.h"
#include "web_page.h"
#include "web_request_rules.h"

namespace engine {

using nlohmann::json;

struct WebServer::Request {
  std::string body;
  size_t received = 0;                // body bytes, counting those past the bound
  bool refused = false;               // answered before its body came; the rest is dropped
  std::shared_ptr<BackendCall> call;  // the backend call the connection waits for
};

namespace {

using Headers = std::vector<std::pair<const char*, std::string>>;

MHD_Result send(MHD_Connection* connection, int status, const std::string& body, const char* type,
                const Headers& headers, bool close = false) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  for (const auto& [name, value] : headers) MHD_add_response_header(response, name, value.c_str());
  if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result send_json(MHD_Connection* connection, int status, const json& body,
                     const Headers& headers = {}) {
  return send(connection, status, to_text(body) + "\n", "application/json", headers);
}

MHD_Result send_page(MHD_Connection* connection, const std::string& html) {
  return send(connection, 200, html, "text/html; charset=utf-8",
              {{"X-Content-Type-Options", "nosniff"},
               {"X-Frame-Options", "DENY"},
               {"Content-Security-Policy",
                "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                "connect-src 'self'; form-action 'self'; frame-ancestors 'none'"}});
}

// Answered before the body is read, which is then not read at all: the connection closes.
MHD_Result refuse(MHD_Connection* connection, int status, const std::string& error) {
  return send(connection, status, to_text(error_reply(error)) + "\n", "application/json", {}, true);
}

const char* header(MHD_Connection* connection, const char* name) {
  return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

std::string cookies(MHD_Connection* connection) {
  const char* value = header(connection, MHD_HTTP_HEADER_COOKIE);
  return value != nullptr ? value : "";
}

std::string client_address(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "";
  if (info == nullptr || info->client_addr == nullptr) return text;
  const sockaddr* address = info->client_addr;
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  return text;
}

// What a body past the bound may still send to get its 413; more closes the connection.
constexpr size_t kDroppedBodyBytes = 1024 * 1024;

const std::string kTooLarge =
    "Request body larger than " + std::to_string(kMaxWebBodyBytes / 1024) + " KiB";

}  // namespace

WebServer::WebServer() {
  http_.server = https_.server = this;
  https_.https = true;
}

WebServer::~WebServer() { close(); }

void WebServer::serve(std::shared_ptr<WebBackend> backend) {
  std::lock_guard<std::mutex> lock(mutex_);
  backend_ = std::move(backend);
}

std::shared_ptr<WebBackend> WebServer::backend() {
  std::lock_guard<std::mutex> lock(mutex_);
  return backend_;
}

MHD_Result WebServer::on_request(void* cls, MHD_Connection* connection, const char* url,
                                 const char* method, const char*, const char* upload_data,
                                 size_t* upload_data_size, void** state) {
  const Listener& listener = *static_cast<Listener*>(cls);
  if (*state == nullptr) {
    auto* request = new (std::nothrow) Request;
    if (request == nullptr) return MHD_NO;  // no answer can be made either
    *state = request;
    // Checked on the headers alone, before any 100 Continue: nothing is unpacked, and a body
    // that says it is too large is not read.
    if (!is_identity_encoding(header(connection, MHD_HTTP_HEADER_CONTENT_ENCODING))) {
      request->refused = true;
      return refuse(connection, 415, "Content-Encoding not supported");
    }
    const char* length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxWebBodyBytes) {
      request->refused = true;
      return refuse(connection, 413, kTooLarge);
    }
    return MHD_YES;
  }
  Request& request = *static_cast<Request*>(*state);
  if (*upload_data_size != 0) {
    // A chunked body is counted as it comes. The library answers only once a body has ended,
    // so the bytes past the bound are dropped up to a point, then the connection ends.
    request.received += *upload_data_size;
    if (request.received > kMaxWebBodyBytes + kDroppedBodyBytes) return MHD_NO;
    if (request.received > kMaxWebBodyBytes) {
      request.body.clear();
      request.body.shrink_to_fit();
    } else if (!request.refused) {
      request.body.append(upload_data, *upload_data_size);
    }
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (request.refused) return MHD_YES;  // answered already
  if (request.received > kMaxWebBodyBytes) {
    request.refused = true;
    return refuse(connection, 413, kTooLarge);
  }
  try {
    return listener.server->answer(connection, listener.https, url, method, request);
  } catch (const std::exception&) {
    return send_json(connection, 500, error_reply("Internal error"));
  }
}

void WebServer::on_completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  delete static_cast<Request*>(*state);
  *state = nullptr;
}

MHD_Result WebServer::call_backend(MHD_Connection* connection, Request& request,
                                   std::optional<json> changes) {
  std::shared_ptr<WebBackend> backend = this->backend();
  if (!backend) return send_json(connection, 503, error_reply("Web server stopping"));
  request.call = std::make_shared<BackendCall>(connection, std::move(backend), std::move(changes));
  if (!calls_.submit(request.call)) {
    request.call.reset();
    return send_json(connection, 503, error_reply("Web server busy"));
  }
  return MHD_YES;  // resumed with the reply
}

MHD_Result WebServer::answer(MHD_Connection* connection, bool https, const std::string& url,
                             const std::string& method, Request& request) {
  if (request.call) {
    std::lock_guard<std::mutex> lock(request.call->mutex);
    return send_json(connection, request.call->reply.status, request.call->reply.body);
  }
  const bool get = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
  const bool post = method == MHD_HTTP_METHOD_POST;
  const bool api =
      (post && (url == "/api/login" || url == "/api/set")) || (get && url == "/api/config");
  if (get && url == "/") {
    if (!login_.enabled()) return send_page(connection, login_disabled_page());
    if (login_.has_session(cookies(connection))) return send_page(connection, config_page());
    return send_page(connection, login_page());
  }
  if (!api) return send(connection, 404, "", "text/plain", {});
  if (!login_.enabled()) return send_json(connection, 403, error_reply("Login is disabled"));
  // Another page of this host is the same site for its cookies: only the page itself changes
  // anything.
  if (post && !from_same_origin(header(connection, MHD_HTTP_HEADER_ORIGIN),
                                header(connection, "Sec-Fetch-Site"),
                                header(connection, MHD_HTTP_HEADER_HOST), https))
    return send_json(connection, 403, error_reply("Request from another site refused"));

  if (url == "/api/login") {
    json body = parse_json(request.body);
    if (!body.is_object() || !body.contains("user") || !body["user"].is_string() ||
        !body.contains("secret") || !body["secret"].is_string())
      return send_json(connection, 400,
                       error_reply("Login needs {\"user\":\"...\",\"secret\":\"...\"}"));
    LoginResult login = login_.login(body["user"].get<std::string>(),
                                     body["secret"].get<std::string>(), client_address(connection));
    if (login.retry_after > 0) {
      const std::string wait = std::to_string(login.retry_after);
      return send_json(connection, 429,
                       error_reply("Too many refused logins, try again in " + wait + " s"),
                       {{MHD_HTTP_HEADER_RETRY_AFTER, wait}});
    }
    if (login.token.empty()) return send_json(connection, 401, error_reply("Login refused"));
    // Strict same-site cookies keep other sites' pages from posting in the operator's name.
    return send_json(connection, 200, json{{"ok", true}},
                     {{MHD_HTTP_HEADER_SET_COOKIE, "palvex_session=" + login.token +
                                                       "; Path=/; HttpOnly; SameSite=Strict" +
                                                       (https ? "; Secure" : "")}});
  }
  if (!login_.has_session(cookies(connection)))
    return send_json(connection, 401, error_reply("Not logged in"));
  if (url == "/api/config") return call_backend(connection, request, std::nullopt);
  if (!is_json_content_type(header(connection, MHD_HTTP_HEADER_CONTENT_TYPE)))
    return send_json(connection, 415, error_reply("Content-Type must be application/json"));
  std::string error;
  json changes = parse_json(request.body, &error);
  if (changes.is_discarded()) return send_json(connection, 400, error_reply(error));
  return call_backend(connection, request, std::move(changes));
}

void WebServer::open(Listener& listener, const char* kind, int port) {
  std::unique_ptr<HttpListener> http = HttpListener::open(
      kind, port, listener.https, {&WebServer::on_request, &WebServer::on_completed, &listener});
  std::lock_guard<std::mutex> lock(mutex_);
  listener.http = std::move(http);
}

void WebServer::start(int http_port, int https_port) {
  if (http_port != 0) open(http_, "HTTP", http_port);
  if (https_port != 0) open(https_, "HTTPS", https_port);
}

int WebServer::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  return (http_.http ? 1 : 0) | (https_.http ? 2 : 0);
}

void WebServer::close() {
  std::unique_ptr<HttpListener> http, https;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    http = std::move(http_.http);
    https = std::move(https_.http);
  }
  // Connections waiting for the backend are answered first: the library cannot stop while
  // any is suspended.
  calls_.stop();
  http.reset();
  https.reset();
}

int WebServer::stop(int timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  close();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  if (took <= timeout_ms) return 0;
  log(kError, "Web server did not stop in " + std::to_string(timeout_ms) + " ms (it took " +
                  std::to_string(took) + " ms)");
  return 2;
}

}  // namespace engine
