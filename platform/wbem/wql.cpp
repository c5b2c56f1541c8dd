// The WQL subset: a tokenizer, a recursive-descent parser and the evaluation of WHERE against an object.
#include "wbem/wql.h"

#include <oleauto.h>

#include <cmath>
#include <cstring>
#include <cwctype>
#include <optional>

#include "qzplatform.h"
#include "wbem/classobject.h"
#include "windows.h"

namespace qz::wbem {
namespace {

struct Token {
  enum class Kind { End, Word, String, Number, Symbol };
  Kind kind = Kind::End;
  std::wstring text;
  size_t position = 0;
};

bool IsWordStart(wchar_t c) { return std::iswalpha(c) || c == L'_'; }
bool IsWordChar(wchar_t c) { return std::iswalnum(c) || c == L'_'; }

class Parser {
 public:
  explicit Parser(std::wstring_view text) : m_Text(text) {}

  HRESULT Parse(WqlQuery* query, std::wstring* error) {
    const std::wstring_view first = WordAt(SkipSpace(0));
    if (EqualNames(first, L"ASSOCIATORS") || EqualNames(first, L"REFERENCES")) return ParseAssociation(query, error);
    if (!Tokenize()) return Fail(error);
    if (!Keyword(L"SELECT")) return Fail(error, L"SELECT expected");
    if (Symbol(L"*")) {
      query->allProperties = true;
    } else {
      query->allProperties = false;
      do {
        if (Peek().kind != Token::Kind::Word) return Fail(error, L"property name expected");
        query->properties.push_back(Next().text);
      } while (Symbol(L","));
    }
    if (!Keyword(L"FROM")) return Fail(error, L"FROM expected");
    if (Peek().kind != Token::Kind::Word || IsReserved(Peek().text)) return Fail(error, L"class name expected");
    query->className = Next().text;
    query->metaClass = EqualNames(query->className, L"meta_class");
    if (Keyword(L"WHERE")) {
      query->where = ParseOr();
      if (!query->where) return Fail(error);
    }
    if (Peek().kind != Token::Kind::End) return Fail(error, L"unexpected text");
    return WBEM_S_NO_ERROR;
  }

 private:
  size_t SkipSpace(size_t i) const {
    while (i < m_Text.size() && std::iswspace(m_Text[i])) ++i;
    return i;
  }

  std::wstring_view WordAt(size_t i) const {
    size_t end = i;
    while (end < m_Text.size() && IsWordChar(m_Text[end])) ++end;
    return m_Text.substr(i, end - i);
  }

  // The '}' that closes the path opened before `i`; a quoted key value may hold braces.
  size_t ClosingBrace(size_t i) const {
    wchar_t quote = 0;
    for (; i < m_Text.size(); ++i) {
      const wchar_t c = m_Text[i];
      if (quote) {
        if (c == L'\\') ++i;
        else if (c == quote) quote = 0;
      } else if (c == L'"' || c == L'\'') {
        quote = c;
      } else if (c == L'}') {
        return i;
      }
    }
    return std::wstring_view::npos;
  }

  HRESULT FailAt(size_t position, const wchar_t* message, std::wstring* error) {
    m_Error = message;
    m_ErrorPosition = position;
    return Fail(error);
  }

  // ASSOCIATORS OF {path} / REFERENCES OF {path}, then WHERE and its words, each alone or as
  // Word = Name, separated by blanks. The path is cut out before the rest is tokenized: it holds
  // characters that no other part of the language uses.
  HRESULT ParseAssociation(WqlQuery* query, std::wstring* error) {
    size_t i = SkipSpace(0);
    const bool associators = EqualNames(WordAt(i), L"ASSOCIATORS");
    query->statement = associators ? WqlQuery::Statement::Associators : WqlQuery::Statement::References;
    i = SkipSpace(i + WordAt(i).size());
    if (!EqualNames(WordAt(i), L"OF")) return FailAt(i, L"OF expected", error);
    i = SkipSpace(i + 2);
    if (i >= m_Text.size() || m_Text[i] != L'{') return FailAt(i, L"{ expected", error);
    const size_t close = ClosingBrace(i + 1);
    if (close == std::wstring_view::npos) return FailAt(i, L"} expected", error);
    std::wstring_view source = m_Text.substr(i + 1, close - i - 1);
    while (!source.empty() && std::iswspace(source.front())) source.remove_prefix(1);
    while (!source.empty() && std::iswspace(source.back())) source.remove_suffix(1);
    if (source.empty()) return FailAt(i + 1, L"object path expected", error);
    query->association.source = source;
    if (!Tokenize(close + 1)) return Fail(error);
    if (Keyword(L"WHERE")) {
      if (Peek().kind == Token::Kind::End) return Fail(error, L"condition expected");
      while (Peek().kind != Token::Kind::End) {
        if (!ParseAssociationWord(associators, &query->association)) return Fail(error);
      }
    }
    if (Peek().kind != Token::Kind::End) return Fail(error, L"WHERE expected");
    return WBEM_S_NO_ERROR;
  }

  bool ParseAssociationWord(bool associators, WqlAssociation* association) {
    struct Word {
      const wchar_t* name;
      bool forReferences;                     // REFERENCES OF takes it too
      std::wstring WqlAssociation::*text;     // Word = Name
      bool WqlAssociation::*flag;             // the word alone
    };
    static constexpr Word kWords[] = {
        {L"ResultClass", true, &WqlAssociation::resultClass, nullptr},
        {L"AssocClass", false, &WqlAssociation::assocClass, nullptr},
        {L"Role", true, &WqlAssociation::role, nullptr},
        {L"ResultRole", false, &WqlAssociation::resultRole, nullptr},
        {L"RequiredQualifier", true, &WqlAssociation::requiredQualifier, nullptr},
        {L"RequiredAssocQualifier", false, &WqlAssociation::requiredAssocQualifier, nullptr},
        {L"ClassDefsOnly", true, nullptr, &WqlAssociation::classDefsOnly},
        {L"KeysOnly", true, nullptr, &WqlAssociation::keysOnly},
        {L"SchemaOnly", true, nullptr, &WqlAssociation::schemaOnly},
    };
    const Token& token = Peek();
    const Word* word = nullptr;
    for (const Word& each : kWords) {
      if (token.kind == Token::Kind::Word && EqualNames(token.text, each.name)) word = &each;
    }
    if (!word || (!associators && !word->forReferences)) return Refuse(L"unknown condition");
    Next();
    if (word->flag) {
      if (association->*word->flag) return Refuse(L"condition given twice");
      association->*word->flag = true;
      return true;
    }
    if (!(association->*word->text).empty()) return Refuse(L"condition given twice");
    if (!Symbol(L"=")) return Refuse(L"= expected");
    if ((Peek().kind != Token::Kind::Word && Peek().kind != Token::Kind::String) || Peek().text.empty())
      return Refuse(L"name expected");
    association->*word->text = Next().text;
    return true;
  }

  static bool IsReserved(std::wstring_view word) {
    for (const wchar_t* reserved : {L"SELECT", L"FROM", L"WHERE", L"AND", L"OR", L"NOT", L"IS", L"ISA", L"LIKE",
                                    L"NULL", L"TRUE", L"FALSE"}) {
      if (EqualNames(word, reserved)) return true;
    }
    return false;
  }

  bool Tokenize(size_t i = 0) {
    while (i < m_Text.size()) {
      wchar_t c = m_Text[i];
      if (std::iswspace(c)) {
        ++i;
        continue;
      }
      Token token;
      token.position = i;
      if (IsWordStart(c)) {
        size_t start = i;
        while (i < m_Text.size() && IsWordChar(m_Text[i])) ++i;
        token.kind = Token::Kind::Word;
        token.text = m_Text.substr(start, i - start);
      } else if (c == L'\'' || c == L'"') {
        // Strings in either quote; a backslash escapes the next character, as WMI reads them.
        wchar_t quote = c;
        ++i;
        bool closed = false;
        while (i < m_Text.size()) {
          wchar_t d = m_Text[i++];
          if (d == L'\\' && i < m_Text.size()) {
            token.text += m_Text[i++];
          } else if (d == quote) {
            closed = true;
            break;
          } else {
            token.text += d;
          }
        }
        if (!closed) {
          m_ErrorPosition = token.position;
          m_Error = L"unterminated string";
          return false;
        }
        token.kind = Token::Kind::String;
      } else if (std::iswdigit(c) || ((c == L'-' || c == L'+' || c == L'.') && i + 1 < m_Text.size() &&
                                      (std::iswdigit(m_Text[i + 1]) || m_Text[i + 1] == L'.'))) {
        size_t start = i++;
        if (m_Text.substr(start, 2) == L"0x" || m_Text.substr(start, 2) == L"0X") ++i;
        while (i < m_Text.size() && (std::iswxdigit(m_Text[i]) || m_Text[i] == L'.' || m_Text[i] == L'x' ||
                                     ((m_Text[i] == L'-' || m_Text[i] == L'+') &&
                                      (m_Text[i - 1] == L'e' || m_Text[i - 1] == L'E'))))
          ++i;
        token.kind = Token::Kind::Number;
        token.text = m_Text.substr(start, i - start);
      } else {
        static constexpr const wchar_t* kSymbols[] = {L"<>", L"!=", L"<=", L">=", L"=", L"<", L">", L"(", L")", L",", L"*"};
        bool matched = false;
        for (const wchar_t* symbol : kSymbols) {
          std::wstring_view s(symbol);
          if (m_Text.substr(i, s.size()) == s) {
            token.kind = Token::Kind::Symbol;
            token.text = s;
            i += s.size();
            matched = true;
            break;
          }
        }
        if (!matched) {
          m_ErrorPosition = i;
          m_Error = L"unexpected character";
          return false;
        }
      }
      m_Tokens.push_back(std::move(token));
    }
    Token end;
    end.position = m_Text.size();
    m_Tokens.push_back(end);
    return true;
  }

  const Token& Peek() const { return m_Tokens[m_Index]; }
  const Token& Next() { return m_Tokens[m_Index < m_Tokens.size() - 1 ? m_Index++ : m_Index]; }
  bool Keyword(std::wstring_view word) {
    if (Peek().kind == Token::Kind::Word && EqualNames(Peek().text, word)) {
      ++m_Index;
      return true;
    }
    return false;
  }
  bool Symbol(std::wstring_view symbol) {
    if (Peek().kind == Token::Kind::Symbol && Peek().text == symbol) {
      ++m_Index;
      return true;
    }
    return false;
  }

  std::unique_ptr<WqlExpr> Fault(const wchar_t* message) {
    if (m_Error.empty()) {
      m_Error = message;
      m_ErrorPosition = Peek().position;
    }
    return nullptr;
  }

  bool Refuse(const wchar_t* message) {
    Fault(message);
    return false;
  }

  HRESULT Fail(std::wstring* error, const wchar_t* message = nullptr) {
    if (message && m_Error.empty()) {
      m_Error = message;
      m_ErrorPosition = m_Index < m_Tokens.size() ? Peek().position : m_Text.size();
    }
    if (error) *error = m_Error + L" at position " + std::to_wstring(m_ErrorPosition);
    return WBEM_E_INVALID_QUERY;
  }

  // A chain of terms joined by one operator: AND binds tighter than OR, so an OR chain holds AND
  // chains. One node holds the whole chain however long it is.
  std::unique_ptr<WqlExpr> ParseChain(WqlExpr::Kind kind) {
    const bool isOr = kind == WqlExpr::Kind::Or;
    auto term = isOr ? ParseChain(WqlExpr::Kind::And) : ParseNot();
    if (!term || !Keyword(isOr ? L"OR" : L"AND")) return term;
    auto chain = std::make_unique<WqlExpr>();
    chain->kind = kind;
    chain->terms.push_back(std::move(term));
    do {
      term = isOr ? ParseChain(WqlExpr::Kind::And) : ParseNot();
      if (!term) return nullptr;
      chain->terms.push_back(std::move(term));
    } while (Keyword(isOr ? L"OR" : L"AND"));
    return chain;
  }

  std::unique_ptr<WqlExpr> ParseOr() { return ParseChain(WqlExpr::Kind::Or); }

  // NOT and parentheses are where the expression nests: each level is counted.
  std::unique_ptr<WqlExpr> ParseNot() {
    const bool negated = Peek().kind == Token::Kind::Word && EqualNames(Peek().text, L"NOT");
    const bool bracketed = Peek().kind == Token::Kind::Symbol && Peek().text == L"(";
    if (!negated && !bracketed) return ParseComparison();
    if (m_Depth == kMaxWqlNesting)
      return Fault((L"nested deeper than " + std::to_wstring(kMaxWqlNesting) + L" levels").c_str());
    Next();
    ++m_Depth;
    std::unique_ptr<WqlExpr> inner = negated ? ParseNot() : ParseOr();
    --m_Depth;
    if (!inner) return nullptr;
    if (bracketed) return Symbol(L")") ? std::move(inner) : Fault(L") expected");
    auto expr = std::make_unique<WqlExpr>();
    expr->kind = WqlExpr::Kind::Not;
    expr->first = std::move(inner);
    return expr;
  }

  bool ParseOperand(WqlOperand* operand) {
    const Token& token = Peek();
    switch (token.kind) {
      case Token::Kind::String:
        operand->kind = WqlOperand::Kind::String;
        operand->text = Next().text;
        return true;
      case Token::Kind::Number:
        return ParseNumber(Next().text, operand);
      case Token::Kind::Word:
        if (EqualNames(token.text, L"TRUE") || EqualNames(token.text, L"FALSE")) {
          operand->kind = WqlOperand::Kind::Boolean;
          operand->boolean = EqualNames(Next().text, L"TRUE");
          return true;
        }
        if (EqualNames(token.text, L"NULL")) {
          Next();
          operand->kind = WqlOperand::Kind::Null;
          return true;
        }
        if (IsReserved(token.text)) return false;
        operand->kind = WqlOperand::Kind::Property;
        operand->text = Next().text;
        return true;
      default:
        return false;
    }
  }

  bool ParseNumber(const std::wstring& text, WqlOperand* operand) {
    std::wstring body = text;
    bool negative = false;
    if (!body.empty() && (body[0] == L'-' || body[0] == L'+')) {
      negative = body[0] == L'-';
      body.erase(0, 1);
    }
    const bool hex = body.size() > 2 && body[0] == L'0' && (body[1] == L'x' || body[1] == L'X');
    const bool real = !hex && body.find_first_of(L".eE") != std::wstring::npos;
    errno = 0;
    wchar_t* end = nullptr;
    if (real) {
      operand->kind = WqlOperand::Kind::Real;
      operand->real = std::wcstod(text.c_str(), &end);
      return end && *end == 0 && errno == 0 && std::isfinite(operand->real);
    }
    unsigned long long magnitude = std::wcstoull(body.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (!end || *end != 0 || errno == ERANGE || body.size() == (hex ? 2u : 0u)) return false;
    operand->kind = WqlOperand::Kind::Integer;
    if (negative) {
      if (magnitude > 0x8000000000000000ULL) return false;
      operand->integer = magnitude == 0x8000000000000000ULL ? INT64_MIN : -static_cast<long long>(magnitude);
    } else if (magnitude > static_cast<unsigned long long>(INT64_MAX)) {
      operand->isUnsigned = true;
      operand->unsignedValue = magnitude;
    } else {
      operand->integer = static_cast<long long>(magnitude);
    }
    return true;
  }

  std::unique_ptr<WqlExpr> ParseComparison() {
    auto expr = std::make_unique<WqlExpr>();
    if (!ParseOperand(&expr->left)) return Fault(L"property or value expected");
    if (Keyword(L"IS")) {
      bool negated = Keyword(L"NOT");
      if (!Keyword(L"NULL")) return Fault(L"NULL expected");
      if (expr->left.kind != WqlOperand::Kind::Property) return Fault(L"property expected before IS");
      expr->kind = negated ? WqlExpr::Kind::IsNotNull : WqlExpr::Kind::IsNull;
      return expr;
    }
    if (Keyword(L"ISA")) {
      if (Peek().kind != Token::Kind::String && Peek().kind != Token::Kind::Word) return Fault(L"class name expected");
      expr->kind = WqlExpr::Kind::Isa;
      expr->right.kind = WqlOperand::Kind::String;
      expr->right.text = Next().text;
      return expr;
    }
    static constexpr struct {
      const wchar_t* symbol;
      WqlExpr::Op op;
    } kOps[] = {{L"=", WqlExpr::Op::Equal},     {L"<>", WqlExpr::Op::NotEqual},    {L"!=", WqlExpr::Op::NotEqual},
                {L"<", WqlExpr::Op::Less},      {L">", WqlExpr::Op::Greater},      {L"<=", WqlExpr::Op::LessEqual},
                {L">=", WqlExpr::Op::GreaterEqual}};
    bool found = false;
    for (const auto& entry : kOps) {
      if (Symbol(entry.symbol)) {
        expr->op = entry.op;
        found = true;
        break;
      }
    }
    if (!found && Keyword(L"LIKE")) {
      expr->op = WqlExpr::Op::Like;
      found = true;
    }
    if (!found) return Fault(L"comparison expected");
    if (!ParseOperand(&expr->right)) return Fault(L"property or value expected");
    if (expr->left.kind != WqlOperand::Kind::Property && expr->right.kind != WqlOperand::Kind::Property)
      return Fault(L"a comparison needs a property");
    if (expr->op == WqlExpr::Op::Like && (expr->left.kind != WqlOperand::Kind::Property ||
                                          expr->right.kind != WqlOperand::Kind::String))
      return Fault(L"LIKE needs a property and a string");
    // "x = NULL" reads as "x IS NULL", "x <> NULL" as "x IS NOT NULL", as WMI takes them.
    const bool leftNull = expr->left.kind == WqlOperand::Kind::Null;
    if (leftNull || expr->right.kind == WqlOperand::Kind::Null) {
      if (expr->op != WqlExpr::Op::Equal && expr->op != WqlExpr::Op::NotEqual) return Fault(L"NULL compares only with = or <>");
      if (leftNull) std::swap(expr->left, expr->right);
      expr->kind = expr->op == WqlExpr::Op::Equal ? WqlExpr::Kind::IsNull : WqlExpr::Kind::IsNotNull;
    }
    return expr;
  }

  std::wstring_view m_Text;
  std::vector<Token> m_Tokens;
  size_t m_Index = 0;
  size_t m_Depth = 0;
  std::wstring m_Error;
  size_t m_ErrorPosition = 0;
};

// A value as the comparison sees it.
struct Value {
  enum class Kind { None, Text, Integer, Real, Boolean } kind = Kind::None;
  std::wstring text;
  __int128 integer = 0;
  double real = 0;
  bool boolean = false;
};

std::optional<__int128> ParseInteger(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = text[0] == L'-';
  size_t i = negative || text[0] == L'+' ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  __int128 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
    value = value * 10 + (text[i] - L'0');
    if (value > (static_cast<__int128>(1) << 80)) return std::nullopt;
  }
  return negative ? -value : value;
}

Value FromOperand(const WqlOperand& operand) {
  Value value;
  switch (operand.kind) {
    case WqlOperand::Kind::String:
      value.kind = Value::Kind::Text;
      value.text = operand.text;
      break;
    case WqlOperand::Kind::Integer:
      value.kind = Value::Kind::Integer;
      value.integer = operand.isUnsigned ? static_cast<__int128>(operand.unsignedValue) : operand.integer;
      break;
    case WqlOperand::Kind::Real:
      value.kind = Value::Kind::Real;
      value.real = operand.real;
      break;
    case WqlOperand::Kind::Boolean:
      value.kind = Value::Kind::Boolean;
      value.boolean = operand.boolean;
      break;
    default:
      break;
  }
  return value;
}

Value FromProperty(IWbemClassObject* object, const std::wstring& name) {
  Value value;
  CComVariant v;
  CIMTYPE type = CIM_EMPTY;
  if (FAILED(object->Get(name.c_str(), 0, &v, &type, nullptr))) return value;
  if (type & CIM_FLAG_ARRAY) return value;  // arrays take part in no comparison
  switch (v.vt) {
    case VT_BSTR:
      if (type == CIM_UINT64 || type == CIM_SINT64) {
        if (auto number = ParseInteger(v.bstrVal ? v.bstrVal : L"")) {
          value.kind = Value::Kind::Integer;
          value.integer = *number;
          return value;
        }
      }
      value.kind = Value::Kind::Text;
      value.text = v.bstrVal ? v.bstrVal : L"";
      return value;
    case VT_BOOL:
      value.kind = Value::Kind::Boolean;
      value.boolean = v.boolVal != VARIANT_FALSE;
      return value;
    case VT_I1: value.kind = Value::Kind::Integer; value.integer = v.cVal; return value;
    case VT_UI1: value.kind = Value::Kind::Integer; value.integer = v.bVal; return value;
    case VT_I2: value.kind = Value::Kind::Integer; value.integer = v.iVal; return value;
    case VT_UI2: value.kind = Value::Kind::Integer; value.integer = v.uiVal; return value;
    case VT_I4:
      value.kind = Value::Kind::Integer;
      // uint32 is stored in a VT_I4: read it back unsigned.
      value.integer = type == CIM_UINT32 ? static_cast<__int128>(static_cast<uint32_t>(v.lVal)) : v.lVal;
      return value;
    case VT_UI4: value.kind = Value::Kind::Integer; value.integer = v.ulVal; return value;
    case VT_I8: value.kind = Value::Kind::Integer; value.integer = v.llVal; return value;
    case VT_UI8: value.kind = Value::Kind::Integer; value.integer = v.ullVal; return value;
    case VT_R4: value.kind = Value::Kind::Real; value.real = v.fltVal; return value;
    case VT_R8: value.kind = Value::Kind::Real; value.real = v.dblVal; return value;
    default:
      return value;
  }
}

wchar_t Fold(wchar_t c) {
  if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;  // without the C library
  return static_cast<wchar_t>(std::towupper(c));
}

int CompareText(std::wstring_view a, std::wstring_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    wchar_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// -2 when the two values do not compare (different kinds that do not convert).
int Compare(const Value& a, const Value& b) {
  using K = Value::Kind;
  if (a.kind == K::None || b.kind == K::None) return -2;
  if (a.kind == K::Text || b.kind == K::Text) {
    if (a.kind == K::Text && b.kind == K::Text) return CompareText(a.text, b.text);
    // A number against text compares as numbers when the text is one.
    const Value& text = a.kind == K::Text ? a : b;
    auto number = ParseInteger(text.text);
    if (!number) return -2;
    Value converted;
    converted.kind = K::Integer;
    converted.integer = *number;
    return a.kind == K::Text ? Compare(converted, b) : Compare(a, converted);
  }
  auto asReal = [](const Value& v) {
    return v.kind == K::Real ? v.real : v.kind == K::Boolean ? (v.boolean ? 1.0 : 0.0) : static_cast<double>(v.integer);
  };
  if (a.kind == K::Real || b.kind == K::Real) {
    double x = asReal(a), y = asReal(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  auto asInteger = [](const Value& v) -> __int128 { return v.kind == K::Boolean ? (v.boolean ? 1 : 0) : v.integer; };
  if (a.kind == K::Boolean && b.kind == K::Boolean) return a.boolean == b.boolean ? 0 : a.boolean ? 1 : -1;
  __int128 x = asInteger(a), y = asInteger(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

Value Resolve(const WqlOperand& operand, IWbemClassObject* object) {
  return operand.kind == WqlOperand::Kind::Property ? FromProperty(object, operand.text) : FromOperand(operand);
}

// Matches one character of the text against the single-character element of the
// pattern at p ('_', a [set], or a literal) and gives the position after it.
bool MatchOne(wchar_t character, std::wstring_view pattern, size_t p, size_t* next) {
  wchar_t c = pattern[p];
  if (c == L'_') {
    *next = p + 1;
    return true;
  }
  if (c == L'[') {
    size_t close = pattern.find(L']', p + 1);
    if (close != std::wstring_view::npos) {
      std::wstring_view set = pattern.substr(p + 1, close - p - 1);
      bool negate = !set.empty() && set[0] == L'^';
      if (negate) set.remove_prefix(1);
      bool in = false;
      wchar_t ch = Fold(character);
      for (size_t k = 0; k < set.size(); ++k) {
        if (k + 2 < set.size() && set[k + 1] == L'-') {
          if (ch >= Fold(set[k]) && ch <= Fold(set[k + 2])) in = true;
          k += 2;
        } else if (Fold(set[k]) == ch) {
          in = true;
        }
      }
      *next = close + 1;
      return in != negate;
    }
  }
  *next = p + 1;
  return Fold(c) == Fold(character);
}

// Every element but '%' takes exactly one character, so only the latest '%' ever
// needs to take one more: a match costs at most text x pattern steps, whatever the
// pattern, where trying every split for every '%' grew exponentially.
bool LikeMatch(std::wstring_view text, std::wstring_view pattern) {
  constexpr size_t kNone = std::wstring_view::npos;
  size_t t = 0, p = 0, resumeP = kNone, resumeT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == L'%') {
      while (p < pattern.size() && pattern[p] == L'%') ++p;
      resumeP = p;
      resumeT = t;
      continue;
    }
    size_t next = 0;
    if (p < pattern.size() && MatchOne(text[t], pattern, p, &next)) {
      ++t;
      p = next;
      continue;
    }
    if (resumeP == kNone) return false;
    p = resumeP;
    t = ++resumeT;
  }
  while (p < pattern.size() && pattern[p] == L'%') ++p;
  return p == pattern.size();
}

}  // namespace

HRESULT ParseWql(std::wstring_view text, WqlQuery* query, std::wstring* error) {
  if (!query) return WBEM_E_INVALID_PARAMETER;
  *query = WqlQuery();
  if (text.size() > kMaxWqlLength) {
    if (error) {
      *error = L"query longer than " + std::to_wstring(kMaxWqlLength) + L" characters at position " +
               std::to_wstring(kMaxWqlLength);
    }
    return WBEM_E_INVALID_QUERY;
  }
  Parser parser(text);
  HRESULT hr = parser.Parse(query, error);
  if (FAILED(hr)) *query = WqlQuery();
  return hr;
}

void WhereProperties(const WqlExpr& expr, std::vector<std::wstring>* names) {
  if (expr.first) WhereProperties(*expr.first, names);
  for (const auto& term : expr.terms) WhereProperties(*term, names);
  if (expr.kind == WqlExpr::Kind::And || expr.kind == WqlExpr::Kind::Or || expr.kind == WqlExpr::Kind::Not) return;
  if (expr.left.kind == WqlOperand::Kind::Property) names->push_back(expr.left.text);
  if (expr.kind == WqlExpr::Kind::Compare && expr.right.kind == WqlOperand::Kind::Property)
    names->push_back(expr.right.text);
}

bool WqlLike(std::wstring_view text, std::wstring_view pattern) { return LikeMatch(text, pattern); }

bool ObjectIsA(IWbemClassObject* object, std::wstring_view className) {
  CComVariant cls;
  if (SUCCEEDED(object->Get(L"__CLASS", 0, &cls, nullptr, nullptr)) && cls.vt == VT_BSTR &&
      EqualNames(cls.bstrVal, className))
    return true;
  return object->InheritsFrom(std::wstring(className).c_str()) == WBEM_S_NO_ERROR;
}

bool EvaluateWql(const WqlExpr& expr, IWbemClassObject* object) {
  switch (expr.kind) {
    case WqlExpr::Kind::And:
      for (const auto& term : expr.terms) {
        if (!EvaluateWql(*term, object)) return false;
      }
      return true;
    case WqlExpr::Kind::Or:
      for (const auto& term : expr.terms) {
        if (EvaluateWql(*term, object)) return true;
      }
      return false;
    case WqlExpr::Kind::Not:
      return !EvaluateWql(*expr.first, object);
    case WqlExpr::Kind::IsNull:
    case WqlExpr::Kind::IsNotNull: {
      CComVariant v;
      bool null = FAILED(object->Get(expr.left.text.c_str(), 0, &v, nullptr, nullptr)) || v.vt == VT_NULL ||
                  v.vt == VT_EMPTY;
      return (expr.kind == WqlExpr::Kind::IsNull) == null;
    }
    case WqlExpr::Kind::Isa:
      return ObjectIsA(object, expr.right.text);
    case WqlExpr::Kind::Compare:
      break;
  }
  Value left = Resolve(expr.left, object);
  Value right = Resolve(expr.right, object);
  if (expr.op == WqlExpr::Op::Like) return left.kind == Value::Kind::Text && WqlLike(left.text, right.text);
  int order = Compare(left, right);
  if (order == -2) return false;
  switch (expr.op) {
    case WqlExpr::Op::Equal: return order == 0;
    case WqlExpr::Op::NotEqual: return order != 0;
    case WqlExpr::Op::Less: return order < 0;
    case WqlExpr::Op::Greater: return order > 0;
    case WqlExpr::Op::LessEqual: return order <= 0;
    case WqlExpr::Op::GreaterEqual: return order >= 0;
    case WqlExpr::Op::Like: break;
  }
  return false;
}

}  // namespace qz::wbem

extern "C" HRESULT QzCheckWql(const char* query, char* report, DWORD reportSize) {
  using namespace qz::wbem;
  if (!query) return WBEM_E_INVALID_PARAMETER;
  std::wstring text(strlen(query) + 1, L'\0');
  text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, query, -1, text.data(), static_cast<int>(text.size()))));
  if (!text.empty()) text.pop_back();
  WqlQuery parsed;
  std::wstring error;
  HRESULT hr = ParseWql(text, &parsed, &error);
  std::wstring out;
  if (FAILED(hr)) {
    // "... at position N" counts from 0; people count columns from 1.
    const size_t at = error.rfind(L" at position ");
    out = at == std::wstring::npos ? error
                                   : error.substr(0, at) + L" at column " +
                                         std::to_wstring(std::wcstoul(error.c_str() + at + 13, nullptr, 10) + 1);
  } else if (parsed.statement == WqlQuery::Statement::Select) {
    out = parsed.metaClass ? L"meta_class" : parsed.className;
    std::vector<std::wstring> names = parsed.properties;
    if (parsed.where) WhereProperties(*parsed.where, &names);
    for (const std::wstring& name : names) out += L" " + name;
  }
  if (report && reportSize) {
    const int written = WideCharToMultiByte(CP_UTF8, 0, out.c_str(), static_cast<int>(out.size() + 1), report,
                                            static_cast<int>(reportSize), nullptr, nullptr);
    if (written <= 0) report[0] = 0;
  }
  return hr;
}
