// The scripted FTP server of the protocol tests (interface in script_server.h).
// Sockets through support/host.h only, 127.0.0.1 only; every wait also watches a stop
// pipe, so stop() never waits on a misbehaving client.
#include "support/script_server.h"


#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "net/control.h"
#include "platform/platform.h"
#include "support/host.h"

namespace zubtest {
namespace {

using Clock = std::chrono::steady_clock;

enum class Kind {
  Send,
  Expect,
  ExpectPrefix,
  ExpectAny,
  ExpectBytes,
  ExpectClose,
  Silence,
  Delay,
  CloseControl,
  PasvReply,
  AcceptPassive,
  PortConnect,
  DataSend,
  DataReceiveAll,
  DataClose,
};

struct Action {
  Kind kind = Kind::Delay;
  std::vector<std::string> pieces;  // bytes to send, or the expected text / reply format in [0]
  int delayMs = 0;                  // pause between pieces, or the length of a Delay
  int timeoutMs = 0;
  bool reset = false;
  int listenFd = -1;  // PasvReply: the listener opened when the action was queued
  uint16_t pasvPort = 0;
};

const char* kindName(Kind k) {
  switch (k) {
    case Kind::Send: return "send";
    case Kind::Expect: return "expect";
    case Kind::ExpectPrefix: return "expectPrefix";
    case Kind::ExpectAny: return "expectAny";
    case Kind::ExpectBytes: return "expectBytes";
    case Kind::ExpectClose: return "expectClose";
    case Kind::Silence: return "silence";
    case Kind::Delay: return "delay";
    case Kind::CloseControl: return "closeControl";
    case Kind::PasvReply: return "pasvReply";
    case Kind::AcceptPassive: return "acceptPassiveData";
    case Kind::PortConnect: return "portConnect";
    case Kind::DataSend: return "dataSend";
    case Kind::DataReceiveAll: return "dataReceiveAll";
    case Kind::DataClose: return "dataClose";
  }
  return "?";
}

// Printable form of protocol bytes for error messages.
std::string escaped(const std::string& s) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (out.size() > 300) {
      out += "...";
      break;
    }
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string describe(const Action& a) {
  std::string d = kindName(a.kind);
  if (!a.pieces.empty()) {
    std::string all;
    for (const std::string& p : a.pieces) all += p;
    d += " [" + escaped(all) + "]";
  }
  return d;
}

std::string errnoText(const char* what) { return std::string(what) + " failed: " + std::strerror(errno); }

Clock::time_point deadlineAfter(int ms) {
  if (ms < 0) return Clock::time_point::max();
  return Clock::now() + std::chrono::milliseconds(ms);
}

int pollTimeout(Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left >= INT_MAX ? INT_MAX : static_cast<int>(left) + 1;
}

void closeFd(int& fd, bool reset = false) {
  if (fd < 0) return;
  hostClose(fd, reset);
  fd = -1;
}

// Reads and drops what is queued, so that a close sends FIN rather than RST.
void drainFd(int fd) {
  char buf[4096];
  while (hostRecv(fd, buf, sizeof buf) > 0) {
  }
}

void setNoDelay(int fd) { hostNoDelay(fd); }

// A non-blocking listener on 127.0.0.1 with an ephemeral port; -1 on failure.
int openLoopbackListener(uint16_t* port) { return hostListenLoopback(port); }

// Shell-style name matching, as an FTP server applies NLST/LIST patterns:
// '*' any run of characters, '?' one character, '[...]' one of a set.
bool globMatch(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') return globMatch(pattern + 1, name) || (*name != '\0' && globMatch(pattern, name + 1));
  if (*name == '\0') return false;
  if (*pattern == '?') return globMatch(pattern + 1, name + 1);
  if (*pattern == '[') {
    const char* p = pattern + 1;
    bool negate = *p == '!';
    if (negate) p++;
    const char* first = p;
    bool found = false;
    for (; *p != '\0' && (*p != ']' || p == first); p++) {
      if (p[1] == '-' && p[2] != '\0' && p[2] != ']') {
        found = found || (*name >= p[0] && *name <= p[2]);
        p += 2;
      } else {
        found = found || *p == *name;
      }
    }
    if (*p == ']') return found != negate && globMatch(p + 1, name + 1);
    // No closing bracket: the '[' is an ordinary character.
  }
  return *pattern == *name && globMatch(pattern + 1, name + 1);
}

std::string upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string stripLineEnd(std::string s) {
  if (!s.empty() && s.back() == '\n') {
    s.pop_back();
    if (!s.empty() && s.back() == '\r') s.pop_back();
  }
  return s;
}

bool isPortLine(const std::string& line) { return upper(line.substr(0, 5)) == "PORT "; }

// "PORT h1,h2,h3,h4,p1,p2" into an address. Refuses anything outside
// 127.0.0.0/8: the tests must never make this server reach another host.
bool parsePortLine(const std::string& line, PlatSockAddr* out, std::string* why) {
  std::string args = stripLineEnd(line.substr(5));
  unsigned v[6];
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    size_t start = pos;
    unsigned n = 0;
    while (pos < args.size() && args[pos] >= '0' && args[pos] <= '9' && pos - start < 4) {
      n = n * 10 + static_cast<unsigned>(args[pos] - '0');
      ++pos;
    }
    if (pos == start || n > 255) {
      *why = "malformed PORT line [" + escaped(line) + "]";
      return false;
    }
    v[i] = n;
    if (i < 5) {
      if (pos >= args.size() || args[pos] != ',') {
        *why = "malformed PORT line [" + escaped(line) + "]";
        return false;
      }
      ++pos;
    }
  }
  if (pos != args.size()) {
    *why = "malformed PORT line [" + escaped(line) + "]";
    return false;
  }
  if (v[0] != 127) {
    *why = "PORT names a non-loopback address [" + escaped(line) + "]";
    return false;
  }
  *out = PlatSockAddr{};
  out->family = PLAT_AF_INET;
  out->addrNet = platHtonl((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]);
  out->portNet = platHtons(static_cast<uint16_t>(v[4] * 256 + v[5]));
  return true;
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

// Resolves an FTP path argument against the working directory: "/a/b" form.
std::string resolvePath(const std::string& cwd, const std::string& arg) {
  std::string full = (!arg.empty() && arg[0] == '/') ? arg : cwd + "/" + arg;
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= full.size()) {
    size_t slash = full.find('/', pos);
    if (slash == std::string::npos) slash = full.size();
    std::string part = full.substr(pos, slash - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = slash + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return (slash == 0 || slash == std::string::npos) ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string padLeft(const std::string& s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

enum class Wait { Ready, Timeout, Stop };

struct AutoSession {
  int fd = -1;
  size_t index = 0;
  std::string input;
  std::string cwd = "/";
  std::string user;
  int pasvFd = -1;
  bool havePort = false;
  PlatSockAddr portAddr{};
  long long restOffset = 0;
};

}  // namespace

struct ScriptServer::Impl {
  mutable std::mutex mu;
  std::condition_variable cv;
  std::thread mainThread;
  std::vector<std::thread> sessionThreads;
  int listenFd = -1;
  uint16_t port = 0;
  int stopPipe[2] = {-1, -1};  // written once by stop() and never drained
  int kickPipe[2] = {-1, -1};  // written when actions are queued
  bool started = false;
  bool stopping = false;
  bool stopped = false;
  int timeoutMs = kDefaultTimeoutMs;

  // The script.
  std::vector<Action> actions;
  size_t next = 0;
  bool idle = false;
  bool failed = false;

  // The script's control connection. ctrlFd is replaced only by the server
  // thread, under mu; the test thread reads it under mu (see pumpLocked).
  int ctrlFd = -1;
  bool ctrlEof = false;
  std::string pending;  // received, not yet taken by an expect action
  std::vector<std::string> transcripts;

  // Data side of the script, server thread only.
  int pasvFd = -1;
  int dataFd = -1;
  std::string lastPortLine;

  std::vector<std::string> received;
  std::vector<std::string> errors;

  // Auto mode.
  bool autoMode = false;
  std::string autoUser, autoPass;
  std::map<std::string, std::string> files;
  std::set<std::string> dirs{"/"};
  std::map<std::string, std::string> overrides;
  size_t activeSessions = 0;

  ~Impl() {
    for (Action& a : actions) closeFd(a.listenFd);
    closeFd(listenFd);
    closeFd(ctrlFd);
    closeFd(pasvFd);
    closeFd(dataFd);
    for (int& fd : stopPipe) closeFd(fd);
    for (int& fd : kickPipe) closeFd(fd);
  }

  bool fail(const std::string& msg) {
    std::lock_guard<std::mutex> lk(mu);
    errors.push_back(msg);
    failed = true;
    return false;
  }

  bool stopRequested() const {
    std::lock_guard<std::mutex> lk(mu);
    return stopping;
  }

  void push(Action a) {
    std::lock_guard<std::mutex> lk(mu);
    if (autoMode) {
      errors.push_back(std::string("script action in auto mode: ") + describe(a));
      closeFd(a.listenFd);
      return;
    }
    a.timeoutMs = timeoutMs;
    actions.push_back(std::move(a));
    if (kickPipe[1] >= 0) hostWake(kickPipe[1]);
  }

  // Waits until fd shows `events` (fd < 0: just the time), the deadline
  // passes, or stop() is called.
  Wait waitFor(int fd, short events, Clock::time_point deadline) const {
    for (;;) {
      HostPollFd p[2] = {{stopPipe[0], HOST_POLLIN, 0}, {fd, events, 0}};
      int r = hostPoll(p, 2, pollTimeout(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return Wait::Timeout;
      if (p[0].revents != 0) return Wait::Stop;
      if (r == 0) return Wait::Timeout;
      if (p[1].revents != 0) return Wait::Ready;
    }
  }

  // Moves whatever the client has sent on the script's control connection
  // into the transcript and the pending input. Called with mu held, by the
  // server thread and by the inspection calls, so that a transcript read
  // after the client's send is complete.
  void pumpLocked() {
    if (ctrlFd < 0 || ctrlEof) return;
    char buf[4096];
    for (;;) {
      long n = hostRecv(ctrlFd, buf, sizeof buf);
      if (n > 0) {
        transcripts.back().append(buf, static_cast<size_t>(n));
        pending.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // A reset ends the connection just as a close does.
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ctrlEof = true;
      return;
    }
  }

  bool acceptOn(int listener, int timeoutMs, const std::string& what, int* out) {
    Clock::time_point deadline = deadlineAfter(timeoutMs);
    for (;;) {
      Wait w = waitFor(listener, HOST_POLLIN, deadline);
      if (w == Wait::Stop) return false;
      if (w == Wait::Timeout)
        return fail(what + ": no connection within " + std::to_string(timeoutMs) + " ms");
      int fd = hostAccept(listener);
      if (fd >= 0) {
        setNoDelay(fd);
        *out = fd;
        return true;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        return fail(what + ": " + errnoText("accept"));
      }
    }
  }

  bool connectTo(const PlatSockAddr& addr, int timeoutMs, const std::string& what, int* out,
                 const std::string& from = "") {
    uint32_t fromNet = 0;
    if (!from.empty()) {
      // Only another loopback address can stand for a foreign host here.
      if (isDottedAddress(from.c_str()) == 0 || (parseDottedAddress(from.c_str()) >> 24) != 127) {
        return fail(what + ": cannot connect from " + from);
      }
      fromNet = platHtonl(parseDottedAddress(from.c_str()));
    }
    bool inProgress = false;
    int fd = hostConnect(addr.addrNet, addr.portNet, &inProgress, fromNet);
    if (fd < 0) return fail(what + ": " + errnoText("connect"));
    if (inProgress) {
      Wait w = waitFor(fd, HOST_POLLOUT, deadlineAfter(timeoutMs));
      int err = w == Wait::Ready ? hostSocketError(fd) : 0;
      if (w != Wait::Ready || err != 0) {
        hostClose(fd, false);
        if (w == Wait::Stop) return false;
        if (w == Wait::Timeout) return fail(what + ": connect timed out");
        return fail(what + ": connect failed: error " + std::to_string(err));
      }
    }
    setNoDelay(fd);
    *out = fd;
    return true;
  }

  // Sends all bytes; the time-out limits the time without progress.
  bool sendAll(int fd, const std::string& bytes, int timeoutMs, const std::string& what) {
    size_t off = 0;
    Clock::time_point deadline = deadlineAfter(timeoutMs);
    while (off < bytes.size()) {
      long n = hostSend(fd, bytes.data() + off, bytes.size() - off);
      if (n > 0) {
        off += static_cast<size_t>(n);
        deadline = deadlineAfter(timeoutMs);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return fail(what + ": " + errnoText("send"));
      Wait w = waitFor(fd, HOST_POLLOUT, deadline);
      if (w == Wait::Stop) return false;
      if (w == Wait::Timeout) {
        return fail(what + ": send stalled, " + std::to_string(bytes.size() - off) + " bytes left");
      }
    }
    return true;
  }

  bool sendPieces(int fd, const std::vector<std::string>& pieces, int delayMs, int timeoutMs,
                  const std::string& what) {
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0 && delayMs > 0 && waitFor(-1, 0, deadlineAfter(delayMs)) == Wait::Stop) return false;
      if (!sendAll(fd, pieces[i], timeoutMs, what)) return false;
    }
    return true;
  }

  // ---- script: control connection ----

  bool ensureControl(const Action& a) {
    {
      std::lock_guard<std::mutex> lk(mu);
      if (ctrlFd >= 0) return true;
    }
    int fd = -1;
    if (!acceptOn(listenFd, a.timeoutMs, describe(a) + ": control connection", &fd)) return false;
    std::lock_guard<std::mutex> lk(mu);
    ctrlFd = fd;
    ctrlEof = false;
    pending.clear();
    transcripts.emplace_back();
    return true;
  }

  void closeControl(bool reset) {
    std::lock_guard<std::mutex> lk(mu);
    pumpLocked();
    closeFd(ctrlFd, reset);
    ctrlEof = false;
    pending.clear();
  }

  // Takes the next line (exactBytes 0) or exactly exactBytes bytes from the
  // client's input.
  bool takeInput(const Action& a, size_t exactBytes, std::string* got) {
    Clock::time_point deadline = deadlineAfter(a.timeoutMs);
    bool lastLook = false;
    for (;;) {
      std::string problem;
      int fd = -1;
      {
        std::lock_guard<std::mutex> lk(mu);
        pumpLocked();
        size_t n = std::string::npos;
        if (exactBytes > 0) {
          if (pending.size() >= exactBytes) n = exactBytes;
        } else {
          size_t lf = pending.find('\n');
          if (lf != std::string::npos) n = lf + 1;
        }
        if (n != std::string::npos) {
          *got = pending.substr(0, n);
          pending.erase(0, n);
          return true;
        }
        if (ctrlEof) {
          problem = "the client closed the control connection";
        } else if (lastLook) {
          problem = "nothing within " + std::to_string(a.timeoutMs) + " ms";
        }
        if (!problem.empty() && !pending.empty()) problem += " (partial input [" + escaped(pending) + "])";
        fd = ctrlFd;
      }
      if (!problem.empty()) return fail(describe(a) + ": " + problem);
      Wait w = waitFor(fd, HOST_POLLIN, deadline);
      if (w == Wait::Stop) return false;
      if (w == Wait::Timeout) lastLook = true;
    }
  }

  bool runExpect(const Action& a) {
    if (!ensureControl(a)) return false;
    const std::string want = a.pieces.empty() ? std::string() : a.pieces[0];
    if (a.kind == Kind::ExpectBytes && want.empty()) return true;
    std::string got;
    if (!takeInput(a, a.kind == Kind::ExpectBytes ? want.size() : 0, &got)) return false;
    if (isPortLine(got)) lastPortLine = got;
    bool ok = true;
    if (a.kind == Kind::Expect || a.kind == Kind::ExpectBytes) ok = (got == want);
    if (a.kind == Kind::ExpectPrefix) ok = (got.compare(0, want.size(), want) == 0);
    if (!ok) return fail(describe(a) + ": got [" + escaped(got) + "]");
    return true;
  }

  bool runAwaitClose(const Action& a) {
    if (!ensureControl(a)) return false;
    Clock::time_point deadline =
        a.kind == Kind::Silence ? Clock::time_point::max() : deadlineAfter(a.timeoutMs);
    bool lastLook = false;
    for (;;) {
      int fd = -1;
      {
        std::lock_guard<std::mutex> lk(mu);
        pumpLocked();
        if (ctrlEof) break;
        fd = ctrlFd;
      }
      if (lastLook) return fail(describe(a) + ": the client kept the connection open");
      Wait w = waitFor(fd, HOST_POLLIN, deadline);
      if (w == Wait::Stop) return false;
      if (w == Wait::Timeout) lastLook = true;
    }
    closeControl(false);
    return true;
  }

  // ---- script: data connections ----

  bool runData(Action& a) {
    const std::string what = describe(a);
    switch (a.kind) {
      case Kind::PasvReply: {
        if (!ensureControl(a)) return false;
        closeFd(pasvFd);
        pasvFd = a.listenFd;
        a.listenFd = -1;
        std::string text = a.pieces.empty() ? std::string() : a.pieces[0];
        const std::string p1 = std::to_string(a.pasvPort >> 8), p2 = std::to_string(a.pasvPort & 0xff);
        replaceAll(text, "{hostport}", "127,0,0,1," + p1 + "," + p2);
        replaceAll(text, "{p1}", p1);
        replaceAll(text, "{p2}", p2);
        replaceAll(text, "{port}", std::to_string(a.pasvPort));
        return sendAll(ctrlFd, text, a.timeoutMs, what);
      }
      case Kind::AcceptPassive: {
        if (pasvFd < 0) return fail(what + ": no passive listener (pasvReply first)");
        int fd = -1;
        if (!acceptOn(pasvFd, a.timeoutMs, what, &fd)) return false;
        closeFd(pasvFd);
        closeFd(dataFd);
        dataFd = fd;
        return true;
      }
      case Kind::PortConnect: {
        if (lastPortLine.empty()) return fail(what + ": no PORT line taken by an expect action");
        PlatSockAddr addr{};
        std::string why;
        if (!parsePortLine(lastPortLine, &addr, &why)) return fail(what + ": " + why);
        int fd = -1;
        if (!connectTo(addr, a.timeoutMs, what, &fd, a.pieces.empty() ? "" : a.pieces[0])) return false;
        closeFd(dataFd);
        dataFd = fd;
        return true;
      }
      case Kind::DataSend:
        if (dataFd < 0) return fail(what + ": no data connection");
        return sendPieces(dataFd, a.pieces, a.delayMs, a.timeoutMs, what);
      case Kind::DataReceiveAll: {
        if (dataFd < 0) return fail(what + ": no data connection");
        size_t slot;
        {
          std::lock_guard<std::mutex> lk(mu);
          slot = received.size();
          received.emplace_back();
        }
        Clock::time_point deadline = deadlineAfter(a.timeoutMs);
        char buf[16384];
        for (;;) {
          long n = hostRecv(dataFd, buf, sizeof buf);
          if (n > 0) {
            std::lock_guard<std::mutex> lk(mu);
            received[slot].append(buf, static_cast<size_t>(n));
            deadline = deadlineAfter(a.timeoutMs);
            continue;
          }
          if (n == 0) return true;
          if (errno == EINTR) continue;
          if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(what + ": " + errnoText("recv"));
          Wait w = waitFor(dataFd, HOST_POLLIN, deadline);
          if (w == Wait::Stop) return false;
          if (w == Wait::Timeout) return fail(what + ": the client did not close the data connection");
        }
      }
      case Kind::DataClose:
        if (dataFd >= 0 && !a.reset) drainFd(dataFd);
        closeFd(dataFd, a.reset);
        return true;
      default: return fail(what + ": not a data action");
    }
  }

  bool runAction(Action& a) {
    switch (a.kind) {
      case Kind::Send:
        if (!ensureControl(a)) return false;
        return sendPieces(ctrlFd, a.pieces, a.delayMs, a.timeoutMs, describe(a));
      case Kind::Expect:
      case Kind::ExpectPrefix:
      case Kind::ExpectAny:
      case Kind::ExpectBytes: return runExpect(a);
      case Kind::ExpectClose:
      case Kind::Silence: return runAwaitClose(a);
      case Kind::Delay: return waitFor(-1, 0, deadlineAfter(a.delayMs)) != Wait::Stop;
      case Kind::CloseControl:
        if (!ensureControl(a)) return false;
        closeControl(a.reset);
        return true;
      default: return runData(a);
    }
  }

  void closeAllScriptSockets() {
    closeControl(false);
    closeFd(pasvFd);
    closeFd(dataFd);
  }

  void runScript() {
    for (;;) {
      Action a;
      {
        std::unique_lock<std::mutex> lk(mu);
        if (stopping) break;
        if (failed) {
          for (; next < actions.size(); ++next) closeFd(actions[next].listenFd);
        }
        if (next >= actions.size()) {
          idle = true;
          cv.notify_all();
          // Between actions keep recording what the client sends.
          int fd = (ctrlFd >= 0 && !ctrlEof) ? ctrlFd : -1;
          lk.unlock();
          HostPollFd p[3] = {{stopPipe[0], HOST_POLLIN, 0}, {kickPipe[0], HOST_POLLIN, 0}, {fd, HOST_POLLIN, 0}};
          if (hostPoll(p, 3, -1) < 0 && errno != EINTR) break;
          if (p[1].revents != 0) hostDrainWake(kickPipe[0]);
          lk.lock();
          pumpLocked();
          continue;
        }
        idle = false;
        a = actions[next];
        actions[next].listenFd = -1;
      }
      bool ok = runAction(a);
      closeFd(a.listenFd);
      if (!ok && stopRequested()) {
        if (a.kind == Kind::Silence) {
          std::lock_guard<std::mutex> lk(mu);
          ++next;
        }
        break;
      }
      if (!ok) closeAllScriptSockets();
      std::lock_guard<std::mutex> lk(mu);
      ++next;
      cv.notify_all();
    }
    closeAllScriptSockets();
  }

  // ---- auto mode ----

  void runAuto() {
    for (;;) {
      if (waitFor(listenFd, HOST_POLLIN, Clock::time_point::max()) != Wait::Ready) break;
      int fd = hostAccept(listenFd);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
        fail(errnoText("auto accept"));
        break;
      }
      setNoDelay(fd);
      std::lock_guard<std::mutex> lk(mu);
      size_t index = transcripts.size();
      transcripts.emplace_back();
      ++activeSessions;
      sessionThreads.emplace_back(&Impl::autoSession, this, fd, index);
    }
  }

  void autoSession(int fd, size_t index) {
    AutoSession s;
    s.fd = fd;
    s.index = index;
    bool alive = reply(s, "220 Script server ready.\r\n");
    std::string line;
    while (alive && autoReadLine(s, &line)) alive = autoCommand(s, stripLineEnd(line));
    closeFd(s.pasvFd);
    drainFd(s.fd);
    closeFd(s.fd);
    std::lock_guard<std::mutex> lk(mu);
    --activeSessions;
    cv.notify_all();
  }

  bool reply(AutoSession& s, const std::string& line) {
    return sendAll(s.fd, line, currentTimeout(), "auto reply");
  }

  int currentTimeout() const {
    std::lock_guard<std::mutex> lk(mu);
    return timeoutMs;
  }

  bool autoReadLine(AutoSession& s, std::string* line) {
    for (;;) {
      size_t lf = s.input.find('\n');
      if (lf != std::string::npos) {
        *line = s.input.substr(0, lf + 1);
        s.input.erase(0, lf + 1);
        return true;
      }
      if (waitFor(s.fd, HOST_POLLIN, Clock::time_point::max()) != Wait::Ready) return false;
      char buf[4096];
      long n = hostRecv(s.fd, buf, sizeof buf);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n <= 0) return false;
      s.input.append(buf, static_cast<size_t>(n));
      std::lock_guard<std::mutex> lk(mu);
      transcripts[s.index].append(buf, static_cast<size_t>(n));
    }
  }

  // The data connection prepared by PASV or PORT; -1 with no failure recorded
  // when neither came first.
  int autoOpenData(AutoSession& s) {
    int fd = -1;
    int t = currentTimeout();
    if (s.pasvFd >= 0) {
      acceptOn(s.pasvFd, t, "auto passive data", &fd);
      closeFd(s.pasvFd);
    } else if (s.havePort) {
      connectTo(s.portAddr, t, "auto active data", &fd);
    }
    s.havePort = false;
    return fd;
  }

  bool autoReceiveAll(int fd, std::string* into) {
    int t = currentTimeout();
    Clock::time_point deadline = deadlineAfter(t);
    char buf[16384];
    for (;;) {
      long n = hostRecv(fd, buf, sizeof buf);
      if (n > 0) {
        into->append(buf, static_cast<size_t>(n));
        deadline = deadlineAfter(t);
        continue;
      }
      if (n == 0) return true;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(errnoText("auto data recv"));
      Wait w = waitFor(fd, HOST_POLLIN, deadline);
      if (w == Wait::Stop) return false;
      if (w == Wait::Timeout) return fail("auto data: the client did not close the data connection");
    }
  }

  std::string listingOf(const std::string& cwd, const std::string& rawArg, bool namesOnly) {
    std::string arg = rawArg;
    while (!arg.empty() && arg[0] == '-') {  // options such as -la are accepted and ignored
      size_t sp = arg.find(' ');
      arg = sp == std::string::npos ? "" : arg.substr(sp + 1);
    }
    std::string path = resolvePath(cwd, arg);
    std::string dir = path, pattern = "*";
    std::lock_guard<std::mutex> lk(mu);
    if (!dirs.count(path)) {
      dir = parentOf(path);
      pattern = baseName(path);
    }
    std::map<std::string, long long> entries;  // name -> size, -1 for a directory
    for (const std::string& d : dirs) {
      if (d != "/" && parentOf(d) == dir) entries[baseName(d)] = -1;
    }
    for (const auto& [name, bytes] : files) {
      if (parentOf(name) == dir) entries[baseName(name)] = static_cast<long long>(bytes.size());
    }
    std::string out;
    for (const auto& [name, size] : entries) {
      if (!globMatch(pattern.c_str(), name.c_str())) continue;
      if (namesOnly) {
        out += name + "\r\n";
      } else if (size < 0) {
        out += "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 " + name + "\r\n";
      } else {
        out += "-rw-r--r--    1 ftp      ftp      " + padLeft(std::to_string(size), 8) + " Jan 01  2024 " +
               name + "\r\n";
      }
    }
    return out;
  }

  // Answers one command; false ends the session.
  bool autoCommand(AutoSession& s, const std::string& body) {
    size_t sp = body.find(' ');
    const std::string verb = upper(body.substr(0, sp));
    const std::string arg = sp == std::string::npos ? std::string() : body.substr(sp + 1);
    const std::string path = resolvePath(s.cwd, arg);
    {
      std::unique_lock<std::mutex> lk(mu);
      auto it = overrides.find(verb);
      if (it != overrides.end()) {
        std::string fixed = it->second;
        lk.unlock();
        return reply(s, fixed) && verb != "QUIT";
      }
    }
    if (verb == "USER") {
      s.user = arg;
      return reply(s, "331 Password required for " + arg + ".\r\n");
    }
    if (verb == "PASS") {
      bool good;
      {
        std::lock_guard<std::mutex> lk(mu);
        good = autoUser.empty() || (s.user == autoUser && arg == autoPass);
      }
      return reply(s, good ? "230 User logged in.\r\n" : "530 Login incorrect.\r\n");
    }
    if (verb == "SYST") return reply(s, "215 UNIX Type: L8\r\n");
    if (verb == "NOOP") return reply(s, "200 NOOP ok.\r\n");
    if (verb == "TYPE") return reply(s, "200 Type set to " + arg + ".\r\n");
    if (verb == "PWD" || verb == "XPWD")
      return reply(s, "257 \"" + s.cwd + "\" is the current directory.\r\n");
    if (verb == "QUIT") {
      reply(s, "221 Goodbye.\r\n");
      return false;
    }
    if (verb == "CWD" || verb == "CDUP") {
      std::string target = verb == "CDUP" ? parentOf(s.cwd) : path;
      bool exists;
      {
        std::lock_guard<std::mutex> lk(mu);
        exists = dirs.count(target) != 0;
      }
      if (!exists) return reply(s, "550 " + arg + ": No such directory.\r\n");
      s.cwd = target;
      return reply(s, "250 Directory changed to " + target + ".\r\n");
    }
    if (verb == "MKD" || verb == "RMD" || verb == "DELE") return autoTreeCommand(s, verb, arg, path);
    if (verb == "PASV") {
      closeFd(s.pasvFd);
      s.havePort = false;
      uint16_t p = 0;
      s.pasvFd = openLoopbackListener(&p);
      if (s.pasvFd < 0) return reply(s, "425 Cannot open passive connection.\r\n");
      return reply(s, "227 Entering Passive Mode (127,0,0,1," + std::to_string(p >> 8) + "," +
                          std::to_string(p & 0xff) + ").\r\n");
    }
    if (verb == "PORT") {
      std::string why;
      if (!parsePortLine(body, &s.portAddr, &why)) return reply(s, "501 " + why + ".\r\n");
      closeFd(s.pasvFd);
      s.havePort = true;
      return reply(s, "200 PORT command successful.\r\n");
    }
    if (verb == "REST") {
      char* end = nullptr;
      long long v = std::strtoll(arg.c_str(), &end, 10);
      if (arg.empty() || *end != '\0' || v < 0) return reply(s, "501 Bad restart offset.\r\n");
      s.restOffset = v;
      return reply(s, "350 Restarting at " + arg + ". Send STORE or RETRIEVE.\r\n");
    }
    if (verb == "RETR" || verb == "STOR" || verb == "APPE" || verb == "LIST" || verb == "NLST") {
      return autoTransfer(s, verb, arg, path);
    }
    return reply(s, "502 Command not implemented.\r\n");
  }

  bool autoTreeCommand(AutoSession& s, const std::string& verb, const std::string& arg,
                       const std::string& path) {
    std::string answer;
    {
      std::lock_guard<std::mutex> lk(mu);
      if (verb == "DELE") {
        answer = files.erase(path) ? "250 File deleted.\r\n" : "550 " + arg + ": No such file.\r\n";
      } else if (verb == "MKD") {
        if (dirs.count(path) || files.count(path)) {
          answer = "550 " + arg + ": File exists.\r\n";
        } else if (!dirs.count(parentOf(path))) {
          answer = "550 " + arg + ": No such directory.\r\n";
        } else {
          dirs.insert(path);
          answer = "257 \"" + path + "\" created.\r\n";
        }
      } else {
        bool empty = true;
        for (const std::string& d : dirs) empty = empty && !(d != path && parentOf(d) == path);
        for (const auto& f : files) empty = empty && parentOf(f.first) != path;
        if (path == "/" || !dirs.count(path)) {
          answer = "550 " + arg + ": No such directory.\r\n";
        } else if (!empty) {
          answer = "550 " + arg + ": Directory not empty.\r\n";
        } else {
          dirs.erase(path);
          answer = "250 Directory removed.\r\n";
        }
      }
    }
    return reply(s, answer);
  }

  bool autoTransfer(AutoSession& s, const std::string& verb, const std::string& arg,
                    const std::string& path) {
    const bool upload = verb == "STOR" || verb == "APPE";
    const long long offset = s.restOffset;
    s.restOffset = 0;
    std::string outgoing;
    bool missing = false;
    if (verb == "LIST" || verb == "NLST") {
      outgoing = listingOf(s.cwd, arg, verb == "NLST");
    } else {
      std::lock_guard<std::mutex> lk(mu);
      if (upload) {
        missing = dirs.count(parentOf(path)) == 0;
      } else {
        auto it = files.find(path);
        missing = it == files.end();
        if (!missing && offset < static_cast<long long>(it->second.size())) {
          outgoing = it->second.substr(static_cast<size_t>(offset));
        }
      }
    }
    if (missing) {
      closeFd(s.pasvFd);
      s.havePort = false;
      return reply(s, "550 " + arg + ": No such file or directory.\r\n");
    }
    int fd = autoOpenData(s);
    if (fd < 0) return !stopRequested() && reply(s, "425 Cannot open data connection.\r\n");
    bool ok = reply(s, "150 Opening BINARY mode data connection for " + (arg.empty() ? verb : arg) + ".\r\n");
    std::string incoming;
    if (ok)
      ok = upload ? autoReceiveAll(fd, &incoming) : sendAll(fd, outgoing, currentTimeout(), "auto data send");
    drainFd(fd);
    closeFd(fd);
    if (!ok) return !stopRequested() && reply(s, "426 Connection closed; transfer aborted.\r\n");
    if (upload) {
      std::lock_guard<std::mutex> lk(mu);
      std::string& file = files[path];
      // STOR after REST keeps the first offset bytes; APPE always appends.
      if (verb == "STOR") file.resize(static_cast<size_t>(offset), '\0');
      file += incoming;
    }
    return reply(s, "226 Transfer complete.\r\n");
  }
};

// ---------------------------------------------------------------------------

ScriptServer::ScriptServer() : impl_(std::make_unique<Impl>()) {}

ScriptServer::~ScriptServer() { stop(); }

bool ScriptServer::start() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lk(d.mu);
  if (d.started) return false;
  if (!hostWakePair(d.stopPipe)) return false;
  if (!hostWakePair(d.kickPipe)) return false;
  d.listenFd = openLoopbackListener(&d.port);
  if (d.listenFd < 0) return false;
  d.started = true;
  if (d.autoMode) {
    d.mainThread = std::thread(&Impl::runAuto, &d);
  } else {
    d.mainThread = std::thread(&Impl::runScript, &d);
  }
  return true;
}

uint16_t ScriptServer::port() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->port;
}

void ScriptServer::stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lk(d.mu);
    if (!d.started || d.stopping) return;
    d.stopping = true;
  }
  hostWake(d.stopPipe[1]);
  if (d.mainThread.joinable()) d.mainThread.join();
  std::vector<std::thread> sessions;
  {
    std::lock_guard<std::mutex> lk(d.mu);
    sessions.swap(d.sessionThreads);
  }
  for (std::thread& t : sessions) t.join();
  std::lock_guard<std::mutex> lk(d.mu);
  closeFd(d.listenFd);
  if (!d.autoMode && !d.failed && d.next < d.actions.size()) {
    d.errors.push_back("stopped with " + std::to_string(d.actions.size() - d.next) +
                       " script actions not run, the first: " + describe(d.actions[d.next]));
  }
  for (Action& a : d.actions) closeFd(a.listenFd);
  d.stopped = true;
  d.cv.notify_all();
}

void ScriptServer::setTimeout(int ms) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->timeoutMs = ms;
}

void ScriptServer::send(const std::string& bytes) { sendChunks({bytes}, 0); }

void ScriptServer::sendSplit(const std::string& bytes, const std::vector<size_t>& sizes, int delayMs) {
  std::vector<std::string> pieces;
  size_t at = 0;
  for (size_t n : sizes) {
    if (at >= bytes.size()) break;
    pieces.push_back(bytes.substr(at, n));
    at += n;
  }
  if (at < bytes.size()) pieces.push_back(bytes.substr(at));
  sendChunks(pieces, delayMs);
}

void ScriptServer::sendChunks(const std::vector<std::string>& pieces, int delayMs) {
  Action a;
  a.kind = Kind::Send;
  a.pieces = pieces;
  a.delayMs = delayMs;
  impl_->push(std::move(a));
}

namespace {
Action textAction(Kind kind, const std::string& text) {
  Action a;
  a.kind = kind;
  if (!text.empty()) a.pieces.push_back(text);
  return a;
}
}  // namespace

void ScriptServer::expect(const std::string& line) { impl_->push(textAction(Kind::Expect, line)); }
void ScriptServer::expectPrefix(const std::string& prefix) {
  impl_->push(textAction(Kind::ExpectPrefix, prefix));
}
void ScriptServer::expectAny() { impl_->push(textAction(Kind::ExpectAny, "")); }
void ScriptServer::expectBytes(const std::string& bytes) {
  impl_->push(textAction(Kind::ExpectBytes, bytes));
}
void ScriptServer::expectClose() { impl_->push(textAction(Kind::ExpectClose, "")); }
void ScriptServer::silence() { impl_->push(textAction(Kind::Silence, "")); }

void ScriptServer::delay(int ms) {
  Action a;
  a.kind = Kind::Delay;
  a.delayMs = ms;
  impl_->push(std::move(a));
}

void ScriptServer::closeControl(bool reset) {
  Action a;
  a.kind = Kind::CloseControl;
  a.reset = reset;
  impl_->push(std::move(a));
}

uint16_t ScriptServer::pasvReply(const std::string& format) {
  Action a = textAction(Kind::PasvReply, format);
  a.listenFd = openLoopbackListener(&a.pasvPort);
  if (a.listenFd < 0) {
    impl_->fail(errnoText("pasvReply: opening the data listener"));
    return 0;
  }
  uint16_t port = a.pasvPort;
  impl_->push(std::move(a));
  return port;
}

void ScriptServer::acceptPassiveData() { impl_->push(textAction(Kind::AcceptPassive, "")); }
void ScriptServer::portConnect(const std::string& from) {
  Action a;
  a.kind = Kind::PortConnect;
  if (!from.empty()) a.pieces.push_back(from);
  impl_->push(std::move(a));
}
void ScriptServer::dataSend(const std::string& bytes) { dataSendChunks({bytes}, 0); }

void ScriptServer::dataSendChunks(const std::vector<std::string>& pieces, int delayMs) {
  Action a;
  a.kind = Kind::DataSend;
  a.pieces = pieces;
  a.delayMs = delayMs;
  impl_->push(std::move(a));
}

void ScriptServer::dataReceiveAll() { impl_->push(textAction(Kind::DataReceiveAll, "")); }

void ScriptServer::dataClose(bool reset) {
  Action a;
  a.kind = Kind::DataClose;
  a.reset = reset;
  impl_->push(std::move(a));
}

// ---- conversations ----

void ScriptServer::greet(const std::string& line) { send(line); }

void ScriptServer::login(const std::string& user, const std::string& pass) {
  expect("USER " + user + "\r\n");
  send("331 Password required.\r\n");
  expect("PASS " + pass + "\r\n");
  send("230 Logged in.\r\n");
}

void ScriptServer::openData(DataMode mode) {
  if (mode == DataMode::Passive) {
    expect("PASV\r\n");
    pasvReply();
  } else {
    expectPrefix("PORT ");
    send("200 PORT command successful.\r\n");
  }
}

void ScriptServer::connectData(DataMode mode) {
  if (mode == DataMode::Passive) {
    acceptPassiveData();
  } else {
    portConnect();
  }
}

void ScriptServer::serveRetr(DataMode mode, const std::string& name, const std::string& bytes) {
  openData(mode);
  expect("RETR " + name + "\r\n");
  connectData(mode);
  send("150 Opening data connection.\r\n");
  dataSend(bytes);
  dataClose();
  send("226 Transfer complete.\r\n");
}

void ScriptServer::acceptStor(DataMode mode, const std::string& name, bool append) {
  openData(mode);
  expect((append ? "APPE " : "STOR ") + name + "\r\n");
  connectData(mode);
  send("150 Opening data connection.\r\n");
  dataReceiveAll();
  dataClose();
  send("226 Transfer complete.\r\n");
}

void ScriptServer::serveList(DataMode mode, const std::string& commandLine, const std::string& text) {
  openData(mode);
  expect(commandLine);
  connectData(mode);
  send("150 Here comes the directory listing.\r\n");
  dataSend(text);
  dataClose();
  send("226 Directory send OK.\r\n");
}

// ---- auto mode ----

void ScriptServer::autoMode(const std::string& user, const std::string& pass) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  if (impl_->started || !impl_->actions.empty()) {
    impl_->errors.push_back("autoMode() must come before start() and before any script action");
    return;
  }
  impl_->autoMode = true;
  impl_->autoUser = user;
  impl_->autoPass = pass;
}

void ScriptServer::makeDir(const std::string& path) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  for (std::string p = resolvePath("/", path); p != "/"; p = parentOf(p)) impl_->dirs.insert(p);
}

void ScriptServer::putFile(const std::string& path, const std::string& bytes) {
  std::string full = resolvePath("/", path);
  makeDir(parentOf(full));
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->files[full] = bytes;
}

bool ScriptServer::getFile(const std::string& path, std::string* bytes) const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  auto it = impl_->files.find(resolvePath("/", path));
  if (it == impl_->files.end()) return false;
  if (bytes != nullptr) *bytes = it->second;
  return true;
}

bool ScriptServer::hasDir(const std::string& path) const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->dirs.count(resolvePath("/", path)) != 0;
}

void ScriptServer::autoReply(const std::string& verb, const std::string& reply) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->overrides[upper(verb)] = reply;
}

// ---- inspection ----

bool ScriptServer::waitDone(int timeoutMs) {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lk(d.mu);
  if (d.autoMode) {
    return d.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return d.activeSessions == 0; });
  }
  d.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                [&] { return d.stopped || (d.idle && d.next >= d.actions.size()); });
  return d.next >= d.actions.size();
}

std::string ScriptServer::transcript() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->pumpLocked();
  std::string all;
  for (const std::string& t : impl_->transcripts) all += t;
  return all;
}

std::string ScriptServer::transcript(size_t connection) const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->pumpLocked();
  return connection < impl_->transcripts.size() ? impl_->transcripts[connection] : std::string();
}

std::vector<std::string> ScriptServer::commands() const {
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->pumpLocked();
  for (const std::string& t : impl_->transcripts) {
    size_t at = 0;
    while (at < t.size()) {
      size_t lf = t.find('\n', at);
      size_t end = lf == std::string::npos ? t.size() : lf + 1;
      lines.push_back(stripLineEnd(t.substr(at, end - at)));
      at = end;
    }
  }
  return lines;
}

size_t ScriptServer::connections() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->transcripts.size();
}

std::vector<std::string> ScriptServer::dataReceived() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->received;
}

std::vector<std::string> ScriptServer::errors() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->errors;
}

}  // namespace zubtest
