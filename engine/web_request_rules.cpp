// The checks of a request's origin and body headers.
#include "web_request_rules.h"

#include <strings.h>

#include <string>

namespace engine {

static std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

static bool same_text(const std::string& text, const char* expected) {
  return strcasecmp(text.c_str(), expected) == 0;
}

bool from_same_origin(const char* origin, const char* fetch_site, const char* host, bool https) {
  if (origin != nullptr &&
      (host == nullptr ||
       std::string(origin) != (https ? "https://" : "http://") + std::string(host)))
    return false;
  if (fetch_site != nullptr) {
    const std::string site = trimmed(fetch_site);
    if (!same_text(site, "same-origin") && !same_text(site, "none")) return false;
  }
  return true;
}

bool is_json_content_type(const char* content_type) {
  if (content_type == nullptr) return false;
  const std::string text = content_type;
  const size_t semicolon = text.find(';');
  if (!same_text(trimmed(text.substr(0, semicolon)), "application/json")) return false;
  if (semicolon == std::string::npos) return true;
  const std::string parameter = trimmed(text.substr(semicolon + 1));
  return strncasecmp(parameter.c_str(), "charset=", 8) == 0 &&
         parameter.find(';') == std::string::npos;
}

bool is_identity_encoding(const char* content_encoding) {
  return content_encoding == nullptr || same_text(trimmed(content_encoding), "identity");
}

}  // namespace engine
