// Asio's configuration for the whole project.  The build includes this file
// ahead of everything else in every translation unit that can see Asio (see
// core/CMakeLists.txt), so all of them compile Asio's header-only code alike.
#pragma once

#include <asio/detail/config.hpp>

// No timerfd: the epoll reactor then takes its timer deadlines from the
// epoll_wait timeout (to the millisecond) instead of a timer descriptor.
// Creating, registering and closing that descriptor was about a microsecond
// of every runtime build, the largest cost of a runtime beyond its epoll
// instance, its wake-up descriptor and its threads.
#undef ASIO_HAS_TIMERFD
