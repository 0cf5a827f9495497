// vexolantd.exe on Windows: the service's entry when the service manager
// starts it, `run` in the foreground, and `service install|uninstall`, the
// step the installer runs for what it cannot declare itself (the state
// folder's protection, the token, the default configuration, the restarts
// after a failure, the install folder on PATH).
#include <httplib.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>
#include <vexolant/vexolant.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "service/platform.h"

namespace vexolant::service {
namespace {

constexpr wchar_t kServiceName[] = L"vexolantd";
constexpr wchar_t kDisplayName[] = L"vexolant print service";
constexpr wchar_t kDescription[] =
    L"Prints the jobs of tills and browsers on the shop's receipt printers (HTTP on "
    L"127.0.0.1:8631).";
// The log is moved aside when it has grown past this size (looked at every
// few seconds).
constexpr long long kLogLimit = 1024 * 1024;
constexpr DWORD kLogCheckMs = 5000;
// Where the service listens when its configuration cannot be read: the
// default address, so that the status page says what to fix.
constexpr const char* kFallbackHost = "127.0.0.1";
constexpr int kFallbackPort = 8631;

// SYSTEM and Administrators alone; the service runs as LocalSystem.
constexpr wchar_t kFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kTokenSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// Set by Ctrl+C in the foreground, or by the service manager's STOP.
HANDLE StopEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// A lifecycle line: to the log (stderr) and, in service mode, to the
// Application event log.
HANDLE g_event_source = nullptr;
void Note(WORD type, const std::string& line) {
  std::fprintf(stderr, "vexolantd: %s\n", line.c_str());
  std::fflush(stderr);
  if (g_event_source == nullptr) return;
  const std::wstring text = Wide("vexolantd: " + line);
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(g_event_source, type, 0, 1, nullptr, 1, 0, strings, nullptr);
}

class ConsoleLifecycle : public Lifecycle {
 public:
  void TakeStops() override { SetConsoleCtrlHandler(&ConsoleLifecycle::OnControl, TRUE); }
  void WaitForStop() override { WaitForSingleObject(StopEvent(), INFINITE); }
  void EndWait(std::thread&) override { SetEvent(StopEvent()); }

 private:
  static BOOL WINAPI OnControl(DWORD) {
    SetEvent(StopEvent());
    return TRUE;
  }
};

// The service's status as the service manager sees it. While it starts or
// stops, a checkpoint is counted at each step and every second, so that a
// long step (a running job finishing) is not taken for a hang.
class ServiceLifecycle : public Lifecycle {
 public:
  explicit ServiceLifecycle(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
  ~ServiceLifecycle() override { StopTicking(); }

  void Starting() override { Report(SERVICE_START_PENDING, 10000); }
  void Running() override {
    Report(SERVICE_RUNNING, 0);
    Note(EVENTLOG_INFORMATION_TYPE, "running");
  }
  void WaitForStop() override {
    WaitForSingleObject(StopEvent(), INFINITE);
    Note(EVENTLOG_INFORMATION_TYPE, "stop asked by the service manager");
    Report(SERVICE_STOP_PENDING, 30000);
    std::lock_guard lock(mutex_);
    if (!ticker_.joinable()) ticker_ = std::thread([this] { Tick(); });
  }
  int ConfigProblem(const std::string& problem) override;
  void EndWait(std::thread&) override { SetEvent(StopEvent()); }

  void Stopped(int status) {
    StopTicking();
    std::lock_guard lock(mutex_);
    status_.dwCurrentState = SERVICE_STOPPED;
    status_.dwControlsAccepted = 0;
    status_.dwCheckPoint = 0;
    status_.dwWaitHint = 0;
    status_.dwWin32ExitCode = status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status_.dwServiceSpecificExitCode = static_cast<DWORD>(status);
    SetServiceStatus(handle_, &status_);
  }

  void Report(DWORD state, DWORD wait_hint) {
    std::lock_guard lock(mutex_);
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = state;
    status_.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    status_.dwWin32ExitCode = NO_ERROR;
    status_.dwCheckPoint = state == SERVICE_RUNNING ? 0 : status_.dwCheckPoint + 1;
    status_.dwWaitHint = wait_hint;
    SetServiceStatus(handle_, &status_);
  }

 private:
  void Tick() {
    std::unique_lock lock(mutex_);
    while (!done_) {
      if (ticked_.wait_for(lock, std::chrono::seconds(1)) == std::cv_status::timeout && !done_) {
        ++status_.dwCheckPoint;
        SetServiceStatus(handle_, &status_);
      }
    }
  }
  void StopTicking() {
    std::thread ticker;
    {
      std::lock_guard lock(mutex_);
      done_ = true;
      ticker.swap(ticker_);
    }
    ticked_.notify_all();
    if (ticker.joinable()) ticker.join();
  }

  SERVICE_STATUS_HANDLE handle_;
  std::mutex mutex_;
  std::condition_variable ticked_;
  SERVICE_STATUS status_{};
  std::thread ticker_;
  bool done_ = false;
};

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The configuration or the token cannot be used: the service stays up on
// the default address, answers /v1/health and its page with the problem and
// refuses everything else, until it is stopped.
int ServeProblem(const std::string& problem, Lifecycle& lifecycle) {
  using nlohmann::json;
  httplib::Server server;
  const std::string port = ":" + std::to_string(kFallbackPort);
  const std::string hosts[] = {std::string(kFallbackHost) + port, "localhost" + port};
  server.set_pre_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
    const std::string host = req.get_header_value("Host");
    if (host != hosts[0] && host != hosts[1]) {
      res.status = 403;
      res.set_content(json{{"error", "the Host header names no address of this service"}}.dump(),
                      "application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "GET" && req.path == "/") {
      res.set_header("Content-Security-Policy", "default-src 'none'");
      res.set_content(
          "<!doctype html><meta charset=utf-8><title>vexolantd</title>"
          "<h1>vexolantd cannot print</h1><p>Its configuration cannot be used:</p>"
          "<pre>" +
              HtmlEscape(problem) +
              "</pre><p>Correct it, then restart the service "
              "(<code>net stop vexolantd</code>, <code>net start vexolantd</code>).",
          "text/html; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    const bool health = req.method == "GET" && req.path == "/v1/health";
    res.status = 503;
    res.set_content(
        health ? json{{"ok", false}, {"version", vexolant_version()}, {"problem", problem}}.dump()
               : json{{"error", "the configuration cannot be used: " + problem}}.dump(),
        "application/json");
    return httplib::Server::HandlerResponse::Handled;
  });
  lifecycle.Starting();
  if (!server.bind_to_port(kFallbackHost, kFallbackPort)) {
    Note(EVENTLOG_ERROR_TYPE, "cannot listen on " + hosts[0] + " to report the problem");
    return 1;
  }
  std::thread listener([&] { server.listen_after_bind(); });
  Note(EVENTLOG_WARNING_TYPE, "not printing, the configuration cannot be used: " + problem +
                                  "; GET /v1/health on " + hosts[0] + " says so until it is fixed");
  lifecycle.Running();
  lifecycle.WaitForStop();
  server.stop();
  listener.join();
  return 0;
}

int ServiceLifecycle::ConfigProblem(const std::string& problem) {
  return ServeProblem(problem, *this);
}

// stdout and stderr of the service go to %ProgramData%\vexolant\vexolantd.log.
// Past kLogLimit it is moved to vexolantd.log.1 (replacing the one before)
// and a new one begun: at the start, and while the service runs.
std::wstring LogPath() {
  return Wide(StateFile("vexolantd.log"));
}

bool LogIsFull(const std::wstring& log) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &data) &&
         ((static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) > kLogLimit;
}

// Points descriptors 1 and 2 at the end of the log. It may be renamed while
// open (FILE_SHARE_DELETE): that is how it is moved aside.
void PointAtLog(const std::wstring& log) {
  const HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return;
  }
  _dup2(fd, 1);
  _dup2(fd, 2);
  _close(fd);
}

void OpenLog() {
  CreateDirectoryW(Wide(StateFolder()).c_str(), nullptr);
  const std::wstring log = LogPath();
  if (LogIsFull(log)) MoveFileExW(log.c_str(), (log + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
  PointAtLog(log);
  // A service starts without a console: the C runtime gave its stdout and
  // stderr no descriptor (and will not reopen them), so they are pointed at
  // descriptors 1 and 2, the log's.
  stdout->_file = 1;
  stderr->_file = 2;
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

// Looks at the log's size every kLogCheckMs until done is set.
void KeepLog(HANDLE done) {
  const std::wstring log = LogPath();
  while (WaitForSingleObject(done, kLogCheckMs) == WAIT_TIMEOUT) {
    if (!LogIsFull(log)) continue;
    if (MoveFileExW(log.c_str(), (log + L".1").c_str(), MOVEFILE_REPLACE_EXISTING)) {
      PointAtLog(log);
      Note(EVENTLOG_INFORMATION_TYPE, "the log before is " + Narrow(log) + ".1");
    }
  }
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
      // As SIGTERM on Linux: no new jobs, the running ones end, queued ones stay.
      SetEvent(StopEvent());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(kServiceName, &OnServiceControl, nullptr);
  if (handle == nullptr) return;
  ServiceLifecycle lifecycle(handle);
  lifecycle.Starting();
  OpenLog();
  g_event_source = RegisterEventSourceW(nullptr, kServiceName);
  Note(EVENTLOG_INFORMATION_TYPE, std::string("starting, version ") + vexolant_version());

  // The arguments of a start by hand (sc start vexolantd --config FILE).
  std::vector<std::string> args = {"vexolantd"};
  for (DWORD i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  std::vector<char*> pointers;
  for (auto& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const HANDLE log_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread log_keeper([log_done] { KeepLog(log_done); });
  const int status = RunService(static_cast<int>(args.size()), pointers.data(), lifecycle);
  SetEvent(log_done);
  log_keeper.join();
  CloseHandle(log_done);

  Note(status == 0 ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE,
       status == 0 ? std::string("service stopped")
                   : "failed with status " + std::to_string(status) + "; see " +
                         StateFile("vexolantd.log"));
  if (g_event_source != nullptr) DeregisterEventSource(g_event_source);
  g_event_source = nullptr;
  lifecycle.Stopped(status);
}

// --- service install | uninstall --------------------------------------------

class SecurityDescriptor {
 public:
  explicit SecurityDescriptor(const wchar_t* sddl) {
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_,
                                                         nullptr);
  }
  ~SecurityDescriptor() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
  }
  SecurityDescriptor(const SecurityDescriptor&) = delete;
  SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// Makes the file when it is missing, with the text and the protection given;
// leaves an existing one as it is. False when it is missing and cannot be made.
bool WriteIfAbsent(const std::string& path, const std::string& text, const wchar_t* sddl,
                   bool* made) {
  SecurityDescriptor descriptor(sddl);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  const HANDLE file =
      CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, descriptor.get() ? &attributes : nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  *made = false;
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS) return true;
    Note(EVENTLOG_ERROR_TYPE, path + ": cannot be made: " + SystemErrorText(GetLastError()));
    return false;
  }
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (!ok) {
    Note(EVENTLOG_ERROR_TYPE, path + ": cannot be written: " + SystemErrorText(GetLastError()));
    DeleteFileW(Wide(path).c_str());
    return false;
  }
  *made = true;
  return true;
}

std::string NewToken() {
  unsigned char bytes[24];
  if (BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    return "";
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

// A TOML literal string: Windows paths keep their backslashes.
std::string Literal(const std::string& text) {
  return "'" + text + "'";
}

std::string DefaultConfig() {
  return "# vexolantd's configuration. The service reads it at start: restart it after\n"
         "# a change (net stop vexolantd, then net start vexolantd).\n"
         "\n"
         "# The address to listen on: loopback only, unless you know why not.\n"
         "listen = \"127.0.0.1:8631\"\n"
         "# The job journal (SQLite); upload files are made beside it.\n"
         "journal = " +
         Literal(StateFile("jobs.db")) +
         "\n"
         "# One line: the bearer token every request but /v1/health needs.\n"
         "token_file = " +
         Literal(StateFile("token")) +
         "\n"
         "# Web pages allowed to call the service from a browser, such as\n"
         "# [\"https://till.example\"]; none by default.\n"
         "allowed_origins = []\n"
         "# Finished jobs are removed after this many hours.\n"
         "retention_hours = 168\n"
         "\n"
         "# One table per printer: a name (used in URLs), the port (COM1 to COM256,\n"
         "# or tcp://HOST:PORT and rfc2217://HOST:PORT) and how reads end (\"gap\" or\n"
         "# \"complete\").\n"
         "#\n"
         "# [[printer]]\n"
         "# name = \"front\"\n"
         "# port = \"COM1\"\n"
         "# read_end = \"complete\"\n";
}

// What the service manager keeps of the service besides what the installer
// declares: restarts after a failure, preshutdown time, the description.
// Wine refuses some of these (ERROR_INVALID_LEVEL): said, not fatal.
void Configure(SC_HANDLE service) {
  const auto refused = [](const char* what) {
    Note(EVENTLOG_WARNING_TYPE, std::string("the service manager refused ") + what + ": " +
                                    SystemErrorText(GetLastError()) + " (left as it was)");
  };
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
    refused("the description");
  }
  SC_ACTION actions[] = {
      {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 3600;  // a day without failure counts from the first again
  failure.cActions = 3;
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    refused("the restarts after a failure");
  }
  // A nonzero exit status (a failed start) counts as a failure too.
  SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
    refused("the restarts after a failed start");
  }
  // Time for the running job at a shutdown.
  SERVICE_PRESHUTDOWN_INFO preshutdown{30000};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown)) {
    refused("the preshutdown time");
  }
}

constexpr wchar_t kEnvironmentKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

std::vector<std::wstring> SplitPath(const std::wstring& path) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find(L';', start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool SameFolder(std::wstring a, std::wstring b) {
  while (!a.empty() && (a.back() == L'\\' || a.back() == L'/')) a.pop_back();
  while (!b.empty() && (b.back() == L'\\' || b.back() == L'/')) b.pop_back();
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Puts the folder on the machine's PATH (add) or takes it off, then tells
// the running programs that the environment changed.
void SetOnPath(const std::wstring& folder, bool add) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                    &key) != ERROR_SUCCESS) {
    Note(EVENTLOG_WARNING_TYPE, "PATH cannot be opened: " + SystemErrorText(GetLastError()));
    return;
  }
  DWORD type = REG_EXPAND_SZ;
  DWORD size = 0;
  std::wstring path;
  if (RegQueryValueExW(key, L"Path", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    path.resize(size / sizeof(wchar_t));
    RegQueryValueExW(key, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(path.data()), &size);
    path.resize(std::wcslen(path.c_str()));
  }
  std::vector<std::wstring> parts = SplitPath(path);
  const auto at = std::find_if(parts.begin(), parts.end(),
                               [&](const std::wstring& part) { return SameFolder(part, folder); });
  if (add == (at != parts.end())) {
    RegCloseKey(key);
    return;
  }
  if (add) {
    parts.push_back(folder);
  } else {
    parts.erase(at);
  }
  std::wstring joined;
  for (const auto& part : parts) joined += (joined.empty() ? L"" : L";") + part;
  const LSTATUS status = RegSetValueExW(key, L"Path", 0, type == REG_SZ ? REG_SZ : REG_EXPAND_SZ,
                                        reinterpret_cast<const BYTE*>(joined.c_str()),
                                        static_cast<DWORD>((joined.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    Note(EVENTLOG_WARNING_TYPE, "PATH cannot be changed: " + SystemErrorText(status));
    return;
  }
  DWORD_PTR result = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                      SMTO_ABORTIFHUNG, 5000, &result);
}

std::wstring ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The folder of vexolantd.exe, which the console tool is installed beside.
std::wstring ProgramFolder() {
  std::wstring path = ProgramPath();
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(0, slash);
}

int Install() {
  // The state folder: SYSTEM and Administrators alone, whatever it inherited.
  const std::string folder = StateFolder();
  if (!CreateDirectoryW(Wide(folder).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    Note(EVENTLOG_ERROR_TYPE, folder + ": cannot be made: " + SystemErrorText(GetLastError()));
    return 1;
  }
  // Set as protected (nothing inherited from %ProgramData%) and handed down
  // to what the folder holds already (an upgrade's journal and log).
  SecurityDescriptor protect(kFolderSddl);
  PACL dacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  DWORD status = ERROR_INVALID_SECURITY_DESCR;
  if (protect.get() != nullptr &&
      GetSecurityDescriptorDacl(protect.get(), &present, &dacl, &defaulted) && present) {
    std::wstring name = Wide(folder);
    status = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr);
  }
  if (status != ERROR_SUCCESS) {
    Note(EVENTLOG_WARNING_TYPE,
         folder + ": its protection cannot be set: " + SystemErrorText(status));
  }
  bool made = false;
  const std::string token = NewToken();
  if (token.empty()) {
    Note(EVENTLOG_ERROR_TYPE, "no random bytes for the token: " + SystemErrorText(GetLastError()));
    return 1;
  }
  if (!WriteIfAbsent(StateFile("token"), token + "\r\n", kTokenSddl, &made)) return 1;
  if (made) Note(EVENTLOG_INFORMATION_TYPE, "made the token " + StateFile("token"));
  if (!WriteIfAbsent(DefaultConfigPath(), DefaultConfig(), kFolderSddl, &made)) return 1;
  if (made) Note(EVENTLOG_INFORMATION_TYPE, "wrote the configuration " + DefaultConfigPath());

  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    Note(EVENTLOG_ERROR_TYPE, "the service manager: " + SystemErrorText(GetLastError()));
    return 1;
  }
  SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
  if (service == nullptr) {
    // Installed without the installer (the zip): the service is made here.
    const std::wstring command = L"\"" + ProgramPath() + L"\"";
    service = CreateServiceW(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                             command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
      Note(EVENTLOG_ERROR_TYPE, "the service cannot be made: " + SystemErrorText(GetLastError()));
      CloseServiceHandle(manager);
      return 1;
    }
    Note(EVENTLOG_INFORMATION_TYPE, "made the service vexolantd (automatic start)");
  }
  Configure(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  SetOnPath(ProgramFolder(), true);
  return 0;
}

int Uninstall() {
  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    Note(EVENTLOG_ERROR_TYPE, "the service manager: " + SystemErrorText(GetLastError()));
    return 1;
  }
  SetOnPath(ProgramFolder(), false);
  const SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
  if (service == nullptr) {
    const DWORD code = GetLastError();
    CloseServiceHandle(manager);
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    Note(EVENTLOG_ERROR_TYPE, "the service: " + SystemErrorText(code));
    return 1;
  }
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    // The running job ends first; a minute at most.
    for (int i = 0; i < 600 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
      Sleep(100);
      if (!QueryServiceStatus(service, &status)) break;
    }
  }
  const bool deleted = DeleteService(service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
  if (!deleted) {
    Note(EVENTLOG_ERROR_TYPE, "the service cannot be removed: " + SystemErrorText(GetLastError()));
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (deleted) Note(EVENTLOG_INFORMATION_TYPE, "removed the service; " + StateFolder() + " stays");
  return deleted ? 0 : 1;
}

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: vexolantd run [--config FILE] [--check]\n"
               "       vexolantd service install | uninstall\n"
               "  run                the service in the foreground (Ctrl+C stops it)\n"
               "  --config FILE      the configuration (default %s)\n"
               "  --check            check the configuration and the token file, then exit\n"
               "  service install    make the service and its files in %s\n"
               "                     (the configuration and the token only when missing)\n"
               "                     and put this folder on PATH\n"
               "  service uninstall  stop and remove the service, take this folder off PATH;\n"
               "                     the service's files stay\n"
               "  --version          print the version\n"
               "Started without arguments, it is the service the service manager starts.\n",
               DefaultConfigPath().c_str(), StateFolder().c_str());
}

int Main(std::vector<std::string> args) {
  if (args.size() < 2) {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), &ServiceMain},
                                    {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) return 0;
    if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      std::fprintf(stderr, "vexolantd: %s\n", SystemErrorText(GetLastError()).c_str());
      return 1;
    }
    std::fprintf(stderr,
                 "vexolantd: this is the service the service manager starts "
                 "(net start vexolantd);\nto run it here, in the foreground: vexolantd run\n");
    Usage(stderr);
    return 2;
  }
  const std::string& command = args[1];
  if (command == "service" && args.size() == 3) {
    // Run by the installer there is no console: what it says goes to the log.
    if (_fileno(stderr) < 0) OpenLog();
    if (args[2] == "install") return Install();
    if (args[2] == "uninstall") return Uninstall();
  }
  if (command == "help" || command == "--help" || command == "-h") {
    Usage(stdout);
    return 0;
  }
  if (command == "run") {
    args.erase(args.begin() + 1);
  } else if (command != "--version" && command != "--check" && command != "--config") {
    Usage(stderr);
    return 2;
  }
  std::vector<char*> pointers;
  for (auto& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  ConsoleLifecycle lifecycle;
  return RunService(static_cast<int>(args.size()), pointers.data(), lifecycle);
}

}  // namespace
}  // namespace vexolant::service

int main() {
  // The arguments in UTF-16, whatever the code page.
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(vexolant::service::Narrow(argv[i]));
  LocalFree(argv);
  return vexolant::service::Main(std::move(args));
}
