// The Basic credentials of an Authorization header, which every request passes through before
// anything else is read.
#include "serve/Users.h"

#include <gtest/gtest.h>

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

}  // namespace

namespace {

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

}  // namespace
