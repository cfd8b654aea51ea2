// The link-log decoder on log lines as the transport writes them.
#include <gtest/gtest.h>

#include <stdio.h>

#include "boxtest.h"

using namespace boxtest;

namespace {

std::string decode(const std::string &log) {
#ifdef LOGDECODE_BIN
    std::string in = std::string(BINARY_DIR) + "/logdecode_in.txt";
    write_file(in, log);
    std::string out;
    FILE *p = popen((std::string(LOGDECODE_BIN) + " '" + in + "'").c_str(), "r");
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
#else
    (void)log;
    return "";
#endif
}

TEST(LogDecode, FramesAreSplitIntoRecordsWithTheirChecksumState) {
#ifndef LOGDECODE_BIN
    GTEST_SKIP() << "decoder not built";
#endif
    std::string log = "SEND:06/12/26 - 10:30:00:  \x02"
                      "0900\x03"
                      "08\x04\r\n"
                      "RECEIVE: 06/12/26 - 10:30:01:  \x02"
                      "0122AB123     \x17"
                      "0502 00.1\x17"
                      "0905\x03"
                      "00\x04\r\n";
    std::string out = decode(log);
    EXPECT_NE(out.find("[06/12/26 - 10:30:00] box -> equipment   SEND   checksum ok\n"
                       "    <STX>0900<ETX>08<EOT>\n"
                       "    0900 \"\"\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("equipment -> box   RECEIVE   CHECKSUM BAD"), std::string::npos) << out;
    EXPECT_NE(out.find("    0122 \"AB123     \"\n    0502 \" 00.1\"\n    0905 \"\"\n"),
              std::string::npos)
        << out;
}

TEST(LogDecode, UnfinishedFramesPurgesAndDeliveryLinesAreShown) {
#ifndef LOGDECODE_BIN
    GTEST_SKIP() << "decoder not built";
#endif
    std::string out = decode("BAD RECEIVE: 06/12/26 - 10:30:02:  \x02"
                             "01\r\n"
                             "PURGE:06/12/26 - 10:30:03:  \x01zz\r\n"
                             "INFO: 06/12/26 - 10:30:04:  Ecriture du fichier /mnt/x.G\r\n");
    EXPECT_NE(out.find("BAD RECEIVE   incomplete frame\n    <STX>01\n"), std::string::npos) << out;
    EXPECT_NE(out.find("PURGE (unasked bytes dropped before a send)\n    <01>zz\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("INFO: 06/12/26 - 10:30:04:  Ecriture du fichier /mnt/x.G\n"),
              std::string::npos);
}

} // namespace
