// The engine's web-server calls: handles for the web servers that run.
#include <map>
#include <memory>
#include <mutex>

#include "engine_log.h"
#include "palvex.h"
#include "process.h"
#include "web_server.h"

namespace {

std::mutex registry_mutex;
std::map<palvex_WebserverHandle, std::shared_ptr<engine::WebServer>> registry;
palvex_WebserverHandle next_handle = 1;

palvex_WebserverHandle start(std::unique_ptr<engine::WebBackend> backend, int http_port,
                             int https_port) {
  auto server = std::make_shared<engine::WebServer>(std::move(backend));
  server->start(server, http_port, https_port);
  std::lock_guard<std::mutex> lock(registry_mutex);
  const palvex_WebserverHandle handle = next_handle++;
  registry[handle] = server;
  return handle;
}

std::shared_ptr<engine::WebServer> find(palvex_WebserverHandle handle) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  auto it = registry.find(handle);
  return it != registry.end() ? it->second : nullptr;
}

}  // namespace

extern "C" {

palvex_WebserverHandle palvex_Webserver(int http_port, int https_port, palvex_Process process) {
  if (process == nullptr) {
    engine::log(engine::kError, "Web server needs a process");
    return PALVEX_NO_WEBSERVER;
  }
  try {
    return start(std::make_unique<engine::LocalBackend>(process->config), http_port, https_port);
  } catch (const std::exception& error) {
    engine::log(engine::kError, std::string("Web server cannot start: ") + error.what());
    return PALVEX_NO_WEBSERVER;
  }
}

palvex_WebserverHandle palvex_Webserver_tcp2(int http_port, int https_port, const char* address,
                                             int json_port, palvex_Parameters) {
  try {
    const std::string host = address != nullptr ? address : "";
    engine::log(engine::kInfo, "Web server for the audio host at " + host + ":" +
                                   std::to_string(json_port));
    return start(std::make_unique<engine::RemoteBackend>(host, json_port), http_port, https_port);
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
    server = std::move(it->second);
    registry.erase(it);
  }
  return server->stop(timeout);
}

}  // extern "C"
