// cmake --install into a temporary prefix: what lands there, and the installed programs running
// from it with the engine beside them; and configures of the project: without its tests or
// Google Benchmark, and with both, where lib/ gets the engines and nothing else.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string engine_file = "libvelmor.palvex.so";

class Installed : public testing::Test {
protected:
  static void SetUpTestSuite() {
    prefix_ = std::make_unique<TempDir>("palvex-install");
    install_ = run_process(
        {PALVEX_CMAKE_COMMAND, "--install", PALVEX_BUILD_DIR, "--prefix", prefix_->path().string()},
        {}, 60s);
  }
  static void TearDownTestSuite() { prefix_.reset(); }

  void SetUp() override {
    ASSERT_TRUE(install_.exited && install_.status == 0) << install_.out << install_.err;
  }

  static fs::path prefix() { return prefix_->path(); }

  static std::unique_ptr<TempDir> prefix_;
  static ProcessResult install_;
};

std::unique_ptr<TempDir> Installed::prefix_;
ProcessResult Installed::install_;

TEST_F(Installed, holds_the_three_programs_and_the_stand_in_engine_only) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(prefix()))
    if (!entry.is_directory()) files.insert(fs::relative(entry.path(), prefix()).string());
  const std::string bin = PALVEX_INSTALL_BINDIR, lib = PALVEX_INSTALL_LIBDIR;
  EXPECT_EQ(files, (std::set<std::string>{bin + "/palvex-jack", bin + "/palvex-pipewire",
                                          bin + "/palvex-webfront", lib + "/" + engine_file}));
}

// The path the loader resolves the engine to, from its trace of the program's libraries.
std::string resolved_engine(const std::string& program) {
  EnvChanges env = clean_palvex_env();
  env["LD_LIBRARY_PATH"] = std::nullopt;
  env["LD_TRACE_LOADED_OBJECTS"] = "1";
  const ProcessResult trace = run_process({program}, env, 20s);
  const std::string marker = engine_file + " => ";
  const size_t at = trace.out.find(marker);
  if (at == std::string::npos) return "(not in the trace: " + trace.out + ")";
  const size_t from = at + marker.size();
  return trace.out.substr(from, trace.out.find(" (", from) - from);
}

TEST_F(Installed, programs_run_from_the_prefix_with_the_engine_beside_them) {
  const fs::path installed_engine = prefix() / PALVEX_INSTALL_LIBDIR / engine_file;
  for (const std::string name : {"palvex-jack", "palvex-pipewire", "palvex-webfront"}) {
    SCOPED_TRACE(name);
    const std::string program = (prefix() / PALVEX_INSTALL_BINDIR / name).string();
    EnvChanges env = clean_palvex_env();
    env["LD_LIBRARY_PATH"] = std::nullopt;
    const ProcessResult version = run_process({program, "-V"}, env, 20s);
    EXPECT_TRUE(version.exited && version.status == 0) << version.err;
    EXPECT_EQ(version.out.rfind("VELMOR Palvex Version ", 0), 0u) << version.out;
    EXPECT_EQ(fs::weakly_canonical(resolved_engine(program)), installed_engine);
  }
}

// A configure of the project with Ninja in a fresh folder.
ProcessResult configure(const fs::path& build, std::vector<std::string> options) {
  std::vector<std::string> argv = {PALVEX_CMAKE_COMMAND,
                                   "-S",
                                   PALVEX_SOURCE_DIR,
                                   "-B",
                                   build.string(),
                                   "-G",
                                   "Ninja",
                                   "-DCMAKE_MAKE_PROGRAM=" PALVEX_MAKE_PROGRAM,
                                   "-DCMAKE_C_COMPILER=" PALVEX_C_COMPILER,
                                   "-DCMAKE_CXX_COMPILER=" PALVEX_CXX_COMPILER};
  argv.insert(argv.end(), options.begin(), options.end());
  return run_process(argv, {}, 90s);
}

// The outputs of every build statement in a build.ninja, as written there.
std::set<std::string> ninja_outputs(const std::string& rules) {
  std::set<std::string> outputs;
  std::istringstream lines(rules);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("build ", 0) != 0) continue;
    std::string path;
    for (size_t at = 6; at < line.size(); ++at) {
      const char c = line[at];
      if (c == '$' && at + 1 < line.size()) {  // $: and $  are part of a path
        path += line[++at];
      } else if (c == ' ' || c == ':') {
        if (!path.empty() && path != "|" && path != "||") outputs.insert(path);
        path.clear();
        if (c == ':') break;
      } else {
        path += c;
      }
    }
  }
  return outputs;
}

// Without the tests nothing of the fake engine is built; without Google Benchmark the
// benchmarks are left out with a message, and the programs still build.
TEST(Configure, without_tests_or_google_benchmark) {
  TempDir dir("palvex-configure");
  const fs::path build = dir.path() / "build";
  const ProcessResult configured =
      configure(build, {"-DPALVEX_BUILD_TESTS=OFF", "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"});
  ASSERT_TRUE(configured.exited && configured.status == 0) << configured.out << configured.err;
  EXPECT_NE(configured.out.find("Google Benchmark not found"), std::string::npos) << configured.out;
  const std::string rules = read_file((build / "build.ninja").string());
  for (const std::string target :
       {"palvex-jack", "palvex-pipewire", "palvex-webfront", "velmor_palvex"})
    EXPECT_NE(rules.find("build " + target + ":"), std::string::npos) << target;
  for (const std::string target : {"palvex_fake_engine", "jack_process_bench", "pw_process_bench"})
    EXPECT_EQ(rules.find(target), std::string::npos) << target;
}

// lib/ is where the programs and the tests look for an engine: the test shims and the
// benchmarks' copying engine live beside their users, so none can be taken for an engine.
TEST(Configure, puts_only_the_engines_in_lib) {
  TempDir dir("palvex-configure");
  const fs::path build = dir.path() / "build";
  const ProcessResult configured =
      configure(build, {"-DPALVEX_BUILD_TESTS=ON", "-DPALVEX_BUILD_BENCHMARKS=ON"});
  ASSERT_TRUE(configured.exited && configured.status == 0) << configured.out << configured.err;
  std::set<std::string> in_lib;
  for (const std::string& output : ninja_outputs(read_file((build / "build.ninja").string())))
    if (output.rfind("lib/", 0) == 0) in_lib.insert(output);
  EXPECT_EQ(in_lib, (std::set<std::string>{"lib/" + engine_file, "lib/fake/" + engine_file}));
}

}  // namespace
