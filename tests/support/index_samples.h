// Index files as the export tool writes them, for the index, list and
// restore-script tests: ":"-separated fields, line 1 names the user, line 2
// holds the root key in field 3, C lines a folder key in field 7 (parent in
// field 4), M lines a message key in field 5.
#pragma once

#include <string>

namespace arktest {

inline const std::string kAliceRoot = "0a1b2c3d4e5f";

// Two folders directly below the root, one nested folder, two messages.
inline std::string index_text(const std::string &user, const std::string &root = kAliceRoot) {
    return "ZBK1:mailbox:" + user + "\n" +
           "R:root:" + root + ":616c696365\n" +
           "C:f:2:" + root + ":496e626f78:1:aaaaaaaaaaa1:end\n" +
           "C:f:3:aaaaaaaaaaa1:537562:1:aaaaaaaaaaa2:end\n" +
           "M:m:aaaaaaaaaaa1:g1:bbbbbbbbbbb1:0:120:ck\n" +
           "C:f:2:" + root + ":53656e74:1:aaaaaaaaaaa3:end\n" +
           "M:m:aaaaaaaaaaa3:g2:bbbbbbbbbbb2:0:80:ck\n";
}

// The record keys of index_text, in file order.
inline const char *const kIndexKeys[] = {"aaaaaaaaaaa1", "aaaaaaaaaaa2", "bbbbbbbbbbb1", "aaaaaaaaaaa3",
                                          "bbbbbbbbbbb2"};

} // namespace arktest
