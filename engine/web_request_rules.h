// What a request must show before the web server acts on it.
#pragma once

namespace engine {

// A request that changes state comes from the page itself: its Origin, when sent, is exactly
// the scheme and Host it was sent to, and its Sec-Fetch-Site, when sent, is same-origin or
// none. Clients that send neither (curl, scripts) pass. Null: the header is missing.
bool from_same_origin(const char* origin, const char* fetch_site, const char* host, bool https);

// application/json, with a charset parameter at most.
bool is_json_content_type(const char* content_type);

// No Content-Encoding, or identity: the server unpacks nothing.
bool is_identity_encoding(const char* content_encoding);

}  // namespace engine
