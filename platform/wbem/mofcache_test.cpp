// The saved compiled result of the kept MOF files: a repository loaded from it holds exactly what
// compiling the files gives, and a save that does not fit the files or is damaged is never used.
#include "wbem/mofcache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "kernel32/sysroot.h"
#include "kernel32/text.h"
#include "tests/support/ChildProcess.h"
#include "wbem/autorecover.h"

namespace {

using qz::wbem::ApplyCompiledMofs;
using qz::wbem::ClassDef;
using qz::wbem::CompiledMofStamp;
using qz::wbem::CompiledMofsUse;
using qz::wbem::CurrentCompiledMofStamp;
using qz::wbem::EncodeCompiledMofs;
using qz::wbem::KeptFileKey;
using qz::wbem::KeptMofsRecovery;
using qz::wbem::QualifierList;
using qz::wbem::RecoverKeptMofs;
using qz::wbem::Repository;

// Values of every kind a save holds: namespaces made by pragma and by __NAMESPACE, arrays, 64-bit
// numbers, reals, a reference by alias, explicit flavors, and a class that a later file replaces.
constexpr const char* kFeatures =
    "#pragma namespace(\"\\\\\\\\.\\\\root\\\\CacheTest\")\n"
    "instance of __NAMESPACE { Name = \"Child\"; };\n"
    "[abstract, Description(\"base\") : ToSubclass DisableOverride, Codes{1, 2, 3}, Ratio(2.5)]\n"
    "class QZ_Base { [key] string Tag; uint64 Big = 18446744073709551615; };\n"
    "class QZ_Thing : QZ_Base {\n"
    "  [ValueMap{\"1\", \"\"}, Values{\"One\", \"Empty\"}] uint16 Kind = 7;\n"
    "  sint8 Small = -5; sint16 Short = -300; uint32 Wide = 4294967295; sint64 Neg = -9223372036854775807;\n"
    "  real32 Half = 0.5; real64 Third = 0.333; boolean Flag = TRUE; char16 Letter = 'x';\n"
    "  datetime When = \"20260101000000.000000+000\";\n"
    "  uint8 Bytes[] = {0, 255}; boolean Flags[] = {TRUE, FALSE}; string Names[] = {\"a\", \"\"};\n"
    "  real64 Reals[] = {1.5, -2}; sint32 Empty[] = {};\n"
    "};\n"
    "class QZ_Link { [key] QZ_Thing ref Thing; };\n"
    "instance of QZ_Thing as $T { Tag = \"t1\"; Names = {\"x\", \"y\"}; Wide = 7; };\n"
    "instance of QZ_Link { Thing = $T; };\n"
    "class QZ_Replaced { [key] string Id; };\n";
constexpr const char* kLater =
    "#pragma namespace(\"\\\\\\\\.\\\\root\\\\CacheTest\")\n"
    "class QZ_Replaced { [key] string Id; string Added = \"yes\"; };\n"
    "#pragma namespace(\"Child\")\n"
    "class QZ_InChild { [key] uint32 Id; };\n"
    "instance of QZ_InChild { Id = 3; };\n";

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string ValueText(CIMTYPE type, const VARIANT& value) {
  return std::to_string(value.vt) + " " + qz::ToUtf8(qz::wbem::FormatMofValue(type, value));
}

void DumpQualifiers(const QualifierList& qualifiers, std::string* out) {
  for (const auto& q : qualifiers)
    *out += "  [" + qz::ToUtf8(q.name) + " " + ValueText(CIM_EMPTY, q.value) + " " + std::to_string(q.flavor) +
            (q.inherited ? " inherited" : "") + (q.instanceLocal ? " local" : "") + "]\n";
}

// Everything a repository holds, as text: every namespace, every field of every class, and the
// text of every static instance.
std::string Dump(const Repository& repository) {
  std::string out;
  for (const std::wstring& space : repository.Namespaces()) {
    out += "namespace " + qz::ToUtf8(space) + "\n";
    for (const auto& cls : repository.Classes(space)) {
      out += "class " + qz::ToUtf8(cls->name) + " : " + qz::ToUtf8(cls->superclass) + " in " +
             qz::ToUtf8(cls->nameSpace) + " on " + qz::ToUtf8(cls->server) + " from";
      for (const auto& ancestor : cls->derivation) out += " " + qz::ToUtf8(ancestor);
      out += "\n";
      DumpQualifiers(cls->qualifiers, &out);
      for (const auto& p : cls->properties) {
        out += " " + qz::ToUtf8(p.name) + " " + std::to_string(p.type) + " of " + qz::ToUtf8(p.origin) + " = " +
               ValueText(p.type, p.value) + "\n";
        DumpQualifiers(p.qualifiers, &out);
      }
      for (auto& instance : repository.Instances(space, cls->name)) {
        CComBSTR text;
        instance->GetObjectText(0, &text);
        out += qz::ToUtf8(std::wstring(text.m_str ? text.m_str : L""));
      }
    }
  }
  return out;
}

class CompiledMofs : public testing::Test {
 public:
  void SetUp() override {
    m_Folder = qz::SystemRoot() + "/kept";
    m_Saved = qz::SystemRoot() + "/saved/KeptMofs.bin";
    std::filesystem::remove_all(m_Folder);
    std::filesystem::remove_all(qz::SystemRoot() + "/saved");
    std::filesystem::create_directories(m_Folder);
    WriteFile(m_Folder + "/A.mof", ReadFile(QZ_SOURCE_DIR "/mof/QZWmiMemory.mof"));
    WriteFile(m_Folder + "/B.mof", kFeatures);
    WriteFile(m_Folder + "/C.mof", kLater);
  }

  // Recovers into a new repository; its dump.
  std::string Recover(KeptMofsRecovery expected, const std::string& saved) {
    Repository repository;
    EXPECT_EQ(RecoverKeptMofs(repository, m_Folder, saved), expected);
    return Dump(repository);
  }
  std::string Recover(KeptMofsRecovery expected) { return Recover(expected, m_Saved); }

  std::string m_Folder;
  std::string m_Saved;
};

TEST_F(CompiledMofs, LoadedRepositoryEqualsTheCompiledOne) {
  const std::string unsaved = Recover(KeptMofsRecovery::Compiled, "");
  EXPECT_FALSE(std::filesystem::exists(m_Saved));
  const std::string compiled = Recover(KeptMofsRecovery::Compiled);
  ASSERT_TRUE(std::filesystem::exists(m_Saved));
  EXPECT_EQ(compiled, unsaved) << "recording changes nothing";
  EXPECT_EQ(Recover(KeptMofsRecovery::Loaded), compiled);
}

// Whatever happens to the save or the files, the repository holds what compiling the files gives,
// and the save is renewed where it can be.
TEST_F(CompiledMofs, SavesThatDoNotFitAreCompiledOverAndRenewed) {
  struct Case {
    const char* name;
    std::function<void(CompiledMofs&)> change;
    bool renewed;  // the next process loads again
  };
  auto editSave = [](std::function<void(std::string&)> edit) {
    return [edit](CompiledMofs& t) {
      std::string bytes = ReadFile(t.m_Saved);
      edit(bytes);
      WriteFile(t.m_Saved, bytes);
    };
  };
  const Case cases[] = {
      {"missing", [](CompiledMofs& t) { std::filesystem::remove(t.m_Saved); }, true},
      {"empty", editSave([](std::string& b) { b.clear(); }), true},
      {"half", editSave([](std::string& b) { b.resize(b.size() / 2); }), true},
      {"last byte gone", editSave([](std::string& b) { b.pop_back(); }), true},
      {"byte changed", editSave([](std::string& b) { b[b.size() / 2] ^= 0x20; }), true},
      {"bytes added", editSave([](std::string& b) { b += "more"; }), true},
      {"a folder", [](CompiledMofs& t) { std::filesystem::remove(t.m_Saved); std::filesystem::create_directory(t.m_Saved); },
       false},
      {"file changed, same size",
       [](CompiledMofs& t) {
         std::string bytes = ReadFile(t.m_Folder + "/C.mof");
         bytes.replace(bytes.find("yes"), 3, "yeS");
         WriteFile(t.m_Folder + "/C.mof", bytes);
       },
       true},
      {"file added", [](CompiledMofs& t) { WriteFile(t.m_Folder + "/D.mof", "class QZ_Added { };\n"); }, true},
      {"file removed", [](CompiledMofs& t) { std::filesystem::remove(t.m_Folder + "/C.mof"); }, true},
      {"file renamed",
       [](CompiledMofs& t) { std::filesystem::rename(t.m_Folder + "/B.mof", t.m_Folder + "/0.mof"); }, true},
      {"folder of the save is a file",
       [](CompiledMofs& t) {
         const std::string folder = std::filesystem::path(t.m_Saved).parent_path().string();
         std::filesystem::remove_all(folder);
         WriteFile(folder, "");
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    Recover(KeptMofsRecovery::Compiled);
    ASSERT_EQ(Recover(KeptMofsRecovery::Loaded), Recover(KeptMofsRecovery::Loaded));
    c.change(*this);
    const std::string expected = Recover(KeptMofsRecovery::Compiled, "");
    EXPECT_EQ(Recover(KeptMofsRecovery::Compiled), expected);
    EXPECT_EQ(Recover(c.renewed ? KeptMofsRecovery::Loaded : KeptMofsRecovery::Compiled), expected);
  }
}

TEST_F(CompiledMofs, OnlyTheSameLayoutBuildAndFilesAreApplied) {
  Repository compiled;
  std::vector<Repository::Change> changes;
  compiled.RecordChanges(&changes);
  ASSERT_EQ(RecoverKeptMofs(compiled, m_Folder, ""), KeptMofsRecovery::Compiled);
  compiled.RecordChanges(nullptr);
  const CompiledMofStamp stamp{7, "build-a"};
  const std::vector<KeptFileKey> files{{"A.mof", 10, 1}, {"B.mof", 20, 2}};
  std::string bytes;
  ASSERT_TRUE(EncodeCompiledMofs(stamp, files, changes, &bytes));

  struct Case {
    const char* name;
    CompiledMofStamp stamp;
    std::vector<KeptFileKey> files;
    CompiledMofsUse use;
  };
  const Case cases[] = {
      {"same", stamp, files, CompiledMofsUse::Applied},
      {"other layout", {8, "build-a"}, files, CompiledMofsUse::Refused},
      {"other build", {7, "build-b"}, files, CompiledMofsUse::Refused},
      {"no build id", {7, ""}, files, CompiledMofsUse::Refused},
      {"other hash", stamp, {{"A.mof", 10, 1}, {"B.mof", 20, 3}}, CompiledMofsUse::Refused},
      {"other size", stamp, {{"A.mof", 11, 1}, {"B.mof", 20, 2}}, CompiledMofsUse::Refused},
      {"other name", stamp, {{"a.mof", 10, 1}, {"B.mof", 20, 2}}, CompiledMofsUse::Refused},
      {"other order", stamp, {{"B.mof", 20, 2}, {"A.mof", 10, 1}}, CompiledMofsUse::Refused},
      {"one more", stamp, {{"A.mof", 10, 1}, {"B.mof", 20, 2}, {"C.mof", 1, 1}}, CompiledMofsUse::Refused},
  };
  const std::string empty = Dump(Repository());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Repository repository;
    EXPECT_EQ(ApplyCompiledMofs(bytes, c.stamp, c.files, repository), c.use);
    EXPECT_EQ(Dump(repository), c.use == CompiledMofsUse::Applied ? Dump(compiled) : empty);
  }
  // Every shorter save is refused before anything is put.
  for (size_t size = 0; size < bytes.size(); size += bytes.size() / 61 + 1) {
    Repository repository;
    EXPECT_EQ(ApplyCompiledMofs(std::string_view(bytes).substr(0, size), stamp, files, repository),
              CompiledMofsUse::Refused);
  }
  EXPECT_FALSE(CurrentCompiledMofStamp().build.empty());
}

TEST_F(CompiledMofs, ASaveTheRepositoryRefusesIsDroppedAndMadeAgain) {
  const std::string expected = Recover(KeptMofsRecovery::Compiled, "");
  std::vector<KeptFileKey> files;
  for (const char* name : {"A.mof", "B.mof", "C.mof"}) {
    const std::string bytes = ReadFile(m_Folder + "/" + name);
    files.push_back(KeptFileKey{name, bytes.size(), qz::wbem::HashBytes(bytes)});
  }
  auto orphan = std::make_shared<ClassDef>();
  orphan->name = L"QZ_Orphan";
  orphan->superclass = L"QZ_Missing";
  Repository::Change change;
  change.kind = Repository::Change::Kind::Class;
  change.nameSpace = L"root";
  change.cls = orphan;
  std::string bytes;
  ASSERT_TRUE(EncodeCompiledMofs(CurrentCompiledMofStamp(), files, {change}, &bytes));
  std::filesystem::create_directories(std::filesystem::path(m_Saved).parent_path());
  WriteFile(m_Saved, bytes);
  EXPECT_EQ(Recover(KeptMofsRecovery::Compiled), expected);
  EXPECT_FALSE(std::filesystem::exists(m_Saved));
  EXPECT_EQ(Recover(KeptMofsRecovery::Compiled), expected);
  EXPECT_EQ(Recover(KeptMofsRecovery::Loaded), expected);
}

TEST(CompiledMofHash, ChangesWithEveryByteAndTheLength) {
  std::string bytes(100, 'a');
  const uint64_t base = qz::wbem::HashBytes(bytes);
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string changed = bytes;
    changed[i] = 'b';
    EXPECT_NE(qz::wbem::HashBytes(changed), base) << i;
  }
  EXPECT_NE(qz::wbem::HashBytes(std::string(101, 'a')), base);
  EXPECT_NE(qz::wbem::HashBytes(""), qz::wbem::HashBytes(std::string(1, '\0')));
}

QZ_CHILD_MAIN(RecoverSharedFolder) {
  Repository repository;
  const KeptMofsRecovery recovery =
      RecoverKeptMofs(repository, qz::SystemRoot() + "/kept", qz::SystemRoot() + "/saved/KeptMofs.bin");
  const bool recovered = recovery != KeptMofsRecovery::Nothing;
  return recovered && repository.Classes(L"root\\VXN").size() == std::stoul(args.at(0)) ? 0 : 1;
}

TEST_F(CompiledMofs, ProcessesStartingTogetherShareOneSave) {
  const std::string classes = std::to_string(9 + 24);
  std::vector<qztest::ChildProcess> children;
  for (int i = 0; i < 3; ++i) children.push_back(qztest::ChildProcess::Start("RecoverSharedFolder", {classes}));
  for (auto& child : children) EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(Recover(KeptMofsRecovery::Loaded), Recover(KeptMofsRecovery::Compiled, ""));
  for (const auto& entry : std::filesystem::directory_iterator(qz::SystemRoot() + "/saved"))
    EXPECT_EQ(entry.path().filename(), "KeptMofs.bin") << "no file of a writer is left";
}

}  // namespace
