#include "recordings_index.h"

#include <sqlite3.h>

namespace dvrexample {

namespace {

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS segments("
    " name TEXT PRIMARY KEY, camera TEXT NOT NULL, start_ns INTEGER NOT NULL, end_ns INTEGER NOT NULL,"
    " run INTEGER NOT NULL, media_start INTEGER NOT NULL, media_end INTEGER NOT NULL,"
    " bytes INTEGER NOT NULL, sync_times TEXT NOT NULL, decode_start INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS segments_by_time ON segments(camera, start_ns);";
// Columns added since the first schema, for an index made before them.
constexpr char kAddedColumns[] = "ALTER TABLE segments ADD COLUMN decode_start INTEGER NOT NULL DEFAULT 0;";
constexpr char kColumns[] =
    "name, camera, start_ns, end_ns, run, media_start, media_end, bytes, sync_times, decode_start";

struct Statement {
    sqlite3_stmt* statement = nullptr;
    ~Statement() { sqlite3_finalize(statement); }
};

std::string Text(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace

RecordingsIndex::RecordingsIndex() = default;

RecordingsIndex::~RecordingsIndex()
{
    sqlite3_close(db_);
}

bool RecordingsIndex::Fail(const char* what)
{
    error_ = std::string(what) + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
    return false;
}

bool RecordingsIndex::Open(const std::string& path, bool readOnly)
{
    sqlite3_close(db_);
    db_ = nullptr;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        return Fail("cannot open the index");
    }
    sqlite3_busy_timeout(db_, 2000);
    if (readOnly) {
        return true;
    }
    // WAL lets the catalog read while the recorder writes; NORMAL syncs at
    // checkpoints only, and the index can always be rebuilt from the files.
    Statement check;
    if (!Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") ||
        sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &check.statement, nullptr) != SQLITE_OK ||
        sqlite3_step(check.statement) != SQLITE_ROW || Text(check.statement, 0) != "ok") {
        return Fail("the index is damaged");
    }
    if (!Execute(kSchema)) {
        return false;
    }
    Statement probe;
    const bool current = sqlite3_prepare_v2(db_, "SELECT decode_start FROM segments LIMIT 0", -1, &probe.statement,
                                            nullptr) == SQLITE_OK;
    return current || Execute(kAddedColumns);
}

bool RecordingsIndex::Execute(const char* sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail("index statement failed");
}

bool RecordingsIndex::Begin()
{
    return Execute("BEGIN");
}

bool RecordingsIndex::Commit()
{
    return Execute("COMMIT") || (Execute("ROLLBACK"), false);
}

bool RecordingsIndex::Put(const SegmentRow& row)
{
    Statement put;
    const std::string sql =
        std::string("INSERT OR REPLACE INTO segments(") + kColumns + ") VALUES(?,?,?,?,?,?,?,?,?,?)";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &put.statement, nullptr) != SQLITE_OK) {
        return Fail("cannot store a segment");
    }
    sqlite3_bind_text(put.statement, 1, row.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(put.statement, 2, row.camera.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(put.statement, 3, row.startNs);
    sqlite3_bind_int64(put.statement, 4, row.endNs);
    sqlite3_bind_int64(put.statement, 5, row.run);
    sqlite3_bind_int64(put.statement, 6, row.mediaStart);
    sqlite3_bind_int64(put.statement, 7, row.mediaEnd);
    sqlite3_bind_int64(put.statement, 8, static_cast<sqlite3_int64>(row.bytes));
    sqlite3_bind_text(put.statement, 9, row.syncTimes.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(put.statement, 10, row.decodeStart);
    return sqlite3_step(put.statement) == SQLITE_DONE || Fail("cannot store a segment");
}

bool RecordingsIndex::Remove(const std::string& name)
{
    Statement remove;
    if (sqlite3_prepare_v2(db_, "DELETE FROM segments WHERE name = ?", -1, &remove.statement, nullptr) != SQLITE_OK) {
        return Fail("cannot remove a segment");
    }
    sqlite3_bind_text(remove.statement, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    return sqlite3_step(remove.statement) == SQLITE_DONE || Fail("cannot remove a segment");
}

std::vector<SegmentRow> RecordingsIndex::All()
{
    return Select("ORDER BY start_ns", nullptr, 0, 0);
}

std::vector<SegmentRow> RecordingsIndex::Find(const std::string& camera, int64_t fromNs, int64_t toNs)
{
    return Select("WHERE camera = ?1 AND end_ns > ?2 AND start_ns < ?3 ORDER BY start_ns", &camera, fromNs, toNs);
}

std::vector<SegmentRow> RecordingsIndex::Select(const char* where, const std::string* camera, int64_t fromNs,
                                                int64_t toNs)
{
    std::vector<SegmentRow> rows;
    Statement select;
    const std::string sql = std::string("SELECT ") + kColumns + " FROM segments " + where;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &select.statement, nullptr) != SQLITE_OK) {
        Fail("cannot read the index");
        return rows;
    }
    if (camera != nullptr) {
        sqlite3_bind_text(select.statement, 1, camera->c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(select.statement, 2, fromNs);
        sqlite3_bind_int64(select.statement, 3, toNs);
    }
    while (sqlite3_step(select.statement) == SQLITE_ROW) {
        SegmentRow row;
        row.name = Text(select.statement, 0);
        row.camera = Text(select.statement, 1);
        row.startNs = sqlite3_column_int64(select.statement, 2);
        row.endNs = sqlite3_column_int64(select.statement, 3);
        row.run = static_cast<uint32_t>(sqlite3_column_int64(select.statement, 4));
        row.mediaStart = sqlite3_column_int64(select.statement, 5);
        row.mediaEnd = sqlite3_column_int64(select.statement, 6);
        row.bytes = static_cast<uint64_t>(sqlite3_column_int64(select.statement, 7));
        row.syncTimes = Text(select.statement, 8);
        row.decodeStart = sqlite3_column_int64(select.statement, 9);
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace dvrexample
