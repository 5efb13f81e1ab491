#include "desktop/settings.h"

#include <gtest/gtest.h>

#include <map>

namespace tamber::desktop {
namespace {

Environment fakeEnvironment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> std::optional<std::string> {
    auto found = values.find(name);
    if (found == values.end()) {
      return std::nullopt;
    }
    return found->second;
  };
}

TEST(EnginePort, ReadsSignedDecimalsAndFallsBackForAnythingElse) {
  EXPECT_EQ(parseEnginePort(std::nullopt), 43127);
  EXPECT_EQ(parseEnginePort("8080"), 8080);
  EXPECT_EQ(parseEnginePort("+8080"), 8080);
  EXPECT_EQ(parseEnginePort("008080"), 8080);
  EXPECT_EQ(parseEnginePort("1"), 1);
  EXPECT_EQ(parseEnginePort("65535"), 65535);
  for (const char* malformed : {"", " 8080", "8080 ", "80a0", "+", "-", "++80", "+-80", "0x50",
                                "8080\n", "８０８０", "99999999999999999999"}) {
    EXPECT_EQ(parseEnginePort(malformed), 43127) << "\"" << malformed << "\"";
  }
  // Values that parse but name no TCP port would break the engine's command line and the
  // page's address; they fall back as well.
  for (const char* noPort :
       {"0", "-0", "-1", "65536", "-9223372036854775808", "9223372036854775807"}) {
    EXPECT_EQ(parseEnginePort(noPort), 43127) << noPort;
  }
  EXPECT_EQ(enginePort(fakeEnvironment({{"TAMBER_PORT", "+47001"}})), 47001);
  EXPECT_EQ(enginePort(fakeEnvironment({})), 43127);
}

TEST(DataDirectory, PrefersTamberDataThenXdgDataHomeThenHome) {
  EXPECT_EQ(
      dataDirectory(fakeEnvironment({{"TAMBER_DATA", "relative/data"}, {"XDG_DATA_HOME", "/xdg"}}),
                    "/home/u"),
      "relative/data");
  EXPECT_EQ(dataDirectory(fakeEnvironment({{"XDG_DATA_HOME", "/xdg"}}), "/home/u"),
            "/xdg/larkspan");
  // An empty or relative XDG_DATA_HOME is invalid and ignored.
  EXPECT_EQ(dataDirectory(fakeEnvironment({{"XDG_DATA_HOME", ""}}), "/home/u"),
            "/home/u/.local/share/larkspan");
  EXPECT_EQ(dataDirectory(fakeEnvironment({{"XDG_DATA_HOME", "xdg"}}), "/home/u"),
            "/home/u/.local/share/larkspan");
  EXPECT_EQ(homeDirectory(fakeEnvironment({{"HOME", "/home/u"}})), "/home/u");
  // Without HOME the password database still names a home folder.
  EXPECT_FALSE(homeDirectory(fakeEnvironment({})).empty());
}

TEST(EngineCommandLine, ServesFromTheDataDirectoryWithTheFixtureRootOnlyWhenSet) {
  EXPECT_EQ(engineServeArguments("/d", std::nullopt, 47001),
            (std::vector<std::string>{"--data", "/d", "serve", "--port", "47001", "--interval",
                                      "21600"}));
  // An empty fixture root still turns fixture mode on and is passed as it is.
  EXPECT_EQ(engineServeArguments("/d", "", 47001),
            (std::vector<std::string>{"--data", "/d", "--root", "", "serve", "--port", "47001",
                                      "--interval", "21600"}));
  EXPECT_TRUE(fixtureRoot(fakeEnvironment({{"TAMBER_FIXTURE_ROOT", ""}})).has_value());
  EXPECT_EQ(enginePathBeside("/opt/tamber/bin/tamber"), "/opt/tamber/bin/larkspan");
  // Never a bare name that a PATH search could resolve to some other program.
  EXPECT_EQ(enginePathBeside("tamber"), "");
}

}  // namespace
}  // namespace tamber::desktop
