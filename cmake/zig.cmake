# Builds for Linux with Zig's Clang (the ziglang package, requirements/wheel.txt): the manylinux
# wheels. ZIG_TARGET is Zig's target, the CPU, the system and the oldest glibc to run on, such as
# aarch64-linux-gnu.2.17 (manylinux2014's glibc). Zig brings the C library's headers and link
# stubs for every target, so no sysroot is needed.
if(NOT ZIG_TARGET)
  message(FATAL_ERROR "zig.cmake needs ZIG_TARGET, such as x86_64-linux-gnu.2.17")
endif()
# try_compile projects read this file again and need the target too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET)

string(REGEX MATCH "^[^-]+" cpu "${ZIG_TARGET}")
if(NOT ZIG_TARGET MATCHES "-linux-gnu")
  message(FATAL_ERROR "zig.cmake builds for glibc Linux, not ${ZIG_TARGET}")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${cpu}")

# Zig would otherwise build its libc++ for the target and link it in; nothing here uses it.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig/c++")
set(CMAKE_CXX_FLAGS_INIT "-target ${ZIG_TARGET}")
foreach(kind IN ITEMS SHARED MODULE EXE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-target ${ZIG_TARGET} -nostdlib++")
endforeach()
foreach(tool IN ITEMS AR RANLIB)
  string(TOLOWER "${tool}" name)
  set(CMAKE_${tool} "${CMAKE_CURRENT_LIST_DIR}/zig/${name}" CACHE FILEPATH "")
  set(CMAKE_CXX_COMPILER_${tool} "${CMAKE_CURRENT_LIST_DIR}/zig/${name}" CACHE FILEPATH "")
endforeach()
