// An edit killed at any moment leaves the table holding either its old or
// its complete new content, never anything in between.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support.h"

namespace {

std::string big_access_table()
{
    std::string s;
    s.reserve(10u << 20);
    for (unsigned i = 0; s.size() < (10u << 20); i++)
        s += "From:sender" + std::to_string(i) + "@bulk.example.org\tREJECT\n";
    return s;
}

pid_t spawn(const std::string &path, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (auto &a : argv)
        cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    char path_env[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path_env, nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execve(cargv[0], cargv.data(), envp);
        _exit(127);
    }
    return pid;
}

int wait_status(pid_t pid)
{
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
    }
    return ws;
}

}  // namespace

class CrashSweep : public zt::TreeTest {
protected:
    const std::string access = zt::InstallTree::mail("access");
    const std::string entry = "Connect:192.0.2.77\tRELAY\n";
    const std::vector<std::string> args{"-a", "-h", entry};
};

TEST_F(CrashSweep, KilledEditLeavesOldOrNewContent)
{
    const std::string old_content = big_access_table();
    const std::string new_content = old_content + entry;

    zt::write_file(access, old_content);
    const auto t0 = std::chrono::steady_clock::now();
    const int ws = wait_status(spawn(zt::program("permitset"), args));
    const auto full = std::chrono::steady_clock::now() - t0;
    ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    ASSERT_EQ(zt::read_file(access), new_content);

    const int runs = 60;
    int saw_old = 0, saw_new = 0;
    for (int i = 0; i < runs; i++) {
        zt::write_file(access, old_content);
        // Spread the kills over the whole run and a little past its end.
        const auto delay = full * i * 6 / (runs * 5);
        const pid_t pid = spawn(zt::program("permitset"), args);
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
        wait_status(pid);

        const std::string now = zt::read_file(access);
        ASSERT_TRUE(now == old_content || now == new_content)
            << "run " << i << ": file of " << now.size() << " bytes is neither";
        (now == old_content ? saw_old : saw_new)++;
        // A killed transaction leaves its temporary file; it is removed by hand.
        unlink((access + ".tmp").c_str());
    }
    EXPECT_GT(saw_old, 0);
    RecordProperty("old", saw_old);
    RecordProperty("new", saw_new);
}
