// The server's end of one TLS data connection, for the tests of encrypted
// transfers beside the scripted server (which speaks in clear): it listens
// on 127.0.0.1, takes one connection on its own thread and breaks it, either
// at once (the client's handshake fails), after a finished handshake (a
// transfer cut off) or, after the handshake, once it has held the
// connection unread for holdMs (an upload the server never takes).  Built
// where OpenSSL is (ZUB_TEST_TLS_PEER).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zubtest {

class TlsDataPeer {
 public:
  enum class Break { BeforeHandshake, AfterHandshake, AfterHoldingUnread };

  explicit TlsDataPeer(Break when, int holdMs = 0);
  ~TlsDataPeer();  // waits for the thread
  TlsDataPeer(const TlsDataPeer&) = delete;
  TlsDataPeer& operator=(const TlsDataPeer&) = delete;

  // The 227 reply that sends a passive client to this peer.
  std::string pasvReply() const;
  // Waits for the peer's part; "" when it went as planned, else what failed.
  std::string waitDone();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zubtest
