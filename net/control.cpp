// Server resolution and the control connection: the server's IPv4 address,
// the TCP connection to its control port, and the local end of it.
#include "net/control.h"

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "util/text.h"

namespace {

// Reads the four fields of a dotted address.  A field is a run of digits
// ended by '.' or by the end of the text; an empty field counts as 0.  A
// text that ends before its fourth field is not a dotted address (such
// shorthand forms are left to the name service), and nothing after the '.'
// that ends the fourth field is looked at.  1 with fields[] filled, or 0.
int32_t readDottedFields(const char* text, uint32_t fields[4]) {
  if (text == nullptr) return 0;
  const char* p = text;
  for (int32_t f = 0; f < 4; f++) {
    uint32_t value = 0;
    for (;;) {
      char c = *p;
      if (c >= '0' && c <= '9') {
        // Saturate: any field above 255 is rejected, however long.
        if (value < 256) value = value * 10 + static_cast<uint32_t>(c - '0');
        p++;
        continue;
      }
      if (c == '.') {
        p++;
        break;
      }
      if (c == '\0') {
        if (f < 3) return 0;
        break;
      }
      return 0;
    }
    if (value >= 256) return 0;
    fields[f] = value;
  }
  return 1;
}

}  // namespace

int32_t isDottedAddress(const char* text) {
  uint32_t fields[4];
  return readDottedFields(text, fields);
}

uint32_t parseDottedAddress(const char* text) {
  uint32_t fields[4] = {0, 0, 0, 0};
  if (!readDottedFields(text, fields)) return 0;
  return ((fields[0] * 256 + fields[1]) * 256 + fields[2]) * 256 + fields[3];
}

int32_t resolveServer(ChannelRecord* rec) {
  while (platIsBlocking()) platSleep(static_cast<uint32_t>(settings.sleepTime));
  rec->hostAddrCount = 0;
  int32_t count = 0;
  int32_t err = platResolve(rec->serverName, rec->hostAddrs, MAX_HOST_ADDRS, &count);
  if (err != 0) return -err;
  if (count < 0) count = 0;
  if (count > MAX_HOST_ADDRS) count = MAX_HOST_ADDRS;
  rec->hostAddrCount = count;
  int32_t index = settings.hostAddrIndex & 7;
  if (count < index + 1) return -6;
  for (int32_t i = 0; i <= index; i++) {
    if (rec->hostAddrs[i] == 0) return -6;
  }
  rec->serverAddr = platNtohl(rec->hostAddrs[index]);
  return 1;
}

int32_t connectControl(ChannelRecord* rec) {
  rec->ctrlAddr.family = PLAT_AF_INET;
  rec->ctrlAddr.portNet = platHtons(rec->ctrlPort);
  rec->ctrlAddr.addrNet = platHtonl(rec->serverAddr);
  for (uint8_t& b : rec->ctrlAddr.zero) b = 0;
  if (rec->nonBlockConnect != 0) {
    rec->nonBlockArg = 1;
    platSetNonBlocking(rec->ctrlRing.sock, &rec->nonBlockArg);
    rec->waitWritable = 1;
  }
  if (platConnect(rec->ctrlSock, &rec->ctrlAddr) != 0) {
    int32_t err = platLastError();
    if (err != PLAT_WSAEWOULDBLOCK) return -err;
  }
  return 1;
}

int32_t localHostName(char* buf, int32_t size) {
  if (buf == nullptr || size <= 0) return -12;
  buf[0] = '\0';
  if (platGetHostName(buf, size) != 0) {
    buf[0] = '\0';
    return -platLastError();
  }
  buf[size - 1] = '\0';
  if (buf[0] == '\0') return -12;
  return 1;
}

int32_t localAddress(ChannelRecord* rec) {
  if (platGetSockName(rec->ctrlSock, &rec->ctrlAddr) != 0) return -6;
  rec->localAddr = platNtohl(rec->ctrlAddr.addrNet);
  uint32_t a = rec->localAddr;
  char line[PLAT_FORMAT_MAX];
  platFormat(line, "%1ld.%1ld.%1ld.%1ld", (a >> 24) & 255u, (a >> 16) & 255u, (a >> 8) & 255u, a & 255u);
  copyText(rec->localIpText, line, LOCAL_IP_CAP - 1);
  traceLine(rec, "LocalIP=[%s]\r\n", rec->localIpText);
  return 1;
}

int32_t formatDottedAddress(uint32_t addr, char* buf, int32_t capacity) {
  if (buf == nullptr || capacity < DOTTED_TEXT_MIN_SIZE) return 0;
  char line[PLAT_FORMAT_MAX];
  platFormat(line, "%1d.%1d.%1d.%1d", (addr >> 24) & 255u, (addr >> 16) & 255u, (addr >> 8) & 255u,
             addr & 255u);
  // The longest address is 15 characters, so every capacity above 16 holds it.
  return copyText(buf, line, capacity - 1);
}

void closeControl(ChannelRecord* rec, int32_t lingerMs) {
  if (rec->ctrlSock > 0) {
    traceText(rec, "Closing control socket\r\n");
    closeSocket(rec->ctrlSock, lingerMs);
  }
  rec->ctrlSock = 0;
  rec->ctrlRing.sock = 0;
  rec->ctrlRing.head = 0;
  rec->ctrlRing.tail = 0;
}
