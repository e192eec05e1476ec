// The numbered queries: counters and state of a channel (zubGetInteger) and
// its texts and addresses (zubGetString).
#include "zub32.h"

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "net/control.h"
#include "net/sockets.h"
#include "platform/platform.h"
#include "util/listing.h"
#include "util/text.h"

namespace {

// Readiness modes of testSocket.
constexpr int32_t MODE_WRITABLE = 2;
constexpr int32_t MODE_ERROR = 3;

// -9 when the control socket has an error pending, else 1 writable, 0 not.
int32_t controlSocketStatus(const ChannelRecord* rec) {
  // No socket is never writable; polling handle 0 would test some other
  // descriptor of the process.
  if (rec->ctrlSock == 0) return 0;
  if (testSocket(rec->ctrlSock, MODE_ERROR) != 0) return ZUB_E_CONNECT;
  return testSocket(rec->ctrlSock, MODE_WRITABLE);
}

}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_API zubGetInteger(int32_t channel, int32_t code) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  switch (code) {
    case ZUB_GET_STEP_COUNT:
      return rec->stepCount;
    case ZUB_GET_REPLY_CODE:
      return rec->replyCode;
    case ZUB_GET_LAST_ERROR:
      return rec->lastError;
    case ZUB_GET_BYTES:
      return rec->getBytes;
    case ZUB_GET_BYTES_TOTAL:
      return rec->getBytesTotal;
    case ZUB_PUT_BYTES:
      return rec->putBytes;
    case ZUB_PUT_BYTES_TOTAL:
      return rec->putBytesTotal;
    case ZUB_GET_CTRL_SOCKET:
      return rec->ctrlSock;
    case ZUB_GET_CTRL_STATUS:
      return controlSocketStatus(rec);
    case ZUB_GET_VERSION:
      return parseHex(versionStamp + 5, 4);
    case ZUB_GET_BUILD:
      return parseHex(versionStamp + 14, 4);
    case ZUB_GET_DATA_IDLE_COUNT:
      return rec->dataRing.idleCount;
    case ZUB_GET_PORT_SALT:
      return rec->portSalt;
    default:
      return -1;
  }
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubGetString(int32_t channel, int32_t code, char* buffer, int32_t size) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  traceText(rec, "*** zubGetString\r\n");
  if (size < 0) size = 0;
  // A null buffer is an error only where it would be read or written.
  bool touchesBuffer = code != ZUB_STR_SERVER_IP || size >= DOTTED_TEXT_MIN_SIZE;
  if (code == ZUB_STR_LOCAL_IP && (rec->ctrlSock == 0 || localAddress(rec) < 0)) return ZUB_E_CANNOT_COMPLY;
  if (buffer == nullptr && touchesBuffer) return ZUB_E_NULL_ARGUMENT;

  switch (code) {
    case ZUB_STR_LAST_REPLY: {
      int32_t n = copyText(buffer, rec->responseBuf, size);
      // The line end is copied but not counted.
      if (n > 2 && buffer[n - 2] == '\r') n -= 2;
      return n;
    }
    case ZUB_STR_SERVER_IP:
      return formatDottedAddress(rec->serverAddr, buffer, size);
    case ZUB_STR_COUNT_LINES:
      return countLines(buffer);
    case ZUB_STR_LOCAL_IP:
      return copyText(buffer, rec->localIpText, size);
    case ZUB_STR_REPLY_NOTES:
      return copyText(buffer, rec->replyNotes, size);
    default:
      buffer[0] = '?';
      buffer[1] = '\0';
      return 0;
  }
}
