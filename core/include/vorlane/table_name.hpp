// Names of the tables the durable checkpoint stores keep their rows in.
#pragma once

#include <string_view>

namespace vorlane {

inline constexpr std::string_view kDefaultTableName = "vorlane_checkpoints";

// [a-z_][a-z0-9_]*, at most 63 bytes: a name every database accepts as a
// quoted identifier without case folding or truncation.
constexpr bool is_valid_table_name(std::string_view name) noexcept {
    if (name.empty() || name.size() > 63) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool ok = (c >= 'a' && c <= 'z') || c == '_' || (i > 0 && c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

}  // namespace vorlane
