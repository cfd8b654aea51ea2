// Playing a station's recorded link log back to a box on the bench: the equipment's side of
// the recording answers the bench box's frames, and what the bench box did differently is
// told at the end.
//
// The recording is cut into steps: each frame the recorded box sent, with the frames the
// equipment sent after it and before the box's next frame (its answers). A frame from the
// bench box is given the answers of the step it matches:
//   - a request (anything but the box's own acknowledgements, refusals and replies "0900",
//     "0902", "0904", "0174") matches the earliest step not yet played whose frame has the
//     same code and key, in recorded order; so the n-th "0121" for a key gets the answers of
//     the n-th recorded one, however often or seldom the bench box polls between them;
//   - an acknowledgement, refusal or reply belongs to the exchange under way: it matches the
//     first step not yet played of the same code among the replies that follow, in the
//     recording, the step played last.
// The key of a frame is the text of its first record, as far as its code's row of KINDS says:
// the vehicle's key for "0120", "0121" and "0150", the peripheral's number for "0140", nothing
// for "0100", "0110", "0130" (its date and time are the bench box's own) and the replies; the
// whole text for a code the table does not know. A frame that matches no step gets no answer:
// it is an extra frame of the bench box.
//
// The answers are the recorded bytes as they were: bad checksums, frames that never ended.
// Bytes the box purged unread, and equipment frames before the first frame of the box (a log
// that begins in the middle of a dialogue), are not played: nothing tells what they answered.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "linklog.h"

namespace equipsim {

struct Answer {
    std::string bytes; // as recorded
    int delay_ms;      // after the bench box's frame
};

struct ReplaySummary {
    int recorded = 0;   // frames the recorded box sent (steps)
    int matched = 0;    // of those, matched by a frame of the bench box
    int different = 0;  // of the matched ones, those whose records differ
    int unanswered = 0; // of the matched requests, those the recording never answered
    int missing = 0;    // recorded frames of the box that the bench box did not send
    int extra = 0;      // frames of the bench box that match no recorded frame
};

class Replay {
public:
    // Answers go out one after the other, this far apart at least, so that a box reading one
    // frame per receive (a TCP receive drops what follows the frame) takes each on its own.
    static constexpr int ANSWER_GAP_MS = 400;
    // With timing, a recorded delay is kept up to this (a box clock set meanwhile makes longer
    // or negative ones).
    static constexpr int MAX_DELAY_MS = 10000;

    // timing: keep the recorded delays between the box's frame and each answer (whole
    // seconds, as the log has them).
    explicit Replay(const std::vector<LogEntry> &log, bool timing = false);

    // What was read, and what is not played (one paragraph, lines ending "\n").
    std::string loaded() const;
    // The bench box sent raw at the wall time when ("hh:mm:ss.mmm"): the answers to play, in
    // order. A frame sent while the equipment is silenced on request is not matched, and is
    // told as an extra frame.
    std::vector<Answer> answer(const std::string &raw, const std::string &when,
                               bool silenced = false);
    // True once every step that has answers has been played.
    bool played_out() const;
    ReplaySummary summary() const;
    // The difference report: the counts, then in recorded order every recorded frame of the
    // box that is missing, different or unanswered, and every extra frame after the step that
    // was played last when it came (that step shown first as "played"); a run of alike lines
    // is told once with its count.
    std::string report() const;

private:
    struct Step {
        LogEntry box;                 // the frame the recorded box sent
        std::vector<LogEntry> answers; // what the equipment sent next
        std::string key;              // code and key
        bool reply = false;           // an acknowledgement, refusal or reply of the box
        bool expects_answer = false;  // a request the equipment answers
        bool dated = false;           // its first record's text is a date and time
        bool played = false;
        std::string bench, when;      // the bench box's frame matched to it, and when it came
    };
    struct Extra {
        int after;                    // the step played last when it came (-1: none yet)
        std::string raw, when;
        bool silenced;
    };
    bool timing_;
    std::vector<Step> steps_;
    std::map<std::string, std::deque<size_t>> requests_; // steps not yet played, by key
    std::vector<Extra> extras_;
    int last_ = -1; // the step played last
    // what the log held besides steps
    int equipment_frames_ = 0, bad_receives_ = 0, purged_ = 0, before_first_ = 0, infos_ = 0,
        others_ = 0;
};

} // namespace equipsim
