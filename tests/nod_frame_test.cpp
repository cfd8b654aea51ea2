// Frames: checksum, byte-by-byte recognition, record search and the code tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "file_param.h"
#include "linktest.h"
#include "nod.h"

using linktest::frame;

namespace {
// Feeds bytes one at a time until a frame ends; the last result.
int feed(const std::string &bytes, char *buf) {
    int n = 0, st = FRAME_MORE;
    for (size_t i = 0; i < bytes.size() && st == FRAME_MORE; i++)
        st = frame_feed(buf, &n, bytes[i]);
    return st;
}
} // namespace

TEST(Checksum, SoundFramesPassAndEveryDefectFails) {
    EXPECT_EQ(checkcsum("\x02" "0900\x03" "08\x04"), 0);
    EXPECT_EQ(checkcsum("\x02" "0900\x03" "08"), 1) << "no EOT";
    EXPECT_EQ(checkcsum("\x02" "0900\x03" "08\x03"), 1) << "last byte not EOT";
    EXPECT_EQ(checkcsum("\x02" "0900\x03" "09\x04"), 1) << "wrong value";
    EXPECT_EQ(checkcsum("\x02" "0904\x03" "0C\x04"), 0);
    EXPECT_EQ(checkcsum("\x02" "0904\x03" "0c\x04"), 1) << "lower case";
    for (const char *s : {"", "\x02", "\x02" "08", "\x02" "08\x04"})
        EXPECT_EQ(checkcsum(s), 1) << "too short: " << strlen(s);
    // the sender's checksum satisfies the receiver
    const char g[] = "\x02" "0101\x17" "001C\x17" "0905\x03";
    char cs[2];
    frame_csum(g, (int)strlen(g), cs);
    EXPECT_EQ(checkcsum((std::string(g) + std::string(cs, 2) + "\x04").c_str()), 0);
}

TEST(CodeTables, SizesFollowTheTableAndTheProtocol) {
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    EXPECT_EQ(codeToSize("0211"), 35);
    EXPECT_EQ(codeToSize("7911"), 1);
    EXPECT_EQ(codeToSize("7905"), 5);
    EXPECT_EQ(codeToSize("0300"), 0) << "identification codes are not data codes";
    EXPECT_EQ(codeToSize(""), 0) << "the end row is no code";
    EXPECT_EQ(codeToSize("0200"), 10);
    snprintf(save_protocol, sizeof save_protocol, "OTCLAN");
    EXPECT_EQ(codeToSize("0200"), 11);
    snprintf(save_protocol, sizeof save_protocol, "OTCLAN2");
    EXPECT_EQ(codeToSize("0200"), 10) << "only the exact setting OTCLAN";
    // the designed order: 7905 and 7909 stand inside the 72xx run, the end row last
    EXPECT_STREQ(giegDataSize[0].code, "0200");
    EXPECT_STREQ(giegDataSize[40].code, "7905");
    EXPECT_STREQ(giegDataSize[45].code, "7909");
    EXPECT_STREQ(giegDataSize[48].code, "7911");
    EXPECT_STREQ(giegDataSize[49].code, "");
    EXPECT_EQ(tailleGiegDataID[4], 8);
    EXPECT_EQ(tailleGiegDataID[16], 5);
    EXPECT_EQ(tailleGiegDataID[24], 15);
}

TEST(Recognition, NoiseIsDroppedAndASecondStxRestarts) {
    char buf[SIZE_ENVELOPPE];
    EXPECT_EQ(feed("noise\x17\x03" + frame("0900"), buf), FRAME_DONE);
    EXPECT_EQ(std::string(buf), frame("0900"));
    EXPECT_EQ(frame_code(buf), 900);
    EXPECT_EQ(feed("\x02" "01\x02" + frame("0110").substr(1), buf), FRAME_DONE);
    EXPECT_EQ(std::string(buf), frame("0110"));
    EXPECT_EQ(frame_code(buf), 110);
}

TEST(Recognition, EotCompletesAFrameOnlyFromNineBytes) {
    char buf[SIZE_ENVELOPPE];
    EXPECT_EQ(feed("\x02" "090\x03" "08\x04", buf), FRAME_SHORT);
    EXPECT_EQ(feed(frame("0900"), buf), FRAME_DONE);
}

TEST(Recognition, OverlongFrameFailsItsCheckAndStaysInItsBuffer) {
    char buf[SIZE_ENVELOPPE + 16]; // guard bytes behind the 85 of enveloppe
    memset(buf, 0x55, sizeof buf);
    std::string body = "0122ABCDEFGHIJ";
    while (body.size() < 120)
        body += "\x17" "0500123456";
    EXPECT_EQ(feed(frame(body), buf), FRAME_DONE);
    EXPECT_EQ(strlen(buf), 80u);
    EXPECT_EQ(checkcsum(buf), 1);
    for (size_t i = SIZE_ENVELOPPE; i < sizeof buf; i++)
        ASSERT_EQ(buf[i], 0x55) << "written past the buffer at " << i;
    std::string f80 = frame("0122ABCDEFGHIJ" + std::string(61, 'A'));
    ASSERT_EQ(f80.size(), 80u);
    EXPECT_EQ(feed(f80, buf), FRAME_DONE);
    EXPECT_EQ(checkcsum(buf), 0) << "80 bytes is still a frame";
}

TEST(RecordSearch, FindsRecordsOnlyWithinTheFrame) {
    std::string f = frame("0122KEY0000001\x17" "0200AB-123\x17" "0905");
    char text[32], small[4];
    ASSERT_EQ(frame_record_text(f.c_str(), "0200", 10, text, sizeof text), 1);
    EXPECT_STREQ(text, "AB-123\x17" "090") << "a fixed-length text runs on";
    ASSERT_EQ(frame_record_text(f.c_str(), "0122", 10, small, sizeof small), 1);
    EXPECT_STREQ(small, "KEY") << "never beyond the destination";
    EXPECT_NE(frame_record(f.c_str(), "0905"), nullptr);
    EXPECT_EQ(frame_record(f.c_str(), "0201"), nullptr);
    EXPECT_EQ(frame_record(f.c_str(), "AB-1"), nullptr) << "codes only after STX or ETB";
    EXPECT_EQ(frame_record((frame("0900") + "\x17" "0905").c_str(), "0905"), nullptr);
    EXPECT_EQ(frame_record(("\x02" + std::string(85, 'A') + "\x17" "0905").c_str(), "0905"),
              nullptr)
        << "not after position 80";
}
