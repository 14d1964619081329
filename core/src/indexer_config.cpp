#include "vorlane/indexer_config.hpp"

#include <nlohmann/json.hpp>

namespace vorlane {

namespace {

using Json = nlohmann::ordered_json;

Json optional_number(const std::optional<std::uint64_t>& n) {
    return n ? Json(*n) : Json(nullptr);
}

}  // namespace

Result<std::string, std::string> IndexerConfig::to_json() const {
    // ordered_json keeps insertion order, which is the documented member
    // order; dump() without indent is compact and never ASCII-escapes.
    Json filter_json = Json::object();
    filter_json["addresses"] = filter.addresses;
    filter_json["topic0_values"] = filter.topic0_values;
    filter_json["from_block"] = optional_number(filter.from_block);
    filter_json["to_block"] = optional_number(filter.to_block);

    Json j = Json::object();
    j["id"] = id;
    j["chain"] = chain;
    j["from_block"] = from_block;
    j["to_block"] = optional_number(to_block);
    j["confirmation_depth"] = confirmation_depth;
    j["batch_size"] = batch_size;
    j["checkpoint_interval"] = checkpoint_interval;
    j["poll_interval_ms"] = poll_interval_ms;
    j["filter"] = std::move(filter_json);

    try {
        return Result<std::string, std::string>::success(j.dump());
    } catch (const Json::exception& e) {
        // Raised for text that is not valid UTF-8.
        return Result<std::string, std::string>::failure(e.what());
    }
}

}  // namespace vorlane
