// The engine's web-server calls: handles for the web servers that run, and the local servers
// by their ports, so that a process made to replace another takes its server over.
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "engine_log.h"
#include "palvex.h"
#include "process.h"
#include "web_server.h"

namespace {

struct Lease {
  std::shared_ptr<engine::WebServer> server;
  std::shared_ptr<engine::WebBackend> backend;
};

std::mutex registry_mutex;  // guards registry, next_handle and local_servers
std::map<palvex_WebserverHandle, Lease> registry;
palvex_WebserverHandle next_handle = 1;
// Servers of this process's own processes that listen, by (HTTP, HTTPS) port.
std::map<std::pair<int, int>, std::shared_ptr<engine::WebServer>> local_servers;

palvex_WebserverHandle add_lease(Lease lease) {
  const palvex_WebserverHandle handle = next_handle++;
  registry[handle] = std::move(lease);
  return handle;
}

palvex_WebserverHandle start(std::shared_ptr<engine::WebBackend> backend, int http_port,
                             int https_port, bool local) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  if (local) {
    auto it = local_servers.find({http_port, https_port});
    if (it != local_servers.end()) {
      it->second->lend(backend);
      engine::log(engine::kInfo, "Web server on ports " + std::to_string(http_port) + "/" +
                                     std::to_string(https_port) +
                                     " taken over by the new process, sessions kept");
      return add_lease({it->second, std::move(backend)});
    }
  }
  auto server = std::make_shared<engine::WebServer>();
  server->lend(backend);
  server->start(server, http_port, https_port);
  if (local && server->status() != 0) local_servers[{http_port, https_port}] = server;
  return add_lease({std::move(server), std::move(backend)});
}

std::shared_ptr<engine::WebServer> find(palvex_WebserverHandle handle) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  auto it = registry.find(handle);
  return it != registry.end() ? it->second.server : nullptr;
}

}  // namespace

extern "C" {

palvex_WebserverHandle palvex_Webserver(int http_port, int https_port, palvex_Process process) {
  if (process == nullptr) {
    engine::log(engine::kError, "Web server needs a process");
    return PALVEX_NO_WEBSERVER;
  }
  try {
    return start(std::make_shared<engine::LocalBackend>(process->config), http_port, https_port,
                 true);
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
    return start(std::make_shared<engine::RemoteBackend>(host, json_port), http_port, https_port,
                 false);
  } catch (const std::exception& error) {
    engine::log(engine::kError, std::string("Web server cannot start: ") + error.what());
    return PALVEX_NO_WEBSERVER;
  }
}

int palvex_Webserver_Status(palvex_WebserverHandle handle) {
  auto server = find(handle);
  return server ? server->status() : 0;
}

int palvex_Webserver_Stop(palvex_WebserverHandle handle, int timeout) {
  std::shared_ptr<engine::WebServer> server;
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = registry.find(handle);
    if (it == registry.end()) return 1;  // none, failed, or stopped already
    Lease lease = std::move(it->second);
    registry.erase(it);
    // A newer process still serves on these ports: they stay open for it.
    if (!lease.server->give_back(lease.backend)) return 0;
    for (auto local = local_servers.begin(); local != local_servers.end(); ++local) {
      if (local->second == lease.server) {
        local_servers.erase(local);
        break;
      }
    }
    server = std::move(lease.server);
  }
  return server->stop(timeout);
}

}  // extern "C"
