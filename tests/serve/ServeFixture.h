// `qzwmi serve` as the tests run it: started in the test's own system root on a free loopback
// port, driven with wbemcli and curl, and stopped with SIGTERM.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/qzwmi/QzwmiRun.h"

namespace servetest {

using qzwmitest::Count;
using qzwmitest::Eventually;
using qzwmitest::Outcome;
using qzwmitest::ReadWholeFile;
using qzwmitest::RootFile;
using qzwmitest::RunProgram;
using qzwmitest::RunQzwmi;
using qzwmitest::Spawn;
using qzwmitest::WaitExit;
using qzwmitest::WriteWholeFile;

// One running server; stopped (and, if it does not stop, killed) when destroyed.
class Server {
 public:
  Server() = default;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() {
    if (m_Pid > 0 && Stop() < 0) ADD_FAILURE() << "the server did not stop on SIGTERM";
  }

  // Starts `qzwmi serve --listen 127.0.0.1:0 args...` (the address of args when they have one) and
  // waits until it listens. False when it exited instead (its status then in ExitStatus(), its log in Log()).
  bool Start(const std::vector<std::string>& args) {
    static int counter = 0;
    m_Log = RootFile("serve" + std::to_string(++counter) + ".log");
    std::vector<std::string> argv = {QZWMI_PATH, "serve"};
    if (std::find(args.begin(), args.end(), "--listen") == args.end()) argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
    argv.insert(argv.end(), args.begin(), args.end());
    m_Port = 0;
    if ((m_Pid = Spawn(argv, "/dev/null", "", m_Log)) < 0) return false;
    int status = 0;
    bool exited = false;
    Eventually([&] {
      const std::string log = Log();
      const size_t at = log.find("listening on 127.0.0.1:");
      if (at != std::string::npos && log.find(' ', at + 23) != std::string::npos) m_Port = std::stoi(log.substr(at + 23));
      return m_Port > 0 || (exited = waitpid(m_Pid, &status, WNOHANG) == m_Pid);
    }, std::chrono::seconds(20));
    if (exited) {
      m_Pid = -1;
      m_Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return m_Port > 0;
  }

  // Sends SIGTERM and waits up to 10 s; the exit status, or -1 when it had to be killed.
  int Stop() {
    if (m_Pid <= 0) return m_Exit;
    kill(m_Pid, SIGTERM);
    m_Exit = WaitExit(m_Pid, std::chrono::seconds(10));
    m_Pid = -1;
    return m_Exit;
  }

  // Sends SIGHUP and waits up to 20 s until the log holds `line` `times` times; how often it does.
  size_t Hangup(const std::string& line, size_t times = 1) {
    if (m_Pid > 0) kill(m_Pid, SIGHUP);
    Eventually([&] { return Count(Log(), line) >= times; }, std::chrono::seconds(20));
    return Count(Log(), line);
  }

  std::string Log() const { return ReadWholeFile(m_Log); }
  int ExitStatus() const { return m_Exit; }
  int Port() const { return m_Port; }
  pid_t Pid() const { return m_Pid; }

  // The URL of the namespace as wbemcli takes it: scheme://[credentials@]127.0.0.1:port/root/VXN
  std::string Url(const std::string& credentials = "", const char* scheme = "http") const {
    return std::string(scheme) + "://" + (credentials.empty() ? "" : credentials + "@") + "127.0.0.1:" +
           std::to_string(m_Port) + "/root/VXN";
  }

 private:
  pid_t m_Pid = -1;
  int m_Port = 0;
  int m_Exit = -1;
  std::string m_Log;
};

inline Outcome Wbemcli(const std::vector<std::string>& args) { return RunProgram("wbemcli", args); }

// A CIM-XML call as wbemcli sends it, for curl.
inline std::string CallBody(const std::string& method, const std::string& params) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
         "<MESSAGE ID=\"4711\" PROTOCOLVERSION=\"1.0\"><SIMPLEREQ><IMETHODCALL NAME=\"" + method +
         "\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"></NAMESPACE><NAMESPACE NAME=\"VXN\"></NAMESPACE>"
         "</LOCALNAMESPACEPATH>\n" + params + "\n</IMETHODCALL></SIMPLEREQ>\n</MESSAGE></CIM>\n";
}

// The request for the names of the memory boards.
inline const std::string kBoardNames =
    CallBody("EnumerateInstanceNames", "<IPARAMVALUE NAME=\"ClassName\"><CLASSNAME NAME=\"QZ_MemoryBoard\"/></IPARAMVALUE>");

// What curl got back: the HTTP status, the response headers and the body.
struct Reply {
  int status = 0;
  std::string headers;
  std::string body;
};

// Runs curl with `args` on `url`: the HTTP status, the response headers and the body.
inline Reply Curl(std::vector<std::string> args, const std::string& url) {
  static int counter = 0;
  const std::string base = RootFile("curl" + std::to_string(++counter));
  args.insert(args.begin(), {"-s", "-o", base + ".body", "-D", base + ".headers", "-w", "%{http_code}", "--max-time", "20"});
  args.push_back(url);
  const int status = std::atoi(RunProgram("curl", args).out.c_str());
  return {status, ReadWholeFile(base + ".headers"), ReadWholeFile(base + ".body")};
}

// POSTs `body` to /cimom with the CIM headers of `method` (each replaced or dropped, "" drops, by
// `overrides` of the form "Name: value" or "Name:"), plus curl's `extra` options.
inline Reply Post(int port, const std::string& method, const std::string& body,
                  const std::vector<std::string>& overrides = {}, const std::vector<std::string>& extra = {}) {
  static int counter = 0;
  const std::string request = RootFile("post" + std::to_string(++counter) + ".req");
  WriteWholeFile(request, body);
  std::vector<std::string> headers = {"Content-Type: application/xml; charset=\"utf-8\"", "CIMOperation: MethodCall",
                                      "CIMProtocolVersion: 1.0", "CIMMethod: " + method, "CIMObject: root%2FVXN"};
  for (const std::string& override : overrides) {
    const std::string name = override.substr(0, override.find(':') + 1);
    for (std::string& header : headers)
      if (header.rfind(name, 0) == 0) header.clear();
    headers.push_back(override);
  }
  std::vector<std::string> args = {"--data-binary", "@" + request};
  for (const std::string& header : headers)
    if (!header.empty()) args.insert(args.end(), {"-H", header});
  args.insert(args.end(), extra.begin(), extra.end());
  return Curl(args, "http://127.0.0.1:" + std::to_string(port) + "/cimom");
}

// The value of a response header, or "" (names compared as given).
inline std::string HeaderValue(const std::string& headers, const std::string& name) {
  const size_t at = headers.find("\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t begin = at + name.size() + 3;
  return headers.substr(begin, headers.find_first_of("\r\n", begin) - begin);
}

// A new TCP connection to the loopback `port` whose reads give up after `seconds`; -1 when it
// cannot connect.
inline int Connect(int port, int seconds = 5) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval wait{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

// Sends `text` on a new connection and returns what comes back until the end of the response's
// headers, the connection's end, or 5 s of silence.
inline std::string ExchangeRaw(int port, const std::string& text) {
  const int fd = Connect(port);
  std::string answer;
  if (fd >= 0 && send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
    char buffer[4096];
    ssize_t got = 0;
    while (answer.find("\r\n\r\n") == std::string::npos && (got = recv(fd, buffer, sizeof buffer, 0)) > 0)
      answer.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return answer;
}

}  // namespace servetest
