// Firewall clean-up over the file-backed firewall: the store, the allowed
// programs and the removal of the setup's own exception.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <stdexcept>

#include "bootstrapper/NetFw.h"
#include "bootstrapper/SetupCore.h"
#include "platform/Firewall.h"
#include "platform/TestHooks.h"
#include "support/LibraryLogCapture.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

using test::MessageOf;

class FirewallTest : public test::TempFolderTest {
 protected:
  void SetUp() override { ::setenv("VT_FIREWALL_DIR", (folder_.path() / "fw").c_str(), 1); }
  void TearDown() override {
    FreeFirewall();
    ::unsetenv("VT_FIREWALL_DIR");
  }
  // Installs the firewall with these store lines after the header.
  void Store(const std::string& lines) {
    std::filesystem::create_directory(folder_.path() / "fw");
    test::WriteFileText(folder_.path() / "fw" / "firewall.txt", "VTFW 1\n" + lines);
  }
  static std::string App(const std::string& name, const std::string& image, int scope = 0, int ip = 2) {
    return "app\t" + name + "\t" + image + "\t*\t1\t" + std::to_string(scope) + "\t" + std::to_string(ip) + "\n";
  }
  // "name image" of each allowed program, in store order.
  static std::vector<std::string> Entries() {
    std::vector<os::FwAuthorizedApplication> apps;
    EXPECT_EQ(os::FwGetAuthorizedApplications(&apps), os::kSOk);
    std::vector<std::string> entries;
    for (const auto& a : apps) entries.push_back(a.Name + " " + a.ProcessImageFileName);
    return entries;
  }
  static std::vector<std::string> Images() {
    std::vector<os::FwAuthorizedApplication> apps;
    EXPECT_EQ(os::FwGetAuthorizedApplications(&apps), os::kSOk);
    std::vector<std::string> images;
    for (const auto& a : apps) images.push_back(a.ProcessImageFileName);
    return images;
  }
};

TEST_F(FirewallTest, WithoutAFirewallNothingHappens) {
  EXPECT_EQ(os::FwCreateManager(), os::kRegdbEClassNotReg);
  // The manager's class does not exist: created as nothing, without a raise.
  os::CoInitialize(nullptr);
  TGUID manager_class;
  std::memcpy(&manager_class, &os::CLSID_NetFwMgr, sizeof manager_class);
  EXPECT_FALSE(CreateComObjectNoRaise(manager_class));
  os::CoUninitialize();
  EXPECT_NO_THROW(TSetupCore());
  TFirewall* fw = GetFirewall();
  EXPECT_FALSE(fw->Installed);
  for (const auto& action : {+[] { GetFirewall()->RemoveAuthorizedApplication("C:\\a.exe"); },
                             +[] { GetFirewall()->GetAuthorizedApplications(); },
                             +[] { GetFirewall()->RemoveApplicationsByName("x"); }})
    EXPECT_EQ(MessageOf(action), "Cannot complete operation: Firewall is not installed");
  // One instance per process.
  EXPECT_EQ(MessageOf([] { TFirewall second(true); }), "Cannot create firewall object. Instance already exists.");
  EXPECT_EQ(GetFirewall(), fw);
}

TEST_F(FirewallTest, SetupExceptionsAreRemovedWhateverTheirCase) {
  Store("enabled=0\n" + App("Vontaro Setup App", "C:\\t1\\Setup.exe") + App("Other App", "C:\\other.exe") +
        App("Vontaro Setup App", "C:\\t2\\Setup.exe", 3, 3) + App("vONTARO setup APP", "C:\\t3\\Setup.exe") +
        App("Vontaro Setup App2", "C:\\t4\\Setup.exe"));
  TFirewall* fw = GetFirewall();
  EXPECT_TRUE(fw->Installed);
  EXPECT_FALSE(fw->Enabled);
  const TAuhtorizedAppList apps = fw->GetAuthorizedApplications();
  ASSERT_EQ(apps.size(), 5u);
  EXPECT_EQ(apps[2]->Name, "Vontaro Setup App");
  EXPECT_EQ(apps[2]->RemoteAddresses, "*");
  EXPECT_EQ(apps[2]->Scope, 3);
  EXPECT_EQ(apps[2]->IpVersion, 3);
  EXPECT_TRUE(apps[2]->Enabled);

  EXPECT_TRUE(fw->Manager && fw->Profile);
  EXPECT_TRUE(fw->ComInitialized);

  // The setup engine's end removes them.
  { const TSetupCore core; }
  EXPECT_EQ(Images(), (std::vector<std::string>{"C:\\other.exe", "C:\\t4\\Setup.exe"}));
  // Nothing left to remove: no error.
  EXPECT_NO_THROW(TSetupCore());
  // Freeing the firewall lets go of every object and of the thread's start-up.
  FreeFirewall();
  EXPECT_EQ(os::LiveComObjects(), 0);
  EXPECT_EQ(os::CoInitializeCount(), 0);
}

// Out-of-range values, a program that is not listed, a damaged store.
TEST_F(FirewallTest, OutOfRangeValuesAndStoreFailuresRaise) {
  const auto list = +[] { GetFirewall()->GetAuthorizedApplications(); };
  const std::string unspecified = "Unspecified error #" + std::to_string(os::kEFail);
  const struct {
    std::string store;
    void (*action)();
    std::string error;
  } cases[] = {
      {App("a", "a.exe", 4, 0), list, "Unknown Scope type"},
      {App("a", "a.exe", 0, 4), list, "Unknown Firewall IP Versio"},
      {App("a", "a.exe", -1, 0), list, "Unknown Scope type"},
      {App("a", "a.exe"), +[] { GetFirewall()->RemoveAuthorizedApplication("b.exe"); },
       "The system cannot find the file specified #" + std::to_string(static_cast<os::HRESULT>(0x80070002))},
      {"app\ta\tb\n", list, unspecified},
      {"app\ta\tb\t*\tx\t0\t0\n", list, unspecified},
      {"app\ta\tb\t*\t1\t99999999999\t0\n", list, unspecified},
  };
  for (const auto& c : cases) {
    Store(c.store);
    EXPECT_EQ(c.error.find(" #") == std::string::npos ? MessageOf(c.action)
                                                       : test::CodedMessageOf<EOleSysError>(c.action),
              c.error)
        << c.store;
  }
  // Unknown codes.
  EXPECT_EQ(MessageOf([] { OleError(static_cast<os::HRESULT>(0x8000FFFF)); }), "OLE error 8000FFFF");
  EXPECT_NO_THROW(OleCheck(1));
}

TEST_F(FirewallTest, StoreRemovalByImageKeepsTheRest) {
  // An installed firewall without a store file allows nothing.
  std::filesystem::create_directory(folder_.path() / "fw");
  bool enabled = false;
  EXPECT_EQ(os::FwGetFirewallEnabled(&enabled), os::kSOk);
  EXPECT_TRUE(enabled);
  EXPECT_TRUE(Images().empty());

  Store(App("A", "C:\\Prog\\A.exe") + App("B", "C:\\b.exe") + "\n");
  // A file name is bytes: another case is another program.
  EXPECT_EQ(os::FwRemoveAuthorizedApplication("c:\\prog\\a.EXE"),
            os::HResultFromWin32(os::kErrorFileNotFound));
  EXPECT_EQ(os::FwRemoveAuthorizedApplication("C:\\Prog\\A.exe"), os::kSOk);
  EXPECT_EQ(Images(), (std::vector<std::string>{"C:\\b.exe"}));
  EXPECT_EQ(os::FwGetFirewallEnabled(&enabled), os::kSOk);
  EXPECT_TRUE(enabled);
  test::WriteFileText(folder_.path() / "fw" / "firewall.txt", "something else\n");
  EXPECT_EQ(os::FwGetFirewallEnabled(&enabled), os::kEFail);
  // A store that is not a regular file is refused, not waited on.
  std::filesystem::remove(folder_.path() / "fw" / "firewall.txt");
  ASSERT_EQ(::mkfifo((folder_.path() / "fw" / "firewall.txt").c_str(), 0600), 0);
  EXPECT_EQ(os::FwGetFirewallEnabled(&enabled), os::kEFail);
  EXPECT_EQ(os::FwRemoveAuthorizedApplication("c:\\b.exe"), os::kEFail);
}

// The setup's entries are found by name and removed by their exact image
// file name: not another program's that differs in case or that a lossy
// conversion makes equal; any bytes a path holds.
TEST_F(FirewallTest, SetupEntriesAreRemovedByTheirExactImage) {
  const std::string utf8 = "/opt/caf\xC3\xA9/setup";
  Store(App("Other Product", "/opt/App") + App("Vontaro Setup App", "/OPT/app") + App("Other Product", utf8) +
        App("Vontaro Setup App", "/opt/caf\xE9/setup") + App("Vontaro Setup App", "/opt/\xED\xB2\x80\xFF/s"));
  { const TSetupCore core; }
  EXPECT_EQ(Images(), (std::vector<std::string>{"/opt/App", utf8}));
}

// One image may be the program of several products' entries: only the
// entries named as the setup's go, and only with their own image.
TEST_F(FirewallTest, AnotherProductsEntryWithTheSameImageStays) {
  Store(App("Other2", "/opt/dup") + App("Vontaro Setup App", "/opt/dup") + App("Vontaro Setup App", "/opt/own") +
        App("Other3", "/opt/own"));
  { const TSetupCore core; }
  EXPECT_EQ(Entries(), (std::vector<std::string>{"Other2 /opt/dup", "Other3 /opt/own"}));
  // Name and image must both match; what is gone already is no failure.
  const auto entry = [](const char* name, const char* image) {
    os::FwAuthorizedApplication app;
    app.Name = name;
    app.ProcessImageFileName = image;
    return app;
  };
  EXPECT_EQ(os::FwRemoveAuthorizedApplications({entry("Other2", "/opt/own"), entry("Other3", "/opt/dup")}), os::kSOk);
  EXPECT_EQ(Entries().size(), 2u);
  for (int twice = 0; twice < 2; ++twice)
    EXPECT_EQ(os::FwRemoveAuthorizedApplications({entry("Other2", "/opt/dup")}), os::kSOk);
  EXPECT_EQ(Entries(), std::vector<std::string>{"Other3 /opt/own"});
}

// Counts the store's rewrites: each replaces firewall.txt by a rename.
std::atomic<int> g_store_rewrites{0};
int CountingRename(const char* from, const char* to) {
  if (std::string_view(to).ends_with("/firewall.txt")) ++g_store_rewrites;
  return ::rename(from, to);
}

// Many of the setup's entries among many others go in one rewrite of the
// store, and a second clean-up finds nothing and leaves the store alone.
TEST_F(FirewallTest, ManySetupEntriesGoInOneRewrite) {
  std::string lines, kept_last;
  int kept = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string image = "/opt/p" + std::to_string(i);
    if (i % 10 == 3) {
      lines += App(i % 20 == 3 ? "Vontaro Setup App" : "VONTARO SETUP APP", image);
    } else {
      lines += App("Other", image);
      kept_last = "Other " + image;
      ++kept;
    }
  }
  Store(lines);
  auto& calls = os::PlatformTestHelper::SystemCalls();
  calls.rename = CountingRename;
  for (const int expected : {1, 0}) {
    g_store_rewrites = 0;
    { const TSetupCore core; }
    EXPECT_EQ(g_store_rewrites, expected);
    const std::vector<std::string> left = Entries();
    EXPECT_EQ(left.size(), static_cast<std::size_t>(kept));
    EXPECT_EQ(left.back(), kept_last);
  }
  os::PlatformTestHelper::ResetSystemCalls();
}

// The engine's end raises nothing, even while another exception unwinds:
// a failing firewall leaves a warning in the log.
TEST_F(FirewallTest, CleanUpFailureIsLoggedNotRaised) {
  for (const std::string& damaged : {std::string("app\ta\n"), std::string(16 << 20, '\n')}) {
    Store(damaged);
    test::LogCapture log;
    try {
      const TSetupCore core;
      throw std::runtime_error("first");
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "first");
    }
    EXPECT_EQ(log.All().rfind("Setup could not remove its firewall exception \"Vontaro Setup App\": ", 0), 0u)
        << log.All();
  }
}

}  // namespace
}  // namespace vt
