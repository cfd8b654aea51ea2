// Network check: whether the network and the PC's share are usable.
#pragma once

// 0 when the network and the share are usable; -1 when the offline marker exists;
// otherwise the status of testNetwork.sh. The offline marker also darkens the green LED.
int testNetwork(void);
