// Network check: whether the network and the PC's share are usable.
#pragma once

// 0 when the network and the share are usable; -1 when the offline marker exists;
// otherwise the status of testNetwork.sh. The offline marker also darkens the green LED.
int testNetwork(void);
// Its two halves, for work on the share that runs away from the loop: the offline
// marker is looked at in the loop's process (it drives the LED), the script in the
// worker (it touches the share). network_offline: 1 when the marker exists (the LED is
// then darkened); network_script: the script's status.
int network_offline(void);
int network_script(void);
