# Included right after project() in the Windows build (CMAKE_PROJECT_INCLUDE):
# there is no GoogleTest built for the target, so it is built here from
# Debian's sources, and the tests' find_package(GTest) is answered by it.
include(FetchContent)
# The googletest folder itself, not its parent with googlemock: this content's
# variables (gtest_SOURCE_DIR...) then agree with those of its own project().
set(QORVAND_GOOGLETEST_SOURCES "/usr/src/googletest/googletest" CACHE PATH "GoogleTest sources to build for Windows")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
FetchContent_Declare(GTest SOURCE_DIR ${QORVAND_GOOGLETEST_SOURCES} OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
