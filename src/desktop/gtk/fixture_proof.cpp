#include "desktop/gtk/fixture_proof.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "desktop/gtk/desktop.h"
#include "selfcheck/agent_client_proof.h"
#include "selfcheck/native_proof.h"

namespace tamber::desktop {
namespace {

// Every finished page load schedules a proof; the first one decides. A second run started
// while the first waits for its snapshot would find the fixture's copy already there, fail,
// and print a failure line after a success.
bool proofStarted = false;

struct ProofRun {
  Desktop* desktop;
  std::string reportPath;
};

void fail(Desktop& desktop, const std::exception& failure) {
  std::fputs(nativeFailureLine(failure).c_str(), stderr);
  std::fflush(stderr);
  desktop.terminate();
}

std::optional<std::string> probeResult(WebKitWebView* view, GAsyncResult* result) {
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(view, result, &error);
  g_clear_error(&error);
  std::optional<std::string> text;
  if (value != nullptr && jsc_value_is_string(value)) {
    char* bytes = jsc_value_to_string(value);
    text = bytes != nullptr ? bytes : "";
    g_free(bytes);
  }
  if (value != nullptr) {
    g_object_unref(value);
  }
  return text;
}

void pageProbed(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<ProofRun> run(static_cast<ProofRun*>(data));
  Desktop& desktop = *run->desktop;
  const std::optional<std::string> page = probeResult(WEBKIT_WEB_VIEW(source), result);
  try {
    const NativeProofSteps steps{
        [&desktop] { return desktop.invitation(std::nullopt); },
        [&desktop] {
          const char* root = std::getenv("TAMBER_FIXTURE_ROOT");
          return agentClientProof(desktop.grants(),
                                  root != nullptr ? std::optional<std::string>(root) : std::nullopt,
                                  AgentCommandLine{desktop.enginePath(), desktop.dataDirectory()});
        },
        [&desktop] { return desktop.grants().all().empty(); },
    };
    completeNativeProof(page, run->reportPath, steps);
  } catch (const std::exception& failure) {
    fail(desktop, failure);
    return;
  }
  // The report is the success signal; a snapshot that cannot be taken or written is no
  // failure, and either way the run ends here.
  desktop.view()->snapshot(proofSnapshotPath(run->reportPath),
                           [&desktop](bool) { desktop.terminate(); });
}

}  // namespace

void fixtureProof(Desktop& desktop) {
  const char* reportPath = std::getenv("TAMBER_NATIVE_PROOF");
  if (reportPath == nullptr || proofStarted || desktop.view() == nullptr) {
    return;
  }
  proofStarted = true;
  webkit_web_view_evaluate_javascript(desktop.view()->webView(), kDomProbeScript, -1, nullptr,
                                      nullptr, nullptr, pageProbed,
                                      new ProofRun{&desktop, reportPath});
}

}  // namespace tamber::desktop
