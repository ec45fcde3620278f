// Starting a libmicrohttpd daemon on a socket of our own, and its log and panic.
#include "http_listener.h"

#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "engine_log.h"
#include "listening_socket.h"
#include "web_limits.h"

namespace engine {

// TLS 1.2 and 1.3 only, with GnuTLS's usual ciphers for them.
static constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

// A hostile client can make the library complain about every connection: a few lines a second
// reach the log, and the next line that does says how many were left out.
static constexpr int kLogLinesPerSecond = 5;

static void library_log(void*, const char* format, va_list arguments) {
  static std::mutex mutex;
  static std::chrono::steady_clock::time_point window;
  static int lines = 0;
  static unsigned long left_out = 0;
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::unique_lock<std::mutex> lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (now - window >= std::chrono::seconds(1)) {
    window = now;
    lines = 0;
  }
  if (++lines > kLogLinesPerSecond) {
    ++left_out;
    return;
  }
  if (left_out > 0) line += " (" + std::to_string(left_out) + " more lines left out)";
  left_out = 0;
  lock.unlock();
  log(kWarn, "Web server: " + line);
}

[[noreturn]] static void library_panic(void*, const char* file, unsigned int line,
                                       const char* reason) {
  log(kFatal, std::string("Web server failed inside libmicrohttpd (") + (file ? file : "?") + ":" +
                  std::to_string(line) + "): " + (reason ? reason : "no reason given"));
  std::abort();
}

static bool read_file(const char* variable, std::string& path, std::string& text) {
  const char* value = std::getenv(variable);
  path = value != nullptr ? value : "";
  if (path.empty()) return false;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream all;
  all << file.rdbuf();
  text = all.str();
  return !file.bad();
}

// The same check the library makes as it starts, which it could only answer by failing and
// closing the socket: here the reason can be logged.
static std::string tls_error(const std::string& certificate, const std::string& key) {
  gnutls_certificate_credentials_t credentials;
  if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS)
    return "out of memory";
  const gnutls_datum_t cert{reinterpret_cast<unsigned char*>(const_cast<char*>(certificate.data())),
                            static_cast<unsigned>(certificate.size())};
  const gnutls_datum_t private_key{reinterpret_cast<unsigned char*>(const_cast<char*>(key.data())),
                                   static_cast<unsigned>(key.size())};
  const int loaded =
      gnutls_certificate_set_x509_key_mem(credentials, &cert, &private_key, GNUTLS_X509_FMT_PEM);
  gnutls_certificate_free_credentials(credentials);
  return loaded < 0 ? gnutls_strerror(loaded) : "";
}

std::unique_ptr<HttpListener> HttpListener::open(const char* kind, int port, bool https,
                                                 const Handlers& handlers) {
  static std::once_flag panic_set;
  std::call_once(panic_set, [] { MHD_set_panic_func(&library_panic, nullptr); });
  const std::string what = std::string("Web server ") + kind + " port " + std::to_string(port);
  if (port < 1 || port > 65535) {
    log(kError, what + " cannot listen: not a TCP port");
    return nullptr;
  }
  std::string certificate, key;
  if (https) {
    std::string certificate_path, key_path;
    const bool have_certificate = read_file("SSL_CERTIFICATE_PATH", certificate_path, certificate);
    if (!read_file("SSL_PRIVATE_PATH", key_path, key) || !have_certificate) {
      log(kError, what + " cannot listen: SSL_CERTIFICATE_PATH (\"" + certificate_path +
                      "\") and SSL_PRIVATE_PATH (\"" + key_path + "\") must name readable files");
      return nullptr;
    }
    const std::string error = tls_error(certificate, key);
    if (!error.empty()) {
      log(kError, what + " cannot listen: cannot load the certificate " + certificate_path +
                      " with the key " + key_path + ": " + error);
      return nullptr;
    }
  }
  std::string error;
  const int fd = listen_on_every_address(port, 0, error);
  if (fd < 0) {
    log(kError, what + " cannot listen: " + error);
    return nullptr;
  }
  const WebLimits limits = web_limits();
  // The event loop (epoll) holds no thread for an idle connection; connections wait
  // suspended while a backend answers, so no slow request holds the loop.
  const unsigned int flags = static_cast<unsigned int>(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
      MHD_USE_ERROR_LOG | (https ? MHD_USE_TLS : 0));
  // The daemon closes the socket it was handed should it fail to start.
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, handlers.request, handlers.cls,  //
      MHD_OPTION_EXTERNAL_LOGGER, &library_log, nullptr,           // first, for every message
      MHD_OPTION_LISTEN_SOCKET, fd,                                //
      MHD_OPTION_CONNECTION_LIMIT, limits.total,                   //
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.per_address,      //
      MHD_OPTION_CONNECTION_TIMEOUT, kWebIdleTimeoutS,             //
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kWebConnectionMemory,    //
      MHD_OPTION_NOTIFY_COMPLETED, handlers.completed, handlers.cls,
      // Requests that break the protocol are refused rather than guessed at.
      MHD_OPTION_STRICT_FOR_CLIENT, 1,                                          //
      https ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, certificate.c_str(),  // the last for HTTP
      MHD_OPTION_HTTPS_MEM_KEY, key.c_str(),                                    //
      MHD_OPTION_HTTPS_PRIORITIES, kTlsPriorities,                              //
      MHD_OPTION_END);
  if (daemon == nullptr) {
    log(kError, what + " cannot listen: the HTTP library did not start");
    return nullptr;
  }
  log(kInfo, std::string("Web server listening for ") + kind + " on 0.0.0.0:" +
                 std::to_string(port) + " (at most " + std::to_string(limits.total) +
                 " connections, " + std::to_string(limits.per_address) + " from one address)");
  return std::unique_ptr<HttpListener>(new HttpListener(daemon));
}

HttpListener::~HttpListener() { MHD_stop_daemon(daemon_); }

}  // namespace engine
