// The watch on the program that launched the supervisor.
//
// A supervisor whose launcher goes away (a closed terminal, a killed job
// runner) would otherwise keep its command running for nobody. At start-up
// the watcher decides whether the launching parent can be watched at all
// (what the report records as `parent_watch`); each supervision pass then
// asks whether the watched parent has exited.
//
//   ParentWatcher parent = ParentWatcher::start(OnParentExit::Terminate);
//   report.parent_watch = parent.watch();
//   ... each pass: if (parent.check_exited()) act_on_parent_exit(now);
//
// Supervision thread only. Nothing here fails: a parent that cannot be
// looked at is ParentUnobservable, and is then not watched.
#ifndef VEK_GUARD_PARENT_WATCHER_H_
#define VEK_GUARD_PARENT_WATCHER_H_

#include <optional>

#include "vek_guard/identity.h"
#include "vek_guard/report.h"

namespace vek_guard {

class ParentWatcher {
 public:
  // Looks at the launching parent once, as `on_parent_exit` asks, and
  // settles the watch, the first that applies:
  //  - SIGHUP's action cannot be read: ParentUnobservable;
  //  - terminating, and the parent is the init process (getppid() < 2):
  //    ParentIsLaunchd;
  //  - terminating, and SIGHUP is ignored (nohup): HangupIgnored;
  //  - the parent cannot be inspected, or has exited: ParentUnobservable;
  //  - otherwise Active (terminating) or Detach, and the parent's identity
  //    (pid and start time) is watched.
  static ParentWatcher start(OnParentExit on_parent_exit);

  // The watch as the report records it.
  ParentWatch watch() const { return watch_; }
  OnParentExit on_parent_exit() const { return on_parent_exit_; }
  // The watched parent; present for Active and Detach.
  const std::optional<ProcessIdentity>& parent() const { return parent_; }

  // Whether the watched parent has exited, checked now: true exactly once,
  // at the first check that finds it gone; false while it lives, after that
  // first time, and when no parent is watched. A different parent pid alone
  // is no proof (a subreaper may have adopted the supervisor while the
  // parent lives on); only an inspection of the watched identity is.
  bool check_exited();

 private:
  ParentWatcher() = default;

  std::optional<ProcessIdentity> parent_;
  OnParentExit on_parent_exit_ = OnParentExit::Terminate;
  ParentWatch watch_ = ParentWatch::ParentUnobservable;
  bool exit_seen_ = false;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_PARENT_WATCHER_H_
