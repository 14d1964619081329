// Python class EventFilter: which contract addresses and topic0 values an
// indexer wants.  The three mutating methods take the exclusive borrow.
#include "classes.hpp"
#include "repr.hpp"
#include "vorlane/event_filter.hpp"

namespace vorlane::py {
namespace {

constinit Signature kNew = signature("__new__");
constinit Signature kForAddress = signature("for_address", {"address"});
constinit Signature kAddTopic0 = signature("add_topic0", {"topic"});
constinit Signature kAddAddress = signature("add_address", {"address"});
constinit Signature kSetFromBlock = signature("set_from_block", {"block"});
constinit Signature kMatchesAddress = signature("matches_address", {"address"});
constinit Signature kMatchesTopic0 = signature("matches_topic0", {"topic0"});

EventFilter construct() { return {}; }
EventFilter for_address(std::string_view address) { return EventFilter::for_address(address); }
void add_topic0(EventFilter& f, std::string_view topic) { f.add_topic0(topic); }
void add_address(EventFilter& f, std::string_view address) { f.add_address(address); }
void set_from_block(EventFilter& f, std::uint64_t block) { f.set_from_block(block); }
bool matches_address(const EventFilter& f, std::string_view address) {
    return f.matches_address(address);
}
bool matches_topic0(const EventFilter& f, std::string_view topic0) {
    return f.matches_topic0(topic0);
}

void represent(const EventFilter& f, std::string& out) {
    repr::write<"EventFilter">(out, repr::List<"addresses">{f.addresses},
                               repr::List<"topic0_values">{f.topic0_values});
}

const Method kMethods[] = {
    static_method_def<&for_address, kForAddress>("Create a filter for a single contract address."),
    method_def<&add_topic0, kAddTopic0>("Add a topic0 value (keccak256 of the event signature)."),
    method_def<&add_address, kAddAddress>("Add a contract address to the filter."),
    method_def<&set_from_block, kSetFromBlock>("Set the start block."),
    method_def<&matches_address, kMatchesAddress>("Check if an address matches."),
    method_def<&matches_topic0, kMatchesTopic0>("Check if a topic0 matches."),
};

const ClassDef kClass = define_class<EventFilter, &construct, kNew, &represent>(
    kModule, "EventFilter", "Filter for which on-chain events to index.", nullptr, kMethods);

}  // namespace

template <> const ClassDef& class_def<EventFilter>() { return kClass; }

}  // namespace vorlane::py
