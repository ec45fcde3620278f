// A private temporary folder that is removed with everything in it, also when a test fails.
#pragma once

#include <filesystem>
#include <string>

class TempDir {
public:
  explicit TempDir(const std::string& prefix = "palvex-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
  std::filesystem::path path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
