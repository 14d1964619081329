// Python class EventFilter: which contract addresses and topic0 values an
// indexer wants.  The three mutating methods take the exclusive borrow.
#include "classes.hpp"
#include "repr.hpp"
#include "vorlane/event_filter.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = make_signature("EventFilter", "__new__");
constinit Signature kForAddress = make_signature("EventFilter", "for_address", {"address"}, 1);
constinit Signature kAddTopic0 = make_signature("EventFilter", "add_topic0", {"topic"}, 1);
constinit Signature kAddAddress = make_signature("EventFilter", "add_address", {"address"}, 1);
constinit Signature kSetFromBlock = make_signature("EventFilter", "set_from_block", {"block"}, 1);
constinit Signature kMatchesAddress =
    make_signature("EventFilter", "matches_address", {"address"}, 1);
constinit Signature kMatchesTopic0 = make_signature("EventFilter", "matches_topic0", {"topic0"}, 1);

EventFilter construct() { return {}; }
EventFilter for_address(std::string address) { return EventFilter::for_address(std::move(address)); }
void add_topic0(EventFilter& f, std::string topic) { f.add_topic0(std::move(topic)); }
void add_address(EventFilter& f, std::string address) { f.add_address(std::move(address)); }
void set_from_block(EventFilter& f, std::uint64_t block) { f.set_from_block(block); }
bool matches_address(const EventFilter& f, std::string_view address) {
    return f.matches_address(address);
}
bool matches_topic0(const EventFilter& f, std::string_view topic0) {
    return f.matches_topic0(topic0);
}

void represent(const EventFilter& f, std::string& out) {
    repr::Fields(out, "EventFilter")
        .list("addresses", f.addresses)
        .list("topic0_values", f.topic0_values)
        .end();
}

PyMethodDef kMethods[] = {
    static_method_def<&for_address, kForAddress>(
        "for_address",
        "for_address(address)\n--\n\nCreate a filter for a single contract address."),
    method_def<&add_topic0, kAddTopic0>(
        "add_topic0",
        "add_topic0($self, topic)\n--\n\nAdd a topic0 value (keccak256 of the event signature)."),
    method_def<&add_address, kAddAddress>(
        "add_address", "add_address($self, address)\n--\n\nAdd a contract address to the filter."),
    method_def<&set_from_block, kSetFromBlock>(
        "set_from_block", "set_from_block($self, block)\n--\n\nSet the start block."),
    method_def<&matches_address, kMatchesAddress>(
        "matches_address", "matches_address($self, address)\n--\n\nCheck if an address matches."),
    method_def<&matches_topic0, kMatchesTopic0>(
        "matches_topic0", "matches_topic0($self, topic0)\n--\n\nCheck if a topic0 matches."),
    {},
};

const ClassDef kClass = define_class<EventFilter, &construct, kNew, &represent>(
    "EventFilter", "builtins.EventFilter",
    "()",
    "Filter for which on-chain events to index.", nullptr, kMethods);

}  // namespace

template <> const ClassDef& class_def<EventFilter>() { return kClass; }

}  // namespace vorlane::py
