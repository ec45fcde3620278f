// The daemon rounds a forced quantum down to a power of two unless told not to; quanta such as
// 100 and 48 must reach the host as they are. Its configuration folder follows
// XDG_CONFIG_HOME, which a daemon started after this object inherits from this process.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "temp_dir.h"

class ExactQuantaConfig {
public:
  ExactQuantaConfig() : dir_("palvex-pw-config") {
    const std::filesystem::path drop_ins = dir_.path() / "pipewire" / "pipewire.conf.d";
    std::filesystem::create_directories(drop_ins);
    std::ofstream(drop_ins / "exact-quanta.conf")
        << "context.properties = { clock.power-of-two-quantum = false }\n";
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) old_ = old;
    ::setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
  }
  ~ExactQuantaConfig() {
    if (old_) {
      ::setenv("XDG_CONFIG_HOME", old_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
  }
  ExactQuantaConfig(const ExactQuantaConfig&) = delete;
  ExactQuantaConfig& operator=(const ExactQuantaConfig&) = delete;

private:
  TempDir dir_;
  std::optional<std::string> old_;
};
