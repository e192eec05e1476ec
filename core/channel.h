// The channel table and the per-channel record: everything the library knows
// about one FTP session.  Plain data, no behaviour.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int32_t MAX_CHANNELS = 32;
constexpr int32_t RING_SIZE = 4096;  // positions 0..4095; 4095 usable

// Bytes received from one socket, waiting to be read.
struct ReceiveRing {
  uint8_t bytes[RING_SIZE + 1];  // position 4096 is never written and stays 0
  uint16_t head;                 // oldest unread byte
  uint16_t tail;                 // where the next received byte goes
  int32_t sock;                  // feeding socket; 0 = none
  int32_t idleCount;             // receive attempts that found nothing
};

// Capacities of the channel's text buffers (slots 1..12 of the block table).
constexpr uint16_t DATA_BUF_CAP = 8192;
// The bulk buffer of downloads and uploads: large pieces cost one system
// call each where dataBuf's 8 KiB took eight.  Made at attach time next to
// the guarded blocks, not one of them (a block holds at most 64 KiB - 1).
constexpr int32_t BULK_BUF_CAP = 65536;
constexpr uint16_t CMD_BUF_CAP = 4096;
constexpr uint16_t RESPONSE_BUF_CAP = 4096;
constexpr uint16_t LOGIN_TEXT_CAP = 64;   // serverName, userName, password
constexpr uint16_t NAME_TEXT_CAP = 255;   // remoteName, localName, serverDir, localDir, userCmd
constexpr uint16_t LOG_LINE_CAP = 4096;
constexpr int32_t REPLY_NOTES_CAP = 255;
constexpr int32_t LOCAL_IP_CAP = 18;
// Longest argument of LIST/NLST: "NLST ", the argument, CR LF and the
// terminator fill the formatter's line exactly.
constexpr int32_t LIST_ARG_MAX = PLAT_FORMAT_MAX - 8;
constexpr int32_t MAX_HOST_ADDRS = 8;
constexpr int32_t CA_FILE_CAP = 255;

// A socket the blocking loop may wait on after a step that found nothing to do.
struct IdleWait {
  int32_t sock;
  int32_t mode;  // PLAT_READABLE or PLAT_WRITABLE; 0 = unused
};

// The state numbers of the record that are no state of the driver's list
// (engine/states.h).
constexpr int32_t STATE_IDLE = 0;        // nextState: nothing to do
constexpr int32_t STATE_NO_STEP = -1;    // state: no step under way, or the error exit taken
constexpr int32_t STATE_NEVER_RUN = -2;  // prevState: no step since the channel was made

struct ChannelRecord {
  ReceiveRing ctrlRing;       // control connection
  ReceiveRing dataRing;       // data connection; idleCount zeroed before RETR
  uint32_t localAddr;         // host order
  uint32_t serverAddr;        // host order
  char* listBuf;              // caller's listing buffer, advanced as pieces are stored
  int32_t listBufSize;        // room left in listBuf
  int32_t listLen;            // listing bytes stored so far
  char* serverName;           // slot 4, 64
  char* userName;             // slot 5, 64
  char* password;             // slot 6, 64
  char* remoteName;           // slot 7, 255: first name of an operation
  char* localName;            // slot 8, 255: second name (after nameSeparator)
  char* cmdBuf;               // slot 2, 4096: command line of the current step
  char* responseBuf;          // slot 3, 4096: last reply line read
  char* replyTextPtr;         // into responseBuf: reply text after the code
  char* dataBuf;              // slot 1, 8192: local paths, listing arguments
  char* bulkBuf;              // BULK_BUF_CAP: the data of downloads and uploads
  char* serverDir;            // slot 9, 255
  char* localDir;             // slot 10, 255
  char* userCmd;              // slot 11, 255
  char* logLine;              // slot 12, 4096: scratch for trace lines
  int32_t getBytes;
  int32_t getBytesTotal;
  int32_t putBytes;
  int32_t putBytesTotal;
  uint32_t resumeTick;        // nothing happens before this tick; 0 = none
  uint32_t deadlineTick;      // time-out after this tick; 0 = none
  int32_t stepCount;          // driver calls that entered a state above 0
  int32_t chanIndex;          // the channel's own number
  int32_t replyCode;          // code of the last reply line
  int32_t localFile;          // the transfer's local file; 0 = none
  int32_t unwritten;          // downloaded bytes held in bulkBuf, not yet in localFile
  int32_t unsentAt;           // upload: the part of bulkBuf read from localFile
  int32_t unsentCount;        //   and not yet taken by the data socket
  int32_t awaitingRoom;       // upload: 1 while the data socket has no room,
  uint32_t roomDeadline;      //   which fails the upload at this tick
  int32_t prevState;          // STATE_NEVER_RUN after attach
  int32_t state;              // STATE_NO_STEP between steps
  // nextState, resumeTick and deadlineTick are written by goState alone
  // (engine/driver.h), dataReadyState by setDataReadyState.
  int32_t nextState;          // STATE_IDLE = idle
  int32_t dataReadyState;     // transfer state to enter once the data connection is ready; STATE_IDLE none
  int32_t lastError;          // socket code of the last error exit
  int32_t logFile;            // trace log; 0 = none
  int32_t ctrlSock;           // control connection; 0 = none
  int32_t dataSock;           // data connection; 0 = none
  int32_t listenSock;         // active-mode listener; 0 = none
  PlatSockAddr ctrlAddr;      // server's control port, then the local endpoint
  PlatSockAddr listenAddr;
  PlatSockAddr dataAddr;
  uint16_t dataPort;
  uint16_t dataPortLow;
  uint16_t dataPortHigh;
  // The resolver's IPv4 addresses (network order) of the last resolution,
  // kept in the record so nothing is allocated or shared.
  uint32_t hostAddrs[MAX_HOST_ADDRS];
  int32_t hostAddrCount;
  char localIpText[LOCAL_IP_CAP];
  int32_t timeStopError;      // driver code when the deadline passes; 0 = -22
  uint32_t nonBlockArg;
  uint16_t ctrlPort;          // 21
  int32_t autoCall;           // 1 blocking use, 0 caller-driven
  int32_t listKind;
  int32_t waitWritable;       // next step first waits for a writable control socket
  int32_t binaryMode;
  int32_t passiveMode;
  int32_t restartEnabled;
  int32_t restartOffset;
  int32_t localFileOffset;
  int32_t nonBlockConnect;
  char replyNotes[REPLY_NOTES_CAP + 1];
  uint8_t portSalt;
  uint8_t listOverflow;
  // Set by a step that found nothing to do: what the blocking loop may wait
  // for before calling the driver again.  Cleared at the start of each step.
  IdleWait idleWait[2];
  // ---- Encrypted sessions and EPSV (settings 31-34, text 26) ----
  int32_t tlsMode;            // 0 plain, 1 explicit (AUTH TLS), 2 implicit
  int32_t tlsVerify;          // 1: certificate and server name are checked
  int32_t dataProtection;     // 'P' data in TLS, 'C' in clear
  int32_t useEpsv;            // 1: EPSV for passive data connections
  int32_t epsvRefused;        // the server refused EPSV: PASV for the session
  int32_t protectionSent;     // PBSZ and PROT done in this session
  int32_t dataFailureSock;    // a failed TLS data connection, while the server's
  int32_t dataFailureCode;    //   reply is awaited (state 927): errorExit's codes
  char caFile[CA_FILE_CAP + 1];
};

// The 32-bit byte counters wrap as their type says; the data is never
// limited by them.
inline void addCount(int32_t* counter, int32_t n) {
  *counter = static_cast<int32_t>(static_cast<uint32_t>(*counter) + static_cast<uint32_t>(n));
}

// ---- Library-wide state of the frame ----
extern uint16_t attachedCount;
extern ChannelRecord* channelTable[MAX_CHANNELS];
// The socket library's description text, kept for the whole attachment.
extern char socketDescription[257];

// The channel check of every exported function: the record of the channel
// named by the low 16 bits of `channel`, or null with *err set to -15 (not
// attached) or -8 (out of range).
ChannelRecord* checkChannel(int32_t channel, int32_t* err);

// The first port of channel n's active-mode range when `count` channels are
// attached and the tick counter reads `tick`; *salt receives the selector
// taken from the tick.  The last port of the range is this + 127.
uint16_t dataPortLowFor(uint32_t tick, uint16_t count, int32_t n, uint8_t* salt);

// Builds channel n's record and buffers (attach).  1, or -5 when the record or
// any of its twelve buffers could not be allocated: such a channel must not
// be used.
int32_t initChannel(int32_t n);
// Gives channel n's record its bulk buffer (attach, once every channel has
// its blocks); 1, or -5.  freeBulkBuffer gives it back (null is fine).
int32_t initBulkBuffer(int32_t n);
void freeBulkBuffer(int32_t n);
