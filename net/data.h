// Data connections: passive connect, active listener, closing the data side.
#pragma once

#include <cstdint>

struct ChannelRecord;

int32_t connectPassiveData(ChannelRecord* rec);
int32_t openListener(ChannelRecord* rec);
void closeDataSockets(ChannelRecord* rec, uint32_t ms);
