// Sealing: SHA-1 against the standard vectors and the system's sha1sum, RC4 against
// published key streams, the condensate with its marker, and the key derivation.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "boxtest.h"
#include "cryOTC.h"
#include "file_param.h"

using boxtest::FakeClock;

namespace {

std::string sha1(const std::string &text) {
    char hash[41];
    memset(hash, 'x', sizeof hash);
    CalSha1(text.c_str(), hash);
    return std::string(hash);
}

// SHA-1 of the bytes by the system's own tool, in upper case.
std::string sha1sum_of(const std::string &bytes) {
    char path[] = "/tmp/cryotc_sha1_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fd);
    std::string cmd = std::string("sha1sum ") + path;
    FILE *p = popen(cmd.c_str(), "r");
    char out[64] = {0};
    EXPECT_NE(fgets(out, sizeof out, p), nullptr);
    pclose(p);
    unlink(path);
    std::string hex(out, 40);
    for (char &c : hex)
        c = (char)toupper((unsigned char)c);
    return hex;
}

// Non-NUL bytes over the whole range, so bytes above 0x7F are hashed too.
std::string sample(size_t len) {
    std::string s(len, ' ');
    for (size_t i = 0; i < len; i++)
        s[i] = (char)((i * 31 + len) % 255 + 1);
    return s;
}

std::vector<unsigned char> hex_bytes(const std::string &hex) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((unsigned char)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

// Key stream bytes of CalRC4 under a key text, read by enciphering a run of 'A'.
std::vector<unsigned char> rc4_stream(const std::string &key, size_t n) {
    std::string plain(n, 'A');
    std::vector<unsigned char> out(n);
    CalRC4((const unsigned char *)plain.c_str(), out.data(), (const unsigned char *)key.c_str());
    for (auto &b : out)
        b ^= 'A';
    return out;
}

// Deciphers n condensate bytes with keyOTC (upper-case hexadecimal) as the key.
std::string decipher(const char *cond, size_t n) {
    std::vector<unsigned char> key = hex_bytes(keyOTC);
    rc4_init(key.data(), (unsigned)key.size());
    std::string out(n, 0);
    for (size_t i = 0; i < n; i++)
        out[i] = (char)(cond[i] ^ rc4_output());
    return out;
}

// Seals text under the current clock; returns the deciphered plain text.
std::string seal_and_open(const std::string &text) {
    std::vector<char> buf(text.size() + OTC_MARKER + 1, 0);
    memcpy(buf.data(), text.c_str(), text.size() + 1);
    CalRC4OTC(buf.data());
    return decipher(buf.data(), text.size() + OTC_MARKER);
}

// Position of the marker "##" + ten digits + "##" in s, or npos.
size_t marker_at(const std::string &s) {
    for (size_t p = 0; p + OTC_MARKER <= s.size(); p++) {
        bool ok = s.compare(p, 2, "##") == 0 && s.compare(p + 12, 2, "##") == 0;
        for (size_t i = 2; ok && i < 12; i++)
            ok = isdigit((unsigned char)s[p + i]);
        if (ok) return p;
    }
    return std::string::npos;
}

void set_client(const char *c) { snprintf(save_client, sizeof save_client, "%s", c); }

} // namespace

// Must stay the first test of this file: it looks at the key before any derivation.
TEST(Key, HoldsTenBlanksUntilTheFirstDerivation) { EXPECT_STREQ(keyOTC, "          "); }

TEST(Sha1, MatchesTheStandardVectorsInUpperCase) {
    EXPECT_EQ(sha1(""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(sha1("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(sha1("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklm"
                   "nopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "A49B2446A02C645BF419F995B67091253A04A259");
}

TEST(Sha1, AgreesWithTheSystemToolAcrossBlockBoundariesAndUpToTheLimit) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; n++)
        lengths.push_back(n);
    for (size_t n = 2990; n <= SHA1_MAXMESS; n++)
        lengths.push_back(n);
    for (size_t n : lengths) {
        std::string s = sample(n);
        ASSERT_EQ(sha1(s), sha1sum_of(s)) << "length " << n;
    }
}

TEST(Sha1, FiftyFiveBytesTakeOneBlockFiftySixTakeTwo) {
    sha1(std::string(55, 'x'));
    EXPECT_EQ(nb_de_block, 1);
    sha1(std::string(56, 'x'));
    EXPECT_EQ(nb_de_block, 2);
    sha1(std::string(119, 'x'));
    EXPECT_EQ(nb_de_block, 2);
    sha1(std::string(120, 'x'));
    EXPECT_EQ(nb_de_block, 3);
    sha1(sample(SHA1_MAXMESS));
    EXPECT_EQ(nb_de_block, 48);
}

TEST(Sha1, RefusesATextLongerThanTheWorkBufferWithAnEmptyDigest) {
    EXPECT_EQ(sha1(sample(SHA1_MAXMESS + 1)), "");
    EXPECT_EQ(nb_de_block, 0);
    EXPECT_EQ(sha1(std::string(10000, 'z')), "");
    // The refusal leaves nothing behind: the next digest is sound.
    EXPECT_EQ(sha1("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
}

TEST(HexHelpers, ConvertDigitsBothWays) {
    char text[9] = {0};
    Conv_Long(text, 0x0123ABCFu);
    EXPECT_STREQ(text, "0123ABCF");
    Conv_Long(text, 0xFFFFFFFFu);
    EXPECT_STREQ(text, "FFFFFFFF");
    for (int v = 0; v < 16; v++)
        EXPECT_EQ(Conv_Char(Conv_Ascii((char)v)), v);
    EXPECT_NE(Conv_Char('a'), 10) << "lower case is not a hexadecimal digit here";
    uint32_t r;
    left_rotate(&r, 0x80000001u, 1);
    EXPECT_EQ(r, 0x00000003u);
    left_rotate(&r, 0x12345678u, 0);
    EXPECT_EQ(r, 0x12345678u);
    left_rotate(&r, 0x12345678u, 4);
    EXPECT_EQ(r, 0x23456781u);
}

TEST(Rc4, MatchesPublishedKeyStreamsIncludingAFortyBitKey) {
    // 40-bit key 0102030405: the first sixteen bytes of its key stream.
    std::vector<unsigned char> want40 = hex_bytes("b2396305f03dc027ccc3524a0a1118a8");
    EXPECT_EQ(rc4_stream("0102030405", 16), want40);
    // The same through the key schedule directly.
    const unsigned char k40[] = {1, 2, 3, 4, 5};
    rc4_init(k40, 5);
    for (unsigned char b : want40)
        EXPECT_EQ(rc4_output(), b);
    // 56-bit key 01020304050607.
    EXPECT_EQ(rc4_stream("01020304050607", 16), hex_bytes("293f02d47f37c9b633f2af5285feb46b"));

    // Classic text vectors: key "Key", "Wiki", "Secret" as hexadecimal text.
    struct Case {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"4B6579", "Plaintext", "BBF316E8D940AF0AD3"},
        {"57696B69", "pedia", "1021BF0420"},
        {"536563726574", "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
    };
    for (const Case &c : cases) {
        size_t n = strlen(c.plain);
        std::vector<unsigned char> out(n);
        CalRC4((const unsigned char *)c.plain, out.data(), (const unsigned char *)c.key);
        EXPECT_EQ(out, hex_bytes(c.cipher)) << c.key;
    }
}

TEST(Rc4, EnciphersInPlaceLikeIntoAnotherBuffer) {
    const char *key = "0A1B2C3D4E";
    char text[] = "[IDENTIFICATION]\r\nPE01=BRAND\r\n";
    const std::string orig = text;
    size_t n = orig.size();
    std::vector<unsigned char> apart(n);
    CalRC4((const unsigned char *)text, apart.data(), (const unsigned char *)key);
    CalRC4((unsigned char *)text, (unsigned char *)text, (const unsigned char *)key);
    EXPECT_EQ(std::vector<unsigned char>(text, text + n), apart);
    EXPECT_EQ(text[n], 0) << "no byte written past the length";
    std::vector<unsigned char> k = hex_bytes(key);
    rc4_init(k.data(), (unsigned)k.size());
    std::string back(n, 0);
    for (size_t i = 0; i < n; i++)
        back[i] = (char)(text[i] ^ rc4_output());
    EXPECT_EQ(back, orig);
}

TEST(Rc4, KeyTextOddDigitIsDroppedAndLongKeysAreCutTo19Bytes) {
    EXPECT_EQ(rc4_stream("12345", 32), rc4_stream("1234", 32)) << "fifth digit dropped";
    EXPECT_NE(rc4_stream("123456", 32), rc4_stream("1234", 32));
    std::string key40 = "0102030405060708090A0B0C0D0E0F1011121314";
    ASSERT_EQ(key40.size(), 40u);
    EXPECT_EQ(rc4_stream(key40, 32), rc4_stream(key40.substr(0, 38), 32));
    EXPECT_EQ(rc4_stream(key40 + "FFFFFF", 32), rc4_stream(key40.substr(0, 38), 32));
    // No key byte at all never divides by zero: it acts as the one-byte key 00.
    EXPECT_EQ(rc4_stream("", 32), rc4_stream("00", 32));
    EXPECT_EQ(rc4_stream("7", 32), rc4_stream("00", 32));
    // Lower-case digits are not hexadecimal digits: "0a" is not "0A".
    EXPECT_NE(rc4_stream("0a", 32), rc4_stream("0A", 32));
}

TEST(Condensate, DeciphersToTheTextWithTheMarkerBeforeItsLastCharacter) {
    FakeClock clock(1765000000);
    set_client("KELDRAN");
    initCleOTC("0123456789");
    const std::string text = "[IDENTIFICATION]\r\nPE01=BRAND\r\n[CRC]\r\nEMPREINTE=";
    for (long long s = 0; s < 20; s++) {
        clock.set(1765000000 + s, 0);
        std::string plain = seal_and_open(text);
        size_t p = marker_at(plain);
        ASSERT_NE(p, std::string::npos) << plain;
        EXPECT_LT(p, text.size()) << "the marker lies before the last character";
        EXPECT_EQ(plain.substr(0, p) + plain.substr(p + OTC_MARKER), text);
    }
}

TEST(Condensate, OneCharacterMessagePutsTheMarkerFirst) {
    FakeClock clock(1765000123);
    initCleOTC("FEDCBA9876");
    std::string plain = seal_and_open("Z");
    ASSERT_EQ(plain.size(), 15u);
    EXPECT_EQ(marker_at(plain), 0u);
    EXPECT_EQ(plain[14], 'Z');
}

TEST(Condensate, SameSecondAndLengthGiveTheSameMarkerAndPosition) {
    FakeClock clock(1765000500);
    initCleOTC("1111111111");
    std::string a = seal_and_open("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    clock.advance_us(900000);
    std::string b = seal_and_open("abcdefghijklmnopqrstuvwxyz");
    ASSERT_NE(marker_at(a), std::string::npos);
    EXPECT_EQ(marker_at(a), marker_at(b));
    EXPECT_EQ(a.substr(marker_at(a), OTC_MARKER), b.substr(marker_at(b), OTC_MARKER));

    // The seed is the second: over a few seconds the marker changes.
    std::set<std::string> markers;
    for (int s = 1; s <= 5; s++) {
        clock.set(1765000500 + s, 0);
        std::string c = seal_and_open("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
        markers.insert(c.substr(marker_at(c), OTC_MARKER));
    }
    EXPECT_GT(markers.size(), 1u);
}

TEST(Condensate, RefusesEmptyAndOverlongTextsLeavingThemUntouched) {
    FakeClock clock(1765000000);
    initCleOTC("0123456789");
    char empty[OTC_MARKER + 1] = {0};
    CalRC4OTC(empty);
    for (char c : empty)
        EXPECT_EQ(c, 0);

    std::string longest = sample(RC4OTC_MAXMESS);
    for (char &c : longest)
        c = (char)('A' + (unsigned char)c % 26);
    std::string plain = seal_and_open(longest);
    size_t p = marker_at(plain);
    ASSERT_NE(p, std::string::npos);
    EXPECT_EQ(plain.substr(0, p) + plain.substr(p + OTC_MARKER), longest);

    std::string over = longest + "Q";
    std::vector<char> buf(over.size() + OTC_MARKER + 1, 0);
    memcpy(buf.data(), over.c_str(), over.size() + 1);
    CalRC4OTC(buf.data());
    EXPECT_EQ(std::string(buf.data()), over);
}

TEST(Key, DigitsAreLoweredByOneWithZeroBecomingF) {
    set_client("KELDRAN");
    // Digit i of the value lands at position tableKeldran[i] - 1, lowered by one.
    initCleOTC("0A23456789");
    const char lowered[] = "F912345678";
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(keyOTC[tableKeldran[i] - 1], lowered[i]) << "digit " << i;
    EXPECT_EQ(strlen(keyOTC), 10u);
    // Only the first ten characters count.
    std::string first = keyOTC;
    initCleOTC("0A23456789XYZ");
    EXPECT_EQ(std::string(keyOTC), first);
}

TEST(Key, EachMakerMovesTheDigitsByItsOwnTable) {
    struct Maker {
        const char *client;
        const unsigned char *table;
    } makers[] = {{"KELDRAN", tableKeldran}, {"", tableKeldran},  {"SPX", tableSpxBosch},
                  {"SPXBOSCH", tableSpxBosch}, {"MAHA", tableMaha}, {"MAHAX", tableMaha},
                  {"MAH", tableKeldran}};
    std::set<std::string> keys;
    for (const Maker &m : makers) {
        set_client(m.client);
        initCleOTC("123456789B"); // lowered: 012345678A
        for (int i = 0; i < 10; i++)
            EXPECT_EQ(keyOTC[m.table[i] - 1], "012345678A"[i]) << m.client << " digit " << i;
        keys.insert(keyOTC);
    }
    EXPECT_EQ(keys.size(), 3u) << "three tables, three different keys";
    for (const unsigned char *t : {tableKeldran, tableSpxBosch, tableMaha}) {
        std::set<int> pos(t, t + 10);
        EXPECT_EQ(pos.size(), 10u);
        EXPECT_EQ(*pos.begin(), 1);
        EXPECT_EQ(*pos.rbegin(), 10);
    }
    set_client("");
}

TEST(Key, LowerCaseTextGivesADifferentKeyAndShortTextIsRefused) {
    set_client("KELDRAN");
    initCleOTC("ABCDEF0123");
    std::string upper = keyOTC;
    initCleOTC("abcdef0123");
    EXPECT_NE(std::string(keyOTC), upper);
    initCleOTC("ABCDEF0123");
    initCleOTC("123456789"); // nine characters: no key can be made from it
    EXPECT_EQ(std::string(keyOTC), upper);
    initCleOTC("");
    EXPECT_EQ(std::string(keyOTC), upper);
}
