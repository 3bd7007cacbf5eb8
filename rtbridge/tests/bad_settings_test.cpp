// asrc-bridge's command line: each bad setting gets a message that names it
// and status 2, before any device is touched; a server that is not there
// gets status 1.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
    int status = -1;
    std::string err;
};

Outcome run(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    std::string exe = ASRC_BRIDGE_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char path[] = "/tmp/asrc-bridge-test-XXXXXX";
    const int fd = mkstemp(path);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fd, 2);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", 0, 0);
    pid_t pid = 0;
    Outcome r;
    if (posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    close(fd);
    if (std::FILE* f = std::fopen(path, "r")) {
        char buf[4096];
        const std::size_t n = std::fread(buf, 1, sizeof buf, f);
        r.err.assign(buf, n);
        std::fclose(f);
    }
    unlink(path);
    return r;
}

struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message; // a part of what standard error must say
};

class BadSettings : public ::testing::TestWithParam<Case> {};

TEST_P(BadSettings, AreRefusedWithAMessage)
{
    const Case& c = GetParam();
    const Outcome r = run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
}

const std::string A = "jack:a";
const std::string B = "jack:b";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, BadSettings,
    ::testing::Values(
        Case{"no_endpoints", {}, 2, "give a SOURCE and a SINK"},
        Case{"one_endpoint", {A}, 2, "give a SOURCE and a SINK"},
        Case{"three_endpoints", {A, B, B}, 2, "too many arguments"},
        Case{"unknown_scheme", {"pulse:x", B}, 2, "'pulse:x' is not an endpoint"},
        Case{"empty_server", {"jack:", B}, 2, "'jack:' is not an endpoint"},
        Case{"no_channels", {"--channels", "0", A, B}, 2, "--channels must be 1 to 64"},
        Case{"too_many_channels", {"--channels=65", A, B}, 2, "--channels must be 1 to 64"},
        Case{"rate_too_low", {"--rate", "100", A, B}, 2, "--rate must be"},
        Case{"period_not_a_number", {"--period", "x", A, B}, 2, "--period must be"},
        Case{"latency_zero", {"--latency-ms", "0", A, B}, 2, "--latency-ms must be auto or"},
        Case{"seconds_negative", {"--seconds", "-1", A, B}, 2, "--seconds must be a positive"},
        Case{"name_with_colon", {"--name", "a:b", A, B}, 2, "--name must be"},
        Case{"unknown_option", {"--speed", "1", A, B}, 2, "unknown option '--speed'"},
        Case{"value_missing", {A, B, "--seconds"}, 2, "--seconds needs a value"},
        Case{"too_many_ports", {"--channels", "1", "--connect-in", "x:1,x:2", A, B}, 2,
             "more ports to connect than --channels"},
        Case{"stamps_without_file", {"--stamps=", A, B}, 2, "--stamps needs a file name"},
        Case{"unknown_converter", {"--converter", "float", A, B}, 2, "--converter must be q31 or poly"},
        Case{"q31_nine_channels", {"--channels", "9", A, B}, 2, "the 24-bit converter takes up to 8"},
        Case{"connect_in_on_alsa", {"--connect-in", "x:1", "alsa:hw:0", B}, 2,
             "--connect-in needs a jack: source"},
        // Good settings, a server that is not there: status 1, and no
        // server is started (the program sets JACK_NO_START_SERVER).
        Case{"server_not_running", {"--seconds", "1", "jack:asrc-test-no-such-server", B}, 1,
             "cannot open a client on the JACK server"}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

} // namespace
