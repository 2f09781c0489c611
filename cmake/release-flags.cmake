# Release builds optimise at -O2, as the distributions build their packages
# (CMake's own Release default is -O3). Read while the C++ compiler is set up,
# before the cache gets its defaults; a value given on the command line wins.
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
