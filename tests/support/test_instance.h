// Engine instances for the unit tests of the process callbacks, made straight on the fake
// engine: no update thread, no web server, the chunk size of our choosing.
#pragma once

#include <memory>

#include "palvex.h"
#include "processing_instance.h"

inline std::shared_ptr<ProcessingInstance> make_test_instance(int frames_per_chunk) {
  auto instance = std::make_shared<ProcessingInstance>();
  instance->process = palvex_InitProcess3("", instance->parameter_set, frames_per_chunk);
  return instance;
}
