// Who gets in and how much they may send: the users file of `qzwmi passwd`, --no-auth only on
// loopback, HTTPS with a certificate made here, and connections beyond the limit refused.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/serve/ServeFixture.h"

namespace {

using namespace servetest;

const std::string kBoards = ":QZ_MemoryBoard";

// Only the users of the users file get in; SIGHUP (systemctl reload) re-reads it: changed passwords
// count at once, even for a client whose credentials were lately checked, and a file that cannot be
// read keeps the users in force.
TEST(ServeSecurity, OnlyUsersOfTheUsersFileGetInAndHangupRereadsIt) {
  const std::string users = RootFile("users");
  ASSERT_EQ(RunQzwmi({"passwd", "alice", "--users", users}, "first\n").status, 0);
  ASSERT_EQ(RunQzwmi({"passwd", "bob", "--users", users}, "builder\n").status, 0);
  ASSERT_EQ(RunQzwmi({"passwd", "alice", "--users", users}, "s3cret:with colon\n").status, 0);
  struct stat info {};
  ASSERT_EQ(stat(users.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(Count(ReadWholeFile(users), "alice:$"), 1u);

  Server server;
  ASSERT_TRUE(server.Start({"--users", users})) << server.Log();
  const auto expectLogins = [&](const std::vector<std::tuple<std::string, int, const char*>>& cases) {
    for (const auto& [credentials, status, error] : cases) {
      Outcome run = Wbemcli({"ein", server.Url(credentials) + kBoards});
      EXPECT_EQ(run.status, status) << credentials << run.err;
      EXPECT_NE(run.err.find(error), std::string::npos) << credentials << run.err;
    }
  };
  expectLogins({{"alice:s3cret:with colon", 0, ""},
                {"bob:builder", 0, ""},
                {"alice:first", 16, "Invalid username/password"},
                {"mallory:builder", 16, "Invalid username/password"},
                {"", 16, "Username/password required"}});
  // Refused before the body is read, with the challenge and nothing else.
  Reply refused = Post(server.Port(), "EnumerateInstanceNames", kBoardNames);
  EXPECT_EQ(refused.status, 401);
  EXPECT_EQ(HeaderValue(refused.headers, "WWW-Authenticate"), "Basic realm=\"qzwmi\"");
  EXPECT_EQ(refused.body, "");
  // The answer comes before the body: a client that announces one and sends nothing still hears it.
  const std::string announced = "POST /cimom HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/xml\r\n"
                                "CIMOperation: MethodCall\r\nContent-Length: 1000000\r\n\r\n";
  EXPECT_EQ(ExchangeRaw(server.Port(), announced).substr(0, 25), "HTTP/1.1 401 Unauthorized");
  // A client that waits for 100 Continue hears it only with credentials that pass.
  const std::string waiting = announced.substr(0, announced.size() - 2) + "Expect: 100-continue\r\n";
  EXPECT_EQ(ExchangeRaw(server.Port(), waiting + "\r\n").substr(0, 25), "HTTP/1.1 401 Unauthorized");
  EXPECT_EQ(ExchangeRaw(server.Port(), waiting + "Authorization: Basic Ym9iOmJ1aWxkZXI=\r\n\r\n"),
            "HTTP/1.1 100 Continue\r\n\r\n");
  // A name that tries to start a line of its own in the log stays on its line.
  EXPECT_EQ(Post(server.Port(), "EnumerateInstanceNames", "", {}, {"-u", "eve\nqzwmi serve stopped:pw"}).status, 401);
  for (const char* name : {"eve?qzwmi serve stopped", "alice", "mallory"})
    EXPECT_EQ(Count(server.Log(), std::string("failed login of '") + name + "' from 127.0.0.1"), 1u) << server.Log();

  ASSERT_EQ(RunQzwmi({"passwd", "alice", "--users", users}, "second\n").status, 0);
  ASSERT_EQ(RunQzwmi({"passwd", "carol", "--users", users}, "third\n").status, 0);
  ASSERT_EQ(server.Hangup("SIGHUP: re-read 3 users from " + users), 1u) << server.Log();
  expectLogins({{"alice:s3cret:with colon", 16, "Invalid username/password"}, {"alice:second", 0, ""}, {"carol:third", 0, ""}});
  WriteWholeFile(users, "not a users line\n");
  ASSERT_EQ(server.Hangup("SIGHUP: kept the users in force: "), 1u) << server.Log();
  expectLogins({{"carol:third", 0, ""}});
  EXPECT_EQ(server.Stop(), 0);
}

// A reload with a --config file whose options changed starts the command again in the same process,
// on the same socket, with the new options; a file that no longer parses, or whose users file does
// not load, leaves the server as it was; every reload leaves the descriptors as they were.
TEST(ServeSecurity, HangupAppliesAChangedConfiguration) {
  const std::string users = RootFile("config-users");
  const std::string config = RootFile("serve.conf");
  ASSERT_EQ(RunQzwmi({"passwd", "alice", "--users", users}, "first\n").status, 0);
  WriteWholeFile(config, "[serve]\nno-auth = true\n");
  Server server;
  ASSERT_TRUE(server.Start({"--config", config})) << server.Log();
  const std::string listening = "listening on 127.0.0.1:" + std::to_string(server.Port()) + " ";
  const auto descriptors = [&] {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(server.Pid()) + "/fd")) {
      (void)entry;
      ++count;
    }
    return count;
  };
  const auto reload = [&](const std::string& text, const std::string& line, size_t times) {
    WriteWholeFile(config, text);
    return server.Hangup(line, times);
  };
  EXPECT_EQ(Wbemcli({"ein", server.Url() + kBoards}).status, 0);

  ASSERT_EQ(reload("[serve]\nusers = " + users + "\n", listening, 2), 2u) << server.Log();
  const size_t open = descriptors();
  EXPECT_EQ(Wbemcli({"ein", server.Url() + kBoards}).status, 16);
  EXPECT_EQ(Wbemcli({"ein", server.Url("alice:first") + kBoards}).status, 0);

  const struct {
    std::string text, line;
  } kept[] = {{"[serve]\nthreads = x\n", "SIGHUP: kept the configuration in force: --threads: Value x"},
              {"[serve]\nunknown = 1\n", "SIGHUP: kept the configuration in force: INI was not able to parse serve.unknown"},
              {"[serve]\nusers = " + users + ".missing\n",
               "SIGHUP: kept the configuration in force: cannot read the users file " + users + ".missing"}};
  for (const auto& c : kept) {
    EXPECT_EQ(reload(c.text, c.line, 1), 1u) << c.text << server.Log();
    EXPECT_EQ(Wbemcli({"ein", server.Url("alice:first") + kBoards}).status, 0) << c.text;
  }
  // Unchanged options: only the users file is read again (as after each refused file above).
  EXPECT_EQ(reload("[serve]\nusers = " + users + "\n", "SIGHUP: re-read 1 users from " + users, 4), 4u) << server.Log();
  ASSERT_EQ(reload("[serve]\nusers = " + users + "\nlockout = 5\n", listening, 3), 3u) << server.Log();
  EXPECT_EQ(descriptors(), open);
  EXPECT_EQ(Wbemcli({"ein", server.Url("alice:first") + kBoards}).status, 0);
  EXPECT_EQ(Count(server.Log(), "SIGHUP: the configuration changed: starting again with it"), 2u) << server.Log();
  EXPECT_EQ(server.Stop(), 0);
}

// A root it cannot write (a read-only or a full file system, in a mount namespace of its own) is
// refused at the start, rather than a server that says "listening" and then fails every request.
TEST(ServeSecurity, RefusesToStartOnARootItCannotWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  const std::string mount = RootFile("small-fs");
  const struct {
    const char* spoil;  // what makes the file system unwritable once the root is set up
    const char* reason;
  } cases[] = {{"mount -o remount,ro \"$M\"", "Read-only file system"},
               {"! dd if=/dev/zero of=\"$M/fill\" bs=1M count=16 2>/dev/null", "No space left on device"}};
  for (const auto& c : cases) {
    const std::string script = std::string("M=") + mount + "; mkdir -p \"$M\" && mount -t tmpfs -o size=8m tmpfs \"$M\" && "
                               "QZWMI_ROOT=\"$M/root\" \"$0\" classes > /dev/null && " + c.spoil +
                               " && QZWMI_ROOT=\"$M/root\" \"$0\" serve --no-auth --listen 127.0.0.1:0";
    const Outcome run = RunProgram("unshare", {"-m", "sh", "-c", script, QZWMI_PATH});
    EXPECT_EQ(run.status, 2) << c.spoil << run.err;
    EXPECT_EQ(run.err, "qzwmi serve: cannot write the system root " + mount + "/root (" + c.reason + ")\n") << c.spoil;
  }
}

// With PAM the system's accounts decide; an account the system does not have is refused (the
// service name is unknown, so PAM's default rules apply).
TEST(ServeSecurity, PamRefusesAnUnknownAccount) {
  Server server;
  ASSERT_TRUE(server.Start({"--pam", "qzwmi-test"})) << server.Log();
  Outcome run = Wbemcli({"ein", server.Url("qzwmi-nobody:secret") + kBoards});
  EXPECT_EQ(run.status, 16);
  EXPECT_NE(run.err.find("Invalid username/password"), std::string::npos) << run.err;
  EXPECT_EQ(Count(server.Log(), "failed login of 'qzwmi-nobody' from 127.0.0.1"), 1u) << server.Log();
}

TEST(ServeSecurity, RefusesToStartWithoutAWayToAuthenticate) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--no-auth", "--listen", "0.0.0.0:0"}, "--no-auth is allowed only on a loopback address, not 0.0.0.0"},
      {{"--users", RootFile("missing")}, "cannot read the users file"},
      {{"--no-auth", "--tls-cert", RootFile("missing.pem")}, "HTTPS needs both --tls-cert and --tls-key"},
      {{"--no-auth", "--tls-cert", RootFile("missing.pem"), "--tls-key", RootFile("missing.key")},
       "cannot load the certificate"},
      {{"--no-auth", "--metrics-auth", "users"}, "--metrics-auth users needs the users file or PAM, not --no-auth"},
      {{"--no-auth", "--metrics-auth", "token", "--metrics-token-file", RootFile("absent")}, RootFile("absent") + ": cannot be read"},
  };
  for (const auto& c : cases) {
    Server server;
    EXPECT_FALSE(server.Start(c.args));
    EXPECT_EQ(server.ExitStatus(), 2) << c.message;
    EXPECT_NE(server.Log().find(c.message), std::string::npos) << server.Log();
  }
  const Outcome usage = RunQzwmi({"serve", "--no-auth", "--metrics-auth", "token"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err, "qzwmi: --metrics-auth token needs --metrics-token-file\nRun with --help for more information.\n");
  // A file without users starts a server that says nobody can get in.
  const std::string empty = RootFile("no-users");
  WriteWholeFile(empty, "# nobody yet\n");
  Server server;
  ASSERT_TRUE(server.Start({"--users", empty})) << server.Log();
  EXPECT_EQ(Count(server.Log(), "warning: the users file " + empty + " holds no user: every request will be refused"), 1u)
      << server.Log();
}

TEST(ServeSecurity, ServesHttpsWithASelfSignedCertificate) {
  const std::string cert = RootFile("cert.pem"), key = RootFile("key.pem");
  Outcome made = RunProgram("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                                        "-days", "1", "-subj", "/CN=127.0.0.1"});
  ASSERT_EQ(made.status, 0) << made.err;
  Server server;
  ASSERT_TRUE(server.Start({"--no-auth", "--tls-cert", cert, "--tls-key", key})) << server.Log();
  Outcome names = Wbemcli({"-noverify", "ein", server.Url("", "https") + kBoards});
  EXPECT_EQ(names.status, 0) << names.err;
  EXPECT_EQ(Count(names.out, "QZ_MemoryBoard.CreationClassName=\"QZ_MemoryBoard\""), 2u) << names.out;
  Outcome trusted = Wbemcli({"-cacert", cert, "ein", server.Url("", "https") + kBoards});
  EXPECT_EQ(trusted.status, 0) << trusted.err;
  // Plain HTTP on the HTTPS port gets no answer.
  EXPECT_EQ(Post(server.Port(), "EnumerateInstanceNames", kBoardNames).status, 0);
}

// A connection that stays silent is closed once the idle time has passed, in the middle of a
// request as well as between two.
TEST(ServeSecurity, SilentConnectionsAreClosed) {
  Server server;
  ASSERT_TRUE(server.Start({"--no-auth", "--idle-timeout", "1"})) << server.Log();
  for (const std::string& start : {std::string(), std::string("POST /cimom HTTP/1.1\r\nHost: 127.0.0.1\r\n")}) {
    const int fd = Connect(server.Port(), 10);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, start.data(), start.size(), 0), static_cast<ssize_t>(start.size()));
    char buffer[512];
    ssize_t got = 0;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) continue;
    EXPECT_EQ(got, 0) << "the connection was not closed: " << (start.empty() ? "silent" : "half a request");
    close(fd);
  }
}

// With one thread and room for one connection, a client that connects and says nothing holds the
// thread; the next is answered 503 at once, and served again once the first has gone. A second
// server on the port in use does not start beside the first (which would take half of its
// connections): it says why and exits, and the first goes on.
TEST(ServeSecurity, ConnectionsBeyondTheLimitAndASecondServerOnThePortAreRefused) {
  Server server;
  ASSERT_TRUE(server.Start({"--no-auth", "--threads", "1", "--max-connections", "1"})) << server.Log();
  const int idle = Connect(server.Port());
  ASSERT_GE(idle, 0);
  Reply refused = Post(server.Port(), "EnumerateInstanceNames", kBoardNames);
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(HeaderValue(refused.headers, "Retry-After"), "1");
  close(idle);
  EXPECT_EQ(Post(server.Port(), "EnumerateInstanceNames", kBoardNames).status, 200);

  const std::string address = "127.0.0.1:" + std::to_string(server.Port());
  Server second;
  EXPECT_FALSE(second.Start({"--no-auth", "--listen", address}));
  EXPECT_EQ(second.ExitStatus(), 2);
  const std::string why = "cannot listen on " + address + " (the port is in use, perhaps by another qzwmi serve)";
  EXPECT_EQ(Count(second.Log(), why), 1u) << second.Log();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Post(server.Port(), "EnumerateInstanceNames", kBoardNames).status, 200);
}

}  // namespace
