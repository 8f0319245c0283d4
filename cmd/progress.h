/* SPDX-License-Identifier: MIT */
// The progress line of long transfers: one line on standard error, refreshed
// a few times a second, cleared at the end; only when standard error is a
// terminal, so scripts and standard output never see it.
#ifndef CMD_PROGRESS_H
#define CMD_PROGRESS_H

#include "xelbde/xelbde.h"

class ProgressLine {
  public:
    ProgressLine();   // registers with the library when standard error is a terminal
    ~ProgressLine();  // unregisters and clears the line
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

  private:
    static void Report(void* context, const XelbdeProgress* progress);
    void Show(const XelbdeProgress& progress);

    bool active_ = false;
    bool shown_ = false;
    long long startNs_ = 0;
    long long lastNs_ = 0;
};

// Formats the line for a report after elapsedNs (for tests): bytes, blocks,
// rate, and for a known total the percentage and the time left.
int FormatProgressLine(char* out, int size, const XelbdeProgress& progress, long long elapsedNs);

#endif
