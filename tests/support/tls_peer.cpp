#include "support/tls_peer.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <thread>

#include "support/host.h"

namespace zubtest {
namespace {

constexpr int kWaitMs = 5000;

// A server context with a self-signed certificate made for the run; the
// tests' clients do not verify it.
SSL_CTX* newServerContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = ctx != nullptr && key != nullptr && cert != nullptr;
  if (ok) {
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    ok = X509_set_pubkey(cert, key) == 1 && X509_sign(cert, key, EVP_sha256()) > 0 &&
         SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  if (ok) return ctx;
  SSL_CTX_free(ctx);
  return nullptr;
}

// The server's handshake on a non-blocking socket; "" or what failed.
std::string acceptHandshake(int fd) {
  SSL_CTX* ctx = newServerContext();
  if (ctx == nullptr) return "no server context";
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  std::string error;
  for (;;) {
    int r = SSL_accept(ssl);
    if (r == 1) break;
    int e = SSL_get_error(ssl, r);
    HostPollFd pf{fd, e == SSL_ERROR_WANT_WRITE ? HOST_POLLOUT : HOST_POLLIN, 0};
    if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) || hostPoll(&pf, 1, kWaitMs) != 1) {
      error = "the handshake failed";
      break;
    }
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  return error;
}

}  // namespace

struct TlsDataPeer::Impl {
  Break when;
  int holdMs = 0;
  int listener = -1;
  uint16_t port = 0;
  std::string error;
  std::thread thread;

  void run() {
    HostPollFd pf{listener, HOST_POLLIN, 0};
    int fd = hostPoll(&pf, 1, kWaitMs) == 1 ? hostAccept(listener) : -1;
    if (fd < 0) {
      error = "no data connection";
      return;
    }
    if (when != Break::BeforeHandshake) {
      error = acceptHandshake(fd);
      if (when == Break::AfterHoldingUnread) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    } else {
      // The client's hello has come: its handshake is under way.
      HostPollFd hello{fd, HOST_POLLIN, 0};
      if (hostPoll(&hello, 1, kWaitMs) != 1) error = "no client hello";
    }
    hostClose(fd, true);  // a reset, no close_notify: the connection breaks
  }
};

TlsDataPeer::TlsDataPeer(Break when, int holdMs) : impl_(std::make_unique<Impl>()) {
  impl_->when = when;
  impl_->holdMs = holdMs;
  impl_->listener = hostListenLoopback(&impl_->port);
  if (impl_->listener < 0) {
    impl_->error = "no listener";
    return;
  }
  impl_->thread = std::thread([this] { impl_->run(); });
}

TlsDataPeer::~TlsDataPeer() {
  waitDone();
  if (impl_->listener >= 0) hostClose(impl_->listener, false);
}

std::string TlsDataPeer::pasvReply() const {
  return "227 Entering Passive Mode (127,0,0,1," + std::to_string(impl_->port >> 8) + "," +
         std::to_string(impl_->port & 0xFF) + ").\r\n";
}

std::string TlsDataPeer::waitDone() {
  if (impl_->thread.joinable()) impl_->thread.join();
  return impl_->error;
}

}  // namespace zubtest
