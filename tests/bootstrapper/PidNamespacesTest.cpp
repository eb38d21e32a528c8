// Programs of one user in different PID namespaces (containers sharing
// /dev/shm): each starts, and those that see one /proc share the session.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt {
namespace {

const char kOwnProc[] = "unshare --pid --fork --mount-proc ";
const char kSharedProc[] = "unshare --pid --fork ";

// A library program started in a namespace of its own; it holds its named
// objects until the object goes.
class Holder {
 public:
  Holder(const std::string& unshare, int marker, const std::string& out) : out_(out) {
    pipe_ = ::popen((unshare + test::Q(test::ProgramBeside("vt_proc_child")) + " session " +
                     std::to_string(marker) + " > " + test::Q(out) + " 2>&1")
                        .c_str(),
                    "w");
  }
  ~Holder() {
    if (pipe_) ::pclose(pipe_);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  // Its output once it has started (or ended).
  std::string WaitStarted() const {
    if (pipe_) test::WaitPatiently([&] {
      const std::string text = test::ReadFileText(out_);
      return text.find("started") != std::string::npos || text.find("failed") != std::string::npos;
    });
    return test::ReadFileText(out_);
  }

 private:
  std::string out_;
  FILE* pipe_ = nullptr;
};

bool CanUnshare() { return test::Shell(std::string(kOwnProc) + "true") == 0; }

class PidNamespaces : public test::TempFolderTest {
 protected:
  void SetUp() override {
    if (!CanUnshare()) GTEST_SKIP() << "PID namespaces are not available (unshare --pid --fork --mount-proc failed)";
  }
  // Runs the child in a namespace to its end; its output.
  std::string RunChild(const std::string& unshare, int marker) {
    const std::string out = P("run" + std::to_string(marker));
    test::Shell("(" + unshare + test::Q(test::ProgramBeside("vt_proc_child")) + " session " + std::to_string(marker) +
                " < /dev/null > " + test::Q(out) + " 2>&1)");
    return test::ReadFileText(out);
  }
};

TEST_F(PidNamespaces, LibraryStartsBesideProgramsOfOtherNamespaces) {
  // Each with a /proc of its own: objects of their own, both start.
  Holder first(kOwnProc, 7, P("first"));
  ASSERT_EQ(first.WaitStarted(), "seen=0\nstarted\n");
  EXPECT_EQ(RunChild(kOwnProc, 9), "seen=0\nstarted\n");

  // Namespaces that share one /proc share the session data.
  const int marker = 100 + static_cast<int>(::getpid() % 100);
  Holder shared(kSharedProc, marker, P("shared"));
  ASSERT_NE(shared.WaitStarted().find("started"), std::string::npos);
  EXPECT_EQ(RunChild(kSharedProc, 11), "seen=" + std::to_string(marker) + "\nstarted\n");
}

// The setup program runs to its end while a program of its user holds the
// session in another namespace.
TEST_F(PidNamespaces, SetupRunsBesideAProgramOfAnotherNamespace) {
  Holder holder(kOwnProc, 7, P("holder"));
  ASSERT_EQ(holder.WaitStarted(), "seen=0\nstarted\n");
  const std::string out = P("setup.out");
  const int code = test::Shell("(TMPDIR=" + test::Q(dir_) + " " + kOwnProc +
                               test::Q(test::ProgramBeside("vt_setup_console")) + " > " + test::Q(out) + " 2>&1)");
  const std::string text = test::ReadFileText(out);
  EXPECT_EQ(code, 0) << text;
  EXPECT_EQ(text.find("session data"), std::string::npos) << text;
  EXPECT_NE(text.find("exit_code=0"), std::string::npos) << text;
}

}  // namespace
}  // namespace vt
