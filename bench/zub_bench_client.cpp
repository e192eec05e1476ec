// One benchmark case done by ZUB32 in a process of its own, so that the
// benchmark takes its wall and CPU time from the kernel exactly as it takes
// curl's.  Logs in on 127.0.0.1 with the USER= and PASS= lines of the file
// named by ZUB_BENCH_CREDENTIALS (the test server's credentials file; never
// on the command line), passive mode, binary type.
//
//   zub_bench_client PORT PAUSES get REMOTE LOCALDIR LOCAL SIZE
//   zub_bench_client PORT PAUSES put LOCALDIR LOCAL REMOTE
//   zub_bench_client PORT PAUSES many COUNT PREFIX LOCALDIR      one session, files PREFIXnnn.bin
//   zub_bench_client PORT PAUSES parallel COUNT PREFIX LOCALDIR  COUNT channels at once,
//                                                                caller-driven from this one thread
//   zub_bench_client PORT PAUSES tls-get CAFILE REMOTE LOCALDIR LOCAL SIZE
//                                 get over explicit TLS (data in TLS too) on "localhost", the
//                                 server's certificate checked against CAFILE; the login from
//                                 the file named by ZUB_BENCH_TLS_CREDENTIALS
//
// PAUSES is the value of ZUB_SET_PAUSES; ZUB_BENCH_CLOSE_DELAY, when set, is
// the value of ZUB_SET_CLOSE_DELAY (else its default).  Exits 0 when every operation
// succeeded (and a download counted SIZE bytes), else 1 with a message.
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "zub32.h"

namespace {

std::string user, password;

bool readCredentials(const char* variable) {
  const char* path = std::getenv(variable);
  std::ifstream in(path != nullptr ? path : "");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("USER=", 0) == 0) user = line.substr(5);
    if (line.rfind("PASS=", 0) == 0) password = line.substr(5);
  }
  return !user.empty();
}

int fail(const char* what, int32_t code) {
  char text[256];
  zubErrorText(0, code, text, sizeof text);
  std::fprintf(stderr, "zub_bench_client: %s: %d %s\n", what, code, text);
  return 1;
}

std::string numbered(const std::string& prefix, int i, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", digits, i);
  return prefix + buf + ".bin";
}

// A blocking session on channel 0: connect, binary type.  With a CA file
// the session is explicit TLS to "localhost" (the name its certificate holds).
int32_t openSession(int port, const char* localDir, const char* caFile = nullptr) {
  zubSetInteger(0, ZUB_SET_CTRL_PORT, port);
  zubSetInteger(0, ZUB_SET_PASSIVE, 1);
  zubSetLocalDir(0, localDir);
  const char* host = "127.0.0.1";
  if (caFile != nullptr) {
    if (zubSetInteger(0, ZUB_SET_TLS, 1) != 1 || zubSetString(0, ZUB_STR_CA_FILE, caFile) < 0) return ZUB_E_TLS_HANDSHAKE;
    host = "localhost";
  }
  int32_t r = zubConnect(0, host, user.c_str(), password.c_str());
  return r != 0 ? r : zubSetMode(0, 'B');
}

// Downloads REMOTE into LOCAL and checks the count of bytes; 0 or 1.
int download(const char* remote, const char* local, const char* size) {
  std::string names = std::string(remote) + ":" + local;
  int32_t r = zubGetFile(0, names.c_str());
  if (r != 0) return fail("download", r);
  uint32_t want = static_cast<uint32_t>(std::strtoull(size, nullptr, 10));
  if (static_cast<uint32_t>(zubGetInteger(0, ZUB_GET_BYTES)) != want) return fail("byte count", -1);
  return 0;
}

// Drives every armed channel in turn until each has finished; the first
// failure, or 0.  A round in which no channel moved a byte or changed state
// yields the processor instead of spinning.
int32_t driveAll(int32_t count) {
  std::vector<int32_t> last(static_cast<size_t>(count), -1);
  std::vector<bool> done(static_cast<size_t>(count), false);
  int32_t open = count;
  int32_t failure = 0;
  int64_t lastBytes = -1;
  while (open > 0) {
    bool changed = false;
    int64_t bytes = 0;
    for (int32_t ch = 0; ch < count; ++ch) {
      if (done[static_cast<size_t>(ch)]) continue;
      int32_t r = zubDriver(ch);
      if (r <= 0) {
        done[static_cast<size_t>(ch)] = true;
        open--;
        if (r < 0 && failure == 0) failure = r;
        changed = true;
        continue;
      }
      if (r != last[static_cast<size_t>(ch)]) changed = true;
      last[static_cast<size_t>(ch)] = r;
      bytes += static_cast<uint32_t>(zubGetInteger(ch, ZUB_GET_BYTES));
    }
    if (!changed && bytes == lastBytes) sched_yield();
    lastBytes = bytes;
  }
  return failure;
}

int parallel(int port, int32_t count, const std::string& prefix, const char* localDir) {
  for (int32_t ch = 0; ch < count; ++ch) {
    zubSetInteger(ch, ZUB_SET_CTRL_PORT, port);
    zubSetInteger(ch, ZUB_SET_PASSIVE, 1);
    zubSetLocalDir(ch, localDir);
    zubSetInteger(ch, ZUB_SET_AUTO_CALL, 0);
    zubConnect(ch, "127.0.0.1", user.c_str(), password.c_str());
  }
  int32_t r = driveAll(count);
  if (r != 0) return fail("connect", r);
  for (int32_t ch = 0; ch < count; ++ch) zubSetMode(ch, 'B');
  if ((r = driveAll(count)) != 0) return fail("TYPE", r);
  for (int32_t ch = 0; ch < count; ++ch) {
    std::string names = numbered(prefix, ch, 2) + ":" + numbered("z" + prefix, ch, 2);
    zubGetFile(ch, names.c_str());
  }
  if ((r = driveAll(count)) != 0) return fail("download", r);
  for (int32_t ch = 0; ch < count; ++ch) zubClose(ch);
  driveAll(count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: zub_bench_client PORT PAUSES get|put|many|parallel ARGS\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string what = argv[3];
  const char* credentials = what == "tls-get" ? "ZUB_BENCH_TLS_CREDENTIALS" : "ZUB_BENCH_CREDENTIALS";
  if (!readCredentials(credentials)) {
    std::fprintf(stderr, "zub_bench_client: no USER= line in $%s\n", credentials);
    return 2;
  }
  const int32_t channels = what == "parallel" && argc > 4 ? std::atoi(argv[4]) : 1;
  if (zubAttach(channels, 0) != 1) return fail("attach", -1);
  zubSetInteger(0, ZUB_SET_PAUSES, std::atoi(argv[2]));
  zubSetInteger(0, ZUB_SET_BLOCK_SIZE, 8192);
  if (const char* d = std::getenv("ZUB_BENCH_CLOSE_DELAY")) zubSetInteger(0, ZUB_SET_CLOSE_DELAY, std::atoi(d));
  int status = 0;
  int32_t r = 0;
  if (what == "get" && argc == 8) {
    if ((r = openSession(port, argv[5])) != 0) return fail("connect", r);
    if (download(argv[4], argv[6], argv[7]) != 0) return 1;
  } else if (what == "tls-get" && argc == 9) {
    if ((r = openSession(port, argv[6], argv[4])) != 0) return fail("connect", r);
    if (download(argv[5], argv[7], argv[8]) != 0) return 1;
  } else if (what == "put" && argc == 7) {
    if ((r = openSession(port, argv[4])) != 0) return fail("connect", r);
    std::string names = std::string(argv[5]) + ":" + argv[6];
    if ((r = zubPutFile(0, names.c_str())) != 0) return fail("upload", r);
  } else if (what == "many" && argc == 7) {
    if ((r = openSession(port, argv[6])) != 0) return fail("connect", r);
    for (int i = 0; i < std::atoi(argv[4]); ++i) {
      std::string names = numbered(argv[5], i, 3) + ":" + numbered(std::string("z") + argv[5], i, 3);
      if ((r = zubGetFile(0, names.c_str())) != 0) return fail("download", r);
    }
  } else if (what == "parallel" && argc == 7) {
    status = parallel(port, channels, argv[5], argv[6]);
  } else {
    std::fprintf(stderr, "zub_bench_client: bad arguments for %s\n", what.c_str());
    return 2;
  }
  if (what != "parallel") zubClose(0);
  zubRelease();
  return status;
}
