#include "program/server_options.hpp"

#include <gtest/gtest.h>

namespace perfagent {
namespace {

TEST(ServerOptions, ParsesTheCommandLine) {
    const auto defaults = parseServerCommandLine({}, nullptr, "/home/ada");
    ASSERT_TRUE(defaults);
    EXPECT_EQ(std::tie(defaults->listen, defaults->database, defaults->ui),
              std::tuple(ListenAddress{"127.0.0.1", 8089},
                         DatabaseUrl{DatabaseUrl::Kind::Sqlite, "/home/ada/.local/share/perfagent-server/perfagent.sqlite3"}, std::nullopt));
    EXPECT_EQ(parseServerCommandLine({}, "/data", "/home/ada")->database.location, "/data/perfagent-server/perfagent.sqlite3");

    const auto given = parseServerCommandLine(
        {"--listen", "0.0.0.0:9000", "--database=postgresql://ada@db.example:5433/runs", "--ui", "[::1]:8091", "--version",
         "--resources=/opt/pages", "--budget", "CPU:+5%", "--trusted-proxy", "10.0.0.0/8", "--allow-host=perf.lan",
         "--trusted-proxy=::1", "--allow-host", "runs.example.org", "--keep-days=36500"},
        nullptr, "/home/ada");
    ASSERT_TRUE(given) << given.error().message;
    EXPECT_EQ(std::tie(given->listen, given->database, given->ui, given->version, given->resources),
              std::tuple(ListenAddress{"0.0.0.0", 9000}, DatabaseUrl{DatabaseUrl::Kind::Postgres, "postgresql://ada@db.example:5433/runs"},
                         std::optional(ListenAddress{"::1", 8091}), true, std::optional(std::filesystem::path("/opt/pages"))));
    EXPECT_EQ(given->budgets.named.at(0).second.amount, 5);
    EXPECT_EQ(std::tie(given->trustedProxies, given->allowedHosts),
              std::tuple(std::vector{*parseAddressRange("10.0.0.0/8"), *parseAddressRange("::1")},
                         std::vector<std::string>{"perf.lan", "runs.example.org"}));
    EXPECT_EQ(given->keepDays, 36500);
    EXPECT_EQ(defaults->keepDays, std::nullopt);

    const std::vector<std::string> bad[] = {
        {"--listen"}, {"--listen", "local host:8089"}, {"--listen", "127.0.0.1:0"}, {"--listen", "127.0.0.1"},
        {"--ui", "1.2.3.4:70000"}, {"--port", "1"}, {"--help=yes"}, {"--database", "sqlite://relative/file"},
        {"--database", "sqlite://"}, {"--database", "mysql://a@b/c"}, {"--database", "postgresql://ada@db.example"},
        {"--database", "postgresql://ada@db.example/"}, {"--database", "postgresql://ada@db.example:x/runs"},
        {"--database", "postgresql://@db.example/runs"}, {"--budget", "CPU:+5 %"}, {"--trusted-proxy", "10.0.0.0/40"},
        {"--trusted-proxy", "proxy.lan"}, {"--allow-host", "perf.lan:8089"}, {"--allow-host", "perf lan"}, {"--allow-host"},
        {"--keep-days", "0"}, {"--keep-days", "36501"}, {"--keep-days", "7d"}, {"--keep-days", "-1"},
    };
    for (const auto& arguments : bad)  // a refusal says why
        EXPECT_FALSE(parseServerCommandLine(arguments, nullptr, "/home/ada").error().message.empty()) << arguments.back();
}

}  // namespace
}  // namespace perfagent
