#include "linkpeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "file_param.h"
#include "ipc.h"
#include "main.h"
#include "nod.h"

namespace linkpeer {

std::string frame(const std::string &records, bool good) {
    std::string f = "\x02" + records + "\x03";
    unsigned char sum = 0;
    for (unsigned char c : f)
        sum ^= c;
    if (!good) sum ^= 0x01;
    char cs[3];
    snprintf(cs, sizeof cs, "%02X", sum);
    return f + cs + "\x04";
}

Peer::Peer() { th_ = std::thread([this] { run(); }); }

Peer::~Peer() {
    stop_ = true;
    th_.join();
    std::lock_guard<std::mutex> l(m_);
    for (int fd : {listen_fd_, conn_fd_, master_fd_, slave_fd_})
        if (fd >= 0) close(fd);
    if (!link_.empty()) unlink(link_.c_str());
}

int Peer::listen_tcp() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    std::lock_guard<std::mutex> l(m_);
    listen_fd_ = fd;
    return ntohs(a.sin_port);
}

bool Peer::open_pty(const std::string &link) {
    int m = -1, s = -1;
    termios t{};
    cfmakeraw(&t);
    if (openpty(&m, &s, nullptr, &t, nullptr) != 0) return false;
    char name[128];
    if (ttyname_r(s, name, sizeof name) != 0) return false;
    unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0) return false;
    std::lock_guard<std::mutex> l(m_);
    master_fd_ = m;
    slave_fd_ = s; // kept open so that the box may open and close its side freely
    link_ = link;
    return true;
}

// The closing is done by the thread between two polls, so that no poll keeps the
// terminal alive once vanish() has returned.
void Peer::vanish() {
    vanish_ = true;
    while (vanish_)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void Peer::close_all() {
    std::lock_guard<std::mutex> l(m_);
    if (!link_.empty()) unlink(link_.c_str());
    link_.clear();
    for (int *fd : {&conn_fd_, &master_fd_, &slave_fd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void Peer::send(const std::string &bytes) {
    std::lock_guard<std::mutex> l(m_);
    int fd = conn_fd_ >= 0 ? conn_fd_ : master_fd_;
    if (fd >= 0) (void)!write(fd, bytes.data(), bytes.size());
}

std::string Peer::received() const {
    std::lock_guard<std::mutex> l(m_);
    return rx_;
}

std::vector<std::string> Peer::frames() const {
    std::lock_guard<std::mutex> l(m_);
    return frames_;
}

bool Peer::wait_frames(size_t n, int timeout_ms) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (frames().size() >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return frames().size() >= n;
}

void Peer::set_answer(std::function<std::string(const std::string &)> f) {
    std::lock_guard<std::mutex> l(m_);
    answer_ = std::move(f);
}

void Peer::ack_all() {
    set_answer([](const std::string &f) -> std::string {
        std::string code = f.substr(1, 4);
        if (code == "0900" || code == "0902" || code == "0904") return "";
        return frame("0900");
    });
}

// Called with the lock held: records the bytes and answers each completed frame.
void Peer::take(const char *p, size_t n) {
    rx_.append(p, n);
    for (size_t i = 0; i < n; i++) {
        char c = p[i];
        if (c == '\x02') pending_.clear();
        if (pending_.empty() && c != '\x02') continue;
        pending_ += c;
        if (c != '\x04') continue;
        frames_.push_back(pending_);
        std::string reply = answer_ ? answer_(pending_) : "";
        pending_.clear();
        int fd = conn_fd_ >= 0 ? conn_fd_ : master_fd_;
        if (!reply.empty() && fd >= 0) (void)!write(fd, reply.data(), reply.size());
    }
}

void Peer::run() {
    while (!stop_) {
        if (vanish_) {
            close_all();
            vanish_ = false;
        }
        int lfd, cfd, mfd;
        {
            std::lock_guard<std::mutex> l(m_);
            lfd = listen_fd_;
            cfd = conn_fd_;
            mfd = master_fd_;
        }
        pollfd p[3];
        int n = 0;
        for (int fd : {lfd, cfd, mfd})
            if (fd >= 0) p[n++] = {fd, POLLIN, 0};
        if (n == 0 || poll(p, n, 20) <= 0) {
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        for (int k = 0; k < n; k++) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            std::lock_guard<std::mutex> l(m_);
            if (p[k].fd == listen_fd_) {
                int c = accept(listen_fd_, nullptr, nullptr);
                if (c >= 0) {
                    if (conn_fd_ >= 0) close(conn_fd_);
                    conn_fd_ = c;
                }
                continue;
            }
            if (p[k].fd != conn_fd_ && p[k].fd != master_fd_) continue; // closed meanwhile
            char buf[512];
            ssize_t r = read(p[k].fd, buf, sizeof buf);
            if (r > 0) {
                take(buf, (size_t)r);
            } else if (p[k].fd == conn_fd_) {
                close(conn_fd_); // the concentrator closed the connection
                conn_fd_ = -1;
            }
        }
    }
}

void reset_link() {
    if (SocketDescriptor >= 0) close(SocketDescriptor);
    SocketDescriptor = -1;
    socketON = 0;
    if (fd_tty >= 0) close(fd_tty);
    fd_tty = -1;
    ttyUSB_open = 0;
    write_one_time = 0;
    wait_connection = 0;
    link_gone = 0;
    link_port[0] = 0;
    thelastcode = 0;
    j = 0;
    memset(exped_send, 0, sizeof exped_send);
    memset(enveloppe, 0, sizeof enveloppe);
    snprintf(path_create_log, sizeof path_create_log, "%s",
             BOX_PATH("/home/KELDRAN/DATA/log/log.txt"));
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    snprintf(save_speed, sizeof save_speed, "9600");
    save_type_com[0] = save_port[0] = equipIp[0] = 0;
    equipPort = 0;
}

void use_tcp(int port) {
    snprintf(save_type_com, sizeof save_type_com, "LAN");
    snprintf(equipIp, sizeof equipIp, "127.0.0.1");
    snprintf(save_port, sizeof save_port, "127.0.0.1");
    equipPort = port;
    snprintf(save_speed, sizeof save_speed, "%d", port);
}

bool use_serial(const char *kind, const std::string &dev, const char *speed) {
    snprintf(save_type_com, sizeof save_type_com, "%s", kind);
    snprintf(save_port, sizeof save_port, "%s", dev.c_str());
    snprintf(save_speed, sizeof save_speed, "%s", speed);
    fd_tty = open(save_port, O_RDWR | O_NOCTTY);
    if (fd_tty < 0) return false;
    tty_setup(fd_tty);
    ttyUSB_open = 1;
    return true;
}

} // namespace linkpeer
