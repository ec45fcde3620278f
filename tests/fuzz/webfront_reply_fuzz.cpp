// Fuzz target: what palvex-webfront's web server makes of the replies of a remote audio host.
//
// Input: all that the host sends on the connection once the first request came, before it
// closes it. The web server's backend asks it for the tree and sets a gain, in turn, until the
// host is unreachable; each answer must be one the web page can take. The backend runs on a thread
// with a small stack, so that recursion without bound shows up with inputs the fuzzer can make.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine_log.h"
#include "protocol.h"
#include "web_backend.h"

namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "web server reply path: %s: %.300s\n", what, detail.c_str());
  std::abort();
}

int listen_fd = -1;
int host_port = 0;
int wake_fd = -1;  // readable once the backend is done with an input

void open_host() {
  listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd, 16) != 0 ||
      getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    fail("cannot listen on loopback", "");
  host_port = ntohs(address.sin_port);
  wake_fd = eventfd(0, EFD_CLOEXEC);
  if (wake_fd < 0) fail("cannot make an eventfd", "");
}

struct Run {
  const std::string* stream;
  int answered = 0;
};

// The web server's side: requests in turn until the host is gone (at most a few).
void* ask_host(void* argument) {
  Run& run = *static_cast<Run*>(argument);
  engine::RemoteBackend backend("127.0.0.1", host_port);
  for (int round = 0; round < 6; ++round) {
    const engine::WebReply reply =
        round % 2 == 0 ? backend.get() : backend.set(json{{"in", {{"gain", -6}}}});
    if (reply.status != 200 && reply.status != 400 && reply.status != 502 && reply.status != 503)
      fail("an HTTP status the page does not know", std::to_string(reply.status));
    if (!reply.body.is_object()) fail("a body that is not an object", reply.body.dump());
    if ((reply.status != 200) != reply.body.contains("error"))
      fail("an error without an error status, or the reverse", engine::to_text(reply.body));
    // What the web server sends on: one line that reads back as the same object.
    const std::string line = engine::to_text(reply.body);
    if (line.find('\n') != std::string::npos) fail("a body spans lines", line);
    const json back = json::parse(line, nullptr, false);
    if (!back.is_object()) fail("a body that does not read back", line);
    const json copy = reply.body;
    if (copy != reply.body) fail("a copy differs", line);
    if (reply.status >= 500) break;
    ++run.answered;
  }
  return nullptr;
}

// The host's side: the first connection gets all of the stream once the first request has
// come (the backend drops what a host sends unasked), then the end of it; any later one (the
// backend trying again) is closed at once.
void* serve_host(void* argument) {
  Run& run = *static_cast<Run*>(argument);
  int served = -1;
  bool first = true, streamed = false;
  for (;;) {
    pollfd ready[3] = {{wake_fd, POLLIN, 0}, {listen_fd, POLLIN, 0}, {served, POLLIN, 0}};
    if (poll(ready, served >= 0 ? 3 : 2, -1) <= 0) continue;
    if (ready[0].revents & POLLIN) {
      uint64_t count;
      if (read(wake_fd, &count, sizeof count) < 0) fail("cannot read the eventfd", "");
      break;
    }
    if (ready[1].revents & POLLIN) {
      const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0 && !first) close(fd);
      if (fd >= 0 && first) {
        first = false;
        served = fd;
      }
    }
    char sink[4096];
    if (served < 0 || (ready[2].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t got = recv(served, sink, sizeof sink, 0);
    if (got <= 0) {
      close(served);
      served = -1;
      continue;
    }
    if (streamed || std::string(sink, static_cast<size_t>(got)).find('\n') == std::string::npos)
      continue;
    streamed = true;
    const std::string& stream = *run.stream;
    for (size_t done = 0; done < stream.size();) {
      const ssize_t sent = send(served, stream.data() + done, stream.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) break;
      done += static_cast<size_t>(sent);
    }
    // Held open until the backend lets go, so that a reset cannot cut what was sent.
    shutdown(served, SHUT_WR);
  }
  if (served >= 0) close(served);
  return nullptr;
}

pthread_t start_thread(void* (*body)(void*), Run& run, size_t stack) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (stack != 0) pthread_attr_setstacksize(&attributes, stack);
  pthread_t thread;
  if (pthread_create(&thread, &attributes, body, &run) != 0) fail("cannot start a thread", "");
  pthread_attr_destroy(&attributes);
  return thread;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  engine::set_log_severity(engine::kFatal);  // "unreachable" lines are expected here
  open_host();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  Run run;
  run.stream = &stream;
  const pthread_t host = start_thread(serve_host, run, 0);
  const pthread_t web = start_thread(ask_host, run, 256 * 1024);
  pthread_join(web, nullptr);
  const uint64_t one = 1;
  if (write(wake_fd, &one, sizeof one) < 0) fail("cannot write the eventfd", "");
  pthread_join(host, nullptr);
  // Connections the host did not take yet must not meet the next input.
  for (int fd; (fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(fd);
  // Each complete line of the stream answers one request at most.
  size_t lines = 0;
  for (char c : stream) lines += c == '\n';
  if (static_cast<size_t>(run.answered) > lines) fail("answered without a reply line", stream);
  return 0;
}
