// Who may use the endpoint: HTTP Basic credentials checked against a users file of salted
// password hashes (one "name:hash" line per user, hashes from crypt(3)) or through PAM.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qzwmi::serve {

// The user name and password of an `Authorization: Basic ...` header value; none when the header
// is not Basic or does not decode to "name:password".
std::optional<std::pair<std::string, std::string>> BasicCredentials(std::string_view authorization);

// A salted hash of `password` in the strongest form this system's crypt(3) offers (yescrypt,
// else SHA-512); empty when it cannot make one.
std::string HashPassword(const std::string& password);

// Sets the password of `user` in the users file at `path` (created with mode 0600 when missing;
// the user's line replaced, other lines kept). False with a message in `error` on failure.
bool SetPassword(const std::string& path, const std::string& user, const std::string& password, std::string* error);

// The users of a users file, read once; checks a password with crypt(3), at the same cost for
// every user name, known or not, whatever kinds of hash the file mixes.
class UserFile {
 public:
  // Reads `path`; false with a message when it cannot be read, is not a regular file, is writable
  // by group or others, or a line is malformed (path:line). A byte-order mark, CRLF line ends and
  // trailing blanks are passed over. A file without users loads (Count() says so).
  bool Load(const std::string& path, std::string* error);
  bool Check(const std::string& user, const std::string& password) const;
  size_t Count() const { return m_Hashes.size(); }

 private:
  std::map<std::string, std::string> m_Hashes;
  std::map<std::string, std::string> m_Samples;  // one hash of each kind in the file
};

// Credentials that passed a check lately, so that a client sending many requests pays for the
// password hash once a minute rather than on every request. Only a keyed digest of name and
// password is kept (HMAC-SHA-256 under a key made at start), never the password. Thread-safe.
class CredentialCache {
 public:
  explicit CredentialCache(int seconds = 60);
  bool Holds(const std::string& user, const std::string& password);
  void Add(const std::string& user, const std::string& password);
  // Forgets every credential, so that the next request of each user is checked again.
  void Clear();

 private:
  std::string Digest(const std::string& user, const std::string& password) const;

  const int m_Seconds;
  unsigned char m_Key[32] = {};
  std::mutex m_Lock;
  std::map<std::string, std::chrono::steady_clock::time_point> m_Until;
};

// Checks a user's password with PAM under `service`.
bool PamCheck(const std::string& service, const std::string& user, const std::string& password);

}  // namespace qzwmi::serve
