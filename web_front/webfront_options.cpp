// The environment and command-line stage of palvex-webfront.
#include "webfront_options.h"

#include <getopt.h>

#include <climits>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <utility>

#include "option_values.h"
#include "version_line.h"

namespace {

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

void print_help(const char* program, const WebfrontSettings& settings) {
  const char* proc_verb = std::getenv("PROC_VERB");
  std::cout << "VELMOR Palvex Version " << engine_version_text() << '\n'
            << (program != nullptr ? program : "")
            << " [-v] [-i process_ip] [-p process_port] [-w http_port] [-s https_port]\n"
            << "  -i, --ip=process_ip        IP adress of the process to connect to (current:"
            << settings.address << ")\n"
            << "  -p, --port=process_port    Port of the process to connect to (current:"
            << settings.json_port << ")\n"
            << "  -w, --http=http_port       Port to listen for HTTP (current:"
            << settings.http_port << ")\n"
            << "  -s, --https=https_port     Port to listen for HTTPS (current:"
            << settings.https_port << ")\n"
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

int read_webfront_options(int argc, char** argv, WebfrontSettings& settings) {
  settings = WebfrontSettings();

  // strtol as start-up scripts know it from 32-bit boards: clamped to 32 bits where long is 64.
  const std::pair<const char*, uint32_t*> environment_ports[] = {
      {"HTTP_PORT", &settings.http_port},
      {"HTTPS_PORT", &settings.https_port},
      {"PROC_PORT", &settings.json_port}};
  for (const auto& [name, port] : environment_ports) {
    const char* text = std::getenv(name);
    if (text == nullptr) continue;
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    *port = static_cast<uint32_t>(static_cast<int32_t>(value));
  }
  if (const char* text = std::getenv("PROC_IP")) settings.address = text;

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
        print_help(argv[0], settings);
        return 0;
      case 'V':
        print_version_line(std::cout);
        return 0;
      case 'i': {
        std::istringstream stream(optarg);
        std::string word;
        if (stream >> word) settings.address = word;  // blank leaves the address as it was
        break;
      }
      case 'p':
        read_port_option(optarg, settings.json_port);
        break;
      case 'w':
        read_port_option(optarg, settings.http_port);
        break;
      case 's':
        read_port_option(optarg, settings.https_port);
        break;
      case 'v':
        break;
      case 'a': {
        std::pair<std::string, std::string> pair;
        if (!split_key_value(optarg, pair)) {
          std::cerr << " option a needs key=value format" << std::endl;
          return 1;
        }
        settings.params.push_back(std::move(pair));
        break;
      }
      default:
        // optopt is 0 for an unknown or ambiguous long name, which the C library's own
        // diagnostic has just named; a NUL byte would be no help on the console.
        std::cerr << " option " << static_cast<char>(optopt != 0 ? optopt : '?') << " is unknown"
                  << std::endl;
        return 1;
    }
  }
  return options_go_on;
}
