// What clients without a login send to break a web server, one row per kind, for the programs
// that serve the engine's web interface (palvex-webfront, palvex-jack).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

constexpr const char* hostile_user = "operator";
constexpr const char* hostile_secret = "hostile-secret-9";

// The program under attack: its HTTP port on 127.0.0.1 and its process.
struct WebTarget {
  int web_port = 0;
  pid_t pid = 0;
};

struct HostileRow {
  const char* name;
  // Rows that only show a bound of the server itself run against palvex-webfront alone.
  bool on_audio_host;
  std::function<void(const WebTarget&)> run;  // checks what it must with EXPECT_*
};

// Every row leaves the program running; the caller checks that after each.
std::vector<HostileRow> hostile_rows();

// Resident memory of a process in KiB, 0 when it is gone.
long resident_kib(pid_t pid);
// Whether a plain GET / from 127.0.0.1 is answered 200 within a few seconds.
bool page_answers(int web_port);
