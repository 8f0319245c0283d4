#include "cmd/commands.h"

void FormatPageDump(unsigned, unsigned, const unsigned char*, int, char* buffer, std::size_t size) {
    if (size > 0) buffer[0] = 0;
}
