#include "printer/command_file.h"

#include <algorithm>
#include <cstdio>

#include "platform/plain_file.h"

namespace vexolant {

namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr unsigned char kEndOfText = 0x1A;
constexpr int kNoByte = -1;

// The next byte of the text: a CR LF pair reads as LF, and 0x1A ends the text
// for good, wherever in a line it stands.
int NextTextByte(CommandReader* reader) {
  const std::string_view text = reader->text;
  if (reader->next >= text.size()) return kNoByte;
  const auto c = static_cast<unsigned char>(text[reader->next++]);
  if (c == kEndOfText) {
    reader->next = text.size();
    return kNoByte;
  }
  if (c == '\r' && reader->next < text.size() && text[reader->next] == '\n') {
    ++reader->next;
    return '\n';
  }
  return c;
}

}  // namespace

CommandFileRead ReadCommandFile(const char* path, std::string* text) {
  text->clear();
  int openError = 0;
  FILE* file = path != nullptr ? OpenPlainFile(path, PlainFileUse::Read, &openError) : nullptr;
  // A path that names something else was found and refused, as a directory
  // that opens but cannot be read always was.
  if (file == nullptr) {
    return openError == kNotPlainFile ? CommandFileRead::Unreadable : CommandFileRead::NotOpened;
  }
  // One byte past the limit shows a file that is too long.
  for (size_t room = kCommandFileLimit + 1; room > 0;) {
    const size_t want = std::min(room, kReadChunk);
    const size_t had = text->size();
    text->resize(had + want);
    const size_t got = std::fread(text->data() + had, 1, want, file);
    text->resize(had + got);
    room -= got;
    if (got < want) break;
  }
  const bool failed = std::ferror(file) != 0 || text->size() > kCommandFileLimit;
  std::fclose(file);
  if (!failed) return CommandFileRead::Read;
  text->clear();
  return CommandFileRead::Unreadable;
}

bool NextCommandLine(CommandReader* reader, std::string* line) {
  for (;;) {
    line->clear();
    int c = kNoByte;
    while (line->size() < kCommandLinePiece && (c = NextTextByte(reader)) != kNoByte) {
      line->push_back(static_cast<char>(c));
      if (c == '\n') break;
    }
    if (line->empty()) return false;
    if (static_cast<unsigned char>((*line)[0]) >= 0x20) return true;
  }
}

}  // namespace vexolant
