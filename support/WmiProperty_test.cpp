// The property writers and readers: the VARIANT each writer hands to Put, what the service then
// holds, each reader's accepted types and conversions, and the byte-buffer capacity.
#include "support/WmiProperty.h"

#include <atlbase.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/WbemDoubles.h"

namespace {

// An object whose Get answers a scripted value or code, and whose Put records what it was given.
class ScriptedObject : public IWbemClassObject {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Get(LPCWSTR name, LONG flags, VARIANT* pVal, CIMTYPE* pType, LONG* plFlavor) override {
    getName = name;
    getFlags = flags;
    getTypeOrFlavorAsked = pType != nullptr || plFlavor != nullptr;
    if (FAILED(getResult)) return getResult;
    VariantInit(pVal);
    return VariantCopy(pVal, &value);
  }
  STDMETHODIMP Put(LPCWSTR name, LONG flags, VARIANT* pVal, CIMTYPE type) override {
    putName = name;
    putFlags = flags;
    putType = type;
    put = *pVal;
    return putResult;
  }
  STDMETHODIMP GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }
  STDMETHODIMP Delete(LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return E_NOTIMPL; }
  STDMETHODIMP BeginEnumeration(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP EndEnumeration() override { return E_NOTIMPL; }
  STDMETHODIMP GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
  STDMETHODIMP Clone(IWbemClassObject**) override { return E_NOTIMPL; }
  STDMETHODIMP GetObjectText(LONG, BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP SpawnDerivedClass(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
  STDMETHODIMP SpawnInstance(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
  STDMETHODIMP CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override { return E_NOTIMPL; }
  STDMETHODIMP PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override { return E_NOTIMPL; }
  STDMETHODIMP DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override { return E_NOTIMPL; }
  STDMETHODIMP EndMethodEnumeration() override { return E_NOTIMPL; }
  STDMETHODIMP GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
  STDMETHODIMP GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

  CComVariant value;
  HRESULT getResult = WBEM_S_NO_ERROR;
  std::wstring getName;
  LONG getFlags = -1;
  bool getTypeOrFlavorAsked = true;
  HRESULT putResult = WBEM_S_NO_ERROR;
  CComVariant put;
  std::wstring putName;
  LONG putFlags = -1;
  CIMTYPE putType = -1;
};

// A one-dimensional array of `type` with the given lower bound, filled from `values`.
CComVariant MakeArray(VARTYPE type, const std::vector<LONG>& values, LONG lower = 0) {
  SAFEARRAYBOUND bound{static_cast<ULONG>(values.size()), lower};
  CComVariant array;
  array.vt = static_cast<VARTYPE>(VT_ARRAY | type);
  array.parray = SafeArrayCreate(type, 1, &bound);
  for (size_t i = 0; i < values.size(); ++i) {
    LONG index = lower + static_cast<LONG>(i);
    LONG element = values[i];
    // The element's own bytes sit first on a little-endian machine, so one LONG serves every width.
    EXPECT_EQ(SafeArrayPutElement(array.parray, &index, &element), S_OK);
  }
  return array;
}

using Writer = std::function<HRESULT(IWbemClassObject*)>;

// The writers' boundaries as they reach Put: the flags and type, the VARIANT's type and value, and
// lists as zero-based one-dimensional arrays even when empty.
TEST(WmiPropertyWriters, HandPutTheServicesRepresentation) {
  const std::pair<Writer, const wchar_t*> cases[] = {
      {[](IWbemClassObject* o) { return PutBool(o, L"P", false); }, L"bool:false"},
      {[](IWbemClassObject* o) { return PutUint16(o, L"P", 0x8000); }, L"i4:32768"},
      {[](IWbemClassObject* o) { return PutUint32(o, L"P", 0xFFFFFFFFu); }, L"i4:-1"},
      {[](IWbemClassObject* o) { return PutUint64(o, L"P", 0); }, L"bstr:0"},
      {[](IWbemClassObject* o) { return PutUint64(o, L"P", ~0ULL); }, L"bstr:18446744073709551615"},
      {[](IWbemClassObject* o) { return PutString(o, L"P", static_cast<const wchar_t*>(nullptr)); }, L"bstr:"},
      {[](IWbemClassObject* o) { return PutStringList(o, L"P", {L"PROC 1", L"", L"DIMM 2"}); }, L"bstr[PROC 1,,DIMM 2]"},
      {[](IWbemClassObject* o) { return PutUint16List(o, L"P", {}); }, L"i4[]"},
      {[](IWbemClassObject* o) { return PutByteList(o, L"P", {0, 0x7F, 0x80, 0xFF}); }, L"ui1[0,127,128,255]"},
  };
  for (const auto& [write, want] : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(want)));
    ScriptedObject object;
    EXPECT_EQ(write(&object), WBEM_S_NO_ERROR);
    EXPECT_EQ(object.putName, L"P");
    EXPECT_EQ(object.putFlags, 0);
    EXPECT_EQ(object.putType, 0);
    object.value = object.put;
    EXPECT_EQ(qztest::Describe(&object, L"P"), want);
    if (!(object.put.vt & VT_ARRAY)) continue;
    LONG lower = -1;
    EXPECT_EQ(SafeArrayGetDim(object.put.parray), 1u);
    EXPECT_EQ(SafeArrayGetLBound(object.put.parray, 1, &lower), S_OK);
    EXPECT_EQ(lower, 0);
  }
}

TEST(WmiPropertyWriters, ReturnWhatPutAnswers) {
  ScriptedObject object;
  object.putResult = WBEM_E_ACCESS_DENIED;
  EXPECT_EQ(PutUint32(&object, L"P", 1), WBEM_E_ACCESS_DENIED);
  EXPECT_EQ(PutStringList(&object, L"P", {L"x"}), WBEM_E_ACCESS_DENIED);
  EXPECT_EQ(PutBool(nullptr, L"P", true), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(PutByteList(nullptr, L"P", {1}), WBEM_E_INVALID_PARAMETER);
}

// Each reader over every VARIANT type it may meet, and a failing Get, whose code passes through
// except from the 8- and 16-bit readers; the out value must stay poisoned on failure.
TEST(WmiPropertyReaders, AcceptTheirTypesAndConvert) {
  enum Reader { kBool, kUint32, kUint16, kUint8, kString };
  struct Case {
    const char* what;
    Reader reader;
    CComVariant given;
    HRESULT expected;
    DWORD number;          // kBool as 0/1, the integers
    const wchar_t* text;   // kString
    HRESULT getResult = WBEM_S_NO_ERROR;
  };
  CComVariant nullText;
  nullText.vt = VT_BSTR;
  nullText.bstrVal = nullptr;
  CComVariant notTrue;
  notTrue.vt = VT_BOOL;
  notTrue.boolVal = 1;
  CComVariant signedInt(-3, VT_INT);
  CComVariant unsignedInt(0x89ABCDEFu, VT_UINT);
  const Case cases[] = {
      {"bool true", kBool, CComVariant(true), WBEM_S_NO_ERROR, 1, nullptr},
      {"bool any non-zero", kBool, notTrue, WBEM_S_NO_ERROR, 1, nullptr},
      {"bool from number", kBool, CComVariant(1), WBEM_E_FAILED, 0, nullptr},
      {"bool from text", kBool, CComVariant(L"TRUE"), WBEM_E_FAILED, 0, nullptr},
      {"I1 sign-extended", kUint32, CComVariant('\xFF'), WBEM_S_NO_ERROR, 0xFFFFFFFFu, nullptr},
      {"I2 sign-extended", kUint32, CComVariant(short{-2}), WBEM_S_NO_ERROR, 0xFFFFFFFEu, nullptr},
      {"UI2 zero-extended", kUint32, CComVariant(static_cast<unsigned short>(0xFFFF)), WBEM_S_NO_ERROR, 65535, nullptr},
      {"I4", kUint32, CComVariant(-1), WBEM_S_NO_ERROR, 0xFFFFFFFFu, nullptr},
      {"INT", kUint32, signedInt, WBEM_S_NO_ERROR, 0xFFFFFFFDu, nullptr},
      {"UINT", kUint32, unsignedInt, WBEM_S_NO_ERROR, 0x89ABCDEFu, nullptr},
      {"uint64 text is no integer", kUint32, CComVariant(L"17"), WBEM_E_FAILED, 0, nullptr},
      {"I8 is not read", kUint32, CComVariant(LONGLONG{5}), WBEM_E_FAILED, 0, nullptr},
      {"bool is no integer", kUint32, CComVariant(true), WBEM_E_FAILED, 0, nullptr},
      {"null value", kUint32, CComVariant(), WBEM_E_FAILED, 0, nullptr},
      {"16 bits of I4", kUint16, CComVariant(0x12345), WBEM_S_NO_ERROR, 0x2345, nullptr},
      {"16 bits of I1", kUint16, CComVariant('\x80'), WBEM_S_NO_ERROR, 0xFF80, nullptr},
      {"8 bits of I4", kUint8, CComVariant(0x1FF), WBEM_S_NO_ERROR, 0xFF, nullptr},
      {"8 bits of UI2", kUint8, CComVariant(static_cast<unsigned short>(0x0102)), WBEM_S_NO_ERROR, 0x02, nullptr},
      {"8 from R8", kUint8, CComVariant(1.0), WBEM_E_FAILED, 0, nullptr},
      {"text", kString, CComVariant(L"DIMM 3"), WBEM_S_NO_ERROR, 0, L"DIMM 3"},
      {"null text", kString, nullText, WBEM_S_NO_ERROR, 0, L""},
      {"text from number", kString, CComVariant(3), WBEM_E_FAILED, 0, nullptr},
      {"bool, Get failing", kBool, CComVariant(), WBEM_E_NOT_FOUND, 0, nullptr, WBEM_E_NOT_FOUND},
      {"uint32, Get failing", kUint32, CComVariant(), WBEM_E_NOT_FOUND, 0, nullptr, WBEM_E_NOT_FOUND},
      {"uint16, Get failing", kUint16, CComVariant(), WBEM_E_FAILED, 0, nullptr, WBEM_E_NOT_FOUND},
      {"uint8, Get failing", kUint8, CComVariant(), WBEM_E_FAILED, 0, nullptr, WBEM_E_NOT_FOUND},
      {"text, Get failing", kString, CComVariant(), WBEM_E_NOT_FOUND, 0, nullptr, WBEM_E_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedObject object;
    object.value = c.given;
    object.getResult = c.getResult;
    // Out values start poisoned, a bool as the opposite of what the case reads.
    bool flag = c.number == 0;
    DWORD d = 0xCCCCCCCC;
    WORD w = 0xCCCC;
    BYTE b = 0xCC;
    std::wstring text = L"poison";
    const HRESULT hr = c.reader == kBool     ? GetBool(&object, L"P", flag)
                       : c.reader == kUint32 ? GetUint32(&object, L"P", d)
                       : c.reader == kUint16 ? GetUint16(&object, L"P", w)
                       : c.reader == kUint8  ? GetUint8(&object, L"P", b)
                                             : GetString(&object, L"P", text);
    EXPECT_EQ(hr, c.expected);
    EXPECT_EQ(object.getName, L"P");
    EXPECT_EQ(object.getFlags, 0);
    EXPECT_FALSE(object.getTypeOrFlavorAsked);
    const DWORD got[] = {flag, d, w, b, 0};
    const DWORD poison[] = {c.number == 0, 0xCCCCCCCC, 0xCCCC, 0xCC, 0};
    EXPECT_EQ(got[c.reader], SUCCEEDED(c.expected) ? c.number : poison[c.reader]);
    EXPECT_EQ(text, SUCCEEDED(c.expected) && c.reader == kString ? c.text : L"poison");
  }
}

TEST(WmiPropertyReaders, ByteBufferTakesLowBytesUpToItsCapacity) {
  std::vector<LONG> three_hundred(300);
  for (size_t i = 0; i < three_hundred.size(); ++i) three_hundred[i] = static_cast<LONG>(i);
  struct Case {
    const char* what;
    CComVariant given;
    DWORD capacity;
    HRESULT expected;
    DWORD count;                  // after the call
    std::vector<BYTE> bytes;      // the first bytes of the buffer afterwards
    HRESULT getResult = WBEM_S_NO_ERROR;
  };
  CComVariant scalar(BYTE{1});
  CComVariant texts;
  texts.vt = VT_ARRAY | VT_BSTR;
  texts.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
  std::vector<BYTE> first256(256);
  for (size_t i = 0; i < first256.size(); ++i) first256[i] = static_cast<BYTE>(i);
  const Case cases[] = {
      {"300 into 256", MakeArray(VT_UI1, three_hundred), 256, WBEM_S_NO_ERROR, 256, first256},
      {"I4 low bytes", MakeArray(VT_I4, {0x1234, -1, 0x100}), 256, WBEM_S_NO_ERROR, 3, {0x34, 0xFF, 0x00, 0xCC}},
      {"I2 low bytes", MakeArray(VT_I2, {0x0180, -2}), 256, WBEM_S_NO_ERROR, 2, {0x80, 0xFE, 0xCC}},
      {"I1", MakeArray(VT_I1, {-1, 5}), 256, WBEM_S_NO_ERROR, 2, {0xFF, 0x05, 0xCC}},
      {"lower bound 5", MakeArray(VT_UI1, {9, 8, 7}, 5), 256, WBEM_S_NO_ERROR, 3, {9, 8, 7, 0xCC}},
      {"capacity 2", MakeArray(VT_UI1, {9, 8, 7}), 2, WBEM_S_NO_ERROR, 2, {9, 8, 0xCC}},
      {"capacity 0", MakeArray(VT_UI1, {9}), 0, WBEM_S_NO_ERROR, 0, {0xCC}},
      {"empty array", MakeArray(VT_UI1, {}), 256, WBEM_S_NO_ERROR, 0, {0xCC}},
      {"not an array", scalar, 256, WBEM_E_FAILED, 256, {0xCC}},
      {"array of strings", texts, 256, WBEM_E_FAILED, 256, {0xCC}},
      {"null", CComVariant(), 256, WBEM_E_FAILED, 256, {0xCC}},
      {"Get failing", CComVariant(), 256, WBEM_E_NOT_FOUND, 256, {0xCC}, WBEM_E_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedObject object;
    object.value = c.given;
    object.getResult = c.getResult;
    std::vector<BYTE> buffer(300, 0xCC);
    DWORD count = c.capacity;
    EXPECT_EQ(GetBytes(&object, L"RawData", buffer.data(), count), c.expected);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + static_cast<long>(c.bytes.size())), c.bytes);
    if (c.capacity == 256) {
      EXPECT_EQ(buffer[256], 0xCC);  // nothing written past the capacity
    }
  }
}

}  // namespace
