#include "Sqlite.h"

namespace {

[[noreturn]] void Throw(sqlite3* hDb, int nResult) {
    const int nCode = hDb != nullptr ? sqlite3_extended_errcode(hDb) : nResult;
    throw CSqliteError(nCode, hDb != nullptr ? sqlite3_errmsg(hDb) : sqlite3_errstr(nResult));
}

} // namespace

CSqliteError::CSqliteError(int nCode, const std::string& strText)
    : std::runtime_error(strText), m_nCode(nCode) {}

CSqlite::CSqlite(const std::string& strPath, int nFlags) {
    sqlite3* hDb = nullptr;
    const int nResult =
        sqlite3_open_v2(strPath.c_str(), &hDb, nFlags | SQLITE_OPEN_NOMUTEX, nullptr);
    m_hDb.reset(hDb); // a failed open still hands out a handle to close
    if (nResult != SQLITE_OK) {
        Throw(hDb, nResult);
    }
    sqlite3_extended_result_codes(hDb, 1);
}

void CSqlite::Exec(const char* szSql) {
    const int nResult = sqlite3_exec(m_hDb.get(), szSql, nullptr, nullptr, nullptr);
    if (nResult != SQLITE_OK) {
        Throw(m_hDb.get(), nResult);
    }
}

CSqliteStatement CSqlite::Prepare(const char* szSql) {
    return CSqliteStatement(m_hDb.get(), szSql);
}

int64_t CSqlite::Changes() const {
    return sqlite3_changes64(m_hDb.get());
}

CSqliteStatement::CSqliteStatement(sqlite3* hDb, const char* szSql) : m_hDb(hDb) {
    sqlite3_stmt* hStmt = nullptr;
    const int nResult =
        sqlite3_prepare_v3(hDb, szSql, -1, SQLITE_PREPARE_PERSISTENT, &hStmt, nullptr);
    m_hStmt.reset(hStmt);
    if (nResult != SQLITE_OK) {
        Throw(hDb, nResult);
    }
}

CSqliteStatement& CSqliteStatement::Bind(int nIndex, int64_t nValue) {
    if (const int nResult = sqlite3_bind_int64(m_hStmt.get(), nIndex, nValue);
        nResult != SQLITE_OK) {
        Throw(m_hDb, nResult);
    }
    return *this;
}

CSqliteStatement& CSqliteStatement::Bind(int nIndex, const std::string& strValue) {
    if (const int nResult = sqlite3_bind_text(m_hStmt.get(), nIndex, strValue.data(),
                                              static_cast<int>(strValue.size()), SQLITE_TRANSIENT);
        nResult != SQLITE_OK) {
        Throw(m_hDb, nResult);
    }
    return *this;
}

bool CSqliteStatement::Step() {
    const int nResult = sqlite3_step(m_hStmt.get());
    if (nResult == SQLITE_ROW) {
        return true;
    }
    if (nResult == SQLITE_DONE) {
        return false;
    }
    // The statement is left ready to run again, as a failed step leaves it reset.
    sqlite3_reset(m_hStmt.get());
    Throw(m_hDb, nResult);
}

void CSqliteStatement::Run() {
    while (Step()) {
    }
    Reset();
}

void CSqliteStatement::Reset() {
    sqlite3_reset(m_hStmt.get());
    sqlite3_clear_bindings(m_hStmt.get());
}

int64_t CSqliteStatement::GetInt(int nColumn) const {
    return sqlite3_column_int64(m_hStmt.get(), nColumn);
}

std::string CSqliteStatement::GetText(int nColumn) const {
    const auto* pText = sqlite3_column_text(m_hStmt.get(), nColumn);
    return pText == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(pText),
                             static_cast<size_t>(sqlite3_column_bytes(m_hStmt.get(), nColumn)));
}

CSqliteTransaction::CSqliteTransaction(CSqlite& db) : m_db(db) {
    m_db.Exec("BEGIN IMMEDIATE");
}

CSqliteTransaction::~CSqliteTransaction() {
    if (m_bOpen) {
        // Nothing to do about a failed rollback: SQLite rolls back itself when it cannot.
        sqlite3_exec(m_db.Get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void CSqliteTransaction::Commit() {
    m_db.Exec("COMMIT");
    m_bOpen = false;
}
