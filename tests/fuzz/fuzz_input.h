// Turns fuzzer bytes into the environment values and arguments a program reads at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Splits at '\n' into at most max_lines lines; a NUL byte ends a line's text as it would end
// a C string, since that is all a program can ever receive in argv or the environment.
std::vector<std::string> split_lines(const uint8_t* data, size_t size, size_t max_lines);

// Writable copies of the arguments behind argv[0], ended by a null pointer: getopt_long
// permutes the vector in place, so it must not point into anything the harness still reads.
class ArgumentVector {
public:
  ArgumentVector(const std::string& program, const std::vector<std::string>& args);
  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }

private:
  std::vector<std::vector<char>> storage_;
  std::vector<char*> pointers_;
};

// Sets each named variable to the next line while the header line names its letter, and
// removes it otherwise; returns the index of the first line left for the arguments.
struct EnvironmentLetter {
  char letter;
  const char* name;
};
size_t apply_environment(const std::vector<std::string>& lines,
                         const std::vector<EnvironmentLetter>& letters);

// Standard output and error to a buffer that takes everything: formatting still runs in full,
// while the fuzzer's own reports keep the terminal.
void silence_standard_streams();

}  // namespace fuzz
