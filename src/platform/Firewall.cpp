#include "platform/Firewall.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>
#include <utility>

#include "platform/FileStore.h"
#include "platform/LastError.h"
#include "platform/Registry.h"

namespace vt::os {

namespace {

constexpr std::size_t kMaxStoreSize = 16 * 1024 * 1024;

// Without the folder no firewall is installed; a folder another user owns
// or can change is refused.
HRESULT CheckFolder() {
  const DWORD e = OpenStoreFolder(FirewallDirectory(), StoreOwner::kUser, false);
  if (e == kErrorPathNotFound) return kRegdbEClassNotReg;
  return e ? HResultFromWin32(e) : kSOk;
}

struct Store {
  bool enabled = true;
  std::vector<FwAuthorizedApplication> apps;
};

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return parts;
    start = tab + 1;
  }
}

bool ParseInt(const std::string& s, std::int32_t& value) {
  if (s.empty() || s.size() > 11) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

std::string StorePath() { return FirewallDirectory() + "/firewall.txt"; }

// Reads the store; a missing file is an empty, enabled firewall.
HRESULT ReadStore(Store& store) {
  if (const HRESULT hr = CheckFolder(); hr != kSOk) return hr;
  std::string text;
  if (const DWORD e = ReadStoreFile(StorePath(), kMaxStoreSize, &text))
    return e == kErrorFileNotFound ? kSOk : kEFail;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || (line != "VTFW 1" && line != "VTFW 1\r")) return kEFail;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line == "enabled=1" || line == "enabled=0") {
      store.enabled = line.back() == '1';
      continue;
    }
    const std::vector<std::string> f = SplitTabs(line);
    FwAuthorizedApplication app;
    std::int32_t enabled = 0;
    if (f.size() != 7 || f[0] != "app" || !ParseInt(f[4], enabled) || !ParseInt(f[5], app.Scope) ||
        !ParseInt(f[6], app.IpVersion))
      return kEFail;
    app.Name = f[1];
    app.ProcessImageFileName = f[2];
    app.RemoteAddresses = f[3];
    app.Enabled = enabled != 0;
    store.apps.push_back(std::move(app));
  }
  return kSOk;
}

HRESULT WriteStore(const Store& store) {
  std::ostringstream out;
  out << "VTFW 1\nenabled=" << (store.enabled ? 1 : 0) << "\n";
  for (const auto& a : store.apps)
    out << "app\t" << a.Name << '\t' << a.ProcessImageFileName << '\t' << a.RemoteAddresses << '\t'
        << (a.Enabled ? 1 : 0) << '\t' << a.Scope << '\t' << a.IpVersion << "\n";
  return HResultFromWin32(ReplaceStoreFile(StorePath(), out.str()));
}

}  // namespace

std::string FirewallDirectory() { return ConfigDirectory("VT_FIREWALL_DIR", "firewall"); }

HRESULT FwCreateManager() { return CheckFolder(); }

HRESULT FwGetFirewallEnabled(bool* enabled) {
  Store store;
  const HRESULT hr = ReadStore(store);
  if (hr == kSOk) *enabled = store.enabled;
  return hr;
}

HRESULT FwGetAuthorizedApplications(std::vector<FwAuthorizedApplication>* applications) {
  Store store;
  const HRESULT hr = ReadStore(store);
  if (hr == kSOk) *applications = std::move(store.apps);
  return hr;
}

HRESULT FwRemoveAuthorizedApplication(const std::string& process_image_file_name) {
  if (const HRESULT hr = CheckFolder(); hr != kSOk) return hr;
  StoreLock lock(FirewallDirectory() + "/firewall.lock");
  if (lock.error()) return HResultFromWin32(lock.error());
  Store store;
  if (const HRESULT hr = ReadStore(store); hr != kSOk) return hr;
  for (auto it = store.apps.begin(); it != store.apps.end(); ++it)
    if (it->ProcessImageFileName == process_image_file_name) {
      store.apps.erase(it);
      return WriteStore(store);
    }
  return HResultFromWin32(kErrorFileNotFound);
}

HRESULT FwRemoveAuthorizedApplications(const std::vector<FwAuthorizedApplication>& entries) {
  if (const HRESULT hr = CheckFolder(); hr != kSOk) return hr;
  StoreLock lock(FirewallDirectory() + "/firewall.lock");
  if (lock.error()) return HResultFromWin32(lock.error());
  Store store;
  if (const HRESULT hr = ReadStore(store); hr != kSOk) return hr;
  std::set<std::pair<std::string, std::string>> doomed;
  for (const auto& e : entries) doomed.emplace(e.ProcessImageFileName, e.Name);
  const std::size_t before = store.apps.size();
  std::erase_if(store.apps, [&](const FwAuthorizedApplication& app) {
    return doomed.count({app.ProcessImageFileName, app.Name}) != 0;
  });
  return store.apps.size() == before ? kSOk : WriteStore(store);
}

}  // namespace vt::os
