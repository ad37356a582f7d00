#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env,
                       const std::vector<std::string>& unset) {
  // Writing to a child that has gone must fail with EPIPE, not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  int pin[2], pout[2], perr[2];
  if (::pipe2(pin, O_CLOEXEC) || ::pipe2(pout, O_CLOEXEC) || ::pipe2(perr, O_CLOEXEC))
    throw std::runtime_error("pipe");

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& name : unset) vars.erase(name);
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& s : argCopy) args.push_back(s.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pin[0], 0);
  posix_spawn_file_actions_adddup2(&fa, pout[1], 1);
  posix_spawn_file_actions_adddup2(&fa, perr[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  // The child starts with default dispositions, whatever this test process ignores.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int rc = posix_spawn(&pid_, args[0], &fa, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(pin[0]);
  ::close(pout[1]);
  ::close(perr[1]);
  in_ = pin[1];
  out_ = pout[0];
  err_ = perr[0];
  if (rc != 0) throw std::runtime_error(std::string("spawn ") + argv[0] + ": " + strerror(rc));
}

Subprocess::~Subprocess() {
  closeFd(in_);
  if (!result_) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  closeFd(out_);
  closeFd(err_);
}

bool Subprocess::write(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t w = ::write(in_, bytes.data() + off, bytes.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    off += static_cast<size_t>(w);
  }
  return true;
}

void Subprocess::closeStdin() {
  closeFd(in_);
}

int Subprocess::unreadInput() const {
  int unread = 0;
  if (in_ < 0 || ::ioctl(in_, FIONREAD, &unread) != 0) return -1;
  return unread;
}

bool Subprocess::fill(int fd, std::string& buf, std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() < 0) return false;
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, static_cast<int>(left.count()));
  if (r <= 0) return false;
  char chunk[65536];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) {
    if (fd == out_) outEof_ = true;
    if (fd == err_) errEof_ = true;
    return false;
  }
  buf.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> Subprocess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto nl = outBuf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = outBuf_.substr(0, nl);
      outBuf_.erase(0, nl + 1);
      return line;
    }
    if (outEof_ || !fill(out_, outBuf_, deadline)) return std::nullopt;
  }
}

std::optional<std::string> Subprocess::readBytes(size_t n, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (outBuf_.size() < n) {
    if (outEof_ || !fill(out_, outBuf_, deadline)) return std::nullopt;
  }
  std::string bytes = outBuf_.substr(0, n);
  outBuf_.erase(0, n);
  return bytes;
}

std::string Subprocess::readAll(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!outEof_ && fill(out_, outBuf_, deadline)) {
  }
  std::string all;
  all.swap(outBuf_);
  return all;
}

std::string Subprocess::readStderr(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!errEof_ && fill(err_, errBuf_, deadline)) {
  }
  std::string all;
  all.swap(errBuf_);
  return all;
}

void Subprocess::kill(int sig) {
  ::kill(pid_, sig);
}

ExitResult Subprocess::wait(std::chrono::milliseconds timeout) {
  if (result_) return *result_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int st = 0;
  for (;;) {
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &st, 0);
      break;
    }
    // Reaping has no descriptor to wait on; a short back-off keeps this cheap.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ExitResult res;
  if (WIFEXITED(st)) {
    res.exited = true;
    res.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    res.signal = WTERMSIG(st);
  }
  result_ = res;
  return res;
}

RunResult run(const std::vector<std::string>& argv, const std::string& input,
              const std::map<std::string, std::string>& env, std::chrono::milliseconds timeout) {
  Subprocess p(argv, env);
  // Feed the input from a thread so a child that writes a lot never deadlocks against us.
  std::thread feeder([&] {
    p.write(input);
    p.closeStdin();
  });
  RunResult r;
  std::thread errReader([&] { r.err = p.readStderr(timeout); });
  r.out = p.readAll(timeout);
  errReader.join();
  feeder.join();
  r.exit = p.wait(timeout);
  return r;
}

}  // namespace testing_support
