// Teardown of a processing instance: stop in its fixed order, then only the parameter set.
#include <string>
#include <vector>

#include "instance_fixture.h"

namespace {

using InstanceTeardown = InstanceTest;

using Lines = std::vector<std::string>;

HostConfig serving_config() {
  HostConfig config;
  config.http_port = 8080;
  config.json_port = 5010;
  return config;
}

TEST_F(InstanceTeardown, stop_ends_web_server_then_update_thread_then_process_and_only_once) {
  if (!rerun_in_child({})) return;
  auto instance = create_processing_instance(serving_config(), 64);
  ASSERT_NE(instance, nullptr);
  engine_trace.mark();

  instance->stop();
  EXPECT_EQ(engine_trace.take(),
            (Lines{"palvex_Webserver_Stop web1 1000", "palvex_StopUpdateThread proc1",
                   "palvex_ExitProcess proc1"}));
  EXPECT_FALSE(instance->update_thread.joinable());  // joined before the process went
  EXPECT_EQ(instance->process, nullptr);
  EXPECT_EQ(instance->webserver, PALVEX_NO_WEBSERVER);

  instance->stop();
  EXPECT_TRUE(engine_trace.take().empty());

  instance.reset();
  EXPECT_EQ(engine_trace.take(), (Lines{"palvex_FreeParameters set1"}));
}

TEST_F(InstanceTeardown, releasing_the_last_pointer_tears_down_everything_in_order) {
  if (!rerun_in_child({})) return;
  auto instance = create_processing_instance(serving_config(), 64);
  ASSERT_NE(instance, nullptr);
  std::shared_ptr<ProcessingInstance> second_owner = instance;
  engine_trace.mark();

  instance.reset();
  EXPECT_TRUE(engine_trace.take().empty());  // another owner keeps it alive
  second_owner.reset();
  EXPECT_EQ(engine_trace.take(),
            (Lines{"palvex_Webserver_Stop web1 1000", "palvex_StopUpdateThread proc1",
                   "palvex_ExitProcess proc1", "palvex_FreeParameters set1"}));
  EXPECT_TRUE(lines_at(1).empty());
}

TEST_F(InstanceTeardown, an_instance_without_web_server_stops_no_web_server) {
  if (!rerun_in_child({})) return;
  auto instance = create_processing_instance(HostConfig{}, 64);
  ASSERT_NE(instance, nullptr);
  engine_trace.mark();
  instance.reset();
  EXPECT_EQ(engine_trace.take(), (Lines{"palvex_StopUpdateThread proc1", "palvex_ExitProcess proc1",
                                        "palvex_FreeParameters set1"}));
}

TEST_F(InstanceTeardown, instances_created_one_after_another_are_torn_down_on_their_own) {
  if (!rerun_in_child({})) return;
  // A host that replaces its instance: the old one goes while the new one serves.
  auto first = create_processing_instance(serving_config(), 64);
  auto second = create_processing_instance(HostConfig{}, 128);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  engine_trace.mark();
  first.reset();
  EXPECT_EQ(engine_trace.take(),
            (Lines{"palvex_Webserver_Stop web1 1000", "palvex_StopUpdateThread proc1",
                   "palvex_ExitProcess proc1", "palvex_FreeParameters set1"}));
  EXPECT_NE(second->process, nullptr);
  EXPECT_TRUE(second->update_thread.joinable());
}

}  // namespace
