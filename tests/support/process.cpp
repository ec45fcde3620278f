#include "process.h"

#include <elf.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "json_client.h"

extern char** environ;

EnvChanges clean_palvex_env() {
  EnvChanges env;
  for (const char* name :
       {"STATE_DIR", "PROC_PORT", "HTTP_PORT", "HTTPS_PORT", "PROC_VERB", "PROC_IP", "SETUP_USER",
        "ADMIN_USER", "SETUP_SECRET", "ADMIN_SECRET", "SSL_CERTIFICATE_PATH", "SSL_PRIVATE_PATH"})
    env[name] = std::nullopt;
  for (const char* name :
       {"PALVEX_FAKE_TRACE", "PALVEX_FAKE_VERSION", "PALVEX_FAKE_SAMPLE_RATE", "PALVEX_FAKE_CHUNK",
        "PALVEX_FAKE_CHANNELS", "PALVEX_FAKE_INPUTS", "PALVEX_FAKE_OUTPUTS",
        "PALVEX_FAKE_CHUNK_LIST", "PALVEX_FAKE_PROCESS_CHUNK", "PALVEX_FAKE_READY",
        "PALVEX_FAKE_WEB_STATUS", "PALVEX_FAKE_STOP_RESULT", "PALVEX_FAKE_GAIN", "PALVEX_FAKE_BIAS",
        "PALVEX_FAKE_FAIL", "PALVEX_FAKE_LOG", "PALVEX_FAKE_LOG_THREADS", "PALVEX_FAKE_LOG_REPEAT"})
    env[name] = std::nullopt;
  return env;
}

static std::vector<std::string> build_environment(const EnvChanges& changes) {
  std::map<std::string, std::string> vars;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (eq != nullptr) vars[std::string(*entry, static_cast<std::size_t>(eq - *entry))] = eq + 1;
  }
  for (const auto& [name, value] : changes) {
    if (value)
      vars[name] = *value;
    else
      vars.erase(name);
  }
  std::vector<std::string> list;
  for (const auto& [name, value] : vars) list.push_back(name + "=" + value);
  return list;
}

// True for an ARM executable (our own programs and test helpers of a cross build, wherever they
// lie): without binfmt_misc the kernel cannot start them, so they go through the emulator.
// Tools found on PATH (jackd, pipewire, curl) are the build machine's own and start directly.
static bool is_arm_executable(const std::string& path) {
  if (path.find('/') == std::string::npos) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char header[EI_NIDENT + 4] = {};
  const ssize_t got = read(fd, header, sizeof header);
  close(fd);
  if (got != static_cast<ssize_t>(sizeof header) || std::memcmp(header, ELFMAG, SELFMAG) != 0)
    return false;
  // e_machine follows e_type; ARM executables are little-endian.
  const unsigned machine = header[EI_NIDENT + 2] | (header[EI_NIDENT + 3] << 8);
  return machine == EM_ARM;
}

static std::vector<std::string> emulator_words(const std::vector<std::string>& argv) {
  std::vector<std::string> words;
  const std::string emulator = PALVEX_EMULATOR;
  if (emulator.empty() || argv.empty() || !is_arm_executable(argv[0])) return words;
  std::istringstream in(emulator);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> with_emulator(const std::vector<std::string>& argv) {
  std::vector<std::string> full = emulator_words(argv);
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

// A preload is for the program, not for the emulator: the build machine's loader would refuse
// the ARM library with an error line on the program's standard error.
static std::vector<std::string> with_emulator(const std::vector<std::string>& argv,
                                              EnvChanges& env) {
  std::vector<std::string> full = emulator_words(argv);
  if (full.empty()) return argv;
  auto preload = env.find("LD_PRELOAD");
  if (preload != env.end() && preload->second) {
    full.push_back("-E");
    full.push_back("LD_PRELOAD=" + *preload->second);
    preload->second = std::nullopt;
  }
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv_in, const EnvChanges& env_in)
    : dir_("palvex-child") {
  EnvChanges env = env_in;
  std::vector<std::string> argv = with_emulator(argv_in, env);
  std::vector<std::string> environment = build_environment(env);
  std::vector<char*> c_argv, c_env;
  for (const auto& arg : argv) c_argv.push_back(const_cast<char*>(arg.c_str()));
  c_argv.push_back(nullptr);
  for (const auto& var : environment) c_env.push_back(const_cast<char*>(var.c_str()));
  c_env.push_back(nullptr);
  std::string out_path = dir_.file("stdout"), err_path = dir_.file("stderr");

  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    // Start with default dispositions and nothing blocked, as from a shell.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
    // A test that dies (a time-out, a crash) still ends what it started, in order: a jackd
    // left behind would hold one of the few server slots of the machine.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    // execvpe: the emulator is found on PATH; our programs are given by full path.
    execvpe(c_argv[0], c_argv.data(), c_env.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::send_signal(int signal_number) {
  if (!reaped_) kill(pid_, signal_number);
}

bool ChildProcess::running() {
  if (reaped_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  reaped_ = true;
  result_.exited = WIFEXITED(status);
  result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return false;
}

bool ChildProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool ChildProcess::wait_for_text(bool on_stderr, const std::string& text,
                                 std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string current = on_stderr ? stderr_text() : stdout_text();
    if (current.find(text) != std::string::npos) return true;
    if (!running()) {
      current = on_stderr ? stderr_text() : stdout_text();
      return current.find(text) != std::string::npos;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout) {
  return wait_for_text(true, text, timeout);
}

bool ChildProcess::wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout) {
  return wait_for_text(false, text, timeout);
}

std::string ChildProcess::stdout_text() const { return read_file(dir_.file("stdout")); }
std::string ChildProcess::stderr_text() const { return read_file(dir_.file("stderr")); }

const ProcessResult& ChildProcess::result() {
  running();
  result_.out = stdout_text();
  result_.err = stderr_text();
  return result_;
}

ProcessResult run_process(const std::vector<std::string>& argv, const EnvChanges& env,
                          std::chrono::milliseconds timeout) {
  ChildProcess child(argv, env);
  if (!child.wait_for_exit(timeout)) {
    child.send_signal(SIGKILL);
    child.wait_for_exit(std::chrono::seconds(5));
  }
  return child.result();
}

std::string bin_path(const std::string& program) {
  return std::string(PALVEX_BIN_DIR) + "/" + program;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

static bool connect_once(int port) {
  const int fd = connect_loopback(port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

bool realtime_granted() {
  bool granted = false;
  std::thread probe([&granted] {
    sched_param param{};
    param.sched_priority = 1;
    granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
  });
  probe.join();
  return granted;
}

bool wait_for_tcp_port(int port, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!connect_once(port)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
