#pragma once

#include "LocalTime.h"
#include "Sqlite.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The window's usage file, which `orvek report` reads unless told otherwise:
// $XDG_DATA_HOME/Orvek/usage.sqlite, or ~/.local/share/Orvek/usage.sqlite; "" without a home.
std::string DefaultUsagePath();
// The system service's usage file, which every user may read: $ORVEK_STATE_DIR/usage.sqlite,
// /var/lib/orvek/usage.sqlite when the variable is unset or empty.
std::string ServiceUsagePath();

// Bytes of one device in one bucket.
struct UsageRow {
    int64_t nStart = 0; // UTC second of the bucket's local start
    std::string strDevice;
    int64_t nSent = 0, nRecv = 0;
    bool operator==(const UsageRow&) const = default;
};

// Bytes counted on a device since the last write, all in one five-minute bucket; every tier's
// bucket that holds it gets them. With strApplication, bytes of an application (over all
// devices) instead, which only the day and month tiers keep: nFiveMinuteStart is then any second
// of their day.
struct UsageDelta {
    int64_t nFiveMinuteStart = 0;
    std::string strDevice;
    int64_t nSent = 0, nRecv = 0;
    std::string strApplication = {}; // an application key (see ApplicationKey), or "": a device's
};

// How the file names an application: its name, or for bytes that belong to none "/" and the
// reason's text, and kOtherApplications for the applications past a bucket's largest. Names of
// control groups, units and users never hold a "/", so no application takes a reserved key.
inline constexpr const char* kOtherApplications = "/other";
std::string ApplicationKey(const std::string& strName, bool bAttributed);

// Bytes of one application key in one bucket of the day or month tier.
struct AppUsageRow {
    int64_t nStart = 0;
    std::string strKey;
    int64_t nSent = 0, nRecv = 0;
    bool operator==(const AppUsageRow&) const = default;
};

// A stretch of time during which a recorder was running, UTC seconds [nStart, nEnd]. Time that no
// stretch covers was not recorded.
struct RecordedSpan {
    int64_t nStart = 0, nEnd = 0;
    bool operator==(const RecordedSpan&) const = default;
};

// The usage file: bytes per device and direction in four tiers of buckets, the stretches of time
// recorded, the plan's settings and the alerts fired per plan cycle. SQLite in WAL mode, every
// write one transaction, so that a crash or a power cut leaves the last committed state.
// One thread at a time; readers in other processes may read while one writer writes.
class CUsageStore {
public:
    // Write: the recorder's. Share: an existing file, read, with the plan and alerts changed
    // (read-only when the file is not writable). Read: read-only.
    enum class EAccess { Write, Share, Read };
    // Receives one line for the user; must not call back into the store.
    using NoticeFn = std::function<void(const std::string&)>;

    static constexpr int kSchemaVersion = 1;
    // A day or month bucket keeps at most this many applications' rows (besides the rest's and
    // the reasons'): a host that runs thousands of short-lived scopes a day must not grow the
    // file without bound. A new application enters a full bucket when its bytes are more than
    // the smallest one's, which then goes to the rest's row; else its own bytes do.
    static constexpr int kAppsPerBucket = 100;
    static constexpr int64_t kApplicationId = 0x4F52564B; // "ORVK"

    // Write: opens or creates the file (and its folder). A file that is damaged, of another
    // program or of a newer schema is moved aside as "<path>.damaged-<UTC time>" (or
    // ".unknown-version-"), fnNotice says so once, and a new file is started. Read: opens an
    // existing file read-only and changes nothing. Throws CSqliteError when it cannot (the
    // folder read-only, the disk full, no file to read, a file a reader cannot use).
    CUsageStore(const std::string& strPath, EAccess eAccess, int64_t nNowUtc,
                const NoticeFn& fnNotice = {});

    const std::string& GetPath() const { return m_strPath; }

    // One transaction: adds the deltas to their buckets in every tier (applications' in the day
    // and month tiers, bounded by kAppsPerBucket), extends or adds the
    // recorded stretches (keyed by their start), and drops buckets past their tier's keeping time
    // (at most once an hour). Nothing is changed when it throws.
    void Write(const std::vector<UsageDelta>& deltas, const std::vector<RecordedSpan>& spans,
               int64_t nNowUtc);

    // The buckets of a tier that start in [nFrom, nTo), ordered by start and device.
    std::vector<UsageRow> ReadUsage(ETier eTier, int64_t nFrom, int64_t nTo);
    // The applications' rows of the day or month tier that start in [nFrom, nTo), ordered by
    // start and key. They are a second view of the devices' bytes, never part of their sums.
    std::vector<AppUsageRow> ReadApplications(ETier eTier, int64_t nFrom, int64_t nTo);
    // The recorded stretches that overlap [nFrom, nTo), ordered by start.
    std::vector<RecordedSpan> ReadRecorded(int64_t nFrom, int64_t nTo);
    // The first second any recorder recorded into the file; nullopt before the first write.
    std::optional<int64_t> ReadFirstRecorded();
    // Every device ever recorded.
    std::vector<std::string> ReadDevices();

    std::optional<std::string> GetSetting(const std::string& strKey);
    void SetSetting(const std::string& strKey, const std::string& strValue);
    void RemoveSetting(const std::string& strKey);

    // Marks an alert (a percentage of a plan cycle that starts at nCycleStart) as fired. True
    // only for the call that marked it: each alert fires once, whichever process asks.
    bool MarkAlert(int64_t nCycleStart, int nPercent, int64_t nNowUtc);
    std::set<int> ReadAlerts(int64_t nCycleStart);

private:
    // Opens m_pDb for writing; throws CSqliteError with what made the file unusable.
    void OpenForWriting(int64_t nNowUtc, const NoticeFn& fnNotice);
    // Checks an open file and creates the schema in a new one. Returns "" when usable, else why
    // not ("damaged: ...", "unknown-version").
    std::string CheckOrCreate();
    // Drops what is past its keeping time; true when it dropped applications' series too.
    bool Prune(int64_t nNowUtc);
    // The series of a whole device, or of an application key (device "").
    int64_t SeriesId(const std::string& strDevice, const std::string& strApplication = {});
    // Adds an application's bytes to one bucket, keeping the bucket within kAppsPerBucket.
    struct AppStatements;
    void AddApplication(AppStatements& statements, int nTier, int64_t nStart, int64_t nSeries,
                        const UsageDelta& delta);

    std::string m_strPath;
    std::unique_ptr<CSqlite> m_pDb;
    int64_t m_nLastPrune = 0;
    std::map<std::string, int64_t> m_seriesIds;    // devices' whole-device series
    std::map<std::string, int64_t> m_appSeriesIds; // application keys' series
};
