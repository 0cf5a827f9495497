// Opening the files the tool is given by name: the port file, the command
// file, the trace file and the uploads' output files. Only a regular file or a character device is
// taken. On POSIX the open does not wait (opening a FIFO waits for its other
// end, possibly forever) and anything else (a FIFO, a socket, a directory) is
// refused; on Windows it is a plain fopen.
#pragma once

#include <cstddef>
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

// A person's text for an error of OpenPlainFile.
std::string PlainFileErrorText(int error);

}  // namespace vexolant
