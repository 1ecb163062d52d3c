// GoogleTest for this project's unit tests. The framework pulls in a system
// header that declares an unrelated enumerator named P_ALL, which would clash
// with the platform-set constant of text/text.h; it is renamed while the
// framework is read. Include this instead of <gtest/gtest.h>, in any order
// relative to the project's headers.
#pragma once

#define P_ALL gtest_system_p_all
#include <gtest/gtest.h>
#undef P_ALL
