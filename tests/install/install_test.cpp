// cmake --install into a temporary prefix: what lands there, and the installed programs running
// from it with the engine beside them; and a configure of the project without its tests or
// Google Benchmark.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

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
    install_ = run_process({PALVEX_CMAKE_COMMAND, "--install", PALVEX_BUILD_DIR, "--prefix",
                            prefix_->path().string()},
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

TEST_F(Installed, HoldsTheThreeProgramsAndTheStandInEngineOnly) {
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

TEST_F(Installed, ProgramsRunFromThePrefixWithTheEngineBesideThem) {
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

// Without the tests nothing of the fake engine is built; without Google Benchmark the
// benchmarks are left out with a message, and the programs still build.
TEST(Configure, WithoutTestsOrGoogleBenchmark) {
  TempDir dir("palvex-configure");
  const fs::path build = dir.path() / "build";
  const ProcessResult configure = run_process(
      {PALVEX_CMAKE_COMMAND, "-S", PALVEX_SOURCE_DIR, "-B", build.string(), "-G", "Ninja",
       "-DCMAKE_MAKE_PROGRAM=" PALVEX_MAKE_PROGRAM, "-DCMAKE_C_COMPILER=" PALVEX_C_COMPILER,
       "-DCMAKE_CXX_COMPILER=" PALVEX_CXX_COMPILER, "-DPALVEX_BUILD_TESTS=OFF",
       "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"},
      {}, 90s);
  ASSERT_TRUE(configure.exited && configure.status == 0) << configure.out << configure.err;
  EXPECT_NE(configure.out.find("Google Benchmark not found"), std::string::npos) << configure.out;
  const std::string rules = read_file((build / "build.ninja").string());
  for (const std::string target : {"palvex-jack", "palvex-pipewire", "palvex-webfront",
                                   "velmor_palvex"})
    EXPECT_NE(rules.find("build " + target + ":"), std::string::npos) << target;
  for (const std::string target : {"palvex_fake_engine", "jack_process_bench", "pw_process_bench"})
    EXPECT_EQ(rules.find(target), std::string::npos) << target;
}

}  // namespace
