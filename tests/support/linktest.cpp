// Helpers of the link tests.
#include "linktest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "boxtest.h"
#include "file_param.h"
#include "ipc.h"
#include "link.h"
#include "nod.h"
#include "plat.h"

namespace linktest {

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
    link_backend = nullptr;
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
    link_open();
}

bool use_serial(const char *kind, const std::string &dev, const char *speed) {
    snprintf(save_type_com, sizeof save_type_com, "%s", kind);
    snprintf(save_port, sizeof save_port, "%s", dev.c_str());
    snprintf(save_speed, sizeof save_speed, "%s", speed);
    link_open(); // as start-up opens it
    return fd_tty >= 0;
}

void gieglan_station() {
    boxtest::reset_root();
    boxtest::reset_state();
    snprintf(save_protocol, sizeof save_protocol, "GIEGLAN");
    snprintf(save_client, sizeof save_client, "KELDRAN");
    snprintf(save_type_com, sizeof save_type_com, "LAN");
    snprintf(equipIp, sizeof equipIp, "127.0.0.1");
}

std::string MemoryLink::in;
size_t MemoryLink::pos;
bool MemoryLink::gone_at_end;
int MemoryLink::receives;
std::vector<std::string> MemoryLink::sent;
int *MemoryLink::acks;

namespace {
int memory_begin(int sending) {
    if (!sending) MemoryLink::receives++;
    return 0;
}
int memory_send(const char *buf, int n, char *purged) {
    purged[0] = 0;
    MemoryLink::sent.emplace_back(buf, (size_t)n);
    if (MemoryLink::acks && MemoryLink::sent.back() == frame("0900")) (*MemoryLink::acks)++;
    return LINK_SENT;
}
int memory_recv(char *c, long wait_us, int) {
    if (MemoryLink::pos < MemoryLink::in.size()) {
        *c = MemoryLink::in[MemoryLink::pos++];
        return 1;
    }
    if (MemoryLink::gone_at_end) return -1;
    pause_us((unsigned)wait_us);
    return 0;
}
void memory_failed(int) {}
void memory_end(int, int) {}
void memory_close() {}
int memory_usable() { return 1; }
} // namespace

const LinkBackend MemoryLink::backend = {0,           0,           nullptr,       memory_begin,
                                         memory_send, memory_recv, memory_failed, memory_end,
                                         memory_close, memory_usable};

void MemoryLink::use() {
    in.clear();
    pos = 0;
    gone_at_end = false;
    receives = 0;
    sent.clear();
    acks = nullptr;
    link_backend = &backend;
}

} // namespace linktest
