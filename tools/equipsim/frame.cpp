// Frames of the equipment link as the simulator sees them: building one from records with its
// checksum, checking a received one, cutting it back into records, showing it readably, and
// gathering frames out of a byte stream.
#include <cstdio>

#include "internal.h"

namespace equipsim {

static bool is_control(char c) { return c == STX || c == ETX || c == EOT || c == ETB || c == 0; }

std::string checksum_of(const std::string &stx_to_etx) {
    unsigned char x = 0;
    for (char c : stx_to_etx) x ^= static_cast<unsigned char>(c);
    static const char hex[] = "0123456789ABCDEF";
    return std::string{hex[x >> 4], hex[x & 0x0F]};
}

bool checksum_holds(const std::string &raw) {
    if (raw.size() < MINFRAME || raw[0] != STX || raw.back() != EOT) return false;
    size_t cs = raw.size() - 3; // first checksum character
    if (raw[cs - 1] != ETX) return false;
    return raw.compare(cs, 2, checksum_of(raw.substr(0, cs))) == 0;
}

std::string build_frame(const std::vector<Record> &records, bool good_checksum) {
    std::string f;
    for (size_t i = 0; i < records.size(); i++) {
        f += i == 0 ? STX : ETB;
        f += records[i].code;
        f += records[i].text;
    }
    if (records.empty()) f += STX;
    f += ETX;
    std::string cs = checksum_of(f);
    if (!good_checksum) {
        // Any other pair of hex digits will do; change the low digit.
        cs[1] = cs[1] == '0' ? '1' : '0';
    }
    f += cs;
    f += EOT;
    return f;
}

std::string Frame::code() const {
    std::vector<Record> r = records();
    return r.empty() ? std::string() : r[0].code;
}

std::vector<Record> Frame::records() const {
    std::vector<Record> out;
    size_t i = 0;
    while (i < raw.size() && raw[i] != STX) i++;
    while (i < raw.size()) {
        char c = raw[i];
        if (c == ETX || c == EOT || c == 0) break;
        if (c != STX && c != ETB) { i++; continue; }
        size_t b = ++i;
        while (i < raw.size() && !is_control(raw[i])) i++;
        std::string seg = raw.substr(b, i - b);
        Record r;
        r.code = seg.substr(0, 4);
        r.text = seg.size() > 4 ? seg.substr(4) : std::string();
        out.push_back(r);
    }
    return out;
}

std::string readable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
        case STX: out += "<STX>"; break;
        case ETX: out += "<ETX>"; break;
        case EOT: out += "<EOT>"; break;
        case ETB: out += "<ETB>"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char h[8];
                snprintf(h, sizeof h, "<%02X>", c);
                out += h;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

void Assembler::feed(const char *p, size_t n, std::vector<std::string> &out) {
    const size_t cap = 4096; // a stream that never ends a frame is dropped past this
    for (size_t i = 0; i < n; i++) {
        char c = p[i];
        if (c == STX) {
            buf.assign(1, STX);
            in_frame = true;
            continue;
        }
        if (!in_frame) continue;
        buf += c;
        if (c == EOT) {
            if (buf.size() >= MINFRAME) out.push_back(buf);
            reset();
        } else if (buf.size() > cap) {
            reset();
        }
    }
}

} // namespace equipsim
