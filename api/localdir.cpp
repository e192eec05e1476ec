// The channel's local directory: set (after a probe that a file can be
// created there) and reported.
#include "core/channel.h"
#include "core/trace.h"
#include "platform/platform.h"
#include "util/text.h"
#include "zub32.h"

namespace {

// Longest directory text accepted: what localDir can hold whole, a final
// backslash included.
constexpr int32_t LOCAL_DIR_MAX = NAME_TEXT_CAP;
constexpr int32_t PROBE_NAMES = 8;

// Writes the probe file name for attempt i: "$$$$.TMP", then "$$$$1.TMP" ...
void probeName(char* out, int32_t attempt) {
  int32_t n = 0;
  for (int32_t k = 0; k < 4; k++) out[n++] = '$';
  if (attempt > 0) out[n++] = static_cast<char>('0' + attempt);
  const char* ext = ".TMP";
  for (int32_t k = 0; ext[k] != '\0'; k++) out[n++] = ext[k];
  out[n] = '\0';
}

// Shows that a file can be created in dir.  The probe file is created
// exclusively, so a user's file of the same name is never replaced or
// deleted; another name is tried instead.  Nothing is left behind.
bool probeLocalDir(const char* dir, int32_t len) {
  if (len <= 1) return true;
  char path[LOCAL_DIR_MAX + 1 + 16];
  char name[16];
  for (int32_t attempt = 0; attempt < PROBE_NAMES; attempt++) {
    copyText(path, dir, len);
    if (dir[len - 1] != '\\') appendText(path, "\\", sizeof path);
    probeName(name, attempt);
    appendText(path, name, sizeof path);
    int32_t file = platFileCreateNew(path, PLAT_ATTR_HIDDEN);
    if (file >= 0) {
      platFileClose(file);
      platFileDelete(path);
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_API zubSetLocalDir(int32_t channel, const char* dir) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  traceText(rec, "*** zubSetLocalDir\r\n");
  if (dir == nullptr) return ZUB_E_NULL_ARGUMENT;

  // A longer text cannot be stored whole; storing it cut would name
  // another directory than the caller's.
  int32_t len = boundedLength(dir);
  if (len > LOCAL_DIR_MAX || (len == LOCAL_DIR_MAX && dir[len - 1] != '\\')) return ZUB_E_CANNOT_COMPLY;
  if (!probeLocalDir(dir, len)) return ZUB_E_CANNOT_COMPLY;

  copyLine(rec->localDir, dir, NAME_TEXT_CAP - 1);
  int32_t stored = textLength(rec->localDir);
  if (stored == 0) return 0;
  if (rec->localDir[stored - 1] != '\\') appendText(rec->localDir, "\\", NAME_TEXT_CAP + 1);
  traceLine(rec, "Local directory is '%s'\r\n", rec->localDir);
  return 0;
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubGetLocalDir(int32_t channel, char* buffer, int32_t capacity) {
  int32_t err = 0;
  ChannelRecord* rec = checkChannel(channel, &err);
  if (rec == nullptr) return err;
  traceText(rec, "*** zubGetLocalDir\r\n");
  traceLine(rec, "Local directory is '%s'\r\n", rec->localDir);
  return copyText(buffer, rec->localDir, capacity);
}
