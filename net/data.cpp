// Data connections: the passive connect to the server, the active-mode
// listener, and closing the data side at the end of a transfer.
#include "net/data.h"

#include "core/channel.h"
#include "core/trace.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "zub32.h"

namespace {

// Closes the data socket and forgets whatever of its bytes are still queued,
// so that nothing of this connection is delivered as data of the next one.
void closeDataSocket(ChannelRecord* rec, uint32_t ms) {
  if (rec->dataSock == 0) return;
  traceText(rec, "Closing data socket\r\n");
  closeSocket(rec->dataSock, ms);
  rec->dataSock = 0;
  rec->dataRing.sock = 0;
  rec->dataRing.head = 0;
  rec->dataRing.tail = 0;
}

void closeListenSocket(ChannelRecord* rec, uint32_t ms) {
  if (rec->listenSock == 0) return;
  traceText(rec, "Closing listener socket\r\n");
  closeSocket(rec->listenSock, ms);
  rec->listenSock = 0;
}

void fillAddress(PlatSockAddr* addr, uint32_t hostAddr, uint16_t port) {
  addr->family = PLAT_AF_INET;
  addr->portNet = platHtons(port);
  addr->addrNet = platHtonl(hostAddr);
  for (uint8_t& b : addr->zero) b = 0;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool endsLine(char c) { return c == 0 || c == '\r' || c == '\n'; }

}  // namespace

int32_t connectPassiveData(ChannelRecord* rec) {
  // A socket left over from a failed step would leak and could feed stray
  // bytes into this transfer.
  closeDataSocket(rec, 0);
  int32_t sock = createSocket();
  if (sock < 0) return sock;
  rec->dataSock = sock;
  rec->dataRing.sock = sock;
  fillAddress(&rec->dataAddr, rec->serverAddr, rec->dataPort);
  // Connected without blocking: a port that silently drops the attempt would
  // otherwise hold this step until the system gives up, minutes later.  The
  // next state waits for the outcome under its deadline.
  uint32_t nonBlocking = 1;
  platSetNonBlocking(sock, &nonBlocking);
  if (platConnect(sock, &rec->dataAddr) != 0) {
    int32_t err = platLastError();
    if (err != PLAT_WSAEWOULDBLOCK) return -err;
  }
  return 1;
}

int32_t openListener(ChannelRecord* rec) {
  closeListenSocket(rec, 0);
  int32_t sock = createSocket();
  if (sock < 0) return sock;
  rec->listenSock = sock;
  traceLine(rec, "Binding %s to port %d\r\n", rec->localIpText, static_cast<uint32_t>(rec->dataPort));
  // Bound to the control connection's local address, not to every interface.
  fillAddress(&rec->listenAddr, rec->localAddr, rec->dataPort);
  if (platBind(sock, &rec->listenAddr) != 0) return -platLastError();
  traceText(rec, "Listening...\r\n");
  if (platListen(sock, 1) != 0) return -platLastError();
  return 1;
}

void closeDataSockets(ChannelRecord* rec, uint32_t ms) {
  closeListenSocket(rec, ms);
  closeDataSocket(rec, ms);
}

int32_t parsePasvPort(const char* reply, uint16_t* port) {
  const char* p = reply;
  for (int32_t i = 0; i < 4 && *p != 0; ++i) ++p;  // the code and its separator
  while (*p != 0 && !isDigit(*p)) ++p;
  if (*p == 0) return 0;
  uint32_t numbers[6];
  for (int32_t k = 0; k < 6; ++k) {
    uint32_t value = 0;
    const char* start = p;
    // At most three digits: a longer number is refused before it can wrap.
    while (isDigit(*p) && p - start < 4) value = value * 10 + static_cast<uint32_t>(*p++ - '0');
    numbers[k] = value;
    // The line ends before six numbers are complete: never read past it.
    if (endsLine(*p) && (k < 5 || p == start)) return -1;
    // A missing, signed or oversized number would make a port up: the
    // connection would go to whatever service listens there.
    if (p == start || value > 255) return -1;
    if (k == 5) break;
    ++p;  // exactly one separator, whatever it is
  }
  if (numbers[4] == 0 && numbers[5] == 0) return -1;
  *port = static_cast<uint16_t>(numbers[4] * 256 + numbers[5]);
  return 1;
}

int32_t formatPortCommand(char* buf, const char* ipText, uint16_t port) {
  int32_t n = platFormat(buf, "PORT %s,%1d,%1d\r\n", ipText, static_cast<int32_t>(port / 256),
                         static_cast<int32_t>(port & 0xFF));
  // The address part (positions 5 to 16) goes out with commas, as PORT wants.
  for (int32_t i = 5; i <= 16 && i < n; ++i) {
    if (buf[i] == '.') buf[i] = ',';
  }
  return n;
}

int32_t parseEpsvPort(const char* reply, uint16_t* port) {
  const char* p = reply;
  while (*p != 0 && *p != '(') ++p;
  if (*p == 0) return 0;
  char d = p[1];
  if (d < 0x21 || d > 0x7E || isDigit(d) || p[2] != d || p[3] != d) return 0;
  p += 4;
  uint32_t value = 0;
  int32_t digits = 0;
  while (isDigit(*p) && digits < 6) {
    value = value * 10 + static_cast<uint32_t>(*p++ - '0');
    ++digits;
  }
  if (digits == 0 || *p != d || p[1] != ')' || value == 0 || value > 65535) return 0;
  *port = static_cast<uint16_t>(value);
  return 1;
}
