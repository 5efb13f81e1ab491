#include "app/shell/invitation.h"

#include <gio/gio.h>

#include <ctime>
#include <stdexcept>
#include <vector>

#include "access/failure.h"
#include "access/reply.h"
#include "agent/elevated.h"
#include "app/shell/settings.h"

namespace tamber::desktop {

std::string localTimeText(WallClock::time_point time) {
  const std::time_t seconds = WallClock::to_time_t(time);
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) {
    return {};
  }
  char buffer[128];
  const size_t length = std::strftime(buffer, sizeof buffer, "%x %H:%M", &local);
  return std::string(buffer, length);
}

std::string engineInvitationText(const std::string& output) {
  const Json invite = Json::parse(output);
  require(invite.is_object(), "Could not generate invitation");
  const auto text = invite.find("text");
  require(text != invite.end() && text->is_string(), "Could not generate invitation");
  return text->get<std::string>();
}

std::string invitationText(const std::string& engineText, const std::optional<AgentGrant>& grant) {
  if (!grant) {
    return engineText +
           "\n\nNo file-access grant is attached. Ask me to grant selected folders in the "
           "desktop app if contents or edits are needed.";
  }
  std::string scope;
  for (const std::string& root : grant->roots) {
    scope += (scope.empty() ? "" : ", ") + root;
  }
  return engineText + "\n\nPRIVATE CAPABILITY, do not publish or log:\nexport TAMBER_GRANT=" +
         shellQuote(grant->token) + "\nScope: " + scope + "\nRights: " +
         (grant->edit ? "Edit: list/stat/read/write_new/mkdir/copy/move/replace"
                      : "View: list/stat/read") +
         "; " + (grant->elevated ? "Elevated, each action needs native approval" : "Ordinary") +
         ". Expires: " + localTimeText(grant->expires) +
         ". The desktop app must remain open. Never use this token outside the selected scopes.";
}

namespace {

// One invite run's progress, advanced by callbacks on the run's private main context.
struct InviteRun {
  bool outputRead = false;
  bool exited = false;
  bool timedOut = false;
  std::string output;
  GError* error = nullptr;
};

void outputRead(GObject* source, GAsyncResult* result, gpointer data) {
  auto* run = static_cast<InviteRun*>(data);
  GBytes* out = nullptr;
  if (g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &out, nullptr, &run->error) &&
      out != nullptr) {
    gsize size = 0;
    const auto* bytes = static_cast<const char*>(g_bytes_get_data(out, &size));
    run->output.assign(bytes != nullptr ? bytes : "", size);
  }
  if (out != nullptr) {
    g_bytes_unref(out);
  }
  run->outputRead = true;
}

void processExited(GObject* source, GAsyncResult* result, gpointer data) {
  g_subprocess_wait_finish(G_SUBPROCESS(source), result, nullptr);
  static_cast<InviteRun*>(data)->exited = true;
}

gboolean limitReached(gpointer data) {
  static_cast<InviteRun*>(data)->timedOut = true;
  return G_SOURCE_REMOVE;
}

std::runtime_error takeError(GError* error) {
  std::runtime_error failure(error->message);
  g_error_free(error);
  return failure;
}

}  // namespace

std::string runEngineInvite(const std::string& engine, const std::string& dataDirectory,
                            std::chrono::milliseconds limit) {
  std::vector<std::string> arguments = engineInviteArguments(dataDirectory);
  arguments.insert(arguments.begin(), engine);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);

  // A context of its own: nothing else of the application runs while the engine works, as
  // with any modal step, and no callback of this run can fire after it returns.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  InviteRun run;
  GError* launchError = nullptr;
  // GSubprocess closes every descriptor but the three standard ones in the child.
  GSubprocess* process =
      g_subprocess_newv(argv.data(),
                        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                      G_SUBPROCESS_FLAGS_STDERR_SILENCE),
                        &launchError);
  if (process != nullptr) {
    GCancellable* cancellable = g_cancellable_new();
    GSource* timer = g_timeout_source_new(static_cast<guint>(limit.count()));
    g_source_set_callback(timer, limitReached, &run, nullptr);
    g_source_attach(timer, context);
    // The output is complete when the pipe closes; the exit is awaited as well, because an
    // engine may close its output and keep running. Its status is not examined.
    g_subprocess_communicate_async(process, nullptr, cancellable, outputRead, &run);
    g_subprocess_wait_async(process, nullptr, processExited, &run);
    while (!(run.outputRead && run.exited) && !run.timedOut) {
      g_main_context_iteration(context, TRUE);
    }
    if (run.timedOut) {
      g_subprocess_force_exit(process);
      g_cancellable_cancel(cancellable);
      while (!(run.outputRead && run.exited)) {
        g_main_context_iteration(context, TRUE);
      }
      g_clear_error(&run.error);
    }
    g_source_destroy(timer);
    g_source_unref(timer);
    g_object_unref(cancellable);
    g_object_unref(process);
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);

  if (launchError != nullptr) {
    throw takeError(launchError);
  }
  require(!run.timedOut, kInviteTimeoutText);
  if (run.error != nullptr) {
    throw takeError(run.error);
  }
  return run.output;
}

}  // namespace tamber::desktop
