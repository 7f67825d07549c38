// The supervision loop in this process, on a clock that moves only when it is
// read (1 ms a reading) or waited on, with a real command as the group's root
// but a fake process table behind the sampler and a fake actuator: each pass
// sees the footprint the test scripts for it, every intervention gets the
// answer the test chose, and the journal is the same on every run.
#include "supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "observe_mode.h"
#include "run_mode.h"
#include "support/e2e.h"
#include "support/file_state.h"

namespace vek_guard::runtime {
namespace {

using Tag = TerminalKind::Tag;

constexpr uint64_t kMiB = 1 << 20;
// Warning from 90 MiB, back to normal at 80 MiB, emergency from 110 MiB.
constexpr uint64_t kLimit = 100 * kMiB;

class FakeClock final : public RunClock {
 public:
  Duration now() override {
    const Duration reading = now_;
    now_ = now_.saturating_add(Duration::from_millis(1));
    return reading;
  }
  void wait(Duration duration, const TerminalSignalMonitor*, const OwnedProcess*) override {
    now_ = now_.saturating_add(duration);
    on_wait();
  }
  std::function<void()> on_wait;

 private:
  Duration now_;
};

// The system's file operations without the syncs (a unit test has no power
// cut to survive, and a sync costs milliseconds), or with the n-th write or
// sync failing.
class TestFileIo final : public FileIo {
 public:
  ssize_t write(int fd, const void* data, size_t size) override {
    if (++writes == fail_write) return errno = ENOSPC, -1;
    return ::write(fd, data, size);
  }
  int sync(int) override { return ++syncs == fail_sync ? (errno = EIO, -1) : 0; }
  int rename_at(int old_dir, const char* old_name, int new_dir, const char* new_name) override {
    return ::renameat(old_dir, old_name, new_dir, new_name);
  }
  int fail_write = 0, fail_sync = 0, writes = 0, syncs = 0;
};

// What a test scripts for one run.
struct Script {
  // The group's footprint in pass i; the last one holds from then on.
  std::vector<uint64_t> footprints = {10 * kMiB};
  // Terminal signals the supervisor gets before pass i.
  std::map<int, int> signals;
  // The command ends by itself (SIGKILL) before this pass.
  int root_ends_at = -1;
  // No process table: the root is never seen, every sample is incomplete.
  bool blind = false;
  std::optional<Duration> wall_time;
  Duration interval = Duration::from_millis(100);
  uint64_t record_limit = kMaxJournalRecords;
  // The checkpoint client: none, negotiated but silent, or accepting each
  // request at the next look, with a 4096-byte file as its artifact.
  enum class Client { None, Silent, Accepts } client = Client::None;
  // Commands that fail, and signals the command ignores.
  std::map<InterventionKind, InterventionFailure> failures;
  std::set<InterventionKind> ignored;
  // A member holding 150 MiB that was outside the group at the first SIGKILL
  // gets back into it right after, and dies of the n-th SIGKILL after that.
  int member_back_for_kills = 0;
};

// Carries out commands as the script says: a signal the command does not
// ignore goes to `deliver`.
class FakeActuator final : public InterventionActuator {
 public:
  FakeActuator(const Script& script, std::function<void(int)> deliver)
      : script_(script), deliver_(std::move(deliver)) {}

  InterventionResult execute(Duration, const InterventionCommand& command) override {
    executed.push_back(command.kind());
    if (on_execute) on_execute();
    if (const auto failure = script_.failures.find(command.kind());
        failure != script_.failures.end()) {
      return unexpected(failure->second);
    }
    if (const auto* request = command.get_if<InterventionCommand::RequestCheckpoint>()) {
      if (script_.client == Script::Client::None) {
        return unexpected(InterventionFailure::CheckpointUnavailable);
      }
      request_id_ = request->request_id;
    } else if (!script_.ignored.contains(command.kind())) {
      const auto* forwarded = command.get_if<InterventionCommand::Signal>();
      deliver_(command.kind() == InterventionKind::Kill        ? SIGKILL
               : command.kind() == InterventionKind::Terminate ? SIGTERM
                                                               : forwarded->signal);
    }
    return SignalDelivery::Delivered;
  }
  Result<bool, InterventionFailure> poll_checkpoint_ready() override {
    if (script_.client == Script::Client::None) {
      return unexpected(InterventionFailure::CheckpointUnavailable);
    }
    return true;
  }
  Result<CheckpointProgress, InterventionFailure> poll_checkpoint(Duration now) override {
    CheckpointProgress progress;
    if (script_.client == Script::Client::Accepts) {
      progress.artifact = CheckpointArtifactRecord{.kind = ArtifactKind::File, .size_bytes = 4096};
      progress.event = PolicyEvent::CheckpointAcknowledged{now, request_id_, true};
    }
    return progress;
  }

  std::vector<InterventionKind> executed;
  // Runs as each command is carried out.
  std::function<void()> on_execute;

 private:
  const Script& script_;
  std::function<void(int)> deliver_;
  uint64_t request_id_ = 0;
};

// The records after the header, one line each: the entry's name and its
// value in the journal's own JSON; a run of samples is one line "sample xN".
std::string lines_of(const JournalRecovery& journal) {
  std::string lines;
  std::size_t samples = 0;
  const auto end_samples = [&] {
    if (samples > 0) lines += "sample x" + std::to_string(samples) + "\n";
    samples = 0;
  };
  for (std::size_t i = 1; i < journal.records.size(); ++i) {
    const JournalRecord& record = journal.records[i];
    if (record.entry.type() == JournalEntry::Type::Sample) {
      ++samples;
      continue;
    }
    end_samples();
    // {"version":1,"sequence":N,"entry":{"type":"...","value":VALUE}}
    const std::string json = encode_journal_record(record);
    const std::size_t value = json.find("\"value\":");
    lines += record.entry.name();
    if (value != std::string::npos) lines += " " + json.substr(value + 8, json.size() - value - 10);
    lines += "\n";
  }
  end_samples();
  return lines;
}

// One supervised run of a real command (sleep) whose footprint, as the
// sampler sees it, is the script's.
class Harness {
 public:
  explicit Harness(Script script) : script_(std::move(script)) {
    command_.common.sample_interval = script_.interval;
    command_.common.report_path = area_.report_path();
    command_.common.command = {"/bin/sleep", "60"};
    owned_.emplace(*OwnedProcess::launch({.argv = command_.common.command}));
    root_ = *NativeProcessInventory().inspect(owned_->root_pid());
    actuator_.emplace(script_, [this](int signal) { deliver(signal); });
  }
  ~Harness() {
    // A command that observe mode let go of is this process's to end (and
    // only then: a root the run reaped may have handed its pid on).
    if (::waitpid(root_.pid, nullptr, WNOHANG) == 0) {
      ::kill(root_.pid, SIGKILL);
      ::waitpid(root_.pid, nullptr, 0);
    }
  }

  cli::ExecutionOutcome run() {
    const PolicyConfig config =
        *enforcement_config(kLimit, script_.interval, script_.wall_time, std::nullopt);
    RunMode mode(*PolicyMachine::enforce_with_initial_request_id(config, 7), *actuator_);
    return supervise(mode, run_report_configuration(config, script_.interval));
  }

  cli::ExecutionOutcome observe() {
    const SampleBounds bounds = sample_bounds(script_.interval);
    ObserveMode mode(PolicyMachine::observe_only(bounds.max_sample_age, bounds.max_sample_window));
    return supervise(mode, observe_report_configuration(script_.interval));
  }

  // The run's journal as it was left on disk, and its records as lines_of
  // shows them.
  JournalRecovery journal() const {
    return test_support::read_journal_file(area_.journal_path()).value_or(JournalRecovery{});
  }
  std::string records() const { return lines_of(journal()); }

  const FakeActuator& actuator() const { return *actuator_; }
  FakeActuator& actuator() { return *actuator_; }
  pid_t root() const { return root_.pid; }
  TestFileIo io;

 private:
  cli::ExecutionOutcome supervise(SupervisionMode& mode, const ReportConfiguration& configuration) {
    const SampleBounds bounds = sample_bounds(script_.interval);
    const SamplingConfig sampling = *SamplingConfig::create(script_.interval, bounds.max_sample_age,
                                                            bounds.max_sample_window, 4096);
    write_footprint(script_.footprints.front());
    SupervisionParts parts{
        .monitor = *TerminalSignalMonitor::install(),
        .journal = SupervisionJournal(*create_run_journal(command_, configuration, false, io),
                                      script_.record_limit),
        .sampling = sampling,
        .parent = ParentWatcher::start(OnParentExit::Detach),
        .observer = NativeAdvisoryObserver(std::nullopt),
        .sampler = FootprintSampler(sampling, *IdentityTracker::create(root_.identity(), root_.pid),
                                    NativeProcessInventory(proc_.path())),
        .owned = std::move(*owned_),
    };
    int pass = 0;
    clock_.on_wait = [&] {
      ++pass;
      write_footprint(
          script_.footprints[std::min<std::size_t>(pass, script_.footprints.size() - 1)]);
      if (const auto signal = script_.signals.find(pass); signal != script_.signals.end()) {
        ::raise(signal->second);
      }
      if (pass == script_.root_ends_at) end_root(SIGKILL);
      // A member back in the group ends by itself some passes later (as a
      // helper's alarm would end it), so that a kill that never comes shows
      // as a record missing, not as a run without end.
      if (member_kills_left_ > 0 && ++member_passes_ == 20) end_member();
    };
    Supervisor supervisor(std::move(parts), clock_);
    return supervisor.supervise(mode);
  }

  // A signal reaches the command: the root ends (see end_root), and a
  // SIGKILL brings the scripted member back into the group, or kills it.
  void deliver(int signal) {
    end_root(signal);
    if (signal != SIGKILL || script_.member_back_for_kills == 0) return;
    if (member_kills_left_ < 0) {
      member_kills_left_ = script_.member_back_for_kills;
      write_entry(root_.pid + 1, "worker", 'S', root_.start_time + 1, 150 * kMiB);
    } else if (member_kills_left_ > 0 && --member_kills_left_ == 0) {
      end_member();
    }
  }

  // The scripted member dies, a zombie left to its new parent to reap.
  void end_member() {
    member_kills_left_ = 0;
    write_entry(root_.pid + 1, "worker", 'Z', root_.start_time + 1, std::nullopt);
  }

  // Ends the real root with `signal` and waits until it is a zombie, so that
  // the next pass sees its exit, as its entry in the fake table then does.
  void end_root(int signal) {
    ::kill(root_.pid, signal);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(root_.pid), &info, WEXITED | WNOWAIT);
    if (root_ended_ || script_.blind) return;
    root_ended_ = true;
    write_entry(root_.pid, "sleep", 'Z', root_.start_time, std::nullopt);
  }

  void write_footprint(uint64_t bytes) {
    if (script_.blind || root_ended_ || bytes == written_) return;
    written_ = bytes;
    write_entry(root_.pid, "sleep", 'S', root_.start_time, bytes);
  }

  // A process of the owned group in the fake table: its stat (fields 1 to
  // 22: pid, name, state, parent, group, ..., threads (20), start time (22))
  // and a status with its footprint (none for a zombie).
  void write_entry(int32_t pid, const std::string& name, char state, uint64_t start_time,
                   std::optional<uint64_t> bytes) {
    const std::string dir = proc_.file(std::to_string(pid));
    ::mkdir(dir.c_str(), 0700);
    test_support::write_file(dir + "/stat", std::to_string(pid) + " (" + name + ") " + state +
                                                " 1 " + std::to_string(root_.pid) +
                                                " 0 0 0 0 0 0 0 0 0 0 0 0 20 0 1 0 " +
                                                std::to_string(start_time) + "\n");
    test_support::write_file(
        dir + "/status",
        (bytes ? "RssAnon:\t" + std::to_string(*bytes / 1024) + " kB\n" : "") + "Threads:\t1\n");
  }

  Script script_;
  test_support::RunArea area_;
  test_support::TempDir proc_;
  cli::NormalizedCommand command_;
  std::optional<OwnedProcess> owned_;
  ProcessRecord root_;
  uint64_t written_ = 0;
  bool root_ended_ = false;
  // The scripted member's SIGKILLs to go once it is back; -1 before.
  int member_kills_left_ = -1;
  int member_passes_ = 0;
  std::optional<FakeActuator> actuator_;
  FakeClock clock_;
};

// Every record that each way of intervening leads to, pinned: the
// transitions with their footprint, the signal records with their reasons and
// results, the checkpoint record and the outcome.
TEST(RunLoop, EachInterventionIsJournaledWithItsReason) {
  using Kind = InterventionKind;
  const std::vector<uint64_t> breach = {10 * kMiB, 105 * kMiB};
  const std::vector<std::tuple<const char*, Script, const char*>> rows = {
      {"emergency band",
       {.footprints = {10 * kMiB, 120 * kMiB}},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"emergency","aggregate_footprint_bytes":125829120}
signal {"at_ms":107,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":207,"from":"emergency","to":"exited","aggregate_footprint_bytes":125829120}
checkpoint {"status":"not_negotiated"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":207,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":125829120},"child_status":{"status":"signaled","signal":9}}
)"},
      // No client: the request fails before any signal, and SIGTERM follows at once.
      {"breach, no client",
       {.footprints = breach},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"warning","aggregate_footprint_bytes":110100480}
sample x1
transition {"at_ms":210,"from":"warning","to":"checkpoint_requested","aggregate_footprint_bytes":110100480}
transition {"at_ms":210,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":110100480}
signal {"at_ms":210,"signal":15,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":310,"from":"terminating","to":"exited","aggregate_footprint_bytes":110100480}
checkpoint {"status":"not_negotiated","reason":"footprint"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":310,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":110100480},"child_status":{"status":"signaled","signal":15}}
)"},
      {"client accepts",
       {.footprints = breach, .client = Script::Client::Accepts},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"warning","aggregate_footprint_bytes":110100480}
sample x1
transition {"at_ms":210,"from":"warning","to":"checkpoint_requested","aggregate_footprint_bytes":110100480}
signal {"at_ms":210,"signal":10,"target":"cooperative_endpoint","result":"delivered","reason":"footprint"}
transition {"at_ms":310,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":110100480}
signal {"at_ms":310,"signal":15,"target":"owned_process_group","result":"delivered","reason":"footprint"}
sample x1
transition {"at_ms":413,"from":"terminating","to":"exited","aggregate_footprint_bytes":0}
checkpoint {"status":"acknowledged_unverified_durability","at_ms":310,"request_id":7,"reason":"footprint","artifact":{"kind":"file","size_bytes":4096}}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":413,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":0},"child_status":{"status":"signaled","signal":15}}
)"},
      {"client never answers",
       {.footprints = breach, .client = Script::Client::Silent},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"warning","aggregate_footprint_bytes":110100480}
sample x1
transition {"at_ms":210,"from":"warning","to":"checkpoint_requested","aggregate_footprint_bytes":110100480}
signal {"at_ms":210,"signal":10,"target":"cooperative_endpoint","result":"delivered","reason":"footprint"}
sample x10
transition {"at_ms":1216,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":110100480}
signal {"at_ms":1216,"signal":15,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":1315,"from":"terminating","to":"exited","aggregate_footprint_bytes":110100480}
checkpoint {"status":"timed_out","at_ms":1216,"request_id":7,"reason":"footprint"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":1315,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":110100480},"child_status":{"status":"signaled","signal":15}}
)"},
      {"client gone",
       {.footprints = breach,
        .client = Script::Client::Silent,
        .failures = {{Kind::CheckpointRequest, InterventionFailure::EndpointMissing}}},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"warning","aggregate_footprint_bytes":110100480}
sample x1
transition {"at_ms":210,"from":"warning","to":"checkpoint_requested","aggregate_footprint_bytes":110100480}
transition {"at_ms":210,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":110100480}
signal {"at_ms":210,"signal":10,"target":"cooperative_endpoint","result":"process_missing","reason":"footprint"}
signal {"at_ms":210,"signal":15,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":310,"from":"terminating","to":"exited","aggregate_footprint_bytes":110100480}
checkpoint {"status":"cancelled","at_ms":210,"reason":"footprint"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":310,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":110100480},"child_status":{"status":"signaled","signal":15}}
)"},
      {"SIGTERM refused",
       {.footprints = breach,
        .failures = {{Kind::Terminate, InterventionFailure::PermissionDenied}}},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"warning","aggregate_footprint_bytes":110100480}
sample x1
transition {"at_ms":210,"from":"warning","to":"checkpoint_requested","aggregate_footprint_bytes":110100480}
transition {"at_ms":210,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":110100480}
transition {"at_ms":210,"from":"terminating","to":"emergency","aggregate_footprint_bytes":110100480}
signal {"at_ms":210,"signal":15,"target":"owned_process_group","result":"permission_denied","reason":"footprint"}
signal {"at_ms":210,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":310,"from":"emergency","to":"exited","aggregate_footprint_bytes":110100480}
checkpoint {"status":"not_negotiated","reason":"footprint"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":310,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":110100480},"child_status":{"status":"signaled","signal":9}}
)"},
      {"SIGTERM ignored",
       {.footprints = breach, .ignored = {Kind::Terminate}},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"warning","aggregate_footprint_bytes":110100480}
sample x1
transition {"at_ms":210,"from":"warning","to":"checkpoint_requested","aggregate_footprint_bytes":110100480}
transition {"at_ms":210,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":110100480}
signal {"at_ms":210,"signal":15,"target":"owned_process_group","result":"delivered","reason":"footprint"}
sample x10
transition {"at_ms":1216,"from":"terminating","to":"emergency","aggregate_footprint_bytes":110100480}
signal {"at_ms":1216,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":1315,"from":"emergency","to":"exited","aggregate_footprint_bytes":110100480}
checkpoint {"status":"not_negotiated","reason":"footprint"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":1315,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":110100480},"child_status":{"status":"signaled","signal":9}}
)"},
      // The band does not wait for the grace deadline (1210 ms): the first
      // sample past it kills.
      {"SIGTERM ignored, then past the band",
       {.footprints = {10 * kMiB, 105 * kMiB, 105 * kMiB, 120 * kMiB},
        .ignored = {Kind::Terminate}},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"warning","aggregate_footprint_bytes":110100480}
sample x1
transition {"at_ms":210,"from":"warning","to":"checkpoint_requested","aggregate_footprint_bytes":110100480}
transition {"at_ms":210,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":110100480}
signal {"at_ms":210,"signal":15,"target":"owned_process_group","result":"delivered","reason":"footprint"}
sample x1
transition {"at_ms":313,"from":"terminating","to":"emergency","aggregate_footprint_bytes":125829120}
signal {"at_ms":313,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":413,"from":"emergency","to":"exited","aggregate_footprint_bytes":125829120}
checkpoint {"status":"not_negotiated","reason":"footprint"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":413,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":125829120},"child_status":{"status":"signaled","signal":9}}
)"},
      // The next sample is due only at 10 s: the wall time does not wait for it,
      // nor does the grace deadline, and the kill is the footprint's.
      {"wall time, SIGTERM ignored, then past the band",
       {.footprints = {10 * kMiB, 10 * kMiB, 120 * kMiB},
        .wall_time = Duration::from_secs(1),
        .interval = Duration::from_secs(10),
        .ignored = {Kind::Terminate}},
       R"(sample x2
transition {"at_ms":1006,"from":"normal","to":"checkpoint_requested","aggregate_footprint_bytes":10485760}
transition {"at_ms":1006,"from":"checkpoint_requested","to":"terminating","aggregate_footprint_bytes":10485760}
signal {"at_ms":1006,"signal":15,"target":"owned_process_group","result":"delivered","reason":"wall_time"}
sample x1
transition {"at_ms":2011,"from":"terminating","to":"emergency","aggregate_footprint_bytes":125829120}
signal {"at_ms":2011,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
transition {"at_ms":12011,"from":"emergency","to":"exited","aggregate_footprint_bytes":125829120}
checkpoint {"status":"not_negotiated","reason":"wall_time"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":12011,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":125829120},"child_status":{"status":"signaled","signal":9}}
)"},
      // Terminal signals are the user's, not interventions: the command's own
      // status stands, and a second one kills for the same reason.
      {"SIGINT twice",
       {.signals = {{2, SIGINT}, {3, SIGINT}}, .ignored = {Kind::ForwardedSignal}},
       R"(sample x2
transition {"at_ms":208,"from":"normal","to":"terminating","aggregate_footprint_bytes":10485760}
signal {"at_ms":208,"signal":2,"target":"owned_process_group","result":"delivered","reason":"external_signal"}
sample x1
transition {"at_ms":312,"from":"terminating","to":"emergency","aggregate_footprint_bytes":10485760}
signal {"at_ms":312,"signal":9,"target":"owned_process_group","result":"delivered","reason":"external_signal"}
sample x1
transition {"at_ms":415,"from":"emergency","to":"exited","aggregate_footprint_bytes":0}
checkpoint {"status":"not_negotiated"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":415,"kind":"child_signaled","signal":9,"final_footprint_bytes":{"status":"available","value":0},"child_status":{"status":"signaled","signal":9}}
)"},
      // A member that was outside the group at the kill and got back in is
      // killed by the next pass, and again by each pass that finds it alive,
      // for the reason of the kill it outlived.
      {"emergency band, a member back for two kills",
       {.footprints = {10 * kMiB, 120 * kMiB}, .member_back_for_kills = 2},
       R"(sample x2
transition {"at_ms":107,"from":"normal","to":"emergency","aggregate_footprint_bytes":125829120}
signal {"at_ms":107,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
signal {"at_ms":207,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
sample x1
signal {"at_ms":313,"signal":9,"target":"owned_process_group","result":"delivered","reason":"footprint"}
sample x1
transition {"at_ms":417,"from":"emergency","to":"exited","aggregate_footprint_bytes":0}
checkpoint {"status":"not_negotiated"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":417,"kind":"policy_intervention","final_footprint_bytes":{"status":"available","value":0},"child_status":{"status":"signaled","signal":9}}
)"},
      // Repeating the user's kill does not make the run an intervention.
      {"SIGINT twice, a member back",
       {.signals = {{2, SIGINT}, {3, SIGINT}},
        .ignored = {Kind::ForwardedSignal},
        .member_back_for_kills = 1},
       R"(sample x2
transition {"at_ms":208,"from":"normal","to":"terminating","aggregate_footprint_bytes":10485760}
signal {"at_ms":208,"signal":2,"target":"owned_process_group","result":"delivered","reason":"external_signal"}
sample x1
transition {"at_ms":312,"from":"terminating","to":"emergency","aggregate_footprint_bytes":10485760}
signal {"at_ms":312,"signal":9,"target":"owned_process_group","result":"delivered","reason":"external_signal"}
sample x1
signal {"at_ms":415,"signal":9,"target":"owned_process_group","result":"delivered","reason":"external_signal"}
sample x1
transition {"at_ms":521,"from":"emergency","to":"exited","aggregate_footprint_bytes":0}
checkpoint {"status":"not_negotiated"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":521,"kind":"child_signaled","signal":9,"final_footprint_bytes":{"status":"available","value":0},"child_status":{"status":"signaled","signal":9}}
)"},
      {"three unusable samples",
       {.blind = true},
       R"(sample x3
transition {"at_ms":210,"from":"normal","to":"supervisor_error"}
signal {"at_ms":210,"signal":15,"target":"owned_process_group","result":"delivered","reason":"observation_failure"}
transition {"at_ms":310,"from":"supervisor_error","to":"exited"}
checkpoint {"status":"not_negotiated"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":310,"kind":"supervisor_failure","final_footprint_bytes":{"status":"unknown"},"child_status":{"status":"signaled","signal":15}}
)"},
  };
  for (const auto& [what, script, records] : rows) {
    SCOPED_TRACE(what);
    Harness harness(script);
    const cli::ExecutionOutcome outcome = harness.run();
    EXPECT_FALSE(outcome.stdout_text.empty()) << outcome.stderr_text;
    EXPECT_EQ(harness.records(), records);
  }
}

// More than 4096 samples: the first 4096 are journaled as they come, the
// rest only kept in the history, which the closing records write again after
// a reset; the report holds exactly the last 4096.
// A kill at the emergency band goes out before its transition is journaled,
// whose sync to disk it would otherwise wait for; the records keep their
// order.
TEST(RunLoop, AKillGoesOutBeforeItsTransitionIsJournaled) {
  Harness harness({.footprints = {10 * kMiB, 120 * kMiB}});
  std::vector<std::string> last_records;
  harness.actuator().on_execute = [&] {
    const JournalRecovery journal = harness.journal();
    last_records.emplace_back(journal.records.empty() ? "" : journal.records.back().entry.name());
  };
  EXPECT_EQ(harness.run().kind, Tag::PolicyIntervention);
  EXPECT_EQ(last_records, std::vector<std::string>{"sample"});
  EXPECT_EQ(harness.records().substr(0, harness.records().find("checkpoint")),
            "sample x2\ntransition {\"at_ms\":107,\"from\":\"normal\",\"to\":\"emergency\","
            "\"aggregate_footprint_bytes\":125829120}\nsignal {\"at_ms\":107,\"signal\":9,"
            "\"target\":\"owned_process_group\",\"result\":\"delivered\",\"reason\":"
            "\"footprint\"}\ntransition {\"at_ms\":207,\"from\":\"emergency\",\"to\":"
            "\"exited\",\"aggregate_footprint_bytes\":125829120}\n");
}

TEST(RunLoop, ALongRunJournalsAResetAndThenTheLast4096Samples) {
  Harness harness({.root_ends_at = 4100, .interval = Duration::from_millis(10)});
  const cli::ExecutionOutcome outcome = harness.run();
  EXPECT_EQ(outcome.kind, Tag::ChildSignaled);
  const JournalRecovery journal = harness.journal();
  EXPECT_EQ(lines_of(journal), R"(sample x4096
transition {"at_ms":53301,"from":"normal","to":"exited","aggregate_footprint_bytes":10485760}
sample_history_reset
sample x4096
checkpoint {"status":"not_negotiated"}
escape {"detected":{"status":"available","value":false}}
outcome {"at_ms":53301,"kind":"child_signaled","signal":9,"final_footprint_bytes":{"status":"available","value":10485760},"child_status":{"status":"signaled","signal":9}}
)");
  // The 4100 passes were 13 ms apart: samples 4 to 4099 are kept.
  std::vector<SampleWindow> first, kept;
  for (const JournalRecord& record : journal.records) {
    if (record.entry.type() == JournalEntry::Type::SampleHistoryReset) first.swap(kept);
    if (const auto* window = record.entry.payload_if<SampleWindow>()) kept.push_back(*window);
  }
  ASSERT_EQ(first.size(), 4096U);
  ASSERT_EQ(kept.size(), 4096U);
  EXPECT_EQ(kept.front(), first[4]);
  EXPECT_EQ(kept.back().captured_at_ms, first.back().captured_at_ms + 4 * 13);
  EXPECT_EQ(journal.to_report()->samples, kept);
}

// A footprint swinging across the warning band fills the room left to
// optional records with its transitions; past it they are left out, while
// every sample and the enforcement that ends the run are journaled in full.
TEST(RunLoop, FlappingStopsAtItsRecordBudgetAndEnforcementIsStillJournaled) {
  constexpr uint64_t kOptionalRoom = 100;
  Script script{.record_limit = kClosingRecordReserve + kKeptRecordHeadroom + kOptionalRoom};
  script.footprints.clear();
  for (int pass = 0; pass < 200; ++pass) script.footprints.push_back((pass % 2 ? 70 : 95) * kMiB);
  script.footprints.push_back(105 * kMiB);
  Harness harness(script);
  EXPECT_EQ(harness.run().kind, Tag::PolicyIntervention);

  const JournalRecovery journal = harness.journal();
  const auto in_band = [](PolicyState state) {
    return state == PolicyState::Normal || state == PolicyState::Warning;
  };
  std::size_t band_transitions = 0, samples = 0;
  std::vector<PolicyState> enforcement;
  for (std::size_t i = 0; i < journal.records.size(); ++i) {
    const JournalEntry& entry = journal.records[i].entry;
    if (entry.type() == JournalEntry::Type::Sample) ++samples;
    const auto* transition = entry.payload_if<TransitionRecord>();
    if (transition == nullptr) continue;
    if (in_band(transition->from) && in_band(transition->to)) {
      ++band_transitions;
      EXPECT_LT(i, kOptionalRoom) << "a flapping transition at record " << i;
    } else {
      enforcement.push_back(transition->to);
    }
  }
  EXPECT_GT(band_transitions, 10U);
  EXPECT_EQ(samples, 202U);
  EXPECT_EQ(enforcement, (std::vector<PolicyState>{PolicyState::CheckpointRequested,
                                                   PolicyState::Terminating, PolicyState::Exited}));
}

// A journal that fails in mid-run costs the report, not the enforcement: the
// run goes on to its end, and says why there is no report.
TEST(RunLoop, AJournalThatFailsMidRunStillEnforcesAndSaysWhy) {
  for (const bool sync : {false, true}) {
    SCOPED_TRACE(sync ? "sync" : "write");
    Harness harness({.footprints = {10 * kMiB, 10 * kMiB, 120 * kMiB}});
    // The first write after the header's is a sample's; the first sync, the
    // emergency transition's.
    (sync ? harness.io.fail_sync : harness.io.fail_write) = sync ? 4 : 3;
    const cli::ExecutionOutcome outcome = harness.run();
    EXPECT_EQ(outcome.kind, Tag::PartialArtifactFailure);
    EXPECT_EQ(outcome.stdout_text, "");
    EXPECT_EQ(outcome.stderr_text,
              std::string("vek-guard: artifact ") + (sync ? "synchronization" : "write") +
                  " failed; safety enforcement continues; complete report unavailable\n");
    EXPECT_EQ(harness.actuator().executed, std::vector<InterventionKind>{InterventionKind::Kill});
  }
}

// The journal's very first write fails: the run ends before anything is
// launched, and says why.
TEST(RunLoop, AJournalThatCannotBeWrittenStopsTheRunBeforeTheLaunch) {
  test_support::RunArea area;
  cli::NormalizedCommand command;
  command.common.report_path = area.report_path();
  command.common.command = {"/bin/true"};
  TestFileIo io;
  io.fail_write = 1;
  const auto created = create_run_journal(command, ReportConfiguration{}, false, io);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error(),
            cli::failure_outcome(Tag::PartialArtifactFailure, "artifact write failed"));
}

// Samples that are never usable: one transition to supervisor_error after
// the third, then observation ends and leaves the command running, with a
// calibration summary of what it saw.
TEST(ObserveLoop, ThreeUnusableSamplesEndObservationAndLeaveTheCommandRunning) {
  Harness harness({.blind = true});
  const cli::ExecutionOutcome outcome = harness.observe();
  EXPECT_EQ(outcome.kind, Tag::SupervisorFailure);
  EXPECT_EQ(outcome.stderr_text, "vek-guard: footprint observation failed\n");
  EXPECT_TRUE(test_support::process_running(harness.root()));
  EXPECT_EQ(harness.records(), R"(sample x3
transition {"at_ms":207,"from":"observe","to":"supervisor_error"}
checkpoint {"status":"not_negotiated"}
escape {"detected":{"status":"available","value":false}}
calibration {"schema_version":1,"observation_only":true,"safety_certified":false,"total_samples":3,"complete_samples":0,"incomplete_samples":3,"observed_duration_ms":204,"peak_aggregate_footprint_bytes":{"status":"unknown"},"peak_growth_bytes_per_second":{"status":"unknown"},"automatic_limit_bytes":null,"guidance":"choose_explicit_limit_from_repeated_representative_runs"}
outcome {"at_ms":208,"kind":"supervisor_failure","final_footprint_bytes":{"status":"unknown"}}
)");
}

}  // namespace
}  // namespace vek_guard::runtime
