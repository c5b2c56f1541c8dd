// qzwmi: a WMI client that hosts the WMI service itself; enumerates, gets and queries objects,
// registers server modules, compiles MOF files and reads and writes the registry.
#include <objbase.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "ErrorNames.h"
#include "MachineChoice.h"
#include "Output.h"
#include "RegCommand.h"
#include "Setup.h"
#include "TreeCommand.h"
#include "qzplatform.h"
#include "serve/CimServer.h"
#include "serve/Users.h"

namespace {

constexpr char kExamples[] = R"HELP(Examples:
  qzwmi enum QZ_MemoryModule
  qzwmi --format json get 'QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:1-1"'
  qzwmi query "SELECT Tag, Capacity FROM QZ_MemoryModule WHERE Capacity >= 8589934592"
  qzwmi query 'ASSOCIATORS OF {QZ_MemoryBoard.CreationClassName="QZ_MemoryBoard",Tag="VXN:QZ_MemoryBoard:1"}'
  qzwmi tree --color never
  qzwmi --namespace 'root\wmi' enum DataStoreStatus
  qzwmi --machine machines/smbios-only.json enum QZ_MemoryModule
  qzwmi register                  (the built QZWmiMemory.so)
  qzwmi mofcomp mof/QZWmiMemory.mof
  qzwmi reg query 'HKLM\Software\Tarnwell\WBEM' /s
  qzwmi reg add 'HKLM\Software\Tarnwell\WBEM' /v LogLevel /t REG_DWORD /d 3 /f
  qzwmi reg delete 'HKLM\Software\Tarnwell\WBEM' /v LogLevel /f
  qzwmi passwd admin --users /etc/qzwmi/users
  qzwmi serve --users /etc/qzwmi/users                    (CIM-XML on 127.0.0.1:5988, path /cimom)
  qzwmi serve --listen 0.0.0.0:5989 --tls-cert cert.pem --tls-key key.pem --users /etc/qzwmi/users

Exit status: 0 on success; 1 when a request fails (one line on standard error naming the code,
as "qzwmi: WBEM_E_NOT_FOUND (0x80041002)"); 2 for a bad command line or machine description.
Output that a provider prints goes to <root>/drive_c/windows/system32/wbem/logs/provider-stdout.log.)HELP";

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Fail(HRESULT hr) {
  std::fprintf(stderr, "qzwmi: %s\n", qzwmi::HresultText(hr).c_str());
  return kFailed;
}

// The reg command asks before it overwrites or deletes; an answer that is not yes, or no answer
// at all (standard input closed), declines.
bool AskOnTerminal(const std::string& question) {
  std::fputs(question.c_str(), stdout);
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::fputs("\n", stdout);
    return false;
  }
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// Reads a password: twice without echo on a terminal, else one line of standard input.
bool ReadPassword(std::string* password) {
  if (!isatty(STDIN_FILENO)) return static_cast<bool>(std::getline(std::cin, *password));
  termios saved{};
  tcgetattr(STDIN_FILENO, &saved);
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  std::string again;
  std::fputs("New password: ", stderr);
  const bool read = static_cast<bool>(std::getline(std::cin, *password));
  std::fputs("\nRetype new password: ", stderr);
  const bool reread = read && std::getline(std::cin, again);
  std::fputs("\n", stderr);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (reread && again != *password) std::fputs("qzwmi: the passwords differ\n", stderr);
  return reread && again == *password;
}

int RunRegCommand(const std::vector<std::string>& args) {
  std::string out, err;
  const int status = qzwmi::RunReg(args, &out, &err, &AskOnTerminal);
  std::fputs(out.c_str(), stdout);
  std::fputs(err.c_str(), stderr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qzwmi: a WMI client with the WMI service inside it, for the machine that the system root describes."};
  app.name("qzwmi");
  app.footer(kExamples);
  app.require_subcommand(1);

  std::string machine;
  std::string format = "list";
  std::string nameSpace = "root\\VXN";
  app.add_option("--machine", machine,
                 "a machine description (JSON), or host for this Linux host (default: $QZWMI_MACHINE, else the host "
                 "when its SMBIOS table is readable, else the bundled example server)");
  app.add_option("--format", format, "list or json")->check(CLI::IsMember({"list", "json"}))->capture_default_str();
  app.add_option("--namespace", nameSpace, "the WMI namespace of enum, get and query")->capture_default_str();

  std::string argument;
  CLI::App* enumerate = app.add_subcommand("enum", "every instance of a class and of the classes derived from it");
  enumerate->add_option("CLASS", argument, "the class")->required();
  CLI::App* get = app.add_subcommand("get", "one object by its path");
  get->add_option("PATH", argument, "the object path, as Class.Key=\"value\"")->required();
  CLI::App* query = app.add_subcommand("query", "the objects a WQL query selects");
  query->add_option("WQL", argument, "the query")->required();
  std::string module = qzwmi::DefaultModulePath();
  std::string color = "auto";
  CLI::App* tree = app.add_subcommand("tree", "a picture of the server's memory, from its instances and associations");
  tree->add_option("--color", color, "auto, always or never")->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
  // `qzwmi tree --machine M` reads as well as `qzwmi --machine M tree`.
  tree->fallthrough();
  CLI::App* registerModule = app.add_subcommand("register", "call DllRegisterServer of a server module");
  registerModule->add_option("MODULE", module, "the module")->capture_default_str();
  CLI::App* unregisterModule = app.add_subcommand("unregister", "call DllUnregisterServer of a server module");
  unregisterModule->add_option("MODULE", module, "the module")->capture_default_str();
  std::string mofFile;
  CLI::App* mofcomp = app.add_subcommand("mofcomp", "compile a MOF file into the repository, kept for later runs");
  mofcomp->add_option("FILE", mofFile, "the MOF file")->required();
  qzwmi::serve::ServeOptions serve;
  serve.usersFile = std::string(QzGetSystemRoot()) + "/qzwmi.users";
  CLI::App* serveCommand =
      app.add_subcommand("serve", "answer CIM-XML requests over HTTP(S) until SIGTERM, logging to standard error");
  // `qzwmi serve --machine M` reads as well as `qzwmi --machine M serve`.
  serveCommand->fallthrough();
  serveCommand->add_option("--listen", serve.listen, "ADDR:PORT (127.0.0.1:5988; 5989 with TLS; port 0 picks a free one)");
  serveCommand->add_option("--tls-cert", serve.tlsCert, "the certificate (PEM) for HTTPS");
  serveCommand->add_option("--tls-key", serve.tlsKey, "its private key (PEM)");
  serveCommand->add_option("--users", serve.usersFile, "the users file that `qzwmi passwd` writes")->capture_default_str();
  serveCommand->add_option("--pam", serve.pamService, "check passwords with PAM under this service instead");
  serveCommand->add_flag("--no-auth", serve.noAuth, "no authentication (loopback addresses only)");
  serveCommand->add_option("--threads", serve.threads, "connections served at once")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();
  serveCommand->add_option("--max-connections", serve.maxConnections, "connections served or waiting; more get 503")
      ->check(CLI::Range(1, 65536))
      ->capture_default_str();
  serveCommand->add_option("--idle-timeout", serve.idleSeconds, "seconds a connection may stay silent")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  serveCommand->add_option("--watch-interval", serve.watchSeconds, "on the host: seconds between looks at the memory error counters")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  std::string passwdUser;
  CLI::App* passwd = app.add_subcommand("passwd", "set a user's password in the users file of serve (read from standard input)");
  passwd->add_option("USER", passwdUser, "the user")->required();
  passwd->add_option("--users", serve.usersFile, "the users file")->capture_default_str();
  CLI::App* reg = app.add_subcommand(
      "reg", "reg query|add|delete KEY [/v NAME | /ve | /va] [/t TYPE] [/d DATA] [/s] [/f], as the registry tool");
  reg->prefix_command();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsage;
  }

  if (reg->parsed()) return RunRegCommand(reg->remaining());
  if (passwd->parsed()) {
    std::string password, failure;
    if (!ReadPassword(&password)) return kFailed;
    if (!qzwmi::serve::SetPassword(serve.usersFile, passwdUser, password, &failure)) {
      std::fprintf(stderr, "qzwmi: %s\n", failure.c_str());
      return kFailed;
    }
    return 0;
  }

  // The providers' own standard output must never mix with the results: from here on fd 1 is a log.
  int results = qzwmi::SeparateStandardOutput();
  if (results < 0) results = STDOUT_FILENO;

  std::string notice;
  machine = qzwmi::ChooseMachine(machine, QZ_DEFAULT_MACHINE_PATH, &notice);
  if (!notice.empty()) std::fprintf(stderr, "%s\n", notice.c_str());
  char error[512] = "";
  if (!QzLoadMachine(machine.c_str(), error, sizeof error)) {
    std::fprintf(stderr, "qzwmi: %s\n", error);
    return kUsage;
  }

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (serveCommand->parsed()) {
    // The service keeps the module loaded while it runs, so its lists and caches live across
    // requests; released at the stop, the module unloads here.
    qzwmi::SetUpFirstUse();
    const int status = qzwmi::serve::Serve(serve);
    CoFreeUnusedLibraries();
    CoUninitialize();
    return status;
  }
  std::string output;
  HRESULT hr = S_OK;
  if (registerModule->parsed() || unregisterModule->parsed()) {
    const bool unregister = unregisterModule->parsed();
    hr = qzwmi::RegisterModule(module, unregister);
    if (SUCCEEDED(hr))
      output = std::string(unregister ? "DllUnregisterServer" : "DllRegisterServer") + " in " + module + " succeeded.\n";
  } else if (mofcomp->parsed()) {
    hr = QzCompileMofFile(mofFile.c_str(), TRUE, error, sizeof error);
    if (FAILED(hr) && *error) {
      std::fprintf(stderr, "qzwmi: %s: %s\n", error, qzwmi::HresultText(hr).c_str());
      return kFailed;
    }
    if (SUCCEEDED(hr)) output = "Compiled " + mofFile + ".\n";
  } else if (tree->parsed()) {
    qzwmi::SetUpFirstUse();
    hr = qzwmi::RunTree(qzwmi::Wide(nameSpace), qzwmi::WantColor(color, results), &output);
  } else {
    qzwmi::SetUpFirstUse();
    const qzwmi::Request request = enumerate->parsed() ? qzwmi::Request::Enumerate
                                   : get->parsed()     ? qzwmi::Request::Get
                                                       : qzwmi::Request::Query;
    std::vector<qzwmi::ObjectRecord> objects;
    hr = qzwmi::RunRequest(qzwmi::Wide(nameSpace), request, qzwmi::Wide(argument), &objects);
    if (SUCCEEDED(hr)) output = format == "json" ? qzwmi::FormatJson(objects) : qzwmi::FormatList(objects);
  }

  // Every object is released by now; a module with no objects left unloads here.
  CoFreeUnusedLibraries();
  CoUninitialize();
  if (FAILED(hr)) return Fail(hr);
  qzwmi::WriteAll(results, output);
  std::fflush(stdout);
  return 0;
}
