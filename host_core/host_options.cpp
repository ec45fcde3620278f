// The command-line and environment stage that opens both audio hosts' main.
#include "host_options.h"

#include <getopt.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "host_help.h"
#include "log.h"
#include "option_values.h"
#include "version_line.h"

namespace {

// No flag pointers: getopt_long returns the letter for a long option, so both forms act alike.
const option host_option_table[] = {
    {"help", no_argument, nullptr, 'h'},           {"version", no_argument, nullptr, 'V'},
    {"jsonport", required_argument, nullptr, 'j'}, {"store", required_argument, nullptr, 'D'},
    {"state", required_argument, nullptr, 'N'},    {"onair", required_argument, nullptr, 'O'},
    {"param", required_argument, nullptr, 'a'},    {"meta", required_argument, nullptr, 'm'},
    {"storero", no_argument, nullptr, 'R'},        {"statero", no_argument, nullptr, 'r'},
    {"http", required_argument, nullptr, 'w'},     {"https", required_argument, nullptr, 's'},
    {"name", required_argument, nullptr, 'C'},     {"session", required_argument, nullptr, 'S'},
    {"verbose", no_argument, nullptr, 'v'},        {nullptr, 0, nullptr, 0},
};

constexpr size_t option_count = sizeof(host_option_table) / sizeof(host_option_table[0]);

// A host without a session: the same table without that entry.
struct SessionlessOptionTable {
  option entries[option_count - 1];
  SessionlessOptionTable() {
    size_t n = 0;
    for (const option& entry : host_option_table)
      if (entry.val != 'S') entries[n++] = entry;
  }
};

const option* option_table(const HostDescription& host) {
  static const SessionlessOptionTable sessionless_table;
  return host.has_session ? host_option_table : sessionless_table.entries;
}

// Each letter, with ":" when it takes an argument: the string can never drift from the table.
std::string short_options(const option* table) {
  std::string letters;
  for (const option* entry = table; entry->name != nullptr; ++entry) {
    letters += static_cast<char>(entry->val);
    if (entry->has_arg == required_argument) letters += ':';
  }
  return letters;
}

// strtol as the long-standing start-up scripts rely on, kept to 32 bits also where long is 64.
int32_t environment_number(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

const char* nonempty_env(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? text : nullptr;
}

int verbosity_from_env(const char* text) {
  static const char* const forms[] = {"-v", "-vv", "-vvv", "-vvvv", "-vvvvv", "-vvvvvv"};
  for (int i = 0; i < 6; ++i)
    if (std::strcmp(text, forms[i]) == 0) return 5 + i;
  PALVEX_LOG(main_logger, 3, "ENV PROC_VERB unknown " << text);
  return 4;
}

void read_environment(const HostDescription& host, HostSettings& settings) {
  const char* state_dir = std::getenv("STATE_DIR");
  settings.config.state_dir = state_dir != nullptr ? state_dir : "/usr/share/velmorproc";
  settings.client_name = host.client_name;
  set_log_levels(4);  // so that the PROC_VERB warning always reaches the console

  if (const char* text = nonempty_env("PROC_PORT")) {
    settings.config.json_port = static_cast<uint16_t>(environment_number(text));  // low 16 bits
    settings.deferred_texts.push_back(std::string("ENV proc port ") + text);
  }
  if (const char* text = nonempty_env("HTTP_PORT")) {
    settings.config.http_port = static_cast<uint32_t>(environment_number(text));
    settings.deferred_texts.push_back(std::string("ENV http port ") + text);
  }
  if (const char* text = nonempty_env("HTTPS_PORT")) {
    settings.config.https_port = static_cast<uint32_t>(environment_number(text));
    settings.deferred_texts.push_back(std::string("ENV https port ") + text);
  }
  settings.verbosity = 4;
  if (const char* text = nonempty_env("PROC_VERB")) {
    settings.verbosity = verbosity_from_env(text);
    settings.deferred_texts.push_back(std::string("ENV PROC_VERB ") + text);
  }
}

// The status main ends with after an option error.
int option_error(int letter, const char* problem) {
  std::cerr << " option " << static_cast<char>(letter) << problem << std::endl;
  return 1;
}

// False when the argument is no key=value pair.
bool add_pair(KeyValuePairs& pairs) {
  std::pair<std::string, std::string> pair;
  if (!split_key_value(optarg, pair)) return false;
  pairs.push_back(std::move(pair));
  return true;
}

}  // namespace

int read_host_options(int argc, char** argv, const HostDescription& host, HostSettings& settings) {
  settings = HostSettings();
  read_environment(host, settings);

  HostConfig& config = settings.config;
  const option* table = option_table(host);
  const std::string letters = short_options(table);
  for (;;) {
    int index = -1;
    const int letter = getopt_long(argc, argv, letters.c_str(), table, &index);
    if (letter == -1) break;
    switch (letter) {
      case 'h':
        print_host_help(std::cout, argv[0], host, settings, std::getenv("PROC_VERB"));
        return 0;
      case 'V':
        print_version_line(std::cout);
        return 0;
      case 'j':
        read_port_option(optarg, config.json_port);
        break;
      case 'D':
        config.state_dir = optarg;
        break;
      case 'N':
        config.state_filename = optarg;
        break;
      case 'O':
        config.onair_filename = optarg;
        break;
      case 'a':
      case 'm':
        if (!add_pair(letter == 'a' ? config.params : config.metas))
          return option_error(letter, " needs key=value format");
        break;
      case 'R':
        config.storage_ro = true;
        break;
      case 'r':
        config.state_ro = true;
        break;
      case 'w':
        read_port_option(optarg, config.http_port);
        break;
      case 's':
        read_port_option(optarg, config.https_port);
        break;
      case 'C':
        settings.client_name = optarg;
        break;
      case 'S':
        settings.session_id = optarg;
        break;
      case 'v':
        if (settings.verbosity < 10) ++settings.verbosity;
        break;
      default:
        // optopt is 0 for an unknown or ambiguous long name, which the C library's own
        // diagnostic has just named; a NUL byte would be no help on the console.
        return option_error(optopt != 0 ? optopt : '?', " is unknown");
    }
  }
  return options_go_on;
}
