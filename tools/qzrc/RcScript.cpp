// Reads the subset of resource scripts that the module's string tables use, and lays out their blocks.
#include "RcScript.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace qzrc {
namespace {

// The language and sublanguage names that scripts use in LANGUAGE lines, as the SDK defines them.
struct KnownSymbol {
  const char* name;
  uint32_t value;
};
constexpr KnownSymbol kKnownSymbols[] = {
    {"LANG_NEUTRAL", 0x00},       {"LANG_GERMAN", 0x07},         {"LANG_ENGLISH", 0x09},
    {"LANG_SPANISH", 0x0a},       {"LANG_FRENCH", 0x0c},         {"LANG_ITALIAN", 0x10},
    {"LANG_JAPANESE", 0x11},      {"SUBLANG_NEUTRAL", 0x00},     {"SUBLANG_DEFAULT", 0x01},
    {"SUBLANG_SYS_DEFAULT", 0x02}, {"SUBLANG_ENGLISH_US", 0x01}, {"SUBLANG_ENGLISH_UK", 0x02},
    {"SUBLANG_GERMAN", 0x01},     {"SUBLANG_FRENCH", 0x01},      {"SUBLANG_SPANISH", 0x01},
    {"SUBLANG_ITALIAN", 0x01},    {"SUBLANG_JAPANESE_JAPAN", 0x01},
};

// A script without a LANGUAGE line before its first table gets the compiler's default, US English.
constexpr uint16_t kDefaultLanguage = 0x0409;
constexpr uint32_t kMaxStringNumber = 0xFFFF;
constexpr size_t kMaxStringLength = 0xFFFF;
constexpr int kMaxIncludeDepth = 16;

// The memory and loading options that may follow STRINGTABLE; they mean nothing here.
constexpr const char* kTableOptions[] = {"DISCARDABLE", "PRELOAD", "LOADONCALL", "MOVEABLE",
                                         "FIXED",       "PURE",    "IMPURE",     "SHARED", "NONSHARED"};

enum class TokenKind { Word, Number, String, Comma, Open, Close };

struct Token {
  TokenKind kind;
  int line;
  std::string text;  // words, and the spelling of numbers and strings for messages
  uint32_t number = 0;
  std::u16string string;
};

struct Context {
  const std::vector<std::string>* includeDirs;
  std::map<std::string, uint32_t> defines;
  ResourceScript* script;
  std::string error;
};

std::string Where(const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  text = content.str();
  return true;
}

// Replaces // and /* */ comments by blanks, keeping the line breaks and the text of string literals.
// Returns the line of an unterminated block comment, or 0.
int StripComments(std::string& text) {
  bool inString = false;
  int line = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n') {
      ++line;
      inString = false;
      continue;
    }
    if (inString) {
      if (c == '\\' && i + 1 < text.size() && text[i + 1] != '\n') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      while (i < text.size() && text[i] != '\n') text[i++] = ' ';
      --i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      int start = line;
      text[i] = text[i + 1] = ' ';
      size_t j = i + 2;
      while (j < text.size() && !(text[j] == '*' && j + 1 < text.size() && text[j + 1] == '/')) {
        if (text[j] == '\n') ++line;
        else text[j] = ' ';
        ++j;
      }
      if (j >= text.size()) return start;
      text[j] = text[j + 1] = ' ';
      i = j + 1;
    }
  }
  return 0;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    } else if (c != '\r') {
      current += c;
    }
  }
  lines.push_back(current);
  return lines;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool IsWordStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsWordChar(char c) { return IsWordStart(c) || (c >= '0' && c <= '9'); }

// A decimal or 0x number with optional U/L suffixes; false when `text` is not one or does not fit 32 bits.
bool ParseNumber(const std::string& text, uint32_t& value) {
  std::string digits = text;
  while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' || digits.back() == 'U' || digits.back() == 'u'))
    digits.pop_back();
  int base = 10;
  size_t start = 0;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    start = 2;
  }
  if (start >= digits.size()) return false;
  uint64_t result = 0;
  for (size_t i = start; i < digits.size(); ++i) {
    char c = digits[i];
    int digit = (c >= '0' && c <= '9') ? c - '0' : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                : (base == 16 && c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    result = result * base + static_cast<uint64_t>(digit);
    if (result > 0xFFFFFFFFull) return false;
  }
  value = static_cast<uint32_t>(result);
  return true;
}

// The value of a #define body: a number or an earlier name, possibly in parentheses.
bool EvaluateDefine(std::string body, const Context& context, uint32_t& value) {
  body = Trim(body);
  while (body.size() >= 2 && body.front() == '(' && body.back() == ')') body = Trim(body.substr(1, body.size() - 2));
  if (ParseNumber(body, value)) return true;
  auto found = context.defines.find(body);
  if (found == context.defines.end()) return false;
  value = found->second;
  return true;
}

bool ReadHeader(const std::string& path, Context& context, int depth);

// Handles one preprocessor line. Scripts may only #include, #define and #pragma; headers may also
// hold the conditionals of include guards, which are not evaluated.
bool Directive(const std::string& line, const std::string& file, int lineNo, bool inHeader, Context& context,
               int depth) {
  std::string rest = Trim(Trim(line).substr(1));
  size_t nameEnd = 0;
  while (nameEnd < rest.size() && IsWordChar(rest[nameEnd])) ++nameEnd;
  std::string name = rest.substr(0, nameEnd);
  std::string argument = Trim(rest.substr(nameEnd));
  if (name == "include") {
    if (argument.size() < 2 || !((argument.front() == '"' && argument.back() == '"') ||
                                 (argument.front() == '<' && argument.back() == '>'))) {
      context.error = Where(file, lineNo) + "#include needs a file name in quotes or angle brackets";
      return false;
    }
    std::string target = argument.substr(1, argument.size() - 2);
    std::vector<std::string> candidates{DirectoryOf(file) + "/" + target};
    for (const std::string& dir : *context.includeDirs) candidates.push_back(dir + "/" + target);
    for (const std::string& candidate : candidates) {
      if (std::ifstream(candidate).good()) {
        if (depth >= kMaxIncludeDepth) {
          context.error = Where(file, lineNo) + "#include nested too deeply";
          return false;
        }
        return ReadHeader(candidate, context, depth + 1);
      }
    }
    context.error = Where(file, lineNo) + "cannot find included file '" + target + "'";
    return false;
  }
  if (name == "define") {
    size_t symbolEnd = 0;
    while (symbolEnd < argument.size() && IsWordChar(argument[symbolEnd])) ++symbolEnd;
    std::string symbol = argument.substr(0, symbolEnd);
    if (symbol.empty() || !IsWordStart(symbol[0])) {
      context.error = Where(file, lineNo) + "#define needs a name";
      return false;
    }
    // Names of macros with parameters, strings and expressions are not numbers a script can use.
    uint32_t value = 0;
    if (symbolEnd < argument.size() && argument[symbolEnd] == '(') return true;
    if (EvaluateDefine(argument.substr(symbolEnd), context, value)) context.defines[symbol] = value;
    return true;
  }
  if (name == "pragma") return true;
  static const std::set<std::string> kGuards{"ifndef", "ifdef", "if", "else", "elif", "endif", "undef"};
  if (inHeader && kGuards.count(name)) return true;
  context.error = Where(file, lineNo) + "unsupported directive #" + name;
  return false;
}

bool ReadHeader(const std::string& path, Context& context, int depth) {
  std::string text;
  if (!ReadFile(path, text)) {
    context.error = path + ":1: cannot read the file";
    return false;
  }
  context.script->files.push_back(path);
  if (int open = StripComments(text)) {
    context.error = Where(path, open) + "comment not closed";
    return false;
  }
  std::vector<std::string> lines = SplitLines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string trimmed = Trim(lines[i]);
    if (trimmed.empty() || trimmed[0] != '#') continue;  // declarations of the C++ side
    if (!Directive(trimmed, path, static_cast<int>(i + 1), true, context, depth)) return false;
  }
  return true;
}

// Appends the UTF-16 form of the UTF-8 sequence starting at text[i]; advances i past it.
bool DecodeUtf8(const std::string& text, size_t& i, std::u16string& out) {
  auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  unsigned char lead = byte(i);
  uint32_t code = 0;
  int extra = 0;
  if (lead < 0x80) code = lead;
  else if ((lead & 0xE0) == 0xC0) code = lead & 0x1F, extra = 1;
  else if ((lead & 0xF0) == 0xE0) code = lead & 0x0F, extra = 2;
  else if ((lead & 0xF8) == 0xF0) code = lead & 0x07, extra = 3;
  else return false;
  if (i + static_cast<size_t>(extra) >= text.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return false;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  i += static_cast<size_t>(extra) + 1;
  if (code >= 0x10000) {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  } else {
    out += static_cast<char16_t>(code);
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a string literal whose opening quote is at line[i]; leaves i after the closing quote.
bool ReadString(const std::string& line, size_t& i, Token& token, const std::string& where, std::string& error) {
  size_t start = i++;
  while (true) {
    if (i >= line.size()) {
      error = where + "string not closed on its line";
      return false;
    }
    char c = line[i];
    if (c == '"') {
      if (i + 1 < line.size() && line[i + 1] == '"') {  // "" stands for one quote
        token.string += u'"';
        i += 2;
        continue;
      }
      ++i;
      break;
    }
    if (c == '\\') {
      char e = i + 1 < line.size() ? line[i + 1] : '\0';
      i += 2;
      switch (e) {
        case 'n': token.string += u'\n'; continue;
        case 't': token.string += u'\t'; continue;
        case 'r': token.string += u'\r'; continue;
        case 'a': token.string += u'\a'; continue;
        case '0': token.string += u'\0'; continue;
        case '\\': token.string += u'\\'; continue;
        case '"': token.string += u'"'; continue;
        case 'x': {
          uint32_t value = 0;
          int digits = 0;
          while (digits < 4 && i < line.size() && HexDigit(line[i]) >= 0) value = value * 16 + HexDigit(line[i++]), ++digits;
          if (digits == 0) {
            error = where + "\\x needs hexadecimal digits";
            return false;
          }
          token.string += static_cast<char16_t>(value);
          continue;
        }
        default:
          error = where + "unknown escape sequence \\" + std::string(1, e);
          return false;
      }
    }
    if (!DecodeUtf8(line, i, token.string)) {
      error = where + "string is not valid UTF-8";
      return false;
    }
  }
  token.text = line.substr(start, i - start);
  if (token.string.size() > kMaxStringLength) {
    error = where + "string longer than 65535 characters";
    return false;
  }
  return true;
}

// Splits a script line (comments removed) into tokens.
bool Tokenize(const std::string& line, const std::string& file, int lineNo, std::vector<Token>& tokens,
              std::string& error) {
  std::string where = Where(file, lineNo);
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++i;
      continue;
    }
    Token token{TokenKind::Word, lineNo, {}, 0, {}};
    if (c == ',') {
      token.kind = TokenKind::Comma, token.text = ",", ++i;
    } else if (c == '{') {
      token.kind = TokenKind::Open, token.text = "{", ++i;
    } else if (c == '}') {
      token.kind = TokenKind::Close, token.text = "}", ++i;
    } else if (c == '"' || (c == 'L' && i + 1 < line.size() && line[i + 1] == '"')) {
      token.kind = TokenKind::String;
      if (c == 'L') ++i;
      if (!ReadString(line, i, token, where, error)) return false;
    } else if (c >= '0' && c <= '9') {
      size_t end = i;
      while (end < line.size() && IsWordChar(line[end])) ++end;
      token.kind = TokenKind::Number;
      token.text = line.substr(i, end - i);
      if (!ParseNumber(token.text, token.number)) {
        error = where + "'" + token.text + "' is not a number";
        return false;
      }
      i = end;
    } else if (IsWordStart(c)) {
      size_t end = i;
      while (end < line.size() && IsWordChar(line[end])) ++end;
      token.text = line.substr(i, end - i);
      i = end;
      if (token.text == "BEGIN") token.kind = TokenKind::Open;
      if (token.text == "END") token.kind = TokenKind::Close;
    } else {
      error = where + "unexpected character '" + std::string(1, c) + "'";
      return false;
    }
    tokens.push_back(std::move(token));
  }
  return true;
}

class Parser {
 public:
  Parser(const std::vector<Token>& tokens, const std::string& file, Context& context)
      : m_Tokens(tokens), m_File(file), m_Context(context) {}

  bool Run() {
    uint16_t language = kDefaultLanguage;
    while (m_Next < m_Tokens.size()) {
      const Token& token = m_Tokens[m_Next++];
      if (token.kind == TokenKind::Word && token.text == "LANGUAGE") {
        if (!Language(token, language)) return false;
      } else if (token.kind == TokenKind::Word && token.text == "STRINGTABLE") {
        if (!StringTableBlock(token, language)) return false;
      } else {
        return Fail(token.line, "unsupported statement '" + token.text + "'");
      }
    }
    return true;
  }

 private:
  bool Fail(int line, const std::string& message) {
    m_Context.error = Where(m_File, line) + message;
    return false;
  }

  const Token* Peek() const { return m_Next < m_Tokens.size() ? &m_Tokens[m_Next] : nullptr; }

  // A number: a literal, a #define'd name or a language symbol.
  bool Value(int line, const char* what, uint32_t& value) {
    const Token* token = Peek();
    if (!token) return Fail(line, std::string("expected ") + what + " at the end of the file");
    if (token->kind == TokenKind::Number) {
      value = token->number;
      ++m_Next;
      return true;
    }
    if (token->kind == TokenKind::Word) {
      auto defined = m_Context.defines.find(token->text);
      if (defined != m_Context.defines.end()) {
        value = defined->second;
        ++m_Next;
        return true;
      }
      for (const KnownSymbol& symbol : kKnownSymbols) {
        if (token->text == symbol.name) {
          value = symbol.value;
          ++m_Next;
          return true;
        }
      }
      return Fail(token->line, "unknown name '" + token->text + "'");
    }
    return Fail(token->line, std::string("expected ") + what + ", found '" + token->text + "'");
  }

  // LANGUAGE primary, sublanguage
  bool Language(const Token& keyword, uint16_t& language) {
    uint32_t primary = 0, sub = 0;
    if (!Value(keyword.line, "a language", primary)) return false;
    const Token* comma = Peek();
    if (!comma || comma->kind != TokenKind::Comma)
      return Fail(comma ? comma->line : keyword.line, "LANGUAGE needs a language and a sublanguage separated by a comma");
    ++m_Next;
    if (!Value(keyword.line, "a sublanguage", sub)) return false;
    if (primary > 0x3FF || sub > 0x3F) return Fail(keyword.line, "language out of range");
    language = static_cast<uint16_t>((sub << 10) | primary);
    return true;
  }

  bool StringTableBlock(const Token& keyword, uint16_t language) {
    while (const Token* option = Peek()) {
      if (option->kind != TokenKind::Word) break;
      if (option->text == "LANGUAGE") {
        ++m_Next;
        if (!Language(*option, language)) return false;
        continue;
      }
      if (option->text == "CHARACTERISTICS" || option->text == "VERSION") {
        ++m_Next;
        uint32_t ignored = 0;
        if (!Value(option->line, "a number", ignored)) return false;
        continue;
      }
      if (std::find_if(std::begin(kTableOptions), std::end(kTableOptions),
                       [&](const char* name) { return option->text == name; }) == std::end(kTableOptions))
        break;
      ++m_Next;
    }
    const Token* open = Peek();
    if (!open || open->kind != TokenKind::Open)
      return Fail(open ? open->line : keyword.line, "STRINGTABLE needs BEGIN or {");
    ++m_Next;
    StringTable& table = TableFor(language);
    while (true) {
      const Token* token = Peek();
      if (!token) return Fail(keyword.line, "STRINGTABLE not closed by END or }");
      if (token->kind == TokenKind::Close) {
        ++m_Next;
        return true;
      }
      uint32_t number = 0;
      int line = token->line;
      if (!Value(line, "a string number", number)) return false;
      if (number > kMaxStringNumber) return Fail(line, "string number " + std::to_string(number) + " out of range 0 to 65535");
      if (Peek() && Peek()->kind == TokenKind::Comma) ++m_Next;
      const Token* text = Peek();
      if (!text || text->kind != TokenKind::String)
        return Fail(text ? text->line : line, "expected the text of string " + std::to_string(number));
      ++m_Next;
      if (!table.strings.emplace(number, text->string).second)
        return Fail(line, "string " + std::to_string(number) + " defined twice for language " + std::to_string(language));
    }
  }

  StringTable& TableFor(uint16_t language) {
    std::vector<StringTable>& tables = m_Context.script->tables;
    auto at = std::lower_bound(tables.begin(), tables.end(), language,
                               [](const StringTable& table, uint16_t wanted) { return table.language < wanted; });
    if (at != tables.end() && at->language == language) return *at;
    StringTable added;
    added.language = language;
    return *tables.insert(at, std::move(added));
  }

  const std::vector<Token>& m_Tokens;
  const std::string& m_File;
  Context& m_Context;
  size_t m_Next = 0;
};

}  // namespace

bool ParseScript(const std::string& source, const std::string& fileName, const std::vector<std::string>& includeDirs,
                 ResourceScript& script, std::string& error) {
  Context context{&includeDirs, {}, &script, {}};
  std::string text = source;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // a UTF-8 byte order mark
  if (int open = StripComments(text)) {
    error = Where(fileName, open) + "comment not closed";
    return false;
  }
  std::vector<std::string> lines = SplitLines(text);
  std::vector<Token> tokens;
  for (size_t i = 0; i < lines.size(); ++i) {
    int lineNo = static_cast<int>(i + 1);
    std::string trimmed = Trim(lines[i]);
    if (!trimmed.empty() && trimmed[0] == '#') {
      // Every directive is read before the tables, so a name may be used in any table of the file.
      if (!Directive(trimmed, fileName, lineNo, false, context, 0)) {
        error = context.error;
        return false;
      }
      continue;
    }
    if (!Tokenize(lines[i], fileName, lineNo, tokens, error)) return false;
  }
  Parser parser(tokens, fileName, context);
  if (!parser.Run()) {
    error = context.error;
    return false;
  }
  if (script.tables.empty()) {
    error = Where(fileName, static_cast<int>(lines.size())) + "no STRINGTABLE in the file";
    return false;
  }
  return true;
}

bool ParseScriptFile(const std::string& path, const std::vector<std::string>& includeDirs, ResourceScript& script,
                     std::string& error) {
  std::string text;
  if (!ReadFile(path, text)) {
    error = path + ":1: cannot read the file";
    return false;
  }
  script.files.push_back(path);
  return ParseScript(text, path, includeDirs, script, error);
}

}  // namespace qzrc
