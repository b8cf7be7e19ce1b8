// The frame reader frees a complete frame when its leg is done with it, and
// never a frame still being read.
#include "SSIGFrameReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using vexa::SSIGFrameReader;

namespace {

// Completes the exact read the reader asks for with bytes.
SSIGFrameReader::Verdict feed(SSIGFrameReader& r, const std::string& bytes)
{
    auto b = r.buffer();
    EXPECT_EQ(b.size(), bytes.size());
    std::memcpy(b.data(), bytes.data(), bytes.size());
    return r.advance(bytes.size());
}

}  // namespace

TEST(FrameReader, ReleaseFreesOnlyACompleteFrame)
{
    SSIGFrameReader r;
    // A TLV frame: four zero bytes, a length of 12, then command type,
    // command length (4) and command value.
    ASSERT_EQ(feed(r, std::string("\x00\x00\x00\x00", 4)), SSIGFrameReader::Verdict::NEXT_READ);
    ASSERT_EQ(r.stage(), SSIGFrameReader::Stage::TLV_LENGTH);
    r.release_frame();  // mid-frame: kept
    ASSERT_NE(r.tlv(), nullptr);
    ASSERT_EQ(feed(r, std::string("\x00\x00\x00\x0c", 4)), SSIGFrameReader::Verdict::NEXT_READ);
    r.release_frame();
    ASSERT_NE(r.tlv(), nullptr);
    ASSERT_EQ(feed(r, std::string("\x00\x00\x00\x01\x00\x00\x00\x04\x00\x00\x00\x07", 12)), SSIGFrameReader::Verdict::FRAME_DONE);
    ASSERT_NE(r.tlv(), nullptr);
    EXPECT_EQ(r.tlv()->get_command_value(), 7u);

    r.release_frame();
    EXPECT_EQ(r.tlv(), nullptr);
    EXPECT_EQ(r.http(), nullptr);
    EXPECT_EQ(r.stage(), SSIGFrameReader::Stage::TYPE);

    // The next frame reads as the first did.
    ASSERT_EQ(feed(r, std::string("\x00\x00\x00\x00", 4)), SSIGFrameReader::Verdict::NEXT_READ);
    ASSERT_EQ(feed(r, std::string("\x00\x00\x00\x0c", 4)), SSIGFrameReader::Verdict::NEXT_READ);
    ASSERT_EQ(feed(r, std::string("\x00\x00\x00\x01\x00\x00\x00\x04\x00\x00\x00\x09", 12)), SSIGFrameReader::Verdict::FRAME_DONE);
    EXPECT_EQ(r.tlv()->get_command_value(), 9u);
}
