// The error table: the library's own codes and the socket library's error
// numbers (negated), each with the English text zubErrorText hands out.
#include "core/errors.h"

namespace {

struct ErrorRow {
  int32_t code;
  const char* text;
};

constexpr int32_t ERROR_TABLE_END = 999;

// -29 (local file write failed) deliberately has no row: its text is empty.
constexpr ErrorRow errorTable[] = {
    {-1, "Socket has been closed."},
    {-3, "Already attached."},
    {-4, "Bad status flag passed to zubStatus."},
    {-5, "Cannot allocate memory."},
    {-6, "Cannot comply"},
    {-7, "Cannot create socket."},
    {-8, "Channel out of range."},
    {-9, "Error attempting to connect."},
    {-10, "Invalid socket."},
    {-11, "WINSOCK is currently blocking."},
    {-12, "No host name."},
    {-13, "Cannot find FTP server."},
    {-14, "No available sockaddr structures."},
    {-15, "Must call zubAttach first."},
    {-16, "Illegal chars in server name."},
    {-17, "PASSWORD not specified."},
    {-18, "FTP server returned error."},
    {-19, "SERVER not specified."},
    {-20, "Socket read error."},
    {-21, "Socket write error."},
    {-22, "Socket timed out."},
    {-23, "USER name not specified."},
    {-24, "Must specify 'A' or 'B' for mode."},
    {-25, "Listen error."},
    {-26, "No response on listener socket."},
    {-27, "Timed out waiting for accept."},
    {-28, "Cannot open file."},
    {-30, "Cannot find PASV port."},
    {-31, "LIST/GET/PUT not completed."},
    {-32, "List buffer has overflowed."},
    {-33, "TLS handshake failed."},
    {-34, "Server certificate rejected."},
    {-35, "Server refused AUTH TLS."},
    {-36, "Server refused TLS session reuse."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket descriptor."},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {ERROR_TABLE_END, ""},
};

}  // namespace

const char* errorTextOf(int32_t code) {
  for (const ErrorRow* row = errorTable; row->code != ERROR_TABLE_END; row++) {
    if (row->code == code) return row->text;
  }
  return nullptr;
}
