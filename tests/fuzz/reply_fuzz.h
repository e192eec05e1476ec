// One run of the reply reader on arbitrary bytes from a server, shared by
// the libFuzzer target and the unit test that replays its seed corpus.  The
// bytes arrive on a local socket pair whose far end then closes, so every
// read ends without waiting.  Reply after reply is read to the end of the
// connection, and each final line also goes through the PASV port parse.
// False when a result breaks a property that holds for every input; memory
// faults and hangs are left to the sanitizers and the fuzzer's time-out.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/blocks.h"
#include "core/channel.h"
#include "engine/reply.h"
#include "net/data.h"
#include "zub32.h"

namespace reply_fuzz {

// Larger inputs only repeat what smaller ones reach, and must fit the
// socket pair's buffer so the write never blocks.
constexpr size_t kMaxInput = 32768;

// Channel 0 of an attachment made once; the caller's attachment is used if
// there is one.
inline ChannelRecord* channel() {
  if (channelTable[0] == nullptr) zubAttach(1, 0);
  return channelTable[0];
}

// *replies (if given) receives the number of replies read.
inline bool runReplies(const uint8_t* data, size_t size, size_t* replies = nullptr) {
  if (size > kMaxInput) return true;
  ChannelRecord* rec = channel();
  if (rec == nullptr) return false;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  bool ok = true;
  size_t sent = 0;
  while (sent < size) {
    ssize_t w = write(fds[1], data + sent, size - sent);
    if (w <= 0) break;
    sent += static_cast<size_t>(w);
  }
  close(fds[1]);
  rec->ctrlSock = fds[0];
  rec->ctrlRing.sock = fds[0];
  rec->ctrlRing.head = 0;
  rec->ctrlRing.tail = 0;
  rec->deadlineTick = 0;

  // Every reply takes at least one byte, so the input bounds the count.
  size_t count = 0;
  for (; count <= size; ++count) {
    int32_t r = readReplyOrEnd(rec);
    if (r == REPLY_CONNECTION_ENDED) break;
    // Bytes that make no reply stay queued: the read ends there.
    if (r == ZUB_E_READ) break;
    if (r == ZUB_E_TIMEOUT || (r > 0 && r < 3) || (r < 0 && r != ZUB_E_SERVER_ERROR)) {
      ok = false;
      break;
    }
    // The line and the text after its code are terminated inside the buffer
    // (a NUL byte from the server may end the text earlier).
    const char* end = rec->responseBuf + RESPONSE_BUF_CAP;
    if (strnlen(rec->responseBuf, RESPONSE_BUF_CAP) >= RESPONSE_BUF_CAP) ok = false;
    if (rec->replyTextPtr < rec->responseBuf || rec->replyTextPtr >= end ||
        strnlen(rec->replyTextPtr, static_cast<size_t>(end - rec->replyTextPtr)) >=
            static_cast<size_t>(end - rec->replyTextPtr)) {
      ok = false;
    }
    if (strnlen(rec->replyNotes, REPLY_NOTES_CAP + 1) > REPLY_NOTES_CAP) ok = false;
    uint16_t port = 0;
    int32_t p = parsePasvPort(rec->responseBuf, &port);
    if (p != 0 && p != 1 && p != -1) ok = false;
    if (!ok) break;
  }
  if (replies != nullptr) *replies = count;
  close(fds[0]);
  rec->ctrlSock = 0;
  rec->ctrlRing.sock = 0;
  rec->ctrlRing.head = 0;
  rec->ctrlRing.tail = 0;
  // The buffers the reader writes into keep their guards.
  for (int32_t index = 0; index <= 12; ++index) {
    if (checkBlock(static_cast<uint32_t>(index)) < 0) ok = false;
  }
  return ok;
}

}  // namespace reply_fuzz
