// The clients an operator uses: curl against the web front-end, a TCP client on the JSON port
// (json_client.h).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "json_client.h"
#include "temp_dir.h"

struct HttpReply {
  int status = 0;  // 0: no answer at all
  std::string body;
  std::string headers;
  nlohmann::json json() const;  // the body as JSON; null when it is not JSON
};

// curl with its own cookie jar, so a login holds for the following requests.
class Curl {
public:
  // base: "http://127.0.0.1:PORT"; extra: further curl arguments, e.g. --cacert FILE.
  explicit Curl(std::string base, std::vector<std::string> extra = {});
  HttpReply get(const std::string& path);
  HttpReply post(const std::string& path, const std::string& body);
  HttpReply login(const std::string& user, const std::string& secret);

private:
  HttpReply request(std::vector<std::string> args, const std::string& path);
  std::string base_;
  std::vector<std::string> extra_;
  TempDir dir_;
};
