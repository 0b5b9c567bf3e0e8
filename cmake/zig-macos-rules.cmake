# The link of a macOS module (zig.cmake), read after CMake's own rules: a bundle whose
# interpreter symbols are looked up when the interpreter loads it, linked by ld64.lld against
# the libSystem stubs. CMake's linker options (LINKER:...) reach ld64.lld as they are.
set(CMAKE_CXX_LINKER_WRAPPER_FLAG "")
set(CMAKE_CXX_LINKER_WRAPPER_FLAG_SEP "")
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-bundle -headerpad_max_install_names")
set(CMAKE_CXX_CREATE_SHARED_MODULE
    "\"${MACOS_LINKER}\" -arch ${macos_arch} -platform_version macos ${macos_minimum} ${MACOS_SDK_VERSION} -dead_strip <LINK_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES> -L \"${MACOS_STUBS}\" -lSystem")
