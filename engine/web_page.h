// The web interface's page, self-contained: no external script, style or font.
#pragma once

#include <string>

namespace engine {

std::string login_disabled_page();
std::string login_page();
std::string config_page();

}  // namespace engine
