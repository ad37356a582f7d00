// The property list linked into voxlet (section "__info_plist"), read back from the executable,
// and the declaration of its audio-input capability.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pulse_daemon.h"
#include "subprocess.h"

namespace voxlet_test {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The section's bytes, or nothing when the executable has no such section.
std::optional<std::string> dumpSection(const std::string& binary, const std::string& section) {
  TempDir dir;
  const std::string out = dir.path() + "/section";
  auto r = testing_support::run(
      {"/usr/bin/objcopy", "--dump-section", section + "=" + out, binary, dir.path() + "/copy"},
      "");
  // objcopy only warns about a missing section; the file then does not exist.
  if (!r.exit.exited || r.exit.status != 0 || !std::filesystem::exists(out)) return std::nullopt;
  return readFile(out);
}

// The key/value pairs of a flat property-list dictionary, in order. Values are strings or the
// words "true"/"false".
std::vector<std::pair<std::string, std::string>> entries(const std::string& plist) {
  std::vector<std::pair<std::string, std::string>> out;
  auto between = [&](size_t from, const std::string& open, const std::string& close,
                     size_t* next) -> std::optional<std::string> {
    if (plist.compare(from, open.size(), open) != 0) return std::nullopt;
    const size_t end = plist.find(close, from + open.size());
    if (end == std::string::npos) return std::nullopt;
    *next = end + close.size();
    return plist.substr(from + open.size(), end - from - open.size());
  };
  size_t pos = 0;
  while ((pos = plist.find("<key>", pos)) != std::string::npos) {
    size_t next = pos;
    auto key = between(pos, "<key>", "</key>", &next);
    if (!key) break;
    pos = plist.find_first_not_of(" \t\r\n", next);
    if (pos == std::string::npos) break;
    if (auto value = between(pos, "<string>", "</string>", &next)) {
      out.emplace_back(*key, *value);
      pos = next;
    } else if (plist.compare(pos, 7, "<true/>") == 0 || plist.compare(pos, 8, "<false/>") == 0) {
      out.emplace_back(*key, plist[pos + 1] == 't' ? "true" : "false");
    } else {
      out.emplace_back(*key, "?");
    }
  }
  return out;
}

void expectPlistFrame(const std::string& plist) {
  EXPECT_EQ(plist.rfind(R"(<?xml version="1.0" encoding="UTF-8"?>)", 0), 0u);
  EXPECT_NE(plist.find(R"(<plist version="1.0">)"), std::string::npos);
  EXPECT_EQ(std::count(plist.begin(), plist.end(), '\0'), 0);
}

TEST(Identity, ExecutableCarriesItsPropertyListKeyByKey) {
  auto plist = dumpSection(VOXLET_BINARY, "__info_plist");
  ASSERT_TRUE(plist) << "no __info_plist section in voxlet";
  expectPlistFrame(*plist);
  const std::vector<std::pair<std::string, std::string>> expected{
      {"CFBundleIdentifier", "com.moravel.voxlet"},
      {"CFBundleName", "Moravel"},
      {"NSMicrophoneUsageDescription", "채팅에 음성으로 입력하기 위해 필요해요."},
      {"NSSpeechRecognitionUsageDescription",
       "말한 내용을 채팅 입력칸에 글자로 옮기기 위해 필요해요."}};
  EXPECT_EQ(entries(*plist), expected);
  // Exactly the file beside the sources.
  EXPECT_EQ(*plist, readFile(VOXLET_INFO_PLIST));
}

TEST(Identity, EntitlementsDeclareAudioInputOnly) {
  const std::string plist = readFile(VOXLET_ENTITLEMENTS);
  expectPlistFrame(plist);
  const std::vector<std::pair<std::string, std::string>> expected{
      {"com.apple.security.device.audio-input", "true"}};
  EXPECT_EQ(entries(plist), expected);
}

TEST(Identity, VidletCarriesNoPropertyList) {
  EXPECT_FALSE(dumpSection(VIDLET_BINARY, "__info_plist"));
}

}  // namespace
}  // namespace voxlet_test
