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
// The answer to one request as the framer cut it: syntax_error is the framer's, empty when the
// text is one whole value.
nlohmann::json answer_text(ConfigTree& config, const std::string& text,
                           const std::string& syntax_error, nlohmann::json& last_seen);

}  // namespace engine

namespace engine {
// One line of JSON; texts that are not valid UTF-8 (metadata is taken as given) are repaired,
// never thrown about.
std::string to_text(const nlohmann::json& value);
}  // namespace engine
