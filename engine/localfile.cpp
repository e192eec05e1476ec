// A transfer's local file: opened in the channel's local directory in one of
// three modes, closed at the end of the transfer or by the error exit.
#include "engine/localfile.h"

#include "core/channel.h"
#include "core/trace.h"
#include "net/data.h"
#include "platform/platform.h"
#include "util/text.h"

int32_t openLocalFile(ChannelRecord* rec, const char* name, char mode) {
  char fileName[NAME_TEXT_CAP + 1];
  copyLine(fileName, name, NAME_TEXT_CAP);

  // The path is formed in dataBuf: the directory, a backslash if it lacks
  // one, the name; at most 254 characters.
  char* path = rec->dataBuf;
  copyText(path, rec->localDir, NAME_TEXT_CAP);
  int32_t dirLen = textLength(path);
  int32_t whole = dirLen + textLength(fileName);
  if (dirLen > 0 && path[dirLen - 1] != '\\') {
    appendText(path, "\\", NAME_TEXT_CAP);
    whole++;
  }
  appendText(path, fileName, NAME_TEXT_CAP);

  // A path cut short names another file: writing there could replace a file
  // of the user's, reading would send the wrong data.  It is not opened.
  bool cut = whole > textLength(path);
  int32_t file = PLAT_INVALID;
  switch (cut ? '\0' : mode) {
    case 'R':
      file = platFileOpen(path, PLAT_OF_READ_DENY_WRITE);
      break;
    case 'A':
      file = platFileOpen(path, PLAT_OF_WRITE_DENY_WRITE);
      break;
    case 'W':
      file = platFileCreate(path, PLAT_ATTR_NORMAL);
      break;
    default:
      break;
  }
  // A restart that cannot reach its offset would read or write the wrong
  // part of the file and still pass for complete: such a file is not used.
  if (file >= 0 && (mode == 'R' || mode == 'A') && platFileSeek(file, rec->localFileOffset) < 0) {
    platFileClose(file);
    file = PLAT_INVALID;
  }
  // The offset applies to exactly one open, whatever its outcome.
  rec->localFileOffset = 0;

  if (file < 0) {
    traceLine(rec, "Cannot open '%s'\r\n", path);
    return file;
  }
  traceLine(rec, "'%s' opened\r\n", path);
  return file;
}

int32_t flushDownload(ChannelRecord* rec) {
  int32_t n = rec->unwritten;
  if (n == 0) return 0;
  rec->unwritten = 0;
  int32_t w = platFileWrite(rec->localFile, rec->bulkBuf, n);
  if (w == n) return 0;
  // The held bytes were counted when they arrived; those that never reached
  // the file are taken back out.  A short write loses data as surely as a
  // failed one.
  int32_t lost = n - (w > 0 ? w : 0);
  addCount(&rec->getBytes, -lost);
  addCount(&rec->getBytesTotal, -lost);
  return w < 0 ? w : -1;
}

void closeLocalFile(ChannelRecord* rec) {
  // An upload's unsent rest goes with its file.
  rec->unsentAt = 0;
  rec->unsentCount = 0;
  rec->awaitingRoom = 0;
  if (rec->localFile == 0) {
    rec->unwritten = 0;
    return;
  }
  // A download that fails part-way still leaves every byte it received in
  // the file, so a restart can carry on from the file's length.
  flushDownload(rec);
  platFileClose(rec->localFile);
  rec->localFile = 0;
  traceText(rec, "Closing file\r\n");
}

void closeDataSide(ChannelRecord* rec, uint32_t ms) {
  closeLocalFile(rec);
  closeDataSockets(rec, ms);
}
