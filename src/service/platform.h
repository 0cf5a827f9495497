// The parts of vexolantd that differ by system: how it is told to stop, how
// it holds its journal for itself, where its files are by default, and what
// it tells a service manager while it starts.
#pragma once

#ifndef _WIN32
#include <signal.h>
#endif

#include <string>
#include <thread>

namespace vexolant::service {

// The configuration read when none is named.
std::string DefaultConfigPath();

// The reason of the last socket call's failure (errno; WSAGetLastError).
std::string SocketErrorText();

// One service per journal: the lock file is held until the process ends.
class JournalLock {
 public:
  JournalLock() = default;
  ~JournalLock();
  JournalLock(const JournalLock&) = delete;
  JournalLock& operator=(const JournalLock&) = delete;
  // False, with the reason in *error, when the file cannot be locked.
  bool Acquire(const std::string& path, std::string* error);

 private:
  long long handle_ = -1;
};

// What the program around the service does at each step of its life: a
// foreground run on Linux blocks SIGTERM and SIGINT and waits for one; the
// Windows service reports to the service manager and waits for its STOP.
class Lifecycle {
 public:
  virtual ~Lifecycle() = default;
  // Before any thread is started: the stop requests go to WaitForStop alone.
  virtual void TakeStops() {}
  // The start goes on (opening the journal, binding the port).
  virtual void Starting() {}
  // The service takes requests.
  virtual void Running() {}
  // The configuration or the token cannot be used; returns the exit status.
  virtual int ConfigProblem(const std::string& /*problem*/) { return 1; }
  // Returns when the service is asked to stop.
  virtual void WaitForStop() = 0;
  // Makes WaitForStop return in the thread waiting in it, as a stop request.
  virtual void EndWait(std::thread& waiter) = 0;
};

// The service with arguments as on its command line (argv[0] the program).
int RunService(int argc, char** argv, Lifecycle& lifecycle);

#ifndef _WIN32
// SIGTERM or SIGINT stops the service.
class SignalLifecycle : public Lifecycle {
 public:
  void TakeStops() override;
  void WaitForStop() override;
  void EndWait(std::thread& waiter) override;

 private:
  sigset_t signals_{};
};
#else
// The folder of the service's files: %ProgramData%\vexolant.
std::string StateFolder();
// A file of that folder.
std::string StateFile(const std::string& name);
// UTF-8 and the system's UTF-16.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
// The system's text for an error code of GetLastError.
std::string SystemErrorText(unsigned long code);
#endif

}  // namespace vexolant::service
