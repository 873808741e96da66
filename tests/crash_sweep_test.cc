// An edit killed at any moment leaves the table holding either its old or
// its complete new content, never anything in between.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support.h"

namespace {

TEST(CrashSweep, KilledEditLeavesOldOrNewContent)
{
    zt::InstallTree tree;
    const std::string access = zt::InstallTree::mail("access");
    const std::string entry = "Connect:192.0.2.77\tRELAY\n";
    std::string old_content;
    for (unsigned i = 0; old_content.size() < (10u << 20); i++)
        old_content += "From:sender" + std::to_string(i) + "@bulk.example.org\tREJECT\n";
    const auto add = [&] { return zt::spawn(zt::program("permitset"), {"-a", "-h", entry}); };

    zt::write_file(access, old_content);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(zt::wait_exit(add()), 0);
    const auto full = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(zt::read_file(access), old_content + entry);

    const int runs = 60;
    int saw_old = 0;
    for (int i = 0; i < runs; i++) {
        zt::write_file(access, old_content);
        // Spread the kills over the whole run and a little past its end.
        const pid_t pid = add();
        std::this_thread::sleep_for(full * i * 6 / (runs * 5));
        kill(pid, SIGKILL);
        zt::wait_exit(pid);
        const std::string now = zt::read_file(access);
        ASSERT_TRUE(now == old_content || now == old_content + entry)
            << "run " << i << ": file of " << now.size() << " bytes is neither";
        saw_old += now == old_content;
        // A killed transaction leaves its temporary file; it is removed by hand.
        unlink((access + ".tmp").c_str());
    }
    EXPECT_GT(saw_old, 0);
    RecordProperty("old", saw_old);
    RecordProperty("new", runs - saw_old);
}

}  // namespace
