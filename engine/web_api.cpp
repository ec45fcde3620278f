// The engine's web-server calls: handles for the web servers that run. A server on the ports of
// one this program already runs is lent to the new process, so that a process made to replace
// another takes the server over with its sessions.
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "engine_log.h"
#include "lending.h"
#include "palvex.h"
#include "process.h"
#include "web_server.h"

namespace {

// Each lease brings its process's backend; the newest answers the requests.
using ServerLending =
    engine::Lending<std::pair<int, int>, engine::WebServer, std::shared_ptr<engine::WebBackend>>;
using Lease = ServerLending::Lease;

ServerLending& web_servers() {
  // Never destroyed: a connection thread may still ask for its backend while the program exits.
  static auto* lending = new ServerLending([](engine::WebServer& server,
                                              const std::shared_ptr<engine::WebBackend>* was,
                                              const std::shared_ptr<engine::WebBackend>* now) {
    // The last lease went: requests still waiting on the old backend end before the stop.
    if (now == nullptr && was != nullptr && *was) (*was)->abandon();
    server.serve(now != nullptr ? *now : nullptr);
  });
  return *lending;
}

std::mutex handles_mutex;  // guards handles and next_handle
std::map<palvex_WebserverHandle, std::shared_ptr<Lease>> handles;
palvex_WebserverHandle next_handle = 1;

palvex_WebserverHandle add_handle(std::unique_ptr<Lease> lease) {
  std::lock_guard<std::mutex> lock(handles_mutex);
  const palvex_WebserverHandle handle = next_handle++;
  handles[handle] = std::move(lease);
  return handle;
}

std::shared_ptr<engine::WebServer> started(int http_port, int https_port,
                                           std::shared_ptr<engine::WebBackend> backend) {
  auto server = std::make_shared<engine::WebServer>();
  server->serve(std::move(backend));  // its first request may come before the lease is made
  server->start(http_port, https_port);
  return server;
}

// A server of this program's own processes, shared by its ports once it listens.
palvex_WebserverHandle start_local(std::shared_ptr<engine::WebBackend> backend, int http_port,
                                   int https_port) {
  std::shared_ptr<engine::WebServer> deaf;  // made, but listening on nothing: never shared
  bool made = false;
  std::unique_ptr<Lease> lease = web_servers().borrow(
      {http_port, https_port}, backend,
      [&]() -> std::shared_ptr<engine::WebServer> {
        auto server = started(http_port, https_port, backend);
        if (server->status() != 0) return server;
        deaf = std::move(server);
        return nullptr;
      },
      &made);
  if (!lease)
    lease = web_servers().lend_alone(std::move(backend), std::move(deaf));
  else if (!made)
    engine::log(engine::kInfo, "Web server on ports " + std::to_string(http_port) + "/" +
                                   std::to_string(https_port) +
                                   " taken over by the new process, sessions kept");
  return add_handle(std::move(lease));
}

std::shared_ptr<Lease> find(palvex_WebserverHandle handle) {
  std::lock_guard<std::mutex> lock(handles_mutex);
  auto it = handles.find(handle);
  return it != handles.end() ? it->second : nullptr;
}

}  // namespace

extern "C" {

palvex_WebserverHandle palvex_Webserver(int http_port, int https_port, palvex_Process process) {
  if (process == nullptr) {
    engine::log(engine::kError, "Web server needs a process");
    return PALVEX_NO_WEBSERVER;
  }
  try {
    return start_local(std::make_shared<engine::LocalBackend>(process->config), http_port,
                       https_port);
  } catch (const std::exception& error) {
    engine::log(engine::kError, std::string("Web server cannot start: ") + error.what());
    return PALVEX_NO_WEBSERVER;
  }
}

palvex_WebserverHandle palvex_Webserver_tcp2(int http_port, int https_port, const char* address,
                                             int json_port, palvex_Parameters) {
  try {
    const std::string host = address != nullptr ? address : "";
    engine::log(engine::kInfo,
                "Web server for the audio host at " + host + ":" + std::to_string(json_port));
    // A server for a host elsewhere is never shared.
    auto backend = std::make_shared<engine::RemoteBackend>(host, json_port);
    return add_handle(web_servers().lend_alone(backend, started(http_port, https_port, backend)));
  } catch (const std::exception& error) {
    engine::log(engine::kError, std::string("Web server cannot start: ") + error.what());
    return PALVEX_NO_WEBSERVER;
  }
}

int palvex_Webserver_Status(palvex_WebserverHandle handle) {
  auto lease = find(handle);
  return lease ? (*lease)->status() : 0;
}

int palvex_Webserver_Stop(palvex_WebserverHandle handle, int timeout) {
  std::shared_ptr<Lease> lease;
  {
    std::lock_guard<std::mutex> lock(handles_mutex);
    auto it = handles.find(handle);
    if (it == handles.end()) return 1;  // none, failed, or stopped already
    lease = std::move(it->second);
    handles.erase(it);
  }
  // A newer process still serves on these ports: they stay open for it.
  std::shared_ptr<engine::WebServer> last = lease->give_back();
  return last ? last->stop(timeout) : 0;
}

}  // extern "C"
