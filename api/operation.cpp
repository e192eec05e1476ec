// The calling pattern of every FTP operation: guard and entry line, arming
// the channel's state machine, and the blocking loop over zubDriver.
#include "api/operation.h"

#include "core/channel.h"
#include "core/settings.h"
#include "core/trace.h"
#include "engine/driver.h"
#include "engine/reply.h"
#include "platform/platform.h"
#include "zub32.h"

ChannelRecord* beginOperation(int32_t channel, const char* name, int32_t* err) {
  ChannelRecord* rec = checkChannel(channel, err);
  if (rec == nullptr) return nullptr;
  traceLine(rec, "*** %s\r\n", name);
  return rec;
}

int32_t armAndRun(ChannelRecord* rec, StateId firstState, bool flush) {
  // A code a left operation kept for its deadline is not this one's.
  rec->timeStopError = 0;
  goState(rec, firstState, NO_TICK, NO_TICK);
  if (rec->autoCall == 0) return 0;
  // A late or unasked reply must not be taken for the answer to the command
  // this operation is about to send.
  if (flush) flushReplies(rec);
  return runDriverLoop(rec);
}

namespace {

// After a step that found nothing to do: sleeps until one of the sockets the
// step was waiting on is ready, the resume tick comes, or sleepTime passes,
// whichever is first.  The bound keeps deadlines and the driver's own polls
// (which see more than these sockets) running at their usual pace.
void waitForActivity(ChannelRecord* rec) {
  PlatWait items[2];
  int32_t count = 0;
  for (const IdleWait& w : rec->idleWait) {
    if (w.mode != 0 && w.sock > 0) items[count++] = PlatWait{w.sock, w.mode};
  }
  uint32_t ms = settings.sleepTime > 0 ? static_cast<uint32_t>(settings.sleepTime) : 1;
  uint32_t now = platTickCount();
  if (rec->resumeTick != 0 && tickBefore(now, rec->resumeTick)) {
    uint32_t left = rec->resumeTick - now;
    if (left < ms) ms = left;
  }
  if (rec->deadlineTick != 0 && tickBefore(now, rec->deadlineTick)) {
    // One past the deadline, so the next step sees it passed.
    uint32_t left = rec->deadlineTick - now + 1;
    if (left < ms) ms = left;
  }
  if (count == 0) {
    platSleep(ms);
    return;
  }
  platWaitSockets(items, count, ms);
}

bool stepFoundNothing(const ChannelRecord* rec) {
  return rec->idleWait[0].mode != 0 || rec->idleWait[1].mode != 0;
}

}  // namespace

int32_t runDriverLoop(ChannelRecord* rec) {
  for (;;) {
    int32_t r = zubDriver(rec->chanIndex);
    if (r <= 0) return r;
    if (r == ZUB_BUSY) {
      // The gate already slept; give other threads their turn.
      platSleep(0);
    } else if (stepFoundNothing(rec)) {
      waitForActivity(rec);
    }
    // After a step that made progress the next one follows at once: a yield
    // per step would cost a system call per 4 KiB of a transfer.
  }
}
