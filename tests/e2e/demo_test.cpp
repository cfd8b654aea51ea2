// The README's demo command, run as written from the top of the source tree: it builds
// what it needs, runs the simulated hub and the concentrator in the dev sandbox, and
// must end well with a result file shown for its vehicle.
#include <gtest/gtest.h>

#include <string>

#include "boxtest.h"

namespace {

TEST(Demo, ReadmeCommandEndsWellWithTheResultFilesOfItsVehicle) {
    // the demo lays out and uses the dev build's sandbox
    if (boxtest::root() != std::string(SOURCE_DIR) + "/build/dev/root")
        GTEST_SKIP() << "the demo runs the dev build; this build's sandbox is " << boxtest::root();
    boxtest::Proc demo = boxtest::spawn(
        "/bin/bash",
        {"-c", "cd '" SOURCE_DIR "' && exec bash scripts/demo.sh --timeout 120 --quiet-link --vehicles 1"},
        std::string(BINARY_DIR) + "/e2e_demo.out");
    int rc = demo.wait_exit(200000);
    std::string out = demo.output();
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(out.find("time is up"), std::string::npos) << out;
    for (const std::string key : {"V0001"}) {
        SCOPED_TRACE(key);
        // shown as it appeared, with its measures, and named in the summary
        size_t shown = out.find(">> result file build/dev/root/mnt/GIEGLAN/RES/" + key + ".G");
        ASSERT_NE(shown, std::string::npos) << out;
        EXPECT_NE(out.find("   | 0501=", shown), std::string::npos) << out;
        size_t summary = out.find("(order " + key + ".txt):");
        ASSERT_NE(summary, std::string::npos) << out;
        EXPECT_NE(out.find("result files for the PC:          " + key + ".G " + key + ".O " + key +
                               ".P",
                           summary),
                  std::string::npos)
            << out;
    }
}

} // namespace
