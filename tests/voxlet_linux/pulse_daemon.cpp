#include "pulse_daemon.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace voxlet_test {

using namespace std::chrono_literals;
using testing_support::Subprocess;

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "voxlet-XXXXXX").string();
  if (::mkdtemp(templ.data())) path_ = templ;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

PulseDaemon::PulseDaemon(SinkOptions sink) {
  if (dir_.path().empty()) {
    problem_ = "no temporary folder";
    return;
  }
  const std::string root = dir_.path();
  for (const char* sub : {"/run", "/run/pulse", "/home", "/config"}) {
    ::mkdir((root + sub).c_str(), 0700);
  }
  socket_ = root + "/run/pulse/native";
  {
    std::ofstream script(root + "/voxlet-test.pa");
    script << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket_ << "\n"
           << "load-module module-null-sink sink_name=vmic format=float32le rate=" << sink.rate
           << " channels=" << sink.channels << "\n"
           << "set-default-sink vmic\n"
           << "set-default-source vmic.monitor\n";
  }
  launch();
}

void PulseDaemon::launch() {
  ready_ = false;
  const std::string root = dir_.path();
  std::map<std::string, std::string> env = clientEnv();
  env.erase("PULSE_SERVER");
  // Runs in the foreground as a plain user daemon, quiet even as root, without real-time
  // scheduling requests, shared memory or a session bus. A shell keeps it on a leash: when this
  // process closes the shell's input, or dies, the daemon is ended too; a line with a signal
  // name ends it with that signal instead. The lines STOP and CONT hang the daemon and let it go
  // on; the shell answers each with the same line once it has taken effect.
  std::vector<std::string> argv{
      "/bin/sh",
      "-c",
      "\"$@\" & pid=$!\n"
      "while read -r sig; do\n"
      "  case \"$sig\" in\n"
      "    STOP) kill -s STOP $pid\n"
      "      until [ \"$(cut -d' ' -f3 /proc/$pid/stat)\" = T ]; do sleep 0.01; done ;;\n"
      "    CONT) kill -s CONT $pid ;;\n"
      "    *) break ;;\n"
      "  esac\n"
      "  echo \"$sig\"\n"
      "done\n"
      "kill -s \"${sig:-TERM}\" $pid; kill -s CONT $pid 2>/dev/null; wait $pid",
      "voxlet-test-pulse",
      "/usr/bin/pulseaudio",
      "-n",
      "--daemonize=no",
      "--system=no",
      "--exit-idle-time=-1",
      "--disallow-exit",
      "--use-pid-file=no",
      "--realtime=no",
      "--high-priority=no",
      "--disable-shm=yes",
      "--log-target=stderr",
      "--log-level=error",
      "-F",
      root + "/voxlet-test.pa"};
  daemon_ = std::make_unique<Subprocess>(argv, env, hostVariables());
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto info = pactl({"info"})) {
      if (info->find("Default Source: vmic.monitor") != std::string::npos) {
        ready_ = true;
        return;
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  problem_ = "the private sound server did not start: " + daemon_->readStderr(100ms);
}

PulseDaemon::~PulseDaemon() {
  if (!daemon_) return;
  daemon_->closeStdin();
  daemon_->wait(10s);
}

bool PulseDaemon::kill() {
  if (!daemon_) return false;
  ready_ = false;
  daemon_->write("KILL\n");
  const auto exit = daemon_->wait(10s);
  daemon_.reset();
  return exit.exited;
}

bool PulseDaemon::signal(const std::string& name) {
  if (!daemon_ || !daemon_->write(name + "\n")) return false;
  return daemon_->readLine(10s) == name;
}

bool PulseDaemon::hang() {
  return signal("STOP");
}

bool PulseDaemon::resume() {
  return signal("CONT");
}

bool PulseDaemon::restart() {
  if (daemon_) kill();
  launch();
  return ready_;
}

bool PulseDaemon::waitForRecording(const std::string& source, std::chrono::milliseconds timeout) {
  // Events first, then a look at the present state, so that no change falls between the two.
  Subprocess events({"/usr/bin/pactl", "subscribe"}, clientEnv(), hostVariables());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
  };
  // Every pactl run is a client of the daemon, which the subscription reports: once one shows
  // up, the subscription is in place.
  for (bool subscribed = false; !subscribed;) {
    if (left() <= 0ms) return false;
    pactl({"info"});
    const auto until = std::chrono::steady_clock::now() + 500ms;
    while (!subscribed && std::chrono::steady_clock::now() < until) {
      auto line = events.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now()));
      if (!line) break;
      subscribed = line->find(" client ") != std::string::npos;
    }
  }
  for (;;) {
    auto sources = pactl({"list", "short", "sources"});
    auto outputs = pactl({"list", "source-outputs"});
    if (sources && outputs) {
      std::string index;
      std::istringstream lines(*sources);
      for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string i, name;
        fields >> i >> name;
        if (name == source) index = i;
      }
      if (!index.empty() && outputs->find("\tSource: " + index + "\n") != std::string::npos) {
        return true;
      }
    }
    // Any source or source output event may be the one awaited.
    for (;;) {
      if (left() <= 0ms) return false;
      auto line = events.readLine(left());
      if (!line) return false;
      if (line->find("source") != std::string::npos) break;
    }
  }
}

std::map<std::string, std::string> PulseDaemon::clientEnv() const {
  const std::string root = dir_.path();
  return {{"PULSE_SERVER", "unix:" + socket_},
          {"PULSE_RUNTIME_PATH", root + "/run/pulse"},
          {"XDG_RUNTIME_DIR", root + "/run"},
          {"XDG_CONFIG_HOME", root + "/config"},
          {"HOME", root + "/home"},
          {"PULSE_SINK", "vmic"}};
}

std::vector<std::string> PulseDaemon::hostVariables() {
  return {"DBUS_SESSION_BUS_ADDRESS", "PULSE_SOURCE", "PULSE_COOKIE", "PULSE_PROP", "DISPLAY",
          "WAYLAND_DISPLAY"};
}

void PulseDaemon::exportToThisProcess() const {
  for (const auto& [k, v] : clientEnv()) ::setenv(k.c_str(), v.c_str(), 1);
  for (const auto& k : hostVariables()) ::unsetenv(k.c_str());
}

bool PulseDaemon::play(const std::string& file, const std::string& sink) const {
  auto r =
      testing_support::run({"/usr/bin/paplay", "--device=" + sink, file}, "", clientEnv(), 120s);
  return r.exit.exited && r.exit.status == 0;
}

std::unique_ptr<Subprocess> PulseDaemon::startPlaying(const std::string& file,
                                                      const std::string& sink) const {
  return std::make_unique<Subprocess>(
      std::vector<std::string>{"/usr/bin/paplay", "--device=" + sink, file}, clientEnv(),
      hostVariables());
}

std::optional<std::string> PulseDaemon::pactl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"/usr/bin/pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = testing_support::run(argv, "", clientEnv(), 10s);
  if (!r.exit.exited || r.exit.status != 0) return std::nullopt;
  return r.out;
}

RefusingServer::RefusingServer(std::string socketPath) : path_(std::move(socketPath)) {
  sockaddr_un addr{};
  if (path_.size() >= sizeof addr.sun_path) return;
  addr.sun_family = AF_UNIX;
  path_.copy(addr.sun_path, path_.size());
  ::unlink(path_.c_str());  // a killed server's socket file stays behind
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0 ||
      ::listen(fd_, 16) < 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RefusingServer::~RefusingServer() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(path_.c_str());
}

std::vector<std::chrono::steady_clock::time_point> RefusingServer::waitForTries(
    size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fd_ >= 0 && tries_.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    tries_.push_back(std::chrono::steady_clock::now());
    ::close(conn);
  }
  return {tries_.begin(), tries_.begin() + std::min(n, tries_.size())};
}

bool synthesize(const std::string& text, const std::string& path) {
  auto r = testing_support::run({"/usr/bin/flite", "-voice", "rms", "-t", text, "-o", path}, "");
  return r.exit.exited && r.exit.status == 0;
}

bool sox(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/sox"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = testing_support::run(argv, "");
  return r.exit.exited && r.exit.status == 0;
}

double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  auto words = [](const std::string& s) {
    std::vector<std::string> w;
    std::istringstream in(s);
    for (std::string x; in >> x;) {
      // Typed text: capitals and punctuation are no word errors.
      std::erase_if(x, [](unsigned char c) { return c == '.' || c == '?' || c == ','; });
      std::transform(x.begin(), x.end(), x.begin(),
                     [](unsigned char c) { return std::tolower(c); });
      if (!x.empty()) w.push_back(x);
    }
    return w;
  };
  const auto ref = words(reference), hyp = words(hypothesis);
  if (ref.empty()) return hyp.empty() ? 0.0 : 1.0;
  std::vector<size_t> prev(hyp.size() + 1), cur(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j) {
      cur[j] =
          std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1)});
    }
    prev.swap(cur);
  }
  return static_cast<double>(prev[hyp.size()]) / static_cast<double>(ref.size());
}

}  // namespace voxlet_test
