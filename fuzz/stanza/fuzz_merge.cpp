// Both merges with target and source from the input (split at the first
// 0xFF byte): no throw, no crash, never a text over the caller's buffer.
#include "MergeXML.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\xff');
    const std::string target = input.substr(0, cut);
    const std::string source = cut == std::string::npos ? std::string() : input.substr(cut + 1);
    for (int which = 0; which < 2; ++which) {
        std::string out = "unchanged";
        const int rc = which == 0 ? merge_xml::merge_hello(target, source, out)
                                  : merge_xml::merge_version(target, source, out);
        if (rc == 0 && out != "unchanged")
            std::abort();
        if (rc == 1 && out.size() > merge_xml::kMaxMergedLength)
            std::abort();
        if (rc != 0 && rc != 1)
            std::abort();
    }
    return 0;
}
