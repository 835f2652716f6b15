// The SDK as an integrator meets it: the sample hosts serve a message from the
// reference driver and stop when asked; QUORVEL.DLL carries its version
// resource; the header's loader accepts QUORVEL.DLL only and says why not.
//
// QRV_SAMPLE_HOSTS (Unix paths separated by '|'), QRV_QUORVEL_DLL and
// QRV_PXCOM_DLL (Unix paths) point the tests at an installed SDK's programs
// and modules instead of this build's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#define QUORVEL_HOST_LOADER
#include <quorvel/quorvel.h>

#include "harness/driver_service.h"
#include "harness/kernel_driver_control.h"
#include "harness/win_handle.h"

namespace qrv {
namespace wintest {
namespace {

constexpr DWORD kWaitMs = 10000;
constexpr uint32_t kEchoService = 0;

std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::vector<std::string> SampleHosts() {
  std::vector<std::string> hosts;
  std::stringstream list(Setting("QRV_SAMPLE_HOSTS", QRV_SAMPLE_HOSTS));
  for (std::string host; std::getline(list, host, '|');) {
    if (!host.empty()) hosts.push_back(host);
  }
  return hosts;
}

std::string Directory(const std::wstring& path) {
  return std::string(path.begin(), path.begin() + path.find_last_of(L'\\') + 1);
}

// A sample host started with a pipe as its standard input; its output goes
// to this program's log.
class HostProcess {
 public:
  explicit HostProcess(const std::string& unixPath, const std::wstring& arguments = L"") {
    const std::wstring path = WinePathOf(unixPath);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) return;
    Handle input(read);
    stdin_ = Handle(write);
    SetHandleInformation(stdin_.get(), HANDLE_FLAG_INHERIT, 0);
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
      SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + path + L"\" " + arguments;
    const std::wstring directory = path.substr(0, path.find_last_of(L'\\'));
    PROCESS_INFORMATION info{};
    std::fflush(stdout);
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(),
                        &startup, &info)) {
      return;
    }
    process_ = Handle(info.hProcess);
    Handle thread(info.hThread);
  }

  bool Started() const { return process_.valid(); }
  bool Exited(DWORD timeoutMs) const {
    return WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
  }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  // "Press Enter to stop."
  void AskToStop() {
    DWORD written = 0;
    WriteFile(stdin_.get(), "\n", 1, &written, nullptr);
    stdin_.Reset();
  }
  ~HostProcess() {
    if (Started() && !Exited(0)) TerminateProcess(process_.get(), 99);
  }

 private:
  Handle stdin_;
  Handle process_;
};

TEST(SampleHost, ServesAnEchoUntilAskedToStop) {
  DWORD error = 0;
  std::unique_ptr<KernelDriverControl> control = KernelDriverControl::Open(&error);
  ASSERT_NE(control, nullptr) << "no control device: error " << error;
  const std::vector<std::string> hosts = SampleHosts();
  ASSERT_FALSE(hosts.empty());
  for (const std::string& unixPath : hosts) {
    SCOPED_TRACE(unixPath);
    std::printf("[ HOST     ] %s\n", unixPath.c_str());
    HostProcess host(unixPath);
    ASSERT_TRUE(host.Started()) << "cannot start it: error " << GetLastError();
    ASSERT_TRUE(control->WaitForPendingReceives(kEchoService, 3, kWaitMs))
        << "service " << kEchoService << " never received; exit code " << host.ExitCode();

    const std::string text = "echo through " + unixPath.substr(unixPath.find_last_of('/') + 1);
    uint32_t id = 0;
    ASSERT_EQ(control->Post(kEchoService, 1, text.data(), static_cast<uint32_t>(text.size()),
                            QRVCTL_ANY_SLOT, &id),
              static_cast<DWORD>(ERROR_SUCCESS));
    MessageOutcome outcome;
    ASSERT_TRUE(control->WaitForOutcome(id, kWaitMs, &outcome))
        << "no reply in " << kWaitMs << " ms";
    EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
    EXPECT_EQ(std::string(outcome.reply.begin(), outcome.reply.end()), text);

    host.AskToStop();
    ASSERT_TRUE(host.Exited(kWaitMs)) << "still running " << kWaitMs << " ms after Enter";
    EXPECT_EQ(host.ExitCode(), 0u);
    EXPECT_EQ(control->ServicePort(kEchoService), QRVCTL_NO_PORT) << "its port was not freed";
  }
}

// Runs the test kit's qrvctl.exe with `arguments` and returns its exit code
// and output (standard output, then what it wrote to standard error), with
// Windows line ends made plain. Reading to the end of the output is bounded
// by the tool's own bounded waits.
std::pair<DWORD, std::string> RunControlTool(const std::string& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return {GetLastError(), ""};
  Handle output(read);
  Handle toolEnd(write);
  SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = toolEnd.get();
  startup.hStdError = toolEnd.get();
  const std::wstring tool = WinePathOf(QRV_CONTROL_TOOL);
  std::string command = "\"" + std::string(tool.begin(), tool.end()) + "\" " + arguments;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return {GetLastError(), ""};
  }
  Handle process(info.hProcess);
  Handle thread(info.hThread);
  toolEnd.Reset();
  std::string text;
  char chunk[256];
  DWORD got = 0;
  while (ReadFile(output.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
    text.append(chunk, got);
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // text-mode stdout
  DWORD code = STILL_ACTIVE;
  WaitForSingleObject(process.get(), kWaitMs);
  GetExitCodeProcess(process.get(), &code);
  return {code, text};
}

// A file of `size` bytes of every value, more than a command line holds.
std::string BinaryFile(size_t size) {
  char directory[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, directory);
  const std::string path = directory + std::string("qrvctl_payload.bin");
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  return path;
}

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// qrvctl.exe plays the driver's side by hand against a sample host: the
// ports, a message with and without a reply wanted, from a file, an armed
// and a cleared fault, a service nobody registered, the counters; and how it
// refuses what it cannot parse: what was wrong, then that command's usage.
TEST(Sdk, ControlToolServesAMessageByHand) {
  DWORD error = 0;
  std::unique_ptr<KernelDriverControl> control = KernelDriverControl::Open(&error);
  ASSERT_NE(control, nullptr) << "no control device: error " << error;
  HostProcess host(SampleHosts().front());
  ASSERT_TRUE(host.Started()) << "cannot start it: error " << GetLastError();
  ASSERT_TRUE(control->WaitForPendingReceives(kEchoService, 3, kWaitMs))
      << "the host never received";
  struct Case {
    std::string arguments;
    DWORD exitCode;
    std::string output;  // somewhere in the output
    std::string ending;  // the end of the output
  };
  const std::string port = std::to_string(control->ServicePort(0));
  const std::string service = " to service 0 (port " + port;
  const std::string usagePost =
      "usage: qrvctl post <service> (<text> | --file <path>) [--no-reply] [--timeout <ms>] "
      "[--reply-file <path>]\n";
  const std::string payload = BinaryFile(40000);
  const std::string replyFile = payload + ".reply";
  const std::vector<Case> kCases = {
      {"ports", 0, ": heartbeat (echo), last pinged ",
       "port " + port +
           ": service 0, threads 3 (bound 3), pending receives 3, queued 0, "
           "assigned 0\n"},
      {"post 0 \"hello by hand\"", 0, service, ": answered, reply 13 bytes: hello by hand\n"},
      {"post 0 quiet --no-reply", 0, service, ": not wanted\n"},
      {"post 0 --file \"" + payload + "\" --reply-file \"" + replyFile + "\"", 0, service,
       ": answered, reply 40000 bytes (binary)\n"},
      {"post 0 " + std::string(1200, 'x'), 0, "reply 1200 bytes: " + std::string(1000, 'x') + "...",
       "... (200 more bytes; --reply-file writes them all)\n"},
      {"fault reply-status 0 1 0xC0000184", 0,
       "qrvctl: fault reply-status (5) armed (skip 0, count 1, value 0xC0000184,", ""},
      {"post 0 refused", 3, service, "(reason 3: the reply failed by an injected fault)\n"},
      {"clear 5", 0, "qrvctl: fault reply-status (5) cleared\n", ""},
      {"fault pend-request 0 1 0x83002421 0 2000", 0, ", delay 2000 ms, code 0x0)\n", ""},
      {"post 0 slow --timeout 100", 4, service,
       "in time (the host has not answered) (error 258)\n"},
      {"clear pend-request", 0, "", ""},
      {"post 0 again", 0, service, ": answered, reply 5 bytes: again\n"},
      {"post 9 nobody", 1, "qrvctl: post: service not registered (no port", "(error 1168)\n"},
      {"post 0 --file C:\\no\\such.bin", 1, "qrvctl: post: C:\\no\\such.bin: no such file (error ",
       ""},
      {"counters", 0, " too small (at issue+on completion) ", ""},
      {"post abc x", 2, "qrvctl: post: service id 'abc' is not a whole number\n", usagePost},
      {"post 1x x", 2, "qrvctl: post: service id '1x' is not a whole number\n", usagePost},
      {"post -1 x", 2, "qrvctl: post: service id -1 is out of range (0 to 15)\n", usagePost},
      {"post 16 x", 2, "qrvctl: post: service id 16 is out of range (0 to 15)\n", usagePost},
      {"post", 2, "qrvctl: post: missing service id\n", usagePost},
      {"post 0", 2, "qrvctl: post: missing text (or --file <path>)\n", usagePost},
      {"post 0 x --bogus", 2, "qrvctl: post: unexpected argument '--bogus'\n", usagePost},
      {"wait 0 --timeout", 2, "qrvctl: wait: missing --timeout value\n",
       "usage: qrvctl wait <service> [--timeout <ms>]\n"},
      {"fault 99 0 1 0", 2,
       "qrvctl: fault: fault kind 99 is out of range (0 to 15)\nusage: qrvctl fault <kind> <skip> "
       "<count> <value> [<flags> [<delay ms> [<code>]]]\n      kinds: 0 ping-status, 1 ping-word,",
       " 15 free-keeps-receives\n"},
      {"clear bogus", 2, "qrvctl: clear: unknown fault kind 'bogus'\nusage: qrvctl clear <kind>\n",
       " 15 free-keeps-receives\n"},
      {"counters extra", 2, "qrvctl: counters: unexpected argument 'extra'\n",
       "usage: qrvctl counters\n"},
      {"frobnicate", 2, "qrvctl: unknown command 'frobnicate'\n", ""},
  };
  for (const Case& test : kCases) {
    SCOPED_TRACE(test.arguments);
    const auto result = RunControlTool(test.arguments);
    std::printf("[ QRVCTL   ] qrvctl %s\n%s", test.arguments.c_str(), result.second.c_str());
    EXPECT_EQ(result.first, test.exitCode);
    EXPECT_NE(result.second.find(test.output), std::string::npos) << result.second;
    EXPECT_TRUE(result.second.size() >= test.ending.size() &&
                result.second.compare(result.second.size() - test.ending.size(), test.ending.size(),
                                      test.ending) == 0)
        << result.second;
  }
  EXPECT_EQ(Contents(replyFile), Contents(payload)) << "the reply file is not the reply";
  DeleteFileA(payload.c_str());
  DeleteFileA(replyFile.c_str());
  host.AskToStop();
  ASSERT_TRUE(host.Exited(kWaitMs)) << "still running " << kWaitMs << " ms after Enter";
}

// The C sample's --recover: one ping failed through qrvctl takes the
// heartbeat for lost and stops service 0; the host's Init and Register then
// start a new heartbeat and a fresh service 0, which answers again.
TEST(SampleHost, RecoversFromALostHeartbeat) {
  DWORD error = 0;
  std::unique_ptr<KernelDriverControl> control = KernelDriverControl::Open(&error);
  ASSERT_NE(control, nullptr) << "no control device: error " << error;
  HostProcess host(SampleHosts().front(), L"--recover");
  ASSERT_TRUE(host.Started()) << "cannot start it: error " << GetLastError();
  ASSERT_TRUE(control->WaitForPendingReceives(kEchoService, 3, kWaitMs))
      << "the host never received";
  QrvCtlCounters before{};
  ASSERT_EQ(control->Counters(&before), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(RunControlTool("fault 0 0 1 0xC0000001").first, 0u);
  QrvCtlCounters now{};
  ASSERT_TRUE(control->WaitUntil(kWaitMs, [&] {
    return control->Counters(&now) == ERROR_SUCCESS && now.pingFailures > before.pingFailures &&
           now.echoPortsCreated > before.echoPortsCreated &&
           now.portsAllocated > before.portsAllocated;
  })) << "no new heartbeat and service after the failed ping";
  ASSERT_TRUE(control->WaitForPendingReceives(kEchoService, 3, kWaitMs))
      << "the fresh service never received";
  uint32_t id = 0;
  ASSERT_EQ(control->Post(kEchoService, 1, "again", 5, QRVCTL_ANY_SLOT, &id),
            static_cast<DWORD>(ERROR_SUCCESS));
  MessageOutcome outcome;
  ASSERT_TRUE(control->WaitForOutcome(id, kWaitMs, &outcome)) << "no reply in " << kWaitMs << " ms";
  EXPECT_EQ(std::string(outcome.reply.begin(), outcome.reply.end()), "again");
  host.AskToStop();
  ASSERT_TRUE(host.Exited(kWaitMs)) << "still running " << kWaitMs << " ms after Enter";
  EXPECT_EQ(host.ExitCode(), 0u);
}

// This program's file.
std::wstring ProgramPath() {
  wchar_t self[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return self;
}

std::wstring QuorvelPath() {
  const std::string configured = Setting("QRV_QUORVEL_DLL", "");
  if (!configured.empty()) return WinePathOf(configured);
  const std::wstring path = ProgramPath();
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"QUORVEL.DLL";
}

std::wstring VersionString(const std::vector<char>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0) return L"";
  return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

TEST(Sdk, VersionResourceNamesQuorvelAndTheProjectVersion) {
  const std::wstring path = QuorvelPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_NE(size, 0u) << "no version resource: error " << GetLastError();
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS,
            static_cast<DWORD>(MAKELONG(QUORVEL_VERSION_MINOR, QUORVEL_VERSION_MAJOR)));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, QUORVEL_VERSION_PATCH)));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  const std::wstring version = std::to_wstring(QUORVEL_VERSION_MAJOR) + L"." +
                               std::to_wstring(QUORVEL_VERSION_MINOR) + L"." +
                               std::to_wstring(QUORVEL_VERSION_PATCH);
  EXPECT_EQ(VersionString(info, L"FileVersion"), version);
  EXPECT_EQ(VersionString(info, L"ProductVersion"), version);
  EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"QUORVEL.DLL");
  EXPECT_FALSE(VersionString(info, L"FileDescription").empty());
  for (const wchar_t* name : {L"FileDescription", L"FileVersion", L"OriginalFilename",
                              L"ProductName", L"ProductVersion"}) {
    std::printf("[ VERSION  ] %ls: %ls\n", name, VersionString(info, name).c_str());
  }
}

TEST(Sdk, LoaderAcceptsOnlyQuorvelAndSaysWhy) {
  const std::wstring quorvel = QuorvelPath();
  {
    quorvel::HostLibrary library(quorvel.c_str());
    ASSERT_TRUE(library.Loaded()) << library.Error();
    EXPECT_TRUE(library.Error().empty());
    EXPECT_TRUE(library.init && library.unInit && library.registerService &&
                library.unregisterService);
    library.Unload();
    EXPECT_FALSE(library.Loaded());
    EXPECT_FALSE(library.init || library.unInit || library.registerService ||
                 library.unregisterService)
        << "an entry point survived Unload";
  }
  // The framework stand-in (QRV_PXCOM_DLL: an installed test kit's): a DLL,
  // but not this one.
  const std::string installed = Setting("QRV_PXCOM_DLL", "");
  const std::string pxcom =
      Directory(installed.empty() ? quorvel : WinePathOf(installed)) + "PXCOM.dll";
  quorvel::HostLibrary foreign(pxcom.c_str());
  EXPECT_FALSE(foreign.Loaded());
  EXPECT_NE(foreign.Error().find("not QUORVEL.DLL but PXCOM.dll"), std::string::npos)
      << foreign.Error();
  EXPECT_EQ(foreign.init, nullptr);

  std::printf("[ LOADER   ] %s\n", foreign.Error().c_str());
}

// A load that fails names the path as given, through either constructor (a
// wide path in UTF-8), with the system's reason.
TEST(Sdk, LoaderNamesThePathGiven) {
  const std::wstring wide = L"C:\\no\\such\\Q\u00f6rvel\\QUORVEL.DLL";
  const std::string named = "cannot load C:\\no\\such\\Q\xc3\xb6rvel\\QUORVEL.DLL: ";
  quorvel::HostLibrary narrow("C:\\no\\such\\QUORVEL.DLL");
  quorvel::HostLibrary widened(wide.c_str());
  const std::pair<const quorvel::HostLibrary*, std::string> kCases[] = {
      {&narrow, "cannot load C:\\no\\such\\QUORVEL.DLL: "}, {&widened, named}};
  for (const auto& test : kCases) {
    EXPECT_FALSE(test.first->Loaded());
    EXPECT_EQ(test.first->Error().rfind(test.second, 0), 0u) << test.first->Error();
    EXPECT_NE(test.first->Error().find("(error "), std::string::npos) << test.first->Error();
    std::printf("[ LOADER   ] %s\n", test.first->Error().c_str());
  }
}

// A QUORVEL.DLL planted in the current directory or in a directory on PATH
// is never loaded, through either constructor: only the application's and
// the system's directories are searched.
TEST(Sdk, LoaderIgnoresModulesPlantedInTheCurrentDirectoryOrOnPath) {
  wchar_t temp[MAX_PATH] = L"";
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring dir =
      std::wstring(temp) + L"qrv_planted_" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << "error " << GetLastError();
  // A genuine copy, which the loader would accept if it found it.
  const std::wstring planted = dir + L"\\qrv_planted.dll";
  ASSERT_TRUE(CopyFileW(QuorvelPath().c_str(), planted.c_str(), FALSE))
      << "error " << GetLastError();
  wchar_t home[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, home);
  wchar_t path[32767] = L"";
  GetEnvironmentVariableW(L"PATH", path, 32767);
  const std::wstring onPath = dir + L";" + path;
  for (bool inCurrentDirectory : {true, false}) {
    SCOPED_TRACE(inCurrentDirectory ? "current directory" : "PATH");
    ASSERT_TRUE(inCurrentDirectory ? SetCurrentDirectoryW(dir.c_str())
                                   : SetEnvironmentVariableW(L"PATH", onPath.c_str()));
    quorvel::HostLibrary narrow("qrv_planted.dll");
    quorvel::HostLibrary wide(L"qrv_planted.dll");
    for (const quorvel::HostLibrary* library : {&narrow, &wide}) {
      EXPECT_FALSE(library->Loaded()) << "the planted module was loaded";
      EXPECT_EQ(library->Error().rfind("cannot load qrv_planted.dll: ", 0), 0u) << library->Error();
    }
    SetCurrentDirectoryW(home);
    SetEnvironmentVariableW(L"PATH", path);
  }
  DeleteFileW(planted.c_str());
  RemoveDirectoryW(dir.c_str());
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
