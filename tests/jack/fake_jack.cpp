// The fake JACK calls: C definitions with libjack's own names and signatures.
#include "fake_jack.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t buffer_frames = 8192;
constexpr size_t fetch_capacity = 4096;

FakeJack* current = nullptr;

// jack_get_ports gives a malloc'ed, null-ended array that the caller frees.
const char** port_list(const std::optional<std::vector<std::string>>& names) {
  if (!names) return nullptr;
  auto** list = static_cast<const char**>(std::calloc(names->size() + 1, sizeof(char*)));
  for (size_t i = 0; i < names->size(); ++i) list[i] = (*names)[i].c_str();
  return list;
}

}  // namespace

FakeJack& fake_jack() {
  if (current == nullptr) reset_fake_jack();
  return *current;
}

void reset_fake_jack() {
  delete current;
  current = new FakeJack;
  current->buffer_fetches.reserve(fetch_capacity);
}

extern "C" {

jack_client_t* jack_client_open(const char* client_name, jack_options_t options,
                                jack_status_t* status, ...) {
  FakeJack& fake = fake_jack();
  std::string line = std::string("jack_client_open ") + client_name;
  if (options & JackSessionID) {
    va_list args;
    va_start(args, status);
    line += std::string(" JackSessionID ") + va_arg(args, const char*);
    va_end(args);
  } else {
    line += options == JackNullOption ? " JackNullOption" : " options=" + std::to_string(options);
  }
  fake.calls.push_back(line);
  if (status != nullptr) *status = static_cast<jack_status_t>(fake.open_status);
  if (fake.open_fails) return nullptr;
  fake.client = std::make_unique<_jack_client>();
  fake.client->name = fake.renamed_to.value_or(client_name);
  return fake.client.get();
}

int jack_client_close(jack_client_t* client) {
  fake_jack().calls.push_back("jack_client_close " + client->name);
  fake_jack().client_closed = true;
  return 0;
}

char* jack_get_client_name(jack_client_t* client) {
  fake_jack().calls.push_back("jack_get_client_name");
  return fake_jack().null_client_name ? nullptr : const_cast<char*>(client->name.c_str());
}

int jack_set_process_callback(jack_client_t*, JackProcessCallback callback, void* arg) {
  fake_jack().calls.push_back(std::string("jack_set_process_callback") + (arg ? " arg" : " null"));
  fake_jack().process = callback;
  return 0;
}

void jack_on_shutdown(jack_client_t*, JackShutdownCallback callback, void* arg) {
  fake_jack().calls.push_back(std::string("jack_on_shutdown") + (arg ? " arg" : " null"));
  fake_jack().shutdown = callback;
}

jack_nframes_t jack_get_sample_rate(jack_client_t*) {
  fake_jack().calls.push_back("jack_get_sample_rate");
  return fake_jack().sample_rate;
}

jack_nframes_t jack_get_buffer_size(jack_client_t*) {
  fake_jack().calls.push_back("jack_get_buffer_size");
  return fake_jack().buffer_size;
}

jack_port_t* jack_port_register(jack_client_t* client, const char* port_name, const char* port_type,
                                unsigned long flags, unsigned long buffer_size) {
  FakeJack& fake = fake_jack();
  const char* direction = flags == JackPortIsInput    ? "JackPortIsInput"
                          : flags == JackPortIsOutput ? "JackPortIsOutput"
                                                      : "other";
  fake.calls.push_back(std::string("jack_port_register ") + port_name + " \"" + port_type + "\" " +
                       direction + " " + std::to_string(buffer_size));
  if (fake.registrations++ == fake.failing_registration) return nullptr;
  fake.ports.push_back(std::make_unique<_jack_port>());
  fake.ports.back()->name = client->name + ":" + port_name;
  fake.ports.back()->buffer.assign(buffer_frames, 0.0f);
  return fake.ports.back().get();
}

int jack_activate(jack_client_t*) {
  fake_jack().calls.push_back("jack_activate");
  return fake_jack().activate_result;
}

const char** jack_get_ports(jack_client_t*, const char* name_pattern, const char* type_pattern,
                            unsigned long flags) {
  FakeJack& fake = fake_jack();
  std::string line = "jack_get_ports";
  line += name_pattern ? std::string(" ") + name_pattern : " null";
  line += type_pattern ? std::string(" ") + type_pattern : " null";
  if (flags == (JackPortIsPhysical | JackPortIsOutput)) {
    fake.calls.push_back(line + " physical-output");
    return port_list(fake.capture);
  }
  if (flags == (JackPortIsPhysical | JackPortIsInput)) {
    fake.calls.push_back(line + " physical-input");
    return port_list(fake.playback);
  }
  fake.calls.push_back(line + " flags=" + std::to_string(flags));
  return nullptr;
}

const char* jack_port_name(const jack_port_t* port) {
  fake_jack().calls.push_back("jack_port_name " + port->name);
  return port->name.c_str();
}

int jack_connect(jack_client_t*, const char* source, const char* destination) {
  FakeJack& fake = fake_jack();
  const std::string connection = std::string(source) + ">" + destination;
  fake.calls.push_back("jack_connect " + connection);
  if (fake.failing_connections.count(connection) != 0) return 1;
  fake.connections.push_back(connection);
  return 0;
}

// Called every period: records into reserved space only, so it allocates nothing itself.
void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t) {
  FakeJack& fake = fake_jack();
  if (fake.buffer_fetches.size() < fake.buffer_fetches.capacity())
    fake.buffer_fetches.push_back(port);
  if (fake.allocate_in_get_buffer) {
    int* volatile block = new int(1);  // volatile: the pair must not be optimised away
    delete block;
  }
  return port->buffer.data();
}

}  // extern "C"
