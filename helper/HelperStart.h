#pragma once

#include <string>
#include <sys/auxv.h>
#include <vector>

// What the capture helper makes sure of at its start, before it reads a byte from its client.

// Pure: of an environment's entries ("NAME=value"), those that a helper started with gained
// privilege keeps: the locale's (LANG, LANGUAGE, LC_*) and the time zone's (TZ), and only when
// their values name no file.
std::vector<std::string> KeptEnvironment(const std::vector<std::string>& entries);

// When bSecure (by default: the kernel marks this process as started with privilege its caller
// lacks, AT_SECURE), replaces the environment by what KeptEnvironment keeps of it. Call first in
// main, before any other thread exists.
void SecureEnvironment(bool bSecure = getauxval(AT_SECURE) != 0);

// Whether hFd is the end of a stream socket pair that the parent process made: how a client
// starts the helper. Before it looks, asks the kernel for SIGTERM when the parent ends, so that
// a parent that ends at any time is noticed.
bool IsStartedByClient(int hFd);
