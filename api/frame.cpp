// The library frame's exports: attach and release, error texts, settings,
// the trace log and the debug hook.
#include "zub32.h"

#include "core/blocks.h"
#include "core/channel.h"
#include "core/errors.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/localfile.h"
#include "net/sockets.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "util/text.h"

namespace {

// Frees every block of channels 0..count-1: buffers first, so that a
// damaged buffer never keeps the record itself from being freed.
void freeChannels(int32_t count) {
  for (int32_t c = 0; c < count; c++) {
    freeBulkBuffer(c);
    freeChannelBlocks(c, 1, 12);
    freeChannelBlocks(c, 0, 0);
    channelTable[c] = nullptr;
  }
}

// A channel without its record or buffers must never be used: gives back
// everything the attach took (channels 0..built-1) and stays unattached.
int32_t abandonAttach(int32_t built) {
  freeChannels(built);
  attachedCount = 0;
  platCleanup();
  platLockLeave();
  platLockDestroy();
  return ZUB_E_NO_MEMORY;
}

// What a channel still holds open when the library is released: the local
// file of an abandoned transfer (with the downloaded bytes it still holds)
// and its sockets, which WinSock's cleanup closes on Windows.  Freeing the
// record would leak them.  The trace log stays open
// for the release's own lines and is closed by the caller afterwards.
void closeChannelHandles(ChannelRecord* rec) {
  closeLocalFile(rec);
  int32_t* socks[] = {&rec->listenSock, &rec->dataSock, &rec->ctrlSock};
  for (int32_t* sock : socks) {
    if (*sock != 0) closeSocket(*sock, 0);
    *sock = 0;
  }
  rec->ctrlRing.sock = 0;
  rec->dataRing.sock = 0;
  tlsResetChannel(rec);
}

}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_API zubAttach(int32_t channels, int32_t reserved) {
  (void)reserved;
  if (attachedCount != 0) return ZUB_E_ALREADY_ATTACHED;
  // The whole 32-bit count is checked: 65537 must not pass as 1 channel.
  if (channels < 0 || channels > MAX_CHANNELS) return ZUB_E_CHANNEL_RANGE;

  platLockCreate();
  platLockEnter();
  int32_t e = platStartup(socketDescription, static_cast<int32_t>(sizeof socketDescription));
  if (e != 0) {
    platLockLeave();
    platLockDestroy();
    return -e;
  }
  if (channels == 0) {
    // Nothing is attached, and release will do nothing: undo the start now
    // so that the next attach starts from scratch.
    platCleanup();
    platLockLeave();
    platLockDestroy();
    return 1;
  }

  resetBlockTable();
  attachedCount = static_cast<uint16_t>(channels);
  for (int32_t n = 0; n < channels; n++) {
    if (initChannel(n) < 0) return abandonAttach(n + 1);
  }
  // The bulk buffers come after every channel's blocks, so the blocks are
  // allocated in the table's order whatever the count.
  for (int32_t n = 0; n < channels; n++) {
    if (initBulkBuffer(n) < 0) return abandonAttach(channels);
  }
  platLockLeave();
  return 1;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubRelease(void) {
  if (attachedCount == 0) return 1;
  platLockEnter();
  int32_t logs[MAX_CHANNELS] = {};
  for (uint16_t n = 0; n < attachedCount; ++n) {
    if (channelTable[n] == nullptr) continue;
    closeChannelHandles(channelTable[n]);
    logs[n] = channelTable[n]->logFile;
  }
  platCleanup();
  freeChannels(attachedCount);
  for (uint16_t n = 0; n < attachedCount; ++n) {
    if (logs[n] != 0) closeTraceFile(logs[n], true);
  }
  attachedCount = 0;
  platLockLeave();
  platLockDestroy();
  return 1;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  if (buffer == nullptr) return ZUB_E_NULL_ARGUMENT;
  if (size < 1) return 0;  // not even room for the terminator

  const char* text = errorTextOf(code);
  int32_t n = 0;
  if (text != nullptr) {
    for (int32_t i = 0; n < size - 1 && text[i] != '\0'; i++) buffer[n++] = text[i];
    // Both codes concern the server: its last reply line says why.
    if ((code == ZUB_E_SERVER_ERROR || code == ZUB_E_CONNECT) && n < size - 1) {
      buffer[n++] = ' ';
      const char* reply = rec->responseBuf;
      for (int32_t i = 0; n < size - 1 && reply[i] != '\0'; i++) buffer[n++] = reply[i];
    }
  }
  buffer[n] = '\0';
  return n;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubSetInteger(int32_t channel, int32_t code, int32_t value) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  traceLine(rec, "*** zubSetInteger(%d,%d,%ld)\r\n", rec->chanIndex, code, value);

  switch (code) {
    case ZUB_SET_CONNECT_TIMEOUT:
      settings.connectTimeout = value;
      return value;
    case ZUB_SET_REPLY_DELAY:
      settings.replyDelay = value;
      return value;
    case ZUB_SET_REPLY_TIMEOUT:
      settings.replyTimeout = value;
      return value;
    case ZUB_SET_SEND_DELAY:
      settings.sendDelay = value;
      return value;
    case ZUB_SET_SEND_TIMEOUT:
      settings.sendTimeout = value;
      return value;
    case ZUB_SET_AUTO_CALL:
      rec->autoCall = value & 1;
      traceLine(rec, "AUTO_CALL = %d\r\n", rec->autoCall);
      setStateTicks(rec, NO_TICK, NO_TICK);
      return rec->autoCall;
    case ZUB_SET_SLEEP_TIME:
      // A pause is never negative: taken as unsigned, -1 would be a sleep
      // of 49 days inside the next wait.
      settings.sleepTime = value < 0 ? 0 : value;
      return settings.sleepTime;
    case ZUB_SET_CTRL_PORT:
      rec->ctrlPort = static_cast<uint16_t>(value);
      return value;
    case ZUB_SET_CLOSE_DELAY:
      settings.closeDelay = value < 0 ? 0 : value;
      return settings.closeDelay;
    case ZUB_SET_BLOCK_SIZE: {
      // Compared unsigned: a negative value is a huge one.
      uint32_t v = static_cast<uint32_t>(value);
      if (v < 128) v = 128;
      if (v > 8192) v = 8192;
      settings.blockSize = static_cast<int32_t>(v);
      return settings.blockSize;
    }
    case ZUB_SET_PASSIVE:
      rec->passiveMode = value;
      return value;
    case ZUB_SET_DATA_TIMEOUT:
      settings.dataTimeout = value;
      return value;
    case ZUB_SET_HOST_ADDR_INDEX:
      settings.hostAddrIndex = value & 7;
      return settings.hostAddrIndex;
    case ZUB_SET_RESTART:
      rec->restartEnabled = value;
      return value;
    case ZUB_SET_DATA_PORT:
      // The driver advances dataPort before each use, so it is stored one
      // below the port asked for.
      rec->dataPort = static_cast<uint16_t>(static_cast<uint32_t>(value) - 1u);
      return value;
    case ZUB_SET_NAME_SEPARATOR:
      settings.nameSeparator = value & 0xFF;
      return value;
    case ZUB_SET_RESTART_OFFSET:
      rec->restartOffset = value;
      return value;
    case ZUB_SET_LOCAL_OFFSET:
      rec->localFileOffset = value;
      return value;
    case ZUB_SET_LINE_TIMEOUT:
      settings.lineTimeout = value;
      return value;
    case ZUB_SET_BLOCKING_CONNECT:
      rec->nonBlockConnect = value == 0 ? 1 : 0;
      return value;
    case ZUB_SET_PAUSES:
      settings.pauses = value != 0 ? 1 : 0;
      return value;
    case ZUB_SET_TLS:
      // Refused, not stored, where TLS is not built in: the caller must not
      // believe its password travels encrypted.
      if (value < 0 || value > 2 || (value != 0 && tlsAvailable() == 0)) return -1;
      rec->tlsMode = value;
      return value;
    case ZUB_SET_TLS_VERIFY:
      // Without TLS there is no certificate to check nor data to protect:
      // the caller learns that here, not from a session in clear.
      if (tlsAvailable() == 0) return -1;
      rec->tlsVerify = value != 0 ? 1 : 0;
      return rec->tlsVerify;
    case ZUB_SET_DATA_PROTECTION:
      if (tlsAvailable() == 0 || (value != 'P' && value != 'C')) return -1;
      rec->dataProtection = value;
      return value;
    case ZUB_SET_EPSV:
      rec->useEpsv = value != 0 ? 1 : 0;
      return rec->useEpsv;
    default:
      return -1;
  }
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubSetString(int32_t channel, int32_t code, const char* text) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  if (text == nullptr) text = "";
  // For code 20 this goes into the log that was open before the call.
  traceLine(rec, "*** zubSetString(%d,%d,'%s')\r\n", rec->chanIndex, code, text);

  if (code == ZUB_STR_OPEN_LOG) {
    int32_t old = rec->logFile;
    int32_t h = platFileCreate(text, PLAT_ATTR_NORMAL);
    if (old != 0) {
      // A replaced log is closed, never leaked; the library-wide handle must
      // not go on naming it.
      closeTraceFile(old, false);
    }
    if (h <= 0) {
      rec->logFile = 0;
      return -1;
    }
    rec->logFile = h;
    setGlobalTraceLog(h);
    return h;
  }
  if (code == ZUB_STR_WRITE_LOG) {
    if (rec->logFile != 0) traceLine(rec, "%s\r\n", text);
    return rec->logFile;
  }
  if (code == ZUB_STR_CA_FILE) {
    // A path cut short would name another file: refused instead.
    int32_t n = textLength(text);
    if (n > CA_FILE_CAP || tlsAvailable() == 0) return -1;
    copyText(rec->caFile, text, CA_FILE_CAP);
    return n;
  }
  return -1;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubDebug(int32_t channel, int32_t a, int32_t b, int32_t c) {
  (void)a;
  (void)b;
  (void)c;
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  traceText(rec, "*** zubDebug\r\n");
  return 1;
}
