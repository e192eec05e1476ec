// The TLS seam with OpenSSL 3.  Bytes move through a BIO of our own over the
// platform's socket calls, so a handshake or read never waits: a TLS session
// on a socket is as non-blocking as the ring that reads it.  One context per
// channel (its CA file and verification), one session per socket.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdint>

#include "core/channel.h"
#include "core/trace.h"
#include "net/control.h"
#include "net/tls.h"
#include "platform/platform.h"
#include "zub32.h"

namespace {

// Sessions kept for the data connections to resume, newest last.  A TLS 1.3
// ticket is spent by one resumption (servers that hold them in a cache take
// it back), so several are kept, from the control connection and from every
// data connection; a TLS 1.2 session stays and is resumed again and again.
constexpr int32_t KEPT_SESSIONS = 4;
// What one receive of a TLS connection may take in: four full records.
constexpr size_t READ_BUFFER_BYTES = 4 * (16384 + 2048);

struct TlsChannel {
  SSL_CTX* ctx;
  SSL* ssl[2];                        // TLS_CONTROL, TLS_DATA
  std::atomic<int32_t> sock[2];       // the socket each session runs on; 0 = none
  SSL_SESSION* kept[KEPT_SESSIONS];
  int32_t keptCount;
  int32_t dataResumed;                // tlsDataSessionResumed
};

TlsChannel tlsChannels[MAX_CHANNELS];
// Sessions open in the whole library: while 0, receives and sends skip the
// lookup entirely, so plain FTP pays nothing.
std::atomic<int32_t> openSessions{0};
BIO_METHOD* socketBioMethod = nullptr;
int channelIndexSlot = -1;

// ---- The BIO: platform receives and sends on the socket kept in its data ----

int32_t bioSocket(BIO* bio) { return static_cast<int32_t>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int bioRead(BIO* bio, char* buf, int len) {
  BIO_clear_retry_flags(bio);
  int32_t n = platRecvReady(bioSocket(bio), buf, len);
  if (n == PLAT_NOTHING_READY) {
    BIO_set_retry_read(bio);
    return -1;
  }
  return n < 0 ? -1 : n;
}

// Set while a write must not wait for room (tlsSendReady, and the
// close_notify); recordMoved then tells whether any byte of it went out.
thread_local bool writeNeverWaits = false;
thread_local bool recordMoved = false;

int bioWrite(BIO* bio, const char* buf, int len) {
  BIO_clear_retry_flags(bio);
  if (writeNeverWaits) {
    int32_t n = platSendReady(bioSocket(bio), buf, len);
    if (n == PLAT_NOTHING_READY) {
      BIO_set_retry_write(bio);
      return -1;
    }
    if (n > 0) recordMoved = true;
    return n;
  }
  int32_t n = platSend(bioSocket(bio), buf, len);
  if (n < 0 && platLastError() == PLAT_WSAEWOULDBLOCK) {
    BIO_set_retry_write(bio);
    return -1;
  }
  return n;
}

long bioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

bool prepareLibrary() {
  platLockEnter();
  if (socketBioMethod == nullptr) {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zub socket");
    if (m != nullptr) {
      BIO_meth_set_read(m, bioRead);
      BIO_meth_set_write(m, bioWrite);
      BIO_meth_set_ctrl(m, bioCtrl);
      BIO_meth_set_create(m, bioCreate);
      socketBioMethod = m;
    }
    channelIndexSlot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  }
  platLockLeave();
  return socketBioMethod != nullptr && channelIndexSlot >= 0;
}

// The first queued OpenSSL error as text ("" when none), and the queue emptied.
void lastErrorText(char* out, size_t size) {
  out[0] = '\0';
  unsigned long e = ERR_get_error();
  if (e != 0) ERR_error_string_n(e, out, size);
  ERR_clear_error();
}

// Keeps a new session of the channel (a TLS 1.3 ticket arrives after the
// handshake, with the next record read) for the data connections.
int onNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* ch = static_cast<TlsChannel*>(SSL_get_ex_data(ssl, channelIndexSlot));
  if (ch == nullptr) return 0;
  if (ch->keptCount == KEPT_SESSIONS) {
    SSL_SESSION_free(ch->kept[0]);
    for (int32_t i = 1; i < KEPT_SESSIONS; ++i) ch->kept[i - 1] = ch->kept[i];
    ch->keptCount--;
  }
  ch->kept[ch->keptCount++] = session;
  return 1;  // the reference is ours now
}

// Offers the newest kept session to a data connection's handshake.
void offerKeptSession(TlsChannel* ch, SSL* ssl) {
  if (ch->keptCount == 0) return;
  SSL_SESSION* s = ch->kept[ch->keptCount - 1];
  SSL_set_session(ssl, s);
  if (SSL_SESSION_get_protocol_version(s) >= TLS1_3_VERSION) {
    SSL_SESSION_free(s);
    ch->keptCount--;
  }
}

void forgetKept(TlsChannel* ch) {
  for (int32_t i = 0; i < ch->keptCount; ++i) SSL_SESSION_free(ch->kept[i]);
  ch->keptCount = 0;
}

void freeSession(TlsChannel* ch, int32_t link) {
  if (ch->ssl[link] == nullptr) return;
  SSL_free(ch->ssl[link]);
  ch->ssl[link] = nullptr;
  ch->sock[link].store(0);
  openSessions.fetch_sub(1);
}

// A context for the channel's current settings.
SSL_CTX* newContext(ChannelRecord* rec) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Without read-ahead every record costs two receives (its header, then
  // the rest); with it one receive takes in as many records as are there.
  // Nothing waits in the buffer unseen: every step reads before it waits.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, READ_BUFFER_BYTES);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, onNewSession);
  if (rec->tlsVerify != 0) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    int ok = rec->caFile[0] != '\0' ? SSL_CTX_load_verify_locations(ctx, rec->caFile, nullptr)
                                    : SSL_CTX_set_default_verify_paths(ctx);
    if (ok != 1) {
      char why[256];
      lastErrorText(why, sizeof why);
      traceLine(rec, "TLS: cannot load the CA certificates '%s': %s\r\n", rec->caFile, why);
      SSL_CTX_free(ctx);
      return nullptr;
    }
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  return ctx;
}

TlsChannel* findSession(int32_t sock, int32_t* link) {
  if (sock <= 0 || openSessions.load() == 0) return nullptr;
  for (TlsChannel& ch : tlsChannels) {
    for (int32_t l = 0; l < 2; ++l) {
      if (ch.sock[l].load() == sock) {
        *link = l;
        return &ch;
      }
    }
  }
  return nullptr;
}

const char* linkName(TlsLink link) { return link == TLS_CONTROL ? "control" : "data"; }

}  // namespace

int32_t tlsAvailable() { return 1; }

int32_t tlsBegin(ChannelRecord* rec, TlsLink link) {
  TlsChannel* ch = &tlsChannels[rec->chanIndex];
  int32_t sock = link == TLS_CONTROL ? rec->ctrlSock : rec->dataSock;
  if (sock <= 0 || !prepareLibrary()) return ZUB_E_TLS_HANDSHAKE;
  if (link == TLS_CONTROL) {
    // A new control session: nothing of the last connection is reused.
    tlsResetChannel(rec);
    ch->ctx = newContext(rec);
  } else {
    freeSession(ch, TLS_DATA);
  }
  ch->dataResumed = -1;
  if (ch->ctx == nullptr) return ZUB_E_TLS_HANDSHAKE;
  SSL* ssl = SSL_new(ch->ctx);
  BIO* bio = BIO_new(socketBioMethod);
  if (ssl == nullptr || bio == nullptr) {
    if (ssl != nullptr) SSL_free(ssl);
    if (bio != nullptr) BIO_free(bio);
    return ZUB_E_TLS_HANDSHAKE;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(sock)));
  SSL_set_bio(ssl, bio, bio);
  SSL_set_ex_data(ssl, channelIndexSlot, ch);
  if (rec->tlsVerify != 0) {
    // The name checked is the one the caller gave: a dotted address must be
    // in the certificate as an IP address, a host name as a DNS name.
    int ok = isDottedAddress(rec->serverName) ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), rec->serverName)
                                              : SSL_set1_host(ssl, rec->serverName);
    if (ok != 1) {
      SSL_free(ssl);
      traceLine(rec, "TLS: cannot check the name '%s'\r\n", rec->serverName);
      return ZUB_E_TLS_CERTIFICATE;
    }
  } else {
    traceText(rec, "TLS: certificate verification is off\r\n");
  }
  if (!isDottedAddress(rec->serverName)) SSL_set_tlsext_host_name(ssl, rec->serverName);
  if (link == TLS_DATA) offerKeptSession(ch, ssl);
  ch->ssl[link] = ssl;
  ch->sock[link].store(sock);
  openSessions.fetch_add(1);
  return 1;
}

int32_t tlsHandshake(ChannelRecord* rec, TlsLink link, int32_t* waitMode) {
  TlsChannel* ch = &tlsChannels[rec->chanIndex];
  SSL* ssl = ch->ssl[link];
  if (ssl == nullptr) return ZUB_E_TLS_HANDSHAKE;
  ERR_clear_error();
  int r = SSL_connect(ssl);
  if (r == 1) {
    if (link == TLS_CONTROL) {
      traceLine(rec, "TLS: %s %s on the control connection\r\n", SSL_get_version(ssl), SSL_get_cipher_name(ssl));
    } else {
      ch->dataResumed = SSL_session_reused(ssl) ? 1 : 0;
      traceLine(rec, "TLS: %s %s on the data connection, %s\r\n", SSL_get_version(ssl), SSL_get_cipher_name(ssl),
                ch->dataResumed != 0 ? "session resumed" : "new session");
    }
    return 1;
  }
  int e = SSL_get_error(ssl, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    *waitMode = e == SSL_ERROR_WANT_READ ? PLAT_READABLE : PLAT_WRITABLE;
    return 0;
  }
  char why[256];
  long verify = SSL_get_verify_result(ssl);
  lastErrorText(why, sizeof why);
  if (verify != X509_V_OK) {
    traceLine(rec, "TLS: certificate rejected on the %s connection: %s\r\n", linkName(link),
              X509_verify_cert_error_string(verify));
    return ZUB_E_TLS_CERTIFICATE;
  }
  traceLine(rec, "TLS: handshake failed on the %s connection: %s\r\n", linkName(link),
            why[0] != '\0' ? why : "connection closed");
  return ZUB_E_TLS_HANDSHAKE;
}

int32_t tlsRecvReady(int32_t sock, void* data, int32_t count) {
  int32_t link = 0;
  TlsChannel* ch = findSession(sock, &link);
  if (ch == nullptr) return platRecvReady(sock, data, count);
  if (count <= 0) return 0;
  SSL* ssl = ch->ssl[link];
  ERR_clear_error();
  int r = SSL_read(ssl, data, count);
  if (r > 0) return r;
  switch (SSL_get_error(ssl, r)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return PLAT_NOTHING_READY;
    case SSL_ERROR_ZERO_RETURN:
      return 0;  // close_notify: the peer's orderly end
    default:
      ERR_clear_error();
      platSetLastError(PLAT_WSAECONNABORTED);
      return PLAT_INVALID;
  }
}

namespace {

// One write through the session of sock (or a plain send without one).
// neverWaits: a record the socket has no room for stays with the session;
// PLAT_NOTHING_READY (nothing went out) and TLS_RECORD_UNDER_WAY (part of
// the record went out) ask the caller to repeat the write with the same
// bytes, which it keeps until they count as sent.
int32_t sendThrough(int32_t sock, const void* data, int32_t count, bool neverWaits) {
  int32_t link = 0;
  TlsChannel* ch = findSession(sock, &link);
  if (ch == nullptr) return neverWaits ? platSendReady(sock, data, count) : platSend(sock, data, count);
  if (count <= 0) return 0;
  SSL* ssl = ch->ssl[link];
  ERR_clear_error();
  writeNeverWaits = neverWaits;
  recordMoved = false;
  int r = SSL_write(ssl, data, count);
  writeNeverWaits = false;
  if (r > 0) return r;
  int e = SSL_get_error(ssl, r);
  ERR_clear_error();
  if (neverWaits && e == SSL_ERROR_WANT_WRITE) return recordMoved ? TLS_RECORD_UNDER_WAY : PLAT_NOTHING_READY;
  platSetLastError(e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ ? PLAT_WSAEWOULDBLOCK
                                                                          : PLAT_WSAECONNABORTED);
  return PLAT_INVALID;
}

}  // namespace

int32_t tlsSend(int32_t sock, const void* data, int32_t count) { return sendThrough(sock, data, count, false); }

int32_t tlsSendReady(int32_t sock, const void* data, int32_t count) { return sendThrough(sock, data, count, true); }

void tlsEnd(int32_t sock) {
  int32_t link = 0;
  TlsChannel* ch = findSession(sock, &link);
  if (ch == nullptr) return;
  // The close_notify tells a server that an upload ended here and was not
  // cut off; its answer is not awaited.
  SSL* ssl = ch->ssl[link];
  if (SSL_is_init_finished(ssl)) {
    // A ticket the server sent on an upload's connection is still unread:
    // one read that never waits takes it in for the next data connection.
    char scratch[256];
    if (link == TLS_DATA) SSL_read(ssl, scratch, static_cast<int>(sizeof scratch));
    // Best effort: a server that has stopped reading must not hold the close.
    writeNeverWaits = true;
    SSL_shutdown(ssl);
    writeNeverWaits = false;
  }
  ERR_clear_error();
  freeSession(ch, link);
}

void tlsResetChannel(ChannelRecord* rec) {
  TlsChannel* ch = &tlsChannels[rec->chanIndex];
  freeSession(ch, TLS_DATA);
  freeSession(ch, TLS_CONTROL);
  forgetKept(ch);
  ch->dataResumed = -1;
  if (ch->ctx != nullptr) SSL_CTX_free(ch->ctx);
  ch->ctx = nullptr;
}

int32_t tlsDataSessionResumed(const ChannelRecord* rec) { return tlsChannels[rec->chanIndex].dataResumed; }

void tlsForgetKeptSessions(ChannelRecord* rec) { forgetKept(&tlsChannels[rec->chanIndex]); }

void tlsTransferBegins(ChannelRecord* rec) { tlsChannels[rec->chanIndex].dataResumed = -1; }
