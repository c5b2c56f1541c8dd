// IWbemContext through COM: names without regard to case, copies of values, clones and enumeration.
#include <atlbase.h>
#include <gtest/gtest.h>
#include <wbemcli.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

CComPtr<IWbemContext> NewContext() {
  CComPtr<IWbemContext> context;
  EXPECT_EQ(context.CoCreateInstance(CLSID_WbemContext, nullptr, CLSCTX_INPROC_SERVER), S_OK);
  return context;
}

TEST(WbemContextValues, NamesIgnoreCaseAndValuesAreCopies) {
  CComPtr<IWbemContext> context = NewContext();
  ASSERT_TRUE(context);
  CComVariant text(L"first");
  ASSERT_EQ(context->SetValue(L"__ProviderArchitecture", 0, &text), WBEM_S_NO_ERROR);
  text = L"changed after SetValue";
  CComVariant number(64);
  ASSERT_EQ(context->SetValue(L"__PROVIDERARCHITECTURE", 0, &number), WBEM_S_NO_ERROR);
  VARIANT out;
  std::memset(&out, 0xCC, sizeof(out));
  ASSERT_EQ(context->GetValue(L"__providerarchitecture", 0, &out), WBEM_S_NO_ERROR);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 64);

  std::memset(&out, 0xCC, sizeof(out));
  EXPECT_EQ(context->GetValue(L"Missing", 0, &out), WBEM_E_NOT_FOUND);
  EXPECT_EQ(out.vt, 0xCCCC);
  EXPECT_EQ(context->SetValue(nullptr, 0, &number), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(context->SetValue(L"x", 1, &number), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(context->SetValue(L"x", 0, nullptr), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(context->DeleteValue(L"Missing", 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(context->DeleteValue(L"__ProviderArchitecture", 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(context->GetValue(L"__ProviderArchitecture", 0, &out), WBEM_E_NOT_FOUND);
}

TEST(WbemContextValues, CloneIsIndependentAndEnumerationEndsWithNoMoreData) {
  CComPtr<IWbemContext> context = NewContext();
  CComVariant one(1);
  CComVariant two(L"two");
  context->SetValue(L"One", 0, &one);
  context->SetValue(L"Two", 0, &two);
  CComPtr<IWbemContext> copy;
  ASSERT_EQ(context->Clone(&copy), WBEM_S_NO_ERROR);
  ASSERT_EQ(context->DeleteAll(), WBEM_S_NO_ERROR);

  BSTR name = nullptr;
  EXPECT_EQ(copy->Next(0, &name, nullptr), WBEM_E_UNEXPECTED);
  ASSERT_EQ(copy->BeginEnumeration(0), WBEM_S_NO_ERROR);
  std::vector<std::wstring> names;
  CComVariant value;
  HRESULT hr;
  while ((hr = copy->Next(0, &name, &value)) == WBEM_S_NO_ERROR) {
    names.emplace_back(name);
    SysFreeString(name);
    value.Clear();
  }
  EXPECT_EQ(hr, WBEM_S_NO_MORE_DATA);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"One", L"Two"}));
  EXPECT_EQ(copy->EndEnumeration(), WBEM_S_NO_ERROR);

  SAFEARRAY* all = nullptr;
  ASSERT_EQ(context->GetNames(0, &all), WBEM_S_NO_ERROR);
  LONG upper = 0;
  EXPECT_EQ(SafeArrayGetUBound(all, 1, &upper), S_OK);
  EXPECT_EQ(upper, -1) << "the original was emptied, the clone kept its values";
  SafeArrayDestroy(all);
}

}  // namespace
