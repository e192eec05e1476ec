// The reply reader: lines of the control connection into FTP replies.
#pragma once

#include <cstdint>

struct ChannelRecord;

int32_t readLine(ChannelRecord* rec, char* buf, int32_t size, uint32_t ms);
// The code at the start of text (0 if none); *next is set just past the
// first character that is not a digit (or past the tenth digit).
int32_t parseReplyCode(const char* text, const char** next);
// Same, reading at most len bytes of text.
int32_t parseReplyCodeN(const char* text, int32_t len, const char** next);
// One whole reply: the length of its final line (3 or more); -18 for a line
// with a code of 400 or more; -22 once the step's deadline has passed; 1 when
// no reply can come: the channel has no control socket, or the connection
// ended (the server closed it, or a receive failed) before the reply was
// complete.
int32_t readReply(ChannelRecord* rec);
// readReply for the steps that must tell an ended connection from a reply:
// the same results, except REPLY_CONNECTION_ENDED instead of that 1.
constexpr int32_t REPLY_CONNECTION_ENDED = 0;
int32_t readReplyOrEnd(ChannelRecord* rec);
void flushReplies(ChannelRecord* rec);
