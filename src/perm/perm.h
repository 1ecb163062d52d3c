// Permission files: one "perm." script per package.
#pragma once

struct runstate;
struct fileinfo;

void writepermfiles(runstate* rs);
void writeperms(runstate* rs, fileinfo* list1, fileinfo* list2, fileinfo* list3);
