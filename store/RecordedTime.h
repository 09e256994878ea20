#pragma once

#include "UsageStore.h"

#include <cstdint>
#include <string>
#include <vector>

// How much of a stretch of time a recorder ran, as every view of the usage file says it: time
// nobody recorded reads "not recorded", never as zero bytes.

// The seconds of [nFrom, nTo) that the stretches cover, each second once; they may overlap (a
// clock set back) and come in any order.
int64_t CoveredSeconds(std::vector<RecordedSpan> spans, int64_t nFrom, int64_t nTo);

// A bucket [nStart, nEnd) as of a moment: how much of it has passed and how much was recorded.
struct BucketRecording {
    int64_t nRecorded = 0; // seconds of [nStart, min(nEnd, now)) that a recorder ran
    int64_t nElapsed = 0;  // seconds of [nStart, min(nEnd, now))
    bool bCurrent = false; // now lies inside the bucket
};
BucketRecording RecordingOf(const std::vector<RecordedSpan>& spans, int64_t nStart, int64_t nEnd,
                            int64_t nNowUtc);

enum class ERecorded {
    Future,      // not begun yet
    NotRecorded, // begun, no second recorded and no byte: say so instead of a zero
    Partly,      // some of the time that passed was recorded
    Whole
};
// Bytes without recorded time (written before the stretches were kept, or not yet written) count
// as recorded: a bucket that holds bytes is never "not recorded".
ERecorded Classify(const BucketRecording& recording, bool bHasBytes);

// "6 h 20 min", "45 min", "3 days 4 h", "less than a minute": a length of time, roughly.
std::string DescribeSeconds(int64_t nSeconds);
// "recorded 6 h 20 min of 24 h", "... of 14 h 5 min so far", "not recorded", "recorded all".
std::string DescribeRecording(const BucketRecording& recording, bool bHasBytes);
