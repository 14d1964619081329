#include "vorlane/event_filter.hpp"

#include <utility>

namespace vorlane {

namespace {

constexpr unsigned char fold(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool any_matches(const std::vector<std::string>& entries, std::string_view candidate) noexcept {
    if (entries.empty()) return true;
    for (const auto& entry : entries) {
        if (ascii_case_insensitive_equal(entry, candidate)) return true;
    }
    return false;
}

}  // namespace

bool ascii_case_insensitive_equal(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

EventFilter EventFilter::for_address(std::string address) {
    EventFilter filter;
    filter.addresses.push_back(std::move(address));
    return filter;
}

void EventFilter::add_address(std::string address) { addresses.push_back(std::move(address)); }

void EventFilter::add_topic0(std::string topic0) { topic0_values.push_back(std::move(topic0)); }

void EventFilter::set_from_block(std::uint64_t block) noexcept { from_block = block; }

bool EventFilter::matches_address(std::string_view address) const noexcept {
    return any_matches(addresses, address);
}

bool EventFilter::matches_topic0(std::string_view topic0) const noexcept {
    return any_matches(topic0_values, topic0);
}

}  // namespace vorlane
