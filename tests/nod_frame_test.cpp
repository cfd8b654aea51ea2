// Frames: checksum, byte-by-byte recognition, record search and the code tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "boxtest.h"
#include "file_param.h"
#include "linkpeer.h"
#include "nod.h"

using linkpeer::frame;

namespace {

// Feeds bytes one at a time; returns the last result and leaves the frame in buf.
int feed(const std::string &bytes, char *buf, int *n) {
    int st = FRAME_MORE;
    for (char c : bytes) {
        st = frame_feed(buf, n, c);
        if (st != FRAME_MORE) break;
    }
    return st;
}

} // namespace

TEST(Checksum, AcknowledgementFrameIsSoundAndItsVariantsAreNot) {
    EXPECT_EQ(checkcsum("\x02"
                        "0900\x03"
                        "08\x04"),
              0);
    EXPECT_EQ(checkcsum("\x02"
                        "0900\x03"
                        "08"),
              1)
        << "no EOT";
    EXPECT_EQ(checkcsum("\x02"
                        "0900\x03"
                        "08\x03"),
              1)
        << "last byte not EOT";
    EXPECT_EQ(checkcsum("\x02"
                        "0900\x03"
                        "09\x04"),
              1)
        << "wrong value";
    // "0904" has the checksum "0C": written in lower case it is refused
    EXPECT_EQ(checkcsum("\x02"
                        "0904\x03"
                        "0C\x04"),
              0);
    EXPECT_EQ(checkcsum("\x02"
                        "0904\x03"
                        "0c\x04"),
              1);
}

TEST(Checksum, ShortStringsAreBad) {
    EXPECT_EQ(checkcsum(""), 1);
    EXPECT_EQ(checkcsum("\x02"), 1);
    EXPECT_EQ(checkcsum("\x02"
                        "08\x04"),
              1);
}

TEST(Checksum, OutgoingChecksumMatchesTheReceiverRule) {
    char cs[2];
    const char f[] = "\x02"
                     "0900\x03";
    frame_csum(f, 6, cs);
    EXPECT_EQ(std::string(cs, 2), "08");
    const char g[] = "\x02"
                     "0101\x17"
                     "001C\x17"
                     "0905\x03";
    frame_csum(g, (int)strlen(g), cs);
    std::string whole = std::string(g) + std::string(cs, 2) + "\x04";
    EXPECT_EQ(checkcsum(whole.c_str()), 0);
}

TEST(CodeTables, SizesFollowTheProtocolSetting) {
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    EXPECT_EQ(codeToSize("0211"), 35);
    EXPECT_EQ(codeToSize("7911"), 1);
    EXPECT_EQ(codeToSize("7905"), 5);
    EXPECT_EQ(codeToSize("0300"), 0) << "identification codes are not data codes";
    EXPECT_EQ(codeToSize(""), 0) << "the end row is no code";
    EXPECT_EQ(codeToSize("0200"), 10);
    snprintf(save_protocol, sizeof save_protocol, "OTCLAN");
    EXPECT_EQ(codeToSize("0200"), 11);
    EXPECT_EQ(codeToSize("0201"), 6);
    snprintf(save_protocol, sizeof save_protocol, "OTCLAN2");
    EXPECT_EQ(codeToSize("0200"), 10) << "only the exact setting OTCLAN";
}

TEST(CodeTables, DataTableKeepsItsDesignedOrder) {
    EXPECT_STREQ(giegDataSize[0].code, "0200");
    EXPECT_STREQ(giegDataSize[48].code, "7911");
    EXPECT_STREQ(giegDataSize[49].code, "");
    EXPECT_EQ(giegDataSize[49].size, 0);
    int i7274 = -1, i7278 = -1;
    for (int i = 0; i < 49; i++) {
        EXPECT_EQ(strlen(giegDataSize[i].code), 4u) << i;
        for (int k = 0; k < i; k++)
            EXPECT_STRNE(giegDataSize[i].code, giegDataSize[k].code) << "duplicate row " << i;
        if (!strcmp(giegDataSize[i].code, "7274")) i7274 = i;
        if (!strcmp(giegDataSize[i].code, "7278")) i7278 = i;
    }
    ASSERT_GE(i7274, 0);
    ASSERT_GE(i7278, 0);
    EXPECT_STREQ(giegDataSize[i7274 + 1].code, "7905");
    EXPECT_STREQ(giegDataSize[i7274 + 2].code, "7275");
    EXPECT_STREQ(giegDataSize[i7278 + 1].code, "7909");
    EXPECT_STREQ(giegDataSize[i7278 + 2].code, "7279");
    int total = 0;
    for (char len : tailleGiegDataID)
        total += len;
    EXPECT_EQ(total, 20 * 6 + 8 * 5 + 5 * 6 + 15 * 6 + 10 * 2) << "identification lengths";
    EXPECT_EQ(tailleGiegDataID[4], 8);
    EXPECT_EQ(tailleGiegDataID[16], 5);
    EXPECT_EQ(tailleGiegDataID[21], 10);
}

TEST(Recognition, GarbageBeforeAFrameIsDroppedAndASecondStxRestarts) {
    char buf[SIZE_ENVELOPPE];
    memset(buf, 'x', sizeof buf);
    int n = 0;
    std::string f = frame("0900");
    EXPECT_EQ(feed("noise\x17\x03" + f, buf, &n), FRAME_DONE);
    EXPECT_EQ(std::string(buf), f);
    EXPECT_EQ(frame_code(buf), 900);

    n = 0;
    EXPECT_EQ(feed("\x02"
                   "01\x02" +
                       frame("0110").substr(1),
                   buf, &n),
              FRAME_DONE);
    EXPECT_EQ(std::string(buf), frame("0110"));
    EXPECT_EQ(frame_code(buf), 110);
}

TEST(Recognition, EotBeforeNineBytesIsNoFrame) {
    char buf[SIZE_ENVELOPPE];
    int n = 0;
    EXPECT_EQ(feed("\x02"
                   "090\x03"
                   "08\x04",
                   buf, &n),
              FRAME_SHORT)
        << "8 bytes";
    n = 0;
    EXPECT_EQ(feed(frame("0900"), buf, &n), FRAME_DONE) << "9 bytes";
}

TEST(Recognition, OverlongFrameFailsItsCheckAndStaysInItsBuffer) {
    // a buffer with guard bytes behind the 85 of enveloppe
    char buf[SIZE_ENVELOPPE + 16];
    memset(buf, 0x55, sizeof buf);
    int n = 0;
    std::string body = "0122ABCDEFGHIJ";
    while (body.size() < 120)
        body += "\x17"
                "0500123456";
    std::string f = frame(body);
    ASSERT_GT(f.size(), 80u);
    EXPECT_EQ(feed(f, buf, &n), FRAME_DONE);
    EXPECT_EQ(strlen(buf), 80u);
    EXPECT_EQ(checkcsum(buf), 1);
    for (size_t i = SIZE_ENVELOPPE; i < sizeof buf; i++)
        EXPECT_EQ(buf[i], 0x55) << "written past the buffer at " << i;

    // exactly 80 bytes is still a frame
    std::string b80 = "0122ABCDEFGHIJ";
    b80 += std::string(80 - 5 - b80.size(), 'A');
    std::string f80 = frame(b80);
    ASSERT_EQ(f80.size(), 80u);
    n = 0;
    EXPECT_EQ(feed(f80, buf, &n), FRAME_DONE);
    EXPECT_EQ(checkcsum(buf), 0);
}

TEST(RecordSearch, FindsRecordsUpToTheFrameEnd) {
    std::string f = frame("0122KEY0000001\x17"
                          "0200AB-123\x17"
                          "0905");
    char text[32];
    ASSERT_EQ(frame_record_text(f.c_str(), "0200", 10, text, sizeof text), 1);
    EXPECT_STREQ(text, "AB-123\x17"
                       "090")
        << "a fixed-length text runs into the next record";
    ASSERT_EQ(frame_record_text(f.c_str(), "0122", 10, text, sizeof text), 1);
    EXPECT_STREQ(text, "KEY0000001");
    EXPECT_NE(frame_record(f.c_str(), "0905"), nullptr);
    EXPECT_EQ(frame_record(f.c_str(), "0201"), nullptr);
    EXPECT_EQ(frame_record(f.c_str(), "AB-1"), nullptr) << "codes only after STX or ETB";

    // nothing after ETX is a record
    std::string tail = frame("0900") + "\x17"
                                       "0905";
    EXPECT_EQ(frame_record(tail.c_str(), "0905"), nullptr);
    // a copy never exceeds its destination
    char small[4];
    ASSERT_EQ(frame_record_text(f.c_str(), "0122", 10, small, sizeof small), 1);
    EXPECT_STREQ(small, "KEY");
}

TEST(RecordSearch, StopsAfterPositionEighty) {
    std::string s = "\x02" + std::string(85, 'A') + "\x17"
                                                    "0905";
    EXPECT_EQ(frame_record(s.c_str(), "0905"), nullptr);
}
