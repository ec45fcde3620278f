// The test ports behind the link-time stand-in for pw_filter_get_dsp_buffer.
#pragma once

#include <cstdint>
#include <vector>

// A port handle in these tests is the address of a TestPort.
struct TestPort {
  std::vector<float> samples;  // sized by the test before a cycle; never resized by the seam
  bool null_buffer = false;    // the seam returns null for this port
  uint32_t requests = 0;       // calls of pw_filter_get_dsp_buffer for this port
  uint32_t last_frames = 0;    // n of the last call
  bool allocate = false;       // the seam allocates: shows that the real-time checks look
};

// Calls made with a null handle: the callback must never make one.
extern int null_handle_requests;
