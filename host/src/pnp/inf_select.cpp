// Choosing a device's driver from INF files, as the PnP manager and SetupAPI do when a device
// arrives: every models entry of every INF whose ID list names one of the device's hardware IDs
// or compatible IDs is a candidate; the lowest rank wins — a hardware ID before any compatible ID,
// and an earlier ID of the device's own lists before a later one (the documented ranking of
// unsigned drivers keeps this order). The winner's install section (.NTx86, .NT or undecorated,
// as Windows 2000 and XP pick it) names the function driver in its .Services section
// (AddService with SPSVCINST_ASSOCSERVICE). The INF files are read when they are added, so a test
// runs against the INFs the tree holds at that moment.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "host/pnp.h"
#include "internal/kernel.h"
#include "internal/io.h"

namespace {

struct Inf {
  std::string path;
  std::map<std::string, std::vector<std::pair<std::string, std::vector<std::string>>>> sections;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> Fields(const std::string& value) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      out.push_back(Trim(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(Trim(cur));
  return out;
}

bool Parse(const std::string& path, Inf* inf) {
  std::ifstream in(path);
  if (!in) return false;
  inf->path = path;
  std::string line, section;
  while (std::getline(in, line)) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) {
        line.resize(i);
        break;
      }
    }
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      inf->sections[section];
      continue;
    }
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? "" : Lower(Trim(line.substr(0, eq)));
    inf->sections[section].emplace_back(key, Fields(eq == std::string::npos ? line
                                                                            : line.substr(eq + 1)));
  }
  return true;
}

std::vector<Inf>& Infs() {
  static auto* infs = new std::vector<Inf>;
  return *infs;
}

std::string ServiceOf(const Inf& inf, const std::string& install) {
  const std::string base = Lower(install);
  for (const std::string& name : {base + ".ntx86", base + ".nt", base}) {
    if (inf.sections.count(name) == 0) continue;
    auto services = inf.sections.find(name + ".services");
    if (services == inf.sections.end()) return "";
    for (const auto& [key, fields] : services->second) {
      if (key == "addservice" && fields.size() >= 2 &&
          (std::strtoul(fields[1].c_str(), nullptr, 0) & 0x2) != 0) {
        return Lower(fields[0]);
      }
    }
    return "";
  }
  return "";
}

}  // namespace

namespace host::pnp {

bool AddInfFile(const std::string& path) {
  Inf inf;
  if (!Parse(path, &inf)) return false;
  std::lock_guard<host::internal::NoSwitchMutex> lock(host::internal::IopLock());
  for (Inf& known : Infs()) {
    if (known.path == path) {
      known = std::move(inf);  // read again: the file as it is now
      return true;
    }
  }
  Infs().push_back(std::move(inf));
  return true;
}

void ClearInfFiles() {
  std::lock_guard<host::internal::NoSwitchMutex> lock(host::internal::IopLock());
  Infs().clear();
}

std::string SelectService(const std::vector<std::string>& hardwareIds,
                          const std::vector<std::string>& compatibleIds) {
  std::vector<std::string> ids;
  for (const auto& id : hardwareIds) ids.push_back(Lower(id));
  for (const auto& id : compatibleIds) ids.push_back(Lower(id));
  std::lock_guard<host::internal::NoSwitchMutex> lock(host::internal::IopLock());
  size_t best = ids.size();
  std::string service;
  for (const Inf& inf : Infs()) {
    auto manufacturer = inf.sections.find("manufacturer");
    if (manufacturer == inf.sections.end()) continue;
    for (const auto& [key, mfg] : manufacturer->second) {
      if (mfg.empty()) continue;
      // Undecorated models (Windows 2000 reads no decorations), or the x86 decorated ones.
      for (const std::string& models : {Lower(mfg[0]), Lower(mfg[0]) + ".ntx86"}) {
        auto entries = inf.sections.find(models);
        if (entries == inf.sections.end()) continue;
        for (const auto& [desc, fields] : entries->second) {
          for (size_t f = 1; f < fields.size(); ++f) {
            auto at = std::find(ids.begin(), ids.end(), Lower(fields[f]));
            size_t rank = static_cast<size_t>(at - ids.begin());
            if (at != ids.end() && rank < best) {
              best = rank;
              service = ServiceOf(inf, fields[0]);
            }
          }
        }
      }
    }
  }
  return service;
}

}  // namespace host::pnp
