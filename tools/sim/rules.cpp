#include "sim/rules.h"

#include <charconv>
#include <climits>
#include <cstddef>

namespace vexolant::sim {

namespace {

using Args = std::vector<std::string>;

// The longest wait a rule can ask for: a delay, or a gap between pieces.
constexpr int kMaxWaitMs = 60000;

// A step word, the number of arguments it takes (separated by ':'), and what
// it does to the script. Words whose argument is text take the rest of the
// rule, commas and colons included.
struct StepWord {
  const char* word;
  size_t minArgs, maxArgs;
  bool restIsText;
  bool (*apply)(const Args& args, Script& script, std::string* error);
};

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

bool ParseNumber(const std::string& text, int min, int max, int* value) {
  const char* first = text.data();
  const char* last = first + text.size();
  while (first < last && *first == ' ') ++first;
  while (last > first && last[-1] == ' ') --last;
  const auto [end, ec] = std::from_chars(first, last, *value);
  return ec == std::errc() && end == last && first != last && *value >= min && *value <= max;
}

bool Number(const std::string& word, const std::string& text, int min, int max, int* value,
            std::string* error) {
  if (ParseNumber(text, min, max, value)) return true;
  return Fail(error, word + ": \"" + text + "\" is not a number from " + std::to_string(min) +
                         (max == INT_MAX ? " up" : " to " + std::to_string(max)));
}

bool IsFinal(const Step& step) {
  return step.count == 0;
}

bool AddStep(Script& script, Answer answer, int count, std::string* error) {
  if (!script.steps.empty() && IsFinal(script.steps.back())) {
    return Fail(error, std::string(AnswerName(answer)) + ": the answer \"" +
                           AnswerName(script.steps.back().answer) + "\" is already given");
  }
  script.steps.push_back({answer, count});
  return true;
}

bool StatusBytes(const std::string& word, const Args& args, Script& script, std::string* error) {
  if (args.empty()) return true;
  if (!ParseHex(args[0], &script.status) ||
      (script.status.size() != 2 && script.status.size() != 6)) {
    return Fail(error, word + ": status bytes are 2 or 6 hex bytes, such as 4040");
  }
  return true;
}

bool TriesOrFinal(Answer answer, const Args& args, Script& script, std::string* error) {
  int count = 0;
  if (!args.empty() && !Number(AnswerName(answer), args[0], 1, INT_MAX, &count, error)) {
    return false;
  }
  return AddStep(script, answer, count, error);
}

bool ApplyAck(const Args&, Script& s, std::string* e) {
  return AddStep(s, Answer::Ack, 0, e);
}
bool ApplyNak(const Args& a, Script& s, std::string* e) {
  return TriesOrFinal(Answer::Nak, a, s, e);
}
bool ApplySilent(const Args& a, Script& s, std::string* e) {
  return TriesOrFinal(Answer::Silent, a, s, e);
}
bool ApplyStatus(const Args& a, Script& s, std::string* e) {
  return StatusBytes("status", a, s, e) && AddStep(s, Answer::Status, 0, e);
}
bool ApplyRefuse(const Args& a, Script& s, std::string* e) {
  return StatusBytes("refuse", a, s, e) && AddStep(s, Answer::Refuse, 0, e);
}
bool ApplyGarbage(const Args& a, Script& s, std::string* e) {
  if (!ParseHex(a[0], &s.raw) || s.raw.empty()) {
    return Fail(e, "garbage: give the bytes in hex, such as 41FF");
  }
  return AddStep(s, Answer::Garbage, 0, e);
}
bool ApplyBlock(const Args& a, Script& s, std::string* e) {
  return Unescape(a[0], false, &s.texts, e) && AddStep(s, Answer::Block, 0, e);
}
bool ApplyReport(const Args& a, Script& s, std::string* e) {
  const size_t colon = a[0].find(':');
  if (colon == std::string::npos) return Fail(e, "report: write report:COUNT:TEXT");
  return Number("report", a[0].substr(0, colon), 1, 100000, &s.blocks, e) &&
         Unescape(a[0].substr(colon + 1), true, &s.texts, e) && AddStep(s, Answer::Report, 0, e);
}
bool ApplyBadLrc(const Args& a, Script& s, std::string* e) {
  s.wrongCheck = 1;
  return a.empty() || Number("badlrc", a[0], 1, INT_MAX, &s.wrongCheck, e);
}
bool ApplySplit(const Args& a, Script& s, std::string* e) {
  return Number("split", a[0], 1, INT_MAX, &s.pacing.pieceSize, e) &&
         Number("split", a[1], 0, kMaxWaitMs, &s.pacing.gapMs, e);
}
// drip:MS is split:1:MS.
bool ApplyDrip(const Args& a, Script& s, std::string* e) {
  s.pacing.pieceSize = 1;
  return Number("drip", a[0], 0, kMaxWaitMs, &s.pacing.gapMs, e);
}
bool ApplyDelay(const Args& a, Script& s, std::string* e) {
  return Number("delay", a[0], 0, kMaxWaitMs, &s.pacing.delayMs, e);
}
bool ApplyStop(const Args& a, Script& s, std::string* e) {
  return Number("stop", a[0], 0, INT_MAX, &s.stopAfter, e);
}
bool ApplyHangup(const Args& a, Script& s, std::string* e) {
  return Number("hangup", a[0], 0, INT_MAX, &s.hangupAfter, e);
}
bool ApplyEtb(const Args&, Script& s, std::string*) {
  s.lastEtb = true;
  return true;
}

constexpr StepWord kStepWords[] = {
    {"ack", 0, 0, false, ApplyAck},       {"nak", 0, 1, false, ApplyNak},
    {"silent", 0, 1, false, ApplySilent}, {"status", 0, 1, false, ApplyStatus},
    {"refuse", 0, 1, false, ApplyRefuse}, {"garbage", 1, 1, false, ApplyGarbage},
    {"block", 1, 1, true, ApplyBlock},    {"report", 1, 1, true, ApplyReport},
    {"badlrc", 0, 1, false, ApplyBadLrc}, {"split", 2, 2, false, ApplySplit},
    {"drip", 1, 1, false, ApplyDrip},     {"delay", 1, 1, false, ApplyDelay},
    {"stop", 1, 1, false, ApplyStop},     {"hangup", 1, 1, false, ApplyHangup},
    {"etb", 0, 0, false, ApplyEtb},
};

const StepWord* FindWord(const std::string& word) {
  for (const StepWord& w : kStepWords) {
    if (word == w.word) return &w;
  }
  return nullptr;
}

Args SplitColons(const std::string& text) {
  Args args;
  size_t start = 0;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    args.push_back(text.substr(start, colon - start));
  }
  args.push_back(text.substr(start));
  return args;
}

int FrameCount(const Script& s) {
  switch (s.steps.back().answer) {
    case Answer::Status:
    case Answer::Refuse:
    case Answer::Block:
      return 1;
    case Answer::Report:
      return s.blocks;
    default:
      return 0;
  }
}

// Supplies the default answer and checks that the faults fit the answer.
bool Finish(Script& s, bool enq, std::string* error) {
  if (s.steps.empty() || !IsFinal(s.steps.back())) {
    s.steps.push_back({enq || s.wrongCheck > 0 ? Answer::Status : Answer::Ack, 0});
  }
  const Answer answer = s.steps.back().answer;
  const int frames = FrameCount(s);
  const bool chain = answer == Answer::Refuse || answer == Answer::Report;
  const std::string name = AnswerName(answer);
  if (s.wrongCheck > frames) {
    return Fail(error, "badlrc:" + std::to_string(s.wrongCheck) + ": \"" + name + "\" sends " +
                           std::to_string(frames) + " frame(s)");
  }
  if (s.lastEtb && frames == 0) return Fail(error, "etb: \"" + name + "\" sends no frame");
  for (const auto& [word, after] : {std::pair{"stop", s.stopAfter}, {"hangup", s.hangupAfter}}) {
    if (after < 0) continue;
    if (!chain) return Fail(error, std::string(word) + ": only refuse and report send in steps");
    if (after >= frames) {
      return Fail(error, std::string(word) + ":" + std::to_string(after) + ": \"" + name +
                             "\" sends only " + std::to_string(frames) + " frame(s)");
    }
  }
  return true;
}

std::string ReplaceNumber(const std::string& text, int number) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == 'd' || text[i + 1] == '%')) {
      out += text[i + 1] == 'd' ? std::to_string(number) : "%";
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool ParseScript(const std::string& steps, bool enq, Script* script, std::string* error) {
  *script = Script{};
  size_t pos = 0;
  while (pos < steps.size()) {
    while (pos < steps.size() && steps[pos] == ' ') ++pos;
    const size_t wordEnd = std::min(steps.find_first_of(":,", pos), steps.size());
    std::string word = steps.substr(pos, wordEnd - pos);
    while (!word.empty() && word.back() == ' ') word.pop_back();
    const StepWord* w = FindWord(word);
    if (w == nullptr) return Fail(error, "unknown step \"" + word + "\"");
    size_t end = w->restIsText ? steps.size() : std::min(steps.find(',', wordEnd), steps.size());
    Args args;
    if (wordEnd < steps.size() && steps[wordEnd] == ':') {
      const std::string text = steps.substr(wordEnd + 1, end - wordEnd - 1);
      args = w->restIsText ? Args{text} : SplitColons(text);
    }
    if (args.size() < w->minArgs || args.size() > w->maxArgs) {
      return Fail(error, word + ": takes " + std::to_string(w->minArgs) +
                             (w->maxArgs > w->minArgs ? " or " + std::to_string(w->maxArgs) : "") +
                             " argument(s)");
    }
    if (!w->apply(args, *script, error)) return false;
    pos = end + 1;
  }
  return Finish(*script, enq, error);
}

bool ParseRule(const std::string& line, Rule* rule, std::string* error) {
  *rule = Rule{};
  rule->source = line;
  const size_t equals = line.find('=');
  if (equals == std::string::npos) return Fail(error, "expected PREFIX=STEPS");
  const std::string prefix = line.substr(0, equals);
  rule->enq = prefix == kEnqPrefix;
  if (!rule->enq) {
    std::vector<std::string> texts;
    if (!Unescape(prefix, false, &texts, error)) return false;
    rule->prefix = texts[0];
  }
  return ParseScript(line.substr(equals + 1), rule->enq, &rule->script, error);
}

std::vector<Rule> ParseRuleFile(const std::string& text, std::vector<std::string>* errors) {
  std::vector<Rule> rules;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    line.erase(0, first == std::string::npos ? line.size() : first);
    if (line.empty() || line[0] == '#') continue;
    Rule rule;
    std::string error;
    if (ParseRule(line, &rule, &error)) {
      rules.push_back(rule);
    } else {
      errors->push_back(std::to_string(number) + ": " + error);
    }
  }
  return rules;
}

bool Unescape(const std::string& text, bool split, std::vector<std::string>* texts,
              std::string* error) {
  static constexpr struct {
    char letter, byte;
  } kEscapes[] = {{'\\', '\\'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}, {'|', '|'}};
  texts->assign(1, "");
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (split && c == '|') {
      texts->emplace_back();
      continue;
    }
    if (c != '\\') {
      texts->back() += c;
      continue;
    }
    if (++i == text.size()) return Fail(error, "a backslash ends the text");
    bool known = false;
    for (const auto& e : kEscapes) {
      if (e.letter == text[i]) {
        texts->back() += e.byte;
        known = true;
      }
    }
    Bytes hex;
    if (!known && text[i] == 'x' && i + 2 < text.size() && ParseHex(text.substr(i + 1, 2), &hex) &&
        hex.size() == 1) {
      texts->back() += static_cast<char>(hex[0]);
      i += 2;
      known = true;
    }
    if (!known) return Fail(error, std::string("unknown escape \\") + text[i]);
  }
  return true;
}

int MatchRule(const std::vector<Rule>& rules, bool enq, const std::string& text) {
  for (size_t i = 0; i < rules.size(); ++i) {
    if (rules[i].enq == enq && (enq || text.starts_with(rules[i].prefix))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

Answer NextAnswer(Rule& rule) {
  int index = rule.tries++;
  Answer answer = rule.script.steps.back().answer;
  for (const Step& step : rule.script.steps) {
    if (IsFinal(step) || index < step.count) {
      answer = step.answer;
      break;
    }
    index -= step.count;
  }
  if (answer != Answer::Nak && answer != Answer::Silent) rule.tries = 0;
  return answer;
}

std::string BlockText(const Script& script, int number) {
  if (script.texts.empty()) return "";
  const size_t index = std::min(static_cast<size_t>(number - 1), script.texts.size() - 1);
  return ReplaceNumber(script.texts[index], number);
}

const char* AnswerName(Answer answer) {
  static constexpr const char* kNames[] = {"ack",    "nak",    "silent", "status",
                                           "refuse", "report", "block",  "garbage"};
  return kNames[static_cast<int>(answer)];
}

}  // namespace vexolant::sim
