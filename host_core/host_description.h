// What sets the two audio hosts apart in the code they share; each host's main holds one.
#pragma once

struct HostDescription {
  bool has_session;            // -S/--session: the JACK session id
  const char* client_name;     // before any -C; the help shows it as the current name
  const char* name_help;       // the help line of -C, up to the current name
  const char* unnamed_client;  // what the sound server is told when the client name is empty
  void (*stop_handler)(int);   // installed for SIGTERM, then SIGINT
  int shutdown_level;          // level of "MAIN stopping" and "MAIN exiting now"
};
