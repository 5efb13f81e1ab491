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

const Json kGoodPage = {{"title", "Tamber"}, {"invite", true},
                        {"ordinary", true},  {"elevated", true},
                        {"rows", 3},         {"indexed", "Indexed 2 seconds ago"}};

TEST(DomProof, AcceptsOnlyTheTitledPageWithItsControlsAndEntries) {
  EXPECT_EQ(domProof(jsonData(kGoodPage)), kGoodPage);
  // "indexed" is shown as the page gave it, and not judged.
  Json unindexed = kGoodPage;
  unindexed.erase("indexed");
  EXPECT_EQ(domProof(jsonData(unindexed)), unindexed);

  for (const std::optional<std::string>& result :
       {std::optional<std::string>(), std::optional<std::string>("[]"),
        std::optional<std::string>("\"Tamber\"")}) {
    EXPECT_EQ(failureOf([&] { domProof(result); }), kNoDomProof);
  }
  EXPECT_NE(failureOf([&] { domProof("{title"); }).find("parse error"), std::string::npos);

  // One member of the good page changed (a discarded value: removed).
  const Json removed(Json::value_t::discarded);
  for (const auto& [key, value] : std::vector<std::pair<std::string, Json>>{{"title", "Larkspan"},
                                                                            {"title", removed},
                                                                            {"invite", false},
                                                                            {"invite", "true"},
                                                                            {"ordinary", removed},
                                                                            {"elevated", 1},
                                                                            {"rows", 0},
                                                                            {"rows", -2},
                                                                            {"rows", 1.5},
                                                                            {"rows", "3"},
                                                                            {"rows", removed}}) {
    Json page = kGoodPage;
    if (value.is_discarded()) {
      page.erase(key);
    } else {
      page[key] = value;
    }
    EXPECT_EQ(failureOf([&] { domProof(jsonData(page)); }), kMissingControls) << page;
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
  std::string run(const std::string& page, const std::string& reportPath) {
    return failureOf([&] { completeNativeProof(page, reportPath, steps()); });
  }

  TempDir dir_;
  std::string report_ = dir_ / "report.json";
  std::string invitation_ = "CLI: larkspan --json agent; export TAMBER_GRANT=...";
  std::string agentFailure_;
  bool noGrants_ = true;
  std::vector<std::string> calls_;
};

TEST_F(NativeProofRun, WritesTheReportOnlyAfterEveryStepPassedInOrder) {
  const std::string good = jsonData(kGoodPage);
  EXPECT_EQ(run(R"({"title":"Tamber"})", report_), kMissingControls);
  EXPECT_TRUE(calls_.empty());

  for (const char* invitation :
       {"CLI: larkspan, but no capability line", "export TAMBER_GRANT= without the command line"}) {
    invitation_ = invitation;
    EXPECT_EQ(run(good, report_), "Invitation missing agent instructions");
  }
  EXPECT_EQ(calls_, (std::vector<std::string>{"invitation", "invitation"}));

  invitation_ = "CLI: TAMBER_GRANT";
  agentFailure_ = "Agent view route failed";
  EXPECT_EQ(run(good, report_), "Agent view route failed");
  EXPECT_FALSE(std::filesystem::exists(report_));
  agentFailure_.clear();
  EXPECT_EQ(run(good, dir_ / "no/report.json"), "No such file or directory");

  // The whole file is replaced, and a grant still in the store is reported.
  dir_.write("report.json", std::string(4096, 'x'));
  noGrants_ = false;
  const Json report = completeNativeProof(good, report_, steps());
  EXPECT_EQ(readFile(report_), jsonData(report));
  EXPECT_EQ(report["web_kit_rendered"], kGoodPage);
  EXPECT_EQ(report["agent_broker"], (Json{{"view_read", true}}));
  EXPECT_EQ(report["file_grants_default_none"], false);
  EXPECT_EQ(proofSnapshotPath(report_), dir_ / "report.json.png");

  EXPECT_EQ(nativeFailureLine(std::runtime_error("Agent CLI did not complete")),
            "Native fixture failure: Agent CLI did not complete\n");
}

}  // namespace
}  // namespace tamber
