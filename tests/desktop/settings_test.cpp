#include "desktop/settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tamber::desktop {
namespace {

Environment fakeEnvironment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const char* name) -> std::optional<std::string> {
    const auto found = values.find(name);
    return found == values.end() ? std::nullopt : std::optional<std::string>(found->second);
  };
}

TEST(EnginePort, ReadsSignedDecimalsAndFallsBackForAnythingElse) {
  for (const auto& [text, port] :
       std::vector<std::pair<std::string, int>>{{"1", 1}, {"+008080", 8080}, {"65535", 65535}}) {
    EXPECT_EQ(parseEnginePort(text), port) << text;
  }
  // Anything else falls back, and so do values that parse but name no TCP port: they would
  // break the engine's command line and the page's address.
  for (const char* malformed : {"", "+", " 8080", "８０８０", "99999999999999999999",
                                "-9223372036854775808", "0", "-1", "65536"}) {
    EXPECT_EQ(parseEnginePort(malformed), 43127) << "\"" << malformed << "\"";
  }
  EXPECT_EQ(enginePort(fakeEnvironment({{"TAMBER_PORT", "+47001"}})), 47001);
  EXPECT_EQ(enginePort(fakeEnvironment({})), 43127);
}

TEST(DataDirectory, PrefersTamberDataThenXdgDataHomeThenHome) {
  using Variables = std::map<std::string, std::string>;
  for (const auto& [variables, expected] : std::vector<std::pair<Variables, std::string>>{
           {{{"TAMBER_DATA", "relative/data"}, {"XDG_DATA_HOME", "/xdg"}}, "relative/data"},
           {{{"XDG_DATA_HOME", "/xdg"}}, "/xdg/larkspan"},
           // A relative XDG_DATA_HOME is invalid and ignored.
           {{{"XDG_DATA_HOME", "xdg"}}, "/home/u/.local/share/larkspan"},
       }) {
    EXPECT_EQ(dataDirectory(fakeEnvironment(variables), "/home/u"), expected);
  }
  EXPECT_EQ(homeDirectory(fakeEnvironment({{"HOME", "/home/u"}})), "/home/u");
  // Without HOME the password database still names a home folder.
  EXPECT_FALSE(homeDirectory(fakeEnvironment({})).empty());
}

TEST(EngineCommandLine, PassesAnEmptyFixtureRootAndNeverABareEngineName) {
  // An empty fixture root still turns fixture mode on and is passed as it is.
  EXPECT_TRUE(fixtureRoot(fakeEnvironment({{"TAMBER_FIXTURE_ROOT", ""}})).has_value());
  const std::vector<std::string> arguments = engineServeArguments("/d", "", 47001);
  EXPECT_EQ(std::vector<std::string>(arguments.begin(), arguments.begin() + 4),
            (std::vector<std::string>{"--data", "/d", "--root", ""}));
  EXPECT_EQ(enginePathBeside("/opt/tamber/bin/tamber"), "/opt/tamber/bin/larkspan");
  // Never a bare name that a PATH search could resolve to some other program.
  EXPECT_EQ(enginePathBeside("tamber"), "");
}

}  // namespace
}  // namespace tamber::desktop
