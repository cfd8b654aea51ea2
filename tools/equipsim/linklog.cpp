// Reading the concentrator's link log back into entries (see linklog.h for the rules of a
// line). The reader goes line by line (LF), keeps the last entry back while the next line may
// still be part of its text, and accounts for every byte of its input.
#include "linklog.h"

#include <cstdio>
#include <cstring>

namespace equipsim {

static const char EOT_BYTE = 0x04;
static const size_t STAMP_LEN = 19; // "dd/mm/yy - hh:mm:ss"
static const char STAMP_END[] = ":  ";

// The lines of the box, by their prefix ("BAD RECEIVE: " before "RECEIVE: ", which it holds).
static const struct {
    LogKind kind;
    const char *prefix;
} PREFIXES[] = {
    {LogKind::Send, "SEND:"},       {LogKind::BadReceive, "BAD RECEIVE: "},
    {LogKind::Receive, "RECEIVE: "}, {LogKind::Purge, "PURGE:"},
    {LogKind::Info, "INFO: "},
};

const char *log_prefix(LogKind k) {
    for (const auto &p : PREFIXES)
        if (p.kind == k) return p.prefix;
    return "";
}

static bool leap(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

static int month_days(int year, int month) {
    static const int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : DAYS[month - 1];
}

// Days from 01/01/2000 to the given date.
static long long days_since_2000(int year, int month, int day) {
    long long d = 0;
    for (int y = 2000; y < year; y++) d += leap(y) ? 366 : 365;
    for (int m = 1; m < month; m++) d += month_days(year, m);
    return d + day - 1;
}

static bool two_digits(const std::string &s, size_t at, int *v) {
    if (at + 2 > s.size()) return false;
    unsigned char a = static_cast<unsigned char>(s[at]), b = static_cast<unsigned char>(s[at + 1]);
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    *v = (a - '0') * 10 + (b - '0');
    return true;
}

bool parse_stamp(const std::string &s, long long *t) {
    if (s.size() < STAMP_LEN || s[2] != '/' || s[5] != '/' || s.compare(8, 3, " - ") != 0 ||
        s[13] != ':' || s[16] != ':')
        return false;
    int dd, mm, yy, h, m, sec;
    if (!two_digits(s, 0, &dd) || !two_digits(s, 3, &mm) || !two_digits(s, 6, &yy) ||
        !two_digits(s, 11, &h) || !two_digits(s, 14, &m) || !two_digits(s, 17, &sec))
        return false;
    const int year = 2000 + yy;
    if (mm < 1 || mm > 12 || dd < 1 || dd > month_days(year, mm) || h > 23 || m > 59 || sec > 59)
        return false;
    *t = days_since_2000(year, mm, dd) * 86400 + h * 3600 + m * 60 + sec;
    return true;
}

std::string format_stamp(long long t) {
    if (t < 0) t = 0;
    long long days = t / 86400, rest = t % 86400;
    int year = 2000;
    while (days >= (leap(year) ? 366 : 365)) days -= leap(year++) ? 366 : 365;
    int month = 1;
    while (days >= month_days(year, month)) days -= month_days(year, month++);
    char b[32];
    snprintf(b, sizeof b, "%02d/%02d/%02d - %02lld:%02lld:%02lld", static_cast<int>(days) + 1, month,
             year % 100, rest / 3600, rest / 60 % 60, rest % 60);
    return b;
}

// A line of the box begins with its prefix, the stamp and ":  "; true with the entry's kind,
// stamp and time filled in and *head the length of all that.
static bool line_start(const std::string &s, LogEntry *e, size_t *head) {
    for (const auto &p : PREFIXES) {
        const size_t n = strlen(p.prefix);
        if (s.compare(0, n, p.prefix) != 0) continue;
        long long t;
        const std::string rest = s.substr(n, STAMP_LEN + 3);
        if (!parse_stamp(rest, &t) || rest.compare(STAMP_LEN, 3, STAMP_END) != 0) return false;
        e->kind = p.kind;
        e->stamp = rest.substr(0, STAMP_LEN);
        e->t = t;
        *head = n + STAMP_LEN + 3;
        return true;
    }
    return false;
}

// A frame sent or received is whole once it reaches its EOT; other lines end at their CR LF.
static bool whole(const LogEntry &e) {
    if (e.kind != LogKind::Send && e.kind != LogKind::Receive) return true;
    return !e.text.empty() && e.text.back() == EOT_BYTE;
}

void LogReader::flush_held(std::vector<LogEntry> &out) {
    if (!holding_) return;
    holding_ = false;
    out.push_back(held_);
}

// One line of the input, in cur_ (its LF taken off when it had one).
void LogReader::piece(bool has_lf, std::vector<LogEntry> &out) {
    const size_t begin = cur_begin_, end = offset_;
    const bool cr = !cur_.empty() && cur_.back() == '\r';
    std::string body = cr ? cur_.substr(0, cur_.size() - 1) : cur_;
    lines_++;
    LogEntry e;
    size_t head = 0;
    if (line_start(body, &e, &head)) {
        flush_held(out);
        e.text = body.substr(head);
        e.line = lines_;
        e.begin = begin;
        e.end = end;
        held_ = e;
        holding_ = true;
    } else if (holding_) {
        // the line before did not end there: its CR (if any) and LF are bytes of its text
        held_.text += held_cr_ ? "\r\n" : "\n";
        held_.text += body;
        held_.end = end;
    } else {
        e.kind = LogKind::Other;
        e.text = body;
        e.line = lines_;
        e.begin = begin;
        e.end = end;
        out.push_back(e);
    }
    held_cr_ = cr;
    if (holding_ && ((cr && has_lf && whole(held_)) || !has_lf)) flush_held(out);
    cur_.clear();
    cur_begin_ = offset_;
}

void LogReader::feed(const char *p, size_t n, std::vector<LogEntry> &out) {
    for (size_t i = 0; i < n; i++) {
        offset_++;
        if (p[i] == '\n') piece(true, out);
        else cur_ += p[i];
    }
}

void LogReader::finish(std::vector<LogEntry> &out) {
    if (!cur_.empty()) piece(false, out);
    flush_held(out);
}

std::vector<LogEntry> read_log(const std::string &bytes) {
    LogReader r;
    std::vector<LogEntry> out;
    r.feed(bytes.data(), bytes.size(), out);
    r.finish(out);
    return out;
}

} // namespace equipsim
