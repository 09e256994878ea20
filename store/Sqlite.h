#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// A failed SQLite call: its extended result code and SQLite's text.
class CSqliteError : public std::runtime_error {
public:
    CSqliteError(int nCode, const std::string& strText);
    int GetCode() const { return m_nCode; }
    // SQLITE_FULL, SQLITE_CORRUPT, ... without the extended part.
    int GetPrimaryCode() const { return m_nCode & 0xFF; }

private:
    int m_nCode;
};

class CSqliteStatement;

// One connection to a database file, closed on destruction. One thread at a time.
class CSqlite {
public:
    // Opens strPath with SQLite's open flags; throws CSqliteError.
    CSqlite(const std::string& strPath, int nFlags);
    CSqlite(const CSqlite&) = delete;
    CSqlite& operator=(const CSqlite&) = delete;

    // Runs one or more statements that return no rows; throws CSqliteError.
    void Exec(const char* szSql);
    CSqliteStatement Prepare(const char* szSql);
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int64_t Changes() const;
    sqlite3* Get() const { return m_hDb.get(); }

private:
    struct Closer {
        void operator()(sqlite3* hDb) const { sqlite3_close_v2(hDb); }
    };
    std::unique_ptr<sqlite3, Closer> m_hDb;
};

// One prepared statement; reused with Reset. Parameters and columns are numbered as in SQLite:
// parameters from 1, columns from 0.
class CSqliteStatement {
public:
    CSqliteStatement(sqlite3* hDb, const char* szSql);

    CSqliteStatement& Bind(int nIndex, int64_t nValue);
    CSqliteStatement& Bind(int nIndex, const std::string& strValue);
    // True with a row to read, false when done; throws CSqliteError.
    bool Step();
    // Runs to the end, for statements that return no rows.
    void Run();
    // Ready to run again; the bindings are cleared.
    void Reset();
    int64_t GetInt(int nColumn) const;
    std::string GetText(int nColumn) const;

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* hStmt) const { sqlite3_finalize(hStmt); }
    };
    sqlite3* m_hDb;
    std::unique_ptr<sqlite3_stmt, Finalizer> m_hStmt;
};

// BEGIN IMMEDIATE on construction; rolled back on destruction unless committed.
class CSqliteTransaction {
public:
    explicit CSqliteTransaction(CSqlite& db);
    CSqliteTransaction(const CSqliteTransaction&) = delete;
    CSqliteTransaction& operator=(const CSqliteTransaction&) = delete;
    ~CSqliteTransaction();
    void Commit();

private:
    CSqlite& m_db;
    bool m_bOpen = true;
};
