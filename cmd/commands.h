/* SPDX-License-Identifier: MIT */
// The front end of xelcmd: command table, dispatch and memory page display.
#ifndef CMD_COMMANDS_H
#define CMD_COMMANDS_H

#include <cstddef>

// Runs one command line (xelcmd bdename command [arguments]); returns the
// process exit status.
int XelcmdMain(int argc, char** argv);

// Prints " XELBDE - (V3.02, Sep 22 2006)\n".
void PrintBanner();

// The temporary file of the commands that show their result on the screen.
inline constexpr char kTempFileName[] = "TMPFILE";
// Deletes TMPFILE, unless it is the log or the log's backup (DEBUG_FILE may
// name it): the records there are not the command's to throw away.
void RemoveTempFile();

// Size of one memory page and of the text it is formatted into.
inline constexpr int kPageSize = 256;
inline constexpr std::size_t kPageDisplaySize = 1920;

// Formats length bytes of memory as a hexadecimal dump with a character
// column into buffer (cleared first; every append bounded by the space left).
// Row labels show the segment and the offset of each row, which starts at
// offset and grows by 16.
void FormatPageDump(unsigned segment, unsigned offset, const unsigned char* data, int length, char* buffer,
                    std::size_t size);

// Shows the page that APDSPPGE left in TMPFILE for the typed segment and page
// texts, then deletes TMPFILE. The command ends with status 0 whatever
// happens here.
void ShowMemoryPage(const char* segmentText, const char* pageText);

#endif
