#include "platform/plain_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vexolant {

namespace {

const char* Mode(PlainFileUse use) {
  switch (use) {
    case PlainFileUse::Read:
      return "rb";
    case PlainFileUse::Append:
      return "a";
    default:
      return "wb";
  }
}

#ifndef _WIN32
bool IsPlain(const struct stat& info) {
  return S_ISREG(info.st_mode) || S_ISCHR(info.st_mode);
}

// A failed open tells why in errno; a FIFO without a reader fails with ENXIO,
// so the kind of what is there, when it is known, says more.
int OpenFailure(const char* path) {
  const int failure = errno;
  struct stat info {};
  if (stat(path, &info) == 0 && !IsPlain(info)) return kNotPlainFile;
  return failure != 0 ? failure : EIO;
}
#endif

}  // namespace

FILE* OpenPlainFile(const char* path, PlainFileUse use, int* error) {
  errno = 0;
#ifdef _WIN32
  FILE* file = std::fopen(path, Mode(use));
  *error = file != nullptr ? 0 : (errno != 0 ? errno : EIO);
  return file;
#else
  const int flags = use == PlainFileUse::Read     ? O_RDONLY
                    : use == PlainFileUse::Append ? O_WRONLY | O_APPEND | O_CREAT
                                                  : O_WRONLY | O_TRUNC | O_CREAT;
  const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = OpenFailure(path);
    return nullptr;
  }
  struct stat info {};
  const bool known = fstat(fd, &info) == 0;
  if (!known || !IsPlain(info)) {
    *error = known ? kNotPlainFile : (errno != 0 ? errno : EIO);
    close(fd);
    return nullptr;
  }
  // Reads and writes wait for data as they always did; only the open must not.
  const int status = fcntl(fd, F_GETFL);
  FILE* file = nullptr;
  if (status != -1 && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != -1) {
    file = fdopen(fd, Mode(use));
  }
  if (file == nullptr) {
    *error = errno != 0 ? errno : EIO;
    close(fd);
    return nullptr;
  }
  *error = 0;
  return file;
#endif
}

int WriteWholeFile(const char* path, const char* bytes, size_t length) {
#ifdef _WIN32
  int error = 0;
  FILE* file = OpenPlainFile(path, PlainFileUse::Replace, &error);
  if (file == nullptr) return error;
  errno = 0;
  if (std::fwrite(bytes, 1, length, file) != length) error = errno != 0 ? errno : EIO;
  if (std::fclose(file) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  return error;
#else
  errno = 0;
  const int fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return OpenFailure(path);
  struct stat info {};
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!IsPlain(info)) {
    error = kNotPlainFile;
  }
  size_t done = 0;
  while (error == 0 && done < length) {
    const ssize_t n = write(fd, bytes + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    } else if (n == 0) {
      error = EIO;
    }
  }
  // What is left of a longer earlier content goes; a device has none.
  if (error == 0 && S_ISREG(info.st_mode) && info.st_size != static_cast<off_t>(length) &&
      ftruncate(fd, static_cast<off_t>(length)) != 0) {
    error = errno;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
#endif
}

#ifdef _WIN32
int ReadWholeFile(const char* path, size_t limit, uint32_t, std::string* text, bool* found) {
  text->clear();
  int error = 0;
  FILE* file = OpenPlainFile(path, PlainFileUse::Read, &error);
  *found = file != nullptr;
  if (file == nullptr) return error;
  constexpr size_t kChunk = 64 * 1024;
  // One byte past the limit shows a file that is too long.
  for (size_t room = limit + 1; room > 0;) {
    const size_t want = std::min(room, kChunk);
    const size_t had = text->size();
    text->resize(had + want);
    const size_t got = std::fread(text->data() + had, 1, want, file);
    text->resize(had + got);
    room -= got;
    if (got < want) break;
  }
  if (std::ferror(file) != 0) error = errno != 0 ? errno : EIO;
  std::fclose(file);
  if (error == 0 && text->size() > limit) error = kFileTooLong;
  if (error != 0) text->clear();
  return error;
}
#else
namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads fd (non-blocking) to its end into *text, at most limit + 1 bytes,
// waiting with poll for a pipe or device that has no byte yet, up to idleMs
// after the last byte (or the start). A FIFO that no writer has opened yet
// reads as its end, as one whose writers have gone does: for a FIFO the end
// counts only once poll has reported a writer (its bytes or its close), so
// the writer may come after the reader, within the same idle bound. Until a
// writer opens it, Linux's poll reports nothing on such a FIFO.
int ReadToEnd(int fd, size_t limit, uint32_t idleMs, bool fifo, std::string* text) {
  constexpr size_t kChunk = 64 * 1024;
  int64_t deadline = SteadyMs() + idleMs;
  bool writerSeen = !fifo;
  for (;;) {
    const size_t had = text->size();
    if (had > limit) return kFileTooLong;
    const size_t want = std::min(limit + 1 - had, kChunk);
    text->resize(had + want);
    const ssize_t n = read(fd, text->data() + had, want);
    text->resize(had + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) {
      writerSeen = true;
      deadline = SteadyMs() + idleMs;
      continue;
    }
    if (n == 0 && writerSeen) return 0;  // the end: the writers have gone
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    const int64_t left = deadline - SteadyMs();
    if (left <= 0) return kFileStalled;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return errno;
    // Whatever poll reports (bytes, a hang-up), the next read tells; after a
    // time-out the deadline does.
    if (ready > 0) writerSeen = true;
  }
}

}  // namespace

int ReadWholeFile(const char* path, size_t limit, uint32_t idleMs, std::string* text, bool* found) {
  text->clear();
  errno = 0;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = OpenFailure(path);
    *found = error == kNotPlainFile;
    return error;
  }
  *found = true;
  struct stat info {};
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!IsPlain(info) && !S_ISFIFO(info.st_mode)) {
    error = kNotPlainFile;
  }
  if (error == 0) error = ReadToEnd(fd, limit, idleMs, S_ISFIFO(info.st_mode), text);
  close(fd);
  if (error != 0) text->clear();
  return error;
}
#endif

std::string PlainFileErrorText(int error) {
  if (error == kNotPlainFile) return "it is not a regular file or a character device";
  return std::strerror(error);
}

}  // namespace vexolant
