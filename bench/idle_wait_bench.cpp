// How the blocking loop waits: CPU time of a blocking operation whose reply
// comes late, and how fast it reacts once the reply arrives.  For contrast the
// same wait is run with a loop that only yields between driver calls.
//
// The client talks to the scripted server through a small relay in this
// program, which notes when it hands each server reply to the client: the
// reaction latency runs from that moment to the return of the operation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "platform/platform.h"
#include "support/script_server.h"
#include "zub32.h"

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuMs() {
  struct rusage ru {};
  getrusage(RUSAGE_THREAD, &ru);
  return ru.ru_utime.tv_sec * 1000.0 + ru.ru_utime.tv_usec / 1000.0 + ru.ru_stime.tv_sec * 1000.0 +
         ru.ru_stime.tv_usec / 1000.0;
}

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// Forwards one connection between the client and the scripted server and
// stamps the time of every forward towards the client.
class Relay {
 public:
  bool start(uint16_t serverPort) {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 1) != 0) return false;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, serverPort] { run(serverPort); });
    return true;
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(listenFd_);
  }
  uint16_t port() const { return port_; }
  int64_t lastToClientNs() const { return lastToClient_; }

 private:
  void run(uint16_t serverPort) {
    int client = accept(listenFd_, nullptr, nullptr);
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(serverPort);
    if (client < 0 || connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    char buf[4096];
    while (!stop_) {
      if (poll(fds, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; i++) {
        if (fds[i].revents == 0) continue;
        ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
        if (n <= 0) {
          close(client);
          close(server);
          return;
        }
        int to = i == 0 ? server : client;
        // Stamped before the hand-over: the client may run (and return)
        // before this thread runs again after the send.
        if (i == 1) lastToClient_ = nowNs();
        send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      }
    }
    close(client);
    close(server);
  }

  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> lastToClient_{0};
  std::thread thread_;
};

struct Sample {
  int32_t result;
  double wallMs;
  double cpuMs;
  double reactMs;  // reply handed to the client -> operation returned; -1 if none came
};

template <typename Op>
Sample measure(const Relay& relay, Op op) {
  double cpu0 = threadCpuMs();
  int64_t t0 = nowNs();
  int32_t r = op();
  int64_t t1 = nowNs();
  double cpu1 = threadCpuMs();
  int64_t replyAt = relay.lastToClientNs();
  double react = replyAt > t0 ? (t1 - replyAt) / 1e6 : -1.0;
  return Sample{r, (t1 - t0) / 1e6, cpu1 - cpu0, react};
}

int32_t blockingHello() { return zubHello(0); }

// The loop of the plain calling pattern: yield only, between driver calls.
int32_t yieldingHello() {
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 0);
  zubHello(0);
  int32_t r;
  while ((r = zubDriver(0)) > 0) platSleep(0);
  zubSetInteger(0, ZUB_SET_AUTO_CALL, 1);
  return r;
}

void printSample(const char* label, const Sample& s) {
  std::printf("%-32s result %d  wall %7.1f ms  cpu %6.1f ms = %5.2f%% of one core  reaction %.3f ms\n", label,
              s.result, s.wallMs, s.cpuMs, 100.0 * s.cpuMs / s.wallMs, s.reactMs);
}

}  // namespace

int main() {
  // Line by line, so that what was measured survives a failure further on.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  constexpr int kSlowMs = 3000;
  constexpr int kShortMs = 20;
  constexpr int kSamples = 50;

  zubtest::ScriptServer srv;
  srv.setTimeout(20000);
  srv.greet();
  for (int i = 0; i < 2; i++) {
    srv.expect("NOOP\r\n");
    srv.delay(kSlowMs);
    srv.send("200 Late but fine.\r\n");
  }
  for (int i = 0; i < kSamples; i++) {
    srv.expect("NOOP\r\n");
    srv.delay(kShortMs);
    srv.send("200 Fine.\r\n");
  }
  srv.expect("QUIT\r\n");
  srv.send("221 Bye.\r\n");
  Relay relay;
  if (!srv.start() || !relay.start(srv.port())) {
    std::fprintf(stderr, "servers did not start\n");
    return 1;
  }
  if (zubAttach(1, 0) != 1) return 1;
  zubSetInteger(0, ZUB_SET_CTRL_PORT, relay.port());
  int32_t r = zubConnect(0, "127.0.0.1", "", "");
  if (r != 0) {
    std::fprintf(stderr, "connect failed: %d\n", r);
    return 1;
  }
  std::printf("sleepTime %d ms; NOOP answered %d ms late\n", settings.sleepTime, kSlowMs);
  Sample blocking = measure(relay, blockingHello);
  printSample("blocking loop (socket wait)", blocking);
  Sample yielding = measure(relay, yieldingHello);
  printSample("yield-only loop, for contrast", yielding);

  std::vector<double> reactions;
  double cpuSum = 0, wallSum = 0;
  int unmeasured = 0;
  for (int i = 0; i < kSamples; i++) {
    Sample s = measure(relay, blockingHello);
    if (s.result != 0) {
      std::fprintf(stderr, "sample %d failed: %d\n", i, s.result);
      return 1;
    }
    // A stamp from before this sample (a reply that never came) gives no
    // reaction time.
    if (s.reactMs < 0) {
      unmeasured++;
      continue;
    }
    reactions.push_back(s.reactMs);
    cpuSum += s.cpuMs;
    wallSum += s.wallMs;
  }
  if (reactions.empty()) reactions.push_back(-1);
  std::sort(reactions.begin(), reactions.end());
  std::printf("%d NOOPs answered %d ms late, blocking loop: reaction median %.3f ms, p90 %.3f ms, max %.3f ms;"
              " cpu %.2f%% of one core\n",
              kSamples, kShortMs, reactions[reactions.size() / 2], reactions[reactions.size() * 9 / 10],
              reactions.back(), 100.0 * cpuSum / wallSum);
  if (unmeasured > 0) std::printf("(%d samples without a reaction time)\n", unmeasured);

  zubClose(0);
  srv.waitDone(5000);
  relay.stop();
  zubRelease();
  return blocking.result == 0 && yielding.result == 0 ? 0 : 1;
}
