// The neurask-headset program as the demo and a person use it.
#include "ptyclient.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

using namespace simtest;

namespace
{

struct Program {
    pid_t pid = -1;
    int out = -1;

    bool spawn(std::vector<std::string> args)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        args.insert(args.begin(), NEURASK_HEADSET);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int r = posix_spawn(&pid, NEURASK_HEADSET, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out = fds[0];
        return r == 0;
    }

    std::string firstLine(int ms)
    {
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos) {
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0 || ::read(out, &c, 1) != 1)
                break;
            line.push_back(c);
        }
        return line.substr(0, line.find('\n'));
    }

    // The exit status, or -1 if the program did not end within ms.
    int wait(int ms)
    {
        for (int waited = 0; waited <= ms; waited += 10) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }

    ~Program()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            ::close(out);
    }
};

TEST(HeadsetProgram, printsItsPortServesItAndEndsCleanlyOnSigterm)
{
    char tmpl[] = "/tmp/neurask-headset-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string link = dir + "/port", log = dir + "/frames.log";
    Program program;
    ASSERT_TRUE(program.spawn({"--link", link, "--log", log, "--deterministic", "--wireless"}));
    ASSERT_EQ(program.firstLine(5000), link);

    PtyClient client;
    ASSERT_TRUE(client.open(link));
    ASSERT_TRUE(client.send({0x02, 0x3F}));
    std::vector<Frame> seen;
    ASSERT_TRUE(client.waitFrame('?', 1000, &seen));
    ASSERT_TRUE(client.pump(500, 16)); // the relayed headset answer
    client.close();

    kill(program.pid, SIGTERM);
    EXPECT_EQ(program.wait(3000), 0);
    struct stat st {
    };
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed on exit";
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find(" 023F\n"), std::string::npos) << text.str();
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(HeadsetProgram, answersHelpAndRejectsBadOptions)
{
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"--help"}, 0},         {{"--bogus"}, 2},          {{"--adc-fault", "256"}, 2},
        {{"--burst"}, 2},        {{"--noise", "-3"}, 2},    {{"--alpha", "ten"}, 2},
        {{"--mains", "-50"}, 2}, {{"--eyes-cycle", "0"}, 2}};
    for (const Case& c : cases) {
        Program program;
        ASSERT_TRUE(program.spawn(c.args));
        EXPECT_EQ(program.wait(3000), c.status) << c.args[0];
    }
}

} // namespace
