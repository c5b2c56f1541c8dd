// The WQL subset: what is refused, how deep and long a query may be, and how WHERE judges an
// instance (what the statements select is run through the service and association tests).
#include "wbem/wql.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include "wbem/classobject.h"

namespace {

using qz::wbem::ClassBuilder;
using qz::wbem::ParseWql;
using qz::wbem::WqlQuery;

TEST(WqlParse, RefusesWhatIsOutsideTheSubset) {
  const wchar_t* refused[] = {
      L"", L"SELECT * FROM", L"SELECT *, Name FROM X", L"SELECT * FROM X WHERE", L"SELECT * FROM X WHERE Name",
      L"SELECT * FROM X WHERE Name = 'open", L"SELECT * FROM X WHERE 1 = 2", L"SELECT * FROM X WHERE Name < NULL",
      L"SELECT * FROM X WHERE Number = 99999999999999999999999", L"SELECT * FROM X extra",
      L"SELECT * FROM X WHERE Name ~ 'a'", L"ASSOCIATORS {X.K=1}", L"ASSOCIATORS OF X.K=1",
      L"ASSOCIATORS OF {X.K=\"}\"", L"ASSOCIATORS OF {  }", L"ASSOCIATORS OF {X.K=1} ResultClass = Y",
      L"ASSOCIATORS OF {X.K=1} WHERE", L"ASSOCIATORS OF {X.K=1} WHERE ResultClass",
      L"ASSOCIATORS OF {X.K=1} WHERE ResultClass =", L"ASSOCIATORS OF {X.K=1} WHERE ResultClass = Y AND Role = Z",
      L"ASSOCIATORS OF {X.K=1} WHERE Colour = Red", L"ASSOCIATORS OF {X.K=1} WHERE ClassDefsOnly = TRUE",
      L"ASSOCIATORS OF {X.K=1} WHERE KeysOnly KeysOnly", L"REFERENCES OF {X.K=1} WHERE AssocClass = Y",
      L"REFERENCES OF {X.K=1} WHERE ResultRole = Y",
  };
  for (const wchar_t* text : refused) {
    WqlQuery query;
    std::wstring error;
    EXPECT_EQ(ParseWql(text, &query, &error), WBEM_E_INVALID_QUERY) << text;
    EXPECT_NE(error.find(L"at position"), std::wstring::npos) << text;
  }
}

std::wstring Repeat(std::wstring_view part, size_t count) {
  std::wstring out;
  for (size_t i = 0; i < count; ++i) out += part;
  return out;
}

// Parentheses and NOT nest to the bound and no further; the text is bounded in length. What is
// refused says why and where, and nothing deep or long reaches the stack.
TEST(WqlParse, BoundsNestingAndLength) {
  const std::wstring head = L"SELECT * FROM X WHERE ";
  const size_t depth = qz::wbem::kMaxWqlNesting;
  const std::wstring deepest = head + Repeat(L"(", depth) + L"A = 1" + Repeat(L")", depth);
  const std::wstring chain = head + L"A = 1" + Repeat(L" OR A = 1", 8000);
  std::wstring longest = chain.substr(0, chain.rfind(L" OR", qz::wbem::kMaxWqlLength - 3));
  longest.resize(qz::wbem::kMaxWqlLength, L' ');
  const struct {
    std::wstring text;
    std::wstring error;  // empty: parsed
  } cases[] = {
      {deepest, L""},
      {head + Repeat(L"NOT ", depth) + L"A = 1", L""},
      {head + Repeat(L"(NOT ", depth / 2) + L"A = 1" + Repeat(L")", depth / 2), L""},
      {head + Repeat(L"(", depth + 1) + L"A = 1" + Repeat(L")", depth + 1),
       L"nested deeper than 64 levels at position " + std::to_wstring(head.size() + depth)},
      {head + Repeat(L"NOT ", depth + 1) + L"A = 1",
       L"nested deeper than 64 levels at position " + std::to_wstring(head.size() + 4 * depth)},
      {head + Repeat(L"(", 25000) + L"A = 1" + Repeat(L")", 25000),
       L"nested deeper than 64 levels at position " + std::to_wstring(head.size() + depth)},
      {longest, L""},
      {chain, L"query longer than 65536 characters at position 65536"},
  };
  for (const auto& c : cases) {
    WqlQuery query;
    std::wstring error;
    EXPECT_EQ(ParseWql(c.text, &query, &error), c.error.empty() ? WBEM_S_NO_ERROR : WBEM_E_INVALID_QUERY)
        << c.text.substr(0, 80);
    EXPECT_EQ(error, c.error);
  }
}

TEST(WqlLike, PatternsIgnoreCase) {
  struct Case { const wchar_t* text; const wchar_t* pattern; bool match; } cases[] = {
      {L"DIMM 3", L"dimm%", true},      {L"DIMM 13", L"DIMM _", false}, {L"DIMM 7", L"DIMM [0-4]", false},
      {L"DIMM 7", L"DIMM [^0-4]", true}, {L"", L"%", true},              {L"", L"_", false},
      {L"abc", L"abc%d", false},        {L"a[b", L"a[b", true},
      // A '%' must give back characters when what follows fails later on.
      {L"abcabd", L"%abd", true},       {L"mississippi", L"m%iss%ppi", true}, {L"mississippi", L"m%iss%ppx", false},
      {L"ab", L"%a%b%", true},          {L"xbc", L"%[b-c]c", true},      {L"abc", L"a%%_", true},
  };
  for (const Case& c : cases) EXPECT_EQ(qz::wbem::WqlLike(c.text, c.pattern), c.match) << c.text << " / " << c.pattern;

  // Many '%' against a long text that almost matches: trying every split for every
  // '%' would not finish.
  std::wstring text(4000, L'a');
  EXPECT_FALSE(qz::wbem::WqlLike(text, L"%a%a%a%a%a%a%a%a%a%a%a%a%a%a%a%a%b"));
  EXPECT_TRUE(qz::wbem::WqlLike(text + L"b", L"%a%a%a%a%a%a%a%a%a%a%a%a%a%a%a%a%b"));
}

class WqlEvaluate : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ClassBuilder(L"QZ_Sample").AddKey(L"Tag", CIM_STRING).AddProperty(L"Capacity", CIM_UINT64)
                  .AddProperty(L"Width", CIM_UINT16).AddProperty(L"Status", CIM_UINT32)
                  .AddProperty(L"Healthy", CIM_BOOLEAN).AddProperty(L"Missing", CIM_STRING)
                  .AddProperty(L"Codes", CIM_UINT16 | CIM_FLAG_ARRAY).Create(&m_Class),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(m_Class->SpawnInstance(0, &m_Instance), WBEM_S_NO_ERROR);
    Put(L"Tag", CComVariant(L"Board 1 DIMM 3"));
    Put(L"Capacity", CComVariant(L"17179869184"));
    Put(L"Width", CComVariant(72));
    Put(L"Status", CComVariant(static_cast<int>(0xFFFFFFFFu)));
    Put(L"Healthy", CComVariant(true));
  }
  void Put(const wchar_t* name, CComVariant value) { ASSERT_EQ(m_Instance->Put(name, 0, &value, 0), WBEM_S_NO_ERROR) << name; }

  bool Matches(const wchar_t* where) {
    WqlQuery query;
    std::wstring text = std::wstring(L"SELECT * FROM QZ_Sample WHERE ") + where;
    EXPECT_EQ(ParseWql(text, &query), WBEM_S_NO_ERROR) << where;
    return query.where && qz::wbem::EvaluateWql(*query.where, m_Instance);
  }

  CComPtr<IWbemClassObject> m_Class, m_Instance;
};

TEST_F(WqlEvaluate, ComparesByTypeAndLogic) {
  struct Case { const wchar_t* where; bool match; } cases[] = {
      {L"Tag = 'board 1 dimm 3'", true},  // strings ignore case
      {L"Tag <> 'Board 1 DIMM 3'", false}, {L"Tag < 'C'", true},
      {L"Capacity = 17179869184", true},  // uint64 is text underneath, compared as a number
      {L"Capacity > 9999999999", true}, {L"Capacity = '17179869184'", true}, {L"Width >= 72 AND Width <= 72", true},
      {L"Width = 0x48", true},
      {L"Status = 4294967295", true},  // a uint32 is unsigned, not -1
      {L"Healthy = TRUE", true}, {L"Healthy = FALSE", false},
      {L"Missing = 'x'", false},  // no value: no comparison holds
      {L"Missing <> 'x'", false}, {L"Missing IS NULL", true}, {L"Tag IS NOT NULL", true},
      {L"Codes = 1", false},  // arrays compare with nothing
      {L"NOT (Width = 1 OR Tag LIKE '%DIMM%')", false}, {L"Width = 1 OR Tag LIKE '%DIMM _'", true},
      {L"Width = 1 OR Width = 2 AND Width = 72", false},
      {L"Width = 72 OR Width = 1 AND Width = 2", true},  // AND binds tighter than OR, on either side
      {L"Width = 1 AND Width = 2 OR Width = 72", true}, {L"(Width = 1 OR Width = 72) AND Healthy = TRUE", true},
      {L"72 = Width", true}, {L"__CLASS = 'qz_sample'", true},
  };
  for (const Case& c : cases) EXPECT_EQ(Matches(c.where), c.match) << c.where;
}

// A chain as long as the text allows is one level deep: it is judged, and let go, without
// recursing once per term.
TEST_F(WqlEvaluate, LongChainsAreJudgedWhole) {
  std::wstring ors = L"Width = 0", ands = L"Width = 72";
  for (int i = 1; i < 3000; ++i) {
    ors += L" OR Width = " + std::to_wstring(i);
    ands += L" AND Width <> " + std::to_wstring(i % 72 + 73);
  }
  EXPECT_TRUE(Matches(ors.c_str()));
  EXPECT_TRUE(Matches(ands.c_str()));
  EXPECT_FALSE(Matches((ands + L" AND Width = 1").c_str()));
  EXPECT_FALSE(Matches((L"NOT (" + ors + L")").c_str()));
}

}  // namespace
