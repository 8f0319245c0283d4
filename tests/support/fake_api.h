/* SPDX-License-Identifier: MIT */
// Recording double of the terminal API for the front-end tests: every API
// function records its name and arguments, writes the return code scripted
// for it (default "00") and fills its output areas and output file from the
// script. RunXelcmd runs the whole front end on a word list and captures its
// standard output.
#ifndef TESTS_SUPPORT_FAKE_API_H
#define TESTS_SUPPORT_FAKE_API_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cmd/commands.h"
#include "tests/support/testing.h"

namespace fake_api {

// One API call as the double saw it. Text arguments are recorded as the
// library would read them (terminated texts; the 12-character time and the
// one-character format of APSCL00B by their width); nullopt stands for NULL.
struct Call {
    std::string function;
    std::vector<std::optional<std::string>> texts;
    std::vector<std::uint32_t> numbers;  // by-value arguments (APDMTVER length, APSYNHST MaxDiff)
};

const std::vector<Call>& Calls();
void ClearCalls();
std::vector<std::string> CallNames();
// The one call of the given function; fails the test when there is none or several.
const Call& OnlyCall(const std::string& function);

// Return code the function writes into its return-code field (two digits).
void SetReturnCode(const std::string& function, int code);
// Result of XelbdeDisplayLog.
void SetDisplayLogResult(int result);

// Output areas. Each is written when the function is called, as far as the
// area the caller gave reaches (APDMTVER: up to its length, no terminator added).
void SetVersion(std::string_view text);         // APDMTVER
void SetType(std::string_view tenCharacters);   // APTYP01B
void SetClock(std::string_view twelveCharacters, char format, char radio);  // APRTVCLK
void SetStatus(unsigned char first, unsigned char second);                  // APRST00B

// Content the function writes into its output file (APDIR00B, APRDRTYP,
// APDSPPGE, XelbdeDisplayLog), also when it reports a failure; no file is
// written while none is set.
void SetOutputContent(const std::string& function, std::string_view content);

struct RunResult {
    int status = 0;
    std::string out;
};

// Runs XelcmdMain with "xelcmd" and the given words. Each word lives in a
// heap block of exactly its size, so a read past its end is caught by the
// address sanitizer.
inline RunResult RunXelcmd(const std::vector<std::string>& words) {
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    auto add = [&](const std::string& word) {
        storage.push_back(std::make_unique<char[]>(word.size() + 1));
        std::memcpy(storage.back().get(), word.c_str(), word.size() + 1);
        argv.push_back(storage.back().get());
    };
    add("xelcmd");
    for (const auto& word : words) add(word);
    argv.push_back(nullptr);
    testing_support::StdoutCapture capture;
    RunResult result;
    result.status = XelcmdMain(static_cast<int>(argv.size() - 1), argv.data());
    result.out = capture.Take();
    return result;
}

}  // namespace fake_api

#endif
