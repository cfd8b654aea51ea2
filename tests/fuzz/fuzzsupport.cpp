// Helpers shared by the fuzz targets (see fuzzsupport.h).
#include "fuzzsupport.h"

#include <ctype.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "plat.h"

namespace fuzz {

std::string root(const std::string &rel) { return std::string(BOX_ROOT) + rel; }

std::vector<std::string> parts(const uint8_t *data, size_t size, size_t most, size_t *found) {
    static const char sep[] = "====\n";
    const size_t seplen = sizeof sep - 1;
    std::string in(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() + 1 < most) {
        size_t at = start;
        size_t cut = std::string::npos;
        while ((at = in.find(sep, at, seplen)) != std::string::npos) {
            if (at == 0 || in[at - 1] == '\n') {
                cut = at;
                break;
            }
            at++;
        }
        if (cut == std::string::npos) break;
        out.push_back(in.substr(start, cut - start));
        start = cut + seplen;
    }
    out.push_back(in.substr(start));
    if (found) *found = out.size();
    while (out.size() < most)
        out.emplace_back();
    return out;
}

std::string bytes_of(const std::string &part) {
    if (!part.empty() && part.back() == '\n') return part.substr(0, part.size() - 1);
    return part;
}

std::vector<std::string> lines_read(const std::string &file, size_t most) {
    std::vector<std::string> out;
    for (size_t at = 0; at < file.size();) {
        size_t lf = file.find('\n', at);
        size_t end = lf == std::string::npos ? file.size() : lf + 1;
        std::string line = file.substr(at, std::min(end - at, most));
        out.push_back(line.substr(0, line.find('\0')));
        at = end;
    }
    return out;
}

void mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

void put(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

std::string get(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

static void walk(const std::string &dir, const std::string &rel, std::vector<std::string> *files,
                 bool remove) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            walk(path, rel + name + "/", files, remove);
            if (remove) rmdir(path.c_str());
        } else {
            if (files) files->push_back(rel + name);
            if (remove) unlink(path.c_str());
        }
    }
    closedir(d);
}

void empty_dir(const std::string &path) { walk(path, "", nullptr, true); }

std::vector<std::string> files_under(const std::string &dir) {
    std::vector<std::string> out;
    walk(dir, "", &out, false);
    return out;
}

// Standard error as it was at start-up: the fuzzer may close the program's own (the
// product prints a lot), but the reason of a finding must be seen.
static int report_fd = 2;

void fail(const std::string &what) {
    dprintf(report_fd, "\nfuzz check failed: %s\n", what.c_str());
    abort();
}

static long long clock_us;
static void fixed_clock(struct timeval *tv) {
    tv->tv_sec = clock_us / 1000000;
    tv->tv_usec = clock_us % 1000000;
    clock_us += 1000;
}
static int answer_done(const char *) { return 0; }
// a pause takes no real time, but the clock moves on by its length
static void clock_pause(unsigned us) { clock_us += us; }

void restart_clock(void) { clock_us = 1765000000LL * 1000000; }

void start(int (*cmd)(const char *cmd)) {
    if (report_fd == 2) report_fd = dup(2);
    // never outside a sandbox: its root is a directory named root
    const std::string r = root();
    if (r.size() < 10 || r.compare(r.size() - 5, 5, "/root") != 0) fail("no sandbox root: " + r);
    mkdirs(r);
    empty_dir(r);
    restart_clock();
    now_hook = fixed_clock;
    cmd_hook = cmd ? cmd : answer_done;
    pause_hook = clock_pause;
}

OutboxEntry parse_entry(const std::string &name, const std::string &bytes, size_t most) {
    OutboxEntry e;
    e.name = name;
    if (bytes.size() < 22 || bytes.compare(0, 3, "OB2") != 0 || bytes[4] != 0 || bytes[21] != 0)
        return e;
    e.rule = bytes[3];
    for (size_t i = 5; i < 21; i++)
        if (!isdigit((unsigned char)bytes[i]) && !(bytes[i] >= 'A' && bytes[i] <= 'F')) return e;
    const unsigned long length = std::stoul(bytes.substr(5, 8), nullptr, 16);
    const unsigned long crc = std::stoul(bytes.substr(13, 8), nullptr, 16);
    size_t at = 22;
    for (std::string *field : {&e.dest, &e.order, &e.local}) {
        size_t end = bytes.find('\0', at);
        if (end == std::string::npos || end - at >= most) return e;
        *field = bytes.substr(at, end - at);
        at = end + 1;
    }
    e.payload = bytes.substr(at);
    uLong sum = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(&e.rule), 1);
    sum = crc32(sum, reinterpret_cast<const Bytef *>(bytes.data()) + 22, (uInt)(bytes.size() - 22));
    const bool fields =
        !e.dest.empty() &&
        (e.rule == 'R' || e.rule == 'I' ||
         ((e.rule == 'O' || e.rule == 'E') && !e.order.empty() && !e.local.empty()));
    e.whole = fields && length == e.payload.size() && sum == crc;
    return e;
}

std::vector<std::pair<std::string, std::string>> dir_files(const std::string &dir) {
    std::vector<std::pair<std::string, std::string>> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        struct stat st;
        const std::string path = dir + "/" + e->d_name;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            out.emplace_back(e->d_name, get(path));
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string norm(const std::string &path) {
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    const std::string r = root() + "/";
    if (out.compare(0, r.size(), r) == 0) return out.erase(0, r.size());
    // a path outside the sandbox root keeps its leading '/', or its relative form, behind a
    // mark: it never reads as a place under the root, which the box would not write either
    return "?" + out;
}

std::string hex(const unsigned char *bytes, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

} // namespace fuzz
