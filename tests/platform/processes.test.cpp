#include "platform/processes.hpp"
#include "platform/proc_fixtures.hpp"
#include "support/temp_directory.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace perfagent {
namespace {

using testing::statLine;

TEST(ProcessList, ReadsEachRunningProcessAndFindsOneByPidOrName) {
    testing::TempDirectory proc;
    const auto process = [&](int pid, const char* comm, char state, unsigned start, std::string_view cmdline) {
        proc.write(std::to_string(pid) + "/stat", statLine(pid, comm, state, 0, 0, start));
        proc.write(std::to_string(pid) + "/statm", "100 25 0\n");
        proc.write(std::to_string(pid) + "/cmdline", cmdline);
    };
    process(30, "kworker/0:1", 'I', 5, "");
    process(41, "app", 'S', 900, std::string_view("/usr/bin/app\0--new\0", 19));
    process(52, "app", 'S', 700, std::string_view("/usr/bin/app\0--old\0", 19));
    process(63, "python3", 'R', 800, std::string_view("/opt/tools/builder.py\0-j\0", 25));
    process(74, "app", 'Z', 100, "");  // exited: never listed, never found
    proc.write("self/stat", statLine(1, "self", 'S', 0, 0, 1));

    const std::vector<ProcessInfo> running = LinuxProcessList(proc.path()).processes();
    ASSERT_EQ(running.size(), 4u);
    const ProcessInfo& old = running[2];
    EXPECT_EQ(old.identity, (ProcessIdentity{52, 700}));
    EXPECT_EQ(old.name, "app");
    EXPECT_EQ(old.commandLine, "/usr/bin/app --old");
    EXPECT_EQ(old.user, ::getpwuid(::getuid())->pw_name);
    EXPECT_EQ(old.residentBytes, 25u * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)));

    // The pid found (0: none): the oldest of several, argv[0]'s last part, the kernel's name, a pid; never a
    // zombie, a path or part of a name.
    const std::pair<const char*, Pid> cases[] = {{"app", 52}, {"builder.py", 63}, {"python3", 63}, {"41", 41},
                                                 {"74", 0}, {"/usr/bin/app", 0}, {"ap", 0}, {"", 0}};
    for (const auto& [target, pid] : cases) {
        const auto found = findProcess(running, target);
        EXPECT_EQ(found ? found->identity.pid : 0, pid) << target;
    }
}

}  // namespace
}  // namespace perfagent
