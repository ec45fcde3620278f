// The web server's calls to its backend, made on worker threads while their connections wait
// suspended, so that a slow audio host holds no other client and not the server's event loop.
#pragma once

#include <microhttpd.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "web_backend.h"

namespace engine {

// One request's call: a get, or a set of changes.
struct BackendCall {
  BackendCall(MHD_Connection* c, std::shared_ptr<WebBackend> b,
              std::optional<nlohmann::json> set_changes)
      : connection(c), backend(std::move(b)), changes(std::move(set_changes)) {}
  MHD_Connection* const connection;
  const std::shared_ptr<WebBackend> backend;
  const std::optional<nlohmann::json> changes;

  std::mutex mutex;       // guards what follows
  bool finished = false;  // the reply is there and the connection resumed
  WebReply reply{0, nullptr};
};

class BackendCalls {
public:
  BackendCalls();
  ~BackendCalls();
  BackendCalls(const BackendCalls&) = delete;
  BackendCalls& operator=(const BackendCalls&) = delete;

  // Suspends the call's connection and queues the call; the connection is resumed with the
  // reply. False (nothing suspended) when the calls are stopping or too many wait.
  bool submit(const std::shared_ptr<BackendCall>& call);

  // Answers every call not yet answered with "Web server stopping", resuming its connection,
  // asks the backends to abandon what they are waiting for, and lets the workers go. Returns
  // at once; a worker still in a backend call ends on its own later.
  void stop();

private:
  struct Shared;
  static void work(const std::shared_ptr<Shared>& shared);
  std::shared_ptr<Shared> shared_;
};

}  // namespace engine
