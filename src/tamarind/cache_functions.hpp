#pragma once
// Module-level functions over the process's table cache, which every hasher
// instance without a cap of its own shares.

#include "tamarind/python.hpp"

namespace tamarind {

// table_cache_info(): a dict of the cache's limit and what it holds.
PyObject* table_cache_info(PyObject* module, PyObject* unused);
// set_table_cache_limit(limit): sets the limit in bytes; returns None.
PyObject* set_table_cache_limit(PyObject* module, PyObject* limit);

inline constexpr const char* TABLE_CACHE_INFO_DOC =
    "table_cache_info()\n--\n\n"
    "The process's table cache, as a dict: \"limit\", the limit in bytes;\n"
    "\"bytes\", what counts against it (the tables that inputs grew, the wide\n"
    "tables of variable-time calls, and tables kept for hashers that no longer\n"
    "exist); \"held\", the bytes of every table the cache holds, those of live\n"
    "configurable hashers included; \"blocks\", the number of sets of tables (one\n"
    "per set of generators and one for its wide tables, or per pair of\n"
    "configurable sizes).";

inline constexpr const char* SET_TABLE_CACHE_LIMIT_DOC =
    "set_table_cache_limit(limit, /)\n--\n\n"
    "Set the table cache's limit, in bytes (default 64 MiB). Hashers with the same\n"
    "generators share their tables through the cache, so a new instance finds the\n"
    "tables that an earlier one built. Nothing an input does makes the cache\n"
    "hold more than the limit: past it, hashing gets slower, never different.\n"
    "Lowering the limit drops tables that no live hasher uses, least recently\n"
    "used first; tables in use go with their last hasher.";

}  // namespace tamarind
