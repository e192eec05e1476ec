// Driver states that move data: downloads (301-308), uploads (401-408),
// listings (801-808) and the closing reply all three share (350).  One piece
// of data per step: a listing's ring, a download's or upload's bulk buffer
// (an upload's single block when blocks are to be paced by sendDelay).
#include <cstring>

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/localfile.h"
#include "engine/ring.h"
#include "engine/states.h"
#include "engine/tls_states.h"
#include "net/data.h"
#include "net/sockets.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

namespace {

// Largest piece of a listing taken per step: it leaves responseBuf
// terminated for the trace of the step.
constexpr int32_t LIST_PIECE_MAX = 4094;

// Either PASV or PORT first; the transfer resumes at `resume` once the data
// path is ready.
int32_t chooseDataPath(ChannelRecord* rec, StateId resume) {
  tlsTransferBegins(rec);
  setDataReadyState(rec, resume);
  goNextState(rec, firstDataState(rec));
  return STEP_ON;
}

// Sends the transfer command in cmdBuf and arms its ticks from a fresh tick;
// active mode waits for the server's connection before `replyState`.
int32_t sendTransferCommand(ChannelRecord* rec, StateId replyState, int32_t timeout) {
  int32_t r = sendCommandLine(rec);
  if (r < 0) return errorExit(rec, r, ZUB_E_WRITE);
  uint32_t t = platTickCount();
  StateId next = replyState;
  if (rec->passiveMode != 0 && dataTlsWanted(rec)) {
    // The server starts its side of the handshake once it has the command.
    next = ST_startDataTls;
    setDataReadyState(rec, replyState);
  } else if (rec->passiveMode == 0) {
    next = ST_awaitDataConnection;
    setDataReadyState(rec, replyState);
  }
  goState(rec, next, tickAfter(t, settings.replyDelay), tickAfter(t, timeout));
  return STEP_ON;
}

// The end of received data: the closing reply is awaited next.
void endOfData(ChannelRecord* rec, uint32_t now, StateId next) {
  goState(rec, next, tickAfter(now, settings.replyDelay), tickAfter(now, settings.replyTimeout));
}

void afterDataClosed(ChannelRecord* rec) { endOfData(rec, platTickCount(), ST_readTransferReply); }

}  // namespace

// ---- Download ----

int32_t startDownload(ChannelRecord* rec, uint32_t) { return chooseDataPath(rec, ST_prepareRetrieve); }

int32_t prepareRetrieve(ChannelRecord* rec, uint32_t now) {
  StateId next = ST_sendRetr;
  if (rec->restartEnabled != 0) {
    platFormat(rec->cmdBuf, "REST %ld\r\n", rec->restartOffset);
    rec->restartOffset = 0;
    int32_t r = sendCommandLine(rec);
    if (r < 0) return errorExit(rec, r, ZUB_E_WRITE);
    next = ST_readRestReply;
  }
  goState(rec, next, tickAfter(now, settings.replyDelay), tickAfter(now, settings.dataTimeout));
  return STEP_ON;
}

int32_t readRestReply(ChannelRecord* rec, uint32_t) {
  int32_t r = replyStep(rec, ST_sendRetr);
  return r == REPLY_READ ? STEP_ON : r;
}

int32_t sendRetr(ChannelRecord* rec, uint32_t) {
  rec->dataRing.idleCount = 0;
  platFormat(rec->cmdBuf, "RETR %s\r\n", rec->remoteName);
  return sendTransferCommand(rec, ST_openDownloadFile, settings.dataTimeout);
}

int32_t openDownloadFile(ChannelRecord* rec, uint32_t) {
  int32_t r = transferReplyStep(rec, ST_receiveFileData);
  if (r != REPLY_READ) return r;
  char mode = rec->restartEnabled != 0 ? 'A' : 'W';
  rec->restartEnabled = 0;
  const char* name = rec->localName[0] != 0 ? rec->localName : rec->remoteName;
  closeLocalFile(rec);  // one left by an upload that was armed but never ran
  int32_t file = openLocalFile(rec, name, mode);
  if (file < 0) return errorExit(rec, file, ZUB_E_CANNOT_OPEN_FILE);
  rec->localFile = file;
  return STEP_ON;
}

// Pieces are received straight into bulkBuf, by the ring, and written a
// full buffer at a time: a receive and a write per 4 KiB piece cost more
// than moving the bytes.  What is gathered reaches the file at the end of
// the data or when the file closes; getBytes ends up counting exactly what
// the file received.  One step fills the buffer at most, so it stays short.
int32_t receiveFileData(ChannelRecord* rec, uint32_t now) {
  int32_t asked = BULK_BUF_CAP - rec->unwritten;
  int32_t n = receiveBulk(&rec->dataRing, rec->bulkBuf + rec->unwritten, asked, 2);
  if (n == 0) {
    noteIdleWait(rec, rec->dataSock, PLAT_READABLE);
    return STEP_ON;
  }
  while (n > 0) {
    // Counted on arrival, so a caller watching the count sees every piece.
    rec->unwritten += n;
    addCount(&rec->getBytes, n);
    addCount(&rec->getBytesTotal, n);
    // A receive that filled its request leaves more waiting, most likely.
    if (n < asked || rec->unwritten == BULK_BUF_CAP) break;
    asked = BULK_BUF_CAP - rec->unwritten;
    n = receiveBulk(&rec->dataRing, rec->bulkBuf + rec->unwritten, asked, 1);
  }
  // A failed receive (a reset) is no end of data; the error exit writes
  // what arrived before it.
  if (n < RING_CLOSED) return dataConnectionFailed(rec, n, ZUB_E_READ);
  bool ended = n == RING_CLOSED;
  if (ended || rec->unwritten == BULK_BUF_CAP) {
    int32_t w = flushDownload(rec);
    if (w < 0) {
      closeDataSide(rec, 125);
      return errorExit(rec, w, ZUB_E_FILE_WRITE);
    }
  }
  if (ended) {
    endOfData(rec, now, ST_finishDownload);
    return STEP_ON;
  }
  setStateTicks(rec, NO_TICK, tickAfter(platTickCount(), settings.replyTimeout));
  return STEP_ON;
}

int32_t finishDownload(ChannelRecord* rec, uint32_t) {
  closeDataSide(rec, 125);
  traceLine(rec, "%ld bytes received\r\n", rec->getBytes);
  afterDataClosed(rec);
  return STEP_ON;
}

// ---- The closing reply of every transfer ----

int32_t readTransferReply(ChannelRecord* rec, uint32_t) {
  if (waitForWritable(rec->ctrlSock, 0) == 0) return errorExit(rec, ZUB_E_SOCKET_CLOSED, 0);
  int32_t r = transferReplyStep(rec, ST_idle);
  if (r != REPLY_READ) return r;
  if (rec->replyCode != 226 && rec->replyCode != 250) traceText(rec, "[WARNING: 226/250 not seen]\r\n");
  return STEP_ON;
}

// ---- Upload ----

int32_t startUpload(ChannelRecord* rec, uint32_t) { return chooseDataPath(rec, ST_sendStore); }

int32_t sendStore(ChannelRecord* rec, uint32_t) {
  const char* name = rec->localName[0] != 0 ? rec->localName : rec->remoteName;
  if (rec->restartEnabled != 0) {
    rec->restartEnabled = 0;
    platFormat(rec->cmdBuf, "APPE %s\r\n", name);
  } else {
    platFormat(rec->cmdBuf, "STOR %s\r\n", name);
  }
  return sendTransferCommand(rec, ST_readStoreReply, settings.dataTimeout);
}

int32_t readStoreReply(ChannelRecord* rec, uint32_t) {
  int32_t r = transferReplyStep(rec, ST_sendFileBlock);
  return r == REPLY_READ ? STEP_ON : r;
}

namespace {

// The data socket has no room for the rest of the block: the step ends and
// the blocking loop waits for room.  A server that takes nothing for
// replyTimeout fails the upload as a socket that never became writable;
// meanwhile no other deadline runs, so the limit is that one alone.
int32_t awaitRoom(ChannelRecord* rec, uint32_t now) {
  if (rec->awaitingRoom == 0) {
    rec->awaitingRoom = 1;
    rec->roomDeadline = now + static_cast<uint32_t>(settings.replyTimeout);
    setStateTicks(rec, NO_TICK, NO_TICK);
  } else if (!tickBefore(now, rec->roomDeadline)) {
    return dataConnectionFailed(rec, ZUB_E_SOCKET_CLOSED, ZUB_E_WRITE);
  }
  noteIdleWait(rec, rec->dataSock, PLAT_WRITABLE);
  return STEP_ON;
}

}  // namespace

// One block per step: read from the file once the last one has gone, then
// sent without waiting, so that a slow server never holds the step (nor,
// in caller-driven use, every other channel of the thread).  What the
// socket has no room for goes in the next steps; the pause of sendDelay and
// the writability gate come after each whole block.
int32_t sendFileBlock(ChannelRecord* rec, uint32_t now) {
  if (rec->unsentCount == 0) {
    // Without a pause between blocks, as many whole blocks as bulkBuf holds
    // go in one read and one send: the step's checks and calls are made once.
    int32_t block = settings.blockSize;
    int32_t piece = settings.sendDelay == 0 && block > 0 ? BULK_BUF_CAP / block * block : block;
    int32_t n = platFileRead(rec->localFile, rec->bulkBuf, piece);
    // A failed read is no end of the file: the server would keep a file cut
    // short and the upload would pass for complete.
    if (n < 0) return errorExit(rec, 0, ZUB_E_NOT_COMPLETED);
    if (n == 0) {
      traceText(rec, "[EOF]\r\n");
      rec->waitWritable = 1;
      uint32_t t = platTickCount();
      goState(rec, ST_finishUpload, tickAfter(t, settings.closeDelay), tickAfter(t, settings.replyTimeout));
      return STEP_ON;
    }
    rec->unsentAt = 0;
    rec->unsentCount = n;
  }
  int32_t s = sendSome(rec->dataSock, rec->bulkBuf + rec->unsentAt, rec->unsentCount);
  if (s == PLAT_NOTHING_READY) return awaitRoom(rec, now);
  if (s < 0) return dataConnectionFailed(rec, s, ZUB_E_WRITE);
  rec->awaitingRoom = 0;
  addCount(&rec->putBytes, s);
  addCount(&rec->putBytesTotal, s);
  rec->unsentAt += s;
  rec->unsentCount -= s;
  uint32_t t = platTickCount();
  if (rec->unsentCount > 0) {
    // Part of a TLS record went out (0): the socket is full for now.
    if (s == 0) noteIdleWait(rec, rec->dataSock, PLAT_WRITABLE);
    setStateTicks(rec, NO_TICK, tickAfter(t, settings.sendTimeout));
    return STEP_ON;
  }
  rec->waitWritable = 1;
  setStateTicks(rec, tickAfter(t, settings.sendDelay), tickAfter(t, settings.sendTimeout));
  return STEP_ON;
}

int32_t finishUpload(ChannelRecord* rec, uint32_t) {
  traceLine(rec, "%ld bytes transmitted\r\n", rec->putBytes);
  // Closing the data socket is what tells the server the file is complete.
  closeDataSide(rec, 500);
  afterDataClosed(rec);
  return STEP_ON;
}

// ---- Listing ----

int32_t startListing(ChannelRecord* rec, uint32_t) { return chooseDataPath(rec, ST_sendListCommand); }

int32_t sendListCommand(ChannelRecord* rec, uint32_t) {
  int32_t kind = rec->listKind;
  if (kind == 1) {
    copyText(rec->cmdBuf, "NLST\r\n", CMD_BUF_CAP - 1);
  } else if (kind <= 0) {
    copyText(rec->cmdBuf, "LIST\r\n", CMD_BUF_CAP - 1);
  } else {
    // The argument is the text the caller left in its buffer, sent whole or
    // not at all: a shortened one would list another path.  zubGetList has
    // checked it; a caller-driven caller may have changed it since.
    if (wholeLineLength(rec->listBuf, rec->listBufSize, LIST_ARG_MAX) < 0) return errorExit(rec, 0, ZUB_E_CANNOT_COMPLY);
    platFormat(rec->cmdBuf, kind == 3 ? "NLST %s\r\n" : "LIST %s\r\n", rec->listBuf);
  }
  return sendTransferCommand(rec, ST_readListReply, settings.replyTimeout);
}

int32_t readListReply(ChannelRecord* rec, uint32_t) {
  int32_t r = transferReplyStep(rec, ST_receiveListData);
  if (r != REPLY_READ) return r;
  rec->listOverflow = 0;
  return STEP_ON;
}

int32_t receiveListData(ChannelRecord* rec, uint32_t now) {
  int32_t w = waitRingData(&rec->dataRing, 0);
  if (w == 0) {
    noteIdleWait(rec, rec->dataSock, PLAT_READABLE);
    return STEP_ON;
  }
  if (w < RING_CLOSED) return dataConnectionFailed(rec, w, ZUB_E_READ);
  std::memset(rec->responseBuf, 0, RESPONSE_BUF_CAP);
  int32_t n = takeFromRing(&rec->dataRing, rec->responseBuf, LIST_PIECE_MAX);
  if (n < RING_CLOSED) return dataConnectionFailed(rec, n, ZUB_E_READ);
  if (n == 0 || n == RING_CLOSED) {
    endOfData(rec, now, ST_finishListing);
    return STEP_ON;
  }
  // A piece is stored only if it leaves room for the terminator.
  if (rec->listBufSize > 0 && n < rec->listBufSize) {
    copyText(rec->listBuf, rec->responseBuf, n);
    rec->listBuf += n;
    rec->listBuf[0] = 0;
    rec->listBufSize -= n;
    rec->listLen += n;
  } else {
    rec->listOverflow = 1;
  }
  return STEP_ON;
}

int32_t finishListing(ChannelRecord* rec, uint32_t) {
  closeDataSide(rec, 125);
  // An empty listing leaves an empty text, not the argument of LIST or NLST
  // the caller put in the buffer.
  if (rec->listLen == 0 && rec->listOverflow == 0 && rec->listBufSize > 0) rec->listBuf[0] = 0;
  if (waitForWritable(rec->ctrlSock, 0) == 0) return errorExit(rec, ZUB_E_SOCKET_CLOSED, 0);
  goNextState(rec, ST_readTransferReply);
  return STEP_ON;
}
