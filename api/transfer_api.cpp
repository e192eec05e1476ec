// Exported transfer operations: downloads, uploads, listings and the
// transfer type.  They store their arguments and arm the driver; the data
// moves in the transfer states.
#include "api/operation.h"
#include "core/channel.h"
#include "core/settings.h"
#include "engine/localfile.h"
#include "util/text.h"
#include "zub32.h"

namespace {

// "first[<separator>second]": the first name into remoteName, the second (or
// nothing) into localName; only the first separator splits.
void splitNames(ChannelRecord* rec, const char* names) {
  char separator = static_cast<char>(settings.nameSeparator & 0xFF);
  int32_t at = -1;
  if (separator != 0) {
    for (int32_t i = 0; names[i] != 0; ++i) {
      if (names[i] == separator) {
        at = i;
        break;
      }
    }
  }
  if (at < 0) {
    rec->localName[0] = 0;
    copyLine(rec->remoteName, names, NAME_TEXT_CAP);
    return;
  }
  copyLine(rec->localName, names + at + 1, NAME_TEXT_CAP);
  copyLine(rec->remoteName, names, at < NAME_TEXT_CAP ? at : NAME_TEXT_CAP);
}

// The common start of the two file operations: guard, entry line, names.
// The record, or null with *err set.
ChannelRecord* beginFileTransfer(int32_t channel, const char* name, const char* names, int32_t* err) {
  ChannelRecord* rec = beginOperation(channel, name, err);
  if (rec == nullptr) return nullptr;
  if (names == nullptr) {
    *err = ZUB_E_NULL_ARGUMENT;
    return nullptr;
  }
  splitNames(rec, names);
  return rec;
}

// A transfer the caller abandoned may still hold downloaded bytes in
// bulkBuf, which the next transfer reuses: they go to their file first, and
// are not counted as the new download's.
void closeAbandonedFile(ChannelRecord* rec) { closeLocalFile(rec); }

}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_API zubGetFile(int32_t channel, const char* names) {
  int32_t err = 0;
  ChannelRecord* rec = beginFileTransfer(channel, "zubGetFile", names, &err);
  if (rec == nullptr) return err;
  closeAbandonedFile(rec);
  rec->getBytes = 0;
  return armAndRun(rec, ST_startDownload, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubPutFile(int32_t channel, const char* names) {
  int32_t err = 0;
  ChannelRecord* rec = beginFileTransfer(channel, "zubPutFile", names, &err);
  if (rec == nullptr) return err;
  rec->restartOffset = 0;
  // Also a file of an upload that was armed but never ran, which would
  // otherwise leak.
  closeAbandonedFile(rec);
  int32_t file = openLocalFile(rec, rec->remoteName, 'R');
  if (file < 0) return ZUB_E_CANNOT_OPEN_FILE;
  rec->localFile = file;
  rec->putBytes = 0;
  return armAndRun(rec, ST_startUpload, true);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubGetList(int32_t channel, int32_t kind, char* buffer, int32_t capacity) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, "zubGetList", &err);
  if (rec == nullptr) return err;
  if (buffer == nullptr) return ZUB_E_NULL_ARGUMENT;
  // An argument that cannot go out whole is refused before anything is
  // sent: a shortened one would return the listing of another path.
  if (kind >= ZUB_LIST_ARG && wholeLineLength(buffer, capacity, LIST_ARG_MAX) < 0) return ZUB_E_CANNOT_COMPLY;
  closeAbandonedFile(rec);
  rec->listBuf = buffer;
  rec->listBufSize = capacity;
  rec->listLen = 0;
  rec->listOverflow = 0;
  rec->listKind = kind;
  int32_t r = armAndRun(rec, ST_startListing, true);
  if (rec->listOverflow != 0) return ZUB_E_LIST_OVERFLOW;
  if (r < 0) return r;
  return rec->listLen;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubSetMode(int32_t channel, int32_t mode) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, "zubSetMode", &err);
  if (rec == nullptr) return err;
  switch (mode & 0xFF) {
    case 'A': rec->binaryMode = 0; break;
    case 'B': rec->binaryMode = 1; break;
    default: return ZUB_E_BAD_MODE;
  }
  return armAndRun(rec, ST_sendType, true);
}
