// `vistel serve`: the viewer in web pages. Serves a demo page, vistel.js and
// one WebSocket session per page, each with its own viewer control showing
// the server's project.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <system_error>

#include "command_line.h"
#include "commands.h"
#include "vistel/host/property_bag.h"
#include "vistel/host/viewer_engine_binding.h"
#include "vistel/web/camera_hub.h"
#include "vistel/web/web_server.h"

namespace vistel::cli {

const char* const kServeHelp =
    "usage: vistel serve [--listen ADDR:PORT] [PROJECT | --param NAME=VALUE... | --params FILE]\n"
    "                    [--token T] [--host NAME:PORT]... [--origin URL]...\n"
    "                    [--allow-page-projects] [--allow-silent-url HOST]...\n"
    "                    [--allow-recalibrate] [--max-sessions N]\n"
    "\n"
    "Serves the viewer to web pages: a demo page at /, the element script\n"
    "/vistel.js (with /vistel.d.ts) and, at /ws, one session per page, each with\n"
    "its own viewer control showing PROJECT (or the project the --param options\n"
    "make; without either, the bundled demo). Runs until interrupted.\n"
    "\n"
    "  --listen ADDR:PORT      where to listen (default 127.0.0.1:8080; [::1]:PORT\n"
    "                          for IPv6; port 0 picks a free one)\n"
    "  --param NAME=VALUE      a load-time property of every page's control\n"
    "  --params FILE           NAME=VALUE lines\n"
    "  --token T               the token pages must give (<vistel-viewer token>);\n"
    "                          required on any address but loopback, and made up\n"
    "                          at random there when not given\n"
    "  --host NAME:PORT        another name pages reach the server by (for\n"
    "                          example behind a proxy); repeatable\n"
    "  --origin URL            another page origin allowed to open sessions, such\n"
    "                          as https://example.org; repeatable\n"
    "  --allow-page-projects   pages may give their own project or cameras (only\n"
    "                          http and https cameras, and file:// pictures inside\n"
    "                          the project's folder)\n"
    "  --allow-silent-url HOST pages may call ExecSilentURL for http(s) URLs of\n"
    "                          HOST; repeatable\n"
    "  --allow-recalibrate     pages may call Recalibrate\n"
    "  --max-sessions N        pages served at once (default 16)\n"
    "\n"
    "Prints the address to open on standard output. Exits with 0 when\n"
    "interrupted, 1 when it cannot listen, 2 on bad arguments.\n";

namespace {

struct ServeOptions {
  std::string address = "127.0.0.1";
  std::int64_t port = 8080;
  std::string project;
  std::vector<std::string> hosts;
  std::vector<std::string> origins;
  std::string token;
  web::ServePolicy policy;
};

bool parseListen(const std::string& text, ServeOptions& options) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string address = text.substr(0, colon);
  if (address.front() == '[') {
    if (address.back() != ']') return false;
    address = address.substr(1, address.size() - 2);
  }
  if (address.empty()) return false;
  options.address = address;
  return parseWholeNumber(text.substr(colon + 1), 0, 65535, options.port);
}

std::string randomToken() {
  std::random_device device;
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) token.push_back(kHex[device() & 15]);
  return token;
}

// The bundled demo: installed beside the program, or in the source tree.
std::filesystem::path demoProject() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::filesystem::path candidates[] = {
      self.parent_path().parent_path() / "share/vistel/demo/demo.xml",
      std::filesystem::path(VISTEL_SOURCE_DIR) / "examples/demo/demo.xml",
  };
  for (const auto& candidate : candidates) {
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return {};
}

// The machine's IPv4 and IPv6 addresses, as numbers.
std::vector<std::string> interfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = family == AF_INET
                          ? static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr)
                          : static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr);
    if (inet_ntop(family, raw, text, sizeof text) != nullptr) addresses.emplace_back(text);
  }
  freeifaddrs(list);
  return addresses;
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string withPort(const std::string& host, std::int64_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

int runServe(const std::vector<std::string>& args, Io io) {
  PropertyBag properties;
  ServeOptions options;
  bool tokenGiven = false;
  std::vector<std::string> projects;
  CommandLine line(CommandLine::Dashes::Refused);
  line.properties(properties);
  // Each refusal also says what a missing value should have been.
  const auto option = [&line](const char* name, const char* refusal, CommandLine::Take take) {
    line.option(name, refusal, std::move(take), refusal);
  };
  option("--listen", "--listen needs ADDR:PORT with a port from 0 to 65535",
         [&options](const std::string& v) { return parseListen(v, options); });
  option("--token", "--token needs a text", [&](const std::string& v) {
    if (v.empty()) return false;
    options.token = v;
    tokenGiven = true;
    return true;
  });
  option("--host", "--host needs NAME:PORT", [&options](const std::string& v) {
    if (v.find(':') == std::string::npos) return false;
    options.hosts.push_back(v);
    return true;
  });
  option("--origin", "--origin needs a URL such as https://example.org",
         [&options](const std::string& v) {
           if (v.find("://") == std::string::npos) return false;
           options.origins.push_back(v);
           return true;
         });
  option("--allow-silent-url", "--allow-silent-url needs a host name",
         [&options](const std::string& v) {
           if (v.empty()) return false;
           options.policy.silentUrlHosts.push_back(v);
           return true;
         });
  option("--max-sessions", "--max-sessions needs 1 to 1024", [&options](const std::string& v) {
    std::int64_t n = 0;
    if (!parseWholeNumber(v, 1, 1024, n)) return false;
    options.policy.maxSessions = static_cast<std::size_t>(n);
    return true;
  });
  line.flag("--allow-page-projects", [&options] {
    options.policy.allowPageProjects = true;
    return std::string();
  });
  line.flag("--allow-recalibrate", [&options] {
    options.policy.allowRecalibrate = true;
    return std::string();
  });
  line.words(projects, 1);
  std::string reason;
  if (!line.parse(args, reason)) return usageError(io, "serve", reason);
  if (!projects.empty()) options.project = projects[0];

  std::error_code ec;
  std::filesystem::path folder = std::filesystem::current_path(ec);
  if (options.project.empty() && properties.size() == 0) options.project = demoProject().string();
  if (!options.project.empty()) {
    if (properties.contains("Project")) {
      return usageError(io, "serve", "give PROJECT or a Project property, not both");
    }
    std::string text;
    if (!readInput(options.project, io, text, reason)) return usageError(io, "serve", reason);
    if (!properties.set("Project", text)) {
      return usageError(io, "serve", "the project is too large");
    }
    folder = std::filesystem::absolute(options.project, ec).parent_path();
  }

  const bool loopback = web::isLoopbackHost(options.address);
  if (!loopback && !tokenGiven) options.token = randomToken();
  options.policy.token = options.token;
  options.policy.projectFolder = folder;

  web::ServerConfig config;
  config.address = options.address;
  config.port = static_cast<std::uint16_t>(options.port);
  config.policy = options.policy;
  config.session.properties = properties;
  // One connection per camera however many pages show it; made before the
  // server and destroyed after it, since every session's readers use it.
  web::CameraHub cameras;
  ViewerEngineOptions engine;
  engine.fileBase = folder.string();
  engine.environment.readerFactory = cameras.readerFactory();
  engine.environment.rtspReaderFactory = cameras.readerFactory();
  config.session.engineFactory = viewerEngineFactory(engine);

  // Signals are taken by sigwait below, never by a handler: every thread the
  // server starts inherits the blocked set.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // The names pages reach the server by, and their origins, carry the port,
  // which the system picks for port 0.
  config.onListening = [&options, loopback](std::uint16_t port, web::ServePolicy& policy) {
    std::vector<std::string> names;
    if (loopback) {
      for (const char* host : {"127.0.0.1", "localhost", "::1"}) {
        names.push_back(withPort(host, port));
      }
    }
    names.push_back(withPort(options.address, port));
    char hostname[256] = {};
    if (!loopback && gethostname(hostname, sizeof hostname - 1) == 0) {
      names.push_back(withPort(hostname, port));
    }
    // On every address (0.0.0.0, ::), pages may use any of this machine's.
    if (options.address == "0.0.0.0" || options.address == "::") {
      for (const std::string& address : interfaceAddresses())
        names.push_back(withPort(address, port));
    }
    for (const std::string& host : options.hosts) names.push_back(host);
    for (std::string& name : names) name = lowerCase(name);
    policy.hostNames = names;
    for (const std::string& name : names) {
      policy.origins.push_back("http://" + name);
      policy.origins.push_back("https://" + name);
    }
    for (const std::string& given : options.origins) {
      std::string origin = lowerCase(given);
      while (origin.ends_with('/')) origin.pop_back();
      policy.origins.push_back(origin);
    }
  };

  std::string error;
  auto server = web::WebServer::start(config, error);
  if (!server) {
    io.err << "vistel serve: " << error << "\n";
    return kExitFailure;
  }
  io.out << "serving http://" << withPort(options.address, server->port()) << "/";
  if (!options.token.empty()) io.out << "?token=" << options.token;
  io.out << "\n";
  io.out.flush();

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.reset();
  return kExitOk;
}

}  // namespace vistel::cli
