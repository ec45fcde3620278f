// The control protocol: one JSON request in, one JSON object out.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "config_tree.h"

namespace engine {

nlohmann::json error_reply(const std::string& text);

// last_seen is the tree this client saw at its previous get or change ({"change":null} answers
// the difference from it).
nlohmann::json answer_request(ConfigTree& config, const nlohmann::json& request,
                              nlohmann::json& last_seen);

}  // namespace engine
