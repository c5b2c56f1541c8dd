// The text of an enumeration is kept only for the very objects it was written from, in their
// order, and those objects stay alive while it is kept.
#include <gtest/gtest.h>

#include "serve/CimOperations.h"
#include "wbem/classobject.h"

namespace {

using qzwmi::serve::RenderedEnumerations;

CComPtr<IWbemClassObject> NewInstance(IWbemClassObject* cls) {
  CComPtr<IWbemClassObject> instance;
  EXPECT_EQ(cls->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
  return instance;
}

// The references an object has, besides the one the caller holds.
ULONG OtherReferences(IWbemClassObject* object) {
  object->AddRef();
  return object->Release() - 1;
}

TEST(RenderedEnumerations, TextComesBackOnlyForTheSameObjectsInTheSameOrder) {
  CComPtr<IWbemClassObject> cls;
  ASSERT_EQ(qz::wbem::ClassBuilder(L"QZ_Thing").AddKey(L"Tag", CIM_STRING).Create(&cls), WBEM_S_NO_ERROR);
  const RenderedEnumerations::Objects first = {NewInstance(cls), NewInstance(cls)};
  const auto text = std::make_shared<const std::string>("<VALUE.NAMEDINSTANCE>...");

  RenderedEnumerations rendered;
  EXPECT_EQ(rendered.Find("instances QZ_Thing", first), nullptr);
  rendered.Store("instances QZ_Thing", first, text);

  {
    struct Case {
      const char* what;
      const char* key;
      RenderedEnumerations::Objects objects;
      bool found;
    } cases[] = {
        {"the same objects", "instances QZ_Thing", first, true},
        {"another key", "names QZ_Thing", first, false},
        {"another order", "instances QZ_Thing", {first[1], first[0]}, false},
        {"one object fewer", "instances QZ_Thing", {first[0]}, false},
        {"one object more", "instances QZ_Thing", {first[0], first[1], NewInstance(cls)}, false},
        {"a new object in place of one", "instances QZ_Thing", {first[0], NewInstance(cls)}, false},
        {"no objects", "instances QZ_Thing", {}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(rendered.Find(c.key, c.objects) == text, c.found) << c.what;
  }

  // Kept objects are held by the table besides `first`, and let go when the text is replaced.
  EXPECT_EQ(OtherReferences(first[0]), 1u);
  const RenderedEnumerations::Objects second = {NewInstance(cls)};
  rendered.Store("instances QZ_Thing", second, text);
  EXPECT_EQ(OtherReferences(first[0]), 0u);
  EXPECT_EQ(OtherReferences(second[0]), 1u);
  EXPECT_EQ(rendered.Find("instances QZ_Thing", first), nullptr);
  EXPECT_EQ(rendered.Find("instances QZ_Thing", second), text);
  rendered.Clear();
  EXPECT_EQ(rendered.Find("instances QZ_Thing", second), nullptr);
  EXPECT_EQ(OtherReferences(second[0]), 0u);
}

// What is kept stays within its bytes: beyond them the text used longest ago goes, and a text
// larger than all of them is not kept.
TEST(RenderedEnumerations, KeepsWithinItsBytesDroppingTheLeastRecentlyUsed) {
  CComPtr<IWbemClassObject> cls;
  ASSERT_EQ(qz::wbem::ClassBuilder(L"QZ_Thing").AddKey(L"Tag", CIM_STRING).Create(&cls), WBEM_S_NO_ERROR);
  const RenderedEnumerations::Objects objects = {NewInstance(cls)};
  const auto text = [](size_t size) { return std::make_shared<const std::string>(size, 'x'); };
  RenderedEnumerations rendered(300);  // keys "a".."d" of 1 byte, texts of 99: three fit
  for (const char* key : {"a", "b", "c"}) rendered.Store(key, objects, text(99));
  EXPECT_EQ(rendered.Bytes(), 300u);
  ASSERT_NE(rendered.Find("a", objects), nullptr);  // "b" is now the one used longest ago
  rendered.Store("d", objects, text(99));
  EXPECT_EQ(rendered.Bytes(), 300u);
  const struct {
    const char* key;
    bool kept;
  } cases[] = {{"a", true}, {"b", false}, {"c", true}, {"d", true}};
  for (const auto& c : cases) EXPECT_EQ(rendered.Find(c.key, objects) != nullptr, c.kept) << c.key;
  rendered.Store("c", objects, text(300));  // too large: not kept, and the old text of "c" is gone
  EXPECT_EQ(rendered.Find("c", objects), nullptr);
  EXPECT_EQ(rendered.Bytes(), 200u);
}

}  // namespace
