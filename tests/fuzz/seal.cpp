// Fuzz target: the sealing of OTCLAN files, each part against an independent
// implementation: CalSha1 against libcrypto's SHA-1, CalRC4 against the textbook RC4
// below, and the condensate CalRC4OTC deciphered back to its text with the marker inside.
//
// Input: byte 0 is the length of the key text (modulo 48); that many following bytes,
// each taken as one hexadecimal digit (its low four bits), are the key text; the rest,
// up to its first NUL, is the message.
#include <openssl/sha.h>
#include <stdlib.h>
#include <string.h>

#include "boxtest.h"
#include "cryOTC.h"
#include "file_param.h"
#include "fuzzsupport.h"

// RC4 as published: the key schedule over the key bytes, then the keystream.
static std::string textbook_rc4(const std::string &key, const std::string &in) {
    unsigned char s[256];
    for (int i = 0; i < 256; i++)
        s[i] = (unsigned char)i;
    for (int i = 0, j = 0; i < 256; i++) {
        j = (j + s[i] + (unsigned char)key[i % key.size()]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    std::string out = in;
    for (size_t n = 0, i = 0, j = 0; n < in.size(); n++) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        out[n] = (char)(in[n] ^ s[(s[i] + s[j]) & 0xFF]);
    }
    return out;
}

// The key bytes of a key text of hexadecimal digits: one byte per whole pair of the
// first 39 characters; no whole pair acts as the one-byte key 0.
static std::string key_bytes(const std::string &text) {
    std::string t = text.substr(0, RC4_MAXKEYTEXT);
    std::string key;
    for (size_t i = 0; i + 1 < t.size(); i += 2)
        key += (char)std::stoi(t.substr(i, 2), nullptr, 16);
    if (key.empty()) key.assign(1, '\0');
    return key;
}

static bool is_marker(const std::string &s, size_t at) {
    if (s.size() < at + OTC_MARKER || s.compare(at, 2, "##") != 0) return false;
    for (size_t k = at + 2; k < at + 12; k++)
        if (s[k] < '0' || s[k] > '9') return false;
    return s.compare(at + 12, 2, "##") == 0;
}

static void check_sha1(const std::string &msg) {
    char hash[41];
    CalSha1(msg.c_str(), hash);
    if (msg.size() > SHA1_MAXMESS) {
        FUZZ_CHECK(hash[0] == 0, "a text too long for the work buffer is refused");
        return;
    }
    unsigned char md[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), md);
    FUZZ_CHECK(fuzz::hex(md, sizeof md) == hash, "CalSha1 is SHA-1");
}

static void check_rc4(const std::string &keytext, const std::string &msg) {
    std::string out(msg.size(), '\0');
    CalRC4(reinterpret_cast<const unsigned char *>(msg.c_str()),
           reinterpret_cast<unsigned char *>(&out[0]),
           reinterpret_cast<const unsigned char *>(keytext.c_str()));
    FUZZ_CHECK(out == textbook_rc4(key_bytes(keytext), msg), "CalRC4 is RC4");
}

static void check_condensate(const std::string &keytext, const std::string &msg) {
    snprintf(keyOTC, sizeof keyOTC, "%s", "          ");
    initCleOTC(keytext.c_str());
    const std::string key = keyOTC;
    if (keytext.size() >= 10) {
        FUZZ_CHECK(key.size() == 10 && key.find_first_not_of("0123456789ABCDEF") == key.npos,
                   "a key of ten hexadecimal digits derives ten hexadecimal digits");
    } else {
        FUZZ_CHECK(key == "          ", "a short key text leaves the key as it was");
        return;
    }
    // the condensate replaces strlen + OTC_MARKER bytes: a block of exactly that size
    const size_t room = msg.size() + OTC_MARKER;
    char *buf = static_cast<char *>(malloc(room));
    memcpy(buf, msg.c_str(), msg.size() + 1);
    CalRC4OTC(buf);
    const std::string sealed(buf, msg.empty() || msg.size() > RC4OTC_MAXMESS ? msg.size() : room);
    free(buf);
    if (msg.empty() || msg.size() > RC4OTC_MAXMESS) {
        FUZZ_CHECK(sealed == msg, "a text the condensate refuses stays as it is");
        return;
    }
    const std::string clear = textbook_rc4(key_bytes(key), sealed);
    bool found = false;
    for (size_t at = 0; at < msg.size() && !found; at++)
        found = is_marker(clear, at) && clear.substr(0, at) + clear.substr(at + OTC_MARKER) == msg;
    FUZZ_CHECK(found, "the condensate deciphers to the text with the marker inside");
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    fuzz::restart_clock();
    snprintf(save_client, sizeof save_client, "%s", (data[0] & 0x40) ? "SPX" : "KELDRAN");
    size_t keylen = data[0] % 48;
    if (keylen > size - 1) keylen = size - 1;
    std::string keytext;
    for (size_t i = 0; i < keylen; i++)
        keytext += "0123456789ABCDEF"[data[1 + i] & 15];
    const char *rest = reinterpret_cast<const char *>(data + 1 + keylen);
    const std::string msg(rest, strnlen(rest, size - 1 - keylen));

    check_sha1(msg);
    check_rc4(keytext, msg);
    check_condensate(keytext, msg);
    // raw key texts of any bytes: nothing is checked but the bounds
    std::string raw(reinterpret_cast<const char *>(data + 1), strnlen((const char *)data + 1, keylen));
    initCleOTC(raw.c_str());
    char out[64];
    CalRC4(reinterpret_cast<const unsigned char *>("condensat"), reinterpret_cast<unsigned char *>(out),
           reinterpret_cast<const unsigned char *>(raw.c_str()));
    return 0;
}
