// Where the web interface gets and sets the configuration: this process or a host elsewhere.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "config_tree.h"

namespace engine {

struct WebReply {
  int status;           // HTTP status
  nlohmann::json body;  // the tree, the changes or {"error":...}
};

class WebBackend {
public:
  virtual ~WebBackend() = default;
  virtual WebReply get() = 0;
  virtual WebReply set(const nlohmann::json& changes) = 0;
  // At a stop: calls waiting on something slow return at once, and later ones do not wait.
  virtual void abandon() {}
};

// The configuration of a process in this engine.
class LocalBackend : public WebBackend {
public:
  explicit LocalBackend(std::shared_ptr<ConfigTree> config) : config_(std::move(config)) {}
  WebReply get() override;
  WebReply set(const nlohmann::json& changes) override;

private:
  std::shared_ptr<ConfigTree> config_;
};

// The JSON control port of an audio host elsewhere, through a few connections kept open: one
// request at a time on each, so every reply is the answer to the request just sent, and a
// host that does not answer one request holds only that connection.
class RemoteBackend : public WebBackend {
public:
  RemoteBackend(std::string address, int port);
  ~RemoteBackend() override;
  WebReply get() override;
  WebReply set(const nlohmann::json& changes) override;
  void abandon() override;

private:
  struct Connection {
    int fd = -1;
    std::string buffer;  // what came after the newline of the reply
  };
  enum class Outcome { answered, dropped, timed_out, abandoned };

  WebReply ask(const nlohmann::json& request);
  std::unique_ptr<Connection> take();
  void give_back(std::unique_ptr<Connection> connection);
  bool connect_host(Connection& connection);
  Outcome exchange(Connection& connection, const std::string& line, std::string& reply);
  bool wait_for(int fd, short events, int timeout_ms) const;
  bool abandoned();
  static void disconnect(Connection& connection);

  const std::string address_;
  const int port_;
  int wake_fd_ = -1;  // readable once abandoned; polled beside every socket
  std::mutex mutex_;  // guards the fields below, never held while talking to the host
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Connection>> idle_;
  size_t made_ = 0;  // connections in idle_ or lent to a request
  bool abandoned_ = false;
};

}  // namespace engine
