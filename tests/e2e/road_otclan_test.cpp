// The whole road of a vehicle under OTCLAN, the real dev-build concentrator against the
// simulated hub over TCP on 127.0.0.1: sealed ".CI" orders reach the hub, results come
// back as sealed files (fingerprint and condensate checked here with code of the test's
// own), delivered to the share or kept locally as ".err"; the offline marker keeps the
// file on the box, across a restart, until the box is online again; an order withdrawn by
// the PC leaves its result on the box only, and an order file named with shell characters
// is refused and runs nothing. A box killed right after it acknowledged a result, before
// it could seal it, writes and delivers it once started again.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "cryOTC.h"
#include "file_param.h"
#include "roadtest.h"

using boxtest::root;
using equipsim::Record;
using equipsim::pad;

namespace {

const std::string DATA = "/home/KELDRAN/DATA";
const std::string STAMP = "06122026153000";

// An order file sealed by its fingerprint over the text and "EMPREINTE=".
std::string ci_file(const std::string &plate) {
    std::string image = "[VEHICULE]\r\nC001=" + plate +
                        "\r\nC002=01012020\r\nC003=ES\r\nC004=A\r\nC005=O\r\n[CRC]\r\nEMPREINTE=";
    return image + boxtest::sha1sum_upper(image) + "\r\n";
}

std::string value_of(const std::vector<Record> &recs, const std::string &code) {
    for (const Record &r : recs)
        if (r.code == code) return r.text;
    return "";
}

std::string trimmed(std::string t) {
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    return t;
}

// RC4 over the bytes with the key given as hexadecimal text, as the stations decipher it.
std::string rc4(const std::string &bytes, const std::string &hexkey) {
    std::vector<unsigned char> key;
    for (size_t i = 0; i + 1 < hexkey.size(); i += 2)
        key.push_back((unsigned char)std::stoi(hexkey.substr(i, 2), nullptr, 16));
    unsigned char s[256];
    for (int i = 0; i < 256; i++)
        s[i] = (unsigned char)i;
    for (int i = 0, j = 0; i < 256; i++) {
        j = (j + s[i] + key[i % key.size()]) & 255;
        std::swap(s[i], s[j]);
    }
    std::string out;
    int i = 0, j = 0;
    for (unsigned char c : bytes) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        out += (char)(c ^ s[(s[i] + s[j]) & 255]);
    }
    return out;
}

// Checks both seals of a result file made with the instrument key item key7012.
void expect_sealed(const std::string &file, const std::string &key7012) {
    const std::string fp = "EMPREINTE=", cd = "CONDENSAT=";
    size_t e = file.find(fp), c = file.find(cd);
    ASSERT_NE(e, std::string::npos) << file;
    ASSERT_NE(c, std::string::npos) << file;
    EXPECT_EQ(file.substr(e + fp.size(), 40), boxtest::sha1sum_upper(file.substr(0, e + fp.size())));
    EXPECT_EQ(file.substr(e + fp.size() + 40, 2 + cd.size()), "\r\n" + cd);

    const std::string signed_text = file.substr(0, c + cd.size());
    size_t end = file.find("\r\n", c);
    std::string hex = file.substr(c + cd.size(), end - c - cd.size());
    ASSERT_EQ(hex.size(), 2 * (signed_text.size() + 14)) << hex;
    std::string cipher;
    for (size_t i = 0; i < hex.size(); i += 2) {
        ASSERT_TRUE(isxdigit((unsigned char)hex[i]) && !islower((unsigned char)hex[i]));
        cipher += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
    }
    snprintf(save_client, sizeof save_client, "%s", "KELDRAN"); // the key table of the maker
    initCleOTC(key7012.c_str());
    std::string plain = rc4(cipher, keyOTC);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(plain, m, std::regex("##[0-9]{10}##"))) << plain;
    EXPECT_EQ(plain.substr(0, m.position(0)) + plain.substr(m.position(0) + 14), signed_text);
}

TEST(RoadOtclan, SealedResultsDeliveredKeptLocalOrDroppedAndNoShellCommand) {
    std::vector<Record> gas = equipsim::default_ident('G', 2);
    std::vector<Record> opa; // an opacimeter that does not give its approval's software version
    for (const Record &r : equipsim::default_ident('O', 3))
        if (r.code != "7011") opa.push_back(r);
    equipsim::Options o;
    o.periphs = {{2, 'G', gas}, {3, 'O', opa}};
    equipsim::Sim sim(o);
    roadtest::prepare("OTCLAN", "KELDRAN", sim.listen_tcp(0));
    const std::string ci = root("/mnt/GIEGLAN/CI"), res = root("/mnt/GIEGLAN/RES");
    const std::string local = root(DATA + "/log/RES"), log = root(DATA + "/log/log.txt");
    mkdir(ci.c_str(), 0755);
    mkdir(res.c_str(), 0755);
    const std::string shell_name = "a;touch x;";
    struct Vehicle {
        std::string name, plate;
    } v[] = {{"AB123CD", "AB123CD"}, {shell_name, "SH333SS"}, {"GONE", "GO444GG"},
             {"OFF", "OF555FF"}};
    for (const Vehicle &x : v)
        boxtest::write_file(ci + "/" + x.name + ".CI", ci_file(x.plate));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    boxtest::Proc box = roadtest::start_box("road_otclan");

    for (const Vehicle &x : v) {
        if (x.name == shell_name) continue;
        ASSERT_TRUE(boxtest::wait_until([&] { return roadtest::has_vehicle(sim, pad(x.plate, 10)); },
                                        30000))
            << x.plate << "\n" << box.output();
    }
    // the name is refused as an order file's name, so it names nothing the box makes
    EXPECT_NE(box.output().find(shell_name + ".CI: Nom du fichier KO!!"), std::string::npos)
        << box.output();
    EXPECT_FALSE(roadtest::has_vehicle(sim, pad("SH333SS", 10)));
    auto result = [&](const std::string &plate, bool opacity) {
        std::vector<Record> r{{"0200", pad(plate, 11)}, {"7009", STAMP},  {"0502", "00.1"},
                              {"0504", "14.20"},        {"0513", STAMP}};
        if (opacity) r.insert(r.end(), {{"0532", "0850"}, {"0533", "00.85"}, {"0543", STAMP}});
        return r;
    };

    // Three results ready at once, handed over oldest first, one per poll. The PC takes
    // the first order back while its result is on its way; the gas analyser's full
    // identification seals a delivered file while the opacimeter's missing item keeps its
    // file as ".err"; the last result is written when the box has gone offline (an
    // offline box asks for no results).
    sim.add_result(pad("GO444GG", 10), result("GO444GG", false));
    sim.add_result(pad("AB123CD", 10), result("AB123CD", true));
    sim.add_result(pad("OF555FF", 10), result("OF555FF", false));
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.results_pending() <= 2; }, 30000));
    unlink((ci + "/GONE.CI").c_str());
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 60000));
    boxtest::write_file(root(DATA + "/offline.state"), "");
    ASSERT_TRUE(roadtest::wait_files({res + "/AB123CD.G", local + "/AB123CD.O.err", local + "/OFF.G"},
                                     20000))
        << box.output();

    std::string g = boxtest::read_file(res + "/AB123CD.G");
    EXPECT_EQ(g, boxtest::read_file(local + "/AB123CD.G")) << "the local copy stays";
    EXPECT_EQ(g.rfind("[IDENTIFICATION]\r\nPE01=KELDRAN\r\nPE02=" +
                          trimmed(value_of(gas, "0301")) + "\r\n",
                      0),
              0u)
        << g;
    for (const std::string &l : std::vector<std::string>{"\r\nPE08=AB123CD\r\n", "\r\nPE09=" + STAMP + "\r\n",
                                "\r\nPE10=" + STAMP + "\r\n", "\r\n[MESURES]\r\n"})
        EXPECT_NE(g.find(l), std::string::npos) << l << "\n" << g;
    EXPECT_EQ(g.find("err="), std::string::npos) << g;
    expect_sealed(g, value_of(gas, "7012"));

    std::string err = boxtest::read_file(local + "/AB123CD.O.err");
    EXPECT_EQ(err.rfind("[IDENTIFICATION]\r\nPO01=KELDRAN\r\nPO02=OPACIMETER OP-2\r\n", 0), 0u)
        << err;
    EXPECT_EQ(err.find("PO11="), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.size() - 8), "err=49\r\n") << err;
    expect_sealed(err, value_of(opa, "7012"));
    EXPECT_FALSE(boxtest::exists(local + "/AB123CD.O"));
    EXPECT_FALSE(boxtest::exists(res + "/AB123CD.O"));

    std::string logtext = boxtest::read_file(log);
    EXPECT_TRUE(std::regex_search(
        logtext, std::regex("INFO: [0-9]{2}/[0-9]{2}/[0-9]{2} - [0-9]{2}:[0-9]{2}:[0-9]{2}:  "
                            "Ecriture du fichier [^\r]*/RES/AB123CD\\.G\r\n")))
        << logtext;
    EXPECT_NE(logtext.find("ERREUR sur fichier " + local + "/AB123CD.O.err\r\n"), std::string::npos)
        << logtext;

    // the withdrawn order: the missing order logged, the result delivered nowhere but kept
    // on the box for good
    EXPECT_TRUE(std::regex_search(
        logtext, std::regex("INFO: [^\r]*:  ERREUR fichier inexistant [^\r]*/CI/GONE\\.CI\r\n")))
        << logtext;
    EXPECT_FALSE(boxtest::exists(local + "/GONE.G"));
    expect_sealed(boxtest::read_file(local + "/GONE.G.orphelin"), value_of(gas, "7012"));
    EXPECT_FALSE(boxtest::exists(res + "/GONE.G"));

    // offline: the sealed file stays in the local directory only
    expect_sealed(boxtest::read_file(local + "/OFF.G"), value_of(gas, "7012"));
    EXPECT_FALSE(boxtest::exists(res + "/OFF.G"));
    EXPECT_EQ(boxtest::read_file(log).find("OFF.G"), std::string::npos);

    // The box is killed while the sealed file waits in its outbox and started again, still
    // offline, a delivery cut by the kill having left half a file on the share; once the
    // box is online again the new one delivers the file whole, as it was sealed, its order
    // being still there.
    const std::string sealed = boxtest::read_file(local + "/OFF.G");
    ASSERT_TRUE(roadtest::outbox_waiting(1, 5000));
    box.stop();
    boxtest::write_file(res + "/OFF.G.tmp", sealed.substr(0, 40));
    boxtest::Proc again = roadtest::start_box("road_otclan_again");
    ASSERT_TRUE(roadtest::outbox_counted(again, 1, 10000)) << again.output();
    EXPECT_FALSE(boxtest::exists(res + "/OFF.G"));
    unlink(root(DATA + "/offline.state").c_str());
    ASSERT_TRUE(roadtest::wait_files({res + "/OFF.G"}, 20000)) << again.output();
    EXPECT_EQ(boxtest::read_file(res + "/OFF.G"), sealed);
    logtext = boxtest::read_file(log);
    const std::string delivered = "Ecriture du fichier " + root("//mnt/GIEGLAN/RES/OFF.G") + "\r\n";
    EXPECT_NE(logtext.find(delivered), std::string::npos) << logtext;
    EXPECT_EQ(logtext.find(delivered), logtext.rfind(delivered)) << "delivered once";

    // A new test of the vehicle whose order stays (the PC has taken the first test's
    // file, so the new one does not wait for it): the box is killed as soon as the
    // equipment has the acknowledgement of the result's last frame, while it waits to
    // refresh the identification before sealing. The result is in the journal only; the
    // box started again writes and delivers it once, and the equipment is not asked for
    // it again.
    auto deliveries = [&](const std::string &name) {
        const std::string line = "Ecriture du fichier " + root("//mnt/GIEGLAN/RES/" + name) + "\r\n";
        const std::string text = boxtest::read_file(log);
        int n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
            n++;
        return n;
    };
    const int before = deliveries("AB123CD.G");
    unlink((res + "/AB123CD.G").c_str());
    std::vector<Record> retest = result("AB123CD", false);
    retest[2].text = "00.3";
    sim.add_result(pad("AB123CD", 10), retest);
    ASSERT_TRUE(boxtest::wait_until([&] { return sim.results_pending() == 0; }, 30000, 2));
    again.stop();
    EXPECT_FALSE(boxtest::list_dir(root(DATA + "/journal")).empty()) << "killed in time";
    EXPECT_FALSE(boxtest::exists(res + "/AB123CD.G")) << "not yet written";
    boxtest::Proc third = roadtest::start_box("road_otclan_third");
    ASSERT_TRUE(boxtest::wait_until(
        [&] { return boxtest::read_file(res + "/AB123CD.G").find("\r\nPEM03=0.3\r\n") != std::string::npos; },
        20000))
        << third.output();
    expect_sealed(boxtest::read_file(res + "/AB123CD.G"), value_of(gas, "7012"));
    EXPECT_EQ(boxtest::read_file(local + "/AB123CD.G"), boxtest::read_file(res + "/AB123CD.G"));
    EXPECT_EQ(deliveries("AB123CD.G"), before + 1) << "delivered once";
    EXPECT_EQ(sim.results_pending(), 0);
    third.stop();

    EXPECT_EQ(boxtest::list_dir(res), (std::vector<std::string>{"AB123CD.G", "OFF.G"}));
    // nothing ran the name: no file x anywhere the box or a shell could have made it
    for (const std::string &d : {std::string(cwd), root(), root(DATA), ci, res, local})
        EXPECT_FALSE(boxtest::exists(d + "/x")) << d;
    EXPECT_EQ(boxtest::read_file(root("/commands.log")).find("touch x"), std::string::npos);
}

} // namespace
