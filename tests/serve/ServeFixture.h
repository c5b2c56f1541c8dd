// `qzwmi serve` as the tests run it: started in the test's own system root on a free loopback
// port, driven with wbemcli and curl, and stopped with SIGTERM.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
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

using qzwmitest::Outcome;
using qzwmitest::ReadWholeFile;
using qzwmitest::RootFile;
using qzwmitest::RunProgram;
using qzwmitest::RunQzwmi;
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

  // Starts `qzwmi serve --listen 127.0.0.1:0 args...` (the address of args when they have one) and waits until it listens. False when it
  // exited instead (its status then in ExitStatus(), its log in Log()).
  bool Start(const std::vector<std::string>& args) {
    static int counter = 0;
    m_Log = RootFile("serve" + std::to_string(++counter) + ".log");
    std::vector<std::string> text = {QZWMI_PATH, "serve"};
    if (std::find(args.begin(), args.end(), "--listen") == args.end()) text.insert(text.end(), {"--listen", "127.0.0.1:0"});
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, m_Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int spawned = posix_spawn(&m_Pid, QZWMI_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string log = Log();
      const size_t at = log.find("listening on 127.0.0.1:");
      if (at != std::string::npos && log.find(' ', at + 23) != std::string::npos) {
        m_Port = std::stoi(log.substr(at + 23));
        return true;
      }
      int status = 0;
      if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
        m_Pid = -1;
        m_Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Sends SIGTERM and waits up to 10 s; the exit status, or -1 when it had to be killed.
  int Stop() {
    if (m_Pid <= 0) return m_Exit;
    kill(m_Pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(m_Pid, &status, WNOHANG) != m_Pid) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, &status, 0);
        m_Pid = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_Pid = -1;
    m_Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_Exit;
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

// What curl got back: the HTTP status, the response headers and the body.
struct Reply {
  int status = 0;
  std::string headers;
  std::string body;
};

// POSTs `body` to /cimom with the CIM headers of `method` (each replaced or dropped, "" drops, by
// `overrides` of the form "Name: value" or "Name:"), plus curl's `extra` options.
inline Reply Post(int port, const std::string& method, const std::string& body,
                  const std::vector<std::string>& overrides = {}, const std::vector<std::string>& extra = {},
                  const char* scheme = "http") {
  static int counter = 0;
  const std::string base = RootFile("curl" + std::to_string(++counter));
  WriteWholeFile(base + ".req", body);
  std::vector<std::string> headers = {"Content-Type: application/xml; charset=\"utf-8\"", "CIMOperation: MethodCall",
                                      "CIMProtocolVersion: 1.0", "CIMMethod: " + method, "CIMObject: root%2FVXN"};
  for (const std::string& override : overrides) {
    const std::string name = override.substr(0, override.find(':') + 1);
    for (std::string& header : headers)
      if (header.rfind(name, 0) == 0) header.clear();
    headers.push_back(override);
  }
  std::vector<std::string> args = {"-s", "-o", base + ".body", "-D", base + ".headers", "-w", "%{http_code}",
                                   "--max-time", "20", "--data-binary", "@" + base + ".req"};
  for (const std::string& header : headers)
    if (!header.empty()) args.insert(args.end(), {"-H", header});
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/cimom");
  Outcome run = RunProgram("curl", args);
  Reply reply;
  reply.status = std::atoi(run.out.c_str());
  reply.headers = ReadWholeFile(base + ".headers");
  reply.body = ReadWholeFile(base + ".body");
  return reply;
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

// Counts the occurrences of `needle` in `text`.
inline size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

}  // namespace servetest
