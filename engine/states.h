// The one list of driver states: number and handler, by group.  The dispatch
// of the driver is generated from it; each group's handlers live in their
// own file (session_states.cpp, transfer_states.cpp, command_states.cpp,
// data_states.cpp, tls_states.cpp, epsv_states.cpp).
#pragma once

#include <cstdint>

#include "core/channel.h"

#define ZUB_SESSION_STATES(X)   \
  X(101, startConnection)       \
  X(102, awaitConnected)        \
  X(103, readGreeting)          \
  X(104, sendUser)              \
  X(105, readUserReply)         \
  X(106, sendPass)              \
  X(107, readPassReply)         \
  X(220, sendQuit)              \
  X(221, readQuitReply)         \
  X(240, sendNoop)              \
  X(241, readNoopReply)

#define ZUB_TRANSFER_STATES(X)  \
  X(301, startDownload)         \
  X(302, prepareRetrieve)       \
  X(303, readRestReply)         \
  X(304, sendRetr)              \
  X(305, openDownloadFile)      \
  X(307, receiveFileData)       \
  X(308, finishDownload)        \
  X(350, readTransferReply)     \
  X(401, startUpload)           \
  X(403, sendStore)             \
  X(404, readStoreReply)        \
  X(407, sendFileBlock)         \
  X(408, finishUpload)          \
  X(801, startListing)          \
  X(804, sendListCommand)       \
  X(805, readListReply)         \
  X(807, receiveListData)       \
  X(808, finishListing)

#define ZUB_COMMAND_STATES(X)   \
  X(501, sendCwd)               \
  X(502, readCwdReply)          \
  X(521, sendPwd)               \
  X(522, readPwdReply)          \
  X(541, sendDele)              \
  X(542, readDeleReply)         \
  X(601, sendRmd)               \
  X(602, readRmdReply)          \
  X(610, sendMkd)               \
  X(611, readMkdReply)          \
  X(701, sendType)              \
  X(702, readTypeReply)         \
  X(750, sendUserCommand)       \
  X(751, readUserCommandReply)

#define ZUB_DATA_STATES(X)      \
  X(900, sendPasv)              \
  X(901, readPasvReply)         \
  X(902, awaitPassiveConnected) \
  X(910, sendPort)              \
  X(911, readPortReply)         \
  X(920, awaitDataConnection)   \
  X(921, acceptDataConnection)

// Encrypted sessions (our addition): AUTH TLS and the control handshake,
// PBSZ and PROT, the data connection's handshake; and EPSV.
#define ZUB_TLS_STATES(X)       \
  X(110, sendAuthTls)           \
  X(111, readAuthReply)         \
  X(112, startControlTls)       \
  X(113, controlHandshake)      \
  X(120, sendPbsz)              \
  X(121, readPbszReply)         \
  X(122, sendProt)              \
  X(123, readProtReply)         \
  X(925, startDataTls)          \
  X(926, dataHandshake)         \
  X(927, readDataFailureReply)

#define ZUB_EPSV_STATES(X)      \
  X(930, sendEpsv)              \
  X(931, readEpsvReply)

#define ZUB_ALL_STATES(X) \
  ZUB_SESSION_STATES(X)   \
  ZUB_TRANSFER_STATES(X)  \
  ZUB_COMMAND_STATES(X)   \
  ZUB_DATA_STATES(X)      \
  ZUB_TLS_STATES(X)       \
  ZUB_EPSV_STATES(X)

#define ZUB_DECLARE_STATE(number, name) int32_t name(ChannelRecord* rec, uint32_t now);
ZUB_ALL_STATES(ZUB_DECLARE_STATE)
#undef ZUB_DECLARE_STATE

// The states by name, ST_ and the handler's name, with the list's numbers
// (they are what the trace log shows).  ST_idle is the channel with nothing
// to do, the one next state the list has no handler for.  The setters of
// the next state take a StateId only, so a bare number does not compile.
enum StateId : int32_t {
  ST_idle = STATE_IDLE,
#define ZUB_STATE_ID(number, name) ST_##name = number,
  ZUB_ALL_STATES(ZUB_STATE_ID)
#undef ZUB_STATE_ID
};

namespace stateList {

// Every listed number once, and none of them a number the record uses
// outside the list (idle, between steps, never run).
constexpr int32_t numbers[] = {
#define ZUB_STATE_NUMBER(number, name) number,
    ZUB_ALL_STATES(ZUB_STATE_NUMBER)
#undef ZUB_STATE_NUMBER
};

constexpr bool numbersDistinct() {
  constexpr int32_t count = static_cast<int32_t>(sizeof numbers / sizeof numbers[0]);
  for (int32_t i = 0; i < count; ++i) {
    if (numbers[i] <= STATE_IDLE) return false;
    for (int32_t j = i + 1; j < count; ++j) {
      if (numbers[i] == numbers[j]) return false;
    }
  }
  return true;
}

static_assert(numbersDistinct(), "every state of the list needs its own number above 0");

}  // namespace stateList
