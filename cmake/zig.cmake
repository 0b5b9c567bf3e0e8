# Builds with Zig's Clang (the ziglang package, requirements/wheel.txt) for another system or CPU.
# ZIG_TARGET is Zig's target: the CPU, the system and the oldest version to run on.
#  - aarch64-linux-gnu.2.17: the manylinux wheels (2.17 is manylinux2014's glibc). Zig brings the
#    C library's headers and link stubs for every target, so no sysroot is needed.
#  - aarch64-macos.11.0, x86_64-macos.10.13: macOS builds that are compiled and linked here but
#    never run (make macos). Zig brings macOS's C headers and the libSystem stubs; the bundles
#    are linked by LLVM's ld64.lld (MACOS_LINKER), as Zig's own Mach-O linker fails on them.
if(NOT ZIG_TARGET)
  message(FATAL_ERROR "zig.cmake needs ZIG_TARGET, such as x86_64-linux-gnu.2.17")
endif()
# try_compile projects read this file again and need the target too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET MACOS_LINKER)

string(REGEX MATCH "^[^-]+" cpu "${ZIG_TARGET}")

# Zig would otherwise build its libc++ for the target and link it in; nothing here uses it.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig/c++")
set(CMAKE_CXX_FLAGS_INIT "-target ${ZIG_TARGET}")
foreach(tool IN ITEMS AR RANLIB)
  string(TOLOWER "${tool}" name)
  set(CMAKE_${tool} "${CMAKE_CURRENT_LIST_DIR}/zig/${name}" CACHE FILEPATH "")
  set(CMAKE_CXX_COMPILER_${tool} "${CMAKE_CURRENT_LIST_DIR}/zig/${name}" CACHE FILEPATH "")
endforeach()

if(ZIG_TARGET MATCHES "-linux-gnu")
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${cpu}")
  foreach(kind IN ITEMS SHARED MODULE EXE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-target ${ZIG_TARGET} -nostdlib++")
  endforeach()
elseif(ZIG_TARGET MATCHES "^(x86_64|aarch64)-macos\\.([0-9.]+)$")
  set(macos_minimum "${CMAKE_MATCH_2}")
  if(cpu STREQUAL "aarch64")
    set(macos_arch arm64)
  else()
    set(macos_arch x86_64)
  endif()
  set(CMAKE_SYSTEM_NAME Darwin)
  set(CMAKE_SYSTEM_PROCESSOR "${macos_arch}")
  # The target's SDK is Zig's headers and stubs, not an Xcode one: CMake is kept from looking
  # for one and from adding -arch or -isysroot of its own.
  set(CMAKE_OSX_SYSROOT "/" CACHE PATH "")
  set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
  set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
  # Only the modules are linked (by the rule in zig-macos-rules.cmake); the configure checks
  # compile without linking.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  # The objects stay Mach-O: link-time optimisation would hand the linker the bitcode of Zig's
  # Clang, which is newer than any ld64.lld here can read.
  set(TOOLS_LTO OFF CACHE BOOL "")
  if(NOT MACOS_LINKER)
    find_program(MACOS_LINKER NAMES ld64.lld ld64.lld-19 REQUIRED)
  endif()

  # Zig's libSystem stubs (text-based, one document per library that libSystem re-exports)
  # name the architectures of the newest SDKs, some of which LLVM 19's reader does not know
  # (arm64e.x1), and list the system's own arm64 libraries as arm64e, which arm64 code links
  # against. A copy for this build keeps, in every list of targets, this architecture's macOS
  # entry alone, under the name the linker expects.
  execute_process(COMMAND python3 -m ziglang env OUTPUT_VARIABLE zig_env COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "\\.lib_dir = \"([^\"]+)\"" found "${zig_env}")
  set(zig_darwin "${CMAKE_MATCH_1}/libc/darwin")
  set(MACOS_STUBS "${CMAKE_BINARY_DIR}/macos-stubs")
  execute_process(COMMAND python3 "${CMAKE_CURRENT_LIST_DIR}/zig/macos_stubs.py" "${zig_darwin}/libSystem.tbd"
                          "${macos_arch}" "${MACOS_STUBS}/libSystem.tbd" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${zig_darwin}/SDKSettings.json" sdk_settings)
  string(JSON MACOS_SDK_VERSION GET "${sdk_settings}" MinimalDisplayName)
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake")
else()
  message(FATAL_ERROR "zig.cmake builds for glibc Linux (CPU-linux-gnu.GLIBC) or macOS "
                      "(x86_64-macos.VERSION, aarch64-macos.VERSION), not ${ZIG_TARGET}")
endif()
