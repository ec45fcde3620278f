// Requests of the control port: {"get":null}, {"change":null} and {"set":{...}}.
#include "protocol.h"

#include "json_syntax.h"

namespace engine {

using nlohmann::json;

json error_reply(const std::string& text) { return json{{"error", text}}; }

json answer_request(ConfigTree& config, const json& request, json& last_seen) {
  if (!request.is_object() || request.size() != 1)
    return error_reply(
        "A request is an object with one of get, change or set, such as {\"get\":null}");
  const std::string verb = request.begin().key();
  const json& argument = request.begin().value();
  if (verb == "get" || verb == "change") {
    if (!argument.is_null())
      return error_reply("\"" + verb + "\" takes null: {\"" + verb + "\":null}");
    json now = config.tree();
    json reply = verb == "get" ? now : diff_trees(last_seen, now);
    last_seen = std::move(now);
    return reply;
  }
  if (verb == "set") {
    std::string error;
    json changed = config.set(argument, &error);
    if (!error.empty()) return error_reply(error);
    return changed;
  }
  return error_reply("Unknown request \"" + verb + "\" (use get, change or set)");
}

// Shows where a bad request went wrong: its text up to the bad byte, the end of it if long.
static std::string quoted_up_to_error(const std::string& text) {
  constexpr size_t kShown = 80;
  if (text.size() <= kShown) return text;
  return "..." + text.substr(text.size() - kShown);
}

json answer_text(ConfigTree& config, const std::string& text, const std::string& syntax_error,
                 json& last_seen) {
  if (!syntax_error.empty())
    return error_reply("Invalid JSON (" + syntax_error + "): " + quoted_up_to_error(text));
  std::string error;
  json request = parse_json(text, &error);
  if (request.is_discarded()) return error_reply(error);
  return answer_request(config, request, last_seen);
}

}  // namespace engine

namespace engine {
std::string to_text(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}
}  // namespace engine
