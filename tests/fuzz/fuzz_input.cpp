// Turns fuzzer bytes into the environment values and arguments a program reads at start-up.
#include "fuzz_input.h"

#include <stdlib.h>

#include <cstring>
#include <iostream>
#include <streambuf>

namespace fuzz {

std::vector<std::string> split_lines(const uint8_t* data, size_t size, size_t max_lines) {
  std::vector<std::string> lines;
  const char* text = reinterpret_cast<const char*>(data);
  size_t start = 0;
  while (start <= size && lines.size() < max_lines) {
    const void* found = size > start ? std::memchr(text + start, '\n', size - start) : nullptr;
    const size_t end = found != nullptr ? static_cast<const char*>(found) - text : size;
    std::string line(text + start, end - start);
    line.resize(std::strlen(line.c_str()));  // what a C string of these bytes holds
    lines.push_back(std::move(line));
    if (found == nullptr) break;
    start = end + 1;
  }
  return lines;
}

ArgumentVector::ArgumentVector(const std::string& program, const std::vector<std::string>& args) {
  storage_.reserve(args.size() + 1);
  auto add = [this](const std::string& text) {
    storage_.emplace_back(text.begin(), text.end());
    storage_.back().push_back('\0');
  };
  add(program);
  for (const std::string& arg : args) add(arg);
  for (std::vector<char>& text : storage_) pointers_.push_back(text.data());
  pointers_.push_back(nullptr);
}

size_t apply_environment(const std::vector<std::string>& lines,
                         const std::vector<EnvironmentLetter>& letters) {
  const std::string header = lines.empty() ? std::string() : lines[0];
  size_t next = 1;
  for (const EnvironmentLetter& entry : letters) {
    if (header.find(entry.letter) != std::string::npos && next < lines.size())
      ::setenv(entry.name, lines[next++].c_str(), 1);
    else
      ::unsetenv(entry.name);
  }
  return next < lines.size() ? next : lines.size();
}

namespace {

class NullBuffer : public std::streambuf {
protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

void silence_standard_streams() {
  // Never destroyed: the streams flush through it at exit, after local statics are gone.
  static NullBuffer* const buffer = new NullBuffer;
  std::cout.rdbuf(buffer);
  std::cerr.rdbuf(buffer);
}

}  // namespace fuzz
