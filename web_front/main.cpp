// palvex-webfront: serves the engine's web interface against a remote audio host's JSON port.
#include <getopt.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host_options.h"
#include "palvex.h"
#include "signals.h"

namespace {

// The name under which the audio host's JSON service is found on an operator's network.
const char* const default_host_name = "palvex-host";

// No flag pointers: each entry returns its letter, so long and short forms act alike.
const option option_table[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"ip", required_argument, nullptr, 'i'},
    {"port", required_argument, nullptr, 'p'},
    {"http", required_argument, nullptr, 'w'},
    {"https", required_argument, nullptr, 's'},
    {"verbose", no_argument, nullptr, 'v'},
    {"param", required_argument, nullptr, 'a'},
    {nullptr, 0, nullptr, 0},
};

void print_help(const char* program, const std::string& address, uint32_t json_port,
                uint32_t http_port, uint32_t https_port) {
  const char* proc_verb = std::getenv("PROC_VERB");
  std::cout << "VELMOR Palvex Version " << engine_version_text() << '\n'
            << (program != nullptr ? program : "")
            << " [-v] [-i process_ip] [-p process_port] [-w http_port] [-s https_port]\n"
            << "  -i, --ip=process_ip        IP adress of the process to connect to (current:"
            << address << ")\n"
            << "  -p, --port=process_port    Port of the process to connect to (current:"
            << json_port << ")\n"
            << "  -w, --http=http_port       Port to listen for HTTP (current:" << http_port
            << ")\n"
            << "  -s, --https=https_port     Port to listen for HTTPS (current:" << https_port
            << ")\n"
            << "  -a, --param=key=value      Add parameter\n"
            << "  -v, --verbose              Increase verbose level (default PROC_VERB="
            << (proc_verb != nullptr ? proc_verb : "") << ")\n"
            << "  -V, --version              Show version\n"
            << "  -h, --help                 This help\n"
            << '\n'
            << "You can use env vars PROC_IP, PROC_PORT, HTTP_PORT, HTTPS_PORT to set those "
               "parameters"
            << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  // First of all, so that a stop asked for during start-up is seen by the wait.
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);

  uint32_t http_port = 8080;
  uint32_t https_port = 8443;
  uint32_t json_port = 5010;
  std::string address = default_host_name;
  std::vector<std::pair<std::string, std::string>> params;

  // strtol as start-up scripts know it from 32-bit boards: clamped to 32 bits where long is 64.
  const std::pair<const char*, uint32_t*> environment_ports[] = {
      {"HTTP_PORT", &http_port}, {"HTTPS_PORT", &https_port}, {"PROC_PORT", &json_port}};
  for (const auto& [name, port] : environment_ports) {
    const char* text = std::getenv(name);
    if (text == nullptr) continue;
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    *port = static_cast<uint32_t>(static_cast<int32_t>(value));
  }
  if (const char* text = std::getenv("PROC_IP")) address = text;

  std::string letters;
  for (const option* entry = option_table; entry->name != nullptr; ++entry) {
    letters += static_cast<char>(entry->val);
    if (entry->has_arg == required_argument) letters += ':';
  }

  for (;;) {
    int index = -1;
    const int letter = getopt_long(argc, argv, letters.c_str(), option_table, &index);
    if (letter == -1) break;
    switch (letter) {
      case 'h':
        print_help(argv[0], address, json_port, http_port, https_port);
        return 0;
      case 'V':
        std::cout << "VELMOR Palvex Version " << engine_version_text() << std::endl;
        return 0;
      case 'i': {
        std::istringstream stream(optarg);
        std::string word;
        if (stream >> word) address = word;  // blank leaves the address as it was
        break;
      }
      case 'p': read_port_option(optarg, json_port); break;
      case 'w': read_port_option(optarg, http_port); break;
      case 's': read_port_option(optarg, https_port); break;
      case 'v': break;
      case 'a': {
        std::pair<std::string, std::string> pair;
        if (!split_key_value(optarg, pair)) {
          std::cerr << " option a needs key=value format" << std::endl;
          return 1;
        }
        params.push_back(std::move(pair));
        break;
      }
      default:
        // optopt is 0 for an unknown or ambiguous long name, which the C library's own
        // diagnostic has just named; a NUL byte would be no help on the console.
        std::cerr << " option " << static_cast<char>(optopt != 0 ? optopt : '?')
                  << " is unknown" << std::endl;
        return 1;
    }
  }

  // The engine copies what it needs from the set, so it can go right after the start.
  palvex_Parameters set = palvex_NewParameters();
  for (const auto& [key, value] : params) palvex_SetParameter(set, key.c_str(), value.c_str());
  const palvex_WebserverHandle web = palvex_Webserver_tcp2(
      static_cast<int>(http_port), static_cast<int>(https_port), address.c_str(),
      static_cast<int>(json_port), set);
  palvex_FreeParameters(set);
  palvex_Webserver_Status(web);  // a web server that failed to listen does not stop us

  // A signal cuts the sleep short; sleeping on for the rest keeps the steps one second long.
  while (stop_requested.load() == 0) {
    timespec time{1, 0};
    while (nanosleep(&time, &time) == -1 && errno == EINTR) {
    }
  }

  const int rc = palvex_Webserver_Stop(web, 5000);
  // A parent sees only the low 8 bits: a failed stop must not read as success there.
  return rc != 0 && (rc & 0xff) == 0 ? 1 : rc;
}
