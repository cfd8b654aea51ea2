// The link-log decoder on log lines as the transport writes them, and the road of each
// vehicle it tells from them.
#include <gtest/gtest.h>

#include <stdio.h>

#include "boxtest.h"

using namespace boxtest;

namespace {

std::string decode(const std::string &log, const std::string &options = "") {
#ifdef LOGDECODE_BIN
    std::string in = std::string(BINARY_DIR) + "/logdecode_in.txt";
    write_file(in, log);
    std::string out;
    FILE *p = popen((std::string(LOGDECODE_BIN) + " " + options + " '" + in + "'").c_str(), "r");
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
#else
    (void)log;
    (void)options;
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

// Frames and lines of the log, as the box writes them.
std::string frame(const std::vector<std::pair<std::string, std::string>> &records, bool good = true) {
    std::string f;
    for (const auto &r : records) f += (f.empty() ? "\x02" : "\x17") + r.first + r.second;
    f += "\x03";
    unsigned x = 0;
    for (unsigned char c : f) x ^= c;
    char cs[3];
    snprintf(cs, sizeof cs, "%02X", good ? x : x ^ 1);
    return f + cs + "\x04";
}
std::string at(const char *prefix, const std::string &hms, const std::string &text) {
    return std::string(prefix) + "06/12/26 - " + hms + ":  " + text + "\r\n";
}
std::string vehicle(const std::string &key, const std::string &plate) {
    return frame({{"0120", key}, {"0200", plate}, {"0905", ""}});
}

TEST(LogDecode, VehiclesOneLineEachWithTheirStepsThenTheCounts) {
#ifndef LOGDECODE_BIN
    GTEST_SKIP() << "decoder not built";
#endif
    const std::string ack = frame({{"0900", ""}}), poll = frame({{"0121", "??????????"}});
    const std::string log =
        // sent, not acknowledged, sent again; the result in two frames; the first copy to the
        // share fails, the next one is delivered
        at("SEND:", "10:00:00", vehicle("K0001     ", "AB123CD   ")) +
        at("SEND:", "10:00:04", vehicle("K0001     ", "AB123CD   ")) +
        at("RECEIVE: ", "10:00:04", ack) + at("SEND:", "10:00:10", poll) +
        at("RECEIVE: ", "10:00:10", frame({{"0122", "K0001     "}, {"0200", "AB123CD   "}, {"0501", "012"}})) +
        at("SEND:", "10:00:10", ack) +
        at("RECEIVE: ", "10:00:11", frame({{"0122", "K0001     "}, {"0502", "0145"}, {"0905", ""}})) +
        at("SEND:", "10:00:11", ack) +
        at("INFO: ", "10:00:11", "ERREUR ecriture du fichier /mnt/GIEGLAN/RES/K0001.G") +
        at("INFO: ", "10:00:16", "Nouvel essai du fichier /mnt/GIEGLAN/RES/K0001.G") +
        at("INFO: ", "10:00:16", "Ecriture du fichier /mnt/GIEGLAN/RES/K0001.G") +
        // sent, then withdrawn (its order removed); a plate a spreadsheet must get whole
        at("SEND:", "10:00:20", vehicle("K0002     ", "EF,\"456   ")) + at("RECEIVE: ", "10:00:20", ack) +
        at("SEND:", "10:00:30", frame({{"0150", "K0002     "}})) + at("RECEIVE: ", "10:00:30", ack) +
        // a result refused once for its checksum, then taken; its file not yet on the share
        at("SEND:", "10:00:40", vehicle("K0003     ", "GH789     ")) + at("RECEIVE: ", "10:00:40", ack) +
        at("SEND:", "10:00:45", poll) +
        at("RECEIVE: ", "10:00:45", frame({{"0122", "K0003     "}, {"0905", ""}}, false)) +
        at("SEND:", "10:00:45", frame({{"0904", ""}})) +
        at("RECEIVE: ", "10:00:46", frame({{"0122", "K0003     "}, {"0200", "GH789     "}, {"0905", ""}})) +
        at("SEND:", "10:00:46", ack) +
        at("INFO: ", "10:00:46", "Ecriture du fichier /mnt/GIEGLAN/ID/KELDRANGA4.G") +
        at("INFO: ", "10:00:46", "ERREUR ecriture du fichier /mnt/GIEGLAN/RES/K0003.G");
    EXPECT_EQ(decode(log, "--vehicles"),
              "K0001      AB123CD       sent 06/12/26 10:00:00 (2 times)  acknowledged +4 s  result "
              "06/12/26 10:00:10 +6 s (2 frames)  delivered 06/12/26 10:00:16 +5 s: K0001.G\n"
              "K0002      EF,\"456       sent 06/12/26 10:00:20  acknowledged +0 s  withdrawn "
              "06/12/26 10:00:30\n"
              "K0003      GH789         sent 06/12/26 10:00:40  acknowledged +0 s  result 06/12/26 "
              "10:00:46 +6 s (1 frame)  waiting: K0003.G: the copy to the share failed (06/12/26 "
              "10:00:46)\n"
              "vehicles: 3 sent, 2 results taken, 1 delivered, 1 waiting, 1 withdrawn without a "
              "result\n");
    EXPECT_EQ(decode(log, "--csv"),
              "key,plate,sent,sendings,acknowledged,result first frame,result last frame,result "
              "frames,state,delivered,files,why not,seconds to acknowledge,seconds to result,"
              "seconds to delivery\n"
              "K0001,AB123CD,2026-12-06 10:00:00,2,2026-12-06 10:00:04,2026-12-06 10:00:10,"
              "2026-12-06 10:00:11,2,delivered,2026-12-06 10:00:16,K0001.G,,4,6,5\n"
              "K0002,\"EF,\"\"456\",2026-12-06 10:00:20,1,2026-12-06 10:00:20,,,0,withdrawn,,,,0,,\n"
              "K0003,GH789,2026-12-06 10:00:40,1,2026-12-06 10:00:40,2026-12-06 10:00:46,2026-12-06 "
              "10:00:46,1,waiting,,K0003.G,K0003.G: the copy to the share failed (06/12/26 "
              "10:00:46),0,6,\n"
              "\nsent,results taken,delivered,waiting,withdrawn\n3,2,1,1,1\n");
}

} // namespace
