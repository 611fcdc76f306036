// Lines of a scenario file split into tokens: words, quoted strings (with C-like escapes), and the
// arrow "->" that introduces an expected result. A '#' outside a string starts a comment.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace mdmhost::scenario {

struct Token {
  enum Kind { Word, String, Arrow } kind = Word;
  std::string text;  // Word: as written; String: the bytes after escapes
  size_t column = 0;  // 0-based position in the line
};

// A problem with the text of a line; the message is what the reader sees after "file:line: ".
struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Splits one line. Throws ParseError for an unterminated string or a bad escape.
std::vector<Token> Tokenize(const std::string& line);

// The line without its comment, with runs of blanks made single spaces and trimmed.
std::string NormalizeSpaces(const std::string& text);

// Escapes bytes for display: printable ASCII as is, \r \n \t \" \\, others as \xHH.
std::string Quote(const std::vector<uint8_t>& bytes, size_t limit = 200);
std::string Quote(const std::string& bytes, size_t limit = 200);

}  // namespace mdmhost::scenario
