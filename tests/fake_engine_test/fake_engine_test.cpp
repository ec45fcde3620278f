// The fake engine as the host tests rely on it: trace lines, scripted results, log threads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace {

ProcessResult drive(const std::vector<std::string>& args, const EnvChanges& changes) {
  EnvChanges env = clean_palvex_env();
  env["PALVEX_FAKE_LOG_THREADS"] = std::nullopt;
  env["PALVEX_FAKE_LOG_REPEAT"] = std::nullopt;
  for (const auto& [name, value] : changes) env[name] = value;
  std::vector<std::string> argv{FAKE_ENGINE_DRIVER};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, env, std::chrono::seconds(20));
}

TEST(FakeEngineTrace, every_call_is_one_line_with_its_arguments_in_order) {
  TempDir dir;
  std::string trace = dir.file("trace");
  write_file(trace, "earlier line\n");  // appended to, not replaced
  ProcessResult result = drive({"calls"}, {{"PALVEX_FAKE_TRACE", trace}});
  ASSERT_TRUE(result.exited) << result.err;
  ASSERT_EQ(result.status, 0) << result.err;
  const std::vector<std::string> expected{
      "earlier line",
      "palvex_GetVersion",
      "palvex_SetLogSeverity 5",
      "palvex_SetLoggerCallback cb",
      "palvex_SetLoggerCallback null",
      "palvex_GetSampleRate",
      "palvex_GetChunkSizeInFrames",
      "palvex_GetChannelCount",
      "palvex_GetAudioInputCount",
      "palvex_GetAudioOutputCount",
      "palvex_GetPossibleChunkSizeInFrames",
      "palvex_NewParameters",
      "palvex_NewParameters",
      "palvex_SetParameter set1 \"STATE_FILENAME\" \"a.st\"",
      "palvex_SetParameter set2 \"k\" null",
      "palvex_SetParameter null \"k\" \"\"",
      "palvex_InitProcess3 \"/usr/share/velmorproc\" set1 64",
      "palvex_InitProcess3 null null -1",
      "palvex_SetMetadata proc1 \"name\" \"a b\"",
      "palvex_StopUpdateThread proc2",
      "palvex_StartUpdateThread proc2 0",
      "palvex_WaitUpdateThreadReady proc2 5000",
      "palvex_Webserver 8080 8443 proc1",
      "palvex_Webserver_tcp2 8080 8443 \"palvex-host\" 5010 set1",
      "palvex_Webserver_Status web1",
      "palvex_Webserver_Stop web1 1000",
      "palvex_Webserver_Stop web2 5000",
      "palvex_Webserver_Status none",
      "palvex_Webserver_Stop none 1000",
      "palvex_Webserver 0 0 null",
      "palvex_ExitProcess proc2",
      "palvex_ExitProcess null",
      "palvex_FreeParameters set2",
      "palvex_FreeParameters null",
  };
  EXPECT_EQ(split_lines(read_file(trace)), expected);
}

struct ResultsCase {
  const char* name;
  EnvChanges env;
  std::vector<std::string> expected;
};

TEST(FakeEngineResults, environment_sets_each_result) {
  const std::vector<ResultsCase> cases{
      {"defaults",
       {},
       {"version=0.0-fake", "format=48000 64 2 1 1", "chunks=32,64,128,256,512,1024,0", "set=ok",
        "process=ok", "chunk_reads=128,128,128", "audio=0 frames=128 first=0.5 last=-1 after=9",
        "ready=0", "never_entered=-1", "web=status 1 stop 0", "tcp2=status 2 stop 0",
        "both=status 3 stop 0", "distinct=1"}},
      {"every value set",
       {{"PALVEX_FAKE_VERSION", "9.9 beta"},
        {"PALVEX_FAKE_SAMPLE_RATE", "44100"},
        {"PALVEX_FAKE_CHUNK", "32"},
        {"PALVEX_FAKE_CHANNELS", "1"},
        {"PALVEX_FAKE_INPUTS", "0"},
        {"PALVEX_FAKE_OUTPUTS", "3"},
        {"PALVEX_FAKE_CHUNK_LIST", "128,64"},
        {"PALVEX_FAKE_PROCESS_CHUNK", "16"},
        {"PALVEX_FAKE_READY", "-7"},
        {"PALVEX_FAKE_WEB_STATUS", "0"},
        {"PALVEX_FAKE_STOP_RESULT", "300"},
        {"PALVEX_FAKE_GAIN", "2"},
        {"PALVEX_FAKE_BIAS", "0x1p-2"}},
       {"version=9.9 beta", "format=44100 32 1 0 3", "chunks=128,64,0", "set=ok", "process=ok",
        "chunk_reads=16,16,16", "audio=0 frames=16 first=2.25 last=-3.75 after=9", "ready=-7",
        "never_entered=-1", "web=status 0 stop 300", "tcp2=status 0 stop 300",
        "both=status 0 stop 300", "distinct=1"}},
      {"empty chunk list",
       {{"PALVEX_FAKE_CHUNK_LIST", ""}},
       {"version=0.0-fake", "format=48000 64 2 1 1", "chunks=0", "set=ok", "process=ok",
        "chunk_reads=128,128,128", "audio=0 frames=128 first=0.5 last=-1 after=9", "ready=0",
        "never_entered=-1", "web=status 1 stop 0", "tcp2=status 2 stop 0", "both=status 3 stop 0",
        "distinct=1"}},
      {"null texts and a chunk size known only from the third query on",
       {{"PALVEX_FAKE_VERSION", "NULL"},
        {"PALVEX_FAKE_CHUNK_LIST", "NULL"},
        {"PALVEX_FAKE_ZERO_CHUNK_READS", "2"}},
       {"version=(null pointer)", "format=48000 64 2 1 1", "chunks=(null pointer)", "set=ok",
        "process=ok", "chunk_reads=0,0,128", "audio=0 frames=128 first=0.5 last=-1 after=9",
        "ready=0", "never_entered=-1", "web=status 1 stop 0", "tcp2=status 2 stop 0",
        "both=status 3 stop 0", "distinct=1"}},
      {"everything fails",
       {{"PALVEX_FAKE_FAIL", "NewParameters,InitProcess3,Webserver,Webserver_tcp2"},
        {"PALVEX_FAKE_STOP_RESULT", "4"}},
       {"version=0.0-fake", "format=48000 64 2 1 1", "chunks=32,64,128,256,512,1024,0", "set=null",
        "process=null", "web=none stop 4", "tcp2=none stop 4", "both=none stop 4", "distinct=0"}},
      {"only the remote web server fails",
       {{"PALVEX_FAKE_FAIL", "Webserver_tcp2"}},
       {"version=0.0-fake", "format=48000 64 2 1 1", "chunks=32,64,128,256,512,1024,0", "set=ok",
        "process=ok", "chunk_reads=128,128,128", "audio=0 frames=128 first=0.5 last=-1 after=9",
        "ready=0", "never_entered=-1", "web=status 1 stop 0", "tcp2=none stop 0",
        "both=none stop 0", "distinct=0"}},
  };
  for (const ResultsCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult result = drive({"results"}, c.env);
    ASSERT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(split_lines(result.out), c.expected);
  }
}

struct LogCase {
  const char* name;
  EnvChanges env;
  std::string expected_count;
  std::vector<std::string> expected_threads;  // each sending thread's lines, in order
};

TEST(FakeEngineLog, lines_go_through_the_callback_from_the_fakes_own_threads) {
  const std::vector<LogCase> cases{
      {"one thread",
       {{"PALVEX_FAKE_LOG", "3:hello world|5:NULL|7:a:b|2:"}},
       "4",
       {"3:hello world|5:(null)|7:a:b|2:"}},
      {"threads and repeats",
       {{"PALVEX_FAKE_LOG", "1:x|2:y"},
        {"PALVEX_FAKE_LOG_THREADS", "3"},
        {"PALVEX_FAKE_LOG_REPEAT", "2"}},
       "12",
       {"1:x|2:y|1:x|2:y", "1:x|2:y|1:x|2:y", "1:x|2:y|1:x|2:y"}},
      {"no lines", {}, "0", {}},
  };
  for (const LogCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessResult result = drive({"log", c.expected_count}, c.env);
    ASSERT_TRUE(result.exited) << result.err;
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> lines = split_lines(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "count=" + c.expected_count);  // none on the registering thread
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), c.expected_threads);
  }
}

}  // namespace
