// A fake of the JACK calls that palvex-jack makes, linked into unit tests in place of libjack:
// scripted results, and every call but the per-period ones recorded as a line, in order.
#pragma once

#include <jack/jack.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct _jack_port {
  std::string name;           // full name, "client:short"
  std::vector<float> buffer;  // what jack_port_get_buffer hands out
};

struct _jack_client {
  std::string name;
};

struct FakeJack {
  // Scripted results.
  bool open_fails = false;
  int open_status = 0;                    // the jack_status_t the open reports
  std::optional<std::string> renamed_to;  // with JackNameNotUnique: the name JACK assigned
  bool null_client_name = false;          // jack_get_client_name gives null
  jack_nframes_t sample_rate = 48000;
  jack_nframes_t buffer_size = 256;
  int failing_registration = -1;  // 0..3: that port's registration gives null
  int activate_result = 0;
  std::optional<std::vector<std::string>> capture{{"system:capture_1", "system:capture_2"}};
  std::optional<std::vector<std::string>> playback{{"system:playback_1", "system:playback_2"}};
  std::set<std::string> failing_connections;  // "source>destination"
  bool allocate_in_get_buffer = false;        // a control for the real-time checks

  // What happened.
  std::vector<std::string> calls;
  std::vector<std::string> connections;  // "source>destination" that succeeded
  JackProcessCallback process = nullptr;
  JackShutdownCallback shutdown = nullptr;
  int registrations = 0;                           // attempts so far
  std::vector<std::unique_ptr<_jack_port>> ports;  // registered, in order
  std::vector<const _jack_port*> buffer_fetches;   // reserved: never grows past its capacity
  std::unique_ptr<_jack_client> client;
  bool client_closed = false;
};

// The one fake of this test binary; reset before each test.
FakeJack& fake_jack();
void reset_fake_jack();
