#include "vek_guard/parent_watcher.h"

#include <unistd.h>

#include "vek_guard/supervisor_signals.h"

namespace vek_guard {

ParentWatcher ParentWatcher::start(OnParentExit on_parent_exit) {
  ParentWatcher watcher;
  watcher.on_parent_exit_ = on_parent_exit;
  Result<bool, ControlError> ignored = process_control::hangup_is_ignored();
  if (!ignored) {
    watcher.watch_ = ParentWatch::ParentUnobservable;
    return watcher;
  }
  const pid_t parent = ::getppid();
  const bool terminate = on_parent_exit == OnParentExit::Terminate;
  // Adopted by init already: the launcher is gone, or never was ours to
  // watch.
  if (terminate && parent < 2) {
    watcher.watch_ = ParentWatch::ParentIsLaunchd;
    return watcher;
  }
  // Under nohup the user asked for the run to outlive its terminal.
  if (terminate && *ignored) {
    watcher.watch_ = ParentWatch::HangupIgnored;
    return watcher;
  }
  Result<ProcessRecord, InspectionError> record =
      NativeProcessInventory().inspect(parent < 0 ? 0 : parent);
  if (!record || record->exited) {
    watcher.watch_ = ParentWatch::ParentUnobservable;
    return watcher;
  }
  watcher.parent_ = record->identity();
  watcher.watch_ = terminate ? ParentWatch::Active : ParentWatch::Detach;
  return watcher;
}

bool ParentWatcher::check_exited() {
  if (exit_seen_ || !parent_) return false;
  pid_t current = ::getppid();
  if (current < 0) current = 0;
  if (current == parent_->pid) return false;
  // A different parent pid alone does not prove the exit (a subreaper may
  // have adopted us while the parent lives on); only an inspection does.
  Result<ProcessRecord, InspectionError> parent =
      NativeProcessInventory().inspect_expected(*parent_);
  if (parent && !parent->exited) return false;
  exit_seen_ = true;
  return true;
}

}  // namespace vek_guard
