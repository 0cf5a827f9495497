// Rules that change the virtual printer's answers. A rule is written
//
//   PREFIX=STEP[,STEP...]
//
// and applies to every command whose text starts with PREFIX (the empty
// prefix matches every command; the prefix <ENQ> matches the status enquiry).
// The first matching rule wins. The steps name the answer, the tries before
// it, and the faults; the syntax is documented in tools/sim/README.md.
#pragma once

#include <string>
#include <vector>

#include "sim/wire.h"

namespace vexolant::sim {

// What one try of a request gets.
enum class Answer {
  Ack,      // ACK
  Nak,      // NAK
  Silent,   // nothing
  Status,   // a status frame
  Refuse,   // ENQ, then after the ACK a status frame
  Report,   // ENQ, then after each ACK the next block of a chain
  Block,    // one text block
  Garbage,  // raw bytes
};

// How the bytes of an answer go out: after a wait, and in pieces with gaps.
struct Pacing {
  int delayMs = 0;    // wait before the first byte of each answer
  int pieceSize = 0;  // send in pieces of this many bytes (0: whole)
  int gapMs = 0;      // pause between pieces
};

// One step of a script: the answer for count tries (0: every remaining try).
struct Step {
  Answer answer = Answer::Ack;
  int count = 0;
};

struct Script {
  std::vector<Step> steps;         // counted nak/silent steps, then the final answer
  Bytes status;                    // Status/Refuse data bytes; empty: the printer's own
  Bytes raw;                       // Garbage bytes
  int blocks = 0;                  // Report: number of blocks
  std::vector<std::string> texts;  // Block/Report texts; %d is the block number
  int wrongCheck = 0;              // 1-based frame of the reply with a wrong check byte
  Pacing pacing;                   // delay, split and drip
  int stopAfter = -1;              // Refuse/Report: frames sent before going quiet
  int hangupAfter = -1;            // Refuse/Report: frames sent before closing the line
  bool lastEtb = false;            // the last frame ends with ETB instead of ETX
};

struct Rule {
  bool enq = false;    // applies to the status enquiry instead of commands
  std::string prefix;  // command prefix (unescaped)
  Script script;
  std::string source;  // as written, for the log
  int tries = 0;       // tries played since the script last started over
};

// The prefix that makes a rule apply to the status enquiry.
constexpr const char* kEnqPrefix = "<ENQ>";

// Parses the steps of a rule (the part after '='). enq selects the default
// final answer: a status frame for the enquiry, ACK for commands. On failure
// returns false and describes the problem in *error.
bool ParseScript(const std::string& steps, bool enq, Script* script, std::string* error);

// Parses PREFIX=STEPS. The prefix takes the escapes of texts (\xHH, \n, ...).
bool ParseRule(const std::string& line, Rule* rule, std::string* error);

// Parses a rule file: one rule per line; empty lines and lines starting with
// '#' are skipped, leading blanks and a trailing CR are ignored. Errors are
// reported as "LINE: message" with 1-based line numbers; parsing goes on.
std::vector<Rule> ParseRuleFile(const std::string& text, std::vector<std::string>* errors);

// Decodes the escapes \\ \n \r \t \| \xHH. With split set, an unescaped '|'
// separates texts; otherwise it is kept.
bool Unescape(const std::string& text, bool split, std::vector<std::string>* texts,
              std::string* error);

// Index of the first rule for the enquiry (enq) or for a command text, -1 if
// none matches.
int MatchRule(const std::vector<Rule>& rules, bool enq, const std::string& text);

// The answer for the next try of a rule's script; advances the script, and
// starts it over after an answer that ends the exchange (all but NAK and
// silence).
Answer NextAnswer(Rule& rule);

// The text of block number (1-based) of a script: the texts are used in turn,
// the last one repeating; %d becomes the number and %% a percent sign.
std::string BlockText(const Script& script, int number);

// Short name of an answer for the log.
const char* AnswerName(Answer answer);

}  // namespace vexolant::sim
