// Clients of the engine's JSON control port: good and bad requests, every reply checked.
#include "json_load.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "json_client.h"

namespace {

using nlohmann::json;

struct Request {
  std::string text;
  enum Expect { object_with_in, any_object, gain_set, error } expect;
};

// Refused requests of every kind the port knows: bad JSON, unknown verb, wrong type, range.
const Request bad_requests[] = {
    {"{\"get\":nul}", Request::error},
    {"{\"nope\":null}", Request::error},
    {"[1,2,3]", Request::error},
    {"{\"set\":{\"in\":{\"gain\":\"loud\"}}}", Request::error},
    {"{\"set\":{\"in\":{\"gain\":500}}}", Request::error},
    {"{\"set\":{\"out\":{\"gain\":0}}}", Request::error},
    {"{\"get\":1}", Request::error},
};

bool reply_fits(const json& reply, Request::Expect expect) {
  if (!reply.is_object()) return false;
  const bool is_error = reply.contains("error");
  switch (expect) {
    case Request::object_with_in:
      return !is_error && reply.contains("in");
    case Request::any_object:
      return !is_error;
    case Request::gain_set:
      return !is_error;  // what changed: empty when the gain was already so
    case Request::error:
      return is_error && reply["error"].is_string();
  }
  return false;
}

}  // namespace

JsonLoad::JsonLoad(int port, int clients, std::chrono::steady_clock::time_point deadline,
                   uint64_t max_requests, std::vector<double> gains_db)
    : port_(port),
      deadline_(deadline),
      max_requests_(max_requests),
      gains_db_(std::move(gains_db)),
      figures_(static_cast<size_t>(clients)) {
  for (int i = 0; i < clients; ++i)
    threads_.emplace_back([this, i] { run_client(i, figures_[static_cast<size_t>(i)]); });
}

JsonLoad::~JsonLoad() {
  stop_.store(true);
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

JsonLoadFigures JsonLoad::finish() {
  stop_.store(true);
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
  JsonLoadFigures total;
  for (const JsonLoadFigures& f : figures_) {
    total.requests += f.requests;
    total.sets += f.sets;
    total.bad_requests += f.bad_requests;
    total.half_requests += f.half_requests;
    total.wrong_replies += f.wrong_replies;
    total.failures += f.failures;
    if (total.first_wrong.empty()) total.first_wrong = f.first_wrong;
  }
  return total;
}

void JsonLoad::run_client(int index, JsonLoadFigures& figures) {
  uint64_t step = static_cast<uint64_t>(index);  // clients start at different requests
  while (!stop_.load() && std::chrono::steady_clock::now() < deadline_ &&
         figures.requests < max_requests_) {
    JsonClient connection(port_);
    if (!connection.connected()) {
      ++figures.failures;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    // A few hundred requests per connection, then a half request and a new connection.
    for (int n = 0; n < 400 && !stop_.load() && std::chrono::steady_clock::now() < deadline_ &&
                    figures.requests < max_requests_;
         ++n, ++step) {
      Request request;
      switch (step % 6) {
        case 0:
          request = {"{\"get\":null}", Request::object_with_in};
          break;
        case 1:
          request = {"{\"change\":null}", Request::any_object};
          break;
        case 2: {
          const double gain = gains_db_[(step / 6) % gains_db_.size()];
          request = {"{\"set\":{\"in\":{\"gain\":" + json(gain).dump() + "}}}", Request::gain_set};
          break;
        }
        case 3:
          request = {"{\"get\":null}{\"change\":null}", Request::object_with_in};
          break;
        default:
          request = bad_requests[step % (sizeof bad_requests / sizeof bad_requests[0])];
      }
      std::optional<std::string> line;
      if (!connection.send_text(request.text + "\n") || !(line = connection.next_line())) {
        ++figures.failures;
        break;
      }
      if (step % 6 == 3) {  // two values in one send: two replies
        const std::optional<std::string> second = connection.next_line();
        if (!second) {
          ++figures.failures;
          break;
        }
        if (!json::parse(*second, nullptr, false).is_object()) {
          ++figures.wrong_replies;
          if (figures.first_wrong.empty()) figures.first_wrong = *second;
        }
      }
      ++figures.requests;
      const json reply = json::parse(*line, nullptr, false);
      if (!reply_fits(reply, request.expect)) {
        ++figures.wrong_replies;
        if (figures.first_wrong.empty()) figures.first_wrong = request.text + " -> " + *line;
      } else if (request.expect == Request::error) {
        ++figures.bad_requests;
      } else if (request.expect == Request::gain_set) {
        ++figures.sets;
      }
    }
    if (connection.connected() && connection.send_text("{\"set\":{\"in\":{\"ga"))
      ++figures.half_requests;
  }
}
