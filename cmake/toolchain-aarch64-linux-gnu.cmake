# Cross-compiles for 64-bit ARM Linux against Debian's multiarch libraries
# (qt6-base-dev:arm64 and friends under /usr/lib/aarch64-linux-gnu).
# The Qt host tools (moc, uic, rcc) come from the build machine's Qt.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The build machine's .pc files would hand out x86-64 library paths.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

set(QT_HOST_PATH /usr CACHE PATH "Qt host tools")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "Qt host tools' CMake files")

# Tests run the target's programs through user-mode emulation; multiarch puts
# the target's loader at /lib/ld-linux-aarch64.so.1, so no sysroot is needed.
find_program(ZENTAVO_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZENTAVO_QEMU_AARCH64})
