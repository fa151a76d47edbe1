# Cross-builds for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu), against the arm64 packages installed beside the
# native ones (multiarch), and runs what it builds under qemu's user-mode
# emulator. The compiler and CMake both look for the arm64 libraries in
# /usr/lib/aarch64-linux-gnu, the multiarch directory the compiler reports.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Test discovery and ctest run the tests through this. The loader and the
# C++ runtime are those of the arm64 packages (libc6, libstdc++6), in their
# multiarch places under /, which match the libraries OpenBLAS was built
# against; the cross compiler's own copies are older. OpenBLAS's worker
# threads hang under the emulator, so every emulated program gets one.
find_program(VELMORA_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
  "${VELMORA_QEMU_AARCH64};-L;/;-E;OPENBLAS_NUM_THREADS=1")
