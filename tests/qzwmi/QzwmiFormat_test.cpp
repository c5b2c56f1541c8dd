// The command's values and code names: each CIM type read as the service keeps it (the layout of
// both formats is pinned by the golden outputs), and the error line of named and unnamed codes.
#include <gtest/gtest.h>
#include <oleauto.h>
#include <wbemcli.h>

#include <functional>

#include "ErrorNames.h"
#include "LogCommand.h"
#include "Output.h"
#include "Schema.h"

namespace {

VARIANT Scalar(VARTYPE vt, LONGLONG bits) {
  VARIANT value;
  VariantInit(&value);
  value.vt = vt;
  value.llVal = bits;
  return value;
}

VARIANT Text(const wchar_t* text) {
  VARIANT value = Scalar(VT_BSTR, 0);
  value.bstrVal = SysAllocString(text);
  return value;
}

template <class T>
VARIANT Array(VARTYPE vt, const std::vector<T>& items) {
  VARIANT value = Scalar(VT_ARRAY | vt, 0);
  value.parray = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(items.size()));
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
    T item = items[i];
    SafeArrayPutElement(value.parray, &i, &item);
  }
  return value;
}

TEST(QzwmiValues, EachCimTypeReadsAsTheServiceKeepsIt) {
  const struct {
    const char* what;
    CIMTYPE type;
    std::function<VARIANT()> make;
    std::string list;
    std::string json;
  } cases[] = {
      // uint16 and uint32 travel in VT_I4; the top bit set must not make them negative.
      {"uint32 max", CIM_UINT32, [] { return Scalar(VT_I4, static_cast<LONG>(-1)); }, "4294967295", "4294967295"},
      {"sint32", CIM_SINT32, [] { return Scalar(VT_I4, static_cast<LONG>(-5) & 0xFFFFFFFF); }, "-5", "-5"},
      {"uint8", CIM_UINT8, [] { return Scalar(VT_UI1, 255); }, "255", "255"},
      {"sint8 in VT_I2", CIM_SINT8, [] { return Scalar(VT_I2, 0xFF80); }, "-128", "-128"},
      {"sint16", CIM_SINT16, [] { return Scalar(VT_I2, 0x8000); }, "-32768", "-32768"},
      // 64-bit integers travel as decimal text and become JSON numbers without losing a digit.
      {"uint64 max", CIM_UINT64, [] { return Text(L"18446744073709551615"); }, "18446744073709551615",
       "18446744073709551615"},
      {"sint64 min", CIM_SINT64, [] { return Text(L"-9223372036854775808"); }, "-9223372036854775808",
       "-9223372036854775808"},
      {"uint64 not a number", CIM_UINT64, [] { return Text(L"12abc"); }, "12abc", "\"12abc\""},
      {"uint64 negative", CIM_UINT64, [] { return Text(L"-1"); }, "-1", "\"-1\""},
      {"string", CIM_STRING, [] { return Text(L"Board 1 DIMM \u00e9"); }, "Board 1 DIMM \xc3\xa9", "\"Board 1 DIMM \xc3\xa9\""},
      {"datetime", CIM_DATETIME, [] { return Text(L"20240102030405.000000+000"); }, "20240102030405.000000+000",
       "\"20240102030405.000000+000\""},
      {"reference", CIM_REFERENCE, [] { return Text(L"QZ_Board.Tag=\"Board 1\""); }, "QZ_Board.Tag=\"Board 1\"",
       "\"QZ_Board.Tag=\\\"Board 1\\\"\""},
      {"null", CIM_STRING, [] { return Scalar(VT_NULL, 0); }, "", "null"},
      {"null uint64", CIM_UINT64, [] { return Scalar(VT_NULL, 0); }, "", "null"},
      {"real64", CIM_REAL64, [] { VARIANT v = Scalar(VT_R8, 0); v.dblVal = 0.1; return v; }, "0.1", "0.1"},
      {"char16", CIM_CHAR16, [] { return Scalar(VT_I2, L'A'); }, "A", "\"A\""},
      {"uint32 array", CIM_UINT32 | CIM_FLAG_ARRAY, [] { return Array<LONG>(VT_I4, {-1, 0}); }, "{4294967295, 0}",
       "[4294967295,0]"},
      {"empty array", CIM_UINT16 | CIM_FLAG_ARRAY, [] { return Array<LONG>(VT_I4, {}); }, "{}", "[]"},
  };
  for (const auto& c : cases) {
    VARIANT value = c.make();
    EXPECT_EQ(qzwmi::ListValue(c.type, value), c.list) << c.what;
    EXPECT_EQ(qzwmi::JsonValue(c.type, value).dump(), c.json) << c.what;
    VariantClear(&value);
  }
}

TEST(QzwmiErrorNames, NamesKnownCodesAndPrintsOthersInHex) {
  const struct {
    HRESULT code;
    const char* text;
  } cases[] = {
      // The ends of the named ranges and one code of each other family.
      {WBEM_E_NOT_FOUND, "WBEM_E_NOT_FOUND (0x80041002)"},
      {WBEM_E_PROPERTY_NAME_TOO_WIDE, "WBEM_E_PROPERTY_NAME_TOO_WIDE (0x8004108F)"},
      {WBEM_S_NO_ERROR, "WBEM_S_NO_ERROR (0x00000000)"},
      {WBEM_S_PARTIAL_RESULTS, "WBEM_S_PARTIAL_RESULTS (0x00040010)"},
      {E_INVALIDARG, "E_INVALIDARG (0x80070057)"},
      {CO_E_ERRORINDLL, "CO_E_ERRORINDLL (0x800401F9)"},
      // Gaps in the WBEM range and codes of other facilities have no name.
      {static_cast<HRESULT>(0x80041057), "0x80041057"},
      {static_cast<HRESULT>(0x8004100), "0x08004100"},
      {HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED), "0x8007045A"},
  };
  for (const auto& c : cases) EXPECT_EQ(qzwmi::HresultText(c.code), c.text);
}

// The log is read in pieces as it grows: a character cut between two reads comes out whole.
TEST(QzwmiLog, Utf16PiecesBecomeUtf8) {
  const struct {
    std::vector<std::string> pieces;
    std::string text;
  } cases[] = {
      {{std::string("\xFF\xFEO\0K\0\n\0", 8)}, "OK\n"},                               // the byte-order mark goes
      {{std::string("\xFC\0", 2), std::string("\x3D\xD8", 2), std::string("\x00\xDE", 2)},
       "\xC3\xBC\xF0\x9F\x98\x80"},                                                     // ü and a pair split in two
      {{std::string("A\0B", 3), std::string("\0", 1)}, "AB"},                            // an odd byte waits
      {{std::string("\x00\xDCx\0", 4)}, "\xEF\xBF\xBDx"},                             // a lone low half
  };
  for (const auto& c : cases) {
    std::string pending, text;
    for (const std::string& piece : c.pieces) text += qzwmi::Utf16LeToUtf8(piece, &pending);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(pending, "");
  }
}

TEST(QzwmiNames, NearestNamesAreTyposOrWholeParts) {
  const std::vector<std::string> classes = {"QZ_MemoryModule", "QZ_MemoryModuleSlot", "QZ_MemoryBoard", "QZ_WinMemory"};
  const struct {
    std::string name;
    std::vector<std::string> nearest;
  } cases[] = {
      {"QZ_MemoryModul", {"QZ_MemoryModule"}},
      {"qz_memorymodule", {"QZ_MemoryModule"}},
      {"MemoryBoard", {"QZ_MemoryBoard"}},
      {"QZ_MemoryModuleSlots", {"QZ_MemoryModuleSlot"}},
      {"Win32_Processor", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(qzwmi::NearestNames(c.name, classes), c.nearest) << c.name;
}

}  // namespace
