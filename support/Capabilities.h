#pragma once

#include <initializer_list>
#include <sys/capability.h>

// The calling thread keeps, of the capabilities it holds (permitted), only those named, permitted
// and effective; its inheritable and ambient sets are emptied, so that nothing it runs gains any.
// Capabilities belong to threads: threads made before the call keep theirs, threads made after it
// inherit the reduced sets. Throws CZarnException(errno) when the sets cannot be changed.
void KeepOnlyCapabilities(std::initializer_list<cap_value_t> keep);
