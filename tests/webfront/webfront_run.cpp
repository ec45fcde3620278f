// Runs palvex-webfront against the fake engine, with the fake's trace in a private folder.
#include "webfront_run.h"

#include <thread>

std::string webfront_path() { return bin_path("palvex-webfront"); }

std::string expected_webfront_help(const std::map<std::string, std::string>& fields) {
  std::string text = read_file(std::string(PALVEX_TEST_DATA_DIR) + "/webfront/help.txt");
  for (const auto& [name, value] : fields) {
    const std::string field = "{" + name + "}";
    for (auto at = text.find(field); at != std::string::npos; at = text.find(field, at))
      text.replace(at, field.size(), value), at += value.size();
  }
  return text;
}

FakeWebfront::FakeWebfront(EnvChanges env) : dir_("palvex-webfront"), env_(clean_palvex_env()) {
  env_["LD_LIBRARY_PATH"] = std::string(PALVEX_FAKE_LIB_DIR);
  env_["PALVEX_FAKE_TRACE"] = dir_.file("trace");
  env_["PALVEX_FAKE_VERSION"] = std::string(webfront_fake_version);
  for (const auto& [name, value] : env) env_[name] = value;
}

ProcessResult FakeWebfront::run(const std::vector<std::string>& args) {
  std::vector<std::string> argv{webfront_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, env_, std::chrono::seconds(10));
}

bool FakeWebfront::start(const std::vector<std::string>& args) {
  std::vector<std::string> argv{webfront_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  child_ = std::make_unique<ChildProcess>(argv, env_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& line : trace())
      if (line.rfind("palvex_Webserver_Status", 0) == 0) return true;
    if (!child_->running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool FakeWebfront::stop(int signal_number, std::chrono::milliseconds timeout) {
  child_->send_signal(signal_number);
  return child_->wait_for_exit(timeout);
}

std::vector<std::string> FakeWebfront::trace() const {
  return split_lines(read_file(dir_.file("trace")));
}
