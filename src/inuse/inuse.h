// Files that another program held open when a run had to replace or remove
// them: the platform layer moves such a file aside and deletes it, and when
// it cannot be deleted yet, "manifest.inuse" in the destination lists it
// (relative to the destination) until a later run can.
#pragma once

struct runstate;

// Deletes the files that earlier runs left aside, where that works now.
// Nothing happens in a run that writes nothing (-n, --verify).
void removeleftaside(runstate* rs);
// Writes the list of files still aside (the earlier ones that stayed and
// this run's), or removes it when none is left.
void recordleftaside(runstate* rs);
// A file that another program holds open so that it can be neither
// replaced nor moved aside (EBUSY): a warning that it was not replaced
// (replace) or not removed, and the run ends with status 2.
void keptinuse(const char* path, bool replace);
// 2 when this run left a file aside or in place for being in use, else 0.
int leftasidestatus();
