#include "platform/plain_file.h"

#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
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

std::string PlainFileErrorText(int error) {
  if (error == kNotPlainFile) return "it is not a regular file or a character device";
  return std::strerror(error);
}

}  // namespace vexolant
