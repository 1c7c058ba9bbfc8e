// How PostgreSQL columns and values reach the client: the datatype and
// maximum length each server type is described with, and how a value's
// text form (as the server sends it, with DateStyle ISO, extra_float_digits
// 1 and bytea_output hex) becomes a cell. Shared by the backends that read
// PostgreSQL rows: the libpq backend and the host backend. Internal to
// libvelct.so.
#ifndef VELCT_PG_TYPES_H
#define VELCT_PG_TYPES_H

#include <cstdint>
#include <string>
#include <string_view>

#include "velct_results.h"

namespace velct::detail {

// How the values of a column are read from the server's text form.
enum class PgForm { kInteger, kBoolean, kReal, kText, kBytes };

struct PgColumn {
  ColumnInfo info;
  PgForm form = PgForm::kText;
};

// The column of a server type (pg_type oid) with its type modifier.
PgColumn DescribePgColumn(uint32_t type_oid, int32_t modifier, std::string name);

// The cell of a non-NULL value given in its text form. Decoded bytes are
// kept in scratch, which must outlive the cell; text must too.
Cell PgCell(PgForm form, std::string_view text, std::string& scratch);

}  // namespace velct::detail

#endif
