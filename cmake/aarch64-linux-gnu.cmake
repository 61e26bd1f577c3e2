# Cross build for the Raspberry Pi's 64-bit OS with Debian's cross compiler.
# The target's libraries are Debian's arm64 packages, installed side by side
# with the build machine's (multiarch), so no sysroot is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config must answer for arm64, not for the build machine.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "")

# The tests run under user-mode emulation; ctest and the test discovery
# prefix every test binary with it.
find_program(VTN_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VTN_QEMU_AARCH64})
