// The filter of a client's INVITE on plain maps: encryption offers by type,
// the configured session options, the encapsulation capability.
#include "LogCapture.h"
#include "SSIGInviteFilter.h"
#include "SSIGMap.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using vexa::SSIGInviteFilter;
using vexa::ssig::SSIGMap;
using Element = std::pair<std::string, std::string>;

SSIGMap map_of(const std::vector<Element>& elements)
{
    SSIGMap m;
    for (const auto& e : elements) {
        char code[5] = {};
        e.first.copy(code, 4);
        m.add(SSIGMap::type_of(code), SSIGMap::value_type(e.second.begin(), e.second.end()));
    }
    return m;
}

// The elements still holding a value, in order, as (code, value).
std::vector<Element> elements_of(const SSIGMap& m)
{
    std::vector<Element> out;
    for (const auto key : m.order) {
        const auto* v = m.find(key);
        if (!v)
            continue;
        const uint32_t t = static_cast<uint32_t>(key);
        const char code[4] = {char(t >> 24), char(t >> 16), char(t >> 8), char(t)};
        out.emplace_back(std::string(code, 4), std::string(v->begin(), v->end()));
    }
    return out;
}

std::string offer(int type)
{
    return std::string("\0\0\0", 3) + char(type);
}

const std::string kcap_on("\x01", 1);

TEST(InviteFilter, EncryptionOffersByType)
{
    struct Case {
        const char* name;
        bool disable_aes128;
        std::vector<Element> in;
        std::vector<Element> out;
        std::size_t unknown_logged;
    };
    const std::vector<Case> cases = {
        {"set 1 disabled and set 3 withdrawn with their values",
         true,
         {{"ksec", offer(1)}, {"1key", "K1"}, {"1spi", "S1"}, {"1slt", "T1"}, {"ksec", offer(3)},
          {"s12k", "K3"}, {"s12s", "S3"}, {"s12t", "T3"}, {"ksec", offer(2)}, {"2key", "K2"}},
         {{"ksec", offer(2)}, {"2key", "K2"}},
         0},
        {"set 1 kept unless disabled",
         false,
         {{"ksec", offer(1)}, {"1key", "K1"}, {"1spi", "S1"}, {"1slt", "T1"}},
         {{"ksec", offer(1)}, {"1key", "K1"}, {"1spi", "S1"}, {"1slt", "T1"}},
         0},
        {"type 0 and a value under four bytes are erased",
         false,
         {{"ksec", offer(0)}, {"ksec", std::string("\0\0\x02", 3)}, {"ksec", offer(2)}},
         {{"ksec", offer(2)}},
         0},
        {"unknown and negative types are kept and logged",
         false,
         {{"ksec", offer(5)}, {"ksec", offer(0x80)}, {"ksec", offer(2)}},
         {{"ksec", offer(5)}, {"ksec", offer(0x80)}, {"ksec", offer(2)}},
         2},
        {"only the first four offers are examined",
         false,
         {{"ksec", offer(2)}, {"ksec", offer(2)}, {"ksec", offer(2)}, {"ksec", offer(2)}, {"ksec", offer(0)}},
         {{"ksec", offer(2)}, {"ksec", offer(2)}, {"ksec", offer(2)}, {"ksec", offer(2)}, {"ksec", offer(0)}},
         0},
        {"first occurrences of the never-passed options",
         false,
         {{"kprf", "a"}, {"kca1", "b"}, {"kca2", "c"}, {"kcs2", "d"}, {"kprf", "again"}, {"zzzz", "e"}},
         {{"kprf", "again"}, {"zzzz", "e"}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        SSIGMap m = map_of(c.in);
        SSIGInviteFilter(c.disable_aes128, "").apply(m);
        EXPECT_EQ(c.out, elements_of(m));
        EXPECT_EQ(c.unknown_logged, log.count("*** SSIGServer::Found unknown encryption type: "));
    }
    LogCapture log;
    SSIGMap m = map_of({{"ksec", offer('A')}});
    SSIGInviteFilter(false, "").apply(m);
    EXPECT_TRUE(log.contains("*** SSIGServer::Found unknown encryption type: A"));
}

TEST(InviteFilter, ConfiguredSessionOptionsOfFourCharacters)
{
    LogCapture log;
    SSIGMap m = map_of({{"abcd", "1"}, {"xyz ", "2"}, {"abcd", "3"}, {"wxyz", "4"}});
    SSIGInviteFilter(false, "abcd xyz  wxyzz\tqqqq").apply(m);
    EXPECT_EQ((std::vector<Element>{{"xyz ", "2"}, {"abcd", "3"}, {"wxyz", "4"}}), elements_of(m));
    EXPECT_EQ(1u, log.count("Erased session option: "));
    EXPECT_TRUE(log.contains("Erased session option: abcd = 0x61626364 [1]"));
}

TEST(InviteFilter, EncapsulationCapabilityIsPinnedToOne)
{
    struct Case {
        const char* name;
        std::vector<Element> in;
        bool supported;
        std::vector<Element> out;
    };
    const std::vector<Case> cases = {
        {"a byte 1 among others", {{"kcap", std::string("\x00\x01\x02", 3)}}, true, {{"kcap", kcap_on}}},
        {"no byte 1", {{"kcap", std::string("\x00\x02", 2)}}, false, {{"kcap", kcap_on}}},
        {"empty value", {{"kcap", ""}}, false, {{"kcap", kcap_on}}},
        {"absent: not added", {{"zzzz", "x"}}, false, {{"zzzz", "x"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SSIGMap m = map_of(c.in);
        EXPECT_EQ(c.supported, SSIGInviteFilter(false, "").apply(m));
        EXPECT_EQ(c.out, elements_of(m));
    }
}

}  // namespace
