#include "recordings_index.h"

#include <sqlite3.h>

namespace dvrexample {

namespace {

// The first version's table, as it was; Migrate adds the rest.
constexpr char kSegmentsTable[] =
    "CREATE TABLE IF NOT EXISTS segments("
    " name TEXT PRIMARY KEY, camera TEXT NOT NULL, start_ns INTEGER NOT NULL, end_ns INTEGER NOT NULL,"
    " run INTEGER NOT NULL, media_start INTEGER NOT NULL, media_end INTEGER NOT NULL,"
    " bytes INTEGER NOT NULL, sync_times TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS segments_by_time ON segments(camera, start_ns);";
// Version 2: the archive's columns, indexes and per-camera totals.
constexpr char kVersion2[] =
    "ALTER TABLE segments ADD COLUMN closed INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE segments ADD COLUMN file_mtime INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE segments ADD COLUMN unlink_failed INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX segments_by_start ON segments(start_ns);"
    "CREATE INDEX segments_open ON segments(name) WHERE closed = 0;"
    "CREATE INDEX segments_unlink_failed ON segments(name) WHERE unlink_failed != 0;"
    "CREATE TABLE cameras(camera TEXT PRIMARY KEY, bytes INTEGER NOT NULL, segments INTEGER NOT NULL);"
    "INSERT INTO cameras SELECT camera, sum(bytes), count(*) FROM segments GROUP BY camera;"
    "CREATE TRIGGER segments_added AFTER INSERT ON segments BEGIN"
    " INSERT INTO cameras VALUES(new.camera, new.bytes, 1) ON CONFLICT(camera) DO UPDATE"
    "  SET bytes = bytes + new.bytes, segments = segments + 1; END;"
    "CREATE TRIGGER segments_removed AFTER DELETE ON segments BEGIN"
    " UPDATE cameras SET bytes = bytes - old.bytes, segments = segments - 1 WHERE camera = old.camera;"
    " DELETE FROM cameras WHERE camera = old.camera AND segments = 0; END;"
    "CREATE TRIGGER segments_resized AFTER UPDATE OF bytes ON segments BEGIN"
    " UPDATE cameras SET bytes = bytes - old.bytes + new.bytes WHERE camera = new.camera; END;";
// Version 3: the decode start. An index of the first version may have it
// already (it was added to that version's table without a version of its
// own), so it is added only where it is missing.
constexpr char kDecodeStart[] = "ALTER TABLE segments ADD COLUMN decode_start INTEGER NOT NULL DEFAULT 0;";
constexpr char kVersion[] = "PRAGMA user_version = 3;";
// Beside any version: a table that a recorder without it never reads.
constexpr char kUnreadableTable[] =
    "CREATE TABLE IF NOT EXISTS unreadable(name TEXT PRIMARY KEY, bytes INTEGER NOT NULL, check_mark INTEGER NOT "
    "NULL);";

#define SEGMENT_COLUMNS \
    "name, camera, start_ns, end_ns, run, media_start, media_end, bytes, sync_times, closed, file_mtime, decode_start"
constexpr char kPut[] = "INSERT INTO segments(" SEGMENT_COLUMNS
                        ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT(name) DO UPDATE SET"
                        " end_ns = excluded.end_ns, run = excluded.run, media_start = excluded.media_start,"
                        " media_end = excluded.media_end, bytes = excluded.bytes, sync_times = excluded.sync_times,"
                        " closed = excluded.closed, file_mtime = excluded.file_mtime,"
                        " decode_start = excluded.decode_start";
constexpr char kRemove[] = "DELETE FROM segments WHERE name = ?";
constexpr char kMarkUnlinkFailed[] = "UPDATE segments SET unlink_failed = 1 WHERE name = ?";
constexpr char kGet[] = "SELECT " SEGMENT_COLUMNS " FROM segments WHERE name = ?";
constexpr char kOldest[] = "SELECT " SEGMENT_COLUMNS
                           " FROM segments WHERE closed = 1 AND unlink_failed = 0 ORDER BY start_ns LIMIT 1";
constexpr char kOldestOf[] = "SELECT " SEGMENT_COLUMNS
                             " FROM segments WHERE camera = ? AND closed = 1 AND unlink_failed = 0"
                             " ORDER BY start_ns LIMIT 1";
constexpr char kCamerasOver[] = "SELECT camera, bytes FROM cameras WHERE bytes > ?";
constexpr char kUsage[] = "SELECT coalesce(sum(bytes), 0), coalesce(sum(segments), 0), count(*) FROM cameras";
constexpr char kUnreadableBytes[] = "SELECT coalesce(sum(bytes), 0) FROM unreadable";
constexpr char kPutUnreadable[] =
    "INSERT INTO unreadable VALUES(?,?,?) ON CONFLICT(name) DO UPDATE SET bytes = excluded.bytes,"
    " check_mark = excluded.check_mark";
constexpr char kForgetUnreadable[] = "DELETE FROM unreadable WHERE check_mark != ?";
constexpr char kOpenRows[] = "SELECT " SEGMENT_COLUMNS " FROM segments WHERE closed = 0";
constexpr char kUnlinkFailed[] = "SELECT name FROM segments WHERE unlink_failed != 0 LIMIT ?";
constexpr char kPage[] = "SELECT " SEGMENT_COLUMNS
                         " FROM segments WHERE camera = ? AND name > ? ORDER BY name LIMIT ?";
constexpr char kFind[] = "SELECT " SEGMENT_COLUMNS
                         " FROM segments WHERE camera = ? AND end_ns > ? AND start_ns < ? ORDER BY start_ns";
#undef SEGMENT_COLUMNS

std::string Text(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

SegmentRow ReadRow(sqlite3_stmt* statement)
{
    SegmentRow row;
    row.name = Text(statement, 0);
    row.camera = Text(statement, 1);
    row.startNs = sqlite3_column_int64(statement, 2);
    row.endNs = sqlite3_column_int64(statement, 3);
    row.run = static_cast<uint32_t>(sqlite3_column_int64(statement, 4));
    row.mediaStart = sqlite3_column_int64(statement, 5);
    row.mediaEnd = sqlite3_column_int64(statement, 6);
    row.bytes = static_cast<uint64_t>(sqlite3_column_int64(statement, 7));
    row.syncTimes = Text(statement, 8);
    row.closed = sqlite3_column_int64(statement, 9) != 0;
    row.fileMtimeNs = sqlite3_column_int64(statement, 10);
    row.decodeStart = sqlite3_column_int64(statement, 11);
    return row;
}

void BindText(sqlite3_stmt* statement, int at, const std::string& text)
{
    sqlite3_bind_text(statement, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

RecordingsIndex::RecordingsIndex() = default;

RecordingsIndex::~RecordingsIndex()
{
    for (auto& [sql, statement] : statements_) {
        sqlite3_finalize(statement);
    }
    sqlite3_close(db_);
}

bool RecordingsIndex::Fail(const char* what)
{
    const int code = db_ != nullptr ? sqlite3_errcode(db_) & 0xff : SQLITE_NOMEM;
    locked_ = locked_ || code == SQLITE_BUSY || code == SQLITE_LOCKED;
    error_ = std::string(what) + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
    return false;
}

bool RecordingsIndex::Open(const std::string& path, bool readOnly)
{
    for (auto& [sql, statement] : statements_) {
        sqlite3_finalize(statement);
    }
    statements_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
    newer_ = locked_ = false;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        return Fail("cannot open the index");
    }
    // Long enough for the other connection's batch, and a bound on the
    // wait when another process holds the index.
    sqlite3_busy_timeout(db_, 5000);
    // Every question touches a few pages of an index; a small cache per
    // connection keeps memory flat however large the archive grows.
    sqlite3_exec(db_, "PRAGMA cache_size = -512", nullptr, nullptr, nullptr);
    sqlite3_stmt* version = Prepare("PRAGMA user_version");
    if (version == nullptr || sqlite3_step(version) != SQLITE_ROW) {
        return Fail(readOnly ? "cannot read the index" : "the index is damaged");
    }
    const int found = sqlite3_column_int(version, 0);
    sqlite3_reset(version);
    if (found > kSchemaVersion) {
        newer_ = true;
        error_ = "the index is of a newer version (schema " + std::to_string(found) + ", this recorder knows " +
                 std::to_string(kSchemaVersion) + ")";
        return false;
    }
    if (readOnly) {
        return true;
    }
    // WAL lets the catalog read while the recorder writes; NORMAL syncs at
    // checkpoints only, and the index can always be rebuilt from the files.
    sqlite3_stmt* check = Prepare("PRAGMA quick_check");
    if (!Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") || check == nullptr ||
        sqlite3_step(check) != SQLITE_ROW || Text(check, 0) != "ok") {
        return Fail("the index is damaged");
    }
    sqlite3_reset(check);
    return (found == kSchemaVersion || Migrate(found)) && Execute(kUnreadableTable);
}

bool RecordingsIndex::Migrate(int from)
{
    if (!Execute("BEGIN IMMEDIATE")) {
        return false;
    }
    if (Execute(kSegmentsTable) && (from >= 2 || Execute(kVersion2)) && (HasDecodeStart() || Execute(kDecodeStart)) &&
        Execute(kVersion) && Execute("COMMIT")) {
        return true;
    }
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool RecordingsIndex::HasDecodeStart()
{
    sqlite3_stmt* probe = nullptr;
    const bool found =
        sqlite3_prepare_v2(db_, "SELECT decode_start FROM segments LIMIT 0", -1, &probe, nullptr) == SQLITE_OK;
    sqlite3_finalize(probe);
    return found;
}

sqlite3_stmt* RecordingsIndex::Prepare(const char* sql)
{
    sqlite3_stmt*& statement = statements_[sql];
    if (statement == nullptr &&
        sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        statements_.erase(sql);
        return nullptr;
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return statement;
}

bool RecordingsIndex::Execute(const char* sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail("index statement failed");
}

bool RecordingsIndex::Begin()
{
    // IMMEDIATE takes the write lock now, waiting through the busy timeout,
    // rather than failing at the first write when another connection wrote.
    return Execute("BEGIN IMMEDIATE");
}

bool RecordingsIndex::Commit()
{
    return Execute("COMMIT") || (sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr), false);
}

bool RecordingsIndex::inTransaction() const
{
    return db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
}

bool RecordingsIndex::Put(const SegmentRow& row)
{
    sqlite3_stmt* put = Prepare(kPut);
    if (put == nullptr) {
        return Fail("cannot store a segment");
    }
    BindText(put, 1, row.name);
    BindText(put, 2, row.camera);
    sqlite3_bind_int64(put, 3, row.startNs);
    sqlite3_bind_int64(put, 4, row.endNs);
    sqlite3_bind_int64(put, 5, row.run);
    sqlite3_bind_int64(put, 6, row.mediaStart);
    sqlite3_bind_int64(put, 7, row.mediaEnd);
    sqlite3_bind_int64(put, 8, static_cast<sqlite3_int64>(row.bytes));
    BindText(put, 9, row.syncTimes);
    sqlite3_bind_int(put, 10, row.closed ? 1 : 0);
    sqlite3_bind_int64(put, 11, row.fileMtimeNs);
    sqlite3_bind_int64(put, 12, row.decodeStart);
    const bool stored = sqlite3_step(put) == SQLITE_DONE || Fail("cannot store a segment");
    sqlite3_reset(put);
    return stored;
}

bool RecordingsIndex::Remove(const std::string& name)
{
    return ChangeNamed(kRemove, name, "cannot remove a segment");
}

bool RecordingsIndex::MarkUnlinkFailed(const std::string& name)
{
    return ChangeNamed(kMarkUnlinkFailed, name, "cannot mark a segment");
}

bool RecordingsIndex::ChangeNamed(const char* sql, const std::string& name, const char* what)
{
    sqlite3_stmt* change = Prepare(sql);
    if (change == nullptr) {
        return Fail(what);
    }
    BindText(change, 1, name);
    const bool changed = sqlite3_step(change) == SQLITE_DONE || Fail(what);
    sqlite3_reset(change);
    return changed;
}

std::vector<SegmentRow> RecordingsIndex::Rows(sqlite3_stmt* statement, unsigned limit)
{
    std::vector<SegmentRow> rows;
    if (statement == nullptr) {
        Fail("cannot read the index");
        return rows;
    }
    while (rows.size() < limit && sqlite3_step(statement) == SQLITE_ROW) {
        rows.push_back(ReadRow(statement));
    }
    sqlite3_reset(statement);
    return rows;
}

std::optional<SegmentRow> RecordingsIndex::Get(const std::string& name)
{
    sqlite3_stmt* get = Prepare(kGet);
    if (get != nullptr) {
        BindText(get, 1, name);
    }
    std::vector<SegmentRow> rows = Rows(get, 1);
    return rows.empty() ? std::nullopt : std::optional<SegmentRow>(std::move(rows[0]));
}

std::optional<SegmentRow> RecordingsIndex::Oldest(const std::string* camera)
{
    sqlite3_stmt* oldest = Prepare(camera != nullptr ? kOldestOf : kOldest);
    if (oldest != nullptr && camera != nullptr) {
        BindText(oldest, 1, *camera);
    }
    std::vector<SegmentRow> rows = Rows(oldest, 1);
    return rows.empty() ? std::nullopt : std::optional<SegmentRow>(std::move(rows[0]));
}

std::map<std::string, uint64_t> RecordingsIndex::CamerasOver(uint64_t bytes)
{
    std::map<std::string, uint64_t> cameras;
    sqlite3_stmt* over = Prepare(kCamerasOver);
    if (over == nullptr) {
        Fail("cannot read the index");
        return cameras;
    }
    sqlite3_bind_int64(over, 1, static_cast<sqlite3_int64>(bytes));
    while (sqlite3_step(over) == SQLITE_ROW) {
        cameras[Text(over, 0)] = static_cast<uint64_t>(sqlite3_column_int64(over, 1));
    }
    sqlite3_reset(over);
    return cameras;
}

RecordingsUsage RecordingsIndex::Usage()
{
    RecordingsUsage usage;
    sqlite3_stmt* totals = Prepare(kUsage);
    if (totals == nullptr || sqlite3_step(totals) != SQLITE_ROW) {
        Fail("cannot read the index");
        return usage;
    }
    usage.bytes = static_cast<uint64_t>(sqlite3_column_int64(totals, 0));
    usage.segments = static_cast<uint64_t>(sqlite3_column_int64(totals, 1));
    usage.cameras = static_cast<uint32_t>(sqlite3_column_int64(totals, 2));
    sqlite3_reset(totals);
    // Missing from an index that no recorder of this version has opened yet.
    sqlite3_stmt* unreadable = Prepare(kUnreadableBytes);
    if (unreadable != nullptr && sqlite3_step(unreadable) == SQLITE_ROW) {
        usage.unreadableBytes = static_cast<uint64_t>(sqlite3_column_int64(unreadable, 0));
        usage.bytes += usage.unreadableBytes;
        sqlite3_reset(unreadable);
    }
    return usage;
}

bool RecordingsIndex::PutUnreadable(const std::string& name, uint64_t bytes, int64_t checkMark)
{
    sqlite3_stmt* put = Prepare(kPutUnreadable);
    if (put == nullptr) {
        return Fail("cannot note an unreadable file");
    }
    BindText(put, 1, name);
    sqlite3_bind_int64(put, 2, static_cast<sqlite3_int64>(bytes));
    sqlite3_bind_int64(put, 3, checkMark);
    const bool done = sqlite3_step(put) == SQLITE_DONE;
    sqlite3_reset(put);
    return done || Fail("cannot note an unreadable file");
}

bool RecordingsIndex::ForgetOtherChecksUnreadable(int64_t checkMark)
{
    sqlite3_stmt* forget = Prepare(kForgetUnreadable);
    if (forget == nullptr) {
        return Fail("cannot forget unreadable files");
    }
    sqlite3_bind_int64(forget, 1, checkMark);
    const bool done = sqlite3_step(forget) == SQLITE_DONE;
    sqlite3_reset(forget);
    return done || Fail("cannot forget unreadable files");
}

std::vector<SegmentRow> RecordingsIndex::OpenRows()
{
    return Rows(Prepare(kOpenRows), UINT32_MAX);
}

std::vector<std::string> RecordingsIndex::UnlinkFailed(unsigned limit)
{
    std::vector<std::string> names;
    sqlite3_stmt* failed = Prepare(kUnlinkFailed);
    if (failed == nullptr) {
        Fail("cannot read the index");
        return names;
    }
    sqlite3_bind_int(failed, 1, static_cast<int>(limit));
    while (sqlite3_step(failed) == SQLITE_ROW) {
        names.push_back(Text(failed, 0));
    }
    sqlite3_reset(failed);
    return names;
}

std::vector<SegmentRow> RecordingsIndex::Page(const std::string& camera, const std::string& after, unsigned limit)
{
    sqlite3_stmt* page = Prepare(kPage);
    if (page != nullptr) {
        BindText(page, 1, camera);
        BindText(page, 2, after);
        sqlite3_bind_int(page, 3, static_cast<int>(limit));
    }
    return Rows(page, limit);
}

bool RecordingsIndex::ForEach(const std::string& camera, int64_t fromNs, int64_t toNs,
                              const std::function<bool(const SegmentRow&)>& visit)
{
    sqlite3_stmt* find = Prepare(kFind);
    if (find == nullptr) {
        return Fail("cannot read the index");
    }
    BindText(find, 1, camera);
    sqlite3_bind_int64(find, 2, fromNs);
    sqlite3_bind_int64(find, 3, toNs);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(find)) == SQLITE_ROW && visit(ReadRow(find))) {
    }
    const bool read = step == SQLITE_ROW || step == SQLITE_DONE || Fail("cannot read the index");
    sqlite3_reset(find);
    return read;
}

}  // namespace dvrexample
