// The benchmark table: each case done by ZUB32 (pauses 0 and 1, through
// zub_bench_client) and by curl, run by run in turn, against a server that
// is already running on 127.0.0.1 (bench/run.sh starts a private vsftpd and
// makes the files).  Wall time from a steady clock, CPU time (user + system)
// from the kernel's accounting of the child processes (wait4).  Prints one
// table of medians and ratios and writes it as JSON.
//
//   bench_suite --port P --credentials FILE --root DIR --local DIR --client PATH
//               [--runs N] [--json FILE] [--idle PATH] [--case TEXT]...
//               [--tls-port P --tls-credentials FILE --ca FILE]
//
// FILE holds the server's USER= and PASS= lines (start.sh writes it); curl
// gets them through a netrc file and ZUB32 through ZUB_BENCH_CREDENTIALS, so
// the password never stands on a command line.
// DIR of --root is the server's root, holding big.bin, s000..s199.bin and
// p00..p31.bin; --local is where downloads land and uploads come from (it
// holds up.bin).  --idle runs the idle-wait benchmark and keeps its lines.
// --case keeps only the cases whose name contains TEXT (given again, any of
// the texts), so that one case can be repeated alone to tell a real gap from
// the noise of a shared machine.
// The --tls options name a second server that requires TLS on the control
// and data connections (and serves the same big.bin) with its login and the
// CA file of its certificate, made for "localhost": the TLS case runs
// against it, ZUB32 beside curl --ssl-reqd.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Options {
  int port = 9301;
  std::string credentials, root, local, client, json = "bench-results.json", idle;
  int tlsPort = 0;
  std::string tlsCredentials, caFile;
  int runs = 5;
  std::vector<std::string> only;  // --case texts; empty: every case
};

struct Sample {
  bool ok = false;
  double wall = 0;
  double cpu = 0;
};

// How one client does one case: the command lines of its processes (all
// started at once) and a check of the result, then the clean-up.
struct Variant {
  std::string name;
  std::function<std::vector<std::vector<std::string>>()> commands;
};

struct Case {
  std::string name;
  double bytes;
  std::vector<Variant> variants;
  std::function<bool(const std::string& variant)> check;  // after each run; also cleans up
};

double cpuOf(const struct rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Starts every command at once; wall time until the last ends, CPU time of
// all of them together.
Sample runAll(const std::vector<std::vector<std::string>>& commands) {
  Sample s;
  auto t0 = Clock::now();
  std::vector<pid_t> pids;
  for (const auto& argv : commands) {
    pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    if (pid > 0) pids.push_back(pid);
  }
  s.ok = pids.size() == commands.size();
  for (pid_t pid : pids) {
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid) {
      s.ok = false;
      continue;
    }
    s.cpu += cpuOf(ru);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) s.ok = false;
  }
  s.wall = std::chrono::duration<double>(Clock::now() - t0).count();
  return s;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int64_t sizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string firstLine(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (key.empty() || line.rfind(key, 0) == 0) return line;
  }
  return "";
}

// The value of the first KEY= line of a file, or "".
std::string valueOf(const std::string& path, const std::string& key) {
  std::string line = firstLine(path, key + "=");
  return line.empty() ? "" : line.substr(key.size() + 1);
}

std::string jsonText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out + "\"";
}

std::string numbered(const std::string& prefix, int i, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", digits, i);
  return prefix + buf + ".bin";
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string v = i + 1 < argc ? argv[i + 1] : "";
    if (a == "--port") o.port = std::atoi(v.c_str());
    else if (a == "--credentials") o.credentials = v;
    else if (a == "--root") o.root = v;
    else if (a == "--local") o.local = v;
    else if (a == "--client") o.client = v;
    else if (a == "--runs") o.runs = std::atoi(v.c_str());
    else if (a == "--json") o.json = v;
    else if (a == "--idle") o.idle = v;
    else if (a == "--case") o.only.push_back(v);
    else if (a == "--tls-port") o.tlsPort = std::atoi(v.c_str());
    else if (a == "--tls-credentials") o.tlsCredentials = v;
    else if (a == "--ca") o.caFile = v;
    else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      std::exit(2);
    }
    ++i;
  }
  if (o.credentials.empty() || o.root.empty() || o.local.empty() || o.client.empty()) {
    std::fprintf(stderr, "usage: bench_suite --port P --credentials FILE --root DIR --local DIR --client PATH\n");
    std::exit(2);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const std::string port = std::to_string(o.port);
  const std::string url = "ftp://127.0.0.1:" + port + "/";
  // curl's netrc beside the local folder, readable by us alone.
  const std::string netrc = o.local + ".netrc";
  const bool tls = o.tlsPort > 0 && !o.tlsCredentials.empty() && !o.caFile.empty();
  {
    std::string user = valueOf(o.credentials, "USER"), pass = valueOf(o.credentials, "PASS");
    if (user.empty()) {
      std::fprintf(stderr, "bench_suite: no USER= line in %s\n", o.credentials.c_str());
      return 1;
    }
    mode_t mask = umask(077);
    std::ofstream out(netrc);
    out << "machine 127.0.0.1 login " << user << " password " << pass << "\n";
    // The TLS server is reached as localhost, the name of its certificate.
    if (tls) {
      out << "machine localhost login " << valueOf(o.tlsCredentials, "USER") << " password "
          << valueOf(o.tlsCredentials, "PASS") << "\n";
    }
    out.close();
    umask(mask);
    setenv("ZUB_BENCH_CREDENTIALS", o.credentials.c_str(), 1);
    if (tls) setenv("ZUB_BENCH_TLS_CREDENTIALS", o.tlsCredentials.c_str(), 1);
  }
  const std::string local = o.local;
  const int64_t big = sizeOf(o.root + "/big.bin");
  const int64_t part = sizeOf(o.root + "/p00.bin");
  const int64_t small = sizeOf(o.root + "/s000.bin");
  if (big <= 0 || part <= 0 || small <= 0 || sizeOf(local + "/up.bin") != big) {
    std::fprintf(stderr, "bench_suite: the files are missing (run bench/run.sh)\n");
    return 1;
  }
  // ZUB32 against the plain server, or the server of port `on`.
  auto zub = [&](const std::string& pauses, std::vector<std::string> args, const std::string& on) {
    std::vector<std::string> argv = {o.client, on.empty() ? port : on, pauses};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  };
  auto curl = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {"curl", "-s", "-S", "--netrc-file", netrc};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  };
  // Both ZUB32 variants and curl for a case whose every variant is one process.
  auto three = [&](std::function<std::vector<std::string>(const std::string&)> zubArgs,
                   std::vector<std::string> curlArgs, const std::string& zubPort = "") {
    std::vector<Variant> v;
    for (const char* p : {"0", "1"}) {
      std::string pauses = p;
      v.push_back({std::string("ZUB32 pauses ") + p, [=] { return std::vector<std::vector<std::string>>{
                                                              zub(pauses, zubArgs(pauses), zubPort)}; }});
    }
    v.push_back({"curl", [=] { return std::vector<std::vector<std::string>>{curl(curlArgs)}; }});
    return v;
  };
  auto removeMatching = [](const std::string& dir, const std::string& prefix) {
    for (const auto& e : fs::directory_iterator(dir)) {
      if (e.path().filename().string().rfind(prefix, 0) == 0) fs::remove(e.path());
    }
  };
  const std::string bigText = std::to_string(big);

  std::vector<Case> cases;
  cases.push_back({"download 1 GiB to a file", static_cast<double>(big),
                   three([&](const std::string&) { return std::vector<std::string>{"get", "big.bin", local, "z.bin", bigText}; },
                         {"-o", local + "/c.bin", url + "big.bin"}),
                   [&](const std::string& v) {
                     std::string f = local + (v == "curl" ? "/c.bin" : "/z.bin");
                     bool ok = sizeOf(f) == big;
                     fs::remove(f);
                     return ok;
                   }});
  if (tls) {
    // Both clients check the certificate against the same CA file; curl is
    // held to IPv4 as the server listens on 127.0.0.1 only.
    const std::string tlsUrl = "ftp://localhost:" + std::to_string(o.tlsPort) + "/";
    cases.push_back({"download 1 GiB over TLS", static_cast<double>(big),
                     three([&](const std::string&) {
                       return std::vector<std::string>{"tls-get", o.caFile, "big.bin", local, "z.bin", bigText};
                     },
                           {"--ssl-reqd", "--cacert", o.caFile, "-4", "-o", local + "/c.bin", tlsUrl + "big.bin"},
                           std::to_string(o.tlsPort)),
                     [&](const std::string& v) {
                       std::string f = local + (v == "curl" ? "/c.bin" : "/z.bin");
                       bool ok = sizeOf(f) == big;
                       fs::remove(f);
                       return ok;
                     }});
  }
  cases.push_back({"download 1 GiB to /dev/null", static_cast<double>(big),
                   three([&](const std::string&) { return std::vector<std::string>{"get", "big.bin", "", "/dev/null", bigText}; },
                         {"-o", "/dev/null", url + "big.bin"}),
                   [](const std::string&) { return true; }});
  {
    auto upload = [&](const std::string&) { return std::vector<std::string>{"put", local, "up.bin", "zub-up.bin"}; };
    std::vector<Variant> v = three(upload, {"-T", local + "/up.bin", url + "curl-up.bin"});
    // The upload also without closeDelay's wait after the last block (a
    // setting of its own, which pauses 0 leaves alone): what that wait costs.
    v.insert(v.begin() + 1, {"ZUB32 pauses 0, closeDelay 0", [=] {
                               std::vector<std::string> argv = zub("0", upload("0"), "");
                               argv.insert(argv.begin(), {"env", "ZUB_BENCH_CLOSE_DELAY=0"});
                               return std::vector<std::vector<std::string>>{argv};
                             }});
    cases.push_back({"upload 1 GiB", static_cast<double>(big), v,
                   [&](const std::string& v) {
                     std::string f = o.root + (v == "curl" ? "/curl-up.bin" : "/zub-up.bin");
                     bool ok = sizeOf(f) == big;
                     fs::remove(f);
                     return ok;
                   }});
  }
  cases.push_back({"200 x 1 KiB, one session", 200.0 * static_cast<double>(small),
                   three([&](const std::string&) { return std::vector<std::string>{"many", "200", "s", local}; },
                         {url + "s[000-199].bin", "-o", local + "/cs#1.bin"}),
                   [&](const std::string& v) {
                     std::string prefix = v == "curl" ? "cs" : "zs";
                     bool ok = sizeOf(local + "/" + prefix + "199.bin") == small;
                     removeMatching(local, prefix);
                     return ok;
                   }});
  {
    Case c{"32 x 32 MiB at once", 32.0 * static_cast<double>(part), {}, nullptr};
    for (const char* p : {"0", "1"}) {
      std::string pauses = p;
      c.variants.push_back({std::string("ZUB32 pauses ") + p, [=] {
                              return std::vector<std::vector<std::string>>{zub(pauses, {"parallel", "32", "p", local}, "")};
                            }});
    }
    c.variants.push_back({"curl", [=] {
                            std::vector<std::vector<std::string>> all;
                            for (int i = 0; i < 32; ++i) {
                              all.push_back(curl({"-o", local + "/" + numbered("cp", i, 2), url + numbered("p", i, 2)}));
                            }
                            return all;
                          }});
    c.check = [&](const std::string& v) {
      std::string prefix = v == "curl" ? "cp" : "zp";
      bool ok = true;
      for (int i = 0; i < 32; ++i) ok = ok && sizeOf(local + "/" + numbered(prefix, i, 2)) == part;
      removeMatching(local, prefix);
      return ok;
    };
    cases.push_back(c);
  }

  if (!o.only.empty()) {
    std::erase_if(cases, [&](const Case& c) {
      return std::none_of(o.only.begin(), o.only.end(),
                          [&](const std::string& t) { return c.name.find(t) != std::string::npos; });
    });
    if (cases.empty()) {
      std::fprintf(stderr, "bench_suite: no case matches --case\n");
      return 2;
    }
  }

  const std::string loadBefore = firstLine("/proc/loadavg", "");
  std::printf("%d runs per variant, ZUB32 and curl in turn; load average before: %s\n", o.runs, loadBefore.c_str());
  // samples[case][variant]
  std::vector<std::vector<std::vector<Sample>>> samples(cases.size());
  int failures = 0;
  for (size_t c = 0; c < cases.size(); ++c) {
    const size_t nv = cases[c].variants.size();
    samples[c].resize(nv);
    for (int run = 0; run < o.runs; ++run) {
      // The order turns each run, so that no variant always follows another.
      for (size_t k = 0; k < nv; ++k) {
        size_t v = (k + static_cast<size_t>(run)) % nv;
        const Variant& var = cases[c].variants[v];
        Sample s = runAll(var.commands());
        s.ok = cases[c].check(var.name) && s.ok;
        if (!s.ok) {
          failures++;
          std::fprintf(stderr, "FAILED: %s, %s, run %d\n", cases[c].name.c_str(), var.name.c_str(), run + 1);
        }
        samples[c][v].push_back(s);
        std::fprintf(stderr, "  %-28s %-28s run %d: %7.3f s wall %7.3f s CPU\n", cases[c].name.c_str(),
                     var.name.c_str(), run + 1, s.wall, s.cpu);
      }
    }
  }
  const std::string loadAfter = firstLine("/proc/loadavg", "");

  std::vector<std::string> idleLines;
  if (!o.idle.empty()) {
    FILE* p = popen(o.idle.c_str(), "r");
    char line[512];
    while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
      std::string l = line;
      while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
      idleLines.push_back(l);
    }
    if (p != nullptr) pclose(p);
  }

  // The table: medians, and ZUB32's speed and CPU as multiples of curl's.
  // The best run beside the median: a client that stalls now and then (curl
  // waits out a one-second poll before some of its data connections) shows
  // it as a wide gap between the two.
  std::printf("\n%-28s %-28s %9s %9s %9s %10s %8s %8s\n", "case", "client", "wall s", "wall s", "CPU s", "MB/s", "speed",
              "CPU");
  std::printf("%-28s %-28s %9s %9s %9s %10s %8s %8s\n", "", "", "(median)", "(best)", "(median)", "", "x curl",
              "x curl");
  std::string json = "{\n  \"machine\": " + jsonText(firstLine("/proc/cpuinfo", "model name")) +
                     ",\n  \"cores\": " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
                     ",\n  \"load_before\": " + jsonText(loadBefore) + ",\n  \"load_after\": " + jsonText(loadAfter) +
                     ",\n  \"runs\": " + std::to_string(o.runs) + ",\n  \"cases\": [\n";
  for (size_t c = 0; c < cases.size(); ++c) {
    const size_t nv = cases[c].variants.size();
    const size_t curlAt = nv - 1;
    auto walls = [&](size_t v) {
      std::vector<double> w;
      for (const Sample& s : samples[c][v]) w.push_back(s.wall);
      return w;
    };
    auto cpus = [&](size_t v) {
      std::vector<double> w;
      for (const Sample& s : samples[c][v]) w.push_back(s.cpu);
      return w;
    };
    const double curlWall = median(walls(curlAt)), curlCpu = median(cpus(curlAt));
    json += "    {\"case\": " + jsonText(cases[c].name) + ", \"bytes\": " + std::to_string(cases[c].bytes) +
            ", \"results\": [\n";
    for (size_t v = 0; v < nv; ++v) {
      const std::vector<double> w = walls(v);
      const double wall = median(w), cpu = median(cpus(v));
      const double best = w.empty() ? 0 : *std::min_element(w.begin(), w.end());
      const double mbs = cases[c].bytes / 1e6 / wall;
      const double speed = curlWall / wall, cpuRatio = curlCpu > 0 ? cpu / curlCpu : 0;
      bool allOk = true;
      for (const Sample& s : samples[c][v]) allOk = allOk && s.ok;
      std::printf("%-28s %-28s %9.3f %9.3f %9.3f %10.1f %8.2f %8.2f%s\n", v == 0 ? cases[c].name.c_str() : "",
                  cases[c].variants[v].name.c_str(), wall, best, cpu, mbs, speed, cpuRatio, allOk ? "" : "  (failures)");
      json += "      {\"client\": " + jsonText(cases[c].variants[v].name) + ", \"ok\": " + (allOk ? "true" : "false") +
              ", \"wall_s_median\": " + std::to_string(wall) + ", \"wall_s_best\": " + std::to_string(best) +
              ", \"cpu_s_median\": " + std::to_string(cpu) +
              ", \"mb_per_s\": " + std::to_string(mbs) + ", \"speed_x_curl\": " + std::to_string(speed) +
              ", \"cpu_x_curl\": " + std::to_string(cpuRatio) + ", \"wall_s\": [";
      for (size_t i = 0; i < samples[c][v].size(); ++i) {
        json += (i ? ", " : "") + std::to_string(samples[c][v][i].wall);
      }
      json += "], \"cpu_s\": [";
      for (size_t i = 0; i < samples[c][v].size(); ++i) {
        json += (i ? ", " : "") + std::to_string(samples[c][v][i].cpu);
      }
      json += std::string("]}") + (v + 1 < nv ? "," : "") + "\n";
    }
    json += std::string("    ]}") + (c + 1 < cases.size() ? "," : "") + "\n";
  }
  json += "  ],\n  \"idle_wait\": [";
  for (size_t i = 0; i < idleLines.size(); ++i) {
    json += (i ? ",\n    " : "\n    ") + jsonText(idleLines[i]);
  }
  json += "\n  ]\n}\n";
  std::printf("load average after: %s\n", loadAfter.c_str());
  for (const std::string& l : idleLines) std::printf("%s\n", l.c_str());
  std::ofstream(o.json) << json;
  std::printf("saved %s\n", o.json.c_str());
  return failures == 0 ? 0 : 1;
}
