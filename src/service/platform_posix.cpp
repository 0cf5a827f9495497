#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/platform.h"

namespace vexolant::service {

std::string DefaultConfigPath() {
  return "/etc/vexolant/vexolantd.toml";
}

std::string SocketErrorText() {
  return std::strerror(errno);
}

JournalLock::~JournalLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool JournalLock::Acquire(const std::string& path, std::string* error) {
  const int lock = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    *error = std::strerror(errno);
    return false;
  }
  handle_ = lock;
  if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "another vexolantd uses this journal" : std::strerror(errno);
    return false;
  }
  return true;
}

void SignalLifecycle::TakeStops() {
  // The signals are taken by one thread; every other thread blocks them.
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGTERM);
  sigaddset(&signals_, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void SignalLifecycle::EndWait(std::thread& waiter) {
  pthread_kill(waiter.native_handle(), SIGTERM);
}

void SignalLifecycle::WaitForStop() {
  int signal = 0;
  sigwait(&signals_, &signal);
}

}  // namespace vexolant::service
