# The dependency check on its own, without configuring the project:
#   cmake [-DVORLANE_BUILD_TESTS=ON] [-DVORLANE_PYTHON_INCLUDE_DIR=...] -P cmake/check_dependencies.cmake
if(NOT DEFINED VORLANE_BUILD_MODULE)
  set(VORLANE_BUILD_MODULE ON)
endif()
# Script mode loads no platform: give the searches the usual system places.
if(NOT CMAKE_SYSTEM_PREFIX_PATH)
  set(CMAKE_SYSTEM_PREFIX_PATH /usr/local /usr /)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/dependencies.cmake)
vorlane_check_dependencies()
message(STATUS "vorlane: every system package the build needs is installed")
