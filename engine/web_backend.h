// Where the web interface gets and sets the configuration: this process or a host elsewhere.
#pragma once

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

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
  // Makes calls that wait for an answer return soon (a stop does not wait for them).
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

// The JSON control port of an audio host elsewhere, through one connection kept open.
class RemoteBackend : public WebBackend {
public:
  RemoteBackend(std::string address, int port);
  ~RemoteBackend() override;
  WebReply get() override;
  WebReply set(const nlohmann::json& changes) override;

private:
  WebReply ask(const nlohmann::json& request);
  bool connect_host();
  bool exchange(const std::string& line, std::string& reply);
  void disconnect();

  const std::string address_;
  const int port_;
  std::mutex mutex_;  // one request at a time on the one connection
  int fd_ = -1;
  std::string buffer_;  // bytes after the last reply line
};

}  // namespace engine
