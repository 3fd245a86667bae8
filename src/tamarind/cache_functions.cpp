#include "tamarind/cache_functions.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>

#include "pedersen/table_cache.hpp"
#include "tamarind/arguments.hpp"
#include "tamarind/errors.hpp"

namespace tamarind {

namespace {

void set_item(PyObject* dict, const char* key, std::size_t value) {
    Ref number(PyLong_FromSize_t(value));
    if (!number || PyDict_SetItemString(dict, key, number.get()) != 0) propagate_python_error();
}

}  // namespace

PyObject* table_cache_info(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        const pedersen::TableCache& cache = pedersen::TableCache::process();
        Ref info(PyDict_New());
        if (!info) propagate_python_error();
        set_item(info.get(), "limit", cache.limit());
        set_item(info.get(), "bytes", cache.bytes());
        set_item(info.get(), "held", cache.held_bytes());
        set_item(info.get(), "blocks", cache.blocks());
        return info.release();
    });
}

PyObject* set_table_cache_limit(PyObject*, PyObject* limit) {
    return guarded([&]() -> PyObject* {
        const std::uint64_t bytes = extract_u64(limit, "limit");
        // A limit past what the machine can address is no limit.
        const std::size_t clamped = bytes > std::numeric_limits<std::size_t>::max()
                                        ? std::numeric_limits<std::size_t>::max()
                                        : static_cast<std::size_t>(bytes);
        pedersen::TableCache::process().set_limit(clamped);
        Py_IncRef(Py_None);
        return Py_None;
    });
}

}  // namespace tamarind
