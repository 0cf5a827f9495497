#include "printer/command_file.h"

#include "platform/plain_file.h"

namespace vexolant {

namespace {

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

CommandFileRead ReadCommandFile(const char* path, std::string* text, uint32_t idleMs) {
  text->clear();
  if (path == nullptr) return CommandFileRead::NotOpened;
  // A path that names something else was found and refused, as a directory
  // that opens but cannot be read always was.
  bool found = false;
  const int error = ReadWholeFile(path, kCommandFileLimit, idleMs, text, &found);
  if (error == 0) return CommandFileRead::Read;
  return found ? CommandFileRead::Unreadable : CommandFileRead::NotOpened;
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
