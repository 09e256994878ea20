#include "UsageStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace {

// Schema 1. Times are UTC seconds. Bytes are kept per series: a device as a whole (application
// and tunnel empty), and room for a device's applications or tunnels, which sum apart and are
// never added to the whole device's rows.
constexpr const char* kSchema = R"sql(
CREATE TABLE series(
    id INTEGER PRIMARY KEY,
    device TEXT NOT NULL,
    application TEXT NOT NULL DEFAULT '',
    tunnel TEXT NOT NULL DEFAULT '',
    UNIQUE(device, application, tunnel));
CREATE TABLE usage(
    tier INTEGER NOT NULL CHECK(tier BETWEEN 0 AND 3),
    start INTEGER NOT NULL,
    series INTEGER NOT NULL REFERENCES series(id),
    sent INTEGER NOT NULL CHECK(sent >= 0),
    received INTEGER NOT NULL CHECK(received >= 0),
    PRIMARY KEY(tier, start, series)) WITHOUT ROWID;
CREATE TABLE recorded(
    start INTEGER PRIMARY KEY,
    end INTEGER NOT NULL CHECK(end >= start));
CREATE TABLE alerts(
    cycle_start INTEGER NOT NULL,
    percent INTEGER NOT NULL,
    fired INTEGER NOT NULL,
    PRIMARY KEY(cycle_start, percent)) WITHOUT ROWID;
CREATE TABLE settings(
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL) WITHOUT ROWID;
)sql";

constexpr int kBusyTimeoutMs = 5000;
constexpr int64_t kPrunePeriod = 3600;

bool IsDamage(const CSqliteError& e) {
    return e.GetPrimaryCode() == SQLITE_CORRUPT || e.GetPrimaryCode() == SQLITE_NOTADB;
}

std::string UtcStamp(int64_t nUtc) {
    const auto t = static_cast<time_t>(nUtc);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char szStamp[32];
    std::strftime(szStamp, sizeof szStamp, "%Y%m%dT%H%M%SZ", &tm);
    return szStamp;
}

// Moves the file and its write-ahead log aside under one new name; the shared-memory index only
// describes the log and is removed. Returns the new name.
std::string MoveAside(const std::string& strPath, const std::string& strWhy, int64_t nNowUtc) {
    std::string strAside = strPath + "." + strWhy + "-" + UtcStamp(nNowUtc);
    for (int nTry = 1; std::filesystem::exists(strAside); ++nTry) {
        strAside = strPath + "." + strWhy + "-" + UtcStamp(nNowUtc) + "-" + std::to_string(nTry);
    }
    std::error_code ec;
    std::filesystem::rename(strPath, strAside, ec);
    if (ec) {
        throw CSqliteError(SQLITE_CANTOPEN, "cannot move " + strPath + " aside: " + ec.message());
    }
    std::filesystem::rename(strPath + "-wal", strAside + "-wal", ec);
    std::filesystem::remove(strPath + "-shm", ec);
    return strAside;
}

// The one integer a statement answers; the statement is finished before returning, so that no
// read stays open.
int64_t QueryInt(CSqlite& db, const char* szSql) {
    CSqliteStatement statement = db.Prepare(szSql);
    return statement.Step() ? statement.GetInt(0) : 0;
}

void Configure(CSqlite& db) {
    sqlite3_busy_timeout(db.Get(), kBusyTimeoutMs);
}

} // namespace

std::string ApplicationKey(const std::string& strName, bool bAttributed) {
    if (!bAttributed) {
        return "/" + strName;
    }
    // No application's name begins with "/"; should one, it must not pass for a reserved key.
    const size_t nFirst = strName.find_first_not_of('/');
    return nFirst == std::string::npos ? std::string("?") : strName.substr(nFirst);
}

std::string ServiceUsagePath() {
    const char* szState = std::getenv("ORVEK_STATE_DIR");
    return std::string(szState != nullptr && *szState != '\0' ? szState : "/var/lib/orvek") +
           "/usage.sqlite";
}

std::string DefaultUsagePath() {
    const char* szData = std::getenv("XDG_DATA_HOME");
    if (szData != nullptr && szData[0] == '/') {
        return std::string(szData) + "/Orvek/usage.sqlite";
    }
    const char* szHome = std::getenv("HOME");
    if (szHome == nullptr || szHome[0] != '/') {
        return "";
    }
    return std::string(szHome) + "/.local/share/Orvek/usage.sqlite";
}

CUsageStore::CUsageStore(const std::string& strPath, EAccess eAccess, int64_t nNowUtc,
                         const NoticeFn& fnNotice)
    : m_strPath(strPath) {
    if (eAccess == EAccess::Write) {
        OpenForWriting(nNowUtc, fnNotice);
        return;
    }
    if (eAccess == EAccess::Share) {
        try {
            m_pDb = std::make_unique<CSqlite>(strPath, SQLITE_OPEN_READWRITE);
        } catch (const CSqliteError& e) {
            if (e.GetPrimaryCode() != SQLITE_READONLY && e.GetPrimaryCode() != SQLITE_CANTOPEN &&
                e.GetPrimaryCode() != SQLITE_PERM) {
                throw;
            }
        }
    }
    if (!m_pDb) {
        m_pDb = std::make_unique<CSqlite>(strPath, SQLITE_OPEN_READONLY);
    }
    Configure(*m_pDb);
    if (QueryInt(*m_pDb, "PRAGMA application_id") != kApplicationId ||
        QueryInt(*m_pDb, "PRAGMA user_version") != kSchemaVersion) {
        throw CSqliteError(SQLITE_NOTADB, strPath + " is not an Orvek usage file of version " +
                                              std::to_string(kSchemaVersion));
    }
}

void CUsageStore::OpenForWriting(int64_t nNowUtc, const NoticeFn& fnNotice) {
    const std::filesystem::path folder = std::filesystem::path(m_strPath).parent_path();
    if (!folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            throw CSqliteError(SQLITE_CANTOPEN,
                               "cannot make the folder " + folder.string() + ": " + ec.message());
        }
    }
    for (int nAttempt = 0;; ++nAttempt) {
        std::string strWhy;
        try {
            m_pDb =
                std::make_unique<CSqlite>(m_strPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
            Configure(*m_pDb);
            strWhy = CheckOrCreate();
        } catch (const CSqliteError& e) {
            if (!IsDamage(e) || nAttempt > 0) {
                m_pDb.reset();
                throw;
            }
            strWhy = std::string("damaged: ") + e.what();
        }
        if (strWhy.empty()) {
            return;
        }
        m_pDb.reset();
        const bool bVersion = strWhy == "unknown-version";
        const std::string strAside =
            MoveAside(m_strPath, bVersion ? "unknown-version" : "damaged", nNowUtc);
        if (fnNotice) {
            fnNotice("the usage file " + m_strPath +
                     (bVersion ? " is not one this version of Orvek can read"
                               : " is damaged (" + strWhy.substr(9) + ")") +
                     "; it was moved to " + strAside + " and a new one was started");
        }
    }
}

std::string CUsageStore::CheckOrCreate() {
    CSqlite& db = *m_pDb;
    const int64_t nId = QueryInt(db, "PRAGMA application_id");
    const int64_t nVersion = QueryInt(db, "PRAGMA user_version");
    const int64_t nTables = QueryInt(db, "SELECT count(*) FROM sqlite_schema");
    if (nId == 0 && nVersion == 0 && nTables == 0) {
        // A new file: incremental vacuum must be chosen before the first table exists, and WAL
        // lets readers read while this writes.
        db.Exec("PRAGMA auto_vacuum = INCREMENTAL");
        db.Exec("PRAGMA journal_mode = WAL");
        db.Exec("PRAGMA synchronous = FULL");
        CSqliteTransaction transaction(db);
        db.Exec(kSchema);
        db.Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
        db.Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
        transaction.Commit();
        return "";
    }
    if (nId != kApplicationId || nVersion != kSchemaVersion) {
        return "unknown-version";
    }
    {
        CSqliteStatement check = db.Prepare("PRAGMA quick_check");
        if (const std::string strCheck = check.Step() ? check.GetText(0) : ""; strCheck != "ok") {
            return "damaged: " + strCheck;
        }
    }
    db.Exec("PRAGMA journal_mode = WAL");
    db.Exec("PRAGMA synchronous = FULL");
    return "";
}

int64_t CUsageStore::SeriesId(const std::string& strDevice, const std::string& strApplication) {
    CSqliteStatement insert = m_pDb->Prepare(
        "INSERT INTO series(device, application) VALUES(?1, ?2) ON CONFLICT DO NOTHING");
    insert.Bind(1, strDevice).Bind(2, strApplication).Run();
    CSqliteStatement select = m_pDb->Prepare(
        "SELECT id FROM series WHERE device = ?1 AND application = ?2 AND tunnel = ''");
    select.Bind(1, strDevice).Bind(2, strApplication);
    select.Step();
    // Not cached before the transaction commits: a rolled-back insert would leave a stale id.
    const int64_t nId = select.GetInt(0);
    select.Reset();
    return nId;
}

struct CUsageStore::AppStatements {
    explicit AppStatements(CSqlite& db)
        : add(db.Prepare(
              "INSERT INTO usage(tier, start, series, sent, received) VALUES(?1, ?2, ?3, ?4, ?5) "
              "ON CONFLICT DO UPDATE SET sent = sent + excluded.sent, "
              "received = received + excluded.received")),
          grow(db.Prepare("UPDATE usage SET sent = sent + ?4, received = received + ?5 "
                          "WHERE tier = ?1 AND start = ?2 AND series = ?3")),
          // The applications of a bucket: how many, and the smallest (min() picks its row).
          smallest(db.Prepare(
              "SELECT count(*), u.series, min(u.sent + u.received), u.sent, u.received "
              "FROM usage u JOIN series s ON s.id = u.series WHERE u.tier = ?1 AND u.start = ?2 "
              "AND s.device = '' AND s.application <> '' AND substr(s.application, 1, 1) <> '/'")),
          remove(db.Prepare("DELETE FROM usage WHERE tier = ?1 AND start = ?2 AND series = ?3")) {}
    CSqliteStatement add, grow, smallest, remove;
    int64_t nOtherSeries = 0;
};

void CUsageStore::AddApplication(AppStatements& st, int nTier, int64_t nStart, int64_t nSeries,
                                 const UsageDelta& delta) {
    const auto add = [&](int64_t nTo, int64_t nSent, int64_t nRecv) {
        st.add.Bind(1, nTier).Bind(2, nStart).Bind(3, nTo).Bind(4, nSent).Bind(5, nRecv).Run();
    };
    if (delta.strApplication.starts_with('/')) {
        add(nSeries, delta.nSent, delta.nRecv); // the rest's and the reasons' rows: a few
        return;
    }
    st.grow.Bind(1, nTier).Bind(2, nStart).Bind(3, nSeries).Bind(4, delta.nSent);
    st.grow.Bind(5, delta.nRecv).Run();
    if (m_pDb->Changes() > 0) {
        return;
    }
    st.smallest.Bind(1, nTier).Bind(2, nStart);
    st.smallest.Step();
    const int64_t nApps = st.smallest.GetInt(0);
    const int64_t nSmallest = st.smallest.GetInt(1), nSmallestBytes = st.smallest.GetInt(2);
    const int64_t nSmallestSent = st.smallest.GetInt(3), nSmallestRecv = st.smallest.GetInt(4);
    st.smallest.Reset();
    if (nApps < kAppsPerBucket) {
        add(nSeries, delta.nSent, delta.nRecv);
        return;
    }
    if (st.nOtherSeries == 0) {
        st.nOtherSeries = SeriesId("", kOtherApplications);
    }
    if (delta.nSent + delta.nRecv <= nSmallestBytes) {
        add(st.nOtherSeries, delta.nSent, delta.nRecv);
        return;
    }
    st.remove.Bind(1, nTier).Bind(2, nStart).Bind(3, nSmallest).Run();
    add(st.nOtherSeries, nSmallestSent, nSmallestRecv);
    add(nSeries, delta.nSent, delta.nRecv);
}

void CUsageStore::Write(const std::vector<UsageDelta>& deltas,
                        const std::vector<RecordedSpan>& spans, int64_t nNowUtc) {
    CSqlite& db = *m_pDb;
    std::map<std::string, int64_t> newIds, newAppIds;
    bool bSeriesPruned = false;
    {
        CSqliteTransaction transaction(db);
        CSqliteStatement add = db.Prepare(
            "INSERT INTO usage(tier, start, series, sent, received) VALUES(?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT DO UPDATE SET sent = sent + excluded.sent, "
            "received = received + excluded.received");
        AppStatements apps(db);
        for (const UsageDelta& delta : deltas) {
            if (delta.nSent <= 0 && delta.nRecv <= 0) {
                continue;
            }
            if (!delta.strApplication.empty()) {
                int64_t nSeries = 0;
                if (const auto it = m_appSeriesIds.find(delta.strApplication);
                    it != m_appSeriesIds.end()) {
                    nSeries = it->second;
                } else if (const auto itNew = newAppIds.find(delta.strApplication);
                           itNew != newAppIds.end()) {
                    nSeries = itNew->second;
                } else {
                    nSeries = newAppIds[delta.strApplication] = SeriesId("", delta.strApplication);
                }
                const UsageDelta bytes{delta.nFiveMinuteStart,
                                       {},
                                       std::max<int64_t>(delta.nSent, 0),
                                       std::max<int64_t>(delta.nRecv, 0),
                                       delta.strApplication};
                // Only days and months: five-minute and hour rows of every application would
                // multiply the file by the number of applications, for views nobody reads.
                for (const ETier eTier : {ETier::Day, ETier::Month}) {
                    AddApplication(apps, static_cast<int>(eTier),
                                   BucketStart(eTier, delta.nFiveMinuteStart), nSeries, bytes);
                }
                continue;
            }
            int64_t nSeries = 0;
            if (const auto it = m_seriesIds.find(delta.strDevice); it != m_seriesIds.end()) {
                nSeries = it->second;
            } else {
                nSeries = SeriesId(delta.strDevice);
                newIds[delta.strDevice] = nSeries;
            }
            for (int nTier = 0; nTier < kTierCount; ++nTier) {
                const int64_t nStart =
                    nTier == 0 ? delta.nFiveMinuteStart
                               : BucketStart(static_cast<ETier>(nTier), delta.nFiveMinuteStart);
                add.Bind(1, nTier).Bind(2, nStart).Bind(3, nSeries);
                add.Bind(4, std::max<int64_t>(delta.nSent, 0))
                    .Bind(5, std::max<int64_t>(delta.nRecv, 0));
                add.Run();
            }
        }
        CSqliteStatement span =
            db.Prepare("INSERT INTO recorded(start, end) VALUES(?1, ?2) "
                       "ON CONFLICT DO UPDATE SET end = max(end, excluded.end)");
        for (const RecordedSpan& recorded : spans) {
            span.Bind(1, recorded.nStart).Bind(2, std::max(recorded.nEnd, recorded.nStart)).Run();
        }
        const bool bPrune = nNowUtc - m_nLastPrune >= kPrunePeriod || nNowUtc < m_nLastPrune;
        if (bPrune) {
            bSeriesPruned = Prune(nNowUtc);
        }
        transaction.Commit();
        if (bPrune) {
            m_nLastPrune = nNowUtc;
        }
    }
    m_seriesIds.merge(newIds);
    m_appSeriesIds.merge(newAppIds);
    if (bSeriesPruned) {
        m_appSeriesIds.clear();
    }
}

bool CUsageStore::Prune(int64_t nNowUtc) {
    CSqliteStatement prune = m_pDb->Prepare("DELETE FROM usage WHERE tier = ?1 AND start < ?2");
    for (int nTier = 0; nTier < kTierCount; ++nTier) {
        if (const int64_t nKeep = TierRetention(static_cast<ETier>(nTier)); nKeep > 0) {
            prune.Bind(1, nTier).Bind(2, nNowUtc - nKeep).Run();
        }
    }
    // Applications no bucket holds any more (short-lived scopes that went to the rest's row):
    // their names would otherwise pile up.
    m_pDb->Exec("DELETE FROM series WHERE device = '' AND id NOT IN (SELECT series FROM usage)");
    const bool bSeriesPruned = m_pDb->Changes() > 0;
    m_pDb->Exec("PRAGMA incremental_vacuum");
    return bSeriesPruned;
}

std::vector<UsageRow> CUsageStore::ReadUsage(ETier eTier, int64_t nFrom, int64_t nTo) {
    CSqliteStatement select = m_pDb->Prepare(
        "SELECT u.start, s.device, u.sent, u.received FROM usage u JOIN series s ON s.id = "
        "u.series "
        "WHERE u.tier = ?1 AND u.start >= ?2 AND u.start < ?3 AND s.application = '' AND "
        "s.tunnel = '' ORDER BY u.start, s.device");
    select.Bind(1, static_cast<int64_t>(eTier)).Bind(2, nFrom).Bind(3, nTo);
    std::vector<UsageRow> rows;
    while (select.Step()) {
        rows.push_back({select.GetInt(0), select.GetText(1), select.GetInt(2), select.GetInt(3)});
    }
    return rows;
}

std::vector<AppUsageRow> CUsageStore::ReadApplications(ETier eTier, int64_t nFrom, int64_t nTo) {
    CSqliteStatement select = m_pDb->Prepare(
        "SELECT u.start, s.application, u.sent, u.received FROM usage u JOIN series s ON s.id = "
        "u.series WHERE u.tier = ?1 AND u.start >= ?2 AND u.start < ?3 AND s.device = '' AND "
        "s.application <> '' AND s.tunnel = '' ORDER BY u.start, s.application");
    select.Bind(1, static_cast<int64_t>(eTier)).Bind(2, nFrom).Bind(3, nTo);
    std::vector<AppUsageRow> rows;
    while (select.Step()) {
        rows.push_back({select.GetInt(0), select.GetText(1), select.GetInt(2), select.GetInt(3)});
    }
    return rows;
}

std::vector<RecordedSpan> CUsageStore::ReadRecorded(int64_t nFrom, int64_t nTo) {
    CSqliteStatement select = m_pDb->Prepare(
        "SELECT start, end FROM recorded WHERE end >= ?1 AND start < ?2 ORDER BY start");
    select.Bind(1, nFrom).Bind(2, nTo);
    std::vector<RecordedSpan> spans;
    while (select.Step()) {
        spans.push_back({select.GetInt(0), select.GetInt(1)});
    }
    return spans;
}

std::optional<int64_t> CUsageStore::ReadFirstRecorded() {
    CSqliteStatement select = m_pDb->Prepare("SELECT start FROM recorded ORDER BY start LIMIT 1");
    if (!select.Step()) {
        return std::nullopt;
    }
    return select.GetInt(0);
}

std::vector<std::string> CUsageStore::ReadDevices() {
    CSqliteStatement select = m_pDb->Prepare(
        "SELECT device FROM series WHERE application = '' AND tunnel = '' ORDER BY device");
    std::vector<std::string> devices;
    while (select.Step()) {
        devices.push_back(select.GetText(0));
    }
    return devices;
}

std::optional<std::string> CUsageStore::GetSetting(const std::string& strKey) {
    CSqliteStatement select = m_pDb->Prepare("SELECT value FROM settings WHERE key = ?1");
    select.Bind(1, strKey);
    if (!select.Step()) {
        return std::nullopt;
    }
    std::string strValue = select.GetText(0);
    select.Reset();
    return strValue;
}

void CUsageStore::SetSetting(const std::string& strKey, const std::string& strValue) {
    m_pDb
        ->Prepare("INSERT INTO settings(key, value) VALUES(?1, ?2) "
                  "ON CONFLICT DO UPDATE SET value = excluded.value")
        .Bind(1, strKey)
        .Bind(2, strValue)
        .Run();
}

void CUsageStore::RemoveSetting(const std::string& strKey) {
    m_pDb->Prepare("DELETE FROM settings WHERE key = ?1").Bind(1, strKey).Run();
}

bool CUsageStore::MarkAlert(int64_t nCycleStart, int nPercent, int64_t nNowUtc) {
    m_pDb
        ->Prepare("INSERT INTO alerts(cycle_start, percent, fired) VALUES(?1, ?2, ?3) "
                  "ON CONFLICT DO NOTHING")
        .Bind(1, nCycleStart)
        .Bind(2, nPercent)
        .Bind(3, nNowUtc)
        .Run();
    return m_pDb->Changes() == 1;
}

std::set<int> CUsageStore::ReadAlerts(int64_t nCycleStart) {
    CSqliteStatement select = m_pDb->Prepare("SELECT percent FROM alerts WHERE cycle_start = ?1");
    select.Bind(1, nCycleStart);
    std::set<int> fired;
    while (select.Step()) {
        fired.insert(static_cast<int>(select.GetInt(0)));
    }
    return fired;
}
