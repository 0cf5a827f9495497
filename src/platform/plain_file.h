// Opening the files the tool is given by name: the port file, the command
// file, the trace file and the uploads' output files. Only a regular file or
// a character device is taken, and a pipe as a file read whole. On POSIX the
// open does not wait (opening a FIFO waits for its other end, possibly
// forever) and anything else (a socket, a directory; a FIFO but for a whole
// read) is refused; on Windows it is a plain fopen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vexolant {

// The error of a path that names neither a regular file nor a character device.
constexpr int kNotPlainFile = -1;

enum class PlainFileUse {
  Read,     // binary reading ("rb")
  Append,   // text appending, created when missing ("a")
  Replace,  // binary writing, emptied first, created when missing ("wb")
};

// The open stream, or nullptr with the errno value or kNotPlainFile in *error.
FILE* OpenPlainFile(const char* path, PlainFileUse use, int* error);

// Makes the file at path (created when missing) hold exactly bytes[0, length):
// 0, or the errno value or kNotPlainFile. On POSIX a regular file is written
// over in place and cut to length, which costs far less than emptying it
// first (freeing its blocks and taking new ones); the open does not wait.
int WriteWholeFile(const char* path, const char* bytes, size_t length);

// Errors of ReadWholeFile besides those of OpenPlainFile.
constexpr int kFileTooLong = -2;  // more than the limit
constexpr int kFileStalled = -3;  // a pipe or device gave no byte for the idle bound

// Reads the whole file at path into *text (left empty unless it returns 0):
// 0, or the errno value, kNotPlainFile, kFileTooLong or kFileStalled.
// *found is false when nothing could be opened at path. On POSIX a pipe (a
// FIFO, /dev/stdin fed by one, a process substitution) is read too: the open
// never waits, a FIFO that no writer has opened yet is waited for, a pipe
// whose writers have gone reads to its end, and a pipe or device that gives
// no byte for idleMs (from the open, or from its last byte) ends the read. A file longer than limit
// bytes, or a device that keeps giving bytes, is never read past limit + 1
// bytes. On Windows only the limit applies.
int ReadWholeFile(const char* path, size_t limit, uint32_t idleMs, std::string* text, bool* found);

// A person's text for an error of OpenPlainFile.
std::string PlainFileErrorText(int error);

}  // namespace vexolant
