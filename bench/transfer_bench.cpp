// Transfer speed against a real FTP server on 127.0.0.1: a large file
// downloaded (to a file and to /dev/null) and uploaded by the library, each
// next to the same transfer done by curl in the same run.  Prints MB/s and
// the client's CPU seconds.  Needs root (the server scripts make a login for
// the run) and curl.  bench/run.sh makes the full table.
//
//   transfer_bench [--size-mib N] [--repeat N] [--server vsftpd] [--port P] [--active] [--block N] [--no-curl]
//
// Each transfer runs --repeat times (default 3); the run of median wall time
// is printed.
// --size-mib above 4096 checks that files past 4 GiB arrive whole (the
// checksums of both ends are compared).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "zub32.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t MiB = 1024 * 1024;

struct Options {
  int64_t sizeMiB = 1024;
  std::string server = "vsftpd";
  int port = 2401;
  bool passive = true;
  int blockSize = 8192;
  bool curl = true;
  int repeat = 3;
};

struct Result {
  bool ok = false;
  double seconds = 0;
  double cpu = 0;  // user + system seconds of the client
};

double cpuOf(const struct rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double selfCpu() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return cpuOf(ru);
}

// Runs a command line through /bin/sh; its wall and CPU time (children only).
Result runTimed(const std::string& command) {
  Result r;
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return r;
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpu = cpuOf(ru);
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

std::string capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// Pseudo-random bytes (data a transfer cannot shortcut) and their checksum.
uint64_t makeFile(const std::string& path, int64_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::vector<uint64_t> block(MiB / 8);
  uint64_t x = 0x9E3779B97F4A7C15ull, sum = 1469598103934665603ull;
  for (int64_t left = size; left > 0; left -= MiB) {
    for (uint64_t& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
      sum = (sum ^ w) * 1099511628211ull;
    }
    size_t n = static_cast<size_t>(left < MiB ? left : MiB);
    std::fwrite(block.data(), 1, n, f);
  }
  std::fclose(f);
  return sum;
}

uint64_t sumFile(const std::string& path, int64_t* size) {
  FILE* f = std::fopen(path.c_str(), "rb");
  *size = -1;
  if (f == nullptr) return 0;
  std::vector<uint64_t> block(MiB / 8);
  uint64_t sum = 1469598103934665603ull;
  int64_t total = 0;
  size_t n;
  while ((n = std::fread(block.data(), 1, MiB, f)) > 0) {
    for (size_t i = 0; i < n / 8; ++i) sum = (sum ^ block[i]) * 1099511628211ull;
    total += static_cast<int64_t>(n);
  }
  std::fclose(f);
  *size = total;
  return sum;
}

int64_t fileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void dropFile(const std::string& path) { std::remove(path.c_str()); }

// Runs a measurement `times` times; the one of median wall time (a failed
// run makes the whole measurement fail).
template <typename F>
Result median(int times, F measure) {
  std::vector<Result> runs;
  for (int i = 0; i < (times > 0 ? times : 1); ++i) {
    Result r = measure();
    if (!r.ok) return r;
    runs.push_back(r);
  }
  std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.seconds < b.seconds; });
  return runs[runs.size() / 2];
}

void print(const char* what, const Result& r, int64_t bytes) {
  if (!r.ok) {
    std::printf("  %-34s FAILED\n", what);
    return;
  }
  double mbs = static_cast<double>(bytes) / 1e6 / r.seconds;
  double cpuPerGiB = r.cpu / (static_cast<double>(bytes) / (1024.0 * MiB));
  std::printf("  %-34s %8.1f MB/s  %6.2f s wall  %6.2f s CPU  (%.2f CPU s/GiB)\n", what, mbs, r.seconds, r.cpu,
              cpuPerGiB);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--size-mib") o.sizeMiB = std::atoll(next().c_str());
    else if (a == "--server") o.server = next();
    else if (a == "--port") o.port = std::atoi(next().c_str());
    else if (a == "--active") o.passive = false;
    else if (a == "--block") o.blockSize = std::atoi(next().c_str());
    else if (a == "--no-curl") o.curl = false;
    else if (a == "--repeat") o.repeat = std::atoi(next().c_str());
    else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      std::exit(2);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = parse(argc, argv);
  const int64_t size = opt.sizeMiB * MiB;
  // Below /var/tmp: the server's login must reach the root through every folder.
  std::string work = "/var/tmp/zub-bench-XXXXXX";
  if (mkdtemp(work.data()) == nullptr) return 1;
  chmod(work.c_str(), 0711);
  const std::string root = work + "/root", state = work + "/state", local = work + "/local";
  std::filesystem::create_directories(root);
  std::filesystem::create_directories(local);
  const std::string scripts = ZUB_SERVER_SCRIPTS;
  const std::string pasvMin = std::to_string(opt.port * 10 % 20000 + 40000);
  const std::string pasvMax = std::to_string(opt.port * 10 % 20000 + 40099);
  std::string pid = capture("bash " + scripts + "/start.sh " + opt.server + " " + root + " " +
                            std::to_string(opt.port) + " " + pasvMin + " " + pasvMax + " " + state);
  if (pid.empty()) {
    std::fprintf(stderr, "could not start %s\n", opt.server.c_str());
    std::filesystem::remove_all(work);
    return 1;
  }
  std::printf("%s (PID %s) on 127.0.0.1:%d, %s mode, %lld MiB, upload blocks of %d bytes\n", opt.server.c_str(),
              pid.c_str(), opt.port, opt.passive ? "passive" : "active", static_cast<long long>(opt.sizeMiB),
              opt.blockSize);

  // The login made for this start; curl reads it from a netrc file, so the
  // password never stands on a command line.
  std::string user, password;
  {
    std::ifstream in(state + "/credentials");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("USER=", 0) == 0) user = line.substr(5);
      if (line.rfind("PASS=", 0) == 0) password = line.substr(5);
    }
    mode_t mask = umask(077);
    std::ofstream(work + "/netrc") << "machine 127.0.0.1 login " << user << " password " << password << "\n";
    umask(mask);
  }
  const uint64_t sum = makeFile(root + "/big.bin", size);
  capture("chown " + user + " " + root + "/big.bin");
  const std::string url = "ftp://127.0.0.1:" + std::to_string(opt.port) + "/";
  const std::string curlMode = " --netrc-file " + work + "/netrc" + (opt.passive ? "" : " --ftp-port 127.0.0.1");
  int failures = 0;

  zubAttach(1, 0);
  zubSetInteger(0, ZUB_SET_CTRL_PORT, opt.port);
  zubSetInteger(0, ZUB_SET_PASSIVE, opt.passive ? 1 : 0);
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, opt.blockSize);
  zubSetInteger(0, ZUB_SET_DATA_PORT, 5900);  // active mode: clear of the tests' ports
  zubSetLocalDir(0, local.c_str());
  if (zubConnect(0, "127.0.0.1", user.c_str(), password.c_str()) != 0 || zubSetMode(0, 'B') != 0) {
    std::fprintf(stderr, "cannot log in\n");
    failures++;
  }

  auto library = [&](auto op) {
    Result r;
    double c0 = selfCpu();
    auto t0 = Clock::now();
    r.ok = op() == 0;
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = selfCpu() - c0;
    return r;
  };

  const int n = opt.repeat;
  int64_t got = 0;
  std::printf("download to a file\n");
  Result lib = median(n, [&] {
    Result r = library([&] { return zubGetFile(0, "big.bin:down.bin"); });
    if (r.ok && (sumFile(local + "/down.bin", &got) != sum || got != size)) r.ok = false;
    dropFile(local + "/down.bin");
    return r;
  });
  print("library", lib, size);
  if (!lib.ok) failures++;
  if (opt.curl) {
    Result c = median(n, [&] {
      Result r = runTimed("curl -s -S -o " + local + "/curl.bin" + curlMode + " " + url + "big.bin");
      if (r.ok && fileSize(local + "/curl.bin") != size) r.ok = false;
      dropFile(local + "/curl.bin");
      return r;
    });
    print("curl -o file", c, size);
  }

  std::printf("download to /dev/null\n");
  zubSetLocalDir(0, "");
  lib = median(n, [&] {
    Result r = library([&] { return zubGetFile(0, "big.bin:/dev/null"); });
    if (zubGetInteger(0, ZUB_GET_BYTES) != static_cast<int32_t>(static_cast<uint32_t>(size))) r.ok = false;
    return r;
  });
  print("library", lib, size);
  if (!lib.ok) failures++;
  zubSetLocalDir(0, local.c_str());
  if (opt.curl) {
    print("curl -o /dev/null",
          median(n, [&] { return runTimed("curl -s -S -o /dev/null" + curlMode + " " + url + "big.bin"); }), size);
  }

  std::printf("upload from a file\n");
  std::filesystem::rename(root + "/big.bin", local + "/up.bin");
  lib = median(n, [&] {
    Result r = library([&] { return zubPutFile(0, "up.bin"); });
    if (r.ok && (sumFile(root + "/up.bin", &got) != sum || got != size)) r.ok = false;
    dropFile(root + "/up.bin");
    return r;
  });
  print("library", lib, size);
  if (!lib.ok) failures++;
  if (opt.curl) {
    Result c = median(n, [&] {
      Result r = runTimed("curl -s -S -T " + local + "/up.bin" + curlMode + " " + url + "curl-up.bin");
      if (r.ok && fileSize(root + "/curl-up.bin") != size) r.ok = false;
      dropFile(root + "/curl-up.bin");
      return r;
    });
    print("curl -T file", c, size);
  }

  zubClose(0);
  zubRelease();
  capture("bash " + scripts + "/stop.sh " + pid);
  std::filesystem::remove_all(work);
  return failures == 0 ? 0 : 1;
}
