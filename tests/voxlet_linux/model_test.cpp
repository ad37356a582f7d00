// voxlet over its pipes with one file of its model damaged: a model that cannot load ends the run
// with exactly one "unavailable" line and status 1, whatever the damage, and a model that loads
// goes on to capture. No sound server runs, so a loaded model ends at the capture's own error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "linux_platform.h"
#include "pulse_daemon.h"
#include "subprocess.h"

namespace voxlet_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

// RandomBody keeps a file's first line and makes the rest random bytes.
enum class Damage { Empty, Truncated, Random, Flipped, Missing, RandomBody };

// What the run must end with.
enum class Outcome {
  Refused,   // the model: {"t":"error","code":"unavailable","msg":"recognizer not available"}
  Loads,     // the model loaded; capture then fails: "unavailable", "Connection refused"
  NotFound,  // without the file there is no model: "unavailable", "no recognizer for en-US"
};

struct Case {
  std::string file;  // under the copy's root: "models/en-us/en-us/mdef", "dictionaries/en-us.dict"
  Damage damage;
  Outcome outcome;
};

std::string damageName(Damage d) {
  switch (d) {
    case Damage::Empty:
      return "Empty";
    case Damage::Truncated:
      return "Truncated";
    case Damage::Random:
      return "Random";
    case Damage::Flipped:
      return "Flipped";
    case Damage::Missing:
      return "Missing";
    case Damage::RandomBody:
      return "RandomBody";
  }
  return "";
}

// The installed model under root/models and the build's derived dictionaries under
// root/dictionaries, all linked, except one file damaged in a copy of its own. A derived
// dictionary is only used while its model's files have the size and time it was cut from; links
// keep them.
class ModelCopy {
 public:
  explicit ModelCopy(const Case& c) {
    link(fs::path(voxlet::linux_backend::LinuxPlatform::defaultModelRoot()) / "en-us",
         models() + "/en-us");
    link(VOXLET_BUILT_DICTIONARIES, dictionaries());
    damage(fs::path(dir_.path()) / c.file, c.damage);
  }
  std::string models() const { return dir_.path() + "/models"; }
  std::string dictionaries() const { return dir_.path() + "/dictionaries"; }

 private:
  static void link(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
      const fs::path target = to / fs::relative(entry.path(), from);
      if (entry.is_directory()) {
        fs::create_directories(target);
      } else {
        fs::create_symlink(entry.path(), target);
      }
    }
  }

  static void damage(const fs::path& file, Damage d) {
    ASSERT_TRUE(fs::is_symlink(file)) << file;
    const fs::path original = fs::read_symlink(file);
    fs::remove(file);
    if (d == Damage::Missing) return;
    std::ifstream in(original, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> byte(0, 255);
    switch (d) {
      case Damage::Empty:
        bytes.clear();
        break;
      case Damage::Truncated:
        bytes.resize(bytes.size() / 2);
        break;
      case Damage::Random:
        for (char& b : bytes) b = static_cast<char>(byte(random));
        break;
      case Damage::Flipped: {
        std::uniform_int_distribution<size_t> at(0, bytes.size() - 1);
        for (int i = 0; i < 64; ++i) bytes[at(random)] ^= '\xff';
        break;
      }
      case Damage::RandomBody:
        for (size_t i = bytes.find('\n') + 1; i > 0 && i < bytes.size(); ++i) {
          bytes[i] = static_cast<char>(byte(random));
        }
        break;
      case Damage::Missing:
        break;
    }
    std::ofstream(file, std::ios::binary) << bytes;
  }

  TempDir dir_;
};

// One run of the test build of voxlet on the model copy; its whole output once it has ended.
struct Ended {
  testing_support::ExitResult exit;
  std::string out;
  std::string err;
};

Ended runOn(const ModelCopy& copy, std::map<std::string, std::string> env,
            const std::string& stdinText = "") {
  env["VOXLET_TEST_MODEL_ROOT"] = copy.models();
  env["VOXLET_TEST_DICTIONARY_FOLDER"] = copy.dictionaries();
  env["LANG"] = "en_US.UTF-8";
  std::vector<std::string> unset = PulseDaemon::hostVariables();
  unset.insert(unset.end(), {"LC_ALL", "LC_MESSAGES", "LANGUAGE"});
  testing_support::Subprocess voxlet({VOXLET_OVERRIDE_BINARY, "--locale", "en-US"}, env, unset);
  // Standard input stays open unless told: its end would stop the run before it gets anywhere.
  std::string out;
  if (!stdinText.empty()) {
    auto first = voxlet.readLine(60s);
    if (first) out = *first + "\n";
    voxlet.write(stdinText);
  }
  out += voxlet.readAll(120s);
  Ended run{voxlet.wait(10s), out, ""};
  run.err = voxlet.readStderr(5s);
  return run;
}

json unavailable(const std::string& msg) {
  return json({{"t", "error"}, {"code", "unavailable"}, {"msg", msg}});
}

class DamagedModel : public ::testing::TestWithParam<Case> {};

TEST_P(DamagedModel, EndsWithOneUnavailableLine) {
  const Case& c = GetParam();
  ModelCopy copy(c);
  TempDir runtime;
  // No sound server: a model that loads ends at the capture's error.
  const Ended run = runOn(copy, {{"PULSE_SERVER", "unix:" + runtime.path() + "/no-such-socket"},
                                 {"PULSE_RUNTIME_PATH", runtime.path()},
                                 {"XDG_RUNTIME_DIR", runtime.path()},
                                 {"HOME", runtime.path()}});
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(run.exit.exited) << "signal " << run.exit.signal;
  EXPECT_EQ(run.exit.status, 1);
  ASSERT_TRUE(run.out.ends_with('\n')) << run.out;
  ASSERT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line: " << run.out;
  const std::string msg = c.outcome == Outcome::Refused ? "recognizer not available"
                          : c.outcome == Outcome::Loads ? "Connection refused"
                                                        : "no recognizer for en-US";
  EXPECT_EQ(json::parse(run.out, nullptr, false), unavailable(msg));
}

// With a sound server that capture would start on, a model that crashes the libraries or cannot
// spell a word still ends before "ready"; the same copy with nothing damaged gets there.
TEST(DamagedModelBeforeCapture, NeverReady) {
  PulseDaemon daemon;
  ASSERT_TRUE(daemon.ready()) << daemon.problem();
  for (const Case& c : {Case{"models/en-us/en-us/mdef", Damage::Truncated, Outcome::Refused},
                        Case{"dictionaries/en-us.dict", Damage::RandomBody, Outcome::Refused}}) {
    ModelCopy copy(c);
    const Ended run = runOn(copy, daemon.clientEnv());
    EXPECT_EQ(run.exit.status, 1) << c.file;
    EXPECT_EQ(json::parse(run.out, nullptr, false), unavailable("recognizer not available"))
        << c.file << ": " << run.out;
  }
  ModelCopy intact(Case{"models/en-us/en-us/README", Damage::Missing, Outcome::Loads});
  const Ended run = runOn(intact, daemon.clientEnv(), "stop\n");
  EXPECT_EQ(run.exit.status, 0);
  EXPECT_TRUE(run.out.starts_with(json({{"t", "ready"}}).dump() + "\n")) << run.out;
}

// Every file the decoder reads, each damaged every way, and what voxlet must make of it. Some
// damage leaves a file the libraries read as a valid one: the first half of feat.params, 64
// flipped bytes among the weights of sendump or the scores of the language model, a noise
// dictionary of any content (the decoder adds the sentence marks itself). A dictionary cut at build
// time from the model's is read in its place while the model's files are those it was cut from;
// when it is damaged where that is written, or gone, the model's own is read instead.
std::vector<Case> table() {
  using enum Damage;
  using enum Outcome;
  struct Row {
    std::string file;
    std::vector<std::pair<Damage, Outcome>> damages;
  };
  const std::string am = "models/en-us/en-us/";
  const std::vector<Row> rows{
      {am + "README", {{Missing, Loads}}},
      {am + "mdef",
       {{Empty, Refused},
        {Truncated, Refused},
        {Random, Refused},
        {Flipped, Refused},
        {Missing, NotFound}}},
      {am + "means",
       {{Empty, Refused},
        {Truncated, Refused},
        {Random, Refused},
        {Flipped, Refused},
        {Missing, Refused}}},
      {am + "variances",
       {{Empty, Refused},
        {Truncated, Refused},
        {Random, Refused},
        {Flipped, Refused},
        {Missing, Refused}}},
      {am + "transition_matrices",
       {{Empty, Refused},
        {Truncated, Refused},
        {Random, Refused},
        {Flipped, Refused},
        {Missing, Refused}}},
      {am + "feat.params",
       {{Empty, Refused},
        {Truncated, Loads},
        {Random, Refused},
        {Flipped, Refused},
        {Missing, Refused}}},
      {am + "sendump",
       {{Empty, Refused},
        {Truncated, Refused},
        {Random, Refused},
        {Flipped, Loads},
        {Missing, Refused}}},
      {am + "noisedict",
       {{Empty, Loads}, {Truncated, Loads}, {Random, Loads}, {Flipped, Loads}, {Missing, Loads}}},
      {"models/en-us/en-us.lm.bin",
       {{Empty, Refused},
        {Truncated, Refused},
        {Random, Refused},
        {Flipped, Loads},
        {Missing, NotFound}}},
      // The model's dictionary, read instead of the cut one once it is not the one cut from.
      {"models/en-us/cmudict-en-us.dict",
       {{Empty, Refused},
        {Truncated, Loads},
        {Random, Refused},
        {Flipped, Loads},
        {Missing, NotFound}}},
      {"dictionaries/en-us.dict",
       {{Empty, Loads},
        {Truncated, Loads},
        {Random, Loads},
        {Flipped, Loads},
        {Missing, Loads},
        {RandomBody, Refused}}},
  };
  std::vector<Case> cases;
  for (const Row& row : rows) {
    for (const auto& [damage, outcome] : row.damages) cases.push_back({row.file, damage, outcome});
  }
  return cases;
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.file + "_" + damageName(info.param.damage);
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(EveryFileEveryWay, DamagedModel, ::testing::ValuesIn(table()), caseName);

}  // namespace
}  // namespace voxlet_test
