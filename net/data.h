// Data connections: passive connect, active listener, closing the data side.
#pragma once

#include <cstdint>

struct ChannelRecord;

// Both return 1, or the negative code of the failing socket call; the socket
// field (dataSock, listenSock) is still 0 when the socket itself could not
// be created.
int32_t connectPassiveData(ChannelRecord* rec);
int32_t openListener(ChannelRecord* rec);
// Closes the listener and the data socket (with a linger of ms), forgetting
// the data ring's bytes.  The local file is the engine's (closeDataSide).
void closeDataSockets(ChannelRecord* rec, uint32_t ms);

// The data port of a PASV reply line: from its fifth character on, the first
// digit starts six numbers, each a run of digits followed by exactly one
// separator of any kind; the first four (the host) are ignored.  1 with *port
// set; 0 when there is no digit; -1 when the text ends before six numbers,
// a number is empty or above 255, or the port would be 0.
int32_t parsePasvPort(const char* reply, uint16_t* port);
// "PORT a,b,c,d,p1,p2\r\n" for a dotted address and a port, into buf (which
// holds PLAT_FORMAT_MAX bytes); the length of the line.
int32_t formatPortCommand(char* buf, const char* ipText, uint16_t port);
// The port of an EPSV reply line: "(<d><d><d>port<d>)" with any delimiter d
// from the 0x21-0x7E range.  1 with *port set (1-65535); 0 when the line has
// no such part.
int32_t parseEpsvPort(const char* reply, uint16_t* port);
