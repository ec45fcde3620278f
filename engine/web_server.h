// The engine's web server: the page and its JSON API on HTTP and HTTPS listeners.
#pragma once

#include <microhttpd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "backend_calls.h"
#include "http_listener.h"
#include "web_backend.h"
#include "web_login.h"

namespace engine {

// The listeners and the login of one pair of web ports, and the backends lent to it: the newest
// answers, so a process made to replace another takes the ports over with their sessions.
class WebServer {
public:
  WebServer();
  ~WebServer();

  // The backend of the newest process the server is lent to; null once none is.
  void serve(std::shared_ptr<WebBackend> backend);

  // Opens what it can; a listener that cannot listen is logged and stays off.
  void start(int http_port, int https_port);
  int status();              // bit 0 HTTP listening, bit 1 HTTPS listening
  int stop(int timeout_ms);  // closes every connection; 0 when every listener ended in time

  struct Request;  // what the server keeps of one request while it comes in

private:
  struct Listener {
    WebServer* server = nullptr;
    bool https = false;
    std::unique_ptr<HttpListener> http;  // under mutex_
  };

  static MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url,
                               const char* method, const char* version, const char* upload_data,
                               size_t* upload_data_size, void** request);
  static void on_completed(void* cls, MHD_Connection* connection, void** request,
                           MHD_RequestTerminationCode code);
  MHD_Result answer(MHD_Connection* connection, bool https, const std::string& url,
                    const std::string& method, Request& request);
  MHD_Result call_backend(MHD_Connection* connection, Request& request,
                          std::optional<nlohmann::json> changes);
  void open(Listener& listener, const char* kind, int port);
  void close();
  std::shared_ptr<WebBackend> backend();

  WebLogin login_;
  BackendCalls calls_;
  std::mutex mutex_;  // guards backend_ and the listeners
  std::shared_ptr<WebBackend> backend_;
  Listener http_, https_;
};

}  // namespace engine
