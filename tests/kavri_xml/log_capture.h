// Test helper: a log callout that records every message, and the library
// initialised with OpenSSL's SHA-256 and that callout.
#pragma once

#include "vexa_xml.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>
#include <utility>
#include <vector>

namespace kavri_test {

inline std::vector<std::pair<int, std::string>>& captured_log()
{
    static std::vector<std::pair<int, std::string>> lines;
    return lines;
}

inline void capture_log(int level, const char* text)
{
    captured_log().emplace_back(level, text);
}

inline sVEXA_XML_CALLOUTS openssl_callouts(void (*log)(int, const char*) = capture_log)
{
    return sVEXA_XML_CALLOUTS{SHA256_Init, SHA256_Update, SHA256_Final, log};
}

// True when some captured line equals text exactly.
inline bool logged(const std::string& text)
{
    for (const auto& line : captured_log())
        if (line.second == text)
            return true;
    return false;
}

inline std::string all_log()
{
    std::string s;
    for (const auto& line : captured_log())
        s += std::to_string(line.first) + " " + line.second + "\n";
    return s;
}

// Initialises the library for each test and tears it down afterwards.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const sVEXA_XML_CALLOUTS callouts = openssl_callouts();
        vexa_xml_init(&callouts);
        captured_log().clear();
    }
    void TearDown() override
    {
        vexa_xml_teardown();
        captured_log().clear();
    }
};

}  // namespace kavri_test
