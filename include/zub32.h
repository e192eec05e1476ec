/*
 * zub32.h - the public interface of the ZUB32 FTP client library.
 *
 * Every function returns a signed 32-bit integer: negative values are error
 * codes (ZUB_E_* below, or a socket error number negated), anything else is a
 * count, a value, a handle, 0 or 1.  A channel argument is a 32-bit integer of
 * which only the low 16 bits count.  Texts are 8-bit and NUL-terminated.
 */
#ifndef ZUB32_H
#define ZUB32_H

#include <stdint.h>

#if defined(_WIN32)
#define ZUB_API __stdcall
#else
#define ZUB_API
#endif

#if defined(_WIN32)
#define ZUB_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define ZUB_EXPORT __attribute__((visibility("default")))
#else
#define ZUB_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Error codes of the library (socket failures are -10004 and below). ---- */
#define ZUB_E_SOCKET_CLOSED      (-1)
#define ZUB_E_ALREADY_ATTACHED   (-3)
#define ZUB_E_BAD_STATUS_FLAG    (-4)
#define ZUB_E_NO_MEMORY          (-5)
#define ZUB_E_CANNOT_COMPLY      (-6)
#define ZUB_E_CANNOT_CREATE_SOCK (-7)
#define ZUB_E_CHANNEL_RANGE      (-8)
#define ZUB_E_CONNECT            (-9)
#define ZUB_E_INVALID_SOCKET     (-10)
#define ZUB_E_WINSOCK_BLOCKING   (-11)
#define ZUB_E_NO_HOST_NAME       (-12)
#define ZUB_E_NO_SERVER          (-13)
#define ZUB_E_NO_SOCKADDR        (-14)
#define ZUB_E_NOT_ATTACHED       (-15)
#define ZUB_E_BAD_SERVER_NAME    (-16)
#define ZUB_E_NO_PASSWORD        (-17)
#define ZUB_E_SERVER_ERROR       (-18)
#define ZUB_E_NO_SERVER_NAME     (-19)
#define ZUB_E_READ               (-20)
#define ZUB_E_WRITE              (-21)
#define ZUB_E_TIMEOUT            (-22)
#define ZUB_E_NO_USER            (-23)
#define ZUB_E_BAD_MODE           (-24)
#define ZUB_E_LISTEN             (-25)
#define ZUB_E_NO_LISTEN_RESPONSE (-26)
#define ZUB_E_ACCEPT_TIMEOUT     (-27)
#define ZUB_E_CANNOT_OPEN_FILE   (-28)
#define ZUB_E_FILE_WRITE         (-29)
#define ZUB_E_NO_PASV_PORT       (-30)
#define ZUB_E_NOT_COMPLETED      (-31)
#define ZUB_E_LIST_OVERFLOW      (-32)
/* Our addition: encrypted sessions (see ZUB_SET_TLS). */
#define ZUB_E_TLS_HANDSHAKE      (-33) /* TLS handshake failed */
#define ZUB_E_TLS_CERTIFICATE    (-34) /* server certificate rejected; the reason is in the trace log */
#define ZUB_E_TLS_REFUSED        (-35) /* server refused AUTH TLS; nothing more was sent */
#define ZUB_E_TLS_REUSE          (-36) /* server refused TLS session reuse on a data connection */
/* A null text or buffer argument where one is required (see each function). */
#define ZUB_E_NULL_ARGUMENT      ZUB_E_CANNOT_COMPLY

/* zubDriver's result while the channel waits: call again. */
#define ZUB_BUSY 9999

/* ---- Setting codes of zubSetInteger (times in milliseconds). ---- */
#define ZUB_SET_CONNECT_TIMEOUT   1
#define ZUB_SET_REPLY_DELAY       2
#define ZUB_SET_REPLY_TIMEOUT     3
#define ZUB_SET_SEND_DELAY        4
#define ZUB_SET_SEND_TIMEOUT      5
#define ZUB_SET_AUTO_CALL         6
#define ZUB_SET_SLEEP_TIME        8
#define ZUB_SET_CTRL_PORT         9
#define ZUB_SET_CLOSE_DELAY      10
#define ZUB_SET_BLOCK_SIZE       11
#define ZUB_SET_PASSIVE          12
#define ZUB_SET_DATA_TIMEOUT     13
#define ZUB_SET_HOST_ADDR_INDEX  14
#define ZUB_SET_RESTART          15
#define ZUB_SET_DATA_PORT        16
#define ZUB_SET_NAME_SEPARATOR   17
#define ZUB_SET_RESTART_OFFSET   18
#define ZUB_SET_LOCAL_OFFSET     19
#define ZUB_SET_LINE_TIMEOUT     22
#define ZUB_SET_BLOCKING_CONNECT 23
/* Our addition, library-wide, initially 1: the fixed pauses (the wait after PASS, the lingers after closing
 * a socket, spent holding the library's lock). 0 drops them for servers that need no such waits (a socket
 * is then closed gracefully at once); any other value is stored as 1. The result is the value passed. */
#define ZUB_SET_PAUSES           30
/* Our addition, per channel, read at the next zubConnect (codes fixed for bindings):
 *  31 ZUB_SET_TLS: 0 plain FTP (initial), 1 explicit (AUTH TLS after the greeting; the connection is
 *     closed before USER when the server refuses), 2 implicit (TLS from the first byte; set port 990
 *     with ZUB_SET_CTRL_PORT).  PBSZ 0 and PROT go out before the first data connection.
 *  32 ZUB_SET_TLS_VERIFY: 1 (initial) checks the server certificate against the system CA store (or
 *     ZUB_STR_CA_FILE) and the server name given to zubConnect; 0 turns that off (test servers only;
 *     every such connection says so in the trace log).
 *  33 ZUB_SET_DATA_PROTECTION: 'P' (initial) data connections in TLS, each resuming the control
 *     connection's session; 'C' data in clear.
 *  34 ZUB_SET_EPSV: 1 passive connections use EPSV (PASV for the rest of the session when the server
 *     answers 500 or 502); 0 (initial) PASV.
 * They return the value stored, or -1 for a value out of range.  In a build without TLS (the Windows
 * module, for now) ZUB_SET_TLS 1 and 2, every value of 32 and 33 and ZUB_STR_CA_FILE return -1;
 * EPSV needs no TLS. */
#define ZUB_SET_TLS              31
#define ZUB_SET_TLS_VERIFY       32
#define ZUB_SET_DATA_PROTECTION  33
#define ZUB_SET_EPSV             34

/* ---- Codes of zubSetString. ---- */
#define ZUB_STR_OPEN_LOG   20
#define ZUB_STR_WRITE_LOG  21
/* Our addition: a PEM file of CA certificates to trust instead of the system store ("" = the
 * system store); its length, or -1 when the path is longer than 255 characters or the build has no TLS. */
#define ZUB_STR_CA_FILE    26

/* ---- Query codes of zubGetInteger. ---- */
#define ZUB_GET_STEP_COUNT       2
#define ZUB_GET_REPLY_CODE       3
#define ZUB_GET_LAST_ERROR       4
#define ZUB_GET_BYTES            10
#define ZUB_GET_BYTES_TOTAL      11
#define ZUB_PUT_BYTES            12
#define ZUB_PUT_BYTES_TOTAL      13
#define ZUB_GET_CTRL_SOCKET      14
#define ZUB_GET_CTRL_STATUS      15
#define ZUB_GET_VERSION          20
#define ZUB_GET_BUILD            21
#define ZUB_GET_DATA_IDLE_COUNT  25
#define ZUB_GET_PORT_SALT        2000

/* ---- Query codes of zubGetString. ---- */
#define ZUB_STR_LAST_REPLY   18
#define ZUB_STR_SERVER_IP    19
#define ZUB_STR_COUNT_LINES  22
#define ZUB_STR_LOCAL_IP     23
#define ZUB_STR_REPLY_NOTES  24

/* ---- Listing kinds of zubGetList. ---- */
#define ZUB_LIST      0  /* "LIST" */
#define ZUB_NLST      1  /* "NLST" */
#define ZUB_LIST_ARG  2  /* "LIST <text in the buffer>" */
#define ZUB_NLST_ARG  3  /* "NLST <text in the buffer>" */

/* ---- Library frame ---- */

/** Attaches the library with `channels` (0..32) channels; 1, -3 if attached, -8 if above 32 or negative,
 *  -5 if memory is short (nothing stays attached), or a socket-library error negated. */
ZUB_EXPORT int32_t ZUB_API zubAttach(int32_t channels, int32_t reserved);
/** Stops networking and frees every channel; always 1. Close the channels first. */
ZUB_EXPORT int32_t ZUB_API zubRelease(void);
/** Copies the English text of `code` into `buffer` (size bytes, terminator included), cut to fit; for -18 and
 *  -9 a blank and the server's last reply line follow. The count stored (0 and an empty text for a code
 *  without text); 0 and nothing written for a size below 1; ZUB_E_NULL_ARGUMENT for a null buffer. */
ZUB_EXPORT int32_t ZUB_API zubErrorText(int32_t channel, int32_t code, char *buffer, int32_t size);
/** Sets a numbered setting (ZUB_SET_*); the value passed (codes 6, 8, 10, 11 and 14: the value kept after their
 *  mask or clamp), or -1 for an unknown code. */
ZUB_EXPORT int32_t ZUB_API zubSetInteger(int32_t channel, int32_t code, int32_t value);
/** Code 20 creates the channel's trace log file (its handle, or -1); code 21 writes the text and CR LF to it
 *  (the log's handle, 0 if none is open); other codes -1. */
ZUB_EXPORT int32_t ZUB_API zubSetString(int32_t channel, int32_t code, const char *text);
/** Writes "*** zubDebug" to the channel's trace log; 1. The other arguments are ignored. */
ZUB_EXPORT int32_t ZUB_API zubDebug(int32_t channel, int32_t a, int32_t b, int32_t c);
/** Returns a numbered counter or value of the channel (ZUB_GET_*); -1 for an unknown code. */
ZUB_EXPORT int32_t ZUB_API zubGetInteger(int32_t channel, int32_t code);
/** Copies a numbered text of the channel (ZUB_STR_*) into `buffer`, which holds size + 1 bytes; code 22 counts
 *  the LFs of the text in `buffer`; an unknown code stores "?" and gives 0; a null buffer ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubGetString(int32_t channel, int32_t code, char *buffer, int32_t size);

/* ---- Driver ---- */

/** Runs one step of the channel: 0 done/idle, 9999 waiting, a state number, or an error code. */
ZUB_EXPORT int32_t ZUB_API zubDriver(int32_t channel);

/* ---- Session ---- */

/** Connects to `server` (host name or dotted IPv4) and logs in; 0 or an error. Null texts: -19, -23, -17. */
ZUB_EXPORT int32_t ZUB_API zubConnect(int32_t channel, const char *server, const char *user, const char *password);
/** Sends QUIT; in blocking use also closes the control socket and the trace log; 0 or an error. */
ZUB_EXPORT int32_t ZUB_API zubClose(int32_t channel);
/** Sends NOOP and reads its reply; 0 or an error. */
ZUB_EXPORT int32_t ZUB_API zubHello(int32_t channel);
/** Makes the channel idle and closes its data side and local file; 1. Nothing is sent. */
ZUB_EXPORT int32_t ZUB_API zubAbort(int32_t channel);

/* ---- Transfers ---- */

/** Downloads "server[:local]" into the local directory; 0 or an error. A null text gives ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubGetFile(int32_t channel, const char *names);
/** Uploads "local[:server]"; 0, -28 if the local file cannot be opened, or an error. Null text: ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubPutFile(int32_t channel, const char *names);
/** Fetches a listing (ZUB_LIST...) into `buffer` of `capacity` bytes; the length stored, -32 on overflow. Null buffer: ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubGetList(int32_t channel, int32_t kind, char *buffer, int32_t capacity);
/** Sets the transfer type: 'A' (TYPE A) or 'B' (TYPE I); 0, -24 for another character. */
ZUB_EXPORT int32_t ZUB_API zubSetMode(int32_t channel, int32_t mode);

/* ---- Server directories and commands ---- */

/** Changes the server directory (CWD); 0 or an error. Null text: ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubSetServerDir(int32_t channel, const char *dir);
/** Asks the server directory (PWD) into `buffer` (capacity + 1 bytes); its full length or an error. */
ZUB_EXPORT int32_t ZUB_API zubGetServerDir(int32_t channel, char *buffer, int32_t capacity);
/** Deletes a server file (DELE); 0 or an error. Null text: ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubDelFile(int32_t channel, const char *name);
/** Creates a server directory (MKD); 0 or an error. Null text: ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubMakeServerDir(int32_t channel, const char *name);
/** Removes a server directory (RMD); 0 or an error. Null text: ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubDelServerDir(int32_t channel, const char *name);
/** Sends one command line of the caller's (CR LF is added); 0, -18 for a reply of 400 or more. Null text: ZUB_E_NULL_ARGUMENT. */
ZUB_EXPORT int32_t ZUB_API zubCommand(int32_t channel, const char *text);

/* ---- Local directory ---- */

/** Sets the directory local files are opened in; 0, or -6 if no file can be created there. */
ZUB_EXPORT int32_t ZUB_API zubSetLocalDir(int32_t channel, const char *dir);
/** Copies the local directory into `buffer` (capacity + 1 bytes); the count stored. */
ZUB_EXPORT int32_t ZUB_API zubGetLocalDir(int32_t channel, char *buffer, int32_t capacity);

/* ---- Listing utilities (no channel needed) ---- */

/** Copies line `line`, field `field` of `text` into `out` (capacity + 1 bytes); the count, 0 if none. */
ZUB_EXPORT int32_t ZUB_API zubExtract(const char *text, int32_t line, int32_t field, char *out, int32_t capacity);
/** The value of the first all-digit field among fields first..last-1 of line n of the text, n being its
 *  count of LFs (the last line of a listing whose lines end in CR LF); -1 if none. */
ZUB_EXPORT int32_t ZUB_API zubFileLength(const char *text, int32_t first, int32_t last);
/** Finds the next line at or after `start` matching `pattern` ('*', '?'; exact 0 folds ASCII case) and
 *  copies it into `out` (capacity bytes, terminator included); the offset after it, 0 if none. */
ZUB_EXPORT int32_t ZUB_API zubMatchFile(const char *buffer, int32_t start, char *out, int32_t capacity,
                                        const char *pattern, int32_t exact);

#ifdef __cplusplus
}
#endif

#endif /* ZUB32_H */
