# Cross-builds kestova.exe and the Windows test programs on Debian with its
# MinGW-w64 compiler (the POSIX thread model, which std::thread and
# std::mutex need), x86-64, for Windows 7 and later. Programs are linked
# statically: kestova.exe imports only DLLs that every Windows has. Tests run
# under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kestova_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kestova_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kestova_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${kestova_mingw}-windres)

# Only the cross compiler's own folders are searched for libraries and
# headers; programs (the build's tools) come from the machine.
set(CMAKE_FIND_ROOT_PATH /usr/${kestova_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 is the oldest system served; every call is the Unicode one.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest and GoogleTest's discovery run the programs under Wine, in a Windows
# prefix of the build's own.
find_program(KESTOVA_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine-prefix)
