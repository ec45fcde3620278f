// Clients of the engine's JSON control port that keep it busy with good and bad requests and
// check every reply; bounded in count and in time, loopback only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

struct JsonLoadFigures {
  uint64_t requests = 0;       // replies received and checked
  uint64_t sets = 0;           // gain changes accepted
  uint64_t bad_requests = 0;   // refused as they should be
  uint64_t half_requests = 0;  // connections dropped in the middle of a request on purpose
  uint64_t wrong_replies = 0;  // not one JSON object, or an error where none was due (or none)
  uint64_t failures = 0;       // connection lost, or no reply within five seconds
  std::string first_wrong;     // the first wrong reply, for the failure message
};

class JsonLoad {
public:
  // Starts `clients` threads against 127.0.0.1:port; each ends at the deadline or after
  // max_requests requests, whichever comes first. gains_db: the values the sets alternate.
  JsonLoad(int port, int clients, std::chrono::steady_clock::time_point deadline,
           uint64_t max_requests, std::vector<double> gains_db);
  ~JsonLoad();  // stops and joins the clients
  JsonLoad(const JsonLoad&) = delete;
  JsonLoad& operator=(const JsonLoad&) = delete;

  JsonLoadFigures finish();  // joins the clients and adds up what they saw

private:
  void run_client(int index, JsonLoadFigures& figures);

  int port_;
  std::chrono::steady_clock::time_point deadline_;
  uint64_t max_requests_;
  std::vector<double> gains_db_;
  std::atomic<bool> stop_{false};
  std::vector<JsonLoadFigures> figures_;
  std::vector<std::thread> threads_;
};
