// The registry's SQLite storage: schema, cached statements, transactions and the volatile hive.
#include "advapi32/registry_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "kernel32/runtimearea.h"
#include "kernel32/sysroot.h"
#include "kernel32/text.h"

namespace qz {
namespace {

// Keys of the volatile hive name their parent by a signed reference: a positive one is a row of the
// persistent hive, a negative one the row -parent of the volatile hive itself.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS %s.keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, uname TEXT NOT NULL, mtime INTEGER NOT NULL, UNIQUE(parent, uname));"
    "CREATE TABLE IF NOT EXISTS %s.vals(key INTEGER NOT NULL, name TEXT NOT NULL, uname TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, uname)) WITHOUT ROWID;";

constexpr const char* kClassesIdQuery =
    "SELECT c.id FROM main.keys s JOIN main.keys c ON c.parent=s.id"
    " WHERE s.parent=1 AND s.uname='SOFTWARE' AND c.uname='CLASSES'";
// Both tables of the volatile hive, and the hive in WAL mode (set before they are created).
constexpr const char* kVolatileSetUpQuery =
    "SELECT 1 FROM (SELECT count(*) AS n FROM v.sqlite_master WHERE name IN ('keys', 'vals')) WHERE n = 2";

// Settings of each connection, none kept in the file. synchronous=NORMAL: in WAL mode a commit is
// not flushed on its own, only the log when it is moved into the hive; a crash may lose the last
// commits but never damages the hive. mmap_size: pages are read from a mapping of the file (up to
// 64 MiB) rather than copied in by one read call each.
constexpr const char* kConnectionPragmas = "PRAGMA synchronous=NORMAL; PRAGMA mmap_size=67108864;";

constexpr int kBusyTimeoutMs = 10000;
constexpr int kBeginAttempts = 50;
constexpr size_t kMaxCacheEntries = 4096;

// Resets a cached statement on every path out of a call.
class Statement {
 public:
  Statement(sqlite3_stmt* stmt) : m_Stmt(stmt) {}
  ~Statement() {
    if (!m_Stmt) return;
    sqlite3_reset(m_Stmt);
    sqlite3_clear_bindings(m_Stmt);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  explicit operator bool() const { return m_Stmt != nullptr; }
  sqlite3_stmt* get() const { return m_Stmt; }
  void Bind(int index, int64_t value) { sqlite3_bind_int64(m_Stmt, index, value); }
  void Bind(int index, const std::string& text) {
    sqlite3_bind_text(m_Stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(m_Stmt); }
  int64_t Int(int column) { return sqlite3_column_int64(m_Stmt, column); }
  std::wstring Text(int column) {
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(m_Stmt, column));
    return text ? FromUtf8(std::string_view(text, sqlite3_column_bytes(m_Stmt, column))) : std::wstring();
  }

 private:
  sqlite3_stmt* m_Stmt;
};

std::string Upper8(const std::wstring& name) { return ToUtf8(UpperAscii(name)); }

// Binds the two parent references of a children query: persistent-hive parent, volatile-hive parent.
void BindParent(Statement& stmt, const RegKeyRef& parent) {
  stmt.Bind(1, parent.volatileKey ? -1 : parent.id);
  stmt.Bind(2, parent.volatileKey ? -parent.id : parent.id);
}

uint64_t InodeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_ino);
}

}  // namespace

LONG RegErrorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_SCHEMA:
      return ERROR_BADDB;
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// Runs a setup script, again while another process holds the database: the switch to WAL and the
// creation of a fresh hive can meet a busy database before the busy handler applies (two processes
// opening a new root at once). A failed attempt is rolled back before the next.
int ExecRetrying(sqlite3* db, const char* sql) {
  int rc = SQLITE_BUSY;
  for (int attempt = 0; attempt < kBeginAttempts; ++attempt) {
    rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) break;
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) break;
    usleep(1000 * (attempt + 1));
  }
  return rc;
}

// Whether the query finds a row; false also when it cannot run (a table that does not exist yet).
static bool HasRow(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  const bool found = sqlite3_step(stmt) == SQLITE_ROW;
  sqlite3_finalize(stmt);
  return found;
}

// The first column of the query's first row; 0 when there is none or the query cannot run.
static int64_t QueryId(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  int64_t id = 0;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
    id = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return id;
}

int64_t RegNow() {
  constexpr int64_t kUnixEpochIn1601 = 116444736000000000LL;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return kUnixEpochIn1601 + now.tv_sec * 10000000LL + now.tv_nsec / 100;
}

RegistryStore& RegistryStore::Get() {
  // Never destroyed: handles may still be closed from other statics' destructors at exit.
  static RegistryStore* store = new RegistryStore();
  return *store;
}

RegistryStore::~RegistryStore() {
  for (auto& entry : m_Statements) sqlite3_finalize(entry.second);
  if (m_Db) sqlite3_close(m_Db);
}

sqlite3_stmt* RegistryStore::Prepare(const char* sql, LONG* error) {
  // The lookups of one call share one snapshot, and so one round of file locks.
  if (m_Ready && !m_InRead && !m_InWrite && strncmp(sql, "BEGIN", 5) != 0 && strncmp(sql, "COMMIT", 6) != 0) {
    *error = Snapshot();
    if (*error != ERROR_SUCCESS) return nullptr;
  }
  auto found = m_Statements.find(sql);
  if (found != m_Statements.end()) return found->second;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(m_Db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    *error = RegErrorFromSqlite(rc);
    return nullptr;
  }
  m_Statements.emplace(sql, stmt);
  return stmt;
}

// The hive's path as an SQLite URI: the characters that a URI gives a meaning escaped.
static std::string FileUri(const std::string& path) {
  std::string uri = "file:";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri;
}

LONG RegistryStore::Open(bool write) {
  m_Ready = false;  // until it succeeds: a later call opens again
  for (auto& entry : m_Statements) sqlite3_finalize(entry.second);
  m_Statements.clear();
  if (m_Db) sqlite3_close(m_Db);
  m_Db = nullptr;
  m_Writable = false;
  m_VolatileFile = false;
  m_VolatileInode = 0;

  // Page caches take their pages one at a time rather than as a block of 20 made up front for each
  // hive: a command reads a handful of pages, and writing the block's 20 headers alone touches (and
  // faults in) 80 KiB per connection. A process setting, which can only be made before SQLite is
  // first used in the process; when something else used it first, the block stays.
  static const int pageCache = sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
  (void)pageCache;
  const std::string folder = SystemRoot() + "/registry";
  const std::string path = folder + "/system.db";
  // The creation flag lets the volatile hive be attached as a new file.
  constexpr int kFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
  int rc = SQLITE_CANTOPEN;
  if (!write) {
    // Until its first write a process reads the hive through a read-only connection that also
    // leaves the log's index file as it is (readonly_shm): when no other process has the index open,
    // a read-write connection would first truncate it and grow it again page by page, on the disk.
    // The read-only one instead reads the hive file alone while the log is empty (as every writer
    // leaves it as it ends), or loads the log into its own memory when it is not. Anything that
    // fails here is left to the read-write connection, which also sets up a new hive. Only the
    // persistent hive is read-only (mode=ro): the connection's flags stay read-write for the
    // volatile hive and its empty stand-in, which are attached with them.
    // No mapping of the file here: without a shared index the connection cannot tell whether
    // another process changed the hive, so it drops its pages, and a mapping, at every transaction;
    // mapping the file again each time costs more than reading the few pages a lookup needs.
    // synchronous only matters to writes.
    rc = sqlite3_open_v2((FileUri(path) + "?mode=ro&readonly_shm=1").c_str(), &m_Db, kFlags, nullptr);
    m_ClassesId = 0;
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(m_Db, kBusyTimeoutMs);
      m_ClassesId = QueryId(m_Db, kClassesIdQuery);
    }
    if (m_ClassesId == 0) return Open(true);
  } else {
    // The folder is made (and its mode set) only when the hive cannot be opened in it: an existing
    // hive opens as it is.
    rc = sqlite3_open_v2(FileUri(path).c_str(), &m_Db, kFlags, nullptr);
    if ((rc & 0xFF) == SQLITE_CANTOPEN) {
      sqlite3_close(m_Db);
      m_Db = nullptr;
      if (!MakeDirs(folder, 0700)) return ERROR_REGISTRY_IO_FAILED;
      rc = sqlite3_open_v2(FileUri(path).c_str(), &m_Db, kFlags, nullptr);
    }
    if (rc != SQLITE_OK) return RegErrorFromSqlite(rc);
    m_Writable = true;
    sqlite3_busy_timeout(m_Db, kBusyTimeoutMs);
    rc = sqlite3_exec(m_Db, kConnectionPragmas, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return RegErrorFromSqlite(rc);
    m_ClassesId = QueryId(m_Db, kClassesIdQuery);
  }
  // A hive that is set up already is only read: one query, no write transaction and no schema
  // statement, so a command that changes nothing writes nothing. Such a hive is in WAL mode for
  // good (the mode is kept in the file), which lets readers go on while another process writes.
  if (m_ClassesId == 0) {
    char schema[1024];
    snprintf(schema, sizeof schema, kSchema, "main", "main");
    // A new hive is an empty file, and switching it to WAL mode writes its first page through a
    // rollback journal: with nothing in the file to protect, that journal and the page need not be
    // flushed to the disk. The tables and keys that follow are committed as every write is.
    struct stat file;
    const bool empty = stat(path.c_str(), &file) == 0 && file.st_size == 0;
    const std::string setup = std::string(empty ? "PRAGMA synchronous=OFF; PRAGMA journal_mode=WAL;"
                                                  " PRAGMA synchronous=NORMAL; BEGIN IMMEDIATE;"
                                                : "PRAGMA journal_mode=WAL; BEGIN IMMEDIATE;") +
                              schema +
                              "INSERT OR IGNORE INTO main.keys(id, parent, name, uname, mtime)"
                              " VALUES(1, 0, '', '', 0);"
                              "INSERT OR IGNORE INTO main.keys(parent, name, uname, mtime)"
                              " VALUES(1, 'SOFTWARE', 'SOFTWARE', 0);"
                              "INSERT OR IGNORE INTO main.keys(parent, name, uname, mtime)"
                              " SELECT id, 'Classes', 'CLASSES', 0 FROM main.keys WHERE parent=1 AND uname='SOFTWARE';"
                              "COMMIT;";
    rc = ExecRetrying(m_Db, setup.c_str());
    if (rc != SQLITE_OK) return RegErrorFromSqlite(rc);
    m_ClassesId = QueryId(m_Db, kClassesIdQuery);
    if (m_ClassesId == 0) return ERROR_BADDB;
  }

  // The volatile hive is attached when a call first needs it (see Ready and NeedVolatile).
  const std::string& area = RuntimeDir();
  m_VolatilePath = area + "/registry-volatile.db";
  m_GenerationPath = area + "/registry.gen";
  m_VolatileHolds = RuntimeAreaHoldChanges();
  m_VolatileLooked = ~0ULL;
  m_CacheGeneration = ~0ULL;
  UnmapGeneration();
  const LONG error = AttachEmptyVolatile();
  if (error != ERROR_SUCCESS) return error;
  m_Ready = true;
  return ERROR_SUCCESS;
}

LONG RegistryStore::AttachEmptyVolatile() {
  sqlite3_exec(m_Db, "DETACH DATABASE v", nullptr, nullptr, nullptr);  // fails harmlessly when not attached
  m_VolatileFile = false;
  m_VolatileInode = 0;
  char schema[1024];
  snprintf(schema, sizeof schema, kSchema, "v", "v");
  const std::string attach = std::string("ATTACH DATABASE ':memory:' AS v;") + schema;
  return RegErrorFromSqlite(sqlite3_exec(m_Db, attach.c_str(), nullptr, nullptr, nullptr));
}

LONG RegistryStore::AttachVolatile(bool create) {
  if (!create && InodeOf(m_VolatilePath) == 0) return ERROR_FILE_NOT_FOUND;
  if (create && !MakeDirs(RuntimeDir(), 0700)) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_exec(m_Db, "DETACH DATABASE v", nullptr, nullptr, nullptr);
  sqlite3_stmt* attach = nullptr;
  int rc = sqlite3_prepare_v2(m_Db, "ATTACH DATABASE ?1 AS v", -1, &attach, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(attach, 1, m_VolatilePath.c_str(), -1, SQLITE_TRANSIENT);
    rc = sqlite3_step(attach);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  sqlite3_finalize(attach);
  // The volatile hive lives in the runtime area and goes with it: it needs no flush to the disk.
  if (rc == SQLITE_OK) rc = ExecRetrying(m_Db, "PRAGMA v.synchronous=OFF;");
  if (rc == SQLITE_OK && !HasRow(m_Db, kVolatileSetUpQuery)) {
    // A hive that another process is still setting up counts as none until that process commits
    // (and so moves the generation counter); only a process that creates a volatile key sets it up.
    if (!create) {
      AttachEmptyVolatile();
      return ERROR_FILE_NOT_FOUND;
    }
    char schema[1024];
    snprintf(schema, sizeof schema, kSchema, "v", "v");
    const std::string setup = std::string("PRAGMA v.journal_mode=WAL; BEGIN IMMEDIATE;") + schema + "COMMIT;";
    rc = ExecRetrying(m_Db, setup.c_str());
  }
  if (rc != SQLITE_OK) {
    AttachEmptyVolatile();
    return RegErrorFromSqlite(rc);
  }
  m_VolatileFile = true;
  m_VolatileInode = InodeOf(m_VolatilePath);
  return ERROR_SUCCESS;
}

LONG RegistryStore::NeedVolatile() {
  if (m_VolatileFile) return ERROR_SUCCESS;
  EndRead();
  // A batch makes the hive before its transaction begins: nothing can be attached within one.
  if (m_InWrite || !sqlite3_get_autocommit(m_Db)) return ERROR_REGISTRY_IO_FAILED;
  // Attached read-write even to the read-only connection: only its persistent hive is read-only.
  return AttachVolatile(true);
}

LONG RegistryStore::Writable() {
  if (m_Writable) return ERROR_SUCCESS;
  EndRead();
  // The same hives through a read-write connection; what the process has read and cached stays true.
  const bool volatileFile = m_VolatileFile;
  const uint64_t looked = m_VolatileLooked;
  LONG error = Open(true);
  if (error != ERROR_SUCCESS) return error;
  if (volatileFile) {
    error = AttachVolatile(false);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return error;
  }
  m_VolatileLooked = looked;
  return ERROR_SUCCESS;
}

LONG RegistryStore::Ready() {
  if (!m_Ready) {
    const LONG error = Open(false);
    if (error != ERROR_SUCCESS) return error;
  } else if (!m_Batch && RuntimeAreaHoldChanges() != m_VolatileHolds) {
    // The runtime area goes away with a reboot or a teardown of the root, volatile keys and the
    // generation counter with it; it can only have gone while this process did not hold it, which
    // it now does again.
    RuntimeDir();
    m_VolatileHolds = RuntimeAreaHoldChanges();
    UnmapGeneration();  // mapped again below, from the file now at the path
    m_CacheGeneration = ~0ULL;
    if (m_VolatileFile && InodeOf(m_VolatilePath) != m_VolatileInode) {
      const LONG error = AttachEmptyVolatile();
      if (error != ERROR_SUCCESS) return error;
    }
    m_VolatileLooked = ~0ULL;
  }
  const uint64_t generation = Generation();
  // With no volatile hive attached, the process looks again for one each time the counter has
  // moved: a process that makes the hive commits a key in it and then moves the counter. The
  // counter is read before the look, so a hive made just after the look still moves it past the
  // value kept here, and the next call finds the hive.
  if (!m_VolatileFile && !m_Batch && generation != m_VolatileLooked) {
    const LONG error = AttachVolatile(false);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) return error;
    m_VolatileLooked = generation;
  }
  CheckGeneration(generation);
  return ERROR_SUCCESS;
}

LONG RegistryStore::Snapshot() {
  if (m_InRead || m_InWrite) return ERROR_SUCCESS;
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare("BEGIN", &error));
  if (!stmt) return error;
  error = RegErrorFromSqlite(stmt.Step());
  m_InRead = error == ERROR_SUCCESS;
  return error;
}

void RegistryStore::EndRead() {
  if (!m_InRead) return;
  m_InRead = false;
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare("COMMIT", &error));
  if (stmt) stmt.Step();
  if (!sqlite3_get_autocommit(m_Db)) sqlite3_exec(m_Db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void RegistryStore::UnmapGeneration() {
  if (m_Generation) munmap(m_Generation, sizeof *m_Generation);
  m_Generation = nullptr;
}

void RegistryStore::MapGeneration(bool create) {
  UnmapGeneration();
  int fd = open(m_GenerationPath.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof *m_Generation) &&
                              (!create || ftruncate(fd, sizeof *m_Generation) != 0))) {
    // A counter file that its maker has not sized yet reads as none.
    close(fd);
    return;
  }
  void* map = mmap(nullptr, sizeof *m_Generation, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map != MAP_FAILED) m_Generation = static_cast<uint64_t*>(map);
}

uint64_t RegistryStore::Generation() {
  // No counter file: no process has committed since the runtime area was made (a writer makes the
  // file before its first commit), so what this process has read still holds.
  if (!m_Generation) MapGeneration(false);
  return m_Generation ? __atomic_load_n(m_Generation, __ATOMIC_ACQUIRE) : 0;
}

void RegistryStore::CheckGeneration(uint64_t now) {
  if (now == m_CacheGeneration) return;
  m_ChildCache.clear();
  m_ValueCache.clear();
  m_ExistCache.clear();
  m_CacheGeneration = now;
}

std::wstring RegistryStore::CacheKey(const RegKeyRef& key, const std::wstring& upperName) {
  wchar_t digits[24];
  size_t count = 0;
  uint64_t id = static_cast<uint64_t>(key.id);
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + id % 10);
    id /= 10;
  } while (id != 0);
  std::wstring text;
  text.reserve(count + 1 + upperName.size());
  while (count > 0) text.push_back(digits[--count]);
  text += key.volatileKey ? L'v' : L'p';
  text += upperName;
  return text;
}

LONG RegistryStore::BeginWrite(bool volatileOnly) {
  if (m_Batch) return RegErrorFromSqlite(sqlite3_exec(m_Db, "SAVEPOINT call", nullptr, nullptr, nullptr));
  EndRead();
  // The persistent hive is reopened read-write only for a write that may change it: opening it so
  // sets up its shared index on the disk when no other process has it open. A write transaction
  // takes only a read transaction on a read-only hive.
  if (!volatileOnly || !m_VolatileFile) {
    const LONG error = Writable();
    if (error != ERROR_SUCCESS) return error;
  }
  // The counter that tells other processes of the commit exists before the commit does.
  if (!m_Generation) MapGeneration(true);
  int rc = SQLITE_BUSY;
  for (int attempt = 0; attempt < kBeginAttempts && (rc & 0xFF) == SQLITE_BUSY; ++attempt) {
    rc = sqlite3_exec(m_Db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if ((rc & 0xFF) == SQLITE_BUSY) usleep(1000);
  }
  m_InWrite = rc == SQLITE_OK;
  return RegErrorFromSqlite(rc);
}

LONG RegistryStore::Commit() {
  if (m_Batch) {
    m_CacheGeneration = ~0ULL;
    const int rc = sqlite3_exec(m_Db, "RELEASE call", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Rollback();
    return RegErrorFromSqlite(rc);
  }
  int rc = SQLITE_BUSY;
  for (int attempt = 0; attempt < kBeginAttempts && (rc & 0xFF) == SQLITE_BUSY; ++attempt) {
    rc = sqlite3_exec(m_Db, "COMMIT", nullptr, nullptr, nullptr);
    if ((rc & 0xFF) == SQLITE_BUSY) usleep(1000);
  }
  if (rc != SQLITE_OK) {
    Rollback();
    return RegErrorFromSqlite(rc);
  }
  m_InWrite = false;
  m_CacheGeneration = ~0ULL;
  if (m_Generation) __atomic_fetch_add(m_Generation, 1, __ATOMIC_RELEASE);
  if (!m_Wrote) {
    m_Wrote = true;
    std::atexit(CheckpointAtExit);
  }
  return ERROR_SUCCESS;
}

// A process that changed the hive moves its write-ahead log into the database file as it ends and
// empties the log, so that the processes after it neither replay the log on opening nor read pages
// from it one by one. It does not wait: while another process reads, the log stays for later.
void RegistryStore::CheckpointAtExit() {
  RegistryStore& store = Get();
  std::unique_lock<std::mutex> lock(store.m_Mutex, std::try_to_lock);
  // Writes of the volatile hive alone leave the persistent hive's connection read-only, and its log
  // as it was.
  if (!lock.owns_lock() || !store.m_Db || store.m_InWrite || !store.m_Writable) return;
  store.EndRead();
  sqlite3_busy_timeout(store.m_Db, 0);
  sqlite3_wal_checkpoint_v2(store.m_Db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_timeout(store.m_Db, kBusyTimeoutMs);
}

void RegistryStore::Rollback() {
  m_CacheGeneration = ~0ULL;
  if (m_Batch) {
    sqlite3_exec(m_Db, "ROLLBACK TO call; RELEASE call", nullptr, nullptr, nullptr);
    return;
  }
  m_InWrite = false;
  if (!sqlite3_get_autocommit(m_Db)) sqlite3_exec(m_Db, "ROLLBACK", nullptr, nullptr, nullptr);
}

LONG RegistryStore::BeginBatch() {
  if (m_Batch) return ERROR_SUCCESS;
  LONG error = NeedVolatile();
  if (error != ERROR_SUCCESS) return error;
  error = BeginWrite();
  m_Batch = error == ERROR_SUCCESS;
  return error;
}

LONG RegistryStore::EndBatch() {
  if (!m_Batch) return ERROR_SUCCESS;
  m_Batch = false;
  return Commit();
}

LONG RegistryStore::KeyExists(const RegKeyRef& key) {
  // Callers ask before most lookups, for the same few keys; a key that has gone since was deleted
  // by a commit, which empties the cache.
  const bool cached = !m_InWrite;
  const int64_t cacheKey = key.volatileKey ? -key.id : key.id;
  if (cached && m_ExistCache.count(cacheKey)) return ERROR_SUCCESS;
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(key.volatileKey ? "SELECT 1 FROM v.keys WHERE id=?1" : "SELECT 1 FROM main.keys WHERE id=?1",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  int rc = stmt.Step();
  if (rc == SQLITE_ROW) {
    if (cached && m_ExistCache.size() < kMaxCacheEntries) m_ExistCache.insert(cacheKey);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : RegErrorFromSqlite(rc);
}

LONG RegistryStore::FindChild(const RegKeyRef& parent, const std::wstring& upperName, RegKeyRef* child) {
  // Inside a write the database is the only truth: another process may have changed it.
  const bool cached = !m_InWrite;
  std::wstring cacheKey;
  if (cached) {
    cacheKey = CacheKey(parent, upperName);
    auto found = m_ChildCache.find(cacheKey);
    if (found != m_ChildCache.end()) {
      if (found->second.id == 0) return ERROR_FILE_NOT_FOUND;
      *child = found->second;
      return ERROR_SUCCESS;
    }
  }
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare("SELECT 0, id FROM main.keys WHERE parent=?1 AND uname=?3"
                         " UNION ALL SELECT 1, id FROM v.keys WHERE parent=?2 AND uname=?3 LIMIT 1",
                         &error));
  if (!stmt) return error;
  BindParent(stmt, parent);
  stmt.Bind(3, ToUtf8(upperName));
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) {
    if (cached && m_ChildCache.size() < kMaxCacheEntries) m_ChildCache.emplace(std::move(cacheKey), RegKeyRef{});
    return ERROR_FILE_NOT_FOUND;
  }
  if (rc != SQLITE_ROW) return RegErrorFromSqlite(rc);
  child->volatileKey = stmt.Int(0) != 0;
  child->id = stmt.Int(1);
  if (cached && m_ChildCache.size() < kMaxCacheEntries) m_ChildCache.emplace(std::move(cacheKey), *child);
  return ERROR_SUCCESS;
}

LONG RegistryStore::CreateChild(const RegKeyRef& parent, const std::wstring& name, bool volatileKey,
                                RegKeyRef* child) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(volatileKey ? "INSERT INTO v.keys(parent, name, uname, mtime) VALUES(?1, ?2, ?3, ?4)"
                                     : "INSERT INTO main.keys(parent, name, uname, mtime) VALUES(?1, ?2, ?3, ?4)",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, parent.volatileKey ? -parent.id : parent.id);
  stmt.Bind(2, ToUtf8(name));
  stmt.Bind(3, Upper8(name));
  stmt.Bind(4, RegNow());
  int rc = stmt.Step();
  if (rc != SQLITE_DONE) return RegErrorFromSqlite(rc);
  child->volatileKey = volatileKey;
  child->id = sqlite3_last_insert_rowid(m_Db);
  return ERROR_SUCCESS;
}

LONG RegistryStore::Children(const RegKeyRef& parent, std::vector<RegChild>* children) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare("SELECT 0, id, name, mtime, uname FROM main.keys WHERE parent=?1"
                         " UNION ALL SELECT 1, id, name, mtime, uname FROM v.keys WHERE parent=?2 ORDER BY 5",
                         &error));
  if (!stmt) return error;
  BindParent(stmt, parent);
  int rc;
  while ((rc = stmt.Step()) == SQLITE_ROW) {
    children->push_back({{stmt.Int(0) != 0, stmt.Int(1)}, stmt.Text(2), stmt.Int(3)});
  }
  return rc == SQLITE_DONE ? ERROR_SUCCESS : RegErrorFromSqlite(rc);
}

LONG RegistryStore::ChildAt(const RegKeyRef& parent, DWORD index, RegChild* child) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare("SELECT 0, id, name, mtime, uname FROM main.keys WHERE parent=?1"
                         " UNION ALL SELECT 1, id, name, mtime, uname FROM v.keys WHERE parent=?2"
                         " ORDER BY 5 LIMIT 1 OFFSET ?3",
                         &error));
  if (!stmt) return error;
  BindParent(stmt, parent);
  stmt.Bind(3, static_cast<int64_t>(index));
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return RegErrorFromSqlite(rc);
  *child = {{stmt.Int(0) != 0, stmt.Int(1)}, stmt.Text(2), stmt.Int(3)};
  return ERROR_SUCCESS;
}

LONG RegistryStore::HasChildren(const RegKeyRef& key, bool* any) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare("SELECT 1 FROM main.keys WHERE parent=?1 UNION ALL SELECT 1 FROM v.keys WHERE parent=?2"
                         " LIMIT 1",
                         &error));
  if (!stmt) return error;
  BindParent(stmt, key);
  int rc = stmt.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return RegErrorFromSqlite(rc);
  *any = rc == SQLITE_ROW;
  return ERROR_SUCCESS;
}

LONG RegistryStore::DeleteKeyRow(const RegKeyRef& key) {
  LONG error = DeleteValues(key);
  if (error != ERROR_SUCCESS) return error;
  Statement stmt(Prepare(key.volatileKey ? "DELETE FROM v.keys WHERE id=?1" : "DELETE FROM main.keys WHERE id=?1",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  return RegErrorFromSqlite(stmt.Step());
}

LONG RegistryStore::LastWrite(const RegKeyRef& key, int64_t* lastWrite) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(key.volatileKey ? "SELECT mtime FROM v.keys WHERE id=?1"
                                         : "SELECT mtime FROM main.keys WHERE id=?1",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return RegErrorFromSqlite(rc);
  *lastWrite = stmt.Int(0);
  return ERROR_SUCCESS;
}

LONG RegistryStore::Touch(const RegKeyRef& key) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(key.volatileKey ? "UPDATE v.keys SET mtime=?2 WHERE id=?1"
                                         : "UPDATE main.keys SET mtime=?2 WHERE id=?1",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  stmt.Bind(2, RegNow());
  int rc = stmt.Step();
  if (rc != SQLITE_DONE) return RegErrorFromSqlite(rc);
  return sqlite3_changes(m_Db) == 1 ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG RegistryStore::ReadValue(const RegKeyRef& key, const std::wstring& upperName, DWORD* type,
                              std::vector<BYTE>* data) {
  const bool cached = !m_InWrite;
  std::wstring cacheKey;
  if (cached) {
    cacheKey = CacheKey(key, upperName);
    auto found = m_ValueCache.find(cacheKey);
    if (found != m_ValueCache.end()) {
      if (!found->second.present) return ERROR_FILE_NOT_FOUND;
      *type = found->second.type;
      *data = found->second.data;
      return ERROR_SUCCESS;
    }
  }
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(key.volatileKey ? "SELECT type, data FROM v.vals WHERE key=?1 AND uname=?2"
                                         : "SELECT type, data FROM main.vals WHERE key=?1 AND uname=?2",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  stmt.Bind(2, ToUtf8(upperName));
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) {
    if (cached && m_ValueCache.size() < kMaxCacheEntries)
      m_ValueCache.emplace(std::move(cacheKey), CachedValue{false, REG_NONE, {}});
    return ERROR_FILE_NOT_FOUND;
  }
  if (rc != SQLITE_ROW) return RegErrorFromSqlite(rc);
  *type = static_cast<DWORD>(stmt.Int(0));
  const BYTE* bytes = static_cast<const BYTE*>(sqlite3_column_blob(stmt.get(), 1));
  data->assign(bytes, bytes + sqlite3_column_bytes(stmt.get(), 1));
  if (cached && m_ValueCache.size() < kMaxCacheEntries) {
    m_ValueCache.emplace(std::move(cacheKey), CachedValue{true, *type, *data});
  }
  return ERROR_SUCCESS;
}

LONG RegistryStore::WriteValue(const RegKeyRef& key, const std::wstring& name, DWORD type, const BYTE* data,
                               DWORD size) {
  LONG error = Touch(key);
  if (error != ERROR_SUCCESS) return error;
  // Rewriting a value keeps the name as first written, whatever case the caller uses now.
  Statement stmt(Prepare(key.volatileKey ? "INSERT INTO v.vals VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(key, uname)"
                                           " DO UPDATE SET type=excluded.type, data=excluded.data"
                                         : "INSERT INTO main.vals VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(key, uname)"
                                           " DO UPDATE SET type=excluded.type, data=excluded.data",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  stmt.Bind(2, ToUtf8(name));
  stmt.Bind(3, Upper8(name));
  stmt.Bind(4, static_cast<int64_t>(type));
  // A zero-length blob must still be a blob, not NULL.
  static const BYTE kEmpty = 0;
  sqlite3_bind_blob(stmt.get(), 5, size ? data : &kEmpty, static_cast<int>(size), SQLITE_TRANSIENT);
  return RegErrorFromSqlite(stmt.Step());
}

LONG RegistryStore::DeleteValue(const RegKeyRef& key, const std::wstring& upperName) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(key.volatileKey ? "DELETE FROM v.vals WHERE key=?1 AND uname=?2"
                                         : "DELETE FROM main.vals WHERE key=?1 AND uname=?2",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  stmt.Bind(2, ToUtf8(upperName));
  int rc = stmt.Step();
  if (rc != SQLITE_DONE) return RegErrorFromSqlite(rc);
  if (sqlite3_changes(m_Db) == 0) return ERROR_FILE_NOT_FOUND;
  return Touch(key);
}

LONG RegistryStore::DeleteValues(const RegKeyRef& key) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(key.volatileKey ? "DELETE FROM v.vals WHERE key=?1" : "DELETE FROM main.vals WHERE key=?1",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  return RegErrorFromSqlite(stmt.Step());
}

LONG RegistryStore::ValueAt(const RegKeyRef& key, DWORD index, RegValue* value) {
  LONG error = ERROR_SUCCESS;
  Statement stmt(Prepare(key.volatileKey
                             ? "SELECT name, type, data FROM v.vals WHERE key=?1 ORDER BY uname LIMIT 1 OFFSET ?2"
                             : "SELECT name, type, data FROM main.vals WHERE key=?1 ORDER BY uname LIMIT 1 OFFSET ?2",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  stmt.Bind(2, static_cast<int64_t>(index));
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return RegErrorFromSqlite(rc);
  value->name = stmt.Text(0);
  value->type = static_cast<DWORD>(stmt.Int(1));
  const BYTE* bytes = static_cast<const BYTE*>(sqlite3_column_blob(stmt.get(), 2));
  value->data.assign(bytes, bytes + sqlite3_column_bytes(stmt.get(), 2));
  return ERROR_SUCCESS;
}

LONG RegistryStore::Info(const RegKeyRef& key, DWORD* subKeys, DWORD* maxSubKeyLen, DWORD* values,
                         DWORD* maxValueNameLen, DWORD* maxValueLen) {
  LONG error = ERROR_SUCCESS;
  {
    Statement stmt(Prepare("SELECT count(*), coalesce(max(length(name)), 0) FROM"
                           " (SELECT name FROM main.keys WHERE parent=?1 UNION ALL"
                           "  SELECT name FROM v.keys WHERE parent=?2)",
                           &error));
    if (!stmt) return error;
    BindParent(stmt, key);
    int rc = stmt.Step();
    if (rc != SQLITE_ROW) return RegErrorFromSqlite(rc);
    *subKeys = static_cast<DWORD>(stmt.Int(0));
    *maxSubKeyLen = static_cast<DWORD>(stmt.Int(1));
  }
  Statement stmt(Prepare(key.volatileKey
                             ? "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0)"
                               " FROM v.vals WHERE key=?1"
                             : "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0)"
                               " FROM main.vals WHERE key=?1",
                         &error));
  if (!stmt) return error;
  stmt.Bind(1, key.id);
  int rc = stmt.Step();
  if (rc != SQLITE_ROW) return RegErrorFromSqlite(rc);
  *values = static_cast<DWORD>(stmt.Int(0));
  *maxValueNameLen = static_cast<DWORD>(stmt.Int(1));
  *maxValueLen = static_cast<DWORD>(stmt.Int(2));
  return ERROR_SUCCESS;
}

}  // namespace qz
