#include "locale_model.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

namespace voxlet::linux_backend {

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool allOf(const std::string& s, int (*pred)(int)) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [pred](char c) {
    return pred(static_cast<unsigned char>(c)) != 0;
  });
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool canRead(const std::string& path) {
  return ::access(path.c_str(), R_OK) == 0;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Entry names of a folder, sorted; empty when it cannot be read.
std::vector<std::string> listFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return names;
  while (const dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::optional<SpeechModel> modelInFolder(const std::string& root, const std::string& name) {
  const std::string dir = root + "/" + name;
  if (!isDirectory(dir)) return std::nullopt;
  SpeechModel m;
  m.name = name;
  const auto names = listFolder(dir);
  if (isFile(dir + "/" + name + "/mdef")) {
    m.acoustic = dir + "/" + name;
  } else {
    for (const auto& n : names) {
      if (isFile(dir + "/" + n + "/mdef")) {
        m.acoustic = dir + "/" + n;
        break;
      }
    }
  }
  for (const char* ext : {".lm.bin", ".lm.DMP", ".lm"}) {
    if (isFile(dir + "/" + name + ext)) {
      m.languageModel = dir + "/" + name + ext;
      break;
    }
  }
  if (m.languageModel.empty()) {
    for (const auto& n : names) {
      if ((endsWith(n, ".lm.bin") || endsWith(n, ".lm.DMP") || endsWith(n, ".lm")) &&
          n.find("phone") == std::string::npos && isFile(dir + "/" + n)) {
        m.languageModel = dir + "/" + n;
        break;
      }
    }
  }
  for (const auto& n : names) {
    if (endsWith(n, ".dict") && isFile(dir + "/" + n)) {
      m.dictionary = dir + "/" + n;
      break;
    }
  }
  if (m.acoustic.empty() || m.languageModel.empty() || m.dictionary.empty()) return std::nullopt;
  return m;
}

std::string localeFromEnvironment(const std::function<const char*(const char*)>& getenv) {
  auto get = [&](const char* name) -> const char* {
    return getenv ? getenv(name) : std::getenv(name);
  };
  std::string value;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = get(name);
    if (v && *v) {
      value = v;
      break;
    }
  }
  value = value.substr(0, value.find_first_of(".@"));
  if (value.empty() || value == "C" || value == "POSIX") return "en_US_POSIX";
  return value;
}

std::optional<LocaleParts> parseLocale(const std::string& id) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t sep = id.find_first_of("-_", start);
    parts.push_back(id.substr(start, sep - start));
    if (sep == std::string::npos) break;
    start = sep + 1;
  }
  // The codeset or modifier of a POSIX name does not choose the model.
  parts[0] = parts[0].substr(0, parts[0].find_first_of(".@"));
  if (parts[0].size() < 2 || parts[0].size() > 3 || !allOf(parts[0], ::isalpha)) {
    return std::nullopt;
  }
  LocaleParts out;
  out.language = lower(parts[0]);
  for (size_t i = 1; i < parts.size(); ++i) {
    std::string p = parts[i].substr(0, parts[i].find_first_of(".@"));
    if ((p.size() == 2 && allOf(p, ::isalpha)) || (p.size() == 3 && allOf(p, ::isdigit))) {
      out.region = upper(p);
      break;
    }
    if (p.size() == 4 && allOf(p, ::isalpha)) continue;  // a script such as "Hans"
    break;
  }
  return out;
}

bool SpeechModel::readable() const {
  if (!canRead(languageModel) || !canRead(dictionary)) return false;
  for (const char* file : {"mdef", "means", "variances", "transition_matrices"}) {
    if (!canRead(acoustic + "/" + file)) return false;
  }
  return true;
}

std::optional<SpeechModel> findModelForLanguage(const std::string& modelRoot,
                                                const std::string& language) {
  for (const auto& name : listFolder(modelRoot)) {
    const auto parts = parseLocale(name);
    if (parts && parts->language == language) {
      if (auto m = modelInFolder(modelRoot, name)) return m;
    }
  }
  return std::nullopt;
}

std::optional<SpeechModel> findModel(const std::string& modelRoot, const std::string& localeId) {
  const auto wanted = parseLocale(localeId);
  if (!wanted) return std::nullopt;
  if (!wanted->region.empty()) {
    for (const auto& name : listFolder(modelRoot)) {
      const auto parts = parseLocale(name);
      if (parts && parts->language == wanted->language && parts->region == wanted->region) {
        if (auto m = modelInFolder(modelRoot, name)) return m;
      }
    }
  }
  // A model of the language serves every region that has none of its own.
  return findModelForLanguage(modelRoot, wanted->language);
}

}  // namespace voxlet::linux_backend
