// The Basic credentials of an Authorization header, which every request passes through before
// anything else is read; the users file as an editor may leave it.
#include "serve/Users.h"

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/qzwmi/QzwmiRun.h"

namespace {

TEST(BasicCredentials, DecodesNameAndPasswordOrRefuses) {
  using Pair = std::pair<std::string, std::string>;
  const struct {
    const char* header;
    std::optional<Pair> expected;
  } cases[] = {
      {"Basic YWxpY2U6c2VjcmV0", Pair{"alice", "secret"}},
      {"basic   YWxpY2U6c2VjcmV0  ", Pair{"alice", "secret"}},
      {"Basic YWxpY2U6YTpi", Pair{"alice", "a:b"}},         // the password may hold colons
      {"Basic YWxpY2U6", Pair{"alice", ""}},                // an empty password is checked, not refused here
      {"Basic YWxpY2U6c2VjAHJldA==", std::nullopt},         // a NUL in the password
      {"Basic YWxpAGNlOnNlY3JldA==", std::nullopt},         // a NUL in the name
      {"Basic YWxpY2U=", std::nullopt},                     // no colon
      {"Basic OnNlY3JldA==", std::nullopt},                 // no name
      {"Basic YWxp!2U6c2VjcmV0", std::nullopt},             // not base64
      {"Basic YWxpY2U6c2VjcmV0=x", std::nullopt},           // text after the padding
      {"Bearer YWxpY2U6c2VjcmV0", std::nullopt},
      {"Basic", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(qzwmi::serve::BasicCredentials(c.header), c.expected) << c.header;
}


TEST(CredentialCache, HoldsOnlyTheExactNameAndPasswordUntilTheyExpire) {
  qzwmi::serve::CredentialCache cache(60);
  cache.Add("alice", "secret");
  EXPECT_TRUE(cache.Holds("alice", "secret"));
  // The name and the password are kept apart: moving characters across them is another credential.
  for (auto [user, password] : {std::pair{"alice", "secreT"}, std::pair{"alic", "esecret"}, std::pair{"alice", ""},
                                std::pair{"bob", "secret"}})
    EXPECT_FALSE(cache.Holds(user, password)) << user << ":" << password;
  qzwmi::serve::CredentialCache expired(0);
  expired.Add("alice", "secret");
  EXPECT_FALSE(expired.Holds("alice", "secret"));
}


// What the file may look like after a hand edit, and what is refused with its path (and line).
TEST(UserFile, LoadsEditedFilesAndRefusesUnsafeOnes) {
  const std::string hash = qzwmi::serve::HashPassword("pw");
  ASSERT_FALSE(hash.empty());
  const std::string folder = qzwmitest::RootFile("users.d");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const struct {
    const char* name;
    std::string text;
    unsigned mode;
    std::string error;  // "" loads; "@" stands for the path
    size_t users;
  } cases[] = {
      {"plain", "# who\nalice:" + hash + "\n", 0600, "", 1},
      {"edited", "\xEF\xBB\xBF" "alice:" + hash + " \t\r\n\r\nbob:" + hash + "\r\n", 0640, "", 2},
      {"empty", "# nobody yet\n", 0600, "", 0},
      {"group-writable", "alice:" + hash + "\n", 0620, "the users file @ is writable by group or others (chmod go-w it)", 0},
      {"world-writable", "alice:" + hash + "\n", 0606, "the users file @ is writable by group or others (chmod go-w it)", 0},
      {"blank inside", "alice:" + hash + "\nbob: " + hash + "\n", 0600, "@:2: not a name:hash line", 0},
      {"NUL inside", "alice:" + hash + std::string(1, '\0') + "x\n", 0600, "@:1: not a name:hash line", 0},
  };
  for (const auto& c : cases) {
    const std::string path = folder + "/" + c.name;
    qzwmitest::WriteWholeFile(path, c.text);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    qzwmi::serve::UserFile users;
    std::string error, expected = c.error;
    if (const size_t at = expected.find('@'); at != std::string::npos) expected.replace(at, 1, path);
    EXPECT_EQ(users.Load(path, &error), c.error.empty()) << c.name;
    EXPECT_EQ(error, expected) << c.name;
    if (!c.error.empty()) continue;
    EXPECT_EQ(users.Count(), c.users) << c.name;
    EXPECT_EQ(users.Check("alice", "pw"), c.users > 0) << c.name;
    EXPECT_FALSE(users.Check("alice", std::string("pw\0junk", 7))) << c.name;
  }
  // Hashes of several kinds (and parameters) in one file each check their own user's password.
  crypt_data data{};
  const std::string sha = crypt_r("sha", "$6$saltsalt$", &data), rounds = crypt_r("rounds", "$6$rounds=2000$saltsalt$", &data);
  const std::string mixed = folder + "/mixed";
  qzwmitest::WriteWholeFile(mixed, "alice:" + hash + "\nbob:" + sha + "\ncarol:" + rounds + "\n");
  ASSERT_EQ(chmod(mixed.c_str(), 0600), 0);
  qzwmi::serve::UserFile kinds;
  std::string failure;
  ASSERT_TRUE(kinds.Load(mixed, &failure)) << failure;
  const struct {
    const char *user, *password;
    bool good;
  } checks[] = {{"alice", "pw", true}, {"bob", "sha", true}, {"carol", "rounds", true}, {"bob", "pw", false},
                {"carol", "sha", false}, {"mallory", "pw", false}, {"mallory", "sha", false}};
  for (const auto& c : checks) EXPECT_EQ(kinds.Check(c.user, c.password), c.good) << c.user << ":" << c.password;

  qzwmi::serve::UserFile users;
  std::string error;
  EXPECT_FALSE(users.Load(folder, &error));
  EXPECT_EQ(error, "the users file " + folder + " is not a regular file");
}

}  // namespace
