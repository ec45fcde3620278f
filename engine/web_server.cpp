// The web server: listeners, routes, login checks and the stop with a time-out.
#include "web_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "connection_threads.h"
#include "engine_log.h"
#include "json_syntax.h"
#include "protocol.h"
#include "web_page.h"

namespace engine {

using nlohmann::json;

// Connections served at once on one listener; more wait for a thread.
static constexpr size_t kMaxConnectionThreads = 64;

static void send_json(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_header("Cache-Control", "no-store");
  response.set_content(to_text(body) + "\n", "application/json");
}

static void send_page(httplib::Response& response, const std::string& html) {
  response.set_header("Cache-Control", "no-store");
  response.set_header("X-Content-Type-Options", "nosniff");
  response.set_header("X-Frame-Options", "DENY");
  response.set_header("Content-Security-Policy",
                      "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                      "connect-src 'self'; form-action 'self'; frame-ancestors 'none'");
  response.set_content(html, "text/html; charset=utf-8");
}

WebServer::WebServer() {
  http_.kind = "HTTP";
  http_.bit = 1;
  https_.kind = "HTTPS";
  https_.bit = 2;
}

WebServer::~WebServer() = default;

void WebServer::serve(std::shared_ptr<WebBackend> backend) {
  std::lock_guard<std::mutex> lock(mutex_);
  backend_ = std::move(backend);
}

std::shared_ptr<WebBackend> WebServer::backend() {
  std::lock_guard<std::mutex> lock(mutex_);
  return backend_;
}

bool WebServer::allowed(const httplib::Request& request, httplib::Response& response) {
  if (!login_.enabled()) {
    send_json(response, 403, error_reply("Login is disabled"));
    return false;
  }
  if (!login_.has_session(request.get_header_value("Cookie"))) {
    send_json(response, 401, error_reply("Not logged in"));
    return false;
  }
  return true;
}

void WebServer::add_routes(httplib::Server& server, bool https) {
  server.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
    if (!login_.enabled())
      send_page(response, login_disabled_page());
    else if (login_.has_session(request.get_header_value("Cookie")))
      send_page(response, config_page());
    else
      send_page(response, login_page());
  });
  server.Post(
      "/api/login", [this, https](const httplib::Request& request, httplib::Response& response) {
        if (!login_.enabled()) return send_json(response, 403, error_reply("Login is disabled"));
        json body = parse_json(request.body);
        if (!body.is_object() || !body.contains("user") || !body["user"].is_string() ||
            !body.contains("secret") || !body["secret"].is_string())
          return send_json(response, 400,
                           error_reply("Login needs {\"user\":\"...\",\"secret\":\"...\"}"));
        LoginResult login = login_.login(body["user"].get<std::string>(),
                                         body["secret"].get<std::string>(), request.remote_addr);
        if (login.retry_after > 0) {
          response.set_header("Retry-After", std::to_string(login.retry_after));
          return send_json(response, 429,
                           error_reply("Too many refused logins, try again in " +
                                       std::to_string(login.retry_after) + " s"));
        }
        if (login.token.empty()) return send_json(response, 401, error_reply("Login refused"));
        // Strict same-site cookies keep other sites' pages from posting in the operator's name.
        response.set_header("Set-Cookie", "palvex_session=" + login.token +
                                              "; Path=/; HttpOnly; SameSite=Strict" +
                                              (https ? "; Secure" : ""));
        send_json(response, 200, json{{"ok", true}});
      });
  server.Get("/api/config", [this](const httplib::Request& request, httplib::Response& response) {
    if (!allowed(request, response)) return;
    std::shared_ptr<WebBackend> backend = this->backend();
    if (!backend) return send_json(response, 503, error_reply("Web server stopping"));
    WebReply reply = backend->get();
    send_json(response, reply.status, reply.body);
  });
  server.Post("/api/set", [this](const httplib::Request& request, httplib::Response& response) {
    if (!allowed(request, response)) return;
    std::string error;
    json changes = parse_json(request.body, &error);
    if (changes.is_discarded()) return send_json(response, 400, error_reply(error));
    std::shared_ptr<WebBackend> backend = this->backend();
    if (!backend) return send_json(response, 503, error_reply("Web server stopping"));
    WebReply reply = backend->set(changes);
    send_json(response, reply.status, reply.body);
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        send_json(response, 500, error_reply("Internal error"));
      });
}

static bool readable(const char* variable, std::string& path) {
  const char* value = std::getenv(variable);
  path = value != nullptr ? value : "";
  return !path.empty() && access(path.c_str(), R_OK) == 0;
}

void WebServer::open(const std::shared_ptr<WebServer>& self, Listener& listener, int port,
                     bool https) {
  const std::string what =
      std::string("Web server ") + listener.kind + " port " + std::to_string(port);
  if (port < 1 || port > 65535) {
    log(kError, what + " cannot listen: not a TCP port");
    return;
  }
  if (https) {
    std::string certificate, key;
    if (!readable("SSL_CERTIFICATE_PATH", certificate) || !readable("SSL_PRIVATE_PATH", key)) {
      log(kError, what + " cannot listen: SSL_CERTIFICATE_PATH (\"" + certificate +
                      "\") and SSL_PRIVATE_PATH (\"" + key + "\") must name readable files");
      return;
    }
    auto server = std::make_unique<httplib::SSLServer>(certificate.c_str(), key.c_str());
    if (!server->is_valid()) {
      log(kError, what + " cannot listen: cannot load the certificate " + certificate +
                      " with the key " + key);
      return;
    }
    listener.server = std::move(server);
  } else {
    listener.server = std::make_unique<httplib::Server>();
  }
  httplib::Server& server = *listener.server;
  // Only SO_REUSEADDR: the library's default SO_REUSEPORT would let a second server share a
  // port that is already taken.
  int bound = -1;
  server.set_socket_options([&bound](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    bound = sock;
  });
  server.new_task_queue = [] { return new ConnectionThreads(kMaxConnectionThreads); };
  server.set_payload_max_length(64 * 1024);
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(5);
  server.set_write_timeout(5);
  add_routes(server, https);
  errno = 0;
  if (!server.bind_to_port("0.0.0.0", port)) {
    log(kError, what + " cannot listen: " + (errno != 0 ? std::strerror(errno) : "bind failed"));
    listener.server.reset();
    return;
  }
  // The library's backlog of 5 overflows in a burst of connections (a browser opens several),
  // and a client whose SYN is dropped waits a second for its resend.
  listen(bound, SOMAXCONN);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    listener.listening = true;
  }
  log(kInfo, std::string("Web server listening for ") + listener.kind +
                 " on 0.0.0.0:" + std::to_string(port));
  // The thread keeps the server alive even when a stop gives up waiting for it.
  listener.thread = std::thread([self, &listener] {
    listener.server->listen_after_bind();
    std::lock_guard<std::mutex> lock(self->mutex_);
    listener.listening = false;
    self->ended_.notify_all();
  });
}

void WebServer::start(const std::shared_ptr<WebServer>& self, int http_port, int https_port) {
  if (http_port != 0) open(self, http_, http_port, false);
  if (https_port != 0) open(self, https_, https_port, true);
}

int WebServer::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  return (http_.listening ? http_.bit : 0) | (https_.listening ? https_.bit : 0);
}

int WebServer::stop(int timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  bool clean = true;
  for (Listener* listener : {&http_, &https_}) {
    if (!listener->thread.joinable()) continue;
    std::unique_lock<std::mutex> lock(mutex_);
    // A server whose thread has not begun to listen ignores a stop, so it is asked again.
    while (listener->listening) {
      lock.unlock();
      listener->server->stop();
      lock.lock();
      if (std::chrono::steady_clock::now() >= deadline) break;
      ended_.wait_for(lock, std::chrono::milliseconds(10));
    }
    const bool ended = !listener->listening;
    lock.unlock();
    if (ended) {
      listener->thread.join();
    } else {
      log(kError, std::string("Web server ") + listener->kind + " did not stop in " +
                      std::to_string(timeout_ms) + " ms");
      listener->thread.detach();
      clean = false;
    }
  }
  return clean ? 0 : 2;
}

}  // namespace engine
