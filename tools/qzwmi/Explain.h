// The words of an error line: what a failed request was about (the class, the path and the key
// that did not match, the place in a query, the module and the loader's message), found after the
// fact by asking the service, so that the request itself stays as any client makes it.
#pragma once

#include <wbemcli.h>

#include <string>

#include "Commands.h"

namespace qzwmi {

// Why the request failed with `hr`, in words, or an empty string when nothing more than the code is
// known.
std::string ExplainFailure(const std::wstring& nameSpace, Request request, const std::wstring& argument, HRESULT hr);

// "no class X in NAMESPACE; did you mean Y? (qzwmi classes lists them)", or empty when the class
// exists.
std::string ExplainClass(IWbemServices* services, const std::wstring& nameSpace, const std::wstring& className);

// Why the module at `path` does not load: the file missing, or the loader's own message.
std::string ExplainModule(const std::string& path);

// The error line: "qzwmi: WORDS: CODE (0x...)", or "qzwmi: CODE (0x...)" without words.
std::string ErrorLine(const std::string& words, HRESULT hr);

}  // namespace qzwmi
