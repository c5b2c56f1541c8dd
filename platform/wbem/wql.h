// The WQL that the service answers: SELECT * or a property list FROM a class (or meta_class),
// with an optional WHERE of comparisons joined by AND, OR, NOT and parentheses.
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
  std::unique_ptr<WqlExpr> first, second;   // And/Or (both), Not (first)
};

struct WqlQuery {
  bool allProperties = true;              // SELECT *
  std::vector<std::wstring> properties;   // SELECT a, b (in the order given)
  std::wstring className;                 // FROM
  bool metaClass = false;                 // FROM meta_class
  std::unique_ptr<WqlExpr> where;         // null: every object
};

// Parses a query; WBEM_E_INVALID_QUERY for anything outside the subset (with the position of the
// problem in `error` when given).
HRESULT ParseWql(std::wstring_view text, WqlQuery* query, std::wstring* error = nullptr);

// The property names that the WHERE clause reads (for checking them against the class).
void WhereProperties(const WqlExpr& expr, std::vector<std::wstring>* names);

// Whether the object satisfies the expression. Strings compare without regard to case, numbers by
// value whatever their stored form (uint64 is text), a property without a value satisfies only IS
// NULL; ISA compares the class and its ancestors with the literal.
bool EvaluateWql(const WqlExpr& expr, IWbemClassObject* object);

// LIKE with % (any run), _ (one character), [abc] / [a-z] / [^...] sets, without regard to case.
bool WqlLike(std::wstring_view text, std::wstring_view pattern);

}  // namespace qz::wbem
