// The WQL that the service answers: SELECT * or a property list FROM a class (or meta_class),
// with an optional WHERE of comparisons joined by AND, OR, NOT and parentheses; and the
// ASSOCIATORS OF / REFERENCES OF statements that walk associations from one object.
#pragma once

#include <wbemcli.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qz::wbem {

// A literal or a property named in a comparison.
struct WqlOperand {
  enum class Kind { Property, String, Integer, Real, Boolean, Null };
  Kind kind = Kind::Null;
  std::wstring text;      // the property name or the string's value
  long long integer = 0;  // Integer (the value, for negative numbers too)
  unsigned long long unsignedValue = 0;  // Integer above the signed range
  bool isUnsigned = false;
  double real = 0;
  bool boolean = false;
};

struct WqlExpr {
  enum class Kind { And, Or, Not, Compare, IsNull, IsNotNull, Isa };
  enum class Op { Equal, NotEqual, Less, Greater, LessEqual, GreaterEqual, Like };
  Kind kind = Kind::Compare;
  Op op = Op::Equal;
  WqlOperand left, right;                   // Compare; IsNull/IsNotNull/Isa use left (and right)
  std::unique_ptr<WqlExpr> first;           // Not
  // And/Or: every term of a chain in one node, so that a long chain stays one level deep for the
  // evaluation and the destructor, which both recurse.
  std::vector<std::unique_ptr<WqlExpr>> terms;
};

// What a query may hold at most. Parentheses and NOT nest at most kMaxWqlNesting levels: hand-written
// queries use a few, and the parser, the evaluation and the destructor recurse a few frames per level,
// so this keeps them well inside any thread's stack. The text is at most kMaxWqlLength characters, which
// bounds the number of comparisons each object is judged by.
inline constexpr size_t kMaxWqlNesting = 64;
inline constexpr size_t kMaxWqlLength = 65536;

// What ASSOCIATORS OF {path} / REFERENCES OF {path} asked for. An empty name: no condition.
struct WqlAssociation {
  std::wstring source;                  // the path between the braces, as written
  std::wstring resultClass;             // ASSOCIATORS: the far end's class; REFERENCES: the association's
  std::wstring assocClass;              // ASSOCIATORS only
  std::wstring role;                    // the property of the association that names the source
  std::wstring resultRole;              // ASSOCIATORS only: the property that names the far end
  std::wstring requiredQualifier;       // a qualifier of the results' class
  std::wstring requiredAssocQualifier;  // ASSOCIATORS only: a qualifier of the association class
  bool classDefsOnly = false;
  bool keysOnly = false;
  bool schemaOnly = false;
};

struct WqlQuery {
  enum class Statement { Select, Associators, References };
  Statement statement = Statement::Select;
  WqlAssociation association;             // ASSOCIATORS OF / REFERENCES OF
  bool allProperties = true;              // SELECT *
  std::vector<std::wstring> properties;   // SELECT a, b (in the order given)
  std::wstring className;                 // FROM
  bool metaClass = false;                 // FROM meta_class
  std::unique_ptr<WqlExpr> where;         // null: every object
};

// Parses a query; WBEM_E_INVALID_QUERY for anything outside the subset (for ASSOCIATORS OF and
// REFERENCES OF also an unknown or repeated WHERE word, or one the statement does not take), and for
// a text beyond the bounds above (with the position of the problem in `error` when given).
HRESULT ParseWql(std::wstring_view text, WqlQuery* query, std::wstring* error = nullptr);

// The property names that the WHERE clause reads (for checking them against the class).
void WhereProperties(const WqlExpr& expr, std::vector<std::wstring>* names);

// Whether the object satisfies the expression. Strings compare without regard to case, numbers by
// value whatever their stored form (uint64 is text), a property without a value satisfies only IS
// NULL; ISA compares the class and its ancestors with the literal.
bool EvaluateWql(const WqlExpr& expr, IWbemClassObject* object);

// Whether the object is of the class or of a class derived from it (ISA).
bool ObjectIsA(IWbemClassObject* object, std::wstring_view className);

// LIKE with % (any run), _ (one character), [abc] / [a-z] / [^...] sets, without regard to case.
bool WqlLike(std::wstring_view text, std::wstring_view pattern);

}  // namespace qz::wbem
