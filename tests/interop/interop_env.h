// Where the real FTP servers of the interoperability tests run: the CTest
// fixtures start them and write <ZUB_INTEROP_DIR>/<name>.env, read here.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#ifndef ZUB_INTEROP_DIR
#error "ZUB_INTEROP_DIR must name the directory of the fixtures' .env files"
#endif

// The four servers, in the order the fixtures start them.
inline constexpr const char* INTEROP_SERVERS[] = {"vsftpd", "pure-ftpd", "proftpd", "pyftpdlib"};

struct InteropServer {
  bool available = false;
  std::string name;
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  uint16_t pasvMin = 0;  // the server's passive port range
  uint16_t pasvMax = 0;
  std::string user;
  std::string pass;
  std::string rootDir;  // what the server shows as "/", on the local disk
  std::string caFile;   // TLS fixtures: the PEM file that makes the server's certificate trusted
  int32_t pid = 0;
  std::string problem;  // why it is not available
};

// Reads <name>.env; available only when the file has every key with a usable value.
inline InteropServer loadInteropServer(const char* name) {
  InteropServer server;
  server.name = name;
  std::string path = std::string(ZUB_INTEROP_DIR) + "/" + name + ".env";
  std::ifstream in(path);
  if (!in) {
    server.problem = path + " is missing: the fixture that starts " + name + " did not run or failed";
    return server;
  }
  long port = 0, pasvMin = 0, pasvMax = 0;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (key == "PID") server.pid = static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
    else if (key == "PORT") port = std::strtol(value.c_str(), nullptr, 10);
    else if (key == "PASV_MIN") pasvMin = std::strtol(value.c_str(), nullptr, 10);
    else if (key == "PASV_MAX") pasvMax = std::strtol(value.c_str(), nullptr, 10);
    else if (key == "ROOTDIR") server.rootDir = value;
    else if (key == "USER") server.user = value;
    else if (key == "PASS") server.pass = value;
    else if (key == "CA_FILE") server.caFile = value;
  }
  if (port <= 0 || port > 65535 || server.pid <= 0 || server.rootDir.empty() || server.user.empty()) {
    server.problem = path + " lacks PID, PORT, ROOTDIR or USER";
    return server;
  }
  server.port = static_cast<uint16_t>(port);
  if (pasvMin > 0 && pasvMin <= pasvMax && pasvMax <= 65535) {
    server.pasvMin = static_cast<uint16_t>(pasvMin);
    server.pasvMax = static_cast<uint16_t>(pasvMax);
  }
  server.available = true;
  return server;
}
