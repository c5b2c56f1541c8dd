// `qzwmi serve` driven by the standard clients over loopback: every served class through wbemcli,
// agreeing with `qzwmi enum` property for property; each CIM error; curl for queries and for
// malformed requests; the stop on SIGTERM; the host's health followed as it changes.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sqlite3.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <ctime>
#include <filesystem>
#include <sstream>

#include "tests/serve/ServeFixture.h"

namespace {

namespace fs = std::filesystem;
using namespace servetest;

// One instance as `wbemcli ei -nl` prints it: its path, then "-Name=value" lines.
struct Printed {
  std::string path;
  std::vector<std::pair<std::string, std::string>> properties;
};

std::vector<Printed> ParsePrinted(const std::string& text) {
  std::vector<Printed> instances;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (!line.empty() && line[0] != '-') instances.push_back({line, {}});
    else if (!line.empty() && !instances.empty())
      instances.back().properties.emplace_back(line.substr(1, equals - 1), line.substr(equals + 1));
  }
  return instances;
}

// A value of `qzwmi --format json` as wbemcli prints it: strings quoted, references as the local
// path namespace:Class.keys, array elements joined by commas, nothing for no value.
std::string AsPrinted(const nlohmann::ordered_json& value) {
  if (value.is_null()) return "";
  if (value.is_boolean()) return value.get<bool>() ? "TRUE" : "FALSE";
  if (value.is_array()) {
    std::string joined;
    for (const auto& element : value) joined += (joined.empty() ? "" : ",") + AsPrinted(element);
    return joined;
  }
  if (!value.is_string()) return value.dump();
  const std::string text = value.get<std::string>();
  if (text.rfind("\\\\", 0) == 0) {  // \\SERVER\root\VXN:Class.keys
    std::string local = text.substr(text.find('\\', 2) + 1);
    for (size_t i = 0; i < local.find(':'); ++i)
      if (local[i] == '\\') local[i] = '/';
    return local;
  }
  return "\"" + text + "\"";
}

class Serve : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_Server.Start({"--no-auth"})) << m_Server.Log(); }

  // The paths that ei lists read back with gi as the instances that ei listed: every instance of
  // an association (whose references carry the client's host and must still match the
  // providers' paths), the first and last of other classes.
  void ExpectListedInstancesReadBack(const std::vector<std::pair<std::string, std::vector<Printed>>>& served) {
    for (const auto& [cls, listed] : served) {
      const bool association = listed[0].path.find("=root/") != std::string::npos;
      for (size_t i = 0; i < listed.size(); ++i) {
        if (!association && i != 0 && i + 1 != listed.size()) continue;
        Outcome one = Wbemcli({"gi", "-nl", "http://" + listed[i].path});
        ASSERT_EQ(one.status, 0) << listed[i].path << "\n" << one.err;
        const std::vector<Printed> got = ParsePrinted(one.out);
        ASSERT_EQ(got.size(), 1u) << listed[i].path;
        EXPECT_EQ(got[0].properties, listed[i].properties) << listed[i].path;
      }
    }
  }

  // The classes of root\VXN that have instances, each with its instances as `wbemcli ei -nl`
  // printed them; the classes whose enumeration fails (no provider yet) in m_Unserved.
  std::vector<std::pair<std::string, std::vector<Printed>>> ServedClasses() {
    Outcome names = Wbemcli({"ecn", m_Server.Url()});
    EXPECT_EQ(names.status, 0) << names.err;
    std::vector<std::pair<std::string, std::vector<Printed>>> served;
    for (const Printed& line : ParsePrinted(names.out)) {
      const std::string cls = line.path.substr(line.path.rfind(':') + 1);
      Outcome all = Wbemcli({"ei", "-nl", m_Server.Url() + ":" + cls});
      if (all.status != 0) {
        m_Unserved.push_back(cls);
        continue;
      }
      std::vector<Printed> instances = ParsePrinted(all.out);
      if (!instances.empty()) served.emplace_back(cls, std::move(instances));
    }
    return served;
  }

  Server m_Server;
  std::vector<std::string> m_Unserved;
};

// Every served class agrees with `qzwmi enum`, and what ei lists reads back by its paths.
TEST_F(Serve, EnumerationsAgreeWithQzwmiAndReadBackForEveryServedClass) {
  const auto served = ServedClasses();
  ASSERT_GE(served.size(), 8u);
  for (const auto& [cls, printed] : served) {
    Outcome run = RunQzwmi({"--format", "json", "enum", cls});
    ASSERT_EQ(run.status, 0) << cls << run.err;
    const nlohmann::ordered_json objects = nlohmann::ordered_json::parse(run.out);
    ASSERT_EQ(printed.size(), objects.size()) << cls;
    for (size_t i = 0; i < printed.size(); ++i) {
      std::vector<std::pair<std::string, std::string>> expected;
      for (const auto& [name, value] : objects[i].items())
        if (name.rfind("__", 0) != 0) expected.emplace_back(name, AsPrinted(value));
      ASSERT_EQ(printed[i].properties, expected) << printed[i].path;
    }
    Outcome names = Wbemcli({"ein", m_Server.Url() + ":" + cls});
    ASSERT_EQ(names.status, 0) << cls << names.err;
    const std::vector<Printed> paths = ParsePrinted(names.out);
    ASSERT_EQ(paths.size(), printed.size()) << cls;
    for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(paths[i].path, printed[i].path);
  }
  for (const std::string& cls : m_Unserved) EXPECT_NE(RunQzwmi({"enum", cls}).status, 0) << cls;
  ExpectListedInstancesReadBack(served);
}

// A server without a chassis: its board and module slots belong to no system, and that empty
// reference key is still a name that reads back.
class ServeWithoutChassis : public Serve {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Server.Start({"--no-auth", "--machine", QZ_MACHINES_DIR "/board-states.json"})) << m_Server.Log();
  }
};

TEST_F(ServeWithoutChassis, ListedInstancesReadBackByTheirPaths) {
  Outcome names = Wbemcli({"ein", m_Server.Url() + ":QZ_SystemMemoryBoardSlot"});
  ASSERT_EQ(names.status, 0) << names.err;
  EXPECT_NE(names.out.find(":QZ_SystemMemoryBoardSlot.GroupComponent=\"\",PartComponent=root/VXN:QZ_MemoryBoardSlot."),
            std::string::npos)
      << names.out;
  ExpectListedInstancesReadBack(ServedClasses());
}

TEST_F(Serve, PropertyListAndClassesAnswerWhatWasAskedFor) {
  const std::vector<Printed> chosen =
      ParsePrinted(Wbemcli({"ei", "-nl", m_Server.Url() + ":QZ_MemoryModule", "Capacity,Tag"}).out);
  ASSERT_FALSE(chosen.empty());
  for (const Printed& instance : chosen) {
    ASSERT_EQ(instance.properties.size(), 2u) << instance.path;
    EXPECT_EQ(instance.properties[0].first, "Tag");
    EXPECT_EQ(instance.properties[1].first, "Capacity");
  }
  const std::vector<Printed> cls = ParsePrinted(Wbemcli({"gc", "-nl", m_Server.Url() + ":QZ_MemoryModule"}).out);
  ASSERT_EQ(cls.size(), 1u);
  EXPECT_EQ(cls[0].path, "127.0.0.1:" + std::to_string(m_Server.Port()) + "/root/VXN:QZ_MemoryModule");
  std::vector<std::string> names;
  for (const auto& property : cls[0].properties) names.push_back(property.first);
  for (const char* expected : {"Tag", "CreationClassName", "Capacity", "OperationalStatus"})
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
}

// The class of each object of an answer, in order: the classes of `wbemcli ai|ain|ri|rin` lines,
// or of `qzwmi query` objects.
std::vector<std::string> ClassesOf(const std::vector<Printed>& printed) {
  std::vector<std::string> classes;
  for (const Printed& line : printed) {
    const size_t colon = line.path.find(':', line.path.find('/'));
    classes.push_back(line.path.substr(colon + 1, line.path.find('.', colon) - colon - 1));
  }
  std::sort(classes.begin(), classes.end());
  return classes;
}

std::vector<std::string> ClassesOf(const nlohmann::ordered_json& objects) {
  std::vector<std::string> classes;
  for (const auto& object : objects) classes.push_back(object["__CLASS"].get<std::string>());
  std::sort(classes.begin(), classes.end());
  return classes;
}

// ai, ain, ri and rin from a module and from a board, with each filter, find what the service's
// own ASSOCIATORS OF and REFERENCES OF queries find; every instance path they print reads back.
TEST_F(Serve, AssociationRequestsAgreeWithTheServicesQueries) {
  const std::string module = "QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:1-1\"";
  const std::string board = "QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\",Tag=\"VXN:QZ_MemoryBoard:1\"";
  const struct {
    const char* command;
    std::string object;
    std::vector<std::string> filters;
    std::string where;
  } cases[] = {
      {"ain", module, {}, ""},
      {"ai", module, {}, ""},
      {"rin", module, {}, ""},
      {"ri", module, {}, ""},
      {"ain", board, {}, ""},
      {"ri", board, {}, ""},
      {"ain", board, {"-ac", "QZ_MemoryModuleSlotOnBoard"}, " WHERE AssocClass = QZ_MemoryModuleSlotOnBoard"},
      {"ai", board, {"-arc", "QZ_MemoryBoardSlot"}, " WHERE ResultClass = QZ_MemoryBoardSlot"},
      {"ain", board, {"-ar", "Dependent", "-arr", "Antecedent"}, " WHERE Role = Dependent ResultRole = Antecedent"},
      {"rin", board, {"-ar", "Member"}, " WHERE Role = Member"},
      {"ri", module, {"-arc", "QZ_MemoryModuleInSlot"}, " WHERE ResultClass = QZ_MemoryModuleInSlot"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {c.command};
    args.insert(args.end(), c.filters.begin(), c.filters.end());
    args.push_back(m_Server.Url() + ":" + c.object);
    Outcome answer = Wbemcli(args);
    ASSERT_EQ(answer.status, 0) << c.command << " " << c.where << answer.err;
    const std::vector<Printed> printed = ParsePrinted(answer.out);
    const bool references = c.command[0] == 'r';
    Outcome query = RunQzwmi({"--format", "json", "query",
                              std::string(references ? "REFERENCES OF {" : "ASSOCIATORS OF {") + c.object + "}" + c.where});
    ASSERT_EQ(query.status, 0) << query.err;
    const nlohmann::ordered_json objects = nlohmann::ordered_json::parse(query.out);
    EXPECT_FALSE(objects.empty()) << c.command << c.where;
    EXPECT_EQ(ClassesOf(printed), ClassesOf(objects)) << c.command << c.where;
    for (const Printed& line : printed) {
      const std::string path = line.path.substr(0, line.path.find(' '));
      EXPECT_EQ(Wbemcli({"gi", "http://" + path}).status, 0) << path;
    }
  }
}

TEST_F(Serve, FailuresReachTheClientAsCimErrors) {
  const std::string url = m_Server.Url(), module = url + ":QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=";
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"ei", url + ":QZ_NoSuchClass"}, "(5) CIM_ERR_INVALID_CLASS"},
      {{"gi", url + ":QZ_NoSuchClass.Tag=\"x\""}, "(5) CIM_ERR_INVALID_CLASS"},
      {{"gi", module + "\"VXN:QZ_MemoryModule:9-9\""}, "(6) CIM_ERR_NOT_FOUND"},
      {{"gi", url + ":QZ_MemoryModule.Tag=\"VXN:QZ_MemoryModule:1-1\""}, "(4) CIM_ERR_INVALID_PARAMETER"},
      {{"gi", module + "\"VXN:QZ_MemoryModule:1-1\",Extra=\"x\""}, "(4) CIM_ERR_INVALID_PARAMETER"},
      {{"ei", "http://127.0.0.1:" + std::to_string(m_Server.Port()) + "/root/Nowhere:QZ_MemoryModule"},
       "(3) CIM_ERR_INVALID_NAMESPACE"},
      {{"ain", "-ar", "Dependent OR 1=1", module + "\"VXN:QZ_MemoryModule:1-1\""}, "(4) CIM_ERR_INVALID_PARAMETER"},
      {{"di", module + "\"VXN:QZ_MemoryModule:1-1\""}, "(7) CIM_ERR_NOT_SUPPORTED"},
  };
  for (const auto& c : cases) {
    Outcome run = Wbemcli(c.args);
    EXPECT_EQ(run.status, 16) << c.args[1];
    EXPECT_NE(run.err.find(c.error), std::string::npos) << c.args[1] << "\n" << run.err;
  }
}

TEST_F(Serve, ExecQueryAnswersObjectsWithTheirPaths) {
  const auto call = [](const std::string& language, const std::string& query) {
    return CallBody("ExecQuery", "<IPARAMVALUE NAME=\"QueryLanguage\"><VALUE>" + language +
                                     "</VALUE></IPARAMVALUE><IPARAMVALUE NAME=\"Query\"><VALUE>" + query + "</VALUE></IPARAMVALUE>");
  };
  const std::string query = call("WQL", "SELECT * FROM QZ_MemoryModule WHERE Tag = &quot;VXN:QZ_MemoryModule:1-2&quot;");
  Reply reply = Post(m_Server.Port(), "ExecQuery", query);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(HeaderValue(reply.headers, "CIMOperation"), "MethodResponse");
  const std::string host = "<HOST>127.0.0.1:" + std::to_string(m_Server.Port()) + "</HOST>";
  EXPECT_EQ(Count(reply.body, "<VALUE.OBJECTWITHPATH><INSTANCEPATH><NAMESPACEPATH>" + host), 1u) << reply.body;
  EXPECT_NE(reply.body.find("<KEYVALUE VALUETYPE=\"string\">VXN:QZ_MemoryModule:1-2</KEYVALUE>"), std::string::npos);
  const struct {
    std::string language, query;
    const char* error;
  } failures[] = {
      {"CQL", "SELECT * FROM QZ_MemoryModule", "<ERROR CODE=\"14\""},
      // A query the service cannot read is one of the service's failures.
      {"WQL", "SELEC * FROM QZ_MemoryModule", "<ERROR CODE=\"1\" DESCRIPTION=\"query failed (0x80041017)\""},
  };
  for (const auto& f : failures) {
    Reply failed = Post(m_Server.Port(), "ExecQuery", call(f.language, f.query));
    EXPECT_EQ(failed.status, 200);
    EXPECT_NE(failed.body.find(f.error), std::string::npos) << f.language << " " << failed.body.substr(0, 400);
  }
  EXPECT_EQ(Post(m_Server.Port(), "ExecQuery", query).body, reply.body);  // still serving
  // A Host that is not UTF-8 comes back in the paths as text XML carries.
  Reply odd = Post(m_Server.Port(), "ExecQuery", query, {"Host: h\xFF\xC3st"});
  EXPECT_EQ(Count(odd.body, "<HOST>h\xEF\xBF\xBD\xEF\xBF\xBDst</HOST>"), 1u) << odd.body;
}

TEST_F(Serve, MalformedRequestsAreRefusedWithCimErrorAndTheServerGoesOn) {
  const std::string& good = kBoardNames;
  const struct {
    const char* what;
    std::string body;
    std::vector<std::string> overrides;
    int status;
    const char* cimError;
  } cases[] = {
      {"multiple requests", "<CIM><MESSAGE ID=\"1\"><MULTIREQ></MULTIREQ></MESSAGE></CIM>", {}, 501,
       "multiple-requests-unsupported"},
      {"oversized body", std::string(4 * 1024 * 1024 + 1, ' '), {}, 413, "request-not-valid"},
      {"oversized headers", good,
       {"X-A: " + std::string(6000, 'a'), "X-B: " + std::string(6000, 'b'), "X-C: " + std::string(6000, 'c')}, 431,
       "request-not-valid"},
      {"header line over 8 KiB", good, {"X-Padding: " + std::string(9 * 1024, 'p')}, 400, "request-not-valid"},
  };
  for (const auto& c : cases) {
    Reply reply = Post(m_Server.Port(), "EnumerateInstanceNames", c.body, c.overrides);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(HeaderValue(reply.headers, "CIMError"), c.cimError) << c.what;
    EXPECT_EQ(reply.body, "") << c.what;
  }
  // A request line too long for the server is refused with the CIMError header as well.
  const std::string longTarget = ExchangeRaw(m_Server.Port(), "POST /cimom?" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(longTarget.substr(0, 12), "HTTP/1.1 414") << longTarget;
  EXPECT_EQ(HeaderValue(longTarget, "CIMError"), "request-not-valid") << longTarget;
  Reply after = Post(m_Server.Port(), "EnumerateInstanceNames", good);
  EXPECT_EQ(after.status, 200);
  EXPECT_EQ(Count(after.body, "<INSTANCENAME CLASSNAME=\"QZ_MemoryBoard\">"), 2u) << after.body;
}

// The service starts the memory event counter that a fresh root lacks, so that the module's lists
// keep their builds between requests; a counter that runs already is left where it is.
TEST_F(Serve, StartsTheMemoryEventCounterOnlyWhenNobodyHas) {
  const std::vector<std::string> query = {"reg", "query", "HKLM\\SOFTWARE\\Tarnwell\\WBEM\\Server\\QZ_MemoryIndication",
                                          "/v", "QZ_MemoryEvent"};
  EXPECT_NE(RunQzwmi(query).out.find("QZ_MemoryEvent    REG_DWORD    0x1\n"), std::string::npos);
  ASSERT_EQ(m_Server.Stop(), 0);
  ASSERT_EQ(RunQzwmi({"reg", "add", query[2], "/v", "QZ_MemoryEvent", "/t", "REG_DWORD", "/d", "7", "/f"}).status, 0);
  ASSERT_TRUE(m_Server.Start({"--no-auth"})) << m_Server.Log();
  EXPECT_NE(RunQzwmi(query).out.find("QZ_MemoryEvent    REG_DWORD    0x7\n"), std::string::npos);
}

// Stopped with SIGTERM, the server releases the service and the module unloads, as the common log
// records.
TEST_F(Serve, StopsOnSigtermAndUnloadsTheModule) {
  ASSERT_EQ(Wbemcli({"ein", m_Server.Url() + ":QZ_MemoryBoard"}).status, 0);
  // A client that keeps its connection open after an answer does not hold the stop back.
  const int idle = Connect(m_Server.Port());
  ASSERT_GE(idle, 0);
  const std::string body = CallBody("EnumerateClassNames", "");
  const std::string request = "POST /cimom HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/xml\r\n"
                              "CIMOperation: MethodCall\r\nCIMMethod: EnumerateClassNames\r\nCIMObject: root%2FVXN\r\n"
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  ASSERT_EQ(send(idle, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  char answer[64] = {};
  ASSERT_GT(recv(idle, answer, sizeof answer - 1, 0), 0);
  EXPECT_EQ(std::string(answer).substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(m_Server.Stop(), 0) << m_Server.Log();
  close(idle);
  const std::string log = ReadWholeFile(RootFile("drive_c/windows/system32/wbem/logs/QZWBEMServer.log"));
  auto utf16 = [](const std::string& text) {
    std::string wide;
    for (char c : text) wide += std::string{c, '\0'};
    return wide;
  };
  const size_t loaded = log.find(utf16("DLL is loaded."));
  const size_t unloaded = log.rfind(utf16("DLL is unloaded."));
  ASSERT_NE(unloaded, std::string::npos);
  EXPECT_LT(loaded, unloaded);
  EXPECT_NE(m_Server.Log().find("stopped"), std::string::npos);
}

// On a host the server follows its memory health: a change of the kernel's error counters or of
// rasdaemon's database shows in the next answers, without a restart, with one log line.
class ServeHostHealth : public testing::Test {
 protected:
  // A copy of the captured tree, served as the host.
  void ServeHost(const std::string& tree) {
    m_Root = RootFile("host-" + tree);
    fs::copy(QZ_SOURCE_DIR "/tests/data/hosts/" + tree, m_Root, fs::copy_options::recursive);
    setenv("QZWMI_HOST_ROOT", m_Root.c_str(), 1);
    ASSERT_TRUE(m_Server.Start({"--no-auth", "--machine", "host", "--watch-interval", "1"})) << m_Server.Log();
  }

  std::string Status(const std::string& tag) {
    Outcome run = Wbemcli({"gi", "-nl", m_Server.Url() + ":QZ_MemoryModule.CreationClassName=\"QZ_MemoryModule\",Tag=\"VXN:QZ_MemoryModule:" + tag + "\""});
    const size_t at = run.out.find("-OperationalStatus=");
    return at == std::string::npos ? run.out + run.err : run.out.substr(at + 19, run.out.find('\n', at) - at - 19);
  }

  // The module's status once it is no longer `before`, asking again until a deadline.
  std::string StatusAfterChange(const std::string& tag, const std::string& before) {
    std::string now;
    Eventually([&] { return (now = Status(tag)) != before; }, std::chrono::seconds(30), std::chrono::milliseconds(100));
    return now;
  }

  std::string m_Root;
  Server m_Server;
};

TEST_F(ServeHostHealth, AnEdacCounterOverTheThresholdShowsInTheNextAnswer) {
  ServeHost("ghes-two-socket");
  ASSERT_EQ(Status("2-2"), "2");
  qzwmitest::WriteWholeFile(m_Root + "/sys/devices/system/edac/mc/mc0/dimm9/dimm_ce_count", "10\n");
  EXPECT_EQ(StatusAfterChange("2-2", "2"), "3,5");
  EXPECT_EQ(Status("1-6"), "3,5");
  EXPECT_EQ(Count(m_Server.Log(), "memory health changed"), 1u) << m_Server.Log();
  EXPECT_NE(m_Server.Log().find("qzwmi serve: memory health changed: module 2-2 predictive failure\n"), std::string::npos)
      << m_Server.Log();
}

TEST_F(ServeHostHealth, ANewUncorrectedEventInRasdaemonsDatabaseShowsInTheNextAnswer) {
  ServeHost("rasdaemon");
  ASSERT_EQ(Status("1-4"), "2");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((m_Root + "/var/lib/rasdaemon/ras-mc_event.db").c_str(), &db), SQLITE_OK);
  // The watcher may be reading when the write begins (it wakes as the journal file appears).
  sqlite3_busy_timeout(db, 10000);
  char stamp[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S +0000", std::gmtime(&now));
  const std::string insert = std::string("INSERT INTO mc_event (timestamp, err_count, err_type, err_msg, label, mc) VALUES ('") +
                             stamp + "', 1, 'Uncorrected', 'memory read error', 'DIMM_D1', 0)";
  EXPECT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(StatusAfterChange("1-4", "2"), "3,5");
  EXPECT_EQ(Status("1-3"), "2");
  EXPECT_NE(m_Server.Log().find("memory health changed: module 1-4 predictive failure\n"), std::string::npos) << m_Server.Log();
}

}  // namespace
