#include "safe_lib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Report {
    std::string message;
    int code;
};

std::vector<Report> reports;

void record(const char* msg, void*, int error)
{
    reports.push_back({msg ? msg : "", error});
}

// Installs a recording handler in both slots for the test's duration.
class SafeLib : public ::testing::Test {
protected:
    void SetUp() override
    {
        reports.clear();
        prev_mem = set_mem_constraint_handler_s(record);
        prev_str = set_str_constraint_handler_s(record);
    }
    void TearDown() override
    {
        set_mem_constraint_handler_s(prev_mem);
        set_str_constraint_handler_s(prev_str);
    }
    constraint_handler_t prev_mem = nullptr;
    constraint_handler_t prev_str = nullptr;
};

TEST_F(SafeLib, MemcpyChecksInOrder)
{
    char dest[8];
    const char src[16] = "abcdefghijklmno";

    EXPECT_EQ(ESNULLP, kavri_memcpy_s(nullptr, 8, src, 4));
    EXPECT_EQ("kavri_memcpy_s: dest is NULL", reports.back().message);

    // A zero-length copy succeeds before the source is looked at.
    std::memset(dest, 'x', sizeof dest);
    EXPECT_EQ(0, kavri_memcpy_s(dest, 8, nullptr, 0));
    EXPECT_EQ('x', dest[0]);

    reports.clear();
    EXPECT_EQ(ESLEMAX, kavri_memcpy_s(dest, 8, src, 9));
    EXPECT_EQ(std::string(8, '\0'), std::string(dest, 8));
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ("kavri_memcpy_s: smax exceeds dmax", reports[0].message);
    EXPECT_EQ(403, reports[0].code);

    std::memset(dest, 'x', sizeof dest);
    EXPECT_EQ(ESNULLP, kavri_memcpy_s(dest, 8, nullptr, 4));
    EXPECT_EQ(std::string(8, '\0'), std::string(dest, 8));
    EXPECT_EQ("kavri_memcpy_s: src is NULL", reports.back().message);

    EXPECT_EQ(0, kavri_memcpy_s(dest, 8, src, 8));
    EXPECT_EQ("abcdefgh", std::string(dest, 8));
}

TEST_F(SafeLib, MemcpyOverlap)
{
    char buf[32] = "0123456789abcdefghij";
    EXPECT_EQ(ESOVRLP, kavri_memcpy_s(buf + 4, 8, buf, 8));
    EXPECT_EQ("kavri_memcpy_s: overlap undefined", reports.back().message);
    EXPECT_EQ(std::string(8, '\0'), std::string(buf + 4, 8));

    char other[32] = "0123456789abcdefghij";
    EXPECT_EQ(ESOVRLP, kavri_memcpy_s(other, 8, other + 4, 4));

    // Equal pointers are not an overlap; adjacent ranges are fine too.
    reports.clear();
    char same[8] = "abcdefg";
    EXPECT_EQ(0, kavri_memcpy_s(same, 8, same, 8));
    EXPECT_EQ("abcdefg", std::string(same));
    char adjacent[16] = "abcdefgh";
    EXPECT_EQ(0, kavri_memcpy_s(adjacent + 8, 8, adjacent, 8));
    EXPECT_TRUE(reports.empty());
}

struct StrncpyCase {
    const char* name;
    size_t dmax;
    const char* src;
    size_t slen;
    int result;
    const char* expected;  // dest as a C string afterwards
    const char* report;    // nullptr: no report
};

class Strncpy : public SafeLib, public ::testing::WithParamInterface<StrncpyCase> {};

TEST_P(Strncpy, Table)
{
    const StrncpyCase& c = GetParam();
    char dest[16];
    std::memset(dest, 'x', sizeof dest);
    dest[15] = '\0';
    EXPECT_EQ(c.result, kavri_strncpy_s(dest, c.dmax, c.src, c.slen));
    EXPECT_STREQ(c.expected, dest);
    if (c.report) {
        ASSERT_EQ(1u, reports.size());
        EXPECT_EQ(c.report, reports[0].message);
        EXPECT_EQ(c.result, reports[0].code);
    } else {
        EXPECT_TRUE(reports.empty());
    }
    // Nothing is ever written at or past dest[dmax].
    if (c.dmax < 15) {
        EXPECT_EQ('x', dest[c.dmax]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    SafeLib, Strncpy,
    ::testing::Values(
        StrncpyCase{"fits_exactly", 6, "hello", 10, 0, "hello", nullptr},
        StrncpyCase{"terminator_does_not_fit", 5, "hello", 10, ESNOSPC, "",
                    "kavri_strncpy_s: not enough space for src"},
        StrncpyCase{"slen_equal_dmax", 5, "hello world", 5, ESNOSPC, "",
                    "kavri_strncpy_s: not enough space for src"},
        StrncpyCase{"slen_cuts", 10, "hello", 3, 0, "hel", nullptr},
        StrncpyCase{"dmax_zero", 0, "hello", 3, ESZEROL, "xxxxxxxxxxxxxxx",
                    "kavri_strncpy_s: dmax is 0"},
        StrncpyCase{"src_null", 10, nullptr, 3, ESNULLP, "", "kavri_strncpy_s: src is null"},
        StrncpyCase{"slen_zero", 10, "hello", 0, ESZEROL, "", "kavri_strncpy_s: slen is zero"},
        StrncpyCase{"empty_src", 1, "", 5, 0, "", nullptr}),
    [](const ::testing::TestParamInfo<StrncpyCase>& i) { return std::string(i.param.name); });

TEST_F(SafeLib, StrncpyNullDestAndOverlap)
{
    EXPECT_EQ(ESNULLP, kavri_strncpy_s(nullptr, 4, "a", 1));
    EXPECT_EQ("kavri_strncpy_s: dest is null", reports.back().message);

    char same[8] = "abc";
    EXPECT_EQ(ESOVRLP, kavri_strncpy_s(same, 8, same, 8));
    EXPECT_EQ('\0', same[0]);

    // The lower destination's cursor runs into the source.
    char buf[16] = "abcdefgh";
    EXPECT_EQ(ESOVRLP, kavri_strncpy_s(buf, 16, buf + 3, 16));
    EXPECT_EQ("kavri_strncpy_s: overlapping objects", reports.back().message);
    EXPECT_EQ('\0', buf[0]);
}

TEST_F(SafeLib, Strnlen)
{
    EXPECT_EQ(0u, kavri_strnlen_s(nullptr, 10));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(0u, kavri_strnlen_s("abc", 0));
    EXPECT_EQ("kavri_strnlen_s: dmax is 0", reports.back().message);
    EXPECT_EQ(401, reports.back().code);
    EXPECT_EQ(3u, kavri_strnlen_s("abc", 10));
    EXPECT_EQ(2u, kavri_strnlen_s("abc", 2));
}

TEST_F(SafeLib, SprintfTruncatesSilently)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(-1, kavri_sprintf_s(buf, 4, "%s", "0123456789"));
    EXPECT_STREQ("012", buf);
    EXPECT_TRUE(reports.empty());

    EXPECT_EQ(5, kavri_sprintf_s(buf, 8, "%d-%s", 12, "ab"));
    EXPECT_STREQ("12-ab", buf);
    // A result of exactly maxlen - 1 characters fits.
    EXPECT_EQ(7, kavri_sprintf_s(buf, 8, "%s", "1234567"));
    EXPECT_EQ(-1, kavri_sprintf_s(buf, 8, "%s", "12345678"));
    EXPECT_STREQ("1234567", buf);

    EXPECT_EQ(-1, kavri_sprintf_s(nullptr, 8, "x"));
    EXPECT_EQ("kavri_sprintf_s: buffer is NULL", reports.back().message);
    EXPECT_EQ(-1, kavri_sprintf_s(buf, 0, "x"));
    EXPECT_EQ("kavri_sprintf_s: buffer size n is less than or equal to zero",
              reports.back().message);
    EXPECT_EQ(401, reports.back().code);
}

TEST_F(SafeLib, CaseInsensitiveCompare)
{
    EXPECT_EQ(0, kavri_safe_api_strcincmp_s("Hello", "hELLO", 5));
    EXPECT_EQ(0, kavri_safe_api_strcincmp_s("Hello!", "hELLO?", 5));
    EXPECT_LT(kavri_safe_api_strcincmp_s("abc", "abd", 3), 0);
    EXPECT_GT(kavri_safe_api_strcincmp_s("abd", "ABC", 3), 0);
    EXPECT_TRUE(reports.empty());
    kavri_safe_api_strcincmp_s(nullptr, "a", 1);
    EXPECT_EQ("kavri_strcasecmp_s: dest is null", reports.back().message);
    kavri_safe_api_strcincmp_s("a", nullptr, 1);
    EXPECT_EQ("kavri_strcasecmp_s: src is null", reports.back().message);
    kavri_safe_api_strcincmp_s("a", "a", 0);
    EXPECT_EQ("kavri_strcasecmp_s: count is 0", reports.back().message);
}

TEST_F(SafeLib, SscanfRegexIsNotImplemented)
{
    EXPECT_EQ(-1, kavri_safe_api_sscanf_regex("", 4, ".*", nullptr, 1));
    EXPECT_EQ("kavri_safe_api_sscanf_regex: string_for_checking has zero length",
              reports.back().message);
    EXPECT_EQ(405, reports.back().code);
    EXPECT_EQ(-1, kavri_safe_api_sscanf_regex("abc", 4, ".*", nullptr, 1));
    EXPECT_EQ(409, reports.back().code);

    reports.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, kavri_safe_api_sscanf_regex("abc", 4, ".*", nullptr, 11));
    EXPECT_EQ("kavri_safe_api_sscanf_regex: n_storage_provided(11) is bigger than maximum(10)",
              testing::internal::GetCapturedStdout());
    EXPECT_TRUE(reports.empty());
}

TEST(SafeLibHandlers, DefaultHandlerPrintsToStdout)
{
    testing::internal::CaptureStdout();
    kavri_memcpy_s(nullptr, 1, "a", 1);
    EXPECT_EQ("kavri_safe_api_error_handler: [400] kavri_memcpy_s: dest is NULL\n",
              testing::internal::GetCapturedStdout());
}

TEST(SafeLibHandlers, NullInstallsTheIgnoringHandler)
{
    constraint_handler_t original = set_str_constraint_handler_s(nullptr);
    EXPECT_EQ(&kavri_safe_api_error_handler, original);
    testing::internal::CaptureStdout();
    char d[2];
    kavri_strncpy_s(d, 2, "abc", 3);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(&ignore_handler_s, set_str_constraint_handler_s(original));
}

TEST(MemPrimitives, MoveHandlesOverlapBothWays)
{
    // Every offset and length against a byte-wise reference.
    for (size_t shift = 1; shift < 9; ++shift) {
        for (size_t len = 0; len < 40; ++len) {
            for (int forward = 0; forward < 2; ++forward) {
                unsigned char buf[64], ref[64];
                for (size_t i = 0; i < sizeof buf; ++i)
                    buf[i] = ref[i] = static_cast<unsigned char>(i * 7 + 1);
                unsigned char* d = forward ? buf + 3 : buf + 3 + shift;
                const unsigned char* s = forward ? buf + 3 + shift : buf + 3;
                unsigned char* rd = ref + (d - buf);
                const unsigned char* rs = ref + (s - buf);
                std::memmove(rd, rs, len);
                mem_prim_move(d, s, len);
                ASSERT_EQ(0, std::memcmp(buf, ref, sizeof buf))
                    << "shift " << shift << " len " << len << " forward " << forward;
            }
        }
    }
}

TEST(MemPrimitives, SetFillsUnaligned)
{
    unsigned char buf[40];
    for (size_t start = 0; start < 5; ++start) {
        for (size_t len = 0; len < 30; ++len) {
            std::memset(buf, 0, sizeof buf);
            mem_prim_set(buf + start, len, 0xab);
            for (size_t i = 0; i < sizeof buf; ++i)
                ASSERT_EQ((i >= start && i < start + len) ? 0xab : 0, buf[i]);
        }
    }
    uint16_t w16[3] = {0};
    mem_prim_set16(w16, 2, 0x1234);
    EXPECT_EQ(0x1234, w16[1]);
    EXPECT_EQ(0, w16[2]);
    uint32_t w32[3] = {0};
    mem_prim_set32(w32, 3, 0xdeadbeef);
    EXPECT_EQ(0xdeadbeefu, w32[2]);
}

}  // namespace
