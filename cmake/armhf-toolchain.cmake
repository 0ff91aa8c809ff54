# Cross build for the 32-bit ARM board (armhf, hard float) with Debian's cross
# compiler and the armhf libraries installed beside the native ones
# (multiarch, scripts/install-armhf-deps.sh). Test programs run under qemu
# user emulation, so ctest works on the PC.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VBOARD_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VBOARD_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VBOARD_CROSS_TRIPLET}-g++)
# Libraries, CMake package files and pkg-config files of the target come from
# the multiarch directories /usr/lib/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE ${VBOARD_CROSS_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${VBOARD_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Programs of the build (tests, and the tools they start) run through qemu.
# The multiarch loader /lib/ld-linux-armhf.so.3 and the armhf libraries are
# where a native armhf system keeps them, so no library prefix is needed.
find_program(VBOARD_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VBOARD_QEMU_ARM})
