// ArrowBatch: decoded records of one event type as Arrow columns, built in
// C++ buffers and handed to an Arrow library through the C data interface.
#pragma once

#include <cstdint>
#include <memory>

#include "binding.hpp"

namespace vorlane::py {

struct ArrowColumns;  // the built columns, shared by every export of them

struct ArrowBatchRecord {
    std::shared_ptr<const ArrowColumns> columns;
    std::uint64_t num_rows = 0;
};

template <> struct is_record<ArrowBatchRecord> : std::true_type {};
template <> const ClassDef& class_def<ArrowBatchRecord>();

}  // namespace vorlane::py
