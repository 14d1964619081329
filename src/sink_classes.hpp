// The sink classes of vorlane_stores, for the module's class list.
#pragma once

#include "binding.hpp"

namespace vorlane::py {

struct SqliteSinkRecord;
template <> const ClassDef& class_def<SqliteSinkRecord>();

}  // namespace vorlane::py
