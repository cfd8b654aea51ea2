// The replay of a recorded link log (see replay.h): the steps of the recording, the matching
// of the bench box's frames to them, and the difference report.
#include "replay.h"

#include <algorithm>
#include <cstdio>

#include "equipsim.h"

namespace equipsim {

namespace {

// How the box's frames of each code are told apart, and what they are to the equipment.
struct Kind {
    const char *code;
    int key_chars;       // characters of the first record's text that make the key (-1: all)
    bool dated;          // that text is the box's date and time
    bool reply;          // the box's acknowledgement, refusal or reply within an exchange
    bool expects_answer; // a request that the equipment answers
};
const Kind KINDS[] = {
    {"0100", 0, false, false, true},  // peripheral list
    {"0110", 0, false, false, true},  // poll of a single instrument
    {"0120", 10, false, false, true}, // a vehicle (each frame of its message is a step)
    {"0121", 10, false, false, true}, // results of a key, or of any key ("??????????")
    {"0130", 0, true, false, true},   // date and time
    {"0140", 3, false, false, true},  // identification of a peripheral
    {"0150", 10, false, false, true}, // withdrawal of a key
    {"0174", 0, false, true, false},  // reply to the equipment's "0174"
    {"0900", 0, false, true, false},  // acknowledgement
    {"0902", 0, false, true, false},  // reply to the equipment's "0099"
    {"0904", 0, false, true, false},  // refusal of a frame with a bad checksum
};
const Kind UNKNOWN{"", -1, false, false, false};

const Kind &kind_of(const std::string &code) {
    for (const Kind &k : KINDS)
        if (code == k.code) return k;
    return UNKNOWN;
}

std::vector<Record> records_of(const std::string &raw) { return Frame{raw, true, 0, false}.records(); }

// The key a frame is matched by, and the row of its code.
std::string key_of(const std::string &raw, const Kind **kind) {
    const std::vector<Record> r = records_of(raw);
    if (r.empty()) {
        *kind = &UNKNOWN;
        return "|" + raw; // no record at all: the bytes themselves
    }
    *kind = &kind_of(r[0].code);
    const int n = (*kind)->key_chars;
    return r[0].code + "|" + (n < 0 ? r[0].text : r[0].text.substr(0, static_cast<size_t>(n)));
}

// Two texts alike as dates: the same length, digits where the other has digits, and the same
// byte wherever one of them is no digit.
bool alike_dates(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[i] >= '0' && b[i] <= '9';
        if (da != db || (!da && a[i] != b[i])) return false;
    }
    return true;
}

// How the bench box's frame differs from the recorded one, record by record; empty when they
// are the same (for a dated frame, whatever its date).
std::vector<std::string> differences(const std::string &rec, const std::string &bench, bool dated) {
    std::vector<std::string> out;
    if (rec == bench) return out;
    const std::vector<Record> a = records_of(rec), b = records_of(bench);
    auto said = [](const Record &r) { return r.code + " \"" + readable(r.text) + "\""; };
    for (size_t i = 0; i < std::max(a.size(), b.size()); i++) {
        const std::string n = "record " + std::to_string(i + 1) + ": ";
        if (i >= b.size()) out.push_back(n + said(a[i]) + " in the recording only");
        else if (i >= a.size()) out.push_back(n + said(b[i]) + " on the bench only");
        else if (a[i].code != b[i].code ||
                 (i == 0 && dated ? !alike_dates(a[i].text, b[i].text) : a[i].text != b[i].text))
            out.push_back(n + said(a[i]) + " in the recording, " + said(b[i]) + " on the bench");
    }
    if (checksum_holds(rec) != checksum_holds(bench))
        out.push_back(std::string("checksum ") + (checksum_holds(rec) ? "good" : "bad") +
                      " in the recording, " + (checksum_holds(bench) ? "good" : "bad") +
                      " on the bench");
    if (out.empty() && !dated) out.push_back("bytes differ outside the records");
    return out;
}

// "dd/mm/yy - hh:mm:ss" shown as "dd/mm/yy hh:mm:ss".
std::string shown(const std::string &stamp) {
    return stamp.size() < 19 ? stamp : stamp.substr(0, 8) + " " + stamp.substr(11);
}

} // namespace

Replay::Replay(const std::vector<LogEntry> &log, bool timing) : timing_(timing) {
    for (const LogEntry &e : log) {
        switch (e.kind) {
        case LogKind::Send: {
            Step s;
            s.box = e;
            const Kind *k;
            s.key = key_of(e.text, &k);
            s.reply = k->reply;
            s.expects_answer = k->expects_answer;
            s.dated = k->dated;
            if (!s.reply) requests_[s.key].push_back(steps_.size());
            steps_.push_back(s);
            break;
        }
        case LogKind::Receive:
        case LogKind::BadReceive:
            (e.kind == LogKind::Receive ? equipment_frames_ : bad_receives_)++;
            if (steps_.empty()) before_first_++;
            else steps_.back().answers.push_back(e);
            break;
        case LogKind::Purge: purged_++; break;
        case LogKind::Info: infos_++; break;
        case LogKind::Other: others_++; break;
        }
    }
}

std::string Replay::loaded() const {
    char b[512];
    snprintf(b, sizeof b,
             "%zu frames of the box, %d of the equipment and %d that never ended; "
             "%d lines that are no frames skipped (%d delivery lines, %d others)\n",
             steps_.size(), equipment_frames_, bad_receives_, infos_ + others_, infos_, others_);
    std::string out = b;
    if (purged_ || before_first_) {
        snprintf(b, sizeof b,
                 "not played: %d purges (bytes the box dropped unread) and %d equipment frames "
                 "before the first frame of the box\n",
                 purged_, before_first_);
        out += b;
    }
    return out;
}

std::vector<Answer> Replay::answer(const std::string &raw, const std::string &when, bool silenced) {
    int found = -1;
    if (!silenced) {
        const Kind *k;
        const std::string key = key_of(raw, &k);
        if (k->reply) {
            for (size_t i = static_cast<size_t>(last_ + 1); i < steps_.size() && steps_[i].reply; i++)
                if (!steps_[i].played && steps_[i].key == key) {
                    found = static_cast<int>(i);
                    break;
                }
        } else {
            auto q = requests_.find(key);
            if (q != requests_.end() && !q->second.empty()) {
                found = static_cast<int>(q->second.front());
                q->second.pop_front();
            }
        }
    }
    if (found < 0) {
        extras_.push_back({last_, raw, when, silenced});
        return {};
    }
    Step &s = steps_[static_cast<size_t>(found)];
    s.played = true;
    s.bench = raw;
    s.when = when;
    last_ = found;
    std::vector<Answer> out;
    for (const LogEntry &a : s.answers) {
        long long d = timing_ ? (a.t - s.box.t) * 1000 : 0;
        d = std::min<long long>(std::max<long long>(d, 0), MAX_DELAY_MS);
        if (!out.empty()) d = std::max<long long>(d, out.back().delay_ms + ANSWER_GAP_MS);
        out.push_back({a.text, static_cast<int>(d)});
    }
    return out;
}

bool Replay::played_out() const {
    for (const Step &s : steps_)
        if (!s.played && !s.answers.empty()) return false;
    return true;
}

ReplaySummary Replay::summary() const {
    ReplaySummary r;
    r.recorded = static_cast<int>(steps_.size());
    for (const Step &s : steps_) {
        if (!s.played) {
            r.missing++;
            continue;
        }
        r.matched++;
        if (!differences(s.box.text, s.bench, s.dated).empty()) r.different++;
        if (s.expects_answer && s.answers.empty()) r.unanswered++;
    }
    r.extra = static_cast<int>(extras_.size());
    return r;
}

std::string Replay::report() const {
    const ReplaySummary sum = summary();
    char b[512];
    snprintf(b, sizeof b,
             "Difference from the recording: %d frames of the box recorded, %d matched (%d "
             "different, %d unanswered in the recording), %d missing, %d extra.\n",
             sum.recorded, sum.matched, sum.different, sum.unanswered, sum.missing, sum.extra);
    std::string out = b;
    if (!sum.different && !sum.unanswered && !sum.missing && !sum.extra)
        return out + "The bench box sent every recorded frame, the same, and nothing else.\n";

    // The lines in recorded order; alike lines in a row (same kind, same frame or key, no
    // details) are told once.
    struct Line {
        std::string what, group, head, frame, last;
        std::vector<std::string> details;
        int count;
    };
    std::vector<Line> lines;
    auto add = [&](Line l) {
        if (l.details.empty() && !lines.empty() && lines.back().details.empty() &&
            lines.back().what == l.what && lines.back().group == l.group) {
            lines.back().count++;
            lines.back().last = l.last;
            return;
        }
        lines.push_back(l);
    };
    std::vector<const Extra *> extras;
    for (const Extra &e : extras_) extras.push_back(&e);
    std::stable_sort(extras.begin(), extras.end(),
                     [](const Extra *a, const Extra *c) { return a->after < c->after; });
    size_t x = 0;
    for (int p = -1; p < static_cast<int>(steps_.size()); p++) {
        bool told = false; // this step has a line of its own
        if (p >= 0) {
            const Step &s = steps_[static_cast<size_t>(p)];
            const std::string rec = shown(s.box.stamp);
            const std::string group = s.key + (s.dated ? "" : "|" + s.box.text);
            if (!s.played) {
                add({"missing", group, rec, readable(s.box.text), rec, {}, 1});
            } else {
                const std::string both = rec + "  bench " + s.when;
                std::vector<std::string> d = differences(s.box.text, s.bench, s.dated);
                if (!d.empty()) add({"different", group, both, readable(s.bench), "", d, 1});
                if (s.expects_answer && s.answers.empty())
                    add({"unanswered", group, both, readable(s.bench) + "  (no answer in the recording)",
                         "bench " + s.when, {}, 1});
                told = !d.empty() || (s.expects_answer && s.answers.empty());
            }
        }
        // where the bench box was in the recording when its extra frames came
        if (p >= 0 && !told && x < extras.size() && extras[x]->after == p) {
            const Step &s = steps_[static_cast<size_t>(p)];
            lines.push_back({"played", "", shown(s.box.stamp) + "  bench " + s.when,
                             readable(s.bench) + "  (the last recorded frame played before)", "", {}, 1});
        }
        for (; x < extras.size() && extras[x]->after == p; x++) {
            const Extra &e = *extras[x];
            const Kind *k;
            const std::string key = key_of(e.raw, &k);
            add({"extra", key + (k->dated ? "" : "|" + e.raw) + (e.silenced ? "|silent" : ""),
                 "bench " + e.when,
                 readable(e.raw) + (e.silenced ? "  (while silent on request)" : ""),
                 "bench " + e.when, {}, 1});
        }
    }
    for (const Line &l : lines) {
        char w[16];
        snprintf(w, sizeof w, "  %-11s ", l.what.c_str());
        out += w + l.head + "  " + l.frame;
        if (l.count > 1) out += "  (x" + std::to_string(l.count) + ", the last " + l.last + ")";
        out += "\n";
        for (const std::string &d : l.details) out += "              " + d + "\n";
    }
    return out;
}

} // namespace equipsim
