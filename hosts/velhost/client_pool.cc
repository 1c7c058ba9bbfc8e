#include "client_pool.h"

#include <sstream>
#include <thread>

namespace velhost {

int RunClients(velsrv::Host& host, velsrv::Client& first, const std::vector<Script>& scripts,
               int clients, Session::Hooks hooks, RunOptions options, std::ostream& out) {
  if (scripts.empty() || clients < 1) return 0;
  struct Run {
    velsrv::Client* client = nullptr;
    const Script* script = nullptr;
    std::ostringstream output;
    int failures = 0;
  };
  std::vector<Run> runs(static_cast<size_t>(clients));
  for (size_t i = 0; i < runs.size(); ++i) {
    runs[i].client = i == 0 ? &first : &host.NewClient();
    runs[i].script = &scripts[i % scripts.size()];
  }
  {
    std::vector<std::jthread> threads;
    threads.reserve(runs.size());
    for (Run& run : runs) {
      threads.emplace_back([&run, hooks, options] {
        Session session(*run.client, run.output, hooks);
        run.failures = RunText(session, run.script->text, options);
      });
    }
  }  // every client has finished here
  int failures = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    out << "=== client " << i + 1 << ": " << runs[i].script->label << " ===\n"
        << runs[i].output.str();
    failures += runs[i].failures;
  }
  out.flush();
  return failures;
}

}  // namespace velhost
