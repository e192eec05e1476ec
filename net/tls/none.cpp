// The TLS seam in a build without TLS: settings refuse TLS, so nothing here
// is reached but the plain receive and send.
#include "net/tls.h"

#include "platform/platform.h"
#include "zub32.h"

int32_t tlsAvailable() { return 0; }
int32_t tlsBegin(ChannelRecord*, TlsLink) { return ZUB_E_TLS_HANDSHAKE; }
int32_t tlsHandshake(ChannelRecord*, TlsLink, int32_t*) { return ZUB_E_TLS_HANDSHAKE; }
int32_t tlsRecvReady(int32_t sock, void* data, int32_t count) { return platRecvReady(sock, data, count); }
int32_t tlsSend(int32_t sock, const void* data, int32_t count) { return platSend(sock, data, count); }
int32_t tlsSendReady(int32_t sock, const void* data, int32_t count) { return platSendReady(sock, data, count); }
void tlsEnd(int32_t) {}
void tlsResetChannel(ChannelRecord*) {}
int32_t tlsDataSessionResumed(const ChannelRecord*) { return -1; }
void tlsForgetKeptSessions(ChannelRecord*) {}
void tlsTransferBegins(ChannelRecord*) {}
