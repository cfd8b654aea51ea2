// A small stand-in for the equipment in link tests: the far end of a loopback TCP
// connection or the master side of a pseudo-terminal, which records every byte the
// concentrator sends and answers each complete frame through a test-given function.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace linkpeer {

// A whole frame around the given records ("0900", or "0122KEY" "\x17" "0200..."):
// STX, records, ETX, checksum, EOT; good = false spoils the checksum.
std::string frame(const std::string &records, bool good = true);

class Peer {
  public:
    Peer();
    ~Peer();
    // Listens on 127.0.0.1 with a port chosen by the OS; serves the latest connection.
    int listen_tcp();
    // Creates a raw pseudo-terminal and links `link` to its slave.
    bool open_pty(const std::string &link);
    // pty: removes the link and closes the terminal; TCP: closes the connection.
    void vanish();
    // Sends bytes to the concentrator now.
    void send(const std::string &bytes);
    // Every byte received from the concentrator, and the complete frames among them.
    std::string received() const;
    std::vector<std::string> frames() const;
    bool wait_frames(size_t n, int timeout_ms) const;
    // Called for each complete frame from the concentrator; the bytes it returns are
    // sent back at once ("" sends nothing).
    void set_answer(std::function<std::string(const std::string &frame)> f);
    // Answers every frame that is not itself "0900", "0902" or "0904" with "0900".
    void ack_all();

  private:
    void run();
    void take(const char *p, size_t n);
    mutable std::mutex m_;
    std::function<std::string(const std::string &)> answer_;
    std::string rx_, pending_;
    std::vector<std::string> frames_;
    int listen_fd_ = -1, conn_fd_ = -1, master_fd_ = -1, slave_fd_ = -1;
    std::string link_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> vanish_{false}; // asks the thread to close everything (it may be polling)
    void close_all();
    std::thread th_;
};

// Link settings and state of the concentrator back to nothing: no socket, no serial
// descriptor, markers unknown, the link log path of the sandbox.
void reset_link();
// The concentrator on TCP to 127.0.0.1:port.
void use_tcp(int port);
// The concentrator on a serial link kind ("RS232", "USB") at device `dev`, opened as
// start-up opens it (raw, at save_speed). false when the device does not open.
bool use_serial(const char *kind, const std::string &dev, const char *speed = "9600");

} // namespace linkpeer
