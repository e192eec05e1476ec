// Command states: one command and its reply each - CWD, PWD, DELE, RMD,
// MKD, TYPE and the caller's own command line.
#include "core/channel.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/states.h"
#include "platform/platform.h"
#include "util/text.h"

namespace {

int32_t stepResult(int32_t r) { return r < 0 ? r : STEP_ON; }

// The text of the last reply line after its code, or "" when the reader's
// pointer does not lie within the line (a bare code, a closed connection).
const char* replyText(const ChannelRecord* rec) {
  const char* line = rec->responseBuf;
  const char* p = rec->replyTextPtr;
  if (p == nullptr || p < line || p > line + textLength(line)) return "";
  return p;
}

}  // namespace

int32_t sendCwd(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "CWD %s\r\n", rec->serverDir);
  return commandStep(rec, now, ST_readCwdReply);
}

int32_t readCwdReply(ChannelRecord* rec, uint32_t) {
  int32_t r = replyStep(rec, ST_idle);
  if (r == REPLY_READ) traceLine(rec, "Server directory is '%s'\r\n", rec->serverDir);
  return stepResult(r);
}

int32_t sendPwd(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "PWD\r\n");
  return commandStep(rec, now, ST_readPwdReply);
}

int32_t readPwdReply(ChannelRecord* rec, uint32_t) {
  int32_t r = replyStep(rec, ST_idle);
  if (r != REPLY_READ) return stepResult(r);
  // The first character after the code's separator is the opening quote and
  // is always skipped; the name ends at the closing quote or the line end
  // (LF too: in a reply with no text the skipped character is the CR).
  copyText(rec->serverDir, replyText(rec), NAME_TEXT_CAP);
  for (char* p = rec->serverDir; *p != '\0'; p++) {
    if (*p == '"' || *p == '\r' || *p == '\n') {
      *p = '\0';
      break;
    }
  }
  traceLine(rec, "Server directory is '%s'\r\n", rec->serverDir);
  return STEP_ON;
}

int32_t sendDele(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "DELE %s\r\n", rec->remoteName);
  return commandStep(rec, now, ST_readDeleReply);
}

int32_t readDeleReply(ChannelRecord* rec, uint32_t) { return stepResult(replyStep(rec, ST_idle)); }

int32_t sendRmd(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "RMD %s\r\n", rec->remoteName);
  return commandStep(rec, now, ST_readRmdReply);
}

int32_t readRmdReply(ChannelRecord* rec, uint32_t) { return stepResult(replyStep(rec, ST_idle)); }

int32_t sendMkd(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, "MKD %s\r\n", rec->remoteName);
  return commandStep(rec, now, ST_readMkdReply);
}

int32_t readMkdReply(ChannelRecord* rec, uint32_t) { return stepResult(replyStep(rec, ST_idle)); }

int32_t sendType(ChannelRecord* rec, uint32_t now) {
  platFormat(rec->cmdBuf, rec->binaryMode ? "TYPE I\r\n" : "TYPE A\r\n");
  return commandStep(rec, now, ST_readTypeReply);
}

int32_t readTypeReply(ChannelRecord* rec, uint32_t) { return stepResult(replyStep(rec, ST_idle)); }

int32_t sendUserCommand(ChannelRecord* rec, uint32_t now) {
  copyLine(rec->cmdBuf, rec->userCmd, NAME_TEXT_CAP);
  traceLine(rec, "'%s'\r\n", rec->cmdBuf);
  // The line end always fits: the command buffer is far larger than the
  // longest caller's text, and a line without it would never be answered.
  appendText(rec->cmdBuf, "\r\n", CMD_BUF_CAP);
  return commandStep(rec, now, ST_readUserCommandReply);
}

int32_t readUserCommandReply(ChannelRecord* rec, uint32_t) { return stepResult(replyStep(rec, ST_idle)); }
