// The index file of an export ("NAME.index.zbk"): every folder and message
// record of a mailbox, and where each message lies in which data file.
//
//   zbkindex:1:GENERATION:LOGIN
//   root:KIND:ROOTKEY:FULLNAME:EMAIL
//   C:folder:PARENT:DEPTH:MESSAGES:SUBFOLDERS:KEY:NAME
//   M:FOLDER:GENERATION:OFFSET:KEY:LENGTH:CHECKSUM
//
// Fields are separated by single ":" and are never empty; texts are encoded
// with encode_field (lowercase hex), keys and checksums are lowercase hex, so
// no field holds ":" and none ends in an upper-case letter. Only C lines
// begin with "C" or contain "C:", only M lines contain "M:". The login ends
// the header, so the text after its last ":" is the login ("public" for the
// public store); the header is kept short because readers take the login
// from its first 99 characters; the root key is the third field of line 2, and a top-level
// folder's C line carries it as the parent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

struct IndexFolder {
    std::string key;
    std::string parent;
    std::string name;
};

struct IndexMessage {
    std::string key;
    std::string folder;
    std::uint64_t generation = 0; // of the data file that holds the message
    std::uint64_t offset = 0;     // of the message text in that data file
    std::uint64_t length = 0;
    std::string checksum;
};

struct IndexFile {
    std::string login; // "public" for the public store
    bool is_public = false;
    std::uint64_t generation = 1;
    std::string root;
    std::string fullname;
    std::string email;
    std::vector<IndexFolder> folders;
    std::vector<IndexMessage> messages;
};

std::string render_index(const IndexFile &index);

struct ParsedIndex {
    IndexFile index;
    // One text per damaged record line, which was left out.
    std::vector<std::string> problems;
};

// Throws SimError naming `origin` when the header or the root line is
// unusable; damaged record lines are reported and skipped.
ParsedIndex parse_index(std::string_view text, const std::string &origin);

} // namespace zsim
