#pragma once

#include "MeterSnapshot.h"

#include <map>
#include <set>
#include <string>

// Tunnels the user names, device to carrier: a VPN that a program runs over a tun device sends
// its packets inside datagrams of the carrier, which count there, and nothing in the system says
// so. The programs exclude such a device from capture and show it with this.

// Pure: marks each named device that the snapshot shows excluded as carried by its carrier, its
// state saying so and that the user chose it. Others are left as they are, also those named with
// no carrier ("" : the user said they are no tunnels).
void MarkChosenTunnels(MeterSnapshot& snapshot, const std::map<std::string, std::string>& tunnels);

// Pure: the devices named with no carrier.
std::set<std::string> NotTunnels(const std::map<std::string, std::string>& tunnels);
