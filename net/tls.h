// TLS on the control and data connections: the one seam between the library
// and a TLS implementation.  net/tls/openssl.cpp implements it with OpenSSL;
// net/tls/none.cpp is the build without TLS (every start fails, settings
// refuse TLS).  Sessions are keyed by socket, so the receive and send paths
// need no channel: a socket without a session passes straight through.
#pragma once

#include <cstdint>

struct ChannelRecord;

enum TlsLink : int32_t { TLS_CONTROL = 0, TLS_DATA = 1 };

// 1 when the build has TLS, else 0.
int32_t tlsAvailable();

// Starts a client session on the channel's control socket or data socket
// (the data session resumes the control connection's).  1, or a negative
// code (-33) with the reason in the trace log.
int32_t tlsBegin(ChannelRecord* rec, TlsLink link);
// One handshake step that never waits: 1 done (version, cipher and, for
// data, resumption traced), 0 not yet (*waitMode = PLAT_READABLE or
// PLAT_WRITABLE, what the socket must become), or -33 / -34 (certificate
// rejected, the reason traced).
int32_t tlsHandshake(ChannelRecord* rec, TlsLink link, int32_t* waitMode);

// platRecvReady and platSend with the same results, through the socket's
// TLS session when it has one.  A session that ends with close_notify reads
// as the peer's close.
int32_t tlsRecvReady(int32_t sock, void* data, int32_t count);
int32_t tlsSend(int32_t sock, const void* data, int32_t count);
// platSendReady with the same results, through the socket's TLS session
// when it has one; there PLAT_NOTHING_READY, and TLS_RECORD_UNDER_WAY when
// part of a record went out (progress, but no byte of data counts as sent
// yet), ask for the same bytes again.
constexpr int32_t TLS_RECORD_UNDER_WAY = -3;
int32_t tlsSendReady(int32_t sock, const void* data, int32_t count);
// Ends the socket's session, if any (close_notify, no wait); called just
// before the socket is closed.
void tlsEnd(int32_t sock);
// Forgets the channel's TLS context and the session kept for reuse (a new
// connection, or the release of the library).
void tlsResetChannel(ChannelRecord* rec);
// How the channel's last data handshake ended: 1 the control connection's
// session was resumed, 0 a new session, -1 none has ended since the
// transfer or its data session began.
int32_t tlsDataSessionResumed(const ChannelRecord* rec);
// A transfer begins: the last one's data handshake says nothing about it.
void tlsTransferBegins(ChannelRecord* rec);
// Forgets the sessions kept for the data connections; the control session
// stays.  The next data connection starts a session of its own (tests use
// it to meet a server that requires reuse).
void tlsForgetKeptSessions(ChannelRecord* rec);
