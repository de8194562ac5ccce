// SQLite as the Windows programs have it (scripts/build-mingw-sqlite, from
// Debian's source package), run under Wine: a file database in a folder with
// a non-ASCII name, WAL mode, a transaction that a second connection must
// not see until it commits, writers on two threads, and the compile options
// the build chose.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

std::string Utf8(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh folder under %TEMP% whose name is not representable in the ANSI
// code page: SQLite must reach it through the wide-character file API.
class SqliteFile : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    dir_ = std::wstring(temp) + L"qmb-sqlite-\u03a9\u00e9-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    db_path_ = dir_ + L"\\boards.db";
    for (const wchar_t* suffix : {L"", L"-wal", L"-shm"}) DeleteFileW((db_path_ + suffix).c_str());
  }
  void TearDown() override {
    for (const wchar_t* suffix : {L"", L"-wal", L"-shm"}) DeleteFileW((db_path_ + suffix).c_str());
    RemoveDirectoryW(dir_.c_str());
  }

  sqlite3* Open() {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(Utf8(db_path_).c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    EXPECT_EQ(rc, SQLITE_OK) << (db ? sqlite3_errmsg(db) : "out of memory");
    if (db) sqlite3_busy_timeout(db, 5000);
    return db;
  }

  static void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (error ? error : "");
    sqlite3_free(error);
  }

  // The first column of the first row, as text ("" when there is none).
  static std::string Scalar(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    std::string value;
    if (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      value = text ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(stmt);
    return value;
  }

  std::wstring dir_;
  std::wstring db_path_;
};

TEST(SqliteBuild, LibraryMatchesItsHeaderAndOptions) {
  EXPECT_EQ(sqlite3_libversion_number(), SQLITE_VERSION_NUMBER);
  EXPECT_STREQ(sqlite3_sourceid(), SQLITE_SOURCE_ID);
  EXPECT_EQ(sqlite3_threadsafe(), 1);
  EXPECT_TRUE(sqlite3_compileoption_used("OMIT_LOAD_EXTENSION"));
  EXPECT_TRUE(sqlite3_compileoption_used("DQS=0"));
}

TEST_F(SqliteFile, WalTransactionIsSeenOnlyOnceCommitted) {
  sqlite3* writer = Open();
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(Scalar(writer, "PRAGMA journal_mode=WAL"), "wal");
  Exec(writer, "CREATE TABLE board (id INTEGER PRIMARY KEY, serial TEXT NOT NULL, section INTEGER)");
  sqlite3* reader = Open();
  ASSERT_NE(reader, nullptr);

  Exec(writer, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(writer, "INSERT INTO board (serial, section) VALUES (?, ?)", -1,
                               &insert, nullptr),
            SQLITE_OK);
  for (int i = 0; i < 500; ++i) {
    std::string serial = "SN-" + std::to_string(i);
    sqlite3_bind_text(insert, 1, serial.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 2, i % 16);
    ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(writer);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  // WAL: the reader is not blocked by the open write transaction and sees
  // the state before it.
  EXPECT_EQ(Scalar(reader, "SELECT count(*) FROM board"), "0");
  Exec(writer, "COMMIT");
  EXPECT_EQ(Scalar(reader, "SELECT count(*) FROM board"), "500");
  EXPECT_TRUE(Exists(db_path_ + L"-wal"));
  sqlite3_close(reader);
  sqlite3_close(writer);

  // Everything is in the file: a new connection reads it back, still in WAL
  // mode, from the folder of that name (not an ANSI-mangled one).
  EXPECT_TRUE(Exists(db_path_));
  sqlite3* again = Open();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Scalar(again, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(Scalar(again, "SELECT serial FROM board WHERE id = 500"), "SN-499");
  // 31 rounds of sections 0 to 15, then 0 to 3.
  EXPECT_EQ(Scalar(again, "SELECT sum(section) FROM board"), "3726");
  sqlite3_close(again);
}

TEST_F(SqliteFile, WritersOnTwoThreadsAllLand) {
  sqlite3* setup = Open();
  ASSERT_NE(setup, nullptr);
  EXPECT_EQ(Scalar(setup, "PRAGMA journal_mode=WAL"), "wal");
  Exec(setup, "CREATE TABLE record (worker INTEGER, n INTEGER)");
  sqlite3_close(setup);

  auto work = [this](int worker) {
    sqlite3* db = Open();
    if (!db) return;
    for (int n = 0; n < 100; ++n) {
      std::string sql = "BEGIN IMMEDIATE; INSERT INTO record VALUES (" + std::to_string(worker) +
                        ", " + std::to_string(n) + "); COMMIT";
      Exec(db, sql.c_str());
    }
    sqlite3_close(db);
  };
  std::thread a(work, 1), b(work, 2);
  a.join();
  b.join();

  sqlite3* check = Open();
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(Scalar(check, "SELECT count(*) FROM record WHERE worker = 1"), "100");
  EXPECT_EQ(Scalar(check, "SELECT count(*) FROM record WHERE worker = 2"), "100");
  sqlite3_close(check);
}

TEST(SqliteSql, DoubleQuotesNameColumnsNotStrings) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT \"no_such_column\"", -1, &stmt, nullptr), SQLITE_ERROR);
  EXPECT_NE(std::strstr(sqlite3_errmsg(db), "no_such_column"), nullptr) << sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

}  // namespace
