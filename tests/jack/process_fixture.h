// A JACK client of four fake ports and an engine instance, for running on_jack_process by hand.
#pragma once

#include <gtest/gtest.h>

#include "fake_jack.h"
#include "jack_host.h"
#include "test_instance.h"

class ProcessFixture : public ::testing::Test {
protected:
  static constexpr float untouched = 7.0f;  // outputs start with it, so untouched ones show

  void SetUp() override {
    reset_fake_jack();
    jack_status_t status;
    jack_client = jack_client_open("palvex", JackNullOption, &status);
    jack_port_t** ports[] = {&jack_in_ports[0], &jack_in_ports[1], &jack_out_ports[0],
                             &jack_out_ports[1]};
    const char* names[] = {"in_1", "in_2", "out_1", "out_2"};
    for (int i = 0; i < 4; ++i)
      *ports[i] = jack_port_register(jack_client, names[i], JACK_DEFAULT_AUDIO_TYPE,
                                     i < 2 ? JackPortIsInput : JackPortIsOutput, 0);
    // Distinct exact values per channel, so a swap or a shifted chunk shows.
    for (size_t i = 0; i < input(0).size(); ++i) {
      input(0)[i] = static_cast<float>(i + 1);
      input(1)[i] = -0.25f * static_cast<float>(i + 1);
    }
    for (int channel = 0; channel < 2; ++channel)
      std::fill(output(channel).begin(), output(channel).end(), untouched);
  }

  void TearDown() override {
    current_instance.reset();
    jack_client = nullptr;
    for (jack_port_t*& port : jack_in_ports) port = nullptr;
    for (jack_port_t*& port : jack_out_ports) port = nullptr;
  }

  std::vector<float>& input(int channel) { return jack_in_ports[channel]->buffer; }
  std::vector<float>& output(int channel) { return jack_out_ports[channel]->buffer; }
  void clear_fetches() { fake_jack().buffer_fetches.clear(); }
};
