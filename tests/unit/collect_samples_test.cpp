#include "collectors/collect_samples.h"
#include "collectors/device_stats.h"
#include "collectors/vm_cpu_memory.h"
#include "platform/process_table.h"
#include "platform/run_flag.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace tarn {
namespace {

// The test machine runs no bhyve: the host sample alone, from both threads' empty runs.
TEST(CollectSamplesTest, WithoutVmsOnlyTheHostSampleIsReturned) {
    const auto samples = collect_samples("host", 2000);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].measurement, "host_cpu_limit");
    EXPECT_EQ(samples[0].fields.back().name, "hz");
    EXPECT_EQ(samples[0].fields.back().value, "2000");
}

TEST(CollectSamplesTest, ClearedRunFlagStopsBothCollectorsBeforeTheFirstVm) {
    const VmList vms = {{1, 1}, {2, 2}};
    g_run_flag.store(0);
    const auto cpu = collect_vm_cpu_memory(vms, "host", 1000, 1000);
    const auto devices = collect_device_stats(vms, "host");
    g_run_flag.store(1);
    EXPECT_TRUE(cpu.empty());
    EXPECT_TRUE(devices.empty());
}

TEST(ProcessTableTest, FindsThisProcessByItsCommandNameWithItsArguments) {
    ProcessTable table;
    ASSERT_TRUE(table.is_open()) << table.error();
    bool found_self = false;
    const std::string own_name = ::testing::internal::GetArgvs()[0]
                                     .substr(::testing::internal::GetArgvs()[0].rfind('/') + 1)
                                     .substr(0, 15);
    ASSERT_TRUE(table.for_each_named(own_name, [&](const ProcessInfo& process) {
        EXPECT_EQ(process.command_name, own_name);
        if (process.pid == ::getpid()) {
            found_self = true;
            ASSERT_TRUE(process.arguments);
            EXPECT_EQ(process.arguments->size(), ::testing::internal::GetArgvs().size());
        }
    }));
    EXPECT_TRUE(found_self);
    int others = 0;
    ASSERT_TRUE(table.for_each_named(own_name.substr(0, own_name.size() - 1),
                                     [&](const ProcessInfo& p) { others += p.pid == ::getpid(); }));
    EXPECT_EQ(others, 0); // a prefix of the name is not the name
}

} // namespace
} // namespace tarn
