// logdecode: reads the concentrator's link log (log.txt) and prints each frame
// readably: time, direction, the raw bytes with control bytes named (<STX>, <ETB>...),
// the records split by code, and whether the checksum holds. Delivery lines ("INFO:")
// are printed as they are.
//
//   logdecode [--follow] [LOGFILE]     (standard input when no file is given)
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char STX = 0x02, ETX = 0x03, EOT = 0x04, ETB = 0x17;

std::string readable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
        case 0x02: out += "<STX>"; break;
        case 0x03: out += "<ETX>"; break;
        case 0x04: out += "<EOT>"; break;
        case 0x17: out += "<ETB>"; break;
        default:
            if (c < 0x20 || c > 0x7E) {
                char b[8];
                snprintf(b, sizeof b, "<%02X>", c);
                out += b;
            } else {
                out += (char)c;
            }
        }
    }
    return out;
}

// "ok", "BAD (computed XX)" or "incomplete"
std::string checksum_state(const std::string &f) {
    size_t etx = f.find(ETX);
    if (f.empty() || f[0] != STX || etx == std::string::npos || etx + 3 >= f.size() + 0 ||
        f.size() < 9)
        return "incomplete frame";
    unsigned x = 0;
    for (size_t i = 0; i <= etx; i++)
        x ^= (unsigned char)f[i];
    char want[3];
    snprintf(want, sizeof want, "%02X", x & 0xFF);
    if (f.size() < etx + 4 || f[etx + 3] != EOT) return "incomplete frame";
    if (f.compare(etx + 1, 2, want) == 0) return "checksum ok";
    return std::string("CHECKSUM BAD (should be ") + want + ")";
}

struct Record {
    std::string code, text;
};

std::vector<Record> records(const std::string &f) {
    std::vector<Record> out;
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] != STX && f[i] != ETB) continue;
        size_t j = i + 1;
        while (j < f.size() && f[j] != ETB && f[j] != ETX && f[j] != EOT && f[j] != STX)
            j++;
        std::string body = f.substr(i + 1, j - i - 1);
        out.push_back({body.substr(0, 4), body.size() > 4 ? body.substr(4) : ""});
        i = j - 1;
        if (j < f.size() && (f[j] == ETX || f[j] == EOT)) break;
    }
    return out;
}

struct Kind {
    const char *prefix;
    const char *label;
};
const Kind kinds[] = {
    {"SEND:", "box -> equipment   SEND"},
    {"RECEIVE: ", "equipment -> box   RECEIVE"},
    {"BAD RECEIVE: ", "equipment -> box   BAD RECEIVE"},
    {"PURGE:", "equipment -> box   PURGE (unasked bytes dropped before a send)"},
};

void decode_line(const std::string &line) {
    if (line.rfind("INFO: ", 0) == 0) {
        printf("%s\n\n", line.c_str());
        return;
    }
    for (const Kind &k : kinds) {
        size_t n = strlen(k.prefix);
        if (line.compare(0, n, k.prefix) != 0) continue;
        // "dd/mm/yy - hh:mm:ss:  frame"
        std::string rest = line.substr(n);
        std::string when = rest.size() >= 19 ? rest.substr(0, 19) : rest;
        std::string frame = rest.size() > 22 ? rest.substr(22) : "";
        bool is_frame = k.prefix[0] != 'P';
        printf("[%s] %s", when.c_str(), k.label);
        if (is_frame) printf("   %s", checksum_state(frame).c_str());
        printf("\n    %s\n", readable(frame).c_str());
        if (is_frame)
            for (const Record &r : records(frame))
                printf("    %-4s \"%s\"\n", r.code.c_str(), readable(r.text).c_str());
        printf("\n");
        return;
    }
    if (!line.empty()) printf("%s\n", readable(line).c_str());
}

} // namespace

int main(int argc, char **argv) {
    bool follow = false;
    const char *path = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--follow") || !strcmp(argv[i], "-f"))
            follow = true;
        else if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            printf("usage: logdecode [--follow] [LOGFILE]\n"
                   "Prints each frame of the concentrator's link log readably: time, direction,\n"
                   "control bytes as <STX> <ETB> <ETX> <EOT>, the records split by code and\n"
                   "whether the checksum holds. Reads standard input when no file is given;\n"
                   "--follow keeps reading as the log grows.\n");
            return 0;
        } else
            path = argv[i];
    }
    FILE *f = path ? fopen(path, "rb") : stdin;
    if (!f) {
        perror(path);
        return 1;
    }
    std::string line;
    for (;;) {
        int c = fgetc(f);
        if (c == EOF) {
            if (!follow) break;
            clearerr(f);
            fflush(stdout);
            usleep(200000);
            continue;
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            decode_line(line);
            line.clear();
        } else {
            line += (char)c;
        }
    }
    if (!line.empty()) decode_line(line);
    return 0;
}
