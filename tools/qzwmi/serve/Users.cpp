// The users file and PAM behind the endpoint's Basic authentication.
#include "serve/Users.h"

#include <qzplatform.h>

#include <crypt.h>
#include <fcntl.h>
#include <security/pam_appl.h>
#include <sys/stat.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace qzwmi::serve {
namespace {

std::optional<std::string> Base64Decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned bits = 0;
  int count = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] != '='; ++i) {
    int v = value(text[i]);
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  for (; i < text.size(); ++i)
    if (text[i] != '=') return std::nullopt;
  return out;
}

// Compares without an early exit, so that the time taken says nothing about where texts differ.
bool SameText(const char* a, const std::string& b) {
  const size_t size = std::strlen(a);
  unsigned char diff = size != b.size();
  for (size_t i = 0; i < size && i < b.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

struct PamAnswer {
  const std::string* password;
};

int Converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  auto* answer = static_cast<PamAnswer*>(data);
  auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (!replies) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF || messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
      replies[i].resp = strdup(answer->password->c_str());
  }
  *responses = replies;
  return PAM_SUCCESS;
}

// PAM modules delay a failure (pam_unix by 2 s) on the thread that checks; the server defers the
// answer itself, so the thread is let go at once.
void NoFailDelay(int, unsigned, void*) {}

// The kind of a crypt(3) hash, with its parameters but not its salt: "$y$j9T", "$6$rounds=9999".
std::string KindOf(const std::string& hash) {
  const size_t last = hash.rfind('$');
  const size_t salt = last == 0 || last == std::string::npos ? std::string::npos : hash.rfind('$', last - 1);
  return salt == std::string::npos ? hash : hash.substr(0, salt);
}

}  // namespace

std::optional<std::pair<std::string, std::string>> BasicCredentials(std::string_view authorization) {
  while (!authorization.empty() && authorization.front() == ' ') authorization.remove_prefix(1);
  if (authorization.size() < 6 || strncasecmp(authorization.data(), "Basic ", 6) != 0) return std::nullopt;
  authorization.remove_prefix(6);
  while (!authorization.empty() && authorization.front() == ' ') authorization.remove_prefix(1);
  while (!authorization.empty() && authorization.back() == ' ') authorization.remove_suffix(1);
  std::optional<std::string> decoded = Base64Decode(authorization);
  if (!decoded) return std::nullopt;
  const size_t colon = decoded->find(':');
  // A NUL would cut the name or the password short wherever they are passed on as C strings.
  if (colon == std::string::npos || colon == 0 || decoded->find('\0') != std::string::npos) return std::nullopt;
  return std::pair{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

std::string HashPassword(const std::string& password) {
  for (const char* prefix : {"$y$", "$6$"}) {
    char* setting = crypt_gensalt_ra(prefix, 0, nullptr, 0);
    if (!setting) continue;
    crypt_data data{};
    const char* hash = crypt_r(password.c_str(), setting, &data);
    std::free(setting);
    if (hash && hash[0] == '$') return hash;
  }
  return {};
}

bool SetPassword(const std::string& path, const std::string& user, const std::string& password, std::string* error) {
  if (user.empty() || user.find_first_of(":\n") != std::string::npos) {
    *error = "a user name may not be empty nor contain ':'";
    return false;
  }
  const std::string hash = HashPassword(password);
  if (hash.empty()) {
    *error = "crypt(3) cannot hash passwords here";
    return false;
  }
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
      if (line.substr(0, line.find(':')) != user) lines.push_back(line);
  }
  lines.push_back(user + ":" + hash);
  // Written beside the old file and renamed over it, readable by its owner only.
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  char reason[512];
  if (QzWriteFileAtomically(path.c_str(), text.data(), text.size(), 0600, reason, sizeof reason)) return true;
  *error = reason;
  return false;
}

bool UserFile::Load(const std::string& path, std::string* error) {
  // Opened without waiting, so that a FIFO put in its place cannot hold the start.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot read the users file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  std::string text, problem;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    problem = "the users file " + path + " is not a regular file";
  } else if (info.st_mode & (S_IWGRP | S_IWOTH)) {
    // Whoever can write the file can let themselves in.
    problem = "the users file " + path + " is writable by group or others (chmod go-w it)";
  } else {
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    if (got < 0) problem = "cannot read the users file " + path + ": " + std::strerror(errno);
  }
  ::close(fd);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }

  // Editors may leave a byte-order mark, CRLF line ends or trailing blanks; none of them is part of
  // a name or a hash, so they are passed over rather than locking a user out.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  int number = 0;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || line.size() < colon + 2 || line[colon + 1] != '$' ||
        line.find_first_of(std::string_view(" \t\r\0", 4), colon) != std::string::npos) {
      *error = path + ":" + std::to_string(number) + ": not a name:hash line";
      return false;
    }
    m_Hashes[line.substr(0, colon)] = line.substr(colon + 1);
  }
  for (const auto& [user, hash] : m_Hashes) m_Samples.try_emplace(KindOf(hash), hash);
  return true;
}

bool UserFile::Check(const std::string& user, const std::string& password) const {
  // crypt(3) would read the password only up to a NUL, and take what follows as if it matched.
  if (password.find('\0') != std::string::npos) return false;
  // One hash of each kind the file holds, the user's own among them when the user is known: every
  // check costs the same, so the time of an answer tells neither whether the user exists nor
  // which kind of hash is theirs.
  auto found = m_Hashes.find(user);
  const std::string mine = found != m_Hashes.end() ? KindOf(found->second) : std::string();
  bool good = false;
  for (const auto& [kind, sample] : m_Samples) {
    const bool theirs = found != m_Hashes.end() && kind == mine;
    const std::string& hash = theirs ? found->second : sample;
    crypt_data data{};
    const char* computed = crypt_r(password.c_str(), hash.c_str(), &data);
    if (theirs) good = computed && computed[0] == '$' && SameText(computed, hash);
  }
  return good;
}

// Without a random key the cache stays empty: every request is checked in full.
CredentialCache::CredentialCache(int seconds) : m_Seconds(RAND_bytes(m_Key, sizeof m_Key) == 1 ? seconds : 0) {}

std::string CredentialCache::Digest(const std::string& user, const std::string& password) const {
  const std::string text = user + '\0' + password;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), m_Key, sizeof m_Key, reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest,
            &size))
    return {};
  return std::string(reinterpret_cast<char*>(digest), size);
}

bool CredentialCache::Holds(const std::string& user, const std::string& password) {
  const std::string digest = Digest(user, password);
  std::lock_guard<std::mutex> hold(m_Lock);
  auto found = m_Until.find(digest);
  if (found == m_Until.end()) return false;
  if (found->second > std::chrono::steady_clock::now()) return true;
  m_Until.erase(found);
  return false;
}

void CredentialCache::Clear() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Until.clear();
}

void CredentialCache::Add(const std::string& user, const std::string& password) {
  const std::string digest = Digest(user, password);
  if (digest.empty() || m_Seconds <= 0) return;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> hold(m_Lock);
  // Expired entries go whenever one is added, so the map stays as small as the set of recent users.
  for (auto entry = m_Until.begin(); entry != m_Until.end();) entry = entry->second <= now ? m_Until.erase(entry) : std::next(entry);
  m_Until[digest] = now + std::chrono::seconds(m_Seconds);
}

bool PamCheck(const std::string& service, const std::string& user, const std::string& password) {
  if (password.find('\0') != std::string::npos || user.find('\0') != std::string::npos) return false;
  PamAnswer answer{&password};
  pam_conv conversation{&Converse, &answer};
  pam_handle_t* handle = nullptr;
  if (pam_start(service.c_str(), user.c_str(), &conversation, &handle) != PAM_SUCCESS) return false;
  pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoFailDelay));
  int status = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (status == PAM_SUCCESS) status = pam_acct_mgmt(handle, PAM_SILENT);
  pam_end(handle, status);
  return status == PAM_SUCCESS;
}

}  // namespace qzwmi::serve
