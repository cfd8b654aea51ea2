// Sealing: SHA-1 against the standard vectors and the system's sha1sum, RC4 against
// published key streams, the condensate with its marker, and the key derivation.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "boxtest.h"
#include "cryOTC.h"
#include "file_param.h"

using boxtest::FakeClock;
using Bytes = std::vector<unsigned char>;

namespace {

std::string sha1(const std::string &text) {
    char hash[41];
    memset(hash, 'x', sizeof hash);
    CalSha1(text.c_str(), hash);
    return hash;
}


// Non-NUL bytes over the whole range, so bytes above 0x7F are hashed too.
std::string sample(size_t len) {
    std::string s(len, ' ');
    for (size_t i = 0; i < len; i++)
        s[i] = (char)((i * 31 + len) % 255 + 1);
    return s;
}

Bytes hex_bytes(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((unsigned char)std::stoul(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Key stream of CalRC4 under a key text, read by enciphering a run of 'A'.
Bytes rc4_stream(const std::string &key, size_t n = 32) {
    std::string plain(n, 'A');
    Bytes out(n);
    CalRC4((const unsigned char *)plain.c_str(), out.data(), (const unsigned char *)key.c_str());
    for (auto &b : out)
        b ^= 'A';
    return out;
}

// Seals text under the current clock and keyOTC; returns the deciphered plain text.
std::string seal_and_open(const std::string &text) {
    std::vector<char> buf(text.size() + OTC_MARKER + 1, 0);
    memcpy(buf.data(), text.c_str(), text.size() + 1);
    CalRC4OTC(buf.data());
    Bytes key = hex_bytes(keyOTC);
    rc4_init(key.data(), (unsigned)key.size());
    std::string out(text.size() + OTC_MARKER, 0);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = (char)(buf[i] ^ rc4_output());
    return out;
}

// Position of the marker "##" + ten digits + "##" in s, or npos.
size_t marker_at(const std::string &s) {
    for (size_t p = 0; p + OTC_MARKER <= s.size(); p++)
        if (s.compare(p, 2, "##") == 0 && s.compare(p + 12, 2, "##") == 0 &&
            s.substr(p + 2, 10).find_first_not_of("0123456789") == std::string::npos)
            return p;
    return std::string::npos;
}

void set_client(const char *c) {
    snprintf(save_client, sizeof save_client, "%s", c);
}

} // namespace

// Must stay the first test of this file: it looks at the key before any derivation.
TEST(Key, HoldsTenBlanksUntilTheFirstDerivation) {
    EXPECT_STREQ(keyOTC, "          ");
}

TEST(Sha1, MatchesTheStandardVectorsAndTheSystemToolUpToTheLimit) {
    EXPECT_EQ(sha1(""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(sha1("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(sha1("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklm"
                   "nopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "A49B2446A02C645BF419F995B67091253A04A259");
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; n++)
        lengths.push_back(n);
    for (size_t n = 2990; n <= SHA1_MAXMESS; n++)
        lengths.push_back(n);
    for (size_t n : lengths)
        ASSERT_EQ(sha1(sample(n)), boxtest::sha1sum_upper(sample(n))) << "length " << n;
}

TEST(Sha1, PaddingDecidesTheBlockCountAndOverlongTextIsRefused) {
    struct {
        size_t len;
        int blocks;
    } cases[] = {{55, 1}, {56, 2}, {119, 2}, {120, 3}, {SHA1_MAXMESS, 48}};
    for (auto c : cases) {
        sha1(sample(c.len));
        EXPECT_EQ(nb_de_block, c.blocks) << c.len;
    }
    EXPECT_EQ(sha1(sample(SHA1_MAXMESS + 1)), "");
    EXPECT_EQ(nb_de_block, 0);
    EXPECT_EQ(sha1(std::string(10000, 'z')), "");
    EXPECT_EQ(sha1("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D") << "nothing left behind";
}

TEST(HexHelpers, ConvertDigitsAndRotateWords) {
    char text[9] = {0};
    Conv_Long(text, 0x0123ABCFu);
    EXPECT_STREQ(text, "0123ABCF");
    for (int v = 0; v < 16; v++)
        EXPECT_EQ(Conv_Char(Conv_Ascii((char)v)), v);
    EXPECT_NE(Conv_Char('a'), 10) << "lower case is not a hexadecimal digit here";
    uint32_t r;
    left_rotate(&r, 0x80000001u, 1);
    EXPECT_EQ(r, 0x00000003u);
    left_rotate(&r, 0x12345678u, 0);
    EXPECT_EQ(r, 0x12345678u);
}

TEST(Rc4, MatchesPublishedKeyStreamsIncludingAFortyBitKey) {
    Bytes want40 = hex_bytes("b2396305f03dc027ccc3524a0a1118a8");
    EXPECT_EQ(rc4_stream("0102030405", 16), want40);
    const unsigned char k40[] = {1, 2, 3, 4, 5};
    rc4_init(k40, 5);
    for (unsigned char b : want40)
        EXPECT_EQ(rc4_output(), b);
    EXPECT_EQ(rc4_stream("01020304050607", 16), hex_bytes("293f02d47f37c9b633f2af5285feb46b"));
    // Key "Key", "Wiki", "Secret" as hexadecimal text.
    struct {
        const char *key, *plain, *cipher;
    } cases[] = {{"4B6579", "Plaintext", "BBF316E8D940AF0AD3"},
                 {"57696B69", "pedia", "1021BF0420"},
                 {"536563726574", "Attack at dawn", "45A01F645FC35B383552544B9BF5"}};
    for (auto &c : cases) {
        Bytes out(strlen(c.plain));
        CalRC4((const unsigned char *)c.plain, out.data(), (const unsigned char *)c.key);
        EXPECT_EQ(out, hex_bytes(c.cipher)) << c.key;
    }
    // In place gives the same bytes and writes nothing past the length.
    char text[] = "Plaintext";
    CalRC4((unsigned char *)text, (unsigned char *)text, (const unsigned char *)"4B6579");
    EXPECT_EQ(Bytes(text, text + 9), hex_bytes("BBF316E8D940AF0AD3"));
    EXPECT_EQ(text[9], 0);
}

TEST(Rc4, KeyTextOddDigitIsDroppedAndLongKeysAreCutTo19Bytes) {
    EXPECT_EQ(rc4_stream("12345"), rc4_stream("1234")) << "fifth digit dropped";
    EXPECT_NE(rc4_stream("123456"), rc4_stream("1234"));
    std::string key40 = "0102030405060708090A0B0C0D0E0F1011121314";
    EXPECT_EQ(rc4_stream(key40), rc4_stream(key40.substr(0, 38)));
    EXPECT_EQ(rc4_stream(key40 + "FFFFFF"), rc4_stream(key40.substr(0, 38)));
    EXPECT_NE(rc4_stream(key40.substr(0, 38)), rc4_stream(key40.substr(0, 36)));
    // No key byte at all never divides by zero: it acts as the one-byte key 00.
    EXPECT_EQ(rc4_stream(""), rc4_stream("00"));
    EXPECT_EQ(rc4_stream("7"), rc4_stream("00"));
    EXPECT_NE(rc4_stream("0a"), rc4_stream("0A"));
}

TEST(Condensate, DeciphersToTheTextWithTheMarkerBeforeItsLastCharacter) {
    FakeClock clock(1765000000);
    set_client("KELDRAN");
    initCleOTC("0123456789");
    const std::string text = "[IDENTIFICATION]\r\nPE01=BRAND\r\n[CRC]\r\nEMPREINTE=";
    std::set<std::string> markers;
    for (long long s = 0; s < 20; s++) {
        clock.set(1765000000 + s, 0);
        std::string plain = seal_and_open(text);
        size_t p = marker_at(plain);
        ASSERT_NE(p, std::string::npos) << plain;
        EXPECT_LT(p, text.size());
        EXPECT_EQ(plain.substr(0, p) + plain.substr(p + OTC_MARKER), text);
        markers.insert(plain.substr(p, OTC_MARKER));
    }
    EXPECT_GT(markers.size(), 1u) << "the seed follows the second";

    std::string one = seal_and_open("Z");
    EXPECT_EQ(marker_at(one), 0u);
    EXPECT_EQ(one.substr(OTC_MARKER), "Z");

    // Same second, same length: same marker at the same place.
    std::string a = seal_and_open("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    clock.advance_us(900000);
    std::string b = seal_and_open("abcdefghijklmnopqrstuvwxyz");
    ASSERT_NE(marker_at(a), std::string::npos);
    EXPECT_EQ(marker_at(a), marker_at(b));
    EXPECT_EQ(a.substr(marker_at(a), OTC_MARKER), b.substr(marker_at(b), OTC_MARKER));
}

TEST(Condensate, RefusesEmptyAndOverlongTextsLeavingThemUntouched) {
    FakeClock clock(1765000000);
    initCleOTC("0123456789");
    char empty[OTC_MARKER + 1] = {0};
    CalRC4OTC(empty);
    EXPECT_EQ(std::string(empty, sizeof empty), std::string(sizeof empty, '\0'));

    std::string longest(RC4OTC_MAXMESS, 'L');
    std::string plain = seal_and_open(longest);
    size_t p = marker_at(plain);
    ASSERT_NE(p, std::string::npos);
    EXPECT_EQ(plain.substr(0, p) + plain.substr(p + OTC_MARKER), longest);

    std::string over = longest + "Q";
    std::vector<char> buf(over.begin(), over.end());
    buf.resize(over.size() + OTC_MARKER + 1, 0);
    CalRC4OTC(buf.data());
    EXPECT_EQ(std::string(buf.data()), over);
}

TEST(Key, DigitsAreLoweredByOneAndMovedByTheMakersTable) {
    struct {
        const char *client;
        const unsigned char *table;
    } makers[] = {{"KELDRAN", tableKeldran},   {"", tableKeldran},  {"SPX", tableSpxBosch},
                  {"SPXBOSCH", tableSpxBosch}, {"MAHA", tableMaha}, {"MAH", tableKeldran}};
    std::set<std::string> keys;
    for (auto &m : makers) {
        set_client(m.client);
        initCleOTC("0A23456789XYZ"); // lowered F912345678; only ten characters count
        for (int i = 0; i < 10; i++)
            EXPECT_EQ(keyOTC[m.table[i] - 1], "F912345678"[i]) << m.client << " digit " << i;
        EXPECT_EQ(strlen(keyOTC), 10u);
        keys.insert(keyOTC);
    }
    EXPECT_EQ(keys.size(), 3u) << "three tables, three different keys";
    for (const unsigned char *t : {tableKeldran, tableSpxBosch, tableMaha})
        EXPECT_EQ(std::set<int>(t, t + 10), std::set<int>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(Key, LowerCaseTextGivesADifferentKeyAndShortTextIsRefused) {
    set_client("KELDRAN");
    initCleOTC("ABCDEF0123");
    std::string upper = keyOTC;
    initCleOTC("abcdef0123");
    EXPECT_NE(std::string(keyOTC), upper);
    initCleOTC("ABCDEF0123");
    initCleOTC("123456789"); // nine characters: no key can be made from it
    initCleOTC("");
    EXPECT_EQ(std::string(keyOTC), upper);
}
