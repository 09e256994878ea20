#pragma once

#include "DeviceState.h"

#include <string>
#include <vector>

// What the user is told when capture counts nothing, and how to change it. Plain text for a
// message box or standard error; sentences without a line end.

// The running program's own path (/proc/self/exe); "" when it cannot be read.
std::string GetSelfPath();

// How to get the permission to capture for the program at strCapturingBinary (the one that opens
// the devices, the capture helper in Orvek's programs): run the installed copy of it (the
// installed programs, for the helper) when that has the cap_net_raw capability, or give the
// capability to this one (setcap cap_net_raw+ep PATH, as root), or, when it has the capability
// already and the process still did not get it, run it as root.
std::string DescribePermissionFix(const std::string& strCapturingBinary);

// Pure. After a Start: "" when a device captures; otherwise one message saying that nothing is
// counted and why: the devices that could not be opened and those excluded, by name, followed by
// strHowToInclude (how the user counts an excluded device) when any is; or, with neither, that no
// device is up with an address.
std::string DescribeNothingCaptured(const std::vector<DeviceState>& states,
                                    const std::string& strHowToInclude);
