// One run at a time on a destination: a run that may write holds an
// exclusive lock on the destination's lock file ("manifest.lock") from
// before it reads the manifest until it ends; a run that only reads (-n,
// --verify) holds a shared one.
#pragma once

struct runstate;

// Takes the run's lock on its destination, waiting (and saying so once on
// standard error) while another run holds it. A run that may write creates
// the destination directory and the lock file when missing; a reading run
// takes no lock where there is no lock file. Failures end the run.
void lockdestination(runstate* rs);
// A run that may write into a missing destination makes it (one level: its
// parent must exist), so that a first run into a new directory works;
// --uninstall has nothing to do there. A failure ends the run.
void makedestination(const runstate* rs);
// --uninstall that removed everything: the lock file goes too, while it is
// still held (a run waiting for it then opens a new one).
void removelockfile(const runstate* rs);
