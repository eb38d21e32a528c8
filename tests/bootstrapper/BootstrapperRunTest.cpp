// The bootstrapper programs run end to end as separate processes, each in a
// private temporary folder, with the sample inner setup reporting what it
// received.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "bootstrapper/SetupCore.h"
#include "common/Packets.h"
#include "common/ProductInformation.h"
#include "common/StreamUtils.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "support/Patience.h"
#include "support/TestFiles.h"
#include "support/Sanitized.h"

extern char** environ;


namespace {

namespace fs = std::filesystem;
using vt::test::ProgramFolder;
using vt::test::Q;
using vt::test::Shell;
using vt::test::ReadFileText;
using vt::test::WriteFileText;
using vt::os::DWORD;
using Names = std::set<std::string>;

const Names kCompressedFiles{"Setup.exe", "Setup.lzma", "Setup.pak", "info.dat", "lzma.exe"};
const fs::path kNone = "-";  // a resource left out of a package

std::string Metadata(std::uint32_t size, char flag) {
  std::string m;
  for (int b = 0; b < 4; ++b) m += static_cast<char>((size >> (8 * b)) & 0xFF);
  return m + flag;
}

// Text without the carriage returns a terminal adds to line ends.
std::string NoCr(std::string s) {
  std::erase(s, '\r');
  return s;
}

struct RunResult {
  DWORD exit_code = 0;
  DWORD pid = 0;
  std::string out;     // standard output
  std::string err;     // standard error, a terminal (message boxes and the progress window show there)
  std::string report;  // the inner setup's report, when it ran
  // One report line's value ("command_line", "subsystem", ...).
  std::string Value(const std::string& key) const {
    const std::string k = "\n" + key + "=", r = "\n" + report;
    const size_t p = r.find(k);
    if (p == std::string::npos) return "<none>";
    const size_t start = p + k.size();
    return r.substr(start, r.find('\n', start) - start);
  }
  Names Files() const {
    Names files;
    for (size_t p = report.find("file="); p != std::string::npos; p = report.find("\nfile=", p + 1)) {
      const size_t start = report[p] == '\n' ? p + 6 : p + 5;
      files.insert(report.substr(start, report.find_first_of(" \n", start) - start));
    }
    return files;
  }
};

class BootstrapperRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp_);
    // A shell's background job starts with SIGINT and SIGQUIT ignored, and
    // one under nohup with SIGHUP, which the programs started here would
    // keep: the tests send them.
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) ::signal(signal, SIG_DFL);
  }

  // Makes a bootstrapper from the unpackaged program. Empty metadata leaves
  // resource 1001 out, kNone the payload or tool; an empty tool path puts in
  // the LZMA tool.
  fs::path Package(const std::string& name, const char* subsystem, const fs::path& payload,
                   const std::string& metadata, const fs::path& tool = {},
                   const std::string& unpackaged = "vt_install") {
    const fs::path out = dir_ / name;
    std::string cmd = Q(ProgramFolder() / "vtpack") + " " + Q(ProgramFolder() / unpackaged) + " -o " + Q(out) +
                      " --subsystem " + subsystem;
    if (payload != kNone) cmd += " --add RCDATA 1000 " + Q(payload);
    if (tool != kNone) cmd += " --add RCDATA 1002 " + Q(tool.empty() ? ProgramFolder() / "vt_lzma" : tool);
    if (!metadata.empty()) {
      WriteFileText(dir_ / (name + ".meta"), metadata);
      cmd += " --add RCDATA 1001 " + Q(dir_ / (name + ".meta"));
    }
    EXPECT_EQ(Shell(cmd), 0) << cmd;
    return out;
  }

  // A setup package of the sample inner setup (or of another program).
  fs::path MakePak(const std::string& name, const std::string& options = "",
                   const fs::path& exe = ProgramFolder() / "vt_sample_setup.exe") {
    const fs::path pak = dir_ / name;
    EXPECT_EQ(Shell(Q(ProgramFolder() / "vt_make_setup_pak") + " " + Q(exe) + " " + Q(pak) + " " + options), 0);
    return pak;
  }

  fs::path Compress(const fs::path& pak) {
    const fs::path out = pak.string() + ".lzma";
    EXPECT_EQ(Shell(Q(ProgramFolder() / "vt_lzma") + " e " + Q(pak) + " " + Q(out)), 0);
    return out;
  }

  // Starts the program through the platform's process start (so the raw
  // command line reaches it as given), in a process group of its own, calls
  // while_running_ with its process id and the inner setup's report path,
  // and waits. Standard error is a terminal unless stderr_terminal_ is
  // false; standard output a file unless out_fd is given.
  RunResult Start(const std::string& application, const std::string& command_line,
                  const std::map<std::string, std::string>& env = {}, int out_fd = -1) {
    const fs::path report = dir_ / ("report_" + std::to_string(++runs_));
    std::string block;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.rfind("TMPDIR=", 0) != 0 && entry.rfind("VT_SAMPLE_SETUP_", 0) != 0) block += entry + '\0';
    }
    if (!env.count("TMPDIR")) block += "TMPDIR=" + tmp_.string() + '\0';
    block += "VT_SAMPLE_SETUP_REPORT=" + report.string() + '\0';
    for (const auto& [k, v] : env) block += k + "=" + v + '\0';
    block += '\0';

    const fs::path out_file = report.string() + ".out", err_file = report.string() + ".err";
    const int out = out_fd >= 0 ? out_fd : ::open(out_file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master, 0);
    EXPECT_EQ(::grantpt(master), 0);
    EXPECT_EQ(::unlockpt(master), 0);
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(slave, 0);
    const int err = err_fd_ >= 0       ? err_fd_
                    : stderr_terminal_ ? slave
                                       : ::open(err_file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);

    RunResult run;
    std::thread reader([&] {
      char buf[4096];
      for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0) run.err.append(buf, static_cast<size_t>(n));
    });
    vt::os::StartupInfo si;
    si.flags = vt::os::kStartfUseStdHandles;
    si.std_output = out;
    si.std_error = err;
    vt::os::ProcessInformation pi;
    const bool started = vt::os::CreateProcess(application, command_line, false, vt::os::kCreateNewProcessGroup,
                                               block.data(), cwd_, si, &pi);
    ::close(slave);
    if (err != slave && err != err_fd_) ::close(err);
    if (out_fd < 0) ::close(out);
    if (started) {
      if (while_running_) while_running_(pi.process_id, report);
      EXPECT_EQ(vt::os::WaitForProcess(pi.process, vt::os::kInfinite), vt::os::kWaitObject0);
      EXPECT_TRUE(vt::os::GetExitCodeProcess(pi.process, &run.exit_code));
      run.pid = pi.process_id;
      vt::os::CloseHandle(pi.process);
      vt::os::CloseHandle(pi.thread);
    }
    reader.join();
    ::close(master);
    EXPECT_TRUE(started) << command_line;
    run.out = ReadFileText(out_file);
    run.report = ReadFileText(report);
    if (!stderr_terminal_ && err_fd_ < 0) run.err = ReadFileText(err_file);
    return run;
  }

  RunResult StartProgram(const fs::path& program, const std::string& args = "",
                         const std::map<std::string, std::string>& env = {}, int out_fd = -1) {
    return Start({}, "\"" + program.string() + "\"" + args, env, out_fd);
  }

  // A copy of a program in a folder of its own (its log goes there, to Logs).
  fs::path CopyProgram(const fs::path& program, const std::string& folder, const std::string& name) {
    fs::create_directories(dir_ / folder);
    fs::copy_file(program, dir_ / folder / name);
    return dir_ / folder / name;
  }

  // Plants something at the folder names for the next 300 process ids.
  // Plants at the names of the next 300 process ids; whether pid was one of
  // them (on a busy machine other processes may take them all first).
  std::function<bool(int pid)> PlantAtNextPids(const std::function<void(int pid, const fs::path& name)>& plant) {
    const int last = std::atoi(ReadFileText("/proc/sys/kernel/ns_last_pid").c_str());
    for (int pid = last + 1; pid <= last + 300; ++pid) plant(pid, tmp_ / ("Vontaro_Setup_" + std::to_string(pid)));
    return [last](int pid) { return pid > last && pid <= last + 300; };
  }

  std::string SetupFolder(const RunResult& run) const {
    return tmp_.string() + "/Vontaro_Setup_" + std::to_string(run.pid);
  }
  bool TmpIsEmpty() const { return fs::is_empty(tmp_); }

  vt::test::TempFolder folder_{"vt_boot"};
  const fs::path dir_ = folder_.path();
  const fs::path tmp_ = dir_ / "tmp";
  const std::uint32_t exe_size_ =
      static_cast<std::uint32_t>(fs::file_size(ProgramFolder() / "vt_sample_setup.exe"));
  std::atomic<int> runs_{0};
  bool stderr_terminal_ = true;
  int err_fd_ = -1;  // standard error, when given (the caller closes it)
  std::string cwd_;  // the runs' current folder, when given
  std::function<void(DWORD pid, const fs::path& report)> while_running_;
};

// ---- runs that reach the inner setup ----------------------------------------

TEST_F(BootstrapperRun, WindowedCompressedPassesItsArgumentsAndTheInnerExitCode) {
  const fs::path program = ProgramFolder() / "vt_setup_windowed";
  const RunResult run = StartProgram(program, "  /install  /vs_integrated", {{"VT_SAMPLE_SETUP_EXIT_CODE", "42"}});
  EXPECT_EQ(run.exit_code, 42u);
  const std::string folder = SetupFolder(run);
  EXPECT_EQ(run.Value("command_line"), "\"" + folder + "/Setup.exe\" /installer_filename=\"" + program.string() +
                                           "\" /install  /vs_integrated /vs_setup /COMPONENTS=Agent,Coordinator "
                                           "/ProductCaption=Vontaro");
  EXPECT_EQ(run.Value("folder"), folder);
  EXPECT_EQ(run.Files(), kCompressedFiles);
  EXPECT_NE(run.report.find("file=Setup.exe " + std::to_string(exe_size_)), std::string::npos);
  EXPECT_EQ(run.Value("subsystem"), "2");  // a windowed build without the switch leaves it alone
  EXPECT_EQ(run.Value("cwd"), fs::current_path().string());
  EXPECT_TRUE(TmpIsEmpty());
  // The progress window showed, full (three ticks unpacking, one after the
  // split), and no message box.
  EXPECT_NE(run.err.find("Please Wait...  Extracting setup files...  ["), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("] 4/4"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Setup]"), std::string::npos) << run.err;
  // The inner setup's own output is all there is on standard output.
  EXPECT_EQ(run.out, run.report);

  // The program carries the manifest: administrator rights, common controls 6.
  vt::os::HMODULE module = vt::os::LoadResourceModule(program.string());
  ASSERT_NE(module, nullptr);
  vt::os::HRSRC manifest = vt::os::FindResource(module, 1, vt::os::kRtManifest);
  ASSERT_NE(manifest, nullptr);
  const std::string xml(static_cast<const char*>(vt::os::LockResource(vt::os::LoadResource(module, manifest))),
                        vt::os::SizeofResource(module, manifest));
  EXPECT_NE(xml.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(xml.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  vt::os::FreeResourceModule(module);
}

TEST_F(BootstrapperRun, ConsoleRunsAndSilentSwitchShowDotsOrNothingAndSwitchSetupToConsole) {
  // Plain: two ticks, then the line is erased. Without "info.dat": no
  // caption; blanks alone count as no arguments; compressed: four dots. An
  // "info.dat" in another case is found. The silent switch shows nothing;
  // only the whole word counts (its spellings are tested on their own).
  vt::TProductInformationPacket info;
  info.ProductCaption = "Kestrel";
  vt::TVirtualStream bytes(0);
  vt::SavePacket(info, bytes);
  WriteFileText(dir_ / "info", std::string(static_cast<const char*>(bytes.Memory()), bytes.Size()));
  const fs::path upper = MakePak("upper.pak", "--no-info --file INFO.Dat " + Q(dir_ / "info"));
  const fs::path windowed = ProgramFolder() / "vt_setup_windowed";
  const Names plain{"Setup.exe", "Setup.pak", "info.dat"};
  const struct {
    fs::path program;
    std::string args, dots, tail;
    Names files;
    std::string subsystem = "3";
  } cases[] = {
      {ProgramFolder() / "vt_setup_console_plain", "", "Please wait.....\r" + std::string(78, ' ') + "\r",
       "  /ProductCaption=Vontaro /no_params", plain},
      {Package("bare", "console", Compress(MakePak("noinfo.pak", "--no-info")), Metadata(exe_size_, 2)), "   ",
       "Please wait.......", "  /no_params", {"Setup.exe", "Setup.lzma", "Setup.pak", "lzma.exe"}},
      {Package("upper", "console", upper, Metadata(exe_size_, 0)), "", "Please wait.....",
       "  /ProductCaption=Kestrel /no_params", plain},
      {windowed, " -SILENT_INSTALLER", "", " -SILENT_INSTALLER /ProductCaption=Vontaro", kCompressedFiles},
      {windowed, " /silent_installer2 /install", "", " /silent_installer2 /install /ProductCaption=Vontaro",
       kCompressedFiles, "2"},
  };
  for (const auto& c : cases) {
    const RunResult run = StartProgram(c.program, c.args);
    EXPECT_EQ(run.exit_code, 0u) << c.program;
    EXPECT_EQ(run.out.substr(0, c.dots.size()), c.dots) << c.program;
    EXPECT_EQ(run.Value("command_line"), "\"" + SetupFolder(run) + "/Setup.exe\" /installer_filename=\"" +
                                             c.program.string() + "\"" + c.tail);
    EXPECT_EQ(run.Files(), c.files) << c.program;
    EXPECT_EQ(run.Value("subsystem"), c.subsystem) << c.args;
    EXPECT_EQ(run.err.empty(), c.subsystem == "3") << c.args;  // no window at all
    EXPECT_TRUE(TmpIsEmpty());
  }
}

// Two runs at once, with names for the next process ids planted: links to a
// victim folder, and folders holding a link to a victim file. Each run makes
// its own folder fresh (a link at its name stays, and the run takes the next
// name), follows nothing, and passes its own exit code (Linux keeps 8 bits of
// it: 3010 arrives as 194).
TEST_F(BootstrapperRun, RunsAtOnceMakeTheirFoldersFreshWithoutFollowingWhatWasPlanted) {
  const fs::path victim = dir_ / "victim";
  fs::create_directories(victim);
  WriteFileText(victim / "keep.txt", "keep");
  const auto planted_at = PlantAtNextPids([&](int pid, const fs::path& name) {
    if (pid % 2) return fs::create_directory_symlink(victim, name);
    fs::create_directories(name);
    fs::create_symlink(victim / "keep.txt", name / "Setup.exe");
    fs::create_directory_symlink(victim, name / "info.dat");
  });
  const fs::path program = ProgramFolder() / "vt_setup_windowed";
  RunResult a, b;
  std::thread other([&] { b = StartProgram(program, "", {{"VT_SAMPLE_SETUP_EXIT_CODE", "3010"}}); });
  a = StartProgram(program, "", {{"VT_SAMPLE_SETUP_EXIT_CODE", "7"}});
  other.join();
  EXPECT_EQ(a.exit_code, 7u) << a.err;
  EXPECT_EQ(b.exit_code, 3010u % 256) << b.err;
  for (const RunResult* run : {&a, &b}) {
    EXPECT_EQ(run->Files(), kCompressedFiles);
    const std::string planted = SetupFolder(*run);
    const bool link = run->pid % 2 != 0 && planted_at(static_cast<int>(run->pid));
    EXPECT_EQ(run->Value("folder"), planted + (link ? "_1" : ""));
    EXPECT_FALSE(fs::exists(fs::symlink_status(run->Value("folder"))));
    EXPECT_TRUE(link ? fs::read_symlink(planted) == victim : !fs::exists(fs::symlink_status(planted)));
  }
  EXPECT_EQ(ReadFileText(victim / "keep.txt"), "keep");
  EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1);
}

// ---- failures: exit code 6 and the message ----------------------------------

// Damaged or incomplete packages, failing tools, bad command lines, standard
// output that cannot be written, a damaged "info.dat": each ends with 6, the
// inner setup never runs and the folder goes. Without a terminal the
// message goes to standard error, and to the program's log.
TEST_F(BootstrapperRun, FaultsEndWithSixAndTheMessage) {
  const fs::path pak = MakePak("Setup.pak");
  const auto pak_size = static_cast<std::uint32_t>(fs::file_size(pak));
  const fs::path console = ProgramFolder() / "vt_setup_console";
  const fs::path windowed = CopyProgram(ProgramFolder() / "vt_setup_windowed", "bin", "windowed");
  const fs::path logged_console = CopyProgram(console, "bin", "console");
  WriteFileText(dir_ / "bin" / "info.dat", "damaged");
  const std::string bad_info = "Failed to load packet TProductInformationPacket from file " +
                               (dir_ / "bin" / "info.dat").string() + "\r\nStream read error";
  WriteFileText(dir_ / "text.exe", std::string(5000, 'x'));  // a Setup.exe that is no PE image
  const fs::path text_pak = MakePak("text.pak", "", dir_ / "text.exe");
  std::string cut = ReadFileText(Compress(pak)), damaged = ReadFileText(pak), bomb = cut;
  cut.resize(cut.size() / 2);
  WriteFileText(dir_ / "cut.lzma", cut);
  damaged[0] = 7;  // the packet header's version
  WriteFileText(dir_ / "damaged.pak", damaged);
  bomb.replace(5, 8, std::string("\0\0\0\0\0\0\0\x40", 8));  // announces 2^62 bytes: refused before decoding
  WriteFileText(dir_ / "bomb.lzma", bomb);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  ::close(pipe_fds[0]);  // a pipe without reader
  const std::string wait3 = "Please wait...\nFatal Error: ", wait4 = "Please wait....\nFatal Error: ",
                    meta_error = "Failed to load setup metadata resource.",
                    bad_size = wait4 + "Invalid setup metadata: Setup.exe size ";
  const fs::path nometa = Package("nometa", "windows", pak, "");
  const fs::path textw = Package("textw", "windows", text_pak, Metadata(5000, 0));
  WriteFileText(dir_ / "pe.exe", "MZ" + std::string(4998, '\0'));  // a PE image without a program for this system
  const fs::path pew = Package("pew", "windows", MakePak("pe.pak", "", dir_ / "pe.exe"), Metadata(5000, 0));
  const auto Con = [&](const std::string& name, const fs::path& payload, const std::string& meta,
                       const fs::path& tool = {}) { return Package(name, "console", payload, meta, tool); };

  // "{dir}" in the text stands for the run's folder. The windowed builds
  // show a message box (on standard error), titled "Setup" before the
  // caption is read.
  enum Match { kExact, kPrefix, kContains };
  const struct {
    fs::path program;
    std::string text;
    Match match = kExact;
    bool windowed = false;
    std::string command_line = "", before = "", absent = "";  // before: shown before the text
    int out_fd = -1;
    std::string logged = "";  // standard error a file, and the program's log holds this message
  } cases[] = {
      {Con("short1", pak, std::string("\x01", 1)), wait3 + meta_error + "\n"},
      {Con("short4", pak, std::string("\x00\x00\x01\x00", 4)), wait3 + meta_error + "\n"},
      {Con("size0", pak, Metadata(0, 0)), bad_size, kPrefix},
      {Con("size_max", pak, Metadata(0xFFFFFFFFu, 0)), bad_size, kPrefix},
      {Con("size_neg", pak, Metadata(0x80000000u, 0)), bad_size, kPrefix},
      {Con("size_big", pak, Metadata(pak_size + 1, 0)), bad_size, kPrefix},
      {Con("nopayload", kNone, Metadata(exe_size_, 0)), wait3 + "Failed to extract setup resource 1000.\n"},
      {Con("notool", pak, Metadata(exe_size_, 1), kNone), wait3 + "Failed to extract setup resource 1002.\n"},
      // The whole package as Setup.exe is still a valid split, but no image.
      {Con("whole", pak, Metadata(pak_size, 0)), "Fatal Error: Failed to load image from file: ", kContains},
      {Con("text", text_pak, Metadata(5000, 0)),
       wait4 + "Failed to load image from file: {dir}/Setup.exe\r\nInvalid module DOS header at 0x", kPrefix},
      // The windowed build runs it unchanged and fails to start it, after the
      // caption was read; a plain package ticks twice, the window goes first.
      {textw, "[Vontaro Setup]\nFailed to create process: ", kContains, true, "", "] 2/4", "] 3/4"},
      // A Windows program: the system text's insert names the file.
      {pew, "[Vontaro Setup]\nFailed to create process: {dir}/Setup.exe; \"{dir}/Setup.exe\"", kContains, true,
       "", "", "%1"},
      {pew, ": {dir}/Setup.exe is not a valid Win32 application (193)\n", kContains, true},
      {Con("damaged", dir_ / "damaged.pak", Metadata(exe_size_, 0)),
       "Please wait.....\nFatal Error: Failed to load packet TSetupPacket from file {dir}/Setup.pak\r\n"
       "Cannot load packet. Unknown format version: 7\n"},
      {Con("cut", dir_ / "cut.lzma", Metadata(exe_size_, 1)),
       "Please wait......\nFatal Error: Decompression failed. Tool returned code: 1\n"},
      // Another tool in resource 1002, ending with its own code.
      {Package("tool", "windows", Compress(pak), Metadata(exe_size_, 1), ProgramFolder() / "vt_proc_child"),
       "[Setup]\nDecompression failed. Tool returned code: 100\n", kContains, true},
      {Con("bomb", dir_ / "bomb.lzma", Metadata(exe_size_, 1)),
       "Please wait...\nFatal Error: Not enough free space to extract setup: " +
           std::to_string(vt::SetupSpaceNeeded(fs::file_size(ProgramFolder() / "vt_lzma"),
                                               fs::file_size(dir_ / "bomb.lzma"), std::uint64_t{1} << 62,
                                               {static_cast<std::int32_t>(exe_size_), true})) +
           " bytes needed, ",
       kPrefix},
      // The program part opens a quote that never closes.
      {console, "Fatal Error: Closing quotation mark not found.\n", kContains, false, "\"vt_setup_console /install"},
      {console, "", kContains, false, "", "", "", full},
      {console, "", kContains, false, "", "", "", pipe_fds[1]},
      // A damaged "info.dat" beside the program fails a unit's start-up.
      {.program = windowed, .text = "\n[Setup]\n" + bad_info + "\n", .windowed = true, .logged = bad_info},
      {.program = logged_console, .text = "Fatal Error: " + bad_info + "\n", .logged = bad_info},
      {.program = nometa, .text = "\n[Setup]\n" + meta_error + "\n", .windowed = true, .logged = meta_error},
  };
  for (const auto& c : cases) {
    stderr_terminal_ = c.logged.empty();
    const RunResult run = c.command_line.empty() ? StartProgram(c.program, "", {}, c.out_fd)
                                                 : Start(c.program.string(), c.command_line);
    const std::string shown = c.windowed ? NoCr(run.err) : run.out;
    std::string text = c.windowed ? NoCr(c.text) : c.text;
    for (size_t p = text.find("{dir}"); p != std::string::npos; p = text.find("{dir}"))
      text.replace(p, 5, SetupFolder(run));
    EXPECT_EQ(run.exit_code, 6u) << c.program;
    const size_t at = shown.find(text);
    EXPECT_TRUE(c.match == kExact ? shown == text : c.match == kPrefix ? at == 0 : at != std::string::npos)
        << c.program << "\n" << shown;
    EXPECT_TRUE(c.before.empty() || shown.find(c.before) < at) << shown;
    EXPECT_TRUE(c.absent.empty() || shown.find(c.absent) == std::string::npos) << shown;
    EXPECT_EQ(run.report, "") << c.program;
    EXPECT_TRUE(TmpIsEmpty()) << c.program;
    const fs::path log = c.program.parent_path() / "Logs" / (c.program.filename().string() + ".log");
    EXPECT_TRUE(c.logged.empty() ||
                NoCr(ReadFileText(log)).find("] Fatal Error: " + NoCr(c.logged) + "\n") != std::string::npos)
        << log;
  }
  ::close(full);
  ::close(pipe_fds[1]);
}

// A package larger than the space left: a file-size limit, and a temporary
// folder on a 256 KiB filesystem (a private mount, where this machine allows
// one). Each fails as an ordinary error, and the folder goes.
TEST_F(BootstrapperRun, FullDiskAndFileSizeLimitEndWithSix) {
  WriteFileText(dir_ / "big.bin", std::string(1 << 20, 'b'));
  const fs::path program =
      Package("big", "console", MakePak("big.pak", "--file big.bin " + Q(dir_ / "big.bin")), Metadata(exe_size_, 0));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 256 << 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  RunResult run = StartProgram(program);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(run.exit_code, 6u);
  EXPECT_NE(run.out.find("Fatal Error: Failed to create file mapping for handle "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("The file size exceeds the limit allowed and cannot be saved (223)"), std::string::npos)
      << run.out;
  EXPECT_TRUE(TmpIsEmpty());

  WriteFileText(dir_ / "small.sh",
                "mount -t tmpfs -o size=256k none \"$TMPDIR\" || exit 99\n\"$1\"\ncode=$?\n"
                "ls -A \"$TMPDIR\" >\"$2\"\nexit $code\n");
  run = Start({}, "unshare -m sh " + (dir_ / "small.sh").string() + " " + program.string() + " " +
                      (dir_ / "left").string());
  if (run.exit_code != 6 && run.out.empty()) GTEST_SKIP() << "cannot mount a small filesystem here (needs root)";
  EXPECT_EQ(run.exit_code, 6u);
  EXPECT_NE(run.out.find("Fatal Error: Not enough free space to extract setup: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" bytes needed, 262144 free."), std::string::npos) << run.out;
  EXPECT_EQ(ReadFileText(dir_ / "left"), "");
}

TEST_F(BootstrapperRun, QuotesBackslashesAndBlanksInPathsReachTheChildrenExactly) {
  // The log's path routines read a program path holding a backslash as a
  // Windows path, relative to the current folder: keep that in the test's.
  cwd_ = dir_.string();
  const struct {
    std::string program, tmp;
  } cases[] = {{"boot\" -SILENT_INSTALLER -injected \"x", "t \"q\" b"},
               {"b \\\"a\\\\ c\\", "tmp \"\\"},  // a backslash in the temporary folder is refused
               {"\\\\\\", "\"x y\""}};
  for (const auto& c : cases) {
    const fs::path program = CopyProgram(ProgramFolder() / "vt_setup_windowed", c.program, c.program);
    fs::create_directories(dir_ / c.tmp);
    const RunResult run =
        Start({}, vt::os::JoinCommandLine({program.string()}), {{"TMPDIR", (dir_ / c.tmp).string()}});
    EXPECT_TRUE(fs::is_empty(dir_ / c.tmp));
    if (c.tmp.find('\\') != std::string::npos) {
      EXPECT_EQ(run.exit_code, 6u);
      EXPECT_NE(NoCr(run.err).find("[Setup]\nThe temporary folder '" + (dir_ / c.tmp).string() + "/' holds a "),
                std::string::npos)
          << run.err;
      continue;
    }
    EXPECT_EQ(run.exit_code, 0u) << c.program << "\n" << run.err;
    EXPECT_EQ(run.Value("argc"), "3") << run.report;
    EXPECT_EQ(run.Value("arg0"), (dir_ / c.tmp).string() + "/Vontaro_Setup_" + std::to_string(run.pid) + "/Setup.exe");
    EXPECT_EQ(run.Value("arg1"), "/installer_filename=" + program.string());
    EXPECT_EQ(run.Value("arg2"), "/ProductCaption=Vontaro");
  }
}

TEST_F(BootstrapperRun, SquattedFolderNameTellsWhatToDo) {
  // Another user's folder, not empty, at the run's folder name in a shared
  // sticky folder: the run, as user 65534, cannot remove it. The process
  // waits on a FIFO until the folder is there, then becomes the program, so
  // its id is known however many processes start meanwhile.
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root to play two users";
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(tmp_, fs::perms::all | fs::perms::sticky_bit);
  const fs::path fifo = dir_ / "go";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int gate = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // writing to it never blocks
  ASSERT_GE(gate, 0);
  while_running_ = [&](DWORD pid, const fs::path&) {
    const fs::path name = tmp_ / ("Vontaro_Setup_" + std::to_string(pid));
    fs::create_directory(name);
    WriteFileText(name / "x", "");
    EXPECT_EQ(::write(gate, "\n", 1), 1);
  };
  const RunResult run = Start(
      "/bin/sh", vt::os::JoinCommandLine({"sh", "-c", "read go <\"$0\" && exec \"$@\"", fifo.string(),
                                          "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                          (ProgramFolder() / "vt_setup_console").string()}));
  while_running_ = nullptr;
  ::close(gate);
  EXPECT_EQ(run.exit_code, 6u);
  EXPECT_EQ(NoCr(run.out), "Please wait...\nFatal Error: Cannot create directory '" + SetupFolder(run) +
                               "': Cannot create a file when that file already exists (183)\nSet TMPDIR to a "
                               "folder of your own and run setup again.\n");
}

// Something of the user's at the run's folder name that is no folder (a
// file, a FIFO, a link to a folder of theirs) is not the run's to remove: it
// stays as it was and the run takes the name with a suffix. The process
// waits on a FIFO until the entry is there, then becomes the program.
TEST_F(BootstrapperRun, WhatTheUserKeepsAtTheFolderNameStaysAndTheNameIsPassedOver) {
  const fs::path fifo = dir_ / "go", target = dir_ / "target";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directory(target);
  WriteFileText(target / "keep", "keep");
  const int gate = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // writing to it never blocks
  ASSERT_GE(gate, 0);
  for (const std::string kind : {"file", "fifo", "link"}) {
    SCOPED_TRACE(kind);
    fs::path planted;
    while_running_ = [&](DWORD pid, const fs::path&) {
      planted = tmp_ / ("Vontaro_Setup_" + std::to_string(pid));
      if (kind == "file") WriteFileText(planted, "the user's data");
      if (kind == "fifo") {
        EXPECT_EQ(::mkfifo(planted.c_str(), 0600), 0);
      }
      if (kind == "link") fs::create_directory_symlink(target, planted);
      EXPECT_EQ(::write(gate, "\n", 1), 1);
    };
    const RunResult run =
        Start("/bin/sh", vt::os::JoinCommandLine({"sh", "-c", "read go <\"$0\" && exec \"$@\"", fifo.string(),
                                                  (ProgramFolder() / "vt_setup_console").string()}));
    while_running_ = nullptr;
    EXPECT_EQ(run.exit_code, 0u) << run.out;
    EXPECT_EQ(run.Value("folder"), SetupFolder(run) + "_1");
    const fs::file_status left = fs::symlink_status(planted);
    EXPECT_TRUE(kind == "file" ? fs::is_regular_file(left) : kind == "fifo" ? fs::is_fifo(left) : fs::is_symlink(left));
    EXPECT_TRUE(kind != "file" || ReadFileText(planted) == "the user's data");
    EXPECT_FALSE(fs::exists(SetupFolder(run) + "_1"));
    fs::remove(planted);
    EXPECT_TRUE(TmpIsEmpty());
  }
  ::close(gate);
  EXPECT_EQ(ReadFileText(target / "keep"), "keep");
}

// ---- signals and children -----------------------------------------------

// The process id the sample program reports once it runs, up to the
// patience; 0, with the test failed, when it never does.
int ReportedPid(const fs::path& report) {
  int pid = 0;
  vt::test::WaitPatiently([&] {
    const std::string text = ReadFileText(report);
    const size_t p = text.find("\npid=");
    if (p != std::string::npos && text.find("\nexit_code=") != std::string::npos) pid = std::atoi(&text[p + 5]);
    return pid != 0;
  });
  if (pid <= 1) ADD_FAILURE() << "the sample program did not start";
  return pid > 1 ? pid : 0;
}

// Whether child is a child of the run's process (so a signal to it reaches
// no other process); the test fails when a reported one is not.
bool ChildOfRun(int child, DWORD run) {
  if (child == 0) return false;  // the look-up failed already
  const pid_t parent = vt::test::ParentOf(child);
  if (parent == static_cast<pid_t>(run)) return true;
  ADD_FAILURE() << "process " << child << " is no child of the run's process " << run << " (its parent: " << parent
                << ")";
  return false;
}

// Whether the process or thread at /proc/... has ended (a zombie counts).
bool Ended(const std::string& proc) {
  const std::string stat = ReadFileText(proc + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

// Whether a process ends, up to the patience. One that does not is left
// alone: its id is no longer known to be the one the test saw.
bool ProcessEnds(int pid) {
  return vt::test::WaitPatiently([&] { return Ended("/proc/" + std::to_string(pid)); }, std::chrono::milliseconds(10));
}

// Waits until ready answers true, up to the patience (as long as the gated
// tool waits): what follows a wait must not run before what it waits for.
bool WaitUntil(const std::function<bool()>& ready) {
  return vt::test::WaitPatiently(ready, std::chrono::milliseconds(1));
}

TEST_F(BootstrapperRun, TerminationSignalsStopTheToolOrPassToTheInnerSetup) {
  // The sample program is a slow inner setup, or in resource 1002 a slow
  // LZMA tool: it reports, then waits a minute. Killed outright, the
  // program takes the tool with it.
  const fs::path slow_tool = Package("slowtool", "console", Compress(MakePak("Setup.pak")), Metadata(exe_size_, 1),
                                     ProgramFolder() / "vt_sample_setup.exe");
  constexpr DWORD kBase = vt::os::kExitCodeSignalBase;
  const struct {
    fs::path program;
    int signal;
    bool group;  // to the process group, as a terminal sends it
    DWORD exit_code;
    std::string out_end;
  } cases[] = {
      {slow_tool, SIGTERM, false, 6, "Fatal Error: Setup was interrupted by signal 15.\n"},
      {slow_tool, SIGINT, true, 6, "Fatal Error: Setup was interrupted by signal 2.\n"},
      {slow_tool, SIGUSR1, false, 6, "Fatal Error: Setup was interrupted by signal 10.\n"},
      {ProgramFolder() / "vt_setup_console", SIGINT, true, (kBase + SIGINT) % 256, "exit_code=0\n"},
      {ProgramFolder() / "vt_setup_windowed", SIGHUP, false, (kBase + SIGHUP) % 256, "exit_code=0\n"},
      {ProgramFolder() / "vt_setup_windowed", SIGTERM, false, (kBase + SIGTERM) % 256, ""},
      {slow_tool, SIGKILL, false, kBase + SIGKILL, ""},
  };
  for (const auto& c : cases) {
    int child = 0;
    while_running_ = [&](DWORD pid, const fs::path& report) {
      child = ReportedPid(report);
      if (child == 0) return;
      if (c.group)
        vt::test::SignalGroup(static_cast<pid_t>(pid), c.signal);
      else
        vt::test::Signal(static_cast<pid_t>(pid), c.signal);
    };
    const RunResult run = StartProgram(c.program, "", {{"VT_SAMPLE_SETUP_SLEEP_MS", "60000"}});
    EXPECT_EQ(run.exit_code, c.exit_code) << c.program << " " << c.signal;
    EXPECT_TRUE(run.out.ends_with(c.out_end)) << run.out;
    EXPECT_TRUE(ProcessEnds(child));
    EXPECT_TRUE(c.signal == SIGKILL || TmpIsEmpty());
  }
}

// A tree the inner setup unpacks into its folder (12, 200 or 10,000 levels
// deep, or with paths past PATH_MAX) goes in the run's own clean-up, and a
// later run's sweep removes it from the folder of a run killed meanwhile.
TEST_F(BootstrapperRun, DeepTreesGoInTheCleanUpAndInALaterRunsSweep) {
  const fs::path program = ProgramFolder() / "vt_setup_console";
  for (const std::string tree : {"12:1", "200:1", "40:200", "10000:1"}) {
    while_running_ = [&](DWORD pid, const fs::path& report) {
      const int child = ReportedPid(report);
      if (!ChildOfRun(child, pid)) return;
      vt::test::Signal(static_cast<pid_t>(pid), SIGKILL);
      vt::test::Signal(child, SIGKILL);
      EXPECT_TRUE(ProcessEnds(child));
    };
    const RunResult killed =
        StartProgram(program, "", {{"VT_SAMPLE_SETUP_TREE", tree}, {"VT_SAMPLE_SETUP_SLEEP_MS", "60000"}});
    EXPECT_TRUE(fs::is_directory(SetupFolder(killed) + "/tree")) << tree;
    while_running_ = nullptr;
    const RunResult run = StartProgram(program, "", {{"VT_SAMPLE_SETUP_TREE", tree}});
    EXPECT_EQ(run.exit_code, 0u) << tree;
    EXPECT_EQ(run.err, "") << tree;
    EXPECT_TRUE(TmpIsEmpty()) << tree;
  }
}

// ---- a shared machine -------------------------------------------------------

// A user's inner setup unpacks folders of mode 0555 holding files (two
// levels down, and a chain deeper than the folders the removal holds open):
// they go in the run's own clean-up and in a later run's sweep of the
// folder of a run killed meanwhile.
TEST_F(BootstrapperRun, ReadOnlyFoldersOfTheUserGoInTheCleanUpAndInALaterRunsSweep) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root to play two users";
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
  ASSERT_EQ(::chown(tmp_.c_str(), 65534, 65534), 0);
  const fs::path program = CopyProgram(ProgramFolder() / "vt_setup_console", "bin", "console");
  fs::permissions(dir_ / "bin", fs::perms::owner_all | fs::perms::others_exec);
  const auto as_user = [&](const std::string& tree, const std::string& sleep_ms) {
    // The inner setup writes its report where it may.
    const fs::path report = dir_ / ("report_" + std::to_string(runs_ + 1));
    WriteFileText(report, "");
    EXPECT_EQ(::chown(report.c_str(), 65534, 65534), 0);
    std::string line = vt::os::JoinCommandLine(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "VT_SAMPLE_SETUP_TREE=" + tree,
         "VT_SAMPLE_SETUP_SLEEP_MS=" + sleep_ms, program.string()});
    return Start("/usr/bin/setpriv", line);
  };
  for (const std::string tree : {"2:1:555", "40:1:555"}) {
    while_running_ = [&](DWORD pid, const fs::path& report) {
      const int child = ReportedPid(report);
      if (!ChildOfRun(child, pid)) return;
      vt::test::Signal(static_cast<pid_t>(pid), SIGKILL);
      vt::test::Signal(child, SIGKILL);
      EXPECT_TRUE(ProcessEnds(child));
    };
    const RunResult killed = as_user(tree, "60000");
    EXPECT_EQ(fs::status(SetupFolder(killed) + "/tree/d").permissions(), static_cast<fs::perms>(0555)) << tree;
    while_running_ = nullptr;
    const RunResult run = as_user(tree, "0");
    EXPECT_EQ(run.exit_code, 0u) << tree;
    EXPECT_EQ(run.err, "") << tree;
    EXPECT_EQ(run.Value("exit_code"), "0") << tree;
    EXPECT_TRUE(TmpIsEmpty()) << tree;
  }
}

// Another user renames the setup folder away during the decode and puts a
// folder of their own in its place. A temporary folder where others may
// rename entries (0777, or 0775 with their group) is refused before anything
// is written; in a sticky one (1777) the rename fails and the run works, as
// in a private one. A link to a private folder counts where it lies.
TEST_F(BootstrapperRun, TemporaryFolderWhereOthersCanRenameIsRefused) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root to play two users";
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  ASSERT_EQ(::chown(tmp_.c_str(), 0, 65534), 0);
  fs::create_directories(dir_ / "open");
  fs::permissions(dir_ / "open", fs::perms::all);
  fs::create_directories(dir_ / "private");
  fs::create_directory_symlink(dir_ / "private", dir_ / "open" / "link");
  WriteFileText(dir_ / "swap.sh",
                "while [ ! -e \"$2\" ]; do for d in \"$1\"/Vontaro_Setup_*; do\n"
                "  [ -d \"$d\" ] && mv \"$d\" \"$d.moved\" 2>/dev/null && mkdir \"$d\" && echo x >\"$d/Setup.pak\"\n"
                "done; done\n");
  std::thread swapper([&] {
    Shell("setpriv --reuid=65534 --regid=65534 --clear-groups sh " + Q(dir_ / "swap.sh") + " " + Q(tmp_) + " " +
          Q(dir_ / "stop"));
  });
  const std::string advice = "\nSet TMPDIR to a folder of your own and run setup again.\n";
  const struct {
    fs::perms mode;
    std::string tmpdir, unsafe, why;  // why empty: the run works
  } cases[] = {
      {fs::perms::all, tmp_.string(), tmp_.string(), "is writable by all users and has no sticky bit"},
      {fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read | fs::perms::others_exec,
       tmp_.string(), tmp_.string(), "is writable by its group and has no sticky bit"},
      {fs::perms::owner_all, (dir_ / "open" / "link").string(), (dir_ / "open").string(),
       "is writable by all users and has no sticky bit"},
      {fs::perms::all | fs::perms::sticky_bit, tmp_.string(), "", ""},
      {fs::perms::owner_all, tmp_.string(), "", ""},
  };
  for (const auto& c : cases) {
    fs::permissions(tmp_, c.mode);
    const RunResult run = StartProgram(ProgramFolder() / "vt_setup_console", "", {{"TMPDIR", c.tmpdir}});
    if (c.why.empty()) {
      EXPECT_EQ(run.exit_code, 0u) << run.out;
      EXPECT_EQ(run.Files(), kCompressedFiles);
    } else {
      EXPECT_EQ(run.exit_code, 6u);
      EXPECT_EQ(NoCr(run.out), "Please wait...\nFatal Error: The temporary folder '" + c.tmpdir +
                                   "' is not safe for setup: '" + c.unsafe + "' " + c.why +
                                   ", so other users could replace the setup files." + advice);
      EXPECT_EQ(run.report, "");
    }
    EXPECT_TRUE(TmpIsEmpty()) << c.tmpdir;
    EXPECT_TRUE(fs::is_empty(dir_ / "private"));
  }
  WriteFileText(dir_ / "stop", "");
  swapper.join();
}

// TMPDIR is a link in a shared sticky folder to a folder of root's. Once
// the LZMA tool has started, the link's owner turns it to a folder of their
// own holding their payload and a link back to the real "Setup.pak". A link
// of another user is refused before anything is written, in a 1775 folder
// (the system's protection of links covers only world-writable ones) and in
// a 1777 one where that protection is off; a link of root's cannot be turned
// and the run decodes its own payload, handing on the resolved folder.
TEST_F(BootstrapperRun, TemporaryFolderThroughALinkOfAnotherUserIsRefused) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs root to play two users";
  const fs::path shared = dir_ / "shared", link = shared / "tmp", real = dir_ / "real", evil = dir_ / "evil";
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  for (const fs::path& d : {shared, real, evil}) fs::create_directories(d);
  fs::permissions(real, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::copy_file(Compress(MakePak("evil.pak", "--caption EVIL")), evil / "Setup.lzma");
  ASSERT_EQ(::chown(shared.c_str(), 0, 65534), 0);
  ASSERT_EQ(::chown(evil.c_str(), 65534, 65534), 0);
  const fs::path program = Package("gated", "console", Compress(MakePak("Setup.pak")), Metadata(exe_size_, 1),
                                   ProgramFolder() / "vt_gated_tool");
  WriteFileText(dir_ / "turn.sh",
                "while [ ! -e \"$1.started\" ]; do [ -e \"$5\" ] && exit 0; sleep 0.01; done\n"
                "for d in \"$4\"/Vontaro_Setup_*; do e=\"$3/${d##*/}\"; mkdir \"$e\"\n"
                "  cp \"$3/Setup.lzma\" \"$e/\"; ln -s \"$d/Setup.pak\" \"$e/Setup.pak\"; done\n"
                "ln -sfn \"$3\" \"$2.new\"; mv -T \"$2.new\" \"$2\"; touch \"$1\"\n");
  const bool protected_links = ReadFileText("/proc/sys/fs/protected_symlinks") != "0\n";
  const int cases[][2] = {{01777, 65534}, {01775, 65534}, {01775, 0}};  // the folder's mode, the link's owner
  const fs::path gate = evil / "gate";
  for (const auto& [mode, owner] : cases) {
    if (mode == 01777 && protected_links) {
      std::printf("Skipping the 1777 variant: fs.protected_symlinks is on, the system refuses such links\n");
      continue;
    }
    for (const fs::path& d : {shared, evil})
      for (const auto& e : fs::directory_iterator(d))
        if (e.path().filename().string().rfind("Setup.", 0) != 0) fs::remove_all(e.path());
    fs::permissions(shared, static_cast<fs::perms>(mode));
    fs::create_directory_symlink(real, link);
    ASSERT_EQ(::lchown(link.c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(owner)), 0);
    std::thread attacker([&] {
      Shell("setpriv --reuid=65534 --regid=65534 --clear-groups sh " + Q(dir_ / "turn.sh") + " " + Q(gate) + " " +
            Q(link) + " " + Q(evil) + " " + Q(real) + " " + Q(dir_ / "stop"));
    });
    const RunResult run = StartProgram(program, "", {{"TMPDIR", link.string()}, {"VT_TEST_GATE", gate.string()},
                                                     {"VT_TEST_TOOL", (ProgramFolder() / "vt_lzma").string()}});
    WriteFileText(dir_ / "stop", "");
    attacker.join();
    fs::remove(dir_ / "stop");
    EXPECT_EQ(run.Value("command_line").find("EVIL"), std::string::npos) << run.Value("command_line");
    if (owner != 0) {
      EXPECT_EQ(run.exit_code, 6u);
      EXPECT_NE(run.out.find("not safe for setup: '" + link.string() +
                             "' is a symbolic link of another user (uid 65534)"), std::string::npos) << run.out;
    } else {
      EXPECT_EQ(run.exit_code, 0u) << run.out;
      EXPECT_EQ(run.Value("arg0"), (real / ("Vontaro_Setup_" + std::to_string(run.pid)) / "Setup.exe").string());
      EXPECT_EQ(run.Files(), kCompressedFiles);
    }
    EXPECT_TRUE(fs::is_empty(real));
  }
}

// A ".." after a link of another user in TMPDIR is taken by the system
// from the link's target: refused, and nothing made there. A missing
// temporary folder is made on the walk.
TEST_F(BootstrapperRun, TemporaryFolderIsNotMadeThroughALinkOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user";
  const fs::path shared = dir_ / "shared", real = dir_ / "real";
  for (const fs::path& d : {shared / "work", real / "in"}) fs::create_directories(d);
  fs::create_directory_symlink(real / "in", shared / "link");
  ASSERT_EQ(::lchown((shared / "link").c_str(), 65534, 65534), 0);
  RunResult run =
      StartProgram(ProgramFolder() / "vt_setup_console", "", {{"TMPDIR", (shared / "link/../work").string()}});
  EXPECT_EQ(run.exit_code, 6u);
  EXPECT_NE(run.out.find("not safe for setup: '" + (shared / "link").string() +
                         "' is a symbolic link of another user (uid 65534)"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(real / "work")) << run.out;
  EXPECT_TRUE(fs::is_empty(shared / "work"));

  run = StartProgram(ProgramFolder() / "vt_setup_console", "", {{"TMPDIR", (dir_ / "new/tmp").string()}});
  EXPECT_EQ(run.exit_code, 0u) << run.out;
  EXPECT_TRUE(fs::is_directory(dir_ / "new/tmp"));
}

// Root runs a setup lying in a sticky shared folder, with the log on.
// Another user's "Logs" beside it, a link to a folder of root's or a folder
// of their own, is not written to: the run ends with the inner setup's code
// and shows nothing of it. A Logs folder of root's gets the log.
TEST_F(BootstrapperRun, LogsBesideTheProgramThatAnotherUserPutThereAreNotWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
  const fs::path shared = dir_ / "shared", logs = shared / "Logs", victim = dir_ / "victim", reg = dir_ / "reg";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  const fs::path program = shared / "setup";
  fs::copy_file(ProgramFolder() / "vt_setup_console", program);
  fs::create_directories(victim);
  const std::string kept(6000000, 'v');
  WriteFileText(victim / "setup.log", kept);
  fs::create_directories(reg);
  WriteFileText(reg / "HKEY_LOCAL_MACHINE.reg",
                "VTREG 1\n[SOFTWARE\\Wow6432Node\\Palgrem\\Vontaro\\Log]\n\"Level\"=dword:00000001\n");
  const std::map<std::string, std::string> env{{"VT_MACHINE_REGISTRY_DIR", reg.string()},
                                               {"VT_SAMPLE_SETUP_EXIT_CODE", "42"}};
  for (const char* logs_kind : {"link", "folder", "root's"}) {
    const std::string kind = logs_kind;
    fs::remove_all(logs);
    if (kind == "link") {
      fs::create_directory_symlink(victim, logs);
      ASSERT_EQ(::lchown(logs.c_str(), 65534, 65534), 0);
    } else if (kind == "folder") {
      fs::create_directory(logs);
      ASSERT_EQ(::chown(logs.c_str(), 65534, 65534), 0);
    }
    const RunResult run = StartProgram(program, "", env);
    EXPECT_EQ(run.exit_code, 42u) << kind;
    EXPECT_EQ(run.out, "Please wait..." + std::string(4, '.') + "\r" + std::string(78, ' ') + "\r" + run.report)
        << kind;
    EXPECT_EQ(run.err, "") << kind;
    EXPECT_TRUE(ReadFileText(victim / "setup.log") == kept) << kind;
    EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1) << kind;
    if (kind == "folder") {
      EXPECT_TRUE(fs::is_empty(logs));
    } else if (kind == "root's") {
      EXPECT_NE(ReadFileText(logs / "setup.log").find("-Started-"), std::string::npos);
    }
  }
}

// A relative TMPDIR is taken from the current folder. One so long that the
// paths of the setup folder's files pass the system's limit still works: the
// tool works in the folder on names relative to it.
TEST_F(BootstrapperRun, RelativeAndLongTemporaryFoldersWork) {
  cwd_ = dir_.string();
  fs::create_directory(dir_ / "reltmp");
  for (const std::size_t length : {std::size_t{0}, std::size_t{4066}, std::size_t{4070}}) {
    std::string tmpdir = length ? (dir_ / ("long" + std::to_string(length))).string() : "reltmp";
    while (length && length - tmpdir.size() > 250) tmpdir += "/" + std::string(200, 'd');
    if (length) fs::create_directories(tmpdir += "/" + std::string(length - tmpdir.size() - 1, 'e'));
    const RunResult run = StartProgram(ProgramFolder() / "vt_setup_console", "", {{"TMPDIR", tmpdir}});
    EXPECT_EQ(run.exit_code, 0u) << run.out;
    const std::string folder = (length ? tmpdir : (dir_ / tmpdir).string()) + "/Vontaro_Setup_" +
                               std::to_string(run.pid);
    EXPECT_TRUE(run.Value("arg0") == folder + "/Setup.exe") << length << ": " << run.out;
    if (!length) {
      EXPECT_EQ(run.Files(), kCompressedFiles);
    }
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "reltmp"));
}

// A missing temporary folder is made with mode 0755 whatever the umask, so
// that the run takes it, and the run works in it.
TEST_F(BootstrapperRun, MissingTemporaryFolderIsMadeUnderAnyUmask) {
  const mode_t saved = ::umask(0);
  for (const mode_t mask : {0000, 0002, 0022}) {
    ::umask(mask);
    const fs::path top = dir_ / ("new" + std::to_string(mask)), tmp = top / "tmp";
    const RunResult run = StartProgram(ProgramFolder() / "vt_setup_console", "", {{"TMPDIR", tmp.string()}});
    EXPECT_EQ(run.exit_code, 0u) << mask << "\n" << run.out;
    EXPECT_EQ(run.Files(), kCompressedFiles) << mask;
    for (const fs::path& p : {top, tmp}) EXPECT_EQ(fs::status(p).permissions(), static_cast<fs::perms>(0755)) << p;
    EXPECT_TRUE(fs::is_empty(tmp)) << mask;
  }
  ::umask(saved);
}

// A '..' after a link of root's in TMPDIR goes up from the link's target, as
// the system takes it, also in a relative TMPDIR: the run makes and uses
// that folder, never the one the path names as text.
TEST_F(BootstrapperRun, DotDotAfterALinkInTheTemporaryFolderGoesUpFromTheTarget) {
  const fs::path real = dir_ / "real" / "deep";
  fs::create_directories(real / "dir");
  fs::create_directory_symlink(real / "dir", dir_ / "rootlink");
  cwd_ = dir_.string();
  for (const std::string& tmpdir : {(dir_ / "rootlink/../x2").string(), std::string("rootlink/../x3")}) {
    const std::string made = tmpdir.substr(tmpdir.size() - 2);
    const RunResult run = StartProgram(ProgramFolder() / "vt_setup_console", "", {{"TMPDIR", tmpdir}});
    EXPECT_EQ(run.exit_code, 0u) << run.out;
    EXPECT_EQ(run.Value("arg0"),
              (real / made / ("Vontaro_Setup_" + std::to_string(run.pid)) / "Setup.exe").string());
    EXPECT_EQ(run.Files(), kCompressedFiles) << tmpdir;
    EXPECT_TRUE(fs::is_empty(real / made)) << tmpdir;
    EXPECT_FALSE(fs::exists(dir_ / made)) << tmpdir;
  }
}

// Containers that share a temporary folder run as process 1 and so use the
// same folder name. A run holds its folder for its whole life: a second run
// of that name leaves it alone and takes the name with a suffix. A folder of this user that no
// live run holds (a run killed outright leaves one) is removed by the next
// run; another user's stays.
TEST_F(BootstrapperRun, ARunHoldsItsFolderAndTheNextRunRemovesLeftovers) {
  if (Shell("unshare --pid --fork --mount true") != 0)
    GTEST_SKIP() << "cannot make PID and mount namespaces here (unshare --pid --mount)";
  const fs::path console = ProgramFolder() / "vt_setup_console";
  int child = 0;
  while_running_ = [&](DWORD pid, const fs::path& report) {
    child = ReportedPid(report);
    if (child != 0) vt::test::Signal(static_cast<pid_t>(pid), SIGKILL);
  };
  const RunResult killed = StartProgram(console, "", {{"VT_SAMPLE_SETUP_SLEEP_MS", "60000"}});
  EXPECT_TRUE(ProcessEnds(child));
  const fs::path left = SetupFolder(killed);
  EXPECT_TRUE(fs::exists(left / "Setup.pak"));
  const fs::path others = tmp_ / "Vontaro_Setup_999999";
  fs::create_directory(others);
  WriteFileText(others / "keep", "keep");
  const bool two_users = ::geteuid() == 0 && ::chown(others.c_str(), 65534, 65534) == 0;

  // Each container has its own /dev/shm, as usual.
  const fs::path container = dir_ / "container.sh";
  WriteFileText(container, "mount -t tmpfs none /dev/shm 2>/dev/null\nexec \"$@\"\n");
  const std::string in_container = "unshare --pid --fork --mount sh " + Q(container) + " " + Q(console);
  const fs::path second_out = dir_ / "second.out";
  int second = -1;
  // The first run's inner setup lives until the second run has ended.
  const fs::path go = dir_ / "first.go";
  while_running_ = [&](DWORD, const fs::path& report) {
    ReportedPid(report);
    second = std::system(("TMPDIR=" + Q(tmp_) + " " + in_container + " >" + Q(second_out) + " 2>&1").c_str());
    WriteFileText(go, "");
  };
  const RunResult first = Start({}, "unshare --pid --fork --mount sh \"" + container.string() + "\" \"" +
                                        console.string() + "\"",
                                {{"VT_SAMPLE_SETUP_WAIT_FOR", go.string()}});
  while_running_ = nullptr;
  const std::string folder = tmp_.string() + "/Vontaro_Setup_1";
  EXPECT_EQ(first.exit_code, 0u) << first.out;
  EXPECT_EQ(first.Value("folder"), folder);
  EXPECT_EQ(first.Files(), kCompressedFiles);
  ASSERT_TRUE(WIFEXITED(second));
  EXPECT_EQ(WEXITSTATUS(second), 0);  // in a folder of its own, the name with a suffix
  EXPECT_NE(ReadFileText(second_out).find("\nfolder=" + folder + "_1\n"), std::string::npos)
      << ReadFileText(second_out);
  EXPECT_FALSE(fs::exists(left));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(fs::exists(others / "keep"), two_users);
}

// The system's own tool writes LZMA-alone streams without the decoded size
// (xz --format=lzma): such a package runs; when its stream fills the disk
// while decoding, the run ends as every failed extraction does.
TEST_F(BootstrapperRun, PayloadWithoutItsSizeRunsAndAFullDiskWhileDecodingEndsWithSix) {
  if (Shell("xz --version") != 0) GTEST_SKIP() << "the system's xz is not installed";
  const auto system_lzma = [&](const fs::path& pak) {
    const fs::path out = pak.string() + ".xz.lzma";
    EXPECT_EQ(std::system(("xz --format=lzma -c " + Q(pak) + " >" + Q(out)).c_str()), 0);
    EXPECT_EQ(ReadFileText(out).substr(5, 8), std::string(8, '\xFF'));  // no size in the header
    return out;
  };
  const fs::path program = Package("sys", "console", system_lzma(MakePak("Setup.pak")), Metadata(exe_size_, 1));
  RunResult run = StartProgram(program);
  EXPECT_EQ(run.exit_code, 0u) << run.out;
  EXPECT_EQ(run.Files(), kCompressedFiles);
  EXPECT_TRUE(TmpIsEmpty());

  // 3 MiB of zeros: a small payload that decodes to more than the
  // filesystem holds, though the tool, the payload and Setup.exe fit with
  // 1 MiB to spare.
  WriteFileText(dir_ / "zeros.bin", std::string(3 << 20, '\0'));
  const fs::path payload = system_lzma(MakePak("big.pak", "--file zeros.bin " + Q(dir_ / "zeros.bin")));
  const fs::path big = Package("sysbig", "console", payload, Metadata(exe_size_, 1));
  const std::uintmax_t room =
      (fs::file_size(ProgramFolder() / "vt_lzma") + fs::file_size(payload) + exe_size_ + (1 << 20)) / 1024 + 64;
  WriteFileText(dir_ / "small.sh",
                "mount -t tmpfs -o size=" + std::to_string(room) +
                    "k none \"$TMPDIR\" || exit 99\n\"$1\"\ncode=$?\n"
                    "ls -A \"$TMPDIR\" >\"$2\"\nexit $code\n");
  run = Start({}, "unshare -m sh " + (dir_ / "small.sh").string() + " " + big.string() + " " +
                      (dir_ / "left").string());
  if (run.exit_code == 99) GTEST_SKIP() << "cannot mount a small filesystem here (needs root and unshare -m)";
  EXPECT_EQ(run.exit_code, 6u);
  EXPECT_EQ(NoCr(run.out).find("Please wait......\nFatal Error: The temporary folder '" + tmp_.string() +
                                "/Vontaro_Setup_"),
            0u)
      << run.out;
  EXPECT_NE(run.out.find("' has not enough free space for setup: "), std::string::npos) << run.out;
  EXPECT_EQ(ReadFileText(dir_ / "left"), "");
}

// The signals a process ignores (its SigIgn mask), bit n-1 for signal n.
std::uint64_t IgnoredSignals(int pid) {
  const std::string status = ReadFileText("/proc/" + std::to_string(pid) + "/status");
  const size_t p = status.find("\nSigIgn:\t");
  return p == std::string::npos ? 0 : std::strtoull(status.c_str() + p + 9, nullptr, 16);
}

// Started with SIGHUP and SIGINT ignored (nohup, a background job), the run
// keeps them ignored while it extracts and while the inner setup runs, and
// the tool and the inner setup start with them ignored; SIGTERM still ends
// the extraction.
TEST_F(BootstrapperRun, SignalsIgnoredAtStartStayIgnoredInBothPhases) {
  const fs::path nohup = dir_ / "nohup.sh";
  WriteFileText(nohup, "trap '' HUP INT\nexec \"$@\"\n");
  const fs::path slow_tool = Package("slowtool", "console", Compress(MakePak("Setup.pak")), Metadata(exe_size_, 1),
                                     ProgramFolder() / "vt_sample_setup.exe");
  constexpr std::uint64_t kHupInt = (1u << (SIGHUP - 1)) | (1u << (SIGINT - 1));
  const struct {
    fs::path program;
    const char* sleep_ms;
    DWORD exit_code;
    std::string out_end;
  } cases[] = {
      {slow_tool, "60000", 6, "Fatal Error: Setup was interrupted by signal 15.\n"},
      {ProgramFolder() / "vt_setup_console", "300", 0, "exit_code=0\n"},
  };
  for (const auto& c : cases) {
    int child = 0;
    std::uint64_t own_mask = 0, child_mask = 0;
    bool alive = false;
    while_running_ = [&](DWORD pid, const fs::path& report) {
      child = ReportedPid(report);
      if (child == 0) return;
      own_mask = IgnoredSignals(static_cast<int>(pid));
      child_mask = IgnoredSignals(child);
      vt::test::SignalGroup(static_cast<pid_t>(pid), SIGHUP);  // the whole group, as a hang-up sends it
      vt::test::SignalGroup(static_cast<pid_t>(pid), SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      alive = !Ended("/proc/" + std::to_string(pid));
      if (c.exit_code == 6) vt::test::Signal(static_cast<pid_t>(pid), SIGTERM);
    };
    const RunResult run =
        Start({}, "sh \"" + nohup.string() + "\" \"" + c.program.string() + "\"", {{"VT_SAMPLE_SETUP_SLEEP_MS",
                                                                                    c.sleep_ms}});
    EXPECT_TRUE(alive) << c.program;
    EXPECT_EQ(own_mask & kHupInt, kHupInt) << c.program;
    EXPECT_EQ(child_mask & kHupInt, kHupInt) << c.program;
    EXPECT_EQ(run.exit_code, c.exit_code) << run.out;
    EXPECT_TRUE(run.out.ends_with(c.out_end)) << run.out;
    EXPECT_TRUE(ProcessEnds(child));
    EXPECT_TRUE(TmpIsEmpty());
  }
}

// A processor fault while extracting, decoding or waiting for the inner
// setup ends the run as every failure does: the message, the tool or the
// inner setup killed, the folder removed, exit code 6. The faults come from
// the tests' own seam in a build of the bootstrapper made for them.
TEST_F(BootstrapperRun, ProcessorFaultsInEachPhaseEndWithSixAndRemoveTheFolder) {
  const fs::path pak = MakePak("Setup.pak"), lzma = Compress(pak);
  const auto seam = [&](const std::string& name, const char* subsystem, const fs::path& tool = {}) {
    return Package(name, subsystem, lzma, Metadata(exe_size_, 1), tool, "vt_install_fault_seam");
  };
  const fs::path console = seam("seam", "console"), windowed = seam("seamw", "windows");
  const fs::path slow_tool = seam("seamtool", "console", ProgramFolder() / "vt_sample_setup.exe");
  const struct {
    const char* kind;
    std::string text;  // the fault's name and code
  } kinds[] = {
      {"segv", "Access violation (0xC0000005)"},
      {"bus", " (0xC000000"},
      {"fpe", "Division by zero (0xC0000094)"},
      {"ill", "Illegal instruction (0xC000001D)"},
  };
  const struct {
    const char* phase;
    fs::path program;
    std::string before;  // what the console shows before the message
  } phases[] = {
      {"extracting", console, "Please wait..."},
      {"decoding", slow_tool, "Please wait...."},
      {"running", console, ""},
  };
  for (const auto& phase : phases) {
    for (const auto& kind : kinds) {
      int child = 0;
      const bool has_child = std::string(phase.phase) != "extracting";
      const char* child_sleep = has_child ? "60000" : "0";  // a child that lives until it is killed
      while_running_ = [&](DWORD, const fs::path& report) {
        if (has_child) child = ReportedPid(report);
      };
      const RunResult run = StartProgram(phase.program, "",
                                         {{"VT_TEST_FAULT", std::string(kind.kind) + ":" + phase.phase},
                                          {"VT_SAMPLE_SETUP_SLEEP_MS", child_sleep}});
      const std::string where = std::string(kind.kind) + " " + phase.phase;
      EXPECT_EQ(run.exit_code, 6u) << where;
      const size_t at = run.out.rfind("Fatal Error: ");
      const std::string message = run.out.substr(std::min(at, run.out.size()));
      EXPECT_TRUE(at > 0 && at != std::string::npos && run.out[at - 1] == '\n') << where << "\n" << run.out;
      EXPECT_EQ(run.out.find("Fatal Error: "), at) << where << "\n" << run.out;
      EXPECT_NE(message.find(kind.text), std::string::npos) << where << "\n" << run.out;
      EXPECT_TRUE(message.ends_with(". Setup cannot continue.\n")) << where << "\n" << run.out;
      EXPECT_EQ(run.out.find(phase.before), 0u) << where << "\n" << run.out;
      EXPECT_TRUE(child == 0 || ProcessEnds(child)) << where;
      EXPECT_TRUE(TmpIsEmpty()) << where;
    }
  }
  // The windowed build: the message box's text, titled with the caption.
  while_running_ = [&](DWORD, const fs::path& report) { ReportedPid(report); };
  const RunResult run = StartProgram(windowed, "", {{"VT_TEST_FAULT", "segv:running"},
                                                    {"VT_SAMPLE_SETUP_SLEEP_MS", "60000"}});
  EXPECT_EQ(run.exit_code, 6u);
  EXPECT_NE(NoCr(run.err).find("\n[Vontaro Setup]\nAccess violation (0xC0000005) at address 0x"), std::string::npos)
      << run.err;
  EXPECT_TRUE(TmpIsEmpty());
  // Before the caption is read the title is "Setup" alone.
  while_running_ = nullptr;
  const RunResult early = StartProgram(windowed, "", {{"VT_TEST_FAULT", "segv:extracting"}});
  EXPECT_EQ(early.exit_code, 6u);
  EXPECT_NE(NoCr(early.err).find("\n[Setup]\nAccess violation (0xC0000005) at address 0x"), std::string::npos)
      << early.err;
  EXPECT_TRUE(TmpIsEmpty());
  // Each fault left its record in the log while the log was open (it is
  // closed before the inner setup starts).
  const auto records = [&](const char* log) {
    const std::string text = ReadFileText(dir_ / "Logs" / log);
    int n = 0;
    for (size_t p = text.find("-Exception-"); p != std::string::npos; p = text.find("-Exception-", p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(records("seam.log"), 4);
  EXPECT_EQ(records("seamtool.log"), 4) << ReadFileText(dir_ / "Logs" / "seamtool.log");
  EXPECT_EQ(records("seamw.log"), 1) << ReadFileText(dir_ / "Logs" / "seamw.log");  // the one while extracting
}

// An allocation that fails in any phase, with no address space left for
// more, ends the run with 6 and the system's text for it in the build's
// form, never an exception's class name, and the folder goes; also when
// every later allocation fails (the message, the progress window's end,
// the clean-up and the end then do without).
TEST_F(BootstrapperRun, AllocationFailuresInEachPhaseEndWithSixAndTheSystemText) {
  const fs::path lzma = Compress(MakePak("Setup.pak"));
  const std::string text = "Not enough memory resources are available to process this command (8)\n";
  const struct {
    const char* subsystem;
    const char* kind;
  } cases[] = {{"console", "nomem"}, {"console", "nomem-all"}, {"windows", "nomem"}, {"windows", "nomem-all"}};
  for (const auto& c : cases) {
    const bool console = std::string(c.subsystem) == "console";
    const fs::path program =
        Package(console ? "nomem" : "nomemw", c.subsystem, lzma, Metadata(exe_size_, 1), {}, "vt_install_fault_seam");
    for (const char* phase : {"extracting", "decoding", "running"}) {
      const std::string where = std::string(c.kind) + " " + c.subsystem + " " + phase;
      const RunResult run = StartProgram(program, "", {{"VT_TEST_FAULT", std::string(c.kind) + ":" + phase}});
      EXPECT_EQ(run.exit_code, 6u) << where;
      const std::string shown = NoCr(console ? run.out : run.err);
      EXPECT_TRUE(shown.ends_with(console ? "Fatal Error: " + text : "]\n" + text)) << where << "\n" << shown;
      EXPECT_EQ(shown.find(console ? "Fatal Error: " : "]\n"), shown.size() - text.size() - (console ? 13 : 2))
          << where << "\n" << shown;  // one message
      EXPECT_EQ(run.Value("argc"), "<none>") << where;  // the inner setup never ran
      EXPECT_TRUE(TmpIsEmpty()) << where;
    }
  }
}

// The system call a thread sleeps in (empty while it runs or once it has
// ended), from /proc.
std::string SleepingIn(const std::string& task) {
  if (ReadFileText(task + "/stat").find(") S ") == std::string::npos) return {};
  const std::string call = ReadFileText(task + "/syscall");
  return call.substr(0, call.find(' '));
}

// A fault while the LZMA tool runs, and the tool ending meanwhile (killed
// here while the fault's message waits for room in a full standard output,
// until the main thread has done what it does next): nothing follows the
// message, which starts on a line of its own and is the only one.
TEST_F(BootstrapperRun, FaultMessageStaysLastWhenTheToolEndsMeanwhile) {
  const fs::path program = Package("seamtool", "console", Compress(MakePak("Setup.pak")), Metadata(exe_size_, 1),
                                   ProgramFolder() / "vt_sample_setup.exe", "vt_install_fault_seam");
  const fs::path go = dir_ / "go";
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  std::string shown;
  int child = 0;
  while_running_ = [&](DWORD pid, const fs::path& report) {
    const std::string main_thread = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    child = ReportedPid(report);
    const std::string waiting = SleepingIn(main_thread);  // the wait for the tool
    const int filler = ::open(("/proc/self/fd/" + std::to_string(out[1])).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    ::close(out[1]);
    char buf[4096];
    while (shown.size() < 16) {
      const ssize_t n = ::read(out[0], buf, 16 - shown.size());
      ASSERT_GT(n, 0);
      shown.append(buf, static_cast<size_t>(n));
    }
    std::fill(std::begin(buf), std::end(buf), 'x');
    size_t filled = 0;
    for (size_t chunk : {sizeof buf, size_t{1}})
      for (ssize_t n; (n = ::write(filler, buf, chunk)) > 0;) filled += static_cast<size_t>(n);
    ::close(filler);
    WriteFileText(go, "");
    const fs::path folder = tmp_ / ("Vontaro_Setup_" + std::to_string(pid));
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(folder); })) << "the folder stayed";
    if (ChildOfRun(child, pid)) vt::test::Signal(child, SIGKILL);
    std::string now;
    const bool settled = WaitUntil([&] {
      now = SleepingIn(main_thread);
      return !now.empty() && now != waiting && now != "running";
    });
    EXPECT_TRUE(settled) << "the main thread did not settle: " << now;
    std::string rest;
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) rest.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(rest.substr(0, filled), std::string(filled, 'x'));
    shown += rest.substr(std::min(filled, rest.size()));
  };
  const RunResult run = StartProgram(program, "",
                                     {{"VT_TEST_FAULT", "segv:decoding"},
                                      {"VT_TEST_FAULT_WHEN", go.string()},
                                      {"VT_SAMPLE_SETUP_SLEEP_MS", "60000"}},
                                     out[1]);
  ::close(out[0]);
  EXPECT_EQ(run.exit_code, 6u);
  const std::string message = "\nFatal Error: Access violation (0xC0000005) at address 0x";
  // The main thread's dot may come first, when it began before the fault's
  // message was due.
  EXPECT_TRUE(shown.starts_with("Please wait....." + message) || shown.starts_with("Please wait......" + message))
      << shown;
  EXPECT_TRUE(shown.ends_with(". Setup cannot continue.\n")) << shown;
  EXPECT_EQ(shown.find("Fatal Error"), shown.rfind("Fatal Error")) << shown;
  EXPECT_TRUE(ProcessEnds(child));
  EXPECT_TRUE(TmpIsEmpty());
}

// Whether a thread of the process other than its main thread sleeps in
// the system call numbered call.
bool OtherThreadSleepsIn(DWORD pid, long call) {
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(task, ec))
    if (e.path().filename() != std::to_string(pid) && SleepingIn(e.path().string()) == std::to_string(call))
      return true;
  return false;
}

// A pipe whose write end another program left non-blocking, full up to a
// reader that comes late.
struct LatePipe {
  int fds[2] = {-1, -1};
  std::size_t filled = 0;
  LatePipe() {
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    EXPECT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    const std::string chunk(4096, 'x');
    for (ssize_t n; (n = ::write(fds[1], chunk.data(), chunk.size())) > 0;) filled += static_cast<size_t>(n);
    while (::write(fds[1], "x", 1) == 1) ++filled;
  }
  ~LatePipe() {
    for (const int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  // Reads to the end and answers what came after the filler.
  std::string ReadAll() {
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    return got.substr(std::min(filled, got.size()));
  }
};

// Standard output or standard error a non-blocking pipe, full, whose reader
// comes once the program waits (or has ended): the progress, the message
// and the exit code are those of a blocking pipe.
TEST_F(BootstrapperRun, NonBlockingOutputWaitsForALateReader) {
  const fs::path pak = MakePak("Setup.pak");
  std::string cut = ReadFileText(Compress(pak));
  cut.resize(cut.size() / 2);
  WriteFileText(dir_ / "cut.lzma", cut);
  const struct {
    fs::path program;
    bool to_error;  // the pipe is standard error, else standard output
    DWORD exit_code;
    std::string shown;  // the inner setup's report follows
  } cases[] = {
      {ProgramFolder() / "vt_setup_console", false, 0,
       "Please wait..." + std::string(4, '.') + "\r" + std::string(78, ' ') + "\r"},
      {Package("cut", "console", dir_ / "cut.lzma", Metadata(exe_size_, 1)), false, 6,
       "Please wait......\nFatal Error: Decompression failed. Tool returned code: 1\n"},
      {Package("nometa", "windows", pak, ""), true, 6, "\n[Setup]\nFailed to load setup metadata resource.\n"},
  };
  const std::set<std::string> waits{std::to_string(SYS_poll), std::to_string(SYS_ppoll)};
  for (const auto& c : cases) {
    LatePipe pipe;
    std::string shown;
    while_running_ = [&](DWORD pid, const fs::path&) {
      ::close(pipe.fds[1]);
      pipe.fds[1] = -1;
      const std::string main_thread = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
      EXPECT_TRUE(WaitUntil([&] {
        return Ended(main_thread) || waits.count(SleepingIn(main_thread));
      }));
      shown = pipe.ReadAll();
    };
    err_fd_ = c.to_error ? pipe.fds[1] : -1;
    const RunResult run = StartProgram(c.program, "", {}, c.to_error ? -1 : pipe.fds[1]);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.program;
    EXPECT_EQ(shown, c.shown + run.report) << c.program;
    EXPECT_EQ(c.to_error ? run.out : run.err, "") << c.program;
    EXPECT_TRUE(TmpIsEmpty()) << c.program;
  }
  while_running_ = nullptr;
  err_fd_ = -1;
}

// A processor fault on another thread while the main thread writes its
// fatal message (the payload is damaged) into a full pipe, standard output
// of the console build or standard error of the windowed one: the message
// that came first is the only one, and the run ends with 6 once it is out.
TEST_F(BootstrapperRun, AFaultDuringTheFatalMessageAddsNoSecondOne) {
  std::string cut = ReadFileText(Compress(MakePak("Setup.pak")));
  cut.resize(cut.size() / 2);
  WriteFileText(dir_ / "cut.lzma", cut);
  const fs::path gate = dir_ / "gate", go = dir_ / "go";
  const long page = ::sysconf(_SC_PAGESIZE);
  for (const bool console : {true, false}) {
    const std::string name = console ? "cutseam" : "cutseamw";
    const fs::path program = Package(name, console ? "console" : "windows", dir_ / "cut.lzma",
                                     Metadata(exe_size_, 1), ProgramFolder() / "vt_gated_tool", "vt_install_fault_seam");
    fs::remove(gate.string() + ".started");
    fs::remove(gate);
    fs::remove(go);
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(pipe_fds[1], F_SETPIPE_SZ, static_cast<int>(page)), page);
    // The pipe's one page keeps room for the console's last dot, none for
    // the message.
    const std::string before = console ? "Please wait....." : "";
    const std::string filler(static_cast<size_t>(page) - (console ? 10 : 0), 'x');
    std::string shown;
    while_running_ = [&](DWORD pid, const fs::path&) {
      const std::string main_thread = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
      if (!WaitUntil([&] { return fs::exists(gate.string() + ".started"); })) {
        ADD_FAILURE() << "the tool did not start";
        vt::test::Signal(static_cast<pid_t>(pid), SIGKILL);
        return;
      }
      char buf[65536];
      while (shown.size() < before.size()) {
        const ssize_t n = ::read(pipe_fds[0], buf, before.size() - shown.size());
        ASSERT_GT(n, 0);
        shown.append(buf, static_cast<size_t>(n));
      }
      const int filler_fd =
          ::open(("/proc/self/fd/" + std::to_string(pipe_fds[1])).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      ::close(pipe_fds[1]);
      ASSERT_EQ(::write(filler_fd, filler.data(), filler.size()), static_cast<ssize_t>(filler.size())) << shown;
      ::close(filler_fd);
      WriteFileText(gate, "");
      // The main thread's message waits for room: only now may the fault
      // strike, however long the run took to get here.
      const auto in_write = [&] { return SleepingIn(main_thread) == std::to_string(SYS_write); };
      const auto ended = [&] { return Ended(main_thread); };
      if (!WaitUntil([&] { return in_write() || ended(); }) || !in_write()) {
        ADD_FAILURE() << "the message never waited for room";
        vt::test::Signal(static_cast<pid_t>(pid), SIGKILL);
        return;
      }
      WriteFileText(go, "");
      // The fault's record is in the log once its handler runs; a message
      // of its own would wait for room as the main thread's does.
      EXPECT_TRUE(WaitUntil([&] {
        return ReadFileText(dir_ / "Logs" / (name + ".log")).find("-Exception-") != std::string::npos;
      }));
      for (int i = 0; i < 2000 && !OtherThreadSleepsIn(pid, SYS_write); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) shown.append(buf, static_cast<size_t>(n));
    };
    stderr_terminal_ = console;
    err_fd_ = console ? -1 : pipe_fds[1];
    const RunResult run = StartProgram(program, "",
                                       {{"VT_TEST_FAULT", "segv:decoding"},
                                        {"VT_TEST_FAULT_WHEN", go.string()},
                                        {"VT_TEST_GATE", gate.string()},
                                        {"VT_TEST_TOOL", (ProgramFolder() / "vt_lzma").string()}},
                                       console ? pipe_fds[1] : -1);
    ::close(pipe_fds[0]);
    EXPECT_EQ(run.exit_code, 6u) << name;
    EXPECT_TRUE(shown.starts_with(before + filler)) << name;
    EXPECT_EQ(shown.substr(std::min(shown.size(), before.size() + filler.size())),
              console ? ".\nFatal Error: Decompression failed. Tool returned code: 1\n"
                      : "\n[Setup]\nDecompression failed. Tool returned code: 1\n");
    EXPECT_EQ(console ? run.err : run.out, "") << name;
    EXPECT_NE(ReadFileText(dir_ / "Logs" / (name + ".log")).find("-Exception-"), std::string::npos) << name;
    EXPECT_TRUE(TmpIsEmpty()) << name;
  }
  while_running_ = nullptr;
  stderr_terminal_ = true;
  err_fd_ = -1;
}

// A cut or unreadable program file, too little address space, a hidden
// /proc, small descriptor limits: each run works or ends with 6 and a true
// message, in the style of the build as far as the file shows it, and
// leaves nothing behind.
TEST_F(BootstrapperRun, LimitsAndDamagedProgramFilesGiveTrueMessagesAndLeaveNothing) {
  const fs::path console = CopyProgram(ProgramFolder() / "vt_setup_console", "bin", "console");
  const fs::path windowed = CopyProgram(ProgramFolder() / "vt_setup_windowed", "bin", "windowed");
  const auto cut = [&](const fs::path& program, const std::string& name) {
    std::string bytes = ReadFileText(program);
    bytes.pop_back();  // a download short by one byte
    WriteFileText(dir_ / "bin" / name, bytes);
    fs::permissions(dir_ / "bin" / name, fs::perms::owner_all);
    return dir_ / "bin" / name;
  };
  const fs::path cut_console = cut(console, "cut_console"), cut_windowed = cut(windowed, "cut_windowed");
  const auto shell = [&](const std::string& script, const fs::path& program) {
    WriteFileText(dir_ / "run.sh", script + "\nexec \"$1\"\n");
    return Start({}, "sh \"" + (dir_ / "run.sh").string() + "\" \"" + program.string() + "\"");
  };
  const auto damaged = [](const fs::path& program) {
    return "The setup file '" + program.string() + "' is damaged or incomplete. Download it again and run setup "
                                                   "again.\n";
  };
  const std::string few_files = "Fatal Error: Setup needs at least 64 open files, but the limit (ulimit -n) is ";
  const struct {
    std::string script;
    fs::path program;
    std::string shown;  // empty: the run works
    bool windowed = false;
    bool part = false;  // shown is a part of the message
  } cases[] = {
      {"", cut_console, "Fatal Error: " + damaged(cut_console)},
      {"", cut_windowed, "\n[Setup]\n" + damaged(cut_windowed), true},
      {"ulimit -n 10", console, few_files + "10. Raise it and run setup again.\n"},
      {"ulimit -n 63", console, few_files + "63. Raise it and run setup again.\n"},
      {"ulimit -n 64", console, ""},
      {"ulimit -Sn 10", console, ""},  // raised as far as the hard limit allows
  };
  for (const auto& c : cases) {
    const RunResult run = shell(c.script, c.program);
    if (c.shown.empty()) {
      EXPECT_EQ(run.exit_code, 0u) << c.script << "\n" << run.out;
      EXPECT_EQ(run.Files(), kCompressedFiles) << c.script;
    } else {
      EXPECT_EQ(run.exit_code, 6u) << c.script;
      const std::string shown = c.windowed ? NoCr(run.err) : NoCr(run.out);
      if (c.part)
        EXPECT_NE(shown.find(c.shown), std::string::npos) << c.script << "\n" << shown;
      else
        EXPECT_EQ(shown, c.shown) << c.script;
    }
    EXPECT_EQ(run.out.find("Invalid module"), std::string::npos) << run.out;
    EXPECT_TRUE(TmpIsEmpty()) << c.script;
  }

  // Sanitizers' runtimes need /proc and must read the program themselves:
  // the last cases are for plain builds.
#if !defined(VT_TEST_SANITIZED)
  // Address-space limits from 20000 KiB down to 8000 KiB in steps of 500,
  // all run at once: where memory runs out depends on the build's size and
  // the machine's state, so each run works or ends with 6 and says why,
  // down to the limits where the loader or the runtime fails before the
  // program's own code runs (what it says is the system's).
  std::vector<int> limits;
  for (int kib = 20000; kib >= 8000; kib -= 500) limits.push_back(kib);
  const fs::path limited_dir = dir_ / "limited";
  fs::create_directories(limited_dir);
  std::string script = "cd " + Q(limited_dir) + "\nfor kib in";
  for (const int kib : limits) script += " " + std::to_string(kib);
  script += "; do\n  { (ulimit -v \"$kib\" && exec \"$1\") >\"out.$kib\" 2>&1 </dev/null; echo $? >\"rc.$kib\"; } &\n"
            "done\nwait\nexit 0";
  WriteFileText(dir_ / "limits.sh", script);
  ASSERT_EQ(Start({}, "sh \"" + (dir_ / "limits.sh").string() + "\" \"" + console.string() + "\"").exit_code, 0u);
  bool out_of_memory = false, before_the_program = false;
  for (const int kib : limits) {
    const std::string out = NoCr(ReadFileText(limited_dir / ("out." + std::to_string(kib))));
    const int rc = std::stoi(ReadFileText(limited_dir / ("rc." + std::to_string(kib))));
    EXPECT_EQ(out.find("std::"), std::string::npos) << kib << "\n" << out;
    if (rc == 0 || before_the_program) continue;
    if (rc != 6 && out.find("Fatal Error") == std::string::npos && out.find("Please wait") == std::string::npos) {
      before_the_program = true;  // and so below
      continue;
    }
    EXPECT_EQ(rc, 6) << kib << "\n" << out;
    // Either the program runs out, or the LZMA tool it starts (which
    // inherits the limit) does.
    EXPECT_TRUE(out.find("Not enough memory resources are available to process this command (8)") !=
                    std::string::npos ||
                out.find("Fatal Error: Decompression failed. Tool returned code: 1") != std::string::npos)
        << kib << "\n" << out;
    out_of_memory = true;
  }
  EXPECT_TRUE(out_of_memory);
  EXPECT_TRUE(TmpIsEmpty());

  // /proc hidden, in a mount namespace of its own: what is missing.
  RunResult run = shell("exec unshare -m sh -c 'mount -t tmpfs none /proc || exit 99; exec \"$0\"' \"$1\"", console);
  if (run.exit_code != 99) {
    EXPECT_EQ(run.exit_code, 6u);
    EXPECT_EQ(NoCr(run.out), "Fatal Error: Setup cannot find its own program file: /proc/self/exe cannot be read "
                             "(is /proc mounted?). Run setup where /proc is available.\n");
    EXPECT_TRUE(TmpIsEmpty());
  }

  // A file the user may run but not read (only root can play two users).
  if (::geteuid() == 0 && fs::exists("/usr/bin/setpriv")) {
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(dir_ / "bin", fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(console, fs::perms::owner_all | fs::perms::others_exec);
    run = Start("/usr/bin/setpriv", vt::os::JoinCommandLine({"setpriv", "--reuid=65534", "--regid=65534",
                                                              "--clear-groups", console.string()}));
    EXPECT_EQ(run.exit_code, 6u);
    // Which build it is cannot be read either: the windowed style.
    EXPECT_EQ(NoCr(run.err), "\n[Setup]\nThe setup file '" + console.string() +
                                 "' cannot be read: Access is denied (5). Give yourself read permission on it and "
                                 "run setup again.\n");
  }
#endif
}

// The program's file replaced while it runs: the inner setup learns the
// path, not the system's " (deleted)" form of it.
TEST_F(BootstrapperRun, ProgramReplacedDuringTheRunPassesItsPlainPath) {
  const fs::path program = Package("seam", "console", Compress(MakePak("Setup.pak")), Metadata(exe_size_, 1), {},
                                   "vt_install_fault_seam");
  const RunResult run = StartProgram(program, "", {{"VT_TEST_FAULT", "replace:extracting"}});
  EXPECT_EQ(run.exit_code, 0u) << run.out;
  EXPECT_EQ(run.Value("arg1"), "/installer_filename=" + program.string());
}

// A clean-up that fails (here a mount inside the folder, as a process the
// inner setup left behind would keep it busy) keeps the inner setup's exit
// code and says on standard error and in the log what stayed.
TEST_F(BootstrapperRun, FailingCleanUpKeepsTheExitCodeAndSaysWhatStayed) {
  if (::geteuid() != 0 || Shell("unshare -m true") != 0 || !fs::exists("/usr/bin/nsenter"))
    GTEST_SKIP() << "needs root, unshare -m and nsenter to keep a folder busy";
  const fs::path program = CopyProgram(ProgramFolder() / "vt_setup_console", "bin", "console");
  const fs::path go = dir_ / "mounted";  // the inner setup ends once the mount stands
  while_running_ = [&](DWORD pid, const fs::path& report) {
    const int child = ReportedPid(report);
    const fs::path busy = tmp_ / ("Vontaro_Setup_" + std::to_string(pid)) / "busy";
    fs::create_directory(busy);
    EXPECT_EQ(Shell("nsenter -t " + std::to_string(child) + " -m mount -t tmpfs none " + Q(busy)), 0);
    WriteFileText(go, "");
  };
  const RunResult run = Start({}, "unshare -m \"" + program.string() + "\"",
                              {{"VT_SAMPLE_SETUP_EXIT_CODE", "7"}, {"VT_SAMPLE_SETUP_WAIT_FOR", go.string()}});
  EXPECT_EQ(run.exit_code, 7u);
  const std::string stayed = "Setup could not remove its folder '" + SetupFolder(run) +
                             "': 'busy' stays: The requested resource is in use (170).";
  EXPECT_NE(NoCr(run.err).find(stayed + "\n"), std::string::npos) << run.err;
  EXPECT_NE(ReadFileText(dir_ / "bin" / "Logs" / "console.log").find(stayed), std::string::npos);
}

}  // namespace

