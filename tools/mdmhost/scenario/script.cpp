// Parsing: tokens of a line, data, expected results, the script as a whole; checking a request's
// result against what a line expects.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <strings.h>

#include "scenario/scenario.h"
#include "host/objects.h"
#include "sim/at_modem.h"

namespace mdmhost::scenario {

// ---- Args -----------------------------------------------------------------------------------------

const Token& Args::Peek() const {
  static const Token kEnd{Token::Word, "", 0};
  return AtEnd() ? kEnd : tokens_[pos_];
}

const Token& Args::Next() {
  if (AtEnd()) Error("the line ends too soon");
  return tokens_[pos_++];
}

bool Args::PeekWord(const char* word) const {
  return !AtEnd() && tokens_[pos_].kind == Token::Word &&
         strcasecmp(tokens_[pos_].text.c_str(), word) == 0;
}

bool Args::Take(const char* word) {
  if (!PeekWord(word)) return false;
  ++pos_;
  return true;
}

std::string Args::Word(const char* what) {
  if (AtEnd() || AtArrow()) Error(std::string("expected ") + what);
  const Token& t = tokens_[pos_];
  if (t.kind != Token::Word) Error(std::string("expected ") + what + ", found a string");
  ++pos_;
  return t.text;
}

uint64_t Args::Number(const char* what) {
  std::string w = Word(what);
  auto n = ParseNumber(w);
  if (!n) Error(std::string("expected ") + what + " (a number), found '" + w + "'");
  return *n;
}

uint32_t Args::Value(const char* what) {
  std::string w = Word(what);
  auto v = ParseValue(w);
  if (!v) Error(std::string("expected ") + what + " (a number or a known constant), found '" + w + "'");
  return *v;
}

NTSTATUS Args::Status(const char* what) {
  std::string w = Word(what);
  auto s = ParseStatus(w);
  if (!s) Error("unknown status '" + w + "' (write SUCCESS, STATUS_CANCELLED, 0xC0000001, ...)");
  return *s;
}

int64_t Args::Duration() {
  std::string w = Word("a duration (500ms, 2s, 100us)");
  auto d = ParseDuration(w);
  if (!d) Error("expected a duration such as 500ms, 2s or 100us, found '" + w + "'");
  return *d;
}

std::optional<int64_t> Args::Within() {
  if (!Take("within")) return std::nullopt;
  return Duration();
}

std::string Args::RestText() const {
  return AtEnd() ? "" : NormalizeSpaces(line_.substr(tokens_[pos_].column));
}

std::string Args::Rest() {
  std::string rest = RestText();
  SkipToEnd();
  return rest;
}

void Args::End() {
  if (!AtEnd()) Error("unexpected '" + tokens_[pos_].text + "'");
}

void Args::Error(const std::string& message) const { throw ParseError(message); }

// ---- Data -----------------------------------------------------------------------------------------

uint8_t PatternByte(uint64_t i) { return sim::StreamPatternByte(i); }

static bool IsHexByte(const std::string& w) {
  return w.size() == 2 && std::isxdigit(static_cast<unsigned char>(w[0])) &&
         std::isxdigit(static_cast<unsigned char>(w[1]));
}

std::optional<std::vector<uint8_t>> ParseData(Args& args) {
  std::optional<std::vector<uint8_t>> data;
  while (!args.AtEnd() && !args.AtArrow()) {
    if (args.PeekString()) {
      const std::string& s = args.Next().text;
      if (!data) data.emplace();
      data->insert(data->end(), s.begin(), s.end());
    } else if (args.Take("bytes")) {
      if (!data) data.emplace();
      size_t before = data->size();
      while (!args.AtEnd() && args.Peek().kind == Token::Word && IsHexByte(args.Peek().text)) {
        data->push_back(static_cast<uint8_t>(std::stoul(args.Next().text, nullptr, 16)));
      }
      if (data->size() == before && !args.AtEnd() && !args.AtArrow()) {
        args.Error("'bytes' is followed by two-digit hex bytes, found '" + args.Peek().text + "'");
      }
    } else if (args.Take("pattern")) {
      uint64_t count = args.Number("a byte count after 'pattern'");
      uint64_t from = 0;
      if (args.Take("from")) from = args.Number("a start index after 'from'");
      if (count > (64u << 20)) args.Error("a pattern of more than 64 MiB");
      if (!data) data.emplace();
      for (uint64_t i = 0; i < count; ++i) data->push_back(PatternByte(from + i));
    } else if (args.Take("wide")) {
      // UTF-16LE code units of a text, as the registry and the kernel's strings hold it (no
      // terminator unless the text has one: "COM7\0").
      if (!args.PeekString()) args.Error("'wide' is followed by a text in quotes");
      if (!data) data.emplace();
      for (char16_t unit : host::objects::ToUtf16(args.Next().text)) {
        data->push_back(static_cast<uint8_t>(unit & 0xFF));
        data->push_back(static_cast<uint8_t>(unit >> 8));
      }
    } else if (args.Take("empty")) {
      if (!data) data.emplace();
    } else {
      break;
    }
  }
  return data;
}

// ---- Results --------------------------------------------------------------------------------------

ResultSpec ParseResult(Args& args) {
  ResultSpec spec;
  spec.given = true;
  spec.text = args.RestText();
  Args& rest = args;
  if (rest.Take("any")) {
    spec.any = true;
    if (!rest.AtEnd()) rest.Error("'-> any' records the result as it is: nothing may follow it");
    return spec;
  }
  {
    // One status, or several joined by '|' (any of them is accepted).
    std::string w = rest.Word("a status after '->' (or 'any')");
    spec.statuses.clear();
    size_t from = 0;
    while (true) {
      size_t bar = w.find('|', from);
      std::string one = w.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
      auto s = ParseStatus(one);
      if (!s) rest.Error("unknown status '" + one + "' (write SUCCESS, STATUS_CANCELLED, 0xC0000001, ...)");
      spec.statuses.push_back(*s);
      if (bar == std::string::npos) break;
      from = bar + 1;
    }
    spec.status = spec.statuses.front();
  }
  while (!rest.AtEnd()) {
    if (rest.Take("info")) {
      spec.information = rest.Number("the Information after 'info'");
      continue;
    }
    if (rest.Take("crc32")) {
      uint64_t crc = rest.Number("the CRC-32 of the bytes returned");
      if (crc > 0xFFFFFFFFull) rest.Error("a CRC-32 has 32 bits");
      spec.crc32 = static_cast<uint32_t>(crc);
      continue;
    }
    if (auto data = ParseData(rest)) {
      if (spec.data) rest.Error("two data expectations");
      spec.data = std::move(*data);
      continue;
    }
    std::string w = rest.Word("an expected value");
    size_t eq = w.find('=');
    if (eq != std::string::npos) {
      auto v = ParseValue(w.substr(eq + 1));
      if (!v || eq == 0) rest.Error("expected Name=value, found '" + w + "'");
      spec.fields.emplace_back(w.substr(0, eq), *v);
      continue;
    }
    auto v = ParseValue(w);
    if (!v) rest.Error("unexpected '" + w + "' in the expected result");
    if (spec.bare) rest.Error("two bare values in the expected result ('" + w + "')");
    spec.bare = *v;
  }
  return spec;
}

ResultSpec ParseOptionalResult(Args& args) {
  if (args.AtArrow()) {
    args.Next();
    return ParseResult(args);
  }
  return {};
}

static std::string Hex(uint64_t v) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(v));
  return buffer;
}

std::string DescribeResult(const RequestKind& kind, const host::app::IoResult& result) {
  std::string out = StatusName(result.status);
  out += " info " + std::to_string(result.information);
  if (kind.kind == RequestKind::Read) {
    out += " " + Quote(result.output);
  } else if (kind.kind == RequestKind::Control && !result.output.empty()) {
    if (kind.code != nullptr && kind.code->output != nullptr) {
      out += " " + FormatRecord(*kind.code->output, result.output);
    } else {
      out += " bytes";
      for (uint8_t b : result.output) {
        char buffer[4];
        std::snprintf(buffer, sizeof buffer, " %02X", b);
        out += buffer;
      }
    }
  }
  return out;
}

void CheckResult(const ResultSpec& spec, const RequestKind& kind,
                 const host::app::IoResult& result) {
  if (!spec.given || spec.any) return;
  const std::string actual = DescribeResult(kind, result);
  if (!spec.Accepts(result.status)) {
    throw Failure{"wrong status", "-> " + spec.text, actual};
  }
  if (spec.information && result.information != *spec.information) {
    throw Failure{"wrong Information", "info " + std::to_string(*spec.information), actual};
  }
  if (spec.data) {
    CheckBytes("wrong bytes returned", *spec.data, result.output);
    if (kind.kind == RequestKind::Read && !spec.information &&
        result.information != spec.data->size()) {
      throw Failure{"wrong Information", "info " + std::to_string(spec.data->size()), actual};
    }
  }
  if (spec.crc32 && Crc32(result.output) != *spec.crc32) {
    throw Failure{"wrong bytes returned (CRC-32)", "crc32 " + Hex(*spec.crc32),
                  "crc32 " + Hex(Crc32(result.output)) + " of " +
                      std::to_string(result.output.size()) + " bytes"};
  }
  const Record* record = kind.kind == RequestKind::Control && kind.code ? kind.code->output : nullptr;
  if (spec.bare) {
    if (record != nullptr && record->fields.size() == 1) {
      const Field& f = record->fields[0];
      if (result.output.size() < f.offset + f.size) {
        throw Failure{"no " + std::string(f.name) + " returned", FormatField(f, *spec.bare), actual};
      }
      uint32_t got = GetField(result.output, f);
      if (got != *spec.bare) {
        std::string expected = FormatField(f, *spec.bare);
        std::string seen = FormatField(f, got);
        if (f.name == std::string("Events") || f.name == std::string("Mask")) {
          expected += " (" + EventMaskText(*spec.bare) + ")";
          seen += " (" + EventMaskText(got) + ")";
        } else if (f.name == std::string("ModemStatus")) {
          expected += " (" + ModemStatusText(*spec.bare) + ")";
          seen += " (" + ModemStatusText(got) + ")";
        }
        throw Failure{"wrong " + std::string(f.name), expected, seen};
      }
    } else if (result.information != *spec.bare) {
      throw Failure{"wrong Information", "info " + std::to_string(*spec.bare), actual};
    }
  }
  for (const auto& [name, value] : spec.fields) {
    if (record == nullptr) {
      throw Failure{"the request returns no record with fields", name + "=" + Hex(value), actual};
    }
    const Field* f = record->Find(name);
    if (f == nullptr) {
      std::string known;
      for (const Field& k : record->fields) known += std::string(known.empty() ? "" : ", ") + k.name;
      throw Failure{std::string(record->name) + " has no field " + name, known, ""};
    }
    if (result.output.size() < f->offset + f->size) {
      throw Failure{std::string("no ") + f->name + " returned", FormatField(*f, value), actual};
    }
    uint32_t got = GetField(result.output, *f);
    uint32_t want = f->size == 4 ? value : (value & ((1u << (8 * f->size)) - 1));
    if (got != want) {
      throw Failure{"wrong " + std::string(f->name), FormatField(*f, value), FormatField(*f, got)};
    }
  }
}

void JudgeResult(Runner& r, const ResultSpec& spec, const RequestKind& kind,
                 const host::app::IoResult& result, const std::string& what) {
  if (spec.any) {
    r.Record(what + " -> " + DescribeResult(kind, result));
  } else if (spec.given) {
    CheckResult(spec, kind, result);
  } else if (!NT_SUCCESS(result.status)) {
    throw Failure{what + " failed", "success", DescribeResult(kind, result)};
  }
}

uint32_t Crc32(const std::vector<uint8_t>& bytes) {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

static std::string HexBytes(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  std::string out;
  for (size_t i = from; i < bytes.size() && i < from + count; ++i) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%02X ", bytes[i]);
    out += buffer;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// Short byte strings are shown whole; long ones by their length and the first byte that differs,
// with 16 bytes from there, so that a lost, repeated or misplaced run in a large transfer shows
// where it starts.
void CheckBytes(const std::string& message, const std::vector<uint8_t>& expected,
                const std::vector<uint8_t>& actual) {
  if (expected == actual) return;
  constexpr size_t kWhole = 64;
  if (expected.size() <= kWhole && actual.size() <= kWhole) {
    throw Failure{message, Quote(expected), Quote(actual)};
  }
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  auto describe = [at](const std::vector<uint8_t>& bytes) {
    std::string text = std::to_string(bytes.size()) + " bytes";
    if (at < bytes.size()) {
      text += "; from byte " + std::to_string(at) + ": " + HexBytes(bytes, at, 16);
    } else {
      text += "; nothing from byte " + std::to_string(at);
    }
    return text;
  };
  throw Failure{message + " (the first difference is at byte " + std::to_string(at) + ")",
                describe(expected), describe(actual)};
}

std::string DumpResult(const RequestKind& kind, const host::app::IoResult& result) {
  std::string out = "status " + StatusName(result.status) + ", Information " +
                    std::to_string(result.information);
  const std::vector<uint8_t>& b = result.output;
  if (b.empty()) return out + ", no bytes returned";
  out += "\n    " + std::to_string(b.size()) + " bytes returned, crc32 " + Hex(Crc32(b));
  constexpr size_t kShown = 4096;
  for (size_t row = 0; row < b.size() && row < kShown; row += 16) {
    char offset[16];
    std::snprintf(offset, sizeof offset, "%06zX  ", row);
    std::string hex = HexBytes(b, row, 16);
    hex.resize(16 * 3, ' ');
    std::string text;
    for (size_t i = row; i < b.size() && i < row + 16; ++i) {
      text += b[i] >= 0x20 && b[i] < 0x7F ? static_cast<char>(b[i]) : '.';
    }
    out += "\n    " + std::string(offset) + hex + " " + text;
  }
  if (b.size() > kShown) out += "\n    ... (" + std::to_string(b.size() - kShown) + " bytes more)";
  if (kind.kind == RequestKind::Control && kind.code != nullptr && kind.code->output != nullptr) {
    out += "\n    " + FormatRecord(*kind.code->output, b);
  }
  return out;
}

// ---- Durations -----------------------------------------------------------------------------------

std::optional<int64_t> ParseDuration(const std::string& text) {
  size_t split = 0;
  while (split < text.size() && (std::isdigit(static_cast<unsigned char>(text[split])) ||
                                 text[split] == '_')) {
    ++split;
  }
  if (split == 0) return std::nullopt;
  auto n = ParseNumber(text.substr(0, split));
  if (!n || *n > 1000000000ull) return std::nullopt;
  std::string unit = text.substr(split);
  int64_t v = static_cast<int64_t>(*n);
  if (unit == "ms" || unit.empty()) return v * 10000;
  if (unit == "s") return v * 10000000;
  if (unit == "us") return v * 10;
  if (unit == "min") return v * 600000000;
  return std::nullopt;
}

// ---- The script -----------------------------------------------------------------------------------

static const CommandTable& Commands() {
  static const CommandTable table = [] {
    CommandTable t;
    AddSystemCommands(t);
    AddRequestCommands(t);
    AddDeviceCommands(t);
    AddExpectCommands(t);
    AddThreadCommands(t);
    AddFileCommands(t);
    AddParentCommands(t);
    AddLineCommands(t);
    return t;
  }();
  return table;
}

Statement ParseStep(const std::string& text) {
  std::vector<Token> tokens = Tokenize(text);
  if (tokens.empty() || tokens[0].kind != Token::Word) throw ParseError("expected a step");
  std::string keyword = tokens[0].text;
  for (char& c : keyword) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto it = Commands().find(keyword);
  if (it == Commands().end()) throw ParseError("unknown command '" + tokens[0].text + "'");
  Args args(std::vector<Token>(tokens.begin() + 1, tokens.end()), text);
  return it->second(args);
}

Script ParseScript(const std::string& file, const std::string& text) {
  Script script;
  script.file = file;
  size_t start = 0;
  int lineNumber = 0;
  const CommandTable& commands = Commands();
  // The blocks open at this point, outermost first, and where their lines go. A block's body
  // only grows while it is the innermost one, so the pointers stay valid.
  std::vector<std::vector<Statement>*> into{&script.statements};
  std::vector<const Statement*> open;
  auto error = [&](int line, const std::string& message) {
    script.errors.push_back(file + ":" + std::to_string(line) + ": " + message);
  };
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    ++lineNumber;
    start = end + 1;
    try {
      std::vector<Token> tokens = Tokenize(line);
      if (tokens.empty()) {
        if (end == text.size()) break;
        continue;
      }
      if (tokens[0].kind != Token::Word) throw ParseError("a line starts with a command word");
      std::string keyword = tokens[0].text;
      for (char& c : keyword) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto it = commands.find(keyword);
      if (it == commands.end()) {
        throw ParseError("unknown command '" + tokens[0].text +
                         "' (see docs/scenarios.md or mdmhost run --help)");
      }
      Args args(std::vector<Token>(tokens.begin() + 1, tokens.end()), line);
      Statement statement = it->second(args);
      statement.line = lineNumber;
      statement.text = NormalizeSpaces(line);
      script.lines[lineNumber] = statement.text;
      const bool inThread = std::any_of(open.begin(), open.end(), [](const Statement* b) {
        return b->kind == Statement::Thread;
      });
      switch (statement.kind) {
        case Statement::End:
          if (open.empty()) throw ParseError("'end' closes nothing: no 'thread' or 'repeat' is open");
          open.pop_back();
          into.pop_back();
          break;
        case Statement::Thread:
        case Statement::Repeat:
          into.back()->push_back(std::move(statement));
          open.push_back(&into.back()->back());
          into.push_back(&into.back()->back().body);
          break;
        default:
          if (statement.kind == Statement::Exit && !inThread) {
            throw ParseError("'exit' ends the thread block it is in; the main script is no such block");
          }
          if (statement.mainOnly && inThread) {
            throw ParseError("'" + tokens[0].text + "' moves the clock for everyone, which only the "
                             "main script does; a thread lets time pass with 'sleep'");
          }
          into.back()->push_back(std::move(statement));
          break;
      }
    } catch (const ParseError& e) {
      error(lineNumber, e.what());
    }
    if (end == text.size()) break;
  }
  for (auto b = open.rbegin(); b != open.rend(); ++b) {
    error((*b)->line, "'" + (*b)->text + "' is not closed: an 'end' line closes it");
  }
  return script;
}

}  // namespace mdmhost::scenario
