// The MOF compiler: class definitions and static instances written in MOF text, parsed and stored
// in the repository (classes) and its static-instance store (instances).
#pragma once

#include <wbemcli.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qz::wbem {

class Repository;

// What a compilation did, or where it stopped.
struct MofResult {
  HRESULT status = WBEM_S_NO_ERROR;
  // For a failure: "file:line:column: message" (line and column from 1); empty on success.
  std::wstring message;
  unsigned line = 0;
  unsigned column = 0;
  // The classes stored, as "namespace:Class", and the static instances stored, as
  // "namespace:relative path", in the order they were stored.
  std::vector<std::wstring> classes;
  std::vector<std::wstring> instances;
};

// Compiles MOF text into Repository::Instance(). `fileName` only names the text in messages;
// `defaultNamespace` is where declarations go until a "#pragma namespace" says otherwise.
// The whole text is parsed before anything is stored, so a syntax error stores nothing; a
// declaration that the repository refuses stops the compilation there (what came before it stays).
// Results: WBEM_S_NO_ERROR; WBEM_E_INVALID_SYNTAX for text outside the language; the repository's
// codes for what it refuses (WBEM_E_INVALID_SUPERCLASS, WBEM_E_INVALID_CLASS for an instance of an
// unknown class, WBEM_E_NOT_FOUND for an unknown property, WBEM_E_TYPE_MISMATCH for a value that
// does not fit its type, WBEM_E_INVALID_NAMESPACE, ...); WBEM_E_INVALID_PARAMETER for a null result.
HRESULT CompileMof(std::wstring_view text, std::wstring_view fileName, std::wstring defaultNamespace, MofResult* result);
// The same into another repository (tests); its static instances are not served by a provider.
HRESULT CompileMof(std::wstring_view text, std::wstring_view fileName, std::wstring defaultNamespace, MofResult* result,
                   Repository& repository);

namespace mof {

// Where something stands in the text (from 1).
struct Position {
  unsigned line = 1;
  unsigned column = 1;
};

// A value as written: a constant, an array of constants, null, or an alias of an instance.
struct Value {
  enum class Kind { Null, Boolean, Integer, Real, String, Char, Alias, Array };
  Kind kind = Kind::Null;
  bool boolean = false;
  bool negative = false;             // Integer: the sign, apart from the magnitude
  unsigned long long magnitude = 0;  // Integer
  double real = 0;
  std::wstring text;  // String (concatenated and unescaped), Char (one character), Alias (without '$')
  std::vector<Value> elements;  // Array
  Position position;
};

// WBEM_FLAVOR_* bits of a qualifier; `explicitFlavor` when the text gave flavors.
struct QualifierSyntax {
  std::wstring name;
  Value value;  // Boolean true when no value was written
  LONG flavor = 0;
  bool explicitFlavor = false;
  Position position;
};

struct PropertySyntax {
  std::vector<QualifierSyntax> qualifiers;
  std::wstring name;
  CIMTYPE type = CIM_EMPTY;  // with CIM_FLAG_ARRAY for arrays
  std::wstring refClass;     // for references
  bool hasDefault = false;
  Value defaultValue;
  Position position;
};

struct ClassSyntax {
  std::vector<QualifierSyntax> qualifiers;
  std::wstring name;
  std::wstring superclass;
  std::vector<PropertySyntax> properties;
  Position position;
};

struct InstanceSyntax {
  std::vector<QualifierSyntax> qualifiers;
  std::wstring className;
  std::wstring alias;  // without '$'; empty: none
  struct Assignment {
    std::wstring name;
    Value value;
    Position position;
  };
  std::vector<Assignment> assignments;
  Position position;
};

// One declaration of the text, with the namespace it goes to (as the pragma wrote it, resolved
// against the namespace before it).
struct Declaration {
  std::wstring nameSpace;
  std::unique_ptr<ClassSyntax> cls;            // one of the two
  std::unique_ptr<InstanceSyntax> instance;
};

// A parse failure: position and message.
struct ParseError {
  Position position;
  std::wstring message;
};

// Parses the whole text. False with *error set for text outside the language.
bool ParseMof(std::wstring_view text, const std::wstring& defaultNamespace, std::vector<Declaration>* declarations,
              ParseError* error);

}  // namespace mof
}  // namespace qz::wbem
