# Cross build for the ARMv7 hard-float board with Debian's crossbuild-essential-armhf and the
# armhf -dev packages installed beside the build host's (multiarch): scripts/install-armhf-deps.sh.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
# Tests and tools run under qemu-arm, which finds the armhf loader and libraries where multiarch
# put them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# The board's CPU: ARMv7-A with NEON (Cortex-A7 and later), hard-float calls.
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=neon-vfpv4 -mfloat-abi=hard -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=neon-vfpv4 -mfloat-abi=hard -Wno-psabi")

# Libraries and headers of the armhf packages only; programs (node, npm, qemu) of the build host.
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-linux-gnueabihf /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

find_program(VELKARO_QEMU_ARM qemu-arm)
if(VELKARO_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKARO_QEMU_ARM})
endif()
