// Server directory and command operations: CWD, PWD, DELE, MKD, RMD and the
// caller's own command line.  A null text is refused before anything changes.
#include "api/operation.h"
#include "core/channel.h"
#include "util/text.h"
#include "zub32.h"

namespace {

// The shape shared by the operations that store one text and send it.
int32_t runTextCommand(int32_t channel, const char* name, const char* text, StateId firstState,
                       char* ChannelRecord::*field) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, name, &err);
  if (rec == nullptr) return err;
  if (text == nullptr) return ZUB_E_NULL_ARGUMENT;
  copyLine(rec->*field, text, NAME_TEXT_CAP);
  return armAndRun(rec, firstState, true);
}

}  // namespace

extern "C" ZUB_EXPORT int32_t ZUB_API zubSetServerDir(int32_t channel, const char* dir) {
  return runTextCommand(channel, "zubSetServerDir", dir, ST_sendCwd, &ChannelRecord::serverDir);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubGetServerDir(int32_t channel, char* buffer, int32_t capacity) {
  int32_t err = 0;
  ChannelRecord* rec = beginOperation(channel, "zubGetServerDir", &err);
  if (rec == nullptr) return err;
  int32_t r = armAndRun(rec, ST_sendPwd, true);
  if (rec->autoCall == 0 || r < 0) return r;
  if (buffer != nullptr && capacity >= 0) copyText(buffer, rec->serverDir, capacity);
  return textLength(rec->serverDir);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubDelFile(int32_t channel, const char* name) {
  return runTextCommand(channel, "zubDelFile", name, ST_sendDele, &ChannelRecord::remoteName);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubMakeServerDir(int32_t channel, const char* name) {
  return runTextCommand(channel, "zubMakeServerDir", name, ST_sendMkd, &ChannelRecord::remoteName);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubDelServerDir(int32_t channel, const char* name) {
  return runTextCommand(channel, "zubRemoveServerDir", name, ST_sendRmd, &ChannelRecord::remoteName);
}

extern "C" ZUB_EXPORT int32_t ZUB_API zubCommand(int32_t channel, const char* text) {
  return runTextCommand(channel, "zubCommand", text, ST_sendUserCommand, &ChannelRecord::userCmd);
}
