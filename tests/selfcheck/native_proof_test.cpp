// Judging the page's DOM probe, and the order and all-or-nothing writing of the proof report.
#include "selfcheck/native_proof.h"

#include <filesystem>
#include <stdexcept>

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

std::string judged(const std::optional<std::string>& result) {
  return failureOf([&] { domProof(result); });
}

const std::string kGoodPage =
    R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true,"rows":3,)"
    R"("indexed":"Indexed 2 seconds ago"})";

TEST(DomProof, AcceptsOnlyTheTitledPageWithItsControlsAndEntries) {
  EXPECT_EQ(domProof(kGoodPage), Json::parse(kGoodPage));
  // "indexed" is shown as the page gave it, and not judged.
  EXPECT_EQ(
      domProof(R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true,"rows":1})"),
      Json::parse(R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true,)"
                  R"("rows":1})"));

  EXPECT_EQ(judged(std::nullopt), kNoDomProof);
  EXPECT_EQ(judged("[]"), kNoDomProof);
  EXPECT_EQ(judged("\"Tamber\""), kNoDomProof);
  EXPECT_NE(judged("{title").find("parse error"), std::string::npos);

  for (const char* page : {
           R"({"title":"Larkspan","invite":true,"ordinary":true,"elevated":true,"rows":3})",
           R"({"invite":true,"ordinary":true,"elevated":true,"rows":3})",
           R"({"title":"Tamber","invite":false,"ordinary":true,"elevated":true,"rows":3})",
           R"({"title":"Tamber","invite":"true","ordinary":true,"elevated":true,"rows":3})",
           R"({"title":"Tamber","invite":true,"elevated":true,"rows":3})",
           R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":1,"rows":3})",
           R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true,"rows":0})",
           R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true,"rows":-2})",
           R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true,"rows":1.5})",
           R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true,"rows":"3"})",
           R"({"title":"Tamber","invite":true,"ordinary":true,"elevated":true})",
       }) {
    EXPECT_EQ(judged(page), kMissingControls) << page;
  }
}

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
          if (!agentFailure_.empty()) {
            throw std::runtime_error(agentFailure_);
          }
          return Json{{"view_read", true}};
        },
        [this] { return noGrants_; },
    };
  }

  TempDir dir_;
  std::string report_ = dir_ / "report.json";
  std::string invitation_ = "CLI: larkspan --json agent; export TAMBER_GRANT=...";
  std::string agentFailure_;
  bool noGrants_ = true;
  std::vector<std::string> calls_;
};

TEST_F(NativeProofRun, WritesTheWholeReportAfterEveryStepPassed) {
  const Json report = completeNativeProof(kGoodPage, report_, steps());
  EXPECT_EQ(calls_, (std::vector<std::string>{"invitation", "agent"}));
  EXPECT_EQ(readFile(report_), jsonData(report));
  EXPECT_EQ(Json::parse(readFile(report_)), Json::parse(R"({"agent_broker":{"view_read":true},
    "passed":true,"native_window":true,"web_kit_rendered":)" +
                                                        kGoodPage + R"(,
    "invitation_generated":true,"file_grants_default_none":true,"fixture_only":true,
    "os_auth_ui_verified":false})"));
  EXPECT_EQ(proofSnapshotPath(report_), dir_ / "report.json.png");

  // A later run replaces the whole file, and reports a grant still in the store.
  noGrants_ = false;
  completeNativeProof(kGoodPage, report_, steps());
  EXPECT_EQ(Json::parse(readFile(report_))["file_grants_default_none"], false);
}

TEST_F(NativeProofRun, WritesNothingWhenAStepFailsAndStopsThere) {
  EXPECT_EQ(failureOf([&] { completeNativeProof(R"({"title":"Tamber"})", report_, steps()); }),
            kMissingControls);
  EXPECT_TRUE(calls_.empty());

  invitation_ = "CLI: larkspan, but no capability line";
  EXPECT_EQ(failureOf([&] { completeNativeProof(kGoodPage, report_, steps()); }),
            "Invitation missing agent instructions");
  invitation_ = "export TAMBER_GRANT= without the command line";
  EXPECT_EQ(failureOf([&] { completeNativeProof(kGoodPage, report_, steps()); }),
            "Invitation missing agent instructions");
  EXPECT_EQ(calls_, (std::vector<std::string>{"invitation", "invitation"}));

  invitation_ = "CLI: TAMBER_GRANT";
  agentFailure_ = "Agent view route failed";
  EXPECT_EQ(failureOf([&] { completeNativeProof(kGoodPage, report_, steps()); }),
            "Agent view route failed");
  EXPECT_FALSE(std::filesystem::exists(report_));

  agentFailure_.clear();
  EXPECT_EQ(failureOf([&] { completeNativeProof(kGoodPage, dir_ / "no/report.json", steps()); }),
            "No such file or directory");

  EXPECT_EQ(nativeFailureLine(std::runtime_error("Agent CLI did not complete")),
            "Native fixture failure: Agent CLI did not complete\n");
}

}  // namespace
}  // namespace tamber
