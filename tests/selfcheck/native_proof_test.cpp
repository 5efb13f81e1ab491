// Judging the page's DOM probe, and the order and all-or-nothing writing of the proof report.
#include "selfcheck/native_proof.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using testing::failureOf;
using testing::readFile;
using testing::TempDir;

const std::string kMissingControls =
    "Native app must show the actual indexed UI and access controls";
const std::string kNoDomProof = "Native renderer did not produce DOM proof";

const Json kGoodPage = {{"title", "Tamber"}, {"invite", true},
                        {"ordinary", true},  {"elevated", true},
                        {"rows", 3},         {"indexed", "Indexed 2 seconds ago"}};

TEST(DomProof, AcceptsOnlyTheTitledPageWithItsControlsAndEntries) {
  EXPECT_EQ(domProof(jsonData(kGoodPage)), kGoodPage);  // "indexed" as given, and not judged

  EXPECT_EQ(failureOf([&] { domProof(std::nullopt); }), kNoDomProof);
  EXPECT_EQ(failureOf([&] { domProof("\"Tamber\""); }), kNoDomProof);
  EXPECT_NE(failureOf([&] { domProof("{title"); }).find("parse error"), std::string::npos);

  // One member of the good page changed (a discarded value: removed).
  const Json removed(Json::value_t::discarded);
  const std::vector<std::pair<std::string, Json>> changes = {
      {"title", "Larkspan"}, {"invite", "true"}, {"elevated", removed},
      {"rows", 0},           {"rows", -2},       {"rows", 1.5}};
  for (const auto& [key, value] : changes) {
    Json page = kGoodPage;
    if (value.is_discarded()) {
      page.erase(key);
    } else {
      page[key] = value;
    }
    EXPECT_EQ(failureOf([&] { domProof(jsonData(page)); }), kMissingControls) << page;
  }
}

// What a failed step leaves and what a real run reports, the fixture-mode test on a display
// shows; here, the invitation's check and the order of the steps.
class NativeProofRun : public ::testing::Test {
 protected:
  NativeProofSteps steps() {
    return {
        [this] {
          calls_.push_back("invitation");
          return invitation_;
        },
        [this] {
          calls_.push_back("agent");
          return Json{{"view_read", true}};
        },
        [] { return false; },
    };
  }

  TempDir dir_;
  std::string report_ = dir_ / "report.json";
  std::string invitation_;
  std::vector<std::string> calls_;
};

TEST_F(NativeProofRun, WritesTheReportOnlyAfterEveryStepPassedInOrder) {
  const std::string good = jsonData(kGoodPage);
  for (const char* invitation :
       {"CLI: larkspan, but no capability line", "export TAMBER_GRANT= without the command line"}) {
    invitation_ = invitation;
    EXPECT_EQ(failureOf([&] { completeNativeProof(good, report_, steps()); }),
              "Invitation missing agent instructions");
  }
  EXPECT_EQ(calls_, (std::vector<std::string>{"invitation", "invitation"}));
  EXPECT_FALSE(std::filesystem::exists(report_));

  // A grant still in the store is reported.
  invitation_ = "CLI: TAMBER_GRANT";
  const Json report = completeNativeProof(good, report_, steps());
  EXPECT_EQ(readFile(report_), jsonData(report));
  EXPECT_EQ(report["web_kit_rendered"], kGoodPage);
  EXPECT_EQ(report["agent_broker"], (Json{{"view_read", true}}));
  EXPECT_EQ(report["file_grants_default_none"], false);
}

}  // namespace
}  // namespace tamber
