// Drives the fake engine in a process of its own (it reads its environment once) and prints what it
// returned.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "palvex.h"

namespace {

const char* name_of(const void* handle) { return handle == nullptr ? "null" : "ok"; }

// Every result the environment can change, one "name=value" line each.
int print_results() {
  const char* version = palvex_GetVersion();
  std::printf("version=%s\n", version != nullptr ? version : "(null pointer)");
  std::printf("format=%d %d %d %d %d\n", palvex_GetSampleRate(), palvex_GetChunkSizeInFrames(),
              palvex_GetChannelCount(), palvex_GetAudioInputCount(), palvex_GetAudioOutputCount());
  std::string chunks;
  const int* entry = palvex_GetPossibleChunkSizeInFrames();
  if (entry == nullptr) chunks = "(null pointer)";
  for (; entry != nullptr; ++entry) {
    chunks += (chunks.empty() ? "" : ",") + std::to_string(*entry);
    if (*entry == 0) break;
  }
  std::printf("chunks=%s\n", chunks.c_str());

  palvex_Parameters set = palvex_NewParameters();
  std::printf("set=%s\n", name_of(set));
  palvex_Process process = palvex_InitProcess3("/s", set, 128);
  std::printf("process=%s\n", name_of(process));
  if (process != nullptr) {
    // The chunk as the first three queries give it; the audio call goes by the last.
    int frames = 0;
    std::string reads;
    for (int i = 0; i < 3; ++i) {
      frames = palvex_GetProcessChunkFrames(process);
      reads += (reads.empty() ? "" : ",") + std::to_string(frames);
    }
    std::printf("chunk_reads=%s\n", reads.c_str());
    // One frame more than asked for: it must be left alone.
    std::vector<float> left(frames + 1, 1.0f), right(frames + 1, -2.0f);
    std::vector<float> out_left(frames + 1, 9.0f), out_right(frames + 1, 9.0f);
    float* in[2] = {left.data(), right.data()};
    float* out[2] = {out_left.data(), out_right.data()};
    int rc = palvex_ProcessAudio_Planar(process, in, out);
    std::printf("audio=%d frames=%d first=%g last=%g after=%g\n", rc, frames, out_left[0],
                frames > 0 ? out_right[frames - 1] : 0.0f, out_left[frames]);

    std::thread update([process] { palvex_StartUpdateThread(process, 5010); });
    std::printf("ready=%d\n", palvex_WaitUpdateThreadReady(process, 5000));
    palvex_StopUpdateThread(process);
    update.join();
  }
  palvex_Process idle = palvex_InitProcess3("/s", set, 64);
  if (idle != nullptr) std::printf("never_entered=%d\n", palvex_WaitUpdateThreadReady(idle, 20));

  palvex_WebserverHandle web = palvex_Webserver(8080, 0, process);
  palvex_WebserverHandle tcp = palvex_Webserver_tcp2(0, 8443, "palvex-host", 5010, set);
  palvex_WebserverHandle both = palvex_Webserver_tcp2(80, 443, "palvex-host", 5010, set);
  for (auto [label, handle] : {std::pair{"web", web}, {"tcp2", tcp}, {"both", both}}) {
    if (handle == PALVEX_NO_WEBSERVER)
      std::printf("%s=none", label);
    else
      std::printf("%s=status %d", label, palvex_Webserver_Status(handle));
    std::printf(" stop %d\n", palvex_Webserver_Stop(handle, 1000));
  }
  std::printf("distinct=%d\n", web != tcp && tcp != both && web != both ? 1 : 0);
  return 0;
}

// Calls every traced function once or more, with texts, nulls and the none handle.
void dummy_logger(int, const char*) {}

int make_calls() {
  palvex_GetVersion();
  palvex_SetLogSeverity(5);
  palvex_SetLoggerCallback(dummy_logger);
  palvex_SetLoggerCallback(nullptr);
  palvex_GetSampleRate();
  palvex_GetChunkSizeInFrames();
  palvex_GetChannelCount();
  palvex_GetAudioInputCount();
  palvex_GetAudioOutputCount();
  palvex_GetPossibleChunkSizeInFrames();
  palvex_Parameters set1 = palvex_NewParameters();
  palvex_Parameters set2 = palvex_NewParameters();
  palvex_SetParameter(set1, "STATE_FILENAME", "a.st");
  palvex_SetParameter(set2, "k", nullptr);
  palvex_SetParameter(nullptr, "k", "");
  palvex_Process proc1 = palvex_InitProcess3("/usr/share/velmorproc", set1, 64);
  palvex_Process proc2 = palvex_InitProcess3(nullptr, nullptr, -1);
  palvex_SetMetadata(proc1, "name", "a b");
  // Stop before start: the start must not wait.
  palvex_StopUpdateThread(proc2);
  palvex_StartUpdateThread(proc2, 0);
  palvex_WaitUpdateThreadReady(proc2, 5000);
  float samples[64] = {};
  float* planes[2] = {samples, samples};
  palvex_GetProcessChunkFrames(proc1);
  palvex_ProcessAudio_Planar(proc1, planes, planes);
  palvex_WebserverHandle web1 = palvex_Webserver(8080, 8443, proc1);
  palvex_WebserverHandle web2 = palvex_Webserver_tcp2(8080, 8443, "palvex-host", 5010, set1);
  palvex_Webserver_Status(web1);
  palvex_Webserver_Stop(web1, 1000);
  palvex_Webserver_Stop(web2, 5000);
  palvex_Webserver_Status(PALVEX_NO_WEBSERVER);
  palvex_Webserver_Stop(PALVEX_NO_WEBSERVER, 1000);
  palvex_Webserver(0, 0, nullptr);
  palvex_ExitProcess(proc2);
  palvex_ExitProcess(nullptr);
  palvex_FreeParameters(set2);
  palvex_FreeParameters(nullptr);
  return 0;
}

// Records each line with the thread that sent it; prints each thread's lines in order.
std::mutex received_mutex;
std::vector<std::string> received;  // one entry per sending thread
int received_count = 0;
bool main_received = false;
std::thread::id main_thread;

void record_line(int severity, const char* text) {
  // A thread id may be reused once a thread ends; a thread-local index may not.
  thread_local int index = -1;
  std::lock_guard<std::mutex> lock(received_mutex);
  if (std::this_thread::get_id() == main_thread) main_received = true;
  if (index < 0) {
    index = static_cast<int>(received.size());
    received.emplace_back();
  }
  std::string& lines = received[index];
  lines += (lines.empty() ? "" : "|") + std::to_string(severity) + ":" +
           (text == nullptr ? "(null)" : text);
  ++received_count;
}

int receive_log(int expected) {
  main_thread = std::this_thread::get_id();
  palvex_SetLoggerCallback(record_line);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(received_mutex);
      if (received_count >= expected) break;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // A short grace period shows lines beyond the expected count.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard<std::mutex> lock(received_mutex);
  std::printf("count=%d%s\n", received_count, main_received ? " (some on the main thread)" : "");
  for (const std::string& lines : received) std::printf("%s\n", lines.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "results") return print_results();
  if (scenario == "calls") return make_calls();
  if (scenario == "log" && argc > 2) return receive_log(std::atoi(argv[2]));
  std::fprintf(stderr, "usage: fake_engine_driver results | calls | log COUNT\n");
  return 2;
}
