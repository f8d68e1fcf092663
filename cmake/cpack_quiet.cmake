# Read by cpack while it packages: its notes meant for CMake's own
# developers are not the package's business.
set(CMAKE_SUPPRESS_DEVELOPER_WARNINGS ON)
