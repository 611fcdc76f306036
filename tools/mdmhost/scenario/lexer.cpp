#include "scenario/lexer.h"

#include <cctype>
#include <cstdio>

namespace mdmhost::scenario {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::vector<Token> Tokenize(const std::string& line) {
  std::vector<Token> tokens;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n) {
    if (Blank(line[i])) {
      ++i;
      continue;
    }
    if (line[i] == '#') break;
    Token token;
    token.column = i;
    if (line[i] == '"') {
      token.kind = Token::String;
      ++i;
      bool closed = false;
      while (i < n) {
        char c = line[i];
        if (c == '"') {
          closed = true;
          ++i;
          break;
        }
        if (c != '\\') {
          token.text += c;
          ++i;
          continue;
        }
        if (i + 1 >= n) throw ParseError("a backslash ends the line inside a string");
        char e = line[i + 1];
        i += 2;
        switch (e) {
          case 'r': token.text += '\r'; break;
          case 'n': token.text += '\n'; break;
          case 't': token.text += '\t'; break;
          case '0': token.text += '\0'; break;
          case 'e': token.text += '\x1B'; break;
          case '\\': token.text += '\\'; break;
          case '"': token.text += '"'; break;
          case 'x': {
            int hi = i < n ? HexDigit(line[i]) : -1;
            int lo = i + 1 < n ? HexDigit(line[i + 1]) : -1;
            if (hi < 0 || lo < 0) throw ParseError("\\x needs two hex digits");
            token.text += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
          }
          default:
            throw ParseError(std::string("unknown escape \\") + e +
                             " in a string (known: \\r \\n \\t \\0 \\e \\\\ \\\" \\xHH)");
        }
      }
      if (!closed) throw ParseError("unterminated string");
      tokens.push_back(std::move(token));
      continue;
    }
    // A word runs to the next blank or quote; "->" is always a token of its own.
    size_t start = i;
    while (i < n && !Blank(line[i]) && line[i] != '"') {
      if (line[i] == '-' && i + 1 < n && line[i + 1] == '>') break;
      ++i;
    }
    if (i == start) {  // "->"
      token.kind = Token::Arrow;
      token.text = "->";
      i += 2;
    } else {
      token.text = line.substr(start, i - start);
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::string NormalizeSpaces(const std::string& text) {
  std::string out;
  bool inString = false;
  bool pendingSpace = false;
  bool escaped = false;
  for (char c : text) {
    if (!inString && c == '#') break;
    if (inString && escaped) {
      escaped = false;
    } else if (inString && c == '\\') {
      escaped = true;
    } else if (c == '"') {
      inString = !inString;
    }
    if (!inString && Blank(c)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out += c;
  }
  return out;
}

std::string Quote(const std::vector<uint8_t>& bytes, size_t limit) {
  std::string out = "\"";
  size_t shown = 0;
  for (uint8_t b : bytes) {
    if (shown++ == limit) {
      out += "\"... (" + std::to_string(bytes.size()) + " bytes)";
      return out;
    }
    switch (b) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (b >= 0x20 && b < 0x7F) {
          out += static_cast<char>(b);
        } else {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\x%02X", b);
          out += buffer;
        }
    }
  }
  return out + "\"";
}

std::string Quote(const std::string& bytes, size_t limit) {
  return Quote(std::vector<uint8_t>(bytes.begin(), bytes.end()), limit);
}

}  // namespace mdmhost::scenario
