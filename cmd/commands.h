// The front end of xelcmd: command table, dispatch and memory page display.
#ifndef CMD_COMMANDS_H
#define CMD_COMMANDS_H

#include <cstddef>

// Runs one command line; returns the process exit status.
int XelcmdMain(int argc, char** argv);

// Formats a memory page as a hexadecimal dump with a character column into
// buffer (cleared first; every append bounded by the space left).
void FormatPageDump(unsigned segment, unsigned offset, const unsigned char* data, int length, char* buffer,
                    std::size_t size);

#endif
