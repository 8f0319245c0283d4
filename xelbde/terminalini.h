/* SPDX-License-Identifier: MIT */
// terminal.ini as the library reads it: the fixed-width entry of one
// section and the reader that turns the file's bytes into the table of
// entries. The reader only reads: it knows nothing of the library's
// process-wide table (connection.cpp loads that) and is what xelfleet uses
// to list the terminals of a file.
#ifndef XELBDE_TERMINALINI_H
#define XELBDE_TERMINALINI_H

#include <array>
#include <cstddef>
#include <string_view>

namespace xelbde {

// One section. Every field is fixed-width without terminator; characters
// not given are zero bytes.
struct TerminalEntry {
    char name[10];
    char klasse[4];
    char ueberhang[3];
    char ip[15];
    char vorwahl[10];
    char nummer[15];
    char durchwahl[5];
    char terminalid[5];
};
inline constexpr int kTerminalTableRows = 512;
// The sections in file order; the table ends at the first row whose name
// is empty, or after row 512.
using TerminalRows = std::array<TerminalEntry, kTerminalTableRows>;

// Reads the file's bytes in pieces of any size (a line may straddle two),
// applying the reading rules line by line:
// - lines end at LF (a CR before it is dropped) and are read in pieces of
//   at most 256 characters; Ctrl-Z ends the line and the file;
// - leading and trailing blanks and tabs go; ";" starts a comment;
// - "[NAME]" starts the next entry (its first 10 characters); a line that
//   begins with "[" but is no such header (no "]", a name of 81 or more
//   characters, "=" in the name) takes no row, and the key lines after it
//   change nothing until the next header; with 512 entries the next header
//   ends the reading;
// - "KEY = VALUE": the key compared without regard to case over the
//   keyword's length, the value up to a blank, tab or "="; a value replaces
//   the whole field (cut to its width), an empty one changes nothing except
//   UEBERHANG (000); a key or value of 81 or more characters is ignored; a
//   key line before the first header ends the reading.
class TerminalIniReader {
  public:
    // Reads into table, which it clears first.
    explicit TerminalIniReader(TerminalRows& table) : table_(table) { table_.fill(TerminalEntry{}); }
    // False once the reading has ended (the rest of the file is ignored).
    bool Feed(std::string_view bytes);
    // End of the file: a last line without line end still counts.
    void Finish();

  private:
    enum class LineResult { kGoOn, kStop };
    void Put(char c);
    void Append(char c);
    void EndLine();
    LineResult ApplyLine(char* line);
    LineResult StartEntry(std::string_view name);
    LineResult ApplyKeyLine(const char* line);

    static constexpr int kLineMax = 256;
    TerminalRows& table_;
    char line_[kLineMax + 1] = {};
    int length_ = 0;
    bool pendingCr_ = false;
    bool stopped_ = false;
    int entries_ = 0;
    bool inSection_ = false;          // a header, valid or not, came before
    TerminalEntry* current_ = nullptr;  // the entry keys go to; none after a broken header
};

// The whole file at once.
TerminalRows ReadTerminalIni(std::string_view bytes);

}  // namespace xelbde

#endif
