// ASSOCIATORS OF and REFERENCES OF through the service, over static instances: which objects each
// WHERE word keeps, how references are matched to the source, and the codes of bad requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wbem/mof.h"
#include "wbem/provider.h"
#include "wbem/repository.h"

namespace {

using qz::wbem::Repository;

constexpr const wchar_t* kNamespace = L"root\\AssocTest";

// Two boards and three modules, the third with a brace in its tag. M1 hangs off B1 through two
// different associations, M2 through a reference written as a full path; a link to a module that
// is gone, one to B1 of another namespace and one to "b1" must not surface for B1; M2 also leads to B2.
constexpr const wchar_t* kMof =
    LR"MOF(
class QZ_Element { [key] string Tag; };
class QZ_Board : QZ_Element { };
[Fitted] class QZ_Module : QZ_Element { uint64 Capacity; };
[Association] class QZ_Link { [key] QZ_Element ref Antecedent; [key] QZ_Element ref Dependent; string Label; };
class QZ_ModuleInBoard : QZ_Link { };
[Association, Special] class QZ_Other { [key] QZ_Element ref Left; [key] QZ_Element ref Right; string Label; };
instance of QZ_Board { Tag = "B1"; };
instance of QZ_Board { Tag = "B2"; };
instance of QZ_Module { Tag = "M1"; };
instance of QZ_Module { Tag = "M2"; };
instance of QZ_Module { Tag = "M}3"; };
instance of QZ_ModuleInBoard { Label = "L1"; Antecedent = "QZ_Board.Tag=\"B1\""; Dependent = "QZ_Module.Tag=\"M1\""; };
instance of QZ_ModuleInBoard { Label = "L2"; Antecedent = "\\\\QZ-TEST\\root\\AssocTest:QZ_Board.Tag=\"B1\"";
                               Dependent = "QZ_Module.Tag=\"M2\""; };
instance of QZ_ModuleInBoard { Label = "L3"; Antecedent = "QZ_Board.Tag=\"B1\""; Dependent = "QZ_Module.Tag=\"Gone\""; };
instance of QZ_Other { Label = "L4"; Left = "QZ_Module.Tag=\"M1\""; Right = "qz_board=\"B1\""; };
instance of QZ_Link { Label = "L5"; Antecedent = "\\\\QZ-TEST\\root\\Elsewhere:QZ_Board.Tag=\"B1\"";
                      Dependent = "QZ_Module.Tag=\"M}3\""; };
instance of QZ_Link { Label = "L6"; Antecedent = "QZ_Board.Tag=\"b1\""; Dependent = "QZ_Module.Tag=\"M}3\""; };
instance of QZ_Link { Label = "L7"; Antecedent = "QZ_Module.Tag=\"M2\""; Dependent = "QZ_Board.Tag=\"B2\""; };
)MOF";

class AssociationQuery : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(SUCCEEDED(Repository::Instance().CreateNamespace(kNamespace)));
    qz::wbem::MofResult result;
    ASSERT_EQ(qz::wbem::CompileMof(kMof, L"assoc.mof", kNamespace, &result), WBEM_S_NO_ERROR) << result.message;
  }
  void SetUp() override { ASSERT_EQ(qz::wbem::CreateServices(kNamespace, &m_Services), WBEM_S_NO_ERROR); }

  // What the query gives, each object by its Tag, Label or (for a class) its name.
  HRESULT Run(const std::wstring& query, std::vector<std::wstring>* names) {
    names->clear();
    CComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr =
        m_Services->ExecQuery(CComBSTR(L"WQL"), CComBSTR(query.c_str()), WBEM_FLAG_FORWARD_ONLY, nullptr, &enumerator);
    if (FAILED(hr)) return hr;
    for (;;) {
      CComPtr<IWbemClassObject> object;
      ULONG returned = 0;
      if (enumerator->Next(static_cast<LONG>(WBEM_INFINITE), 1, &object, &returned) != WBEM_S_NO_ERROR) break;
      CComVariant value;
      for (const wchar_t* property : {L"Tag", L"Label", L"__CLASS"}) {
        if (SUCCEEDED(object->Get(property, 0, &value, nullptr, nullptr)) && value.vt == VT_BSTR) break;
      }
      names->push_back(value.vt == VT_BSTR ? value.bstrVal : L"?");
    }
    return hr;
  }

  CComPtr<IWbemServices> m_Services;
};

using Names = std::vector<std::wstring>;

TEST_F(AssociationQuery, WhereWordsAndSourcePathsSelectTheEnds) {
  const std::wstring b1 = L"ASSOCIATORS OF {QZ_Board.Tag=\"B1\"}";
  struct Case { std::wstring query; Names expected; } cases[] = {
      // The gone module and the links of another namespace or another key spelling stay out; M1 once.
      {b1, {L"M1", L"M2"}},
      {L"ASSOCIATORS OF {\\\\.\\root\\AssocTest:QZ_Board.Tag=\"B1\"}", {L"M1", L"M2"}},
      {L"associators of { \\\\QZ-TEST\\ROOT\\assoctest:qz_board.tag=\"B1\" }", {L"M1", L"M2"}},
      {L"ASSOCIATORS OF {\\\\OTHER\\root\\AssocTest:QZ_Board.Tag=\"B1\"}", {L"M1"}},
      {b1 + L" WHERE AssocClass = QZ_Link", {L"M1", L"M2"}},
      {b1 + L" WHERE AssocClass = QZ_Other", {L"M1"}},
      {b1 + L" where resultclass = QZ_Element", {L"M1", L"M2"}},
      {b1 + L" WHERE ResultClass = QZ_Board", {}},
      {b1 + L" WHERE Role = Right", {L"M1"}},
      {b1 + L" WHERE Role = Dependent", {}},
      {b1 + L" WHERE ResultRole = 'Left'", {L"M1"}},
      {b1 + L" WHERE RequiredAssocQualifier = Special", {L"M1"}},
      {b1 + L" WHERE RequiredQualifier = Fitted Role = Antecedent", {L"M1", L"M2"}},
      {b1 + L" WHERE ClassDefsOnly", {L"QZ_Module"}},
      {L"ASSOCIATORS OF {QZ_Module.Tag=\"M2\"}", {L"B2", L"B1"}},
      // B1 of another namespace does not resolve; "b1" does, as every lookup by key ignores case.
      {L"ASSOCIATORS OF {QZ_Module.Tag=\"M}3\"}", {L"B1"}},
      {L"REFERENCES OF {QZ_Board.Tag=\"B1\"}", {L"L1", L"L2", L"L3", L"L4"}},
      {L"REFERENCES OF {QZ_Board.Tag=\"B1\"} WHERE ResultClass = QZ_Other", {L"L4"}},
      {L"REFERENCES OF {QZ_Board.Tag=\"B1\"} WHERE Role = Antecedent", {L"L1", L"L2", L"L3"}},
      {L"REFERENCES OF {QZ_Board.Tag=\"B1\"} WHERE ClassDefsOnly", {L"QZ_ModuleInBoard", L"QZ_Other"}},
      {L"REFERENCES OF {QZ_Board.Tag=\"B2\"} WHERE RequiredQualifier = Special", {}},
  };
  for (const Case& c : cases) {
    Names names;
    EXPECT_EQ(Run(c.query, &names), WBEM_S_NO_ERROR) << c.query;
    EXPECT_EQ(names, c.expected) << c.query;
  }
}

TEST_F(AssociationQuery, BadSourcesAndConditionsGiveTheirCodes) {
  struct Case { const wchar_t* query; HRESULT result; } cases[] = {
      {L"ASSOCIATORS OF {QZ_Nothing.Tag=\"B1\"}", WBEM_E_INVALID_CLASS},
      {L"ASSOCIATORS OF {QZ_Board.Tag=\"B9\"}", WBEM_E_NOT_FOUND},
      {L"REFERENCES OF {QZ_Board.Tag=\"b 1\"}", WBEM_E_NOT_FOUND},
      {L"ASSOCIATORS OF {\\\\.\\root\\Nowhere:QZ_Board.Tag=\"B1\"}", WBEM_E_INVALID_NAMESPACE},
      {L"ASSOCIATORS OF {QZ_Board.Tag=}", WBEM_E_INVALID_OBJECT_PATH},
      {L"ASSOCIATORS OF {QZ_Board}", WBEM_E_NOT_SUPPORTED},
      {L"ASSOCIATORS OF {QZ_Board.Tag=\"B1\"} WHERE KeysOnly", WBEM_E_NOT_SUPPORTED},
      {L"ASSOCIATORS OF {QZ_Board.Tag=\"B1\"} WHERE AssocClass = QZ_Nothing", WBEM_E_INVALID_CLASS},
      {L"REFERENCES OF {QZ_Board.Tag=\"B1\"} WHERE ResultClass = QZ_Nothing", WBEM_E_INVALID_CLASS},
      {L"ASSOCIATORS OF {QZ_Board.Tag=\"B1\"} WHERE Role = A Role = B", WBEM_E_INVALID_QUERY},
  };
  for (const Case& c : cases) {
    Names names;
    EXPECT_EQ(Run(c.query, &names), c.result) << c.query;
  }
}

}  // namespace
