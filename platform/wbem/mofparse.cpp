// The MOF reader: the tokens of MOF text and the declarations they form (pragmas, classes with
// their qualifiers, properties and defaults, instances with their aliases and values).
#include <cwctype>
#include <map>
#include <set>

#include "wbem/classobject.h"
#include "wbem/mof.h"
#include "wbem/repository.h"

namespace qz::wbem::mof {
namespace {

struct Token {
  enum class Kind { End, Identifier, Alias, String, Char, Integer, Real, Punct };
  Kind kind = Kind::End;
  std::wstring text;  // identifiers and aliases (without '$'), unescaped strings, the punctuation
  unsigned long long integer = 0;
  double real = 0;
  Position position;
};

// The CIM type keywords of property declarations.
struct TypeKeyword {
  const wchar_t* name;
  CIMTYPE type;
};
constexpr TypeKeyword kTypeKeywords[] = {
    {L"boolean", CIM_BOOLEAN}, {L"uint8", CIM_UINT8},   {L"sint8", CIM_SINT8},         {L"uint16", CIM_UINT16},
    {L"sint16", CIM_SINT16},   {L"uint32", CIM_UINT32}, {L"sint32", CIM_SINT32},       {L"uint64", CIM_UINT64},
    {L"sint64", CIM_SINT64},   {L"real32", CIM_REAL32}, {L"real64", CIM_REAL64},       {L"string", CIM_STRING},
    {L"datetime", CIM_DATETIME}, {L"char16", CIM_CHAR16}, {L"object", CIM_OBJECT},
};

// What each flavor keyword does to a qualifier's flavor bits.
struct FlavorKeyword {
  const wchar_t* name;
  LONG set;
  LONG clear;
};
constexpr FlavorKeyword kFlavorKeywords[] = {
    {L"ToInstance", WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE, 0},
    {L"NotToInstance", 0, WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE},
    {L"ToSubclass", WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS, 0},
    {L"NotToSubclass", 0, WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS},
    {L"Restricted", 0, WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS},
    {L"DisableOverride", WBEM_FLAVOR_NOT_OVERRIDABLE, 0},
    {L"EnableOverride", 0, WBEM_FLAVOR_NOT_OVERRIDABLE},
    {L"Amended", WBEM_FLAVOR_AMENDED, 0},
    {L"Translatable", 0, 0},
};

// Pragmas that are accepted and have no effect here.
constexpr const wchar_t* kIgnoredPragmas[] = {L"classflags", L"instanceflags", L"autorecover", L"locale",
                                              L"instancelocale"};

class Lexer {
 public:
  explicit Lexer(std::wstring_view text) : m_Text(text) {}

  // The next token; false with *error for text that forms none.
  bool Next(Token* token, ParseError* error) {
    if (!SkipBlanks(error)) return false;
    *token = Token{};
    token->position = m_Position;
    if (m_Index >= m_Text.size()) return true;
    const wchar_t c = m_Text[m_Index];
    if (std::iswalpha(c) || c == L'_') {
      token->kind = Token::Kind::Identifier;
      token->text = TakeName();
      return true;
    }
    if (c == L'$') {
      Advance();
      token->kind = Token::Kind::Alias;
      token->text = TakeName();
      if (token->text.empty()) return Fail(token->position, L"an alias needs a name after '$'", error);
      return true;
    }
    if (c == L'"') return LexString(token, error);
    if (c == L'\'') return LexChar(token, error);
    if (std::iswdigit(c)) return LexNumber(token, error);
    if (std::wstring_view(L"{}[]();,:=#-+").find(c) != std::wstring_view::npos) {
      Advance();
      token->kind = Token::Kind::Punct;
      token->text.assign(1, c);
      return true;
    }
    return Fail(token->position, L"unexpected character '" + std::wstring(1, c) + L"'", error);
  }

 private:
  static bool Fail(Position position, std::wstring message, ParseError* error) {
    error->position = position;
    error->message = std::move(message);
    return false;
  }

  wchar_t Peek(size_t ahead = 0) const { return m_Index + ahead < m_Text.size() ? m_Text[m_Index + ahead] : L'\0'; }

  void Advance() {
    if (m_Text[m_Index] == L'\n') {
      ++m_Position.line;
      m_Position.column = 1;
    } else {
      ++m_Position.column;
    }
    ++m_Index;
  }

  bool SkipBlanks(ParseError* error) {
    while (m_Index < m_Text.size()) {
      const wchar_t c = m_Text[m_Index];
      if (std::iswspace(c) || c == 0xFEFF) {
        Advance();
      } else if (c == L'/' && Peek(1) == L'/') {
        while (m_Index < m_Text.size() && m_Text[m_Index] != L'\n') Advance();
      } else if (c == L'/' && Peek(1) == L'*') {
        const Position start = m_Position;
        Advance();
        Advance();
        while (m_Index < m_Text.size() && !(m_Text[m_Index] == L'*' && Peek(1) == L'/')) Advance();
        if (m_Index >= m_Text.size()) return Fail(start, L"unterminated comment", error);
        Advance();
        Advance();
      } else {
        return true;
      }
    }
    return true;
  }

  std::wstring TakeName() {
    std::wstring name;
    while (m_Index < m_Text.size() && (std::iswalnum(m_Text[m_Index]) || m_Text[m_Index] == L'_')) {
      name.push_back(m_Text[m_Index]);
      Advance();
    }
    return name;
  }

  // One character after a backslash, appended to *out.
  bool Escape(std::wstring* out, ParseError* error) {
    const Position at = m_Position;
    Advance();  // the backslash
    const wchar_t c = Peek();
    switch (c) {
      case L'b': out->push_back(L'\b'); break;
      case L't': out->push_back(L'\t'); break;
      case L'n': out->push_back(L'\n'); break;
      case L'f': out->push_back(L'\f'); break;
      case L'r': out->push_back(L'\r'); break;
      case L'"': out->push_back(L'"'); break;
      case L'\'': out->push_back(L'\''); break;
      case L'\\': out->push_back(L'\\'); break;
      case L'x':
      case L'X': {
        Advance();
        unsigned value = 0;
        int digits = 0;
        while (digits < 4 && std::iswxdigit(Peek())) {
          const wchar_t d = Peek();
          value = value * 16 + static_cast<unsigned>(std::iswdigit(d) ? d - L'0' : std::towlower(d) - L'a' + 10);
          ++digits;
          Advance();
        }
        if (digits == 0) return Fail(at, L"'\\x' needs hexadecimal digits", error);
        out->push_back(static_cast<wchar_t>(value));
        return true;
      }
      default:
        if (c == L'\0' && m_Index >= m_Text.size()) return Fail(at, L"unterminated string", error);
        return Fail(at, L"unknown escape sequence '\\" + std::wstring(1, c) + L"'", error);
    }
    Advance();
    return true;
  }

  bool LexString(Token* token, ParseError* error) {
    token->kind = Token::Kind::String;
    Advance();
    while (true) {
      if (m_Index >= m_Text.size() || Peek() == L'\n') return Fail(token->position, L"unterminated string", error);
      const wchar_t c = Peek();
      if (c == L'"') {
        Advance();
        return true;
      }
      if (c == L'\\') {
        if (!Escape(&token->text, error)) return false;
        continue;
      }
      token->text.push_back(c);
      Advance();
    }
  }

  bool LexChar(Token* token, ParseError* error) {
    token->kind = Token::Kind::Char;
    Advance();
    if (Peek() == L'\\') {
      if (!Escape(&token->text, error)) return false;
    } else if (m_Index < m_Text.size() && Peek() != L'\'' && Peek() != L'\n') {
      token->text.push_back(Peek());
      Advance();
    }
    if (token->text.size() != 1 || Peek() != L'\'') return Fail(token->position, L"a char16 constant holds one character", error);
    Advance();
    return true;
  }

  bool LexNumber(Token* token, ParseError* error) {
    const size_t start = m_Index;
    if (Peek() == L'0' && (Peek(1) == L'x' || Peek(1) == L'X')) {
      Advance();
      Advance();
      token->kind = Token::Kind::Integer;
      int digits = 0;
      while (std::iswxdigit(Peek())) {
        const wchar_t d = Peek();
        const unsigned v = static_cast<unsigned>(std::iswdigit(d) ? d - L'0' : std::towlower(d) - L'a' + 10);
        if (token->integer > (~0ULL >> 4)) return Fail(token->position, L"the number is too large", error);
        token->integer = token->integer * 16 + v;
        ++digits;
        Advance();
      }
      if (digits == 0) return Fail(token->position, L"'0x' needs hexadecimal digits", error);
    } else {
      while (std::iswdigit(Peek())) Advance();
      bool real = false;
      if (Peek() == L'.' && std::iswdigit(Peek(1))) {
        real = true;
        Advance();
        while (std::iswdigit(Peek())) Advance();
      }
      if ((Peek() == L'e' || Peek() == L'E') &&
          (std::iswdigit(Peek(1)) || ((Peek(1) == L'+' || Peek(1) == L'-') && std::iswdigit(Peek(2))))) {
        real = true;
        Advance();
        if (Peek() == L'+' || Peek() == L'-') Advance();
        while (std::iswdigit(Peek())) Advance();
      }
      const std::wstring digits(m_Text.substr(start, m_Index - start));
      if (real) {
        token->kind = Token::Kind::Real;
        token->real = std::wcstod(digits.c_str(), nullptr);
      } else {
        token->kind = Token::Kind::Integer;
        for (wchar_t d : digits) {
          const unsigned v = static_cast<unsigned>(d - L'0');
          if (token->integer > (~0ULL - v) / 10) return Fail(token->position, L"the number is too large", error);
          token->integer = token->integer * 10 + v;
        }
      }
    }
    if (std::iswalpha(Peek()) || Peek() == L'_')
      return Fail(m_Position, L"unexpected character '" + std::wstring(1, Peek()) + L"' after a number", error);
    token->text.assign(m_Text.substr(start, m_Index - start));
    return true;
  }

  std::wstring_view m_Text;
  size_t m_Index = 0;
  Position m_Position;
};

class Parser {
 public:
  Parser(std::wstring_view text, const std::wstring& defaultNamespace)
      : m_Lexer(text), m_Namespace(defaultNamespace) {}

  bool Parse(std::vector<Declaration>* declarations, ParseError* error) {
    m_Error = error;
    if (!Advance()) return false;
    while (m_Token.kind != Token::Kind::End) {
      if (IsPunct(L"#")) {
        if (!ParsePragma()) return false;
        continue;
      }
      std::vector<QualifierSyntax> qualifiers;
      if (IsPunct(L"[") && !ParseQualifiers(&qualifiers)) return false;
      Declaration declaration;
      declaration.nameSpace = m_Namespace;
      if (IsKeyword(L"class")) {
        declaration.cls = std::make_unique<ClassSyntax>();
        declaration.cls->qualifiers = std::move(qualifiers);
        if (!ParseClass(declaration.cls.get())) return false;
      } else if (IsKeyword(L"instance")) {
        declaration.instance = std::make_unique<InstanceSyntax>();
        declaration.instance->qualifiers = std::move(qualifiers);
        if (!ParseInstance(declaration.instance.get())) return false;
      } else {
        return Expected(L"'class', 'instance' or '#pragma'");
      }
      declarations->push_back(std::move(declaration));
    }
    return true;
  }

 private:
  bool Advance() { return m_Lexer.Next(&m_Token, m_Error); }

  bool Fail(Position position, std::wstring message) {
    m_Error->position = position;
    m_Error->message = std::move(message);
    return false;
  }

  std::wstring Describe(const Token& token) const {
    switch (token.kind) {
      case Token::Kind::End: return L"end of text";
      case Token::Kind::String: return L"a string";
      case Token::Kind::Alias: return L"'$" + token.text + L"'";
      case Token::Kind::Char: return L"a char16 constant";
      default: return L"'" + token.text + L"'";
    }
  }

  bool Expected(const std::wstring& what) { return Fail(m_Token.position, L"expected " + what + L", found " + Describe(m_Token)); }

  bool IsPunct(const wchar_t* text) const { return m_Token.kind == Token::Kind::Punct && m_Token.text == text; }
  bool IsKeyword(const wchar_t* word) const {
    return m_Token.kind == Token::Kind::Identifier && EqualNames(m_Token.text, word);
  }

  bool ExpectPunct(const wchar_t* text) {
    if (!IsPunct(text)) return Expected(L"'" + std::wstring(text) + L"'");
    return Advance();
  }

  bool ExpectName(const wchar_t* what, std::wstring* name, Position* position = nullptr) {
    if (m_Token.kind != Token::Kind::Identifier) return Expected(what);
    *name = m_Token.text;
    if (position) *position = m_Token.position;
    return Advance();
  }

  // #pragma name(arguments)
  bool ParsePragma() {
    const Position at = m_Token.position;
    if (!Advance()) return false;
    if (!IsKeyword(L"pragma")) return Expected(L"'pragma'");
    if (!Advance()) return false;
    std::wstring name;
    Position namePosition;
    if (!ExpectName(L"a pragma name", &name, &namePosition)) return false;
    bool known = EqualNames(name, L"namespace");
    for (const wchar_t* ignored : kIgnoredPragmas) known = known || EqualNames(name, ignored);
    if (!known) return Fail(namePosition, L"unknown pragma '" + name + L"'");
    if (!IsPunct(L"(")) {
      if (EqualNames(name, L"autorecover")) return true;
      return Expected(L"'('");
    }
    if (!Advance()) return false;
    std::vector<Value> arguments;
    while (!IsPunct(L")")) {
      Value value;
      if (!ParseConstant(&value)) return false;
      arguments.push_back(std::move(value));
      if (IsPunct(L",")) {
        if (!Advance()) return false;
      } else if (!IsPunct(L")")) {
        return Expected(L"',' or ')'");
      }
    }
    if (!Advance()) return false;
    if (!EqualNames(name, L"namespace")) return true;
    if (arguments.size() != 1 || arguments[0].kind != Value::Kind::String)
      return Fail(at, L"#pragma namespace takes one string");
    return SetNamespace(arguments[0]);
  }

  // "\\\\server\\root\\X" and "root\\X" name a namespace from the top; any other name is a child
  // of the current namespace.
  bool SetNamespace(const Value& argument) {
    std::wstring name = argument.text;
    if (name.rfind(L"\\\\", 0) == 0 || name.rfind(L"//", 0) == 0) {
      const size_t slash = name.find_first_of(L"\\/", 2);
      if (slash == std::wstring::npos) return Fail(argument.position, L"malformed namespace name '" + argument.text + L"'");
      name = name.substr(slash + 1);
    } else {
      const size_t slash = name.find_first_of(L"\\/");
      if (!EqualNames(name.substr(0, slash), L"root")) name = m_Namespace + L"\\" + name;
    }
    const std::wstring normal = Repository::NormalizeNamespace(name);
    if (normal.empty()) return Fail(argument.position, L"malformed namespace name '" + argument.text + L"'");
    m_Namespace = normal;
    return true;
  }

  // [name, name(value), name{value, ...} : flavor flavor, ...]
  bool ParseQualifiers(std::vector<QualifierSyntax>* qualifiers) {
    if (!Advance()) return false;  // '['
    while (true) {
      QualifierSyntax qualifier;
      if (!ExpectName(L"a qualifier name", &qualifier.name, &qualifier.position)) return false;
      for (const QualifierSyntax& earlier : *qualifiers)
        if (EqualNames(earlier.name, qualifier.name))
          return Fail(qualifier.position, L"qualifier '" + qualifier.name + L"' is given twice");
      qualifier.value.kind = Value::Kind::Boolean;
      qualifier.value.boolean = true;
      qualifier.value.position = qualifier.position;
      if (IsPunct(L"(")) {
        if (!Advance() || !ParseConstant(&qualifier.value) || !ExpectPunct(L")")) return false;
      } else if (IsPunct(L"{")) {
        if (!ParseArray(&qualifier.value)) return false;
      }
      qualifier.flavor = WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS;
      if (IsPunct(L":")) {
        if (!Advance()) return false;
        qualifier.explicitFlavor = true;
        if (m_Token.kind != Token::Kind::Identifier) return Expected(L"a flavor");
        while (m_Token.kind == Token::Kind::Identifier) {
          const FlavorKeyword* flavor = nullptr;
          for (const FlavorKeyword& keyword : kFlavorKeywords)
            if (EqualNames(keyword.name, m_Token.text)) flavor = &keyword;
          if (!flavor) return Fail(m_Token.position, L"unknown flavor '" + m_Token.text + L"'");
          qualifier.flavor = (qualifier.flavor | flavor->set) & ~flavor->clear;
          if (!Advance()) return false;
        }
      }
      qualifiers->push_back(std::move(qualifier));
      if (IsPunct(L"]")) return Advance();
      if (!IsPunct(L",")) return Expected(L"',' or ']'");
      if (!Advance()) return false;
    }
  }

  // A constant: number (with sign), string(s), char16, TRUE, FALSE, NULL.
  bool ParseConstant(Value* value) {
    value->position = m_Token.position;
    if (IsPunct(L"-") || IsPunct(L"+")) {
      value->negative = IsPunct(L"-");
      if (!Advance()) return false;
      if (m_Token.kind == Token::Kind::Integer) {
        value->kind = Value::Kind::Integer;
        value->magnitude = m_Token.integer;
        value->negative = value->negative && m_Token.integer != 0;
        return Advance();
      }
      if (m_Token.kind == Token::Kind::Real) {
        value->kind = Value::Kind::Real;
        value->real = value->negative ? -m_Token.real : m_Token.real;
        value->negative = false;
        return Advance();
      }
      return Expected(L"a number");
    }
    switch (m_Token.kind) {
      case Token::Kind::Integer:
        value->kind = Value::Kind::Integer;
        value->magnitude = m_Token.integer;
        return Advance();
      case Token::Kind::Real:
        value->kind = Value::Kind::Real;
        value->real = m_Token.real;
        return Advance();
      case Token::Kind::Char:
        value->kind = Value::Kind::Char;
        value->text = m_Token.text;
        return Advance();
      case Token::Kind::String:
        // Adjacent strings are one string.
        value->kind = Value::Kind::String;
        while (m_Token.kind == Token::Kind::String) {
          value->text += m_Token.text;
          if (!Advance()) return false;
        }
        return true;
      case Token::Kind::Identifier:
        if (IsKeyword(L"true") || IsKeyword(L"false")) {
          value->kind = Value::Kind::Boolean;
          value->boolean = IsKeyword(L"true");
          return Advance();
        }
        if (IsKeyword(L"null")) {
          value->kind = Value::Kind::Null;
          return Advance();
        }
        break;
      default: break;
    }
    return Expected(L"a value");
  }

  // {constant, ...}
  bool ParseArray(Value* value) {
    value->kind = Value::Kind::Array;
    value->position = m_Token.position;
    value->elements.clear();
    if (!Advance()) return false;  // '{'
    if (IsPunct(L"}")) return Advance();
    while (true) {
      Value element;
      if (!ParseConstant(&element)) return false;
      if (element.kind == Value::Kind::Null) return Fail(element.position, L"an array cannot hold null");
      value->elements.push_back(std::move(element));
      if (IsPunct(L"}")) return Advance();
      if (!IsPunct(L",")) return Expected(L"',' or '}'");
      if (!Advance()) return false;
    }
  }

  // A property value or default: a constant, an array, or the alias of an instance above.
  bool ParseValue(Value* value) {
    if (IsPunct(L"{")) return ParseArray(value);
    if (m_Token.kind == Token::Kind::Alias) {
      value->kind = Value::Kind::Alias;
      value->text = m_Token.text;
      value->position = m_Token.position;
      if (!m_Aliases.count(UpperName(m_Token.text)))
        return Fail(m_Token.position, L"alias '$" + m_Token.text + L"' is not defined above");
      return Advance();
    }
    return ParseConstant(value);
  }

  static std::wstring UpperName(std::wstring name) {
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
    return name;
  }

  // class Name [: Superclass] { properties };
  bool ParseClass(ClassSyntax* cls) {
    cls->position = m_Token.position;
    if (!Advance()) return false;
    if (!ExpectName(L"a class name", &cls->name)) return false;
    if (IsPunct(L":")) {
      if (!Advance() || !ExpectName(L"a superclass name", &cls->superclass)) return false;
    }
    if (!ExpectPunct(L"{")) return false;
    while (!IsPunct(L"}")) {
      PropertySyntax property;
      if (!ParseProperty(&property)) return false;
      cls->properties.push_back(std::move(property));
    }
    if (!Advance()) return false;
    return ExpectPunct(L";");
  }

  // [qualifiers] type Name[] = default;   or   [qualifiers] Class ref Name = default;
  bool ParseProperty(PropertySyntax* property) {
    if (IsPunct(L"[") && !ParseQualifiers(&property->qualifiers)) return false;
    if (m_Token.kind != Token::Kind::Identifier) return Expected(L"a property type");
    const Token typeToken = m_Token;
    if (!Advance()) return false;
    if (IsKeyword(L"ref")) {
      property->type = CIM_REFERENCE;
      property->refClass = typeToken.text;
      if (!Advance()) return false;
    } else {
      for (const TypeKeyword& keyword : kTypeKeywords)
        if (EqualNames(keyword.name, typeToken.text)) property->type = keyword.type;
      if (property->type == CIM_EMPTY) return Fail(typeToken.position, L"unknown type '" + typeToken.text + L"'");
    }
    if (!ExpectName(L"a property name", &property->name, &property->position)) return false;
    if (IsPunct(L"(")) return Fail(m_Token.position, L"methods are not supported ('" + property->name + L"')");
    if (IsPunct(L"[")) {
      if (!Advance()) return false;
      if (m_Token.kind == Token::Kind::Integer && !Advance()) return false;  // a fixed size is not kept
      if (!ExpectPunct(L"]")) return false;
      property->type |= CIM_FLAG_ARRAY;
    }
    if (IsPunct(L"=")) {
      if (!Advance()) return false;
      property->hasDefault = true;
      if (!ParseValue(&property->defaultValue)) return false;
    }
    return ExpectPunct(L";");
  }

  // instance of Class [as $Alias] { Name = value; ... };
  bool ParseInstance(InstanceSyntax* instance) {
    instance->position = m_Token.position;
    if (!Advance()) return false;
    if (!IsKeyword(L"of")) return Expected(L"'of'");
    if (!Advance() || !ExpectName(L"a class name", &instance->className)) return false;
    std::wstring alias;
    Position aliasPosition;
    if (IsKeyword(L"as")) {
      if (!Advance()) return false;
      if (m_Token.kind != Token::Kind::Alias) return Expected(L"an alias");
      alias = m_Token.text;
      aliasPosition = m_Token.position;
      if (m_Aliases.count(UpperName(alias))) return Fail(aliasPosition, L"alias '$" + alias + L"' is defined twice");
      if (!Advance()) return false;
    }
    if (!ExpectPunct(L"{")) return false;
    while (!IsPunct(L"}")) {
      std::vector<QualifierSyntax> ignored;
      if (IsPunct(L"[") && !ParseQualifiers(&ignored)) return false;
      InstanceSyntax::Assignment assignment;
      if (!ExpectName(L"a property name", &assignment.name, &assignment.position)) return false;
      for (const auto& earlier : instance->assignments)
        if (EqualNames(earlier.name, assignment.name))
          return Fail(assignment.position, L"property '" + assignment.name + L"' is given twice");
      if (!ExpectPunct(L"=") || !ParseValue(&assignment.value) || !ExpectPunct(L";")) return false;
      instance->assignments.push_back(std::move(assignment));
    }
    if (!Advance() || !ExpectPunct(L";")) return false;
    // The alias names the instance from here on, not inside its own values.
    if (!alias.empty()) m_Aliases.insert(UpperName(alias));
    instance->alias = alias;
    return true;
  }

  Lexer m_Lexer;
  Token m_Token;
  std::wstring m_Namespace;
  std::set<std::wstring> m_Aliases;  // upper case
  ParseError* m_Error = nullptr;
};

}  // namespace

bool ParseMof(std::wstring_view text, const std::wstring& defaultNamespace, std::vector<Declaration>* declarations,
              ParseError* error) {
  Parser parser(text, defaultNamespace);
  return parser.Parse(declarations, error);
}

}  // namespace qz::wbem::mof
