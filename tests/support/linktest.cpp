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

} // namespace linktest
