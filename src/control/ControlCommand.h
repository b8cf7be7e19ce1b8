// A broker's command document ("<kavri-sg><command><param>value</param>...")
// parsed into the command name and its parameters.
//
// Threads: a plain value; parsed on the control event-loop thread.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace vexa {

struct ControlCommand {
    // The parse buffer of the input framing: a document never exceeds it.
    static constexpr std::size_t MAX_DOCUMENT = 4096;

    struct Parameter {
        std::string name;
        std::string value;
        bool duplicate = false;  // a later occurrence, ignored
    };

    std::string name;
    std::vector<Parameter> parameters;         // document order, duplicates kept
    std::map<std::string, std::string> params;  // first occurrence wins

    // Parses the document's bytes (references decoded, declaration and
    // comments skipped). Throws std::exception: the parser's syntax error,
    // "failed to find kavri-sg XML tag", "failed to find command XML tag",
    // or "number of received bytes exceeds size of parsing buffer".
    static ControlCommand parse(const char* data, std::size_t size);
};

}  // namespace vexa
