// Fuzzes the query parser with any text: SELECT with its WHERE expressions, and the ASSOCIATORS OF
// and REFERENCES OF statements with their WHERE words. Every text is parsed or refused with
// WBEM_E_INVALID_QUERY and a message, without a fault; the LIKE matcher takes any text and pattern.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "wbem/wql.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each byte is one character, so that every value of the query's alphabet can appear.
  const std::wstring text(data, data + size);
  qz::wbem::WqlQuery query;
  std::wstring error;
  const HRESULT hr = qz::wbem::ParseWql(text, &query, &error);
  if (hr == S_OK) {
    if (query.statement == qz::wbem::WqlQuery::Statement::Select) {
      Check(!query.className.empty());
      if (query.where) {
        std::vector<std::wstring> names;
        qz::wbem::WhereProperties(*query.where, &names);
      }
    }
  } else {
    Check(hr == WBEM_E_INVALID_QUERY);
    Check(!error.empty());
  }
  // The matcher: the text before the first NUL against the pattern after it.
  const size_t split = text.find(L'\0');
  if (split != std::wstring::npos) {
    qz::wbem::WqlLike(std::wstring_view(text).substr(0, split), std::wstring_view(text).substr(split + 1));
  }
  return 0;
}
