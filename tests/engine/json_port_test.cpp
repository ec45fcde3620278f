// The JSON control port over real TCP: get, change, set, bad requests, framing, many clients.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "engine_fixture.h"
#include "process.h"
#include "temp_dir.h"

using nlohmann::json;

namespace {

class JsonPort : public ::testing::Test {
protected:
  void SetUp() override {
    port = free_tcp_port();
    ProcessOptions options;
    options.storage_dir = dir.path();
    options.json_port = port;
    options.parameters = {{"STATE_FILENAME", "test.state"}, {"ROOM", "studio"}};
    options.metadata = {{"station", "Radio One"}, {"slot", "morning"}};
    process = std::make_unique<RunningProcess>(options);
    ASSERT_EQ(process->ready(), 0);
  }

  TempDir dir;
  int port = 0;
  std::unique_ptr<RunningProcess> process;
};

json gain_of(const json& tree) { return tree["in"]["gain"]; }

}  // namespace

TEST_F(JsonPort, get_answers_the_whole_tree) {
  JsonClient client(port);
  json tree = client.request(R"({"get":null})");
  EXPECT_EQ(gain_of(tree), 0);
  EXPECT_EQ(tree["metadata"], (json{{"station", "Radio One"}, {"slot", "morning"}}));
  EXPECT_EQ(tree["meters"]["out_peak"].size(), 2u);
  // Parameters the engine does not act on are shown as given; its own are not repeated.
  EXPECT_EQ(tree["parameters"], (json{{"ROOM", "studio"}}));
}

TEST_F(JsonPort, set_answers_only_what_changed) {
  JsonClient client(port);
  EXPECT_EQ(client.request(R"({"set":{"in":{"gain":-30}}})"), (json{{"in", {{"gain", -30}}}}));
  EXPECT_EQ(client.request(R"({"set":{"in":{"gain":-30}}})"), json::object());
  EXPECT_EQ(client.request(R"({"set":{"in":{"gain":2.5}}})"), (json{{"in", {{"gain", 2.5}}}}));
  EXPECT_EQ(client.request(R"({"set":{}})"), json::object());
  EXPECT_EQ(gain_of(client.request(R"({"get":null})")), 2.5);
  // The range ends are allowed.
  EXPECT_EQ(client.request(R"({"set":{"in":{"gain":-80}}})"), (json{{"in", {{"gain", -80}}}}));
  EXPECT_EQ(client.request(R"({"set":{"in":{"gain":20}}})"), (json{{"in", {{"gain", 20}}}}));
}

TEST_F(JsonPort, change_is_counted_per_connection) {
  JsonClient watcher(port), setter(port);
  ASSERT_EQ(gain_of(watcher.request(R"({"get":null})")), 0);
  EXPECT_EQ(watcher.request(R"({"change":null})"), json::object());
  setter.request(R"({"set":{"in":{"gain":-12}}})");
  EXPECT_EQ(watcher.request(R"({"change":null})"), (json{{"in", {{"gain", -12}}}}));
  EXPECT_EQ(watcher.request(R"({"change":null})"), json::object());
  // A connection that never asked sees everything on its first change.
  json first = setter.request(R"({"change":null})");
  EXPECT_EQ(gain_of(first), -12);
  EXPECT_TRUE(first.contains("metadata"));
  EXPECT_TRUE(first.contains("meters"));
}

TEST_F(JsonPort, bad_requests_answer_an_error_and_change_nothing) {
  struct Case {
    const char* request;
    const char* error_part;
  };
  const Case cases[] = {
      {R"({"get":nul})", "Invalid JSON"},
      {R"(hello)", "Invalid JSON"},
      {R"(})", "Invalid JSON"},
      {R"([1,2])", "one of get, change or set"},
      {R"("get")", "one of get, change or set"},
      {R"({})", "one of get, change or set"},
      {R"({"get":null,"set":{}})", "one of get, change or set"},
      {R"({"fetch":null})", "Unknown request \"fetch\""},
      {R"({"get":1})", "\"get\" takes null"},
      {R"({"set":null})", "\"set\" needs an object"},
      {R"({"set":{"out":{"gain":1}}})", "Unknown key \"out\""},
      {R"({"set":{"in":{"volume":1}}})", "Unknown key \"in.volume\""},
      {R"({"set":{"in":5}})", "\"in\" needs an object"},
      {R"({"set":{"in":{"gain":"-30"}}})", "\"in.gain\" needs a number"},
      {R"({"set":{"in":{"gain":true}}})", "\"in.gain\" needs a number"},
      {R"({"set":{"in":{"gain":-80.5}}})", "\"in.gain\" out of range (-80 to 20 dB)"},
      {R"({"set":{"in":{"gain":20.01}}})", "\"in.gain\" out of range (-80 to 20 dB)"},
      {R"({"set":{"in":{"gain":1e400}}})", ""},  // either not JSON or out of range
      {R"({"set":{"meters":{"out_peak":[1,1]}}})", "\"meters\" is read-only"},
      {R"({"set":{"metadata":{"station":"x"}}})", "\"metadata\" is read-only"},
      {R"({"set":{"in":{"gain":-10},"bogus":1}})", "Unknown key \"bogus\""},
  };
  JsonClient client(port);
  json before = client.request(R"({"get":null})");
  for (const Case& c : cases) {
    json reply = client.request(c.request);
    ASSERT_TRUE(reply.is_object()) << c.request;
    ASSERT_TRUE(reply.contains("error")) << c.request << " -> " << reply.dump();
    EXPECT_NE(reply["error"].get<std::string>().find(c.error_part), std::string::npos)
        << c.request << " -> " << reply.dump();
  }
  json after = client.request(R"({"get":null})");
  EXPECT_EQ(after["in"], before["in"]);
  EXPECT_EQ(after["metadata"], before["metadata"]);
}

TEST_F(JsonPort, requests_may_come_several_in_one_write_or_split_across_writes) {
  JsonClient client(port);
  client.send_text(R"({"set":{"in":{"gain":-3}}}{"get":null} {"change":null})"
                   "\n");
  EXPECT_EQ(json::parse(client.read_line()), (json{{"in", {{"gain", -3}}}}));
  EXPECT_EQ(gain_of(json::parse(client.read_line())), -3);
  EXPECT_EQ(json::parse(client.read_line()), json::object());

  const std::string split = R"({"set":{"in":{"gain":"\"}"}}})";  // braces inside a string
  for (char c : std::string(R"({"set":{"in":{"gain":-4}}})")) {
    client.send_text(std::string(1, c));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(json::parse(client.read_line()), (json{{"in", {{"gain", -4}}}}));
  EXPECT_TRUE(client.request(split).contains("error"));
  EXPECT_EQ(gain_of(client.request(R"({"get":null})")), -4);
}

// A syntax error is answered at its first bad byte, without waiting for more; the rest of its
// line is dropped and the request on the next line is served.
TEST_F(JsonPort, a_syntax_error_is_answered_at_once_and_the_next_line_is_served) {
  struct Case {
    std::string sent;
    const char* error_part;
  };
  const Case cases[] = {
      {"{not json\n", "(expected a key or '}', found 'n'): {n"},
      {R"({"set":{"in":{"gain:-30}}})"
       "\n",
       "unescaped control character in a string, found a line end"},
      {R"({"get" null})"
       "\n",
       "expected ':', found 'n'"},
      {R"({"get":null,})"
       "\n",
       "expected a key, found '}'"},
      {R"({"get":nul })"
       "\n",
       "expected true, false or null, found ' '"},
      {R"([1,2 3])"
       "\n",
       "expected ',' or ']', found '3'"},
      {R"({"set":{"in":{"gain":-0x1e}}})"
       "\n",
       "expected ',' or '}', found 'x'"},
      {R"({"set":{"in":{"gain":01}}})"
       "\n",
       "a number cannot start with 0"},
      {R"({"set":{"in":{"gain":"\q"}}})"
       "\n",
       "bad escape in a string, found 'q'"},
      {std::string(100, '[') + "\n", "nested deeper than 64 levels"},
      {"{\"set\":" + std::string(30000, '[') + std::string(30000, ']') + "}\n",
       "nested deeper than 64 levels"},
      {"\x01\n", "expected a value, found byte 0x01"},
  };
  JsonClient client(port);
  for (const Case& c : cases) {
    client.send_text(c.sent);
    const json reply = json::parse(client.read_line(std::chrono::seconds(2)), nullptr, false);
    ASSERT_TRUE(reply.is_object()) << c.sent.substr(0, 80) << ": no answer";
    const std::string error = reply.value("error", "");
    EXPECT_EQ(error.rfind("Invalid JSON (", 0), 0u) << error;
    EXPECT_NE(error.find(c.error_part), std::string::npos)
        << c.sent.substr(0, 80) << " -> " << error;
    EXPECT_EQ(gain_of(client.request(R"({"get":null})")), 0) << c.sent.substr(0, 80);
  }
}

TEST_F(JsonPort, a_value_may_span_lines_but_an_error_drops_the_rest_of_its_line) {
  JsonClient client(port);
  EXPECT_EQ(gain_of(client.request("{\"set\":\n{\"in\":{\"gain\":-5}}\n}")), -5);
  client.send_text(R"({"get":null} oops {"set":{"in":{"gain":-7}}})"
                   "\n"
                   R"({"change":null})"
                   "\n");
  EXPECT_EQ(gain_of(json::parse(client.read_line())), -5);
  EXPECT_TRUE(json::parse(client.read_line()).contains("error"));
  EXPECT_EQ(json::parse(client.read_line()),
            json::object());  // the set on the bad line was dropped
  // A line that never ends costs nothing: it is dropped as it comes, not gathered.
  client.send_text("x" + std::string(200 * 1024, 'y'));
  EXPECT_TRUE(json::parse(client.read_line()).contains("error"));
  client.send_text("\n");
  EXPECT_EQ(gain_of(client.request(R"({"get":null})")), -5);
}

TEST_F(JsonPort, half_a_request_then_disconnect_is_harmless) {
  {
    JsonClient quitter(port);
    quitter.send_text(R"({"set":{"in":{"gain":-40)");
  }
  JsonClient client(port);
  EXPECT_EQ(gain_of(client.request(R"({"get":null})")), 0);
}

TEST_F(JsonPort, oversized_request_is_refused_and_the_connection_closed) {
  JsonClient client(port);
  std::string huge = R"({"set":{"in":{"gain":")" + std::string(70 * 1024, 'x');
  client.send_text(huge);
  json reply = json::parse(client.read_line(), nullptr, false);
  ASSERT_TRUE(reply.is_object());
  EXPECT_EQ(reply.value("error", ""), "Request too large (limit 65536 bytes)");
  EXPECT_TRUE(client.closed_by_peer());
  JsonClient next(port);
  EXPECT_EQ(gain_of(next.request(R"({"get":null})")), 0);
}

TEST_F(JsonPort, many_clients_at_once) {
  constexpr int kClients = 8, kRounds = 50;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      JsonClient client(port);
      for (int round = 0; round < kRounds; ++round) {
        const int gain = -(c * kRounds + round) % 80;
        json set = client.request(R"({"set":{"in":{"gain":)" + std::to_string(gain) + "}}}");
        json get = client.request(R"({"get":null})");
        if (set.is_object() && !set.contains("error") && get.is_object() &&
            get["in"]["gain"].is_number())
          ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), kClients * kRounds);
}

TEST_F(JsonPort, a_crowd_of_idle_or_half_request_clients_does_not_lock_new_ones_out) {
  struct Case {
    const char* crowd;
    const char* each_sends;
  };
  const Case cases[] = {
      {"idle", ""},
      {"half a request", R"({"get":)"},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<JsonClient>> crowd;
    for (int i = 0; i < 64; ++i) {
      crowd.push_back(std::make_unique<JsonClient>(port));
      if (*c.each_sends != '\0') crowd.back()->send_text(c.each_sends);
    }
    // New clients come one after another while the crowd stays.
    for (int round = 0; round < 3; ++round) {
      JsonClient newcomer(port);
      json tree = newcomer.request(R"({"get":null})");
      EXPECT_TRUE(tree.is_object() && tree.contains("in"))
          << c.crowd << " round " << round << ": " << tree.dump();
    }
  }
}

TEST_F(JsonPort, a_full_table_keeps_its_clients_until_a_new_one_comes) {
  JsonClient first(port);
  ASSERT_EQ(gain_of(first.request(R"({"get":null})")), 0);
  std::vector<std::unique_ptr<JsonClient>> others;
  for (int i = 0; i < 63; ++i) others.push_back(std::make_unique<JsonClient>(port));
  ASSERT_EQ(gain_of(others.back()->request(R"({"get":null})")), 0);
  // The first has been idle longest, but while there is room nobody is closed.
  EXPECT_EQ(gain_of(first.request(R"({"get":null})")), 0);
}

TEST_F(JsonPort, a_request_left_incomplete_is_answered_with_an_error_and_closed) {
  JsonClient stuck(port);
  stuck.send_text(R"({"set":{"in":{"gain":-40)");
  json reply = json::parse(stuck.read_line(std::chrono::seconds(15)), nullptr, false);
  ASSERT_TRUE(reply.is_object());
  EXPECT_NE(reply.value("error", "").find("Request incomplete"), std::string::npos) << reply;
  EXPECT_TRUE(stuck.closed_by_peer());
  JsonClient next(port);
  EXPECT_EQ(gain_of(next.request(R"({"get":null})")), 0);
}

TEST_F(JsonPort, help_examples_work_as_printed_with_netcat) {
  const std::string script =
      "printf '%s\\n%s\\n%s\\n' '{\"get\":null}' '{\"change\":null}' "
      "'{\"set\":{\"in\":{\"gain\":-30}}}' | nc -N 0 " +
      std::to_string(port);
  ProcessResult result = run_process({"/bin/sh", "-c", script}, {}, std::chrono::seconds(10));
  ASSERT_TRUE(result.exited);
  std::vector<std::string> lines = split_lines(result.out);
  ASSERT_EQ(lines.size(), 3u) << result.out << result.err;
  EXPECT_EQ(gain_of(json::parse(lines[0])), 0);
  EXPECT_EQ(json::parse(lines[1]), json::object());
  EXPECT_EQ(lines[2], R"({"in":{"gain":-30}})");
}

// A web page can make a browser send a request to the port (a form, a fetch without CORS), and
// curl can be pointed at it: the body must never be taken for a request. The first line is
// answered as any bad line is, and the connection ends before anything after it is read.
TEST_F(JsonPort, an_http_request_is_turned_away_before_its_body_is_read) {
  const std::string set_body = R"({"set":{"in":{"gain":20}}})"
                               "\n";
  struct Case {
    const char* name;
    std::vector<std::string> writes;  // sent one after another
    int answers_before;               // replies to the JSON before the HTTP
  };
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const Case cases[] = {
      {"curl's POST with a JSON body after the headers",
       {"POST / HTTP/1.1\r\n" + host +
        "User-Agent: curl/7.88.1\r\nAccept: */*\r\nContent-Type: text/plain\r\n"
        "Content-Length: 29\r\n\r\n\n" +
        set_body},
       0},
      {"a browser's fetch, sent in pieces",
       {"PO", "ST /x?y=1 HTTP/1.1\r\n", host,
        "Content-Type: text/plain;charset=UTF-8\r\nOrigin: http://site.invalid\r\n\r\n" + set_body},
       0},
      {"a GET with a request behind it", {"GET / HTTP/1.0\r\n\r\n" + set_body}, 0},
      {"a request line no method table knows, then a bare Host line",
       {"BREW /pot HTCPCP/1.0\r\n", "Host: example\r\n\r\n" + set_body},
       0},
      {"JSON first, then HTTP",
       {"{\"get\":null}\nPOST / HTTP/1.1\r\n" + host + "\r\n" + set_body},
       1},
  };
  EngineLogCapture log;
  JsonClient bystander(port);
  ASSERT_EQ(gain_of(bystander.request(R"({"get":null})")), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JsonClient browser(port);
    for (const std::string& piece : c.writes) {
      browser.send_text(piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int i = 0; i < c.answers_before; ++i)
      EXPECT_EQ(gain_of(json::parse(browser.read_line())), 0);
    // Whatever else comes back is the error for the first line; then the end.
    for (std::optional<std::string> line; (line = browser.next_line(std::chrono::seconds(2)));)
      EXPECT_NE(line->find("\"error\""), std::string::npos) << *line;
    EXPECT_TRUE(browser.closed_by_peer());
    EXPECT_EQ(gain_of(bystander.request(R"({"get":null})")), 0);
  }
  EXPECT_EQ(gain_of(JsonClient(port).request(R"({"get":null})")), 0);
  // One line names the address, however often it comes within a minute.
  EXPECT_EQ(log.count("closed a connection from 127.0.0.1 that sent an HTTP request"), 1);
}

// Lines that are not JSON, but not HTTP either, are answered and the connection goes on.
TEST_F(JsonPort, bad_lines_that_are_not_http_keep_the_connection) {
  struct Case {
    std::string sent;
    int errors;  // replies that are errors; the rest are trees
    int trees;
  };
  const Case cases[] = {
      {"hello world\n", 1, 0},
      {"GET\n", 1, 0},
      {"GET /\n", 1, 0},
      {"GET / HTTP/1.1 and more\n", 1, 0},
      {"HTTP/1.1 200 OK\n", 1, 0},
      {"x GET / HTTP/1.1\n", 1, 0},
      {"{\"get\":null}\nHost: example\n", 1, 1},
      {"{not json\nHost: example\n", 2, 0},
      {"{\"get\":null} POST / HTTP/1.1\n", 1, 1},
      {"Host: example\n", 1, 0},
  };
  EngineLogCapture log;
  JsonClient client(port);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    client.send_text(c.sent);
    int errors = 0, trees = 0;
    for (int i = 0; i < c.errors + c.trees; ++i) {
      const json reply = json::parse(client.read_line(std::chrono::seconds(2)), nullptr, false);
      ASSERT_TRUE(reply.is_object()) << "reply " << i;
      (reply.contains("error") ? errors : trees) += 1;
    }
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(trees, c.trees);
    EXPECT_EQ(gain_of(client.request(R"({"get":null})")), 0);
  }
  EXPECT_FALSE(log.contains("HTTP request"));
}

// A client that sends all its requests and half-closes while it still reads gets every reply,
// also when it reads slower than the port answers.
TEST_F(JsonPort, a_half_closed_client_gets_every_reply) {
  constexpr int kRequests = 100000;
  // A small receive buffer keeps the replies waiting at the port rather than in the kernel.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  const int buffer_size = 32 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::thread writer([fd] {
    std::string all;
    for (int i = 0; i < kRequests; ++i)
      all += R"({"get":null})"
             "\n";
    for (size_t done = 0; done < all.size();) {
      const ssize_t sent = send(fd, all.data() + done, all.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) break;
      done += static_cast<size_t>(sent);
    }
    shutdown(fd, SHUT_WR);
  });
  // Read slower than the port answers (8 MB/s), so that replies wait there when the requests end.
  std::string received;
  char buffer[8192];
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 10000) == 1) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  writer.join();
  close(fd);
  const std::vector<std::string> lines = split_lines(received);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kRequests));
  EXPECT_EQ(received.back(), '\n');
  EXPECT_EQ(gain_of(json::parse(lines.back())), 0);
}

// With the table full, a newcomer closes the connection idle longest, counting what each sent
// (a half request too) and what was sent to it, and no other.
TEST(JsonPortTable, a_full_table_closes_the_connection_idle_longest_for_a_newcomer) {
  // Each reply carries 100 KB of metadata, so that a few requests make megabytes to send.
  TempDir dir;
  const int port = free_tcp_port();
  ProcessOptions options;
  options.storage_dir = dir.path();
  options.json_port = port;
  options.metadata = {{"notes", std::string(100 * 1000, 'n')}};
  RunningProcess process(options);
  ASSERT_EQ(process.ready(), 0);
  // The first to connect asks at once for more than the kernel holds and reads the answers
  // only later: the port sends the rest while the others sit idle.
  constexpr int kAsked = 80;
  const int late_reader = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(late_reader, 0);
  const int buffer_size = 4096;
  setsockopt(late_reader, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(late_reader, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::string asked;
  for (int i = 0; i < kAsked; ++i) asked += "{\"get\":null}\n";
  ASSERT_EQ(send(late_reader, asked.data(), asked.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(asked.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // read and answered by now

  std::vector<std::unique_ptr<JsonClient>> table;  // with the late reader, 64
  for (int i = 0; i < 63; ++i) table.push_back(std::make_unique<JsonClient>(port));
  // The first ones to connect are busy since; one of them only began a request.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(gain_of(table[i]->request(R"({"get":null})")), 0) << i;
  table[20]->send_text(R"({"get":)");
  ASSERT_EQ(gain_of(table[0]->request(R"({"get":null})")), 0);  // all read by now
  const int idle_longest = 21;
  size_t replies = 0;
  char buffer[65536];
  pollfd readable{late_reader, POLLIN, 0};
  while (replies < kAsked && poll(&readable, 1, 2000) == 1) {
    const ssize_t got = recv(late_reader, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    replies += static_cast<size_t>(std::count(buffer, buffer + got, '\n'));
  }
  ASSERT_EQ(replies, static_cast<size_t>(kAsked));

  JsonClient newcomer(port);
  EXPECT_EQ(gain_of(newcomer.request(R"({"get":null})")), 0);
  EXPECT_TRUE(table[idle_longest]->closed_by_peer(std::chrono::seconds(2)));
  const std::string get = "{\"get\":null}\n";
  ASSERT_EQ(send(late_reader, get.data(), get.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(get.size()));
  ASSERT_EQ(poll(&readable, 1, 2000), 1);
  EXPECT_GT(recv(late_reader, buffer, sizeof buffer, 0), 0) << "the late reader was closed";
  close(late_reader);
  table[20]->send_text("null}\n");
  EXPECT_EQ(gain_of(json::parse(table[20]->read_line())), 0);
  for (int i = 0; i < 63; ++i) {
    if (i != idle_longest && i != 20) {
      EXPECT_EQ(gain_of(table[i]->request(R"({"get":null})")), 0) << i;
    }
  }
}

namespace {

// The CPU time a process has used, user and system, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));  // the name may hold blanks
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stod(field);  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

// Past the descriptor limit, the port neither spins on the connection it cannot take nor locks
// a new client out: it closes the connection idle longest for it, as with a full table.
TEST(JsonPortLimits, out_of_descriptors_the_port_rests_and_still_takes_new_clients) {
  const int port = free_tcp_port();
  ChildProcess server(with_emulator({JSON_PORT_SERVER, std::to_string(port), "64"}));
  ASSERT_TRUE(server.wait_for_stdout("ready", std::chrono::seconds(10))) << server.stderr_text();
  std::vector<std::unique_ptr<JsonClient>> crowd;
  for (int i = 0; i < 100; ++i) {
    crowd.push_back(std::make_unique<JsonClient>(port));
    ASSERT_TRUE(crowd.back()->connected()) << i;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double cpu_before = cpu_seconds(server.pid());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // A port that spins uses a whole core; resting, next to nothing.
  EXPECT_LT(cpu_seconds(server.pid()) - cpu_before, 0.4);

  for (int i = 95; i < 100; ++i) EXPECT_EQ(gain_of(crowd[i]->request(R"({"get":null})")), 0) << i;
  const auto began = std::chrono::steady_clock::now();
  JsonClient newcomer(port);
  EXPECT_EQ(gain_of(newcomer.request(R"({"get":null})")), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
  EXPECT_EQ(gain_of(crowd[99]->request(R"({"get":null})")), 0);
  // The oldest of the crowd made room.
  EXPECT_TRUE(crowd[0]->closed_by_peer(std::chrono::seconds(1)));

  server.send_signal(SIGTERM);
  ASSERT_TRUE(server.wait_for_exit(std::chrono::seconds(10)));
  EXPECT_TRUE(server.result().exited && server.result().status == 0);
  const std::string log = server.stderr_text();
  size_t warnings = 0;
  for (size_t at = log.find("out of descriptors"); at != std::string::npos;
       at = log.find("out of descriptors", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, 1u) << log;
}

// A loop whose poll fails (here: more clients than a limit lowered from outside allows) closes
// its clients and listens again, instead of leaving the port dead for the rest of the run.
TEST(JsonPortLimits, a_failed_poll_is_logged_and_the_port_serves_again) {
  const int port = free_tcp_port();
  ChildProcess server(with_emulator({JSON_PORT_SERVER, std::to_string(port), "256"}));
  ASSERT_TRUE(server.wait_for_stdout("ready", std::chrono::seconds(10))) << server.stderr_text();
  std::vector<std::unique_ptr<JsonClient>> clients;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(std::make_unique<JsonClient>(port));
    ASSERT_EQ(gain_of(clients.back()->request(R"({"get":null})")), 0) << i;
  }
  rlimit limit{};
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = 20;
  ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  clients[0]->send_text("{\"get\":null}\n");  // wakes the loop, whose next poll then fails
  EXPECT_TRUE(clients[29]->closed_by_peer(std::chrono::seconds(5)));

  json tree;
  for (int attempt = 0; attempt < 50 && !tree.is_object(); ++attempt) {
    tree = JsonClient(port).request(R"({"get":null})");
    if (!tree.is_object()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(tree.is_object()) << "the port serves no more:\n" << server.stderr_text();
  EXPECT_EQ(gain_of(tree), 0);
  EXPECT_TRUE(server.wait_for_stderr(
      "JSON control port: poll failed: Invalid argument; closing its", std::chrono::seconds(1)));
  EXPECT_TRUE(server.wait_for_stderr("JSON control port: listening again in 100 ms",
                                     std::chrono::seconds(1)));
  server.send_signal(SIGTERM);
  EXPECT_TRUE(server.wait_for_exit(std::chrono::seconds(10)));
}

TEST(UpdateThread, port_zero_serves_nothing_and_stops) {
  TempDir dir;
  ProcessOptions options;
  options.storage_dir = dir.path();
  RunningProcess process(options);
  EXPECT_EQ(process.ready(), 0);
  process.stop();  // would hang here if the stop were lost
}

TEST(UpdateThread, a_taken_port_is_not_ready) {
  TempDir dir;
  PortHolder holder;
  EngineLogCapture log;
  ProcessOptions options;
  options.storage_dir = dir.path();
  options.json_port = holder.port();
  RunningProcess process(options);
  EXPECT_LT(process.ready(), 0);
  EXPECT_TRUE(log.contains("JSON control port " + std::to_string(holder.port()) +
                           " cannot listen: Address already in use"));
}

TEST(UpdateThread, ports_outside_the_tcp_range_are_not_ready) {
  TempDir dir;
  for (int port : {-1, 65536, 70000}) {
    ProcessOptions options;
    options.storage_dir = dir.path();
    options.json_port = port;
    RunningProcess process(options);
    EXPECT_LT(process.ready(), 0) << port;
  }
}

TEST(UpdateThread, a_stop_before_the_start_is_kept) {
  TempDir dir;
  palvex_Parameters set = palvex_NewParameters();
  palvex_Process process = palvex_InitProcess3(dir.path().c_str(), set, 64);
  ASSERT_NE(process, nullptr);
  palvex_StopUpdateThread(process);
  std::thread thread([process] { palvex_StartUpdateThread(process, 0); });
  thread.join();  // returns at once instead of waiting forever
  EXPECT_LT(palvex_WaitUpdateThreadReady(process, 100), 0);
  palvex_ExitProcess(process);
  palvex_FreeParameters(set);
}

TEST(UpdateThread, wait_times_out_when_the_loop_never_starts) {
  TempDir dir;
  palvex_Parameters set = palvex_NewParameters();
  palvex_Process process = palvex_InitProcess3(dir.path().c_str(), set, 64);
  ASSERT_NE(process, nullptr);
  EXPECT_LT(palvex_WaitUpdateThreadReady(process, 50), 0);
  palvex_ExitProcess(process);
  palvex_FreeParameters(set);
}
