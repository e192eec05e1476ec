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
int32_t readReply(ChannelRecord* rec);
void flushReplies(ChannelRecord* rec);
