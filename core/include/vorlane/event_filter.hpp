// Which logs an indexer is interested in: contract addresses, first topics
// and an optional block range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

namespace vorlane {

// Byte-wise equality in which only ASCII 'A'..'Z' are folded to lower case;
// every other byte (including all bytes of multi-byte UTF-8 sequences) must
// match exactly. No trimming and no Unicode folding.
[[nodiscard]] bool ascii_case_insensitive_equal(std::string_view a, std::string_view b) noexcept;

// An append-only list of texts kept exactly as given, in insertion order: a
// table of (offset, length) slots right after a small header, and the bytes
// of every entry back to back in a second block.  A scan reads the slot
// table front to back and looks at an entry's bytes only when its length
// fits, so it neither chases a pointer per entry nor waits on one entry's
// length to find the next.  Both blocks grow by reallocation, which for a
// long list moves pages instead of copying and touching them again.
// The empty list owns no memory.  Offsets and lengths are 32-bit: the bytes
// of one list are limited to 4 GiB (push_back throws std::length_error).
class TextList {
    struct Slot {
        std::uint32_t offset;
        std::uint32_t length;
    };
    // The header of the slot block; the slots follow it.
    struct Block {
        std::uint32_t count;
        std::uint32_t slot_capacity;
        std::uint32_t used;  // bytes
        std::uint32_t byte_capacity;
        char* bytes;
    };
    static const Slot* slots_of(const Block* b) noexcept {
        return reinterpret_cast<const Slot*>(b + 1);
    }
    static const char* bytes_of(const Block* b) noexcept { return b->bytes; }

public:
    TextList() noexcept = default;
    TextList(const TextList& other);
    TextList(TextList&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    TextList& operator=(const TextList& other);
    TextList& operator=(TextList&& other) noexcept;
    ~TextList() {
        if (block_ != nullptr) release();
    }

    // Appends a copy of `text`. Throws std::bad_alloc or std::length_error;
    // the list is unchanged then.
    void push_back(std::string_view text);

    [[nodiscard]] std::size_t size() const noexcept { return block_ ? block_->count : 0; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    // Total bytes of all entries.
    [[nodiscard]] std::size_t text_bytes() const noexcept { return block_ ? block_->used : 0; }
    // Precondition: i < size().
    [[nodiscard]] std::string_view operator[](std::size_t i) const noexcept {
        const Slot& s = slots_of(block_)[i];
        return {bytes_of(block_) + s.offset, s.length};
    }

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        const_iterator() noexcept = default;
        std::string_view operator*() const noexcept {
            return {bytes_ + slot_->offset, slot_->length};
        }
        const_iterator& operator++() noexcept {
            ++slot_;
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator old = *this;
            ++slot_;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
            return a.slot_ == b.slot_;
        }

    private:
        friend class TextList;
        const_iterator(const Slot* slot, const char* bytes) noexcept : slot_(slot), bytes_(bytes) {}
        const Slot* slot_ = nullptr;
        const char* bytes_ = nullptr;
    };
    [[nodiscard]] const_iterator begin() const noexcept {
        return block_ ? const_iterator(slots_of(block_), bytes_of(block_)) : const_iterator();
    }
    [[nodiscard]] const_iterator end() const noexcept {
        return block_ ? const_iterator(slots_of(block_) + block_->count, bytes_of(block_))
                      : const_iterator();
    }

    // True when some entry equals `text` under ascii_case_insensitive_equal.
    // Entries are tried in insertion order and the first match ends the scan.
    [[nodiscard]] bool contains_ascii_folded(std::string_view text) const noexcept;

    // Same entries, same order, byte for byte.
    friend bool operator==(const TextList& a, const TextList& b) noexcept;

private:
    void release() noexcept;  // frees both blocks
    Block* block_ = nullptr;
};

struct EventFilter {
    TextList addresses;
    TextList topic0_values;
    std::optional<std::uint64_t> from_block;
    std::optional<std::uint64_t> to_block;

    [[nodiscard]] static EventFilter for_address(std::string_view address);

    void add_address(std::string_view address) { addresses.push_back(address); }
    void add_topic0(std::string_view topic0) { topic0_values.push_back(topic0); }
    void set_from_block(std::uint64_t block) noexcept { from_block = block; }

    // An empty list accepts every candidate; otherwise the candidate must
    // equal some entry under ascii_case_insensitive_equal.
    [[nodiscard]] bool matches_address(std::string_view address) const noexcept {
        return addresses.empty() || addresses.contains_ascii_folded(address);
    }
    [[nodiscard]] bool matches_topic0(std::string_view topic0) const noexcept {
        return topic0_values.empty() || topic0_values.contains_ascii_folded(topic0);
    }

    friend bool operator==(const EventFilter&, const EventFilter&) = default;
};

}  // namespace vorlane
