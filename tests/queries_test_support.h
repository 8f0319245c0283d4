/* SPDX-License-Identifier: MIT */
// Helpers of the query and clock tests: the records of xelbde.log and long
// replies of the terminal program.
#ifndef TESTS_QUERIES_TEST_SUPPORT_H
#define TESTS_QUERIES_TEST_SUPPORT_H

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/peer.h"
#include "tests/support/testing.h"

namespace query_tests {

struct Record {
    std::string function, level, rc, errnum, text, text2;
};

// The records of xelbde.log in the test's directory, optionally only those
// of one level ("0100", "0001").
inline std::vector<Record> LogRecords(std::string_view level = {}) {
    std::vector<Record> records;
    std::istringstream in(testing_support::ReadFile("xelbde.log"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int i = 0; i < 7; ++i) {
            std::size_t end = line.find(';', start);
            if (end == std::string::npos) break;
            fields.push_back(line.substr(start, end - start));
            start = end + 1;
        }
        if (fields.size() != 7) continue;
        fields.push_back(line.substr(start));
        Record r{fields[2], fields[3], fields[4], fields[5], fields[6], fields[7]};
        if (level.empty() || r.level == level) records.push_back(r);
    }
    return records;
}

// A "00" (or other status) reply with bytes placed at offsets.
inline std::string LongReplyWith(std::string_view status, std::size_t offset = 0, std::string_view bytes = {}) {
    std::string reply = testing_support::LongReply(status);
    testing_support::Put(reply, offset, bytes);
    return reply;
}

// A reply that fails the long transaction: the request marker where the
// reply marker belongs.
inline std::string BadMarkerReply() {
    std::string reply = testing_support::LongReply("00");
    reply[1917] = '\xCA';
    reply[1918] = '\xCE';
    return reply;
}

}  // namespace query_tests

#endif
