// The engine's web server: the page and its JSON API on HTTP and HTTPS listeners.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web_backend.h"
#include "web_login.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace engine {

// The listeners and the login of one pair of web ports, and the backends lent to it: the newest
// answers, so a process made to replace another takes the ports over with their sessions.
class WebServer {
public:
  WebServer();
  ~WebServer();

  // The backend of the newest process the server is lent to; null once none is.
  void serve(std::shared_ptr<WebBackend> backend);

  // Binds what it can; a listener that cannot bind is logged and stays off.
  void start(const std::shared_ptr<WebServer>& self, int http_port, int https_port);
  int status();              // bit 0 HTTP listening, bit 1 HTTPS listening
  int stop(int timeout_ms);  // 0 when every listener ended in time

private:
  struct Listener {
    const char* kind = "";
    int bit = 0;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    bool listening = false;  // under mutex_
  };

  void open(const std::shared_ptr<WebServer>& self, Listener& listener, int port, bool https);
  void add_routes(httplib::Server& server, bool https);
  bool allowed(const httplib::Request& request, httplib::Response& response);
  std::shared_ptr<WebBackend> backend();

  WebLogin login_;
  std::mutex mutex_;  // guards backend_ and the listening flags
  std::shared_ptr<WebBackend> backend_;
  std::condition_variable ended_;
  Listener http_, https_;
};

}  // namespace engine
