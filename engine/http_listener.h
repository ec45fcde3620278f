// One listening port served by libmicrohttpd's event loop, with the web server's limits.
#pragma once

#include <microhttpd.h>

#include <memory>
#include <string>

namespace engine {

class HttpListener {
public:
  struct Handlers {
    MHD_AccessHandlerCallback request;
    MHD_RequestCompletedCallback completed;
    void* cls;
  };

  // Listens on 0.0.0.0:port, over TLS with SSL_CERTIFICATE_PATH and SSL_PRIVATE_PATH when
  // https; null, with the reason logged, when it cannot.
  static std::unique_ptr<HttpListener> open(const char* kind, int port, bool https,
                                            const Handlers& handlers);
  ~HttpListener();  // closes the port and every connection
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

private:
  explicit HttpListener(MHD_Daemon* daemon) : daemon_(daemon) {}
  MHD_Daemon* daemon_;
};

}  // namespace engine
