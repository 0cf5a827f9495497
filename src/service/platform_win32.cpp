// winsock2.h brings windows.h (after it, not before).
#include <winsock2.h>
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>

#include "service/platform.h"

namespace vexolant::service {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                      nullptr, nullptr);
  return narrow;
}

std::string SystemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length > 0 ? Narrow(std::wstring(text, length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return (message.empty() ? std::string("error") : message) + " (" + std::to_string(code) + ")";
}

std::string StateFolder() {
  // The known folder, not %ProgramData%: a service may start before the
  // system's environment is read.
  wchar_t* folder = nullptr;
  std::string base = "C:\\ProgramData";
  if (SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder) == S_OK) {
    base = Narrow(folder);
  }
  CoTaskMemFree(folder);
  return base + "\\vexolant";
}

std::string StateFile(const std::string& name) {
  return StateFolder() + "\\" + name;
}

std::string DefaultConfigPath() {
  return StateFile("vexolantd.toml");
}

std::string SocketErrorText() {
  return SystemErrorText(static_cast<DWORD>(WSAGetLastError()));
}

JournalLock::~JournalLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool JournalLock::Acquire(const std::string& path, std::string* error) {
  const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = SystemErrorText(GetLastError());
    return false;
  }
  handle_ = reinterpret_cast<long long>(file);
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD code = GetLastError();
    *error = code == ERROR_LOCK_VIOLATION ? "another vexolantd uses this journal"
                                          : SystemErrorText(code);
    return false;
  }
  return true;
}

}  // namespace vexolant::service
