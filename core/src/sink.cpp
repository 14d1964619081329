#include "vorlane/sink.hpp"

#include <algorithm>
#include <stdexcept>

namespace vorlane {

void SinkRows::begin_row(std::uint64_t block) {
    blocks_.push_back(block);
    row_bytes_.push_back(bytes_.size());
}

void SinkRows::add_bytes(SinkCell::Kind kind, std::string_view bytes) {
    const std::size_t start = bytes_.size();
    bytes_.append(bytes);
    end_text(start, kind);
}

void SinkRows::end_text(std::size_t start, SinkCell::Kind kind) {
    const std::size_t size = bytes_.size() - start;
    if (size > UINT32_MAX) throw std::length_error("a value of 4 GiB or more");
    cells_.push_back({kind, static_cast<std::uint32_t>(size), static_cast<std::int64_t>(start)});
}

void SinkRows::drop_last_row() noexcept {
    if (!blocks_.empty()) keep_first(blocks_.size() - 1);
}

void SinkRows::keep_first(std::size_t rows) noexcept {
    if (rows >= blocks_.size()) return;
    bytes_.resize(row_bytes_[rows]);
    cells_.resize(rows * columns_);
    blocks_.resize(rows);
    row_bytes_.resize(rows);
}

void SinkRows::drop_above(std::int64_t block) noexcept {
    if (block < 0) return keep_first(0);
    const auto first = std::upper_bound(blocks_.begin(), blocks_.end(),
                                        static_cast<std::uint64_t>(block));
    keep_first(static_cast<std::size_t>(first - blocks_.begin()));
}

SinkRows SinkRows::take_through(std::uint64_t block) {
    const auto k = static_cast<std::size_t>(
        std::upper_bound(blocks_.begin(), blocks_.end(), block) - blocks_.begin());
    SinkRows taken(columns_);
    if (k == blocks_.size()) {
        std::swap(taken, *this);
        return taken;
    }
    if (k == 0) return taken;
    // Rare: blocks delivered past the checkpoint stay, their offsets rebased.
    const std::size_t split = row_bytes_[k];
    taken.bytes_.assign(bytes_, 0, split);
    taken.cells_.assign(cells_.begin(), cells_.begin() + static_cast<std::ptrdiff_t>(k * columns_));
    taken.blocks_.assign(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(k));
    taken.row_bytes_.assign(row_bytes_.begin(), row_bytes_.begin() + static_cast<std::ptrdiff_t>(k));
    bytes_.erase(0, split);
    cells_.erase(cells_.begin(), cells_.begin() + static_cast<std::ptrdiff_t>(k * columns_));
    blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(k));
    row_bytes_.erase(row_bytes_.begin(), row_bytes_.begin() + static_cast<std::ptrdiff_t>(k));
    for (auto& start : row_bytes_) start -= split;
    for (auto& cell : cells_) {
        if (cell.kind == SinkCell::Kind::text || cell.kind == SinkCell::Kind::blob)
            cell.value -= static_cast<std::int64_t>(split);
    }
    return taken;
}

std::string quote_identifier(std::string_view name) {
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace vorlane
