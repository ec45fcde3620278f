// Fuzz target: what the engine's web server makes of the bytes a client sends.
//
// Input: all that one client sends on one connection before it half-closes it. The server (the
// engine's own, for a process of this engine, with a login) runs for the whole run on a loopback
// port; each input goes over a fresh TCP connection and whatever comes back is read under a
// short bound. "@S@" in an input stands for a session the harness logged in with, so the paths
// behind the login are reached too. Every so often the page must still be served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "free_port.h"
#include "palvex.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "web server request path: %s: %.300s\n", what, detail.c_str());
  std::abort();
}

int web_port = 0;
palvex_Process process = nullptr;  // served for the whole run
std::string session;               // the token of the harness's login
size_t inputs = 0;

// Sends the bytes on a fresh connection and reads what comes back until the server closes, or
// nothing has come for `quiet`, or the bound is reached. No half-close: a server may take the
// end of the client's stream for a client gone away, and answer nothing.
std::string send_and_read(const std::string& bytes, std::chrono::milliseconds quiet,
                          std::chrono::milliseconds bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(web_port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    fail("the web server does not accept connections", "");
  const auto deadline = Clock::now() + bound;
  auto left = [&] {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
  };
  std::string answer;
  char chunk[16384];
  size_t done = 0;
  bool open = true;
  while (open && done < bytes.size() && left() > 0) {
    pollfd ready{fd, POLLOUT | POLLIN, 0};
    if (poll(&ready, 1, left()) <= 0) break;
    if (ready.revents & POLLIN) {
      const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got <= 0) open = false;  // answered early and closed: the rest is not wanted
      if (got > 0) answer.append(chunk, static_cast<size_t>(got));
      continue;
    }
    const ssize_t sent =
        send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent <= 0) break;
    done += static_cast<size_t>(sent);
  }
  while (open && left() > 0) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, std::min(left(), static_cast<int>(quiet.count()))) <= 0) break;
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    answer.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return answer;
}

std::string replaced(std::string text) {
  for (size_t at = 0; (at = text.find("@S@", at)) != std::string::npos; at += session.size())
    text.replace(at, 3, session);
  return text;
}

void expect_page() {
  const std::string answer =
      send_and_read("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                    std::chrono::seconds(5), std::chrono::seconds(5));
  if (answer.compare(0, 12, "HTTP/1.1 200") != 0) fail("the page is no longer served", answer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("SETUP_USER", "operator", 1);
  setenv("SETUP_SECRET", "fuzz-secret", 1);
  palvex_SetLogSeverity(1);  // refused logins and bad requests are the point here
  palvex_Parameters parameters = palvex_NewParameters();
  palvex_SetParameter(parameters, "STORAGE_RO", "1");
  process = palvex_InitProcess3(nullptr, parameters, 64);
  palvex_FreeParameters(parameters);
  if (process == nullptr) fail("no process", "");
  // A port found free may be taken by another test's connection before the server binds it.
  bool listening = false;
  for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
    web_port = free_tcp_port();
    const palvex_WebserverHandle server = palvex_Webserver(web_port, 0, process);
    listening = (palvex_Webserver_Status(server) & 1) != 0;
    if (!listening) palvex_Webserver_Stop(server, 1000);
  }
  if (!listening) fail("the web server does not listen", "");
  const std::string body = R"({"user":"operator","secret":"fuzz-secret"})";
  const std::string answer = send_and_read(
      "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
      "Content-Length: " +
          std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
      std::chrono::seconds(5), std::chrono::seconds(5));
  const size_t at = answer.find("palvex_session=");
  if (at == std::string::npos) fail("the harness cannot log in", answer);
  session = answer.substr(at + 15, answer.find_first_of(";\r", at) - at - 15);
  expect_page();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = replaced(std::string(reinterpret_cast<const char*>(data), size));
  const std::string answer =
      send_and_read(bytes, std::chrono::milliseconds(30), std::chrono::milliseconds(500));
  // Whatever the server says is HTTP; it may also say nothing and close.
  if (!answer.empty() && answer.compare(0, 7, "HTTP/1.") != 0)
    fail("an answer that is not HTTP", answer);
  if (++inputs % 64 == 1) expect_page();
  return 0;
}
