#include "sample_database.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace velhost {
namespace {

constexpr const char* kSchema = R"sql(
begin;
create table disks (
  name    varchar(12) not null,
  mount   varchar(16) not null,
  size_mb int not null,
  free_mb int not null
);
insert into disks values
  ('sda1', '/',        51200,   20480),
  ('sda2', '/var',     102400,  8192),
  ('sdb1', '/data',    512000,  307200),
  ('sdb2', '/backup',  1024000, 96256),
  ('sdc1', '/logs',    204800,  190464),
  ('sdd1', '/archive', 2048000, 1843200);
create table orders (
  id       int primary key,
  customer varchar(20) not null,
  item     varchar(20) not null,
  qty      int not null,
  status   varchar(10) not null
);
insert into orders values
  (1001, 'Harbour Books',   'label printer', 2,  'shipped'),
  (1002, 'Northwind Cafe',  'receipt rolls', 40, 'open'),
  (1003, 'Lindqvist & Co',  'barcode reader', 1, 'open'),
  (1004, 'Harbour Books',   'toner',          6, 'shipped'),
  (1005, 'Okafor Hardware', 'cash drawer',    1, 'open'),
  (1006, 'Northwind Cafe',  'card terminal',  2, 'cancelled');
commit;
)sql";

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

}  // namespace

void CreateSampleDatabase(const std::filesystem::path& file) {
  sqlite3* raw = nullptr;
  const int opened =
      sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, DatabaseCloser> db(raw);
  if (opened != SQLITE_OK) {
    throw std::runtime_error("cannot create " + file.string() + ": " +
                             (raw != nullptr ? sqlite3_errmsg(raw) : "out of memory"));
  }
  char* error = nullptr;
  if (sqlite3_exec(db.get(), kSchema, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error != nullptr ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("cannot seed " + file.string() + ": " + message);
  }
}

}  // namespace velhost
