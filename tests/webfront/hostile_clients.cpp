// The hostile rows: each sends its bytes over raw TCP and checks the answer it must get.
#include "hostile_clients.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <thread>

#include "raw_client.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string request(const std::string& method, const std::string& path, int port,
                    const std::string& headers = "", const std::string& body = "") {
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\n" + headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

RawReply ask_once(int port, const std::string& bytes, const std::string& from = "127.0.0.1") {
  RawClient client(port, from);
  if (!client.connected()) return {};
  client.send_bytes(bytes);
  return client.read_reply();
}

std::string login_body() {
  return std::string(R"({"user":")") + hostile_user + R"(","secret":")" + hostile_secret + "\"}";
}

// "palvex_session=..." of a fresh login, "" when refused.
std::string session_cookie(int port) {
  const RawReply reply = ask_once(
      port,
      request("POST", "/api/login", port, "Content-Type: application/json\r\n", login_body()));
  const std::string cookie = reply.header("Set-Cookie");
  return cookie.substr(0, cookie.find(';'));
}

// A gzip member that stores the text without compressing it.
std::string gzip_stored(const std::string& text) {
  uint32_t crc = 0xffffffffu;
  for (unsigned char c : text) {
    crc ^= c;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  crc ^= 0xffffffffu;
  auto le = [](uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
    return out;
  };
  const auto size = static_cast<uint32_t>(text.size());
  return std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + '\x01' + le(size, 2) +
         le(~size & 0xffff, 2) + text + le(crc, 4) + le(size, 4);
}

// Refused (a status of 400 or more) or closed: anything but an answer as to a sound request.
void expect_refused_or_closed(int port, const std::string& bytes, const std::string& what) {
  RawClient client(port);
  ASSERT_TRUE(client.connected()) << what;
  client.send_bytes(bytes);
  const RawReply reply = client.read_reply(5s);
  if (reply.status != 0)
    EXPECT_GE(reply.status, 400) << what << ": " << reply.head;
  else
    EXPECT_TRUE(client.closed_by_peer(1s)) << what << ": neither answered nor closed in 5 s";
}

// Some answer or a close within a bound: a parser may read a broken request leniently, but it
// may neither hang on it nor die of it.
void expect_answered_or_closed(int port, const std::string& bytes, const std::string& what) {
  RawClient client(port);
  ASSERT_TRUE(client.connected()) << what;
  client.send_bytes(bytes);
  if (client.read_reply(5s).status == 0) {
    EXPECT_TRUE(client.closed_by_peer(1s)) << what << ": neither answered nor closed in 5 s";
  }
}

void many_ranges(const WebTarget& target) {
  const RawReply plain = ask_once(target.web_port, request("GET", "/", target.web_port));
  ASSERT_EQ(plain.status, 200);
  for (int count : {300, 3000}) {
    std::string ranges = "Range: bytes=0-0";
    for (int i = 1; i < count; ++i)
      ranges += "," + std::to_string(2 * i) + "-" + std::to_string(2 * i);
    const RawReply reply =
        ask_once(target.web_port, request("GET", "/", target.web_port, ranges + "\r\n"));
    EXPECT_EQ(reply.status, 200) << count << " ranges: " << reply.head;
    EXPECT_TRUE(reply.body == plain.body) << count << " ranges changed the answer";
  }
}

void long_headers(const WebTarget& target) {
  const RawReply ordinary =
      ask_once(target.web_port,
               request("GET", "/", target.web_port, "X-Long: " + std::string(6000, 'a') + "\r\n"));
  EXPECT_EQ(ordinary.status, 200) << "a 6,000-byte header value: " << ordinary.head;
  expect_refused_or_closed(
      target.web_port,
      request("GET", "/", target.web_port, "X-Long: " + std::string(1 << 20, 'a') + "\r\n"),
      "a 1 MiB header value");
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "X-" + std::to_string(i) + ": a\r\n";
  expect_refused_or_closed(target.web_port, request("GET", "/", target.web_port, many),
                           "20,000 header lines");
}

void long_part_name(const WebTarget& target) {
  const std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"" +
                           std::string(2000, 'n') + "\"\r\n\r\nvalue\r\n--XyZ--\r\n";
  for (const char* path : {"/api/login", "/api/set"}) {
    const RawReply reply = ask_once(
        target.web_port, request("POST", path, target.web_port,
                                 "Content-Type: multipart/form-data; boundary=XyZ\r\n", body));
    EXPECT_GE(reply.status, 400) << path << ": " << reply.head;
    EXPECT_LT(reply.status, 500) << path << ": " << reply.head;
  }
}

void malformed(const WebTarget& target) {
  const int port = target.web_port;
  const std::string cases[] = {
      "GARBAGE\r\n\r\n",
      "GET\r\n\r\n",
      "GET / HTTP/9.9\r\nHost: a\r\n\r\n",
      "GET / FTP/1.1\r\nHost: a\r\n\r\n",
      "GET  /  HTTP/1.1 extra\r\nHost: a\r\n\r\n",
      "GET / HTTP/1.1\r\nNo colon in this line\r\n\r\n",
      "GET / HTTP/1.1\r\n: no name\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "POST /api/login HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"
      "hello!",
      "POST /api/login HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
      "GET /" + std::string(100000, 'p') + " HTTP/1.1\r\nHost: a\r\n\r\n",
      std::string("GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 30),
      std::string("\x16\x03\x01\x00\x05hello\r\n\r\n", 12),
      "\r\n\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n",
  };
  for (const std::string& bytes : cases)
    expect_answered_or_closed(port, bytes,
                              "request " + testing::PrintToString(bytes.substr(0, 60)));
}

// Sends a chunked login body of `chunks` chunks of 8 KiB, and its end when `ends`, unless the
// server answers or stops reading before; answers whether all of it went out.
bool send_chunked_body(RawClient& client, int chunks, bool ends) {
  client.send_bytes(
      "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
      "application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
  const std::string chunk = "2000\r\n" + std::string(0x2000, ' ') + "\r\n";
  bool sending = true;
  for (int i = 0; i < chunks && sending; ++i)
    sending = !client.readable() && client.send_bytes(chunk, 2s);
  if (sending && ends) sending = client.send_bytes("0\r\n\r\n", 2s);
  return sending;
}

// A body past the bound is dropped as it comes and answered 413 once it ends.
void big_chunked_body(const WebTarget& target) {
  const long before = resident_kib(target.pid);
  RawClient client(target.web_port);
  ASSERT_TRUE(client.connected());
  send_chunked_body(client, 32, true);  // 256 KiB
  const RawReply reply = client.read_reply(5s);
  EXPECT_EQ(reply.status, 413) << reply.head;
  EXPECT_TRUE(client.closed_by_peer(5s)) << "the connection stayed open after the 413";
  const long grown = resident_kib(target.pid) - before;
  EXPECT_LT(grown, 8 * 1024) << "resident memory grew by " << grown << " KiB";
}

// A body that goes on and on is not read to its end: the connection ends within a few MiB, and
// none of it is kept.
void endless_chunked_body(const WebTarget& target) {
  const long before = resident_kib(target.pid);
  RawClient client(target.web_port);
  ASSERT_TRUE(client.connected());
  EXPECT_FALSE(send_chunked_body(client, 4096, false))  // 32 MiB
      << "the server read a 32 MiB body to its end";
  EXPECT_TRUE(client.closed_by_peer(5s)) << "the connection stayed open";
  const long grown = resident_kib(target.pid) - before;
  EXPECT_LT(grown, 8 * 1024) << "resident memory grew by " << grown << " KiB";
}

void big_content_length(const WebTarget& target) {
  RawClient client(target.web_port);
  ASSERT_TRUE(client.connected());
  client.send_bytes(request("POST", "/api/login", target.web_port,
                            "Content-Type: application/json\r\nContent-Length: 100000\r\n"
                            "Expect: 100-continue\r\n"));
  const RawReply reply = client.read_reply(5s);
  EXPECT_EQ(reply.status, 413) << "the first answer: " << reply.head;
  EXPECT_TRUE(client.closed_by_peer(5s)) << "the connection stayed open after the 413";
}

void compressed_body(const WebTarget& target) {
  const RawReply reply = ask_once(
      target.web_port, request("POST", "/api/login", target.web_port,
                               "Content-Type: application/json\r\nContent-Encoding: gzip\r\n",
                               gzip_stored(login_body())));
  EXPECT_EQ(reply.status, 415) << reply.head;
  EXPECT_TRUE(reply.header("Set-Cookie").empty()) << "a compressed login was let in";
}

void pipelined(const WebTarget& target) {
  RawClient client(target.web_port);
  ASSERT_TRUE(client.connected());
  client.send_bytes(request("GET", "/", target.web_port) +
                    request("GET", "/api/config", target.web_port));
  const RawReply first = client.read_reply(5s);
  const RawReply second = client.read_reply(5s);
  EXPECT_EQ(first.status, 200) << first.head;
  EXPECT_NE(first.body.find("<html"), std::string::npos) << "the page did not come first";
  EXPECT_EQ(second.status, 401) << "the second request: " << second.head;
}

void cross_site_changes(const WebTarget& target) {
  const int port = target.web_port;
  const std::string cookie = session_cookie(port);
  ASSERT_FALSE(cookie.empty()) << "no session to try with";
  const std::string self = "http://127.0.0.1:" + std::to_string(port);
  struct Case {
    const char* name;
    std::string headers;  // beside the cookie
    int status;
  };
  const std::string json = "Content-Type: application/json\r\n";
  const Case cases[] = {
      {"neither Origin nor Sec-Fetch-Site (a script)", json, 200},
      {"the page's own Origin", json + "Origin: " + self + "\r\n", 200},
      {"Sec-Fetch-Site same-origin", json + "Sec-Fetch-Site: same-origin\r\n", 200},
      {"Sec-Fetch-Site none", json + "Sec-Fetch-Site: none\r\n", 200},
      {"JSON with a charset", "Content-Type: application/json; charset=utf-8\r\n", 200},
      {"a foreign Origin", json + "Origin: http://attacker.example\r\n", 403},
      {"another port of the same host",
       json + "Origin: http://127.0.0.1:" + std::to_string(port == 65535 ? 1 : port + 1) + "\r\n",
       403},
      {"the other scheme", json + "Origin: https://127.0.0.1:" + std::to_string(port) + "\r\n",
       403},
      {"Origin null", json + "Origin: null\r\n", 403},
      {"Sec-Fetch-Site cross-site", json + "Sec-Fetch-Site: cross-site\r\n", 403},
      {"Sec-Fetch-Site same-site", json + "Sec-Fetch-Site: same-site\r\n", 403},
      {"text/plain", "Content-Type: text/plain\r\n", 415},
      {"no Content-Type", "", 415},
  };
  for (const Case& c : cases) {
    const RawReply reply =
        ask_once(port, request("POST", "/api/set", port, "Cookie: " + cookie + "\r\n" + c.headers,
                               R"({"in":{"gain":-6}})"));
    EXPECT_EQ(reply.status, c.status) << "/api/set, " << c.name << ": " << reply.head << reply.body;
  }
  const RawReply login =
      ask_once(port, request("POST", "/api/login", port,
                             json + "Origin: http://attacker.example\r\n", login_body()));
  EXPECT_EQ(login.status, 403) << "/api/login from a foreign Origin: " << login.head;
  EXPECT_TRUE(login.header("Set-Cookie").empty());
}

}  // namespace

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  return 0;
}

bool page_answers(int web_port) {
  return ask_once(web_port, request("GET", "/", web_port)).status == 200;
}

std::vector<HostileRow> hostile_rows() {
  return {
      {"thousands of byte ranges", true, many_ranges},
      {"long header values", true, long_headers},
      {"a multipart body with a long part name", true, long_part_name},
      {"malformed request lines and headers", true, malformed},
      {"a chunked body over 64 KiB", true, big_chunked_body},
      {"a chunked body that never ends", true, endless_chunked_body},
      {"a Content-Length over 64 KiB", true, big_content_length},
      {"a gzip body", true, compressed_body},
      {"two pipelined requests", true, pipelined},
      {"changes from another site or not as JSON", true, cross_site_changes},
  };
}
