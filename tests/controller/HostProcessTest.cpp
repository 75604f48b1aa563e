#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>

#include "controller/HostProcess.h"

using namespace marlin::controller;

namespace {

HostProcess::Options Shell(const std::string& script, std::vector<std::string> extra = {})
{
    HostProcess::Options o;
    o.program = "/bin/sh";
    o.args = {"-c", script, "sh"};
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    return o;
}

}  // namespace

TEST(HostProcess, CapturesStderrInItsDirectoryWithTheBaseNameLast)
{
    auto options = Shell("pwd >&2; for a; do last=$a; done; echo \"base=$last\" >&2; exit 3",
                         {"-x", "/tmp/marlin-base"});
    options.workingDirectory = "/";
    std::string error;
    auto process = HostProcess::Spawn(options, &error);
    ASSERT_TRUE(process) << error;
    auto status = process->WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 3);
    EXPECT_FALSE(status->Success());
    std::string text = process->Stderr();
    EXPECT_EQ(text.rfind("/\n", 0), 0u) << text;
    EXPECT_NE(text.find("base=/tmp/marlin-base"), std::string::npos) << text;
    // The same status again once ended.
    EXPECT_EQ(process->WaitExit(0)->code, 3);
    EXPECT_FALSE(process->Signal(SIGTERM));
}

TEST(HostProcess, StderrGoesToAGivenFileAndEnvironmentIsAdded)
{
    char path[] = "/tmp/marlin-stderr-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    auto options = Shell("echo \"value=$MARLIN_TEST_VALUE\" >&2");
    options.stderrPath = path;
    options.extraEnvironment = {"MARLIN_TEST_VALUE=seven"};
    {
        auto process = HostProcess::Spawn(options);
        ASSERT_TRUE(process);
        ASSERT_TRUE(process->WaitExit(5000));
        EXPECT_EQ(process->Stderr(), "value=seven\n");
    }
    std::ifstream in(path);  // kept: the caller named it
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "value=seven");
    unlink(path);
}

TEST(HostProcess, WaitGivesUpAtItsLimitAndSignalsEndTheProcess)
{
    // The parent ignoring SIGTERM must not carry over to the child.
    struct sigaction ignore{}, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &old);
    auto process = HostProcess::Spawn(Shell("exec sleep 30"));
    sigaction(SIGTERM, &old, nullptr);
    ASSERT_TRUE(process);
    EXPECT_FALSE(process->WaitExit(50));
    EXPECT_TRUE(process->IsRunning());
    ASSERT_TRUE(process->Signal(SIGTERM));
    auto status = process->WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->exited);
    EXPECT_EQ(status->signal, SIGTERM);
}

TEST(HostProcess, KillEndsAProcessThatIgnoresSignals)
{
    auto process = HostProcess::Spawn(Shell("trap '' TERM INT; echo ready >&2; while :; do sleep 1; done"));
    ASSERT_TRUE(process);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (process->Stderr().find("ready") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_NE(process->Stderr().find("ready"), std::string::npos);
    ASSERT_TRUE(process->Signal(SIGTERM));
    EXPECT_FALSE(process->WaitExit(100));
    ExitStatus status = process->Kill();
    EXPECT_EQ(status.signal, SIGKILL);
    EXPECT_FALSE(process->IsRunning());
}

TEST(HostProcess, MissingProgramFailsWithAReason)
{
    HostProcess::Options options;
    options.program = "/nonexistent/marlin-host";
    std::string error;
    EXPECT_FALSE(HostProcess::Spawn(options, &error));
    EXPECT_NE(error.find("/nonexistent/marlin-host"), std::string::npos);

    auto bad = Shell("exit 0");
    bad.workingDirectory = "/nonexistent-directory";
    auto process = HostProcess::Spawn(bad, &error);
    // posix_spawn reports a failed chdir either at once or as exit 127.
    if (process) {
        auto status = process->WaitExit(5000);
        ASSERT_TRUE(status);
        EXPECT_FALSE(status->Success());
    }
}
