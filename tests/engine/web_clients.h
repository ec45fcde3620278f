// The engine web tests' clients and settings: browsers with their cookies, raw requests from
// any loopback address, slow connections, certificates and the login variables.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine_fixture.h"
#include "palvex.h"
#include "process.h"
#include "temp_dir.h"

// The login variables for one test; every test starts from none.
class LoginEnv {
public:
  explicit LoginEnv(std::initializer_list<std::pair<const char*, const char*>> values);
  ~LoginEnv();
};

// A web server that is always stopped, also when an assertion fails.
class Web {
public:
  explicit Web(palvex_WebserverHandle handle) : handle_(handle) {}
  ~Web() { stop(1000); }
  palvex_WebserverHandle handle() const { return handle_; }
  int status() const { return palvex_Webserver_Status(handle_); }
  int stop(int timeout) {
    const int result = palvex_Webserver_Stop(handle_, timeout);
    handle_ = PALVEX_NO_WEBSERVER;
    return result;
  }

private:
  palvex_WebserverHandle handle_;
};

struct HttpReply {
  int status = 0;  // 0: no answer
  nlohmann::json body;
  std::string text, cookie;
};

HttpReply to_reply(const httplib::Result& result);

// One client with the session cookie it was given, like a browser tab.
class Browser {
public:
  explicit Browser(int port, bool https = false);
  HttpReply get(const std::string& path);
  HttpReply post(const std::string& path, const std::string& body);
  HttpReply login(const std::string& user, const std::string& secret);
  void set_cookie(const std::string& cookie) { cookie_ = cookie; }
  const std::string& cookie() const { return cookie_; }
  httplib::ClientImpl& raw() { return *client_; }

private:
  httplib::Headers headers() const;
  std::unique_ptr<httplib::ClientImpl> client_;
  std::string cookie_;
};

// What came back on one raw connection: every byte until the server closed it or went quiet.
struct RawReply {
  std::string text;
  bool closed = false;  // the server closed the connection
  int status() const;   // of the first answer; 0 when none came
  int answers() const;  // status lines in the reply
};

// Sends bytes as they are on a connection from source (another loopback address is another
// client to the server) and reads until the server closes or is quiet for quiet_ms.
RawReply raw_request(int port, const std::string& bytes, const char* source = "127.0.0.1",
                     int quiet_ms = 2000);

// The status of a login posted from another loopback address (127.0.0.2 ...), which the
// server sees as another client; 0 when there was no answer.
int login_from(const char* source, int port, const std::string& user, const std::string& secret);

// Connections that take their time: each sends a request line and then one header line a
// second (trickle), or nothing at all, for as long as the object lives.
class SlowClients {
public:
  SlowClients(int port, int count, bool trickle, const char* source = "127.0.0.1");
  ~SlowClients();
  size_t connected() const { return fds_.size(); }

private:
  static void send_line(int fd, const std::string& line);
  std::vector<int> fds_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool done_ = false;
  std::thread thread_;
};

struct Certificate {
  TempDir dir{"palvex-cert"};
  std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
  Certificate();
};

// The operator's login with HTTPS served from the certificate.
LoginEnv operator_with_certificate(const Certificate& certificate);
LoginEnv operator_with_certificate(const std::string& cert, const std::string& key);

// A process of this engine with its JSON port, for a web server to serve.
class WebLocal : public ::testing::Test {
protected:
  void start_process() {
    ProcessOptions options;
    options.storage_dir = dir.path();
    options.json_port = json_port;
    options.metadata = {{"station", "Radio One"}};
    process = std::make_unique<RunningProcess>(options);
    ASSERT_EQ(process->ready(), 0);
  }
  void SetUp() override { start_process(); }

  TempDir dir;
  int json_port = free_tcp_port();
  int http_port = free_tcp_port();
  std::unique_ptr<RunningProcess> process;
};
