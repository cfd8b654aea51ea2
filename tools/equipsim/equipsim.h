// Equipment simulator: plays the test equipment at the other end of the concentrator's link,
// over a TCP connection on 127.0.0.1 or over a pseudo-terminal linked where the box expects its
// serial device. Tests drive it from their own thread; the bench program `equipsim` wraps it.
//
// It has its own frame code (build, check, assemble), written apart from the concentrator's, so
// that each checks the other.
//
// How the equipment answers (one I/O thread does all the talking):
//   "0100"            the peripheral list "0101": one ETB + "%03d%c" per entry (entry 0 is the
//                     hub "001C" for a hub, or the single instrument), then ETB "0905".
//   "0140" "00N"      the identification of peripheral N, spread over as many frames as needed,
//                     each frame beginning with an identification item, the last one ending with
//                     ETB "0905"; after each frame the simulator waits for the box's "0900"
//                     (1 s at most, then it goes on). A number that matches no peripheral (the
//                     hub itself included) gets an identification made of "0905" alone, so that
//                     the box's wait ends at once.
//   "0121" key        the ready result of that key (or the oldest ready one for "??????????") as
//                     "0122"+key frames, each awaiting "0900"; nothing ready: the frame "0188",
//                     a status frame the box acknowledges and that changes nothing.
//   "0110"            the single instrument's ready result as "0111" frames, else "0188".
//   "0120" frames     acknowledged "0900"; the message is reassembled per key (vehicles()).
//   "0130"            acknowledged "0900".
//   "0150" key        acknowledged "0900"; the key is recorded, its vehicle and result dropped.
//   "0174"            recorded only.
//   "0900" "0902" "0904"  never answered. A "0904" received while a frame of a result or an
//                     identification awaits its "0900" makes the simulator send that frame again
//                     (three sendings at most), as equipment does when the box refuses a frame.
//   bad checksum      (or a frame over 80 bytes) answered "0904".
// A new TCP connection replaces the current one (equipment taken over by a restarted box).
// A result whose frames were not all acknowledged stays pending and is offered again at the next
// request. A new request from the box while a result or identification is being sent ends that
// sending. A record too long for a fresh frame behind the header is cut to fit.
// With no peripherals in the options: G, O, P numbered 2, 3, 4 for a hub, one G numbered 1 for a
// single instrument. A peripheral without identification items gets the default ones of its
// letter (default_ident).
//
// With a replay in the options, none of the above: every frame from the box is answered with
// what the equipment of a recorded link log answered at that point of the recording
// (replay.h), and the misbehaviours below still apply on top.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "replay.h"

namespace equipsim {

struct Record {
    std::string code; // four digits
    std::string text;
};

struct Frame {
    std::string raw;  // bytes STX..EOT as received or sent
    bool from_box;    // true: sent by the concentrator; false: sent by the simulator
    double t;         // seconds since the simulator started
    bool csum_ok;     // checksum holds
    std::string code() const;            // first record's code ("0120"), "" when none
    std::vector<Record> records() const; // records split at STX/ETB (text up to next control byte)
};

struct Peripheral {
    int number;                // number in the peripheral list (3 digits on the wire)
    char letter;               // 'G' gas, 'O' opacity, 'P' headlamps, 'C' hub ...
    std::vector<Record> ident; // identification items sent for "0140" (0300 brand padded to 20 ...)
};

struct Options {
    bool hub = true;                 // entry 0 of the list is the hub (letter 'C', number hub_number)
    int hub_number = 1;
    std::vector<Peripheral> periphs; // hub: entries 1..n; single instrument: entry 0 only
    bool auto_results = false;       // make results for every vehicle received (demo; a hub
                                     // only, as vehicles are sent to hubs only)
    int result_delay_ms = 0;         // results become available this long after the vehicle
    bool verbose = false;            // print every frame readably on stdout
    std::shared_ptr<Replay> replay;  // answer from this recording instead (the options above
                                     // then do not apply)
};

class Sim {
public:
    explicit Sim(Options o);
    ~Sim(); // stops everything
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    int listen_tcp(int port = 0);                // on 127.0.0.1 only; returns the bound port (-1)
    bool open_pty(const std::string &link_path); // creates a pty, symlinks link_path -> slave
                                                 // (one pty at a time: an earlier one is closed
                                                 // and its link removed; only a symbolic link
                                                 // is ever replaced at link_path)
    void stop();

    std::vector<Frame> frames() const;     // every frame in both directions, in order
    std::vector<Frame> box_frames() const; // only those sent by the concentrator
    // Waits for a frame from the box matching pred, among those recorded since the last
    // clear_frames() (the first match, oldest first).
    bool wait_frame(const std::function<bool(const Frame &)> &pred, int timeout_ms,
                    Frame *out = nullptr);
    bool wait_code(const std::string &code, int timeout_ms, Frame *out = nullptr);
    int count_code(const std::string &code) const; // frames from the box with that first code
    void clear_frames();

    // "0120" messages received, by key (the 10-character text of the 0120 record), with their
    // records in order ("0905" excluded), after reassembly of all frames of the message.
    std::map<std::string, std::vector<Record>> vehicles() const;
    std::vector<std::string> withdrawn() const; // keys received in "0150"

    void add_result(const std::string &key, const std::vector<Record> &records); // hub: "0122"
    void add_single_result(const std::vector<Record> &records);                 // single: "0111"
    int results_pending() const; // results not yet delivered (ready or not)

    // misbehaviour on request
    void set_silent(bool on);  // answer and acknowledge nothing
    void set_ack(bool on);     // acknowledge frames that await "0900" (default on)
    void corrupt_next(int n = 1); // the next n frames sent carry a bad checksum
    // The last frame of each of the next n results ("0111" or "0122" frames holding "0905") is
    // cut in the middle: its first half goes out and nothing more of that sending; the result
    // stays pending and is offered again whole at the next request.
    void cut_next_results(int n = 1);
    // The next request is answered by this single-record frame ("0902", "0904", "0099"...)
    // instead of its usual answer, and is not acted upon.
    void reply_next_with(const std::string &code);
    void set_delay_ms(int ms);                // every answer comes this late
    void send_raw(const std::string &bytes);  // inject bytes now (garbage, STX then silence...)
    void send_frame(const std::vector<Record> &records); // inject a well-formed frame now
    void drop_connection();                   // TCP: close the current connection
    void vanish();                            // pty: remove the link and close the master
    bool reappear(const std::string &new_link_path); // a fresh pty linked at new_link_path

    // Added for the bench and for tests.
    int port() const;               // the TCP port listened on, 0 when none
    std::string pty_name() const;   // the slave's name (/dev/pts/N), "" when none
    bool connected() const;         // a TCP connection is open
    // With a replay: its difference report and counts so far.
    std::string replay_report() const;
    ReplaySummary replay_summary() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// "<STX>0900<ETX>08<EOT>": link control bytes by name, any other unprintable byte in hex ("<0D>").
std::string readable(const std::string &bytes);
std::string build_frame(const std::vector<Record> &records, bool good_checksum = true);

// Checksum of a frame: the XOR of STX..ETX as two upper-case hex digits.
std::string checksum_of(const std::string &stx_to_etx);
// True when raw is STX ... ETX, two upper-case hex digits holding its checksum, EOT.
bool checksum_holds(const std::string &raw);
// Default identification items of an instrument of that letter and list number: brand,
// model, serial (0300..0302, 20 characters each), software version, dates, approval and
// version items, and the sealing key 7012 (10 hexadecimal digits).
std::vector<Record> default_ident(char letter, int number);
// Peripherals of the given letters numbered from first_number upward, default identification.
std::vector<Peripheral> default_periphs(const std::string &letters, int first_number);
// The text t padded with blanks (or cut) to n characters.
std::string pad(const std::string &t, size_t n);
// n bytes of line noise, the same for the same seed: printable characters, CR, LF and bytes
// above 0x7F, never a control byte of the frames (STX, ETB, ETX, EOT).
std::string noise(size_t n, unsigned seed = 1);
// The local time of day as the simulator prints it: "hh:mm:ss.mmm".
std::string wall_clock();

} // namespace equipsim
