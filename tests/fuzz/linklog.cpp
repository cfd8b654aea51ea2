// Fuzz target: the bench's reader of the concentrator's link log (a file copied from the
// field: cut, rotated, started in the middle of a line, any bytes in its frames) and the
// replay built on it.
//
// Input: part 1 is the log; part 2 (after a line "====") holds frames of a bench box, one a
// line, played to a replay of that log after the recorded box's own frames have been played
// to another.
//
// Checks beyond memory errors:
//   - every byte of the log belongs to exactly one entry, in order, and each entry is its
//     bytes: prefix, stamp, ":  " and text (or the whole line), then LF, CR LF or nothing;
//   - a stamp reads back as the same stamp;
//   - the log read in pieces of any size gives the same entries as read whole;
//   - a box that sends exactly the recorded box's frames gets exactly the recorded answers,
//     with delays that never go back, and the replay finds no difference;
//   - whatever a bench box sends, the report's counts add up.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "linklog.h"
#include "replay.h"

using equipsim::LogEntry;
using equipsim::LogKind;

namespace {

bool same(const LogEntry &a, const LogEntry &b) {
    return a.kind == b.kind && a.stamp == b.stamp && a.t == b.t && a.text == b.text &&
           a.line == b.line && a.begin == b.begin && a.end == b.end;
}

void check_entries(const std::string &log, const std::vector<LogEntry> &entries) {
    size_t at = 0, line = 0;
    for (const LogEntry &e : entries) {
        FUZZ_CHECK(e.begin == at && e.end > e.begin && e.end <= log.size(), "entries follow each other");
        FUZZ_CHECK(e.line > line, "line numbers grow");
        line = e.line;
        at = e.end;
        std::string head;
        if (e.kind != LogKind::Other) {
            long long t = -1;
            FUZZ_CHECK(equipsim::parse_stamp(e.stamp, &t) && t == e.t, "the stamp is a time");
            FUZZ_CHECK(equipsim::format_stamp(e.t) == e.stamp, "a stamp reads back the same");
            head = std::string(equipsim::log_prefix(e.kind)) + e.stamp + ":  ";
        }
        const std::string bytes = log.substr(e.begin, e.end - e.begin);
        const std::string body = head + e.text;
        FUZZ_CHECK(bytes == body || bytes == body + "\n" || bytes == body + "\r\n" ||
                       (bytes == body + "\r" && e.end == log.size()),
                   "an entry is its own bytes");
    }
    FUZZ_CHECK(at == log.size(), "every byte belongs to an entry");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> p = fuzz::parts(data, size, 2);
    const std::string log = fuzz::bytes_of(p[0]);

    const std::vector<LogEntry> entries = equipsim::read_log(log);
    check_entries(log, entries);

    // the same log fed in pieces, their sizes drawn from its own bytes
    equipsim::LogReader reader;
    std::vector<LogEntry> pieces;
    for (size_t at = 0, k = 0; at < log.size(); k++) {
        size_t n = 1 + static_cast<unsigned char>(log[k % log.size()]) % 37;
        n = std::min(n, log.size() - at);
        reader.feed(log.data() + at, n, pieces);
        at += n;
    }
    reader.finish(pieces);
    FUZZ_CHECK(pieces.size() == entries.size(), "pieces or whole: as many entries");
    for (size_t i = 0; i < entries.size(); i++)
        FUZZ_CHECK(same(pieces[i], entries[i]), "pieces or whole: the same entries");

    // The recorded box's own frames get the recorded answers, one step after the other.
    equipsim::Replay same_box(entries, true);
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].kind != LogKind::Send) continue;
        std::vector<std::string> want;
        for (size_t j = i + 1; j < entries.size() && entries[j].kind != LogKind::Send; j++)
            if (entries[j].kind == LogKind::Receive || entries[j].kind == LogKind::BadReceive)
                want.push_back(entries[j].text);
        const std::vector<equipsim::Answer> got = same_box.answer(entries[i].text, "00:00:00.000");
        FUZZ_CHECK(got.size() == want.size(), "as many answers as recorded");
        int last = -1;
        for (size_t k = 0; k < got.size(); k++) {
            FUZZ_CHECK(got[k].bytes == want[k], "the recorded bytes");
            FUZZ_CHECK(got[k].delay_ms >= 0 && got[k].delay_ms > last, "delays go forward");
            last = got[k].delay_ms;
        }
    }
    const equipsim::ReplaySummary s = same_box.summary();
    FUZZ_CHECK(s.matched == s.recorded && !s.missing && !s.extra && !s.different,
               "the recorded box itself differs in nothing");
    FUZZ_CHECK(same_box.played_out(), "every answer played");

    // Any bench box: the counts add up.
    equipsim::Replay bench(entries);
    int sent = 0;
    const std::string &frames = p[1];
    for (size_t at = 0; at < frames.size();) {
        size_t lf = frames.find('\n', at);
        if (lf == std::string::npos) lf = frames.size();
        bench.answer(frames.substr(at, lf - at), "00:00:00.000", sent % 7 == 6);
        sent++;
        at = lf + 1;
    }
    const equipsim::ReplaySummary b = bench.summary();
    FUZZ_CHECK(b.matched + b.missing == b.recorded, "every recorded frame matched or missing");
    FUZZ_CHECK(b.matched + b.extra == sent, "every bench frame matched or extra");
    FUZZ_CHECK(b.different <= b.matched && b.unanswered <= b.matched, "within the matched ones");
    FUZZ_CHECK(!bench.report().empty(), "a report");
    return 0;
}
