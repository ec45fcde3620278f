// A small tmpfs mounted for one test, read-only or filled to the last byte; unmounted after.
#pragma once

#include <string>

#include "temp_dir.h"

class ScratchMount {
public:
  enum Kind { read_only, full };
  explicit ScratchMount(Kind kind);
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }  // why it could not be mounted
  std::string path() const { return dir_.path().string(); }

private:
  TempDir dir_;
  bool mounted_ = false;
  std::string error_;
};
