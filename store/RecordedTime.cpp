#include "RecordedTime.h"

#include <algorithm>

int64_t CoveredSeconds(std::vector<RecordedSpan> spans, int64_t nFrom, int64_t nTo) {
    std::ranges::sort(spans, {}, &RecordedSpan::nStart);
    int64_t nCovered = 0;
    int64_t nReached = nFrom;
    for (const RecordedSpan& span : spans) {
        const int64_t nStart = std::max(span.nStart, nReached);
        const int64_t nEnd = std::min(span.nEnd, nTo);
        if (nEnd > nStart) {
            nCovered += nEnd - nStart;
            nReached = nEnd;
        }
    }
    return nCovered;
}

BucketRecording RecordingOf(const std::vector<RecordedSpan>& spans, int64_t nStart, int64_t nEnd,
                            int64_t nNowUtc) {
    const int64_t nUntil = std::min(nEnd, std::max(nNowUtc, nStart));
    return {CoveredSeconds(spans, nStart, nUntil), nUntil - nStart,
            nNowUtc >= nStart && nNowUtc < nEnd};
}

ERecorded Classify(const BucketRecording& recording, bool bHasBytes) {
    if (recording.nElapsed == 0 && !bHasBytes) {
        return ERecorded::Future;
    }
    if (recording.nRecorded == 0 && !bHasBytes) {
        return ERecorded::NotRecorded;
    }
    return recording.nRecorded < recording.nElapsed ? ERecorded::Partly : ERecorded::Whole;
}

std::string DescribeSeconds(int64_t nSeconds) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on " " + std::string.
    const auto append = [](std::string& str, int64_t nCount, const char* szOne,
                           const char* szMany) {
        if (!str.empty()) {
            str += ' ';
        }
        str += std::to_string(nCount);
        str += ' ';
        str += nCount == 1 ? szOne : szMany;
    };
    if (nSeconds < 60) {
        return "less than a minute";
    }
    std::string str;
    const int64_t nMinutes = nSeconds / 60;
    if (nMinutes < 60) {
        append(str, nMinutes, "min", "min");
        return str;
    }
    // Up to two days in hours, so that a day reads "24 h" (or 23 or 25 when the clocks change).
    if (nMinutes < 48 * 60) {
        append(str, nMinutes / 60, "h", "h");
        if (nMinutes % 60 != 0) {
            append(str, nMinutes % 60, "min", "min");
        }
        return str;
    }
    const int64_t nHours = nMinutes / 60;
    append(str, nHours / 24, "day", "days");
    if (nHours % 24 != 0) {
        append(str, nHours % 24, "h", "h");
    }
    return str;
}

std::string DescribeRecording(const BucketRecording& recording, bool bHasBytes) {
    switch (Classify(recording, bHasBytes)) {
    case ERecorded::Future:
        return "";
    case ERecorded::NotRecorded:
        return "not recorded";
    case ERecorded::Whole:
        return recording.bCurrent ? "recorded all of it so far" : "recorded all of it";
    case ERecorded::Partly:
        break;
    }
    return "recorded " + DescribeSeconds(recording.nRecorded) + " of " +
           DescribeSeconds(recording.nElapsed) + (recording.bCurrent ? " so far" : "");
}
