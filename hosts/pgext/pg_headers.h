// The PostgreSQL server headers, for C++. They are C; some use C keywords
// that C++ drops.
#ifndef VELPG_PG_HEADERS_H
#define VELPG_PG_HEADERS_H

extern "C" {
#define register
#include "postgres.h"
// postgres.h first
#include "access/htup_details.h"
#include "access/xact.h"
#include "access/xlog.h"
#include "catalog/pg_authid_d.h"
#include "catalog/pg_type_d.h"
#include "commands/dbcommands.h"
#include "commands/trigger.h"
#include "executor/spi.h"
#include "fmgr.h"
#include "funcapi.h"
#include "lib/stringinfo.h"
#include "mb/pg_wchar.h"
#include "miscadmin.h"
#include "nodes/parsenodes.h"
#include "parser/parser.h"
#include "storage/ipc.h"
#include "tcop/utility.h"
#include "utils/acl.h"
#include "utils/builtins.h"
#include "utils/guc.h"
#include "utils/lsyscache.h"
#include "utils/memutils.h"
#include "utils/resowner.h"
#include "utils/timestamp.h"
#include "utils/tuplestore.h"
#undef register
}

#endif
