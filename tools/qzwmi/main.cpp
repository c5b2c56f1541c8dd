// qzwmi: a WMI client that hosts the WMI service itself; enumerates, gets and queries objects,
// describes classes, registers server modules, compiles MOF files, reads the trace log and reads
// and writes the registry.
#include <objbase.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <fcntl.h>
#include <unistd.h>

#include <atlbase.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "ErrorNames.h"
#include "Explain.h"
#include "LogCommand.h"
#include "MachineChoice.h"
#include "Output.h"
#include "RegCommand.h"
#include "Schema.h"
#include "Setup.h"
#include "TreeCommand.h"
#include "QzVersion.h"
#include "Views.h"
#include "metrics/MemoryMetrics.h"
#include "qzplatform.h"
#include "ServeLibrary.h"

namespace {

constexpr char kExamples[] = R"HELP(Examples:
  qzwmi enum QZ_MemoryModule
  qzwmi enum QZ_MemoryModule --format csv -p Tag,Capacity,MemoryType
  qzwmi --format json get 'QZ_MemoryModule.CreationClassName="QZ_MemoryModule",Tag="VXN:QZ_MemoryModule:1-1"'
  qzwmi query "SELECT Tag, Capacity FROM QZ_MemoryModule WHERE Capacity >= 8589934592"
  qzwmi query 'ASSOCIATORS OF {QZ_MemoryBoard.CreationClassName="QZ_MemoryBoard",Tag="VXN:QZ_MemoryBoard:1"}'
  qzwmi classes
  qzwmi describe QZ_MemoryModule
  qzwmi tree --color never
  qzwmi --namespace 'root\wmi' enum DataStoreStatus
  qzwmi --machine machines/smbios-only.json enum QZ_MemoryModule
  qzwmi log --follow
  qzwmi register                  (the built QZWmiMemory.so)
  qzwmi mofcomp mof/QZWmiMemory.mof
  qzwmi reg query 'HKLM\Software\Tarnwell\WBEM' /s
  qzwmi reg add 'HKLM\Software\Tarnwell\WBEM' /v LogLevel /t REG_DWORD /d 3 /f
  qzwmi reg delete 'HKLM\Software\Tarnwell\WBEM' /v LogLevel /f
  qzwmi passwd admin --users /etc/qzwmi/users
  qzwmi serve --users /etc/qzwmi/users                    (CIM-XML on 127.0.0.1:5988, path /cimom)
  qzwmi serve --listen 0.0.0.0:5989 --tls-cert cert.pem --tls-key key.pem --users /etc/qzwmi/users
  qzwmi serve --users /etc/qzwmi/users --metrics-auth token --metrics-token-file /etc/qzwmi/metrics.token
  qzwmi metrics --output /var/lib/prometheus/node-exporter/qzwmi.prom

Views: --format table (the default on a terminal: chosen columns, coded values in words, sizes in
GiB), list (the default otherwise: one "Name = Value" line per property), json (raw values; with
--decode also "Name.text" beside each coded value) or csv. -p/--property keeps only the named
properties, in that order.

Exit status: 0 on success; 1 when a request fails (one line on standard error saying what failed,
then the code, as "qzwmi: no class QZ_X in root\VXN (qzwmi classes lists them): WBEM_E_INVALID_CLASS
(0x80041010)"); 2 for a bad command line or machine description.
Output that a provider prints goes to <root>/drive_c/windows/system32/wbem/logs/provider-stdout.log.)HELP";

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Everything the command line sets.
struct Options {
  std::string machine;  // chosen at the start: see LoadMachine
  std::string format;  // empty: the subcommand's own default
  std::string nameSpace = "root\\VXN";
  std::string argument;  // the class, path or query
  std::vector<std::string> properties;
  bool decode = false;
  std::string module = qzwmi::DefaultModulePath();
  std::string color = "auto";
  std::string mofFile;
  bool follow = false;
  std::string passwdUser;
  qzwmi::serve::ServeOptions serve;
  std::string metricsAuth = "none";
  std::string metricsOutput;  // empty: standard output
  bool openMetrics = false;
};

struct Subcommands {
  CLI::App* enumerate;
  CLI::App* get;
  CLI::App* query;
  CLI::App* classes;
  CLI::App* describe;
  CLI::App* tree;
  CLI::App* log;
  CLI::App* registerModule;
  CLI::App* unregisterModule;
  CLI::App* mofcomp;
  CLI::App* serve;
  CLI::App* metrics;
  CLI::App* passwd;
  CLI::App* reg;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "qzwmi: %s\nRun with --help for more information.\n", problem.c_str());
  return kUsage;
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
  if (!isatty(STDIN_FILENO)) {
    if (std::getline(std::cin, *password)) return true;
    std::fputs("qzwmi: passwd: no password on standard input (one line is read from it)\n", stderr);
    return false;
  }
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
  if (!reread) std::fputs("qzwmi: passwd: no password read\n", stderr);
  if (reread && again != *password) std::fputs("qzwmi: the passwords differ\n", stderr);
  return reread && again == *password;
}

void AddGlobalOptions(CLI::App& app, Options& options) {
  app.add_option("--machine", options.machine,
                 "a machine description (JSON), or host for this Linux host (default: $QZWMI_MACHINE, else the host "
                 "when its SMBIOS table is readable, else the bundled example server)");
  app.add_option("--format", options.format,
                 "table (default on a terminal), list (default otherwise), json or csv; tree: json")
      ->check(CLI::IsMember({"table", "list", "json", "csv"}));
  app.add_option("--namespace", options.nameSpace, "the WMI namespace of enum, get, query, classes and describe")
      ->capture_default_str();
  // Mostly for the service: a [serve] section holds serve's long options, one a line, and a reload
  // (SIGHUP) reads the file again. Options given on the command line win over the file's.
  app.set_config("--config", "", "read options from this file ([serve], then e.g. threads = 8)");
  app.allow_config_extras(false);
}

// -p and --decode, for the subcommands that print objects.
void AddViewOptions(CLI::App* command, Options& options) {
  command->add_option("-p,--property", options.properties, "only these properties, in this order (comma-separated or repeated)")
      ->delimiter(',');
  command->add_flag("--decode", options.decode, "json and csv: the text of each coded value beside it");
}

void AddServeOptions(CLI::App* serve, Options& options) {
  qzwmi::serve::ServeOptions& o = options.serve;
  serve->add_option("--listen", o.listen, "ADDR:PORT (127.0.0.1:5988; 5989 with TLS; port 0 picks a free one)");
  serve->add_option("--tls-cert", o.tlsCert, "the certificate (PEM) for HTTPS");
  serve->add_option("--tls-key", o.tlsKey, "its private key (PEM)");
  serve->add_option("--users", o.usersFile, "the users file that `qzwmi passwd` writes (qzwmi.users in the root)");
  serve->add_option("--pam", o.pamService, "check passwords with PAM under this service instead");
  serve->add_flag("--no-auth", o.noAuth, "no authentication (loopback addresses only)");
  serve->add_option("--threads", o.threads, "requests carried out at once (worker threads; connections need none)")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();
  serve->add_option("--max-connections", o.maxConnections, "connections open at once; more get 503 and are closed")
      ->check(CLI::Range(1, 65536))
      ->capture_default_str();
  serve->add_option("--max-per-address", o.maxPerAddress, "connections open at once from one client address")
      ->check(CLI::Range(1, 65536))
      ->capture_default_str();
  serve->add_option("--idle-timeout", o.idleSeconds, "seconds a connection may wait silent for its next request")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  serve->add_option("--head-timeout", o.headSeconds, "seconds from a request's first byte to the end of its headers")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  serve->add_option("--body-timeout", o.bodySeconds, "seconds to receive a request's body, and to send an answer")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  serve->add_option("--max-body", o.maxBody, "bytes a request's body may have, however it is sent")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30))
      ->capture_default_str();
  serve->add_option("--lockout", o.lockout, "failed logins within a minute that lock a client address out for a minute (0: none)")
      ->check(CLI::Range(0, 1000000))
      ->capture_default_str();
  serve->add_option("--watch-interval", o.watchSeconds, "on the host: seconds between looks at the memory error counters")
      ->check(CLI::Range(1, 3600))
      ->capture_default_str();
  serve->add_option("--metrics-auth", options.metricsAuth,
                    "who may GET /metrics: none (loopback peers only), users (as /cimom) or token (a bearer token)")
      ->check(CLI::IsMember({"none", "users", "token"}))
      ->capture_default_str();
  serve->add_option("--metrics-token-file", o.metrics.tokenFile, "the file whose first line is the bearer token of /metrics");
  serve->add_flag("--metrics-any-peer", o.metrics.anyPeer, "with --metrics-auth none: answer peers beyond loopback too");
}

// Describes serve's options, once.
void DescribeServe(CLI::App* serve, Options& options) {
  if (serve->get_option_no_throw("--listen")) return;
  AddServeOptions(serve, options);
}

// Whether the command line names a --config file, whose [serve] section needs serve's options to
// be read whatever the subcommand.
bool NamesConfigFile(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--config", 8) == 0) return true;
  return false;
}

Subcommands AddSubcommands(CLI::App& app, Options& options) {
  Subcommands c{};
  c.enumerate = app.add_subcommand("enum", "every instance of a class and of the classes derived from it");
  c.enumerate->add_option("CLASS", options.argument, "the class")->required();
  c.get = app.add_subcommand("get", "one object by its path");
  c.get->add_option("PATH", options.argument, "the object path, as Class.Key=\"value\"")->required();
  c.query = app.add_subcommand("query", "the objects a WQL query selects");
  c.query->add_option("WQL", options.argument, "the query")->required();
  for (CLI::App* command : {c.enumerate, c.get, c.query}) AddViewOptions(command, options);
  c.classes = app.add_subcommand("classes", "the classes of the namespace, with their descriptions");
  c.describe = app.add_subcommand("describe", "a class: its properties, types, keys and value maps");
  c.describe->add_option("CLASS", options.argument, "the class")->required();
  c.tree = app.add_subcommand("tree", "a picture of the server's memory, from its instances and associations");
  c.tree->add_option("--color", options.color, "auto, always or never")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
  c.log = app.add_subcommand("log", "the trace log of the system, as UTF-8");
  c.log->add_flag("-f,--follow", options.follow, "keep printing what is appended, until interrupted");
  c.registerModule = app.add_subcommand("register", "call DllRegisterServer of a server module");
  c.registerModule->add_option("MODULE", options.module, "the module")->capture_default_str();
  c.unregisterModule = app.add_subcommand("unregister", "call DllUnregisterServer of a server module");
  c.unregisterModule->add_option("MODULE", options.module, "the module")->capture_default_str();
  c.mofcomp = app.add_subcommand("mofcomp", "compile a MOF file into the repository, kept for later runs");
  c.mofcomp->add_option("FILE", options.mofFile, "the MOF file")->required();
  c.serve = app.add_subcommand("serve", "answer CIM-XML requests over HTTP(S) until SIGTERM, logging to standard error");
  // serve's options are many and only serve reads them: they are described when serve is named
  // (before its arguments are parsed, so its --help lists them), or when a --config file is read.
  CLI::App* serve = c.serve;
  serve->preparse_callback([serve, &options](size_t) { DescribeServe(serve, options); });
  c.metrics = app.add_subcommand("metrics", "print the memory's metrics once, as GET /metrics of serve gives them");
  c.metrics->add_option("-o,--output", options.metricsOutput, "write them to this file at once (a new file renamed over it)");
  c.metrics->add_flag("--openmetrics", options.openMetrics, "in the OpenMetrics format rather than Prometheus's text format");
  c.passwd = app.add_subcommand("passwd", "set a user's password in the users file of serve (read from standard input)");
  c.passwd->add_option("USER", options.passwdUser, "the user")->required();
  c.passwd->add_option("--users", options.serve.usersFile, "the users file (qzwmi.users in the root)");
  c.reg = app.add_subcommand(
      "reg", "reg query|add|delete KEY [/v NAME | /ve | /va] [/t TYPE] [/d DATA] [/s] [/f], as the registry tool; reg /? for usage");
  c.reg->prefix_command();
  // The options of the command line read as well after the subcommand: `qzwmi enum X --format json`.
  for (CLI::App* command : app.get_subcommands({})) {
    if (command != c.reg) command->fallthrough();
  }
  return c;
}

int RunReg(const std::vector<std::string>& args) {
  std::string out, err;
  const int status = qzwmi::RunReg(args, &out, &err, &AskOnTerminal);
  std::fputs(err.c_str(), stderr);
  std::fflush(stdout);
  if (!qzwmi::WriteAll(STDOUT_FILENO, out)) return qzwmi::WriteFailed();
  return status;
}

int RunPasswd(const Options& options) {
  std::string password, failure;
  if (!ReadPassword(&password)) return kFailed;
  auto setPassword = reinterpret_cast<qzwmi::SetPasswordEntry>(qzwmi::ServeLibraryEntry(qzwmi::kSetPasswordEntryName));
  if (!setPassword) return kFailed;
  if (!setPassword(&options.serve.usersFile, &options.passwdUser, &password, &failure)) {
    std::fprintf(stderr, "qzwmi: %s\n", failure.c_str());
    return kFailed;
  }
  return 0;
}

// The machine the process manages, before anything reads it: --machine, else $QZWMI_MACHINE, else
// this host when its table is readable, else the bundled example server, with a line that says why.
int LoadMachine(const Options& options) {
  std::string notice;
  const std::string machine = qzwmi::ChooseMachine(options.machine, qzwmi::DefaultMachinePath(), &notice);
  if (!notice.empty()) std::fprintf(stderr, "%s\n", notice.c_str());
  char error[512] = "";
  if (!QzLoadMachine(machine.c_str(), error, sizeof error)) {
    std::fprintf(stderr, "qzwmi: %s\n", error);
    return kUsage;
  }
  return 0;
}

// The columns a table may take: $COLUMNS, else the terminal's width; no limit for a file or pipe.
size_t TableWidth(int fd) {
  if (const char* columns = std::getenv("COLUMNS")) {
    if (std::atoi(columns) > 0) return static_cast<size_t>(std::atoi(columns));
  }
  winsize size{};
  if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 0;
}

qzwmi::ViewOptions Views(const Options& options, int results) {
  qzwmi::ViewOptions view;
  const std::string& format = options.format;
  view.view = format == "json"   ? qzwmi::View::Json
              : format == "csv"  ? qzwmi::View::Csv
              : format == "list" ? qzwmi::View::List
              : format == "table" || isatty(results) ? qzwmi::View::Table
                                                     : qzwmi::View::List;
  view.decode = options.decode;
  view.width = TableWidth(results);
  view.properties = options.properties;
  return view;
}

// The class definitions of the objects, for the views that decode values and choose columns.
qzwmi::Catalog CatalogOf(const std::wstring& nameSpace, const std::vector<qzwmi::ObjectRecord>& objects) {
  qzwmi::Catalog catalog;
  CComPtr<IWbemServices> services;
  if (FAILED(qzwmi::Connect(nameSpace, &services))) return catalog;
  for (const qzwmi::ObjectRecord& object : objects) {
    if (catalog.count(object.className)) continue;
    qzwmi::ClassInfo info;
    if (SUCCEEDED(qzwmi::ReadClass(services, object.className, &info))) catalog[object.className] = std::move(info);
  }
  return catalog;
}

int RunObjects(const Options& options, qzwmi::Request request, int results, std::string* output) {
  if (options.decode && options.format != "json" && options.format != "csv")
    return Usage("--decode goes with --format json or csv");
  const std::wstring nameSpace = qzwmi::Wide(options.nameSpace);
  const std::wstring argument = qzwmi::Wide(options.argument);
  std::vector<qzwmi::ObjectRecord> objects;
  HRESULT hr = qzwmi::RunRequest(nameSpace, request, argument, &objects);
  if (FAILED(hr)) {
    std::fputs(qzwmi::ErrorLine(qzwmi::ExplainFailure(nameSpace, request, argument, hr), hr).c_str(), stderr);
    return kFailed;
  }
  const qzwmi::ViewOptions view = Views(options, results);
  const qzwmi::Catalog catalog = CatalogOf(nameSpace, objects);
  std::string error;
  if (!view.properties.empty() && !qzwmi::SelectProperties(view.properties, catalog, &objects, &error)) {
    std::fprintf(stderr, "qzwmi: %s\n", error.c_str());
    return kFailed;
  }
  *output = qzwmi::FormatView(objects, catalog, view);
  return 0;
}

int RunClasses(const Options& options, int results, std::string* output) {
  CComPtr<IWbemServices> services;
  std::vector<qzwmi::ClassInfo> classes;
  HRESULT hr = qzwmi::Connect(qzwmi::Wide(options.nameSpace), &services);
  if (SUCCEEDED(hr)) hr = qzwmi::ReadClasses(services, &classes);
  if (FAILED(hr)) {
    const std::string words = hr == WBEM_E_INVALID_NAMESPACE ? "no namespace " + options.nameSpace : "";
    std::fputs(qzwmi::ErrorLine(words, hr).c_str(), stderr);
    return kFailed;
  }
  *output = qzwmi::FormatView(qzwmi::ClassRecords(classes), {}, Views(options, results));
  return 0;
}

int RunDescribe(const Options& options, std::string* output) {
  if (options.format == "csv") return Usage("describe prints text, or JSON with --format json");
  const std::wstring nameSpace = qzwmi::Wide(options.nameSpace);
  CComPtr<IWbemServices> services;
  qzwmi::ClassInfo info;
  HRESULT hr = qzwmi::Connect(nameSpace, &services);
  if (SUCCEEDED(hr)) hr = qzwmi::ReadClass(services, qzwmi::Wide(options.argument), &info);
  if (FAILED(hr)) {
    const std::string words = hr == WBEM_E_INVALID_NAMESPACE
                                  ? "no namespace " + options.nameSpace
                                  : qzwmi::ExplainClass(services, nameSpace, qzwmi::Wide(options.argument));
    std::fputs(qzwmi::ErrorLine(words, hr).c_str(), stderr);
    return kFailed;
  }
  *output = options.format == "json" ? qzwmi::FormatDescriptionJson(info) : qzwmi::FormatDescription(info);
  return 0;
}

int RunTree(const Options& options, int results, std::string* output) {
  if (!options.format.empty() && options.format != "json")
    return Usage("tree draws a picture, or gives the tree as JSON with --format json; not --format " + options.format);
  const bool json = options.format == "json";
  const HRESULT hr = qzwmi::RunTree(qzwmi::Wide(options.nameSpace), !json && qzwmi::WantColor(options.color, results),
                                    json, output);
  if (FAILED(hr)) {
    std::fputs(qzwmi::ErrorLine("", hr).c_str(), stderr);
    return kFailed;
  }
  return 0;
}

int RunRegistration(const Options& options, bool unregister, std::string* output) {
  const std::string& module = options.module;
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  const HRESULT hr = qzwmi::RegisterModule(module, unregister);
  if (SUCCEEDED(hr)) {
    *output = std::string(entry) + " in " + module + " succeeded.\n";
    return 0;
  }
  std::string words = hr == CO_E_DLLNOTFOUND ? qzwmi::ExplainModule(module)
                      : hr == HRESULT_FROM_WIN32(ERROR_DLL_INIT_FAILED)
                          ? "the module " + module + " refused to load (its DllMain failed)"
                      : hr == CO_E_ERRORINDLL ? module + " has no " + entry
                                              : std::string(entry) + " in " + module + " failed";
  std::fputs(qzwmi::ErrorLine(words, hr).c_str(), stderr);
  return kFailed;
}

int RunMofcomp(const Options& options, std::string* output) {
  char error[512] = "";
  const HRESULT hr = QzCompileMofFile(options.mofFile.c_str(), TRUE, error, sizeof error);
  if (FAILED(hr)) {
    std::fputs(qzwmi::ErrorLine(*error ? error : options.mofFile, hr).c_str(), stderr);
    return kFailed;
  }
  *output = "Compiled " + options.mofFile + ".\n";
  return 0;
}

int RunMetrics(const Options& options, std::string* output) {
  CComPtr<IWbemServices> services;
  HRESULT hr = qzwmi::Connect(L"root\\VXN", &services);
  qzwmi::metrics::MemoryMetrics metrics;
  std::string text;
  const auto format = options.openMetrics ? qzwmi::metrics::Format::OpenMetrics : qzwmi::metrics::Format::Text;
  if (SUCCEEDED(hr)) hr = metrics.Build(services, format, {QZ_VERSION, QZ_REVISION}, nullptr, &text);
  if (FAILED(hr)) {
    std::fputs(qzwmi::ErrorLine("cannot read the memory's instances", hr).c_str(), stderr);
    return kFailed;
  }
  if (options.metricsOutput.empty()) {
    *output = std::move(text);
    return 0;
  }
  std::string error;
  if (!qzwmi::metrics::WriteFileAtomically(options.metricsOutput, text, &error)) {
    std::fprintf(stderr, "qzwmi: %s\n", error.c_str());
    return kFailed;
  }
  return 0;
}

// The subcommands that use the WMI service, inside CoInitializeEx and CoUninitialize.
int RunWithService(const Subcommands& c, const Options& options, int results, std::string* output) {
  if (c.registerModule->parsed() || c.unregisterModule->parsed())
    return RunRegistration(options, c.unregisterModule->parsed(), output);
  if (c.mofcomp->parsed()) return RunMofcomp(options, output);
  qzwmi::SetUpFirstUse();
  if (c.serve->parsed()) {
    auto serve = reinterpret_cast<qzwmi::ServeEntry>(qzwmi::ServeLibraryEntry(qzwmi::kServeEntryName));
    return serve ? serve(&options.serve) : kFailed;
  }
  if (c.metrics->parsed()) return RunMetrics(options, output);
  if (c.classes->parsed()) return RunClasses(options, results, output);
  if (c.describe->parsed()) return RunDescribe(options, output);
  if (c.tree->parsed()) return RunTree(options, results, output);
  const qzwmi::Request request = c.enumerate->parsed() ? qzwmi::Request::Enumerate
                                 : c.get->parsed()     ? qzwmi::Request::Get
                                                       : qzwmi::Request::Query;
  return RunObjects(options, request, results, output);
}

// The whole command line, ready to parse argv: serve's options are described here only when a
// --config file may need them, else when serve is named.
Subcommands DescribeCommandLine(CLI::App& app, Options& options, int argc, char** argv) {
  app.name("qzwmi");
  app.footer(kExamples);
  app.require_subcommand(1);
  app.set_version_flag("--version", qzwmi::VersionText(), "the version, and the git revision of the build");
  AddGlobalOptions(app, options);
  const Subcommands commands = AddSubcommands(app, options);
  if (NamesConfigFile(argc, argv)) DescribeServe(commands.serve, options);
  return commands;
}

// What follows from the parsed options (decided only after parsing: --help and --version need no
// system root); the problem with them, or "".
std::string FinishOptions(Options& options) {
  if (options.serve.usersFile.empty()) options.serve.usersFile = std::string(QzGetSystemRoot()) + "/qzwmi.users";
  options.serve.metrics.auth = options.metricsAuth == "users"   ? qzwmi::metrics::MetricsAuth::Users
                               : options.metricsAuth == "token" ? qzwmi::metrics::MetricsAuth::Token
                                                                : qzwmi::metrics::MetricsAuth::None;
  if (options.serve.metrics.auth == qzwmi::metrics::MetricsAuth::Token && options.serve.metrics.tokenFile.empty())
    return "--metrics-auth token needs --metrics-token-file";
  options.serve.build = {QZ_VERSION, QZ_REVISION};
  return "";
}

// The command line as it was given, for a reload of serve and for starting again.
int g_Argc = 0;
char** g_Argv = nullptr;

// serve's reload: the command line (and the --config file it names) read afresh.
bool RereadServeOptions(qzwmi::serve::ServeOptions* next, std::string* error) {
  CLI::App app;
  Options options;
  DescribeCommandLine(app, options, g_Argc, g_Argv);
  try {
    app.parse(g_Argc, g_Argv);
  } catch (const CLI::ParseError& failure) {
    *error = failure.what();
    return false;
  }
  *error = FinishOptions(options);
  options.serve.reread = RereadServeOptions;
  *next = options.serve;
  return error->empty();
}

// After a reload that changed serve's options: the command again, in this process, with the
// listening socket that serve left open put where systemd would put it (fd 3, LISTEN_FDS=1).
int StartAgain(int results) {
  const char* handOver = std::getenv(qzwmi::serve::kServeHandOver);
  const int socket = handOver ? std::atoi(handOver) : -1;
  if (socket < 0) return kFailed;
  std::fflush(nullptr);
  if (results != STDOUT_FILENO) dup2(results, STDOUT_FILENO);
  if (socket != 3 && dup2(socket, 3) < 0) return kFailed;  // the copy at 3 is kept over exec
  if (socket == 3) fcntl(3, F_SETFD, 0);
  setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
  setenv("LISTEN_FDS", "1", 1);
  execvp(g_Argv[0], g_Argv);
  std::fprintf(stderr, "qzwmi serve: cannot start again after the reload: %s: %s\n", g_Argv[0], std::strerror(errno));
  return kFailed;
}

// The subcommands that print results, which must never mix with what the providers print: from
// here on fd 1 is a log and the results go to the original standard output.
int RunWithResults(const Subcommands& commands, const Options& options) {
  int results = qzwmi::SeparateStandardOutput();
  if (results < 0) results = STDOUT_FILENO;
  if (commands.log->parsed()) return qzwmi::RunLog(options.follow, results);
  if (const int status = LoadMachine(options)) return status;

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::string output;
  const int status = RunWithService(commands, options, results, &output);
  // Every object is released by now; a module with no objects left unloads here.
  CoFreeUnusedLibraries();
  CoUninitialize();
  if (status == qzwmi::serve::kServeReload) return StartAgain(results);
  if (status != 0) return status;
  if (!qzwmi::WriteAll(results, output)) return qzwmi::WriteFailed();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  g_Argc = argc;
  g_Argv = argv;
  CLI::App app{"qzwmi: a WMI client with the WMI service inside it, for the machine that the system root describes."};
  Options options;
  const Subcommands commands = DescribeCommandLine(app, options, argc, argv);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsage;
  }
  if (const std::string problem = FinishOptions(options); !problem.empty()) return Usage(problem);
  options.serve.reread = RereadServeOptions;
  if (commands.reg->parsed()) return RunReg(commands.reg->remaining());
  if (commands.passwd->parsed()) return RunPasswd(options);
  return RunWithResults(commands, options);
}
