# A 32-bit Linux build with Debian's g++-multilib: pointers and handles are
# 32 bits wide as on the real target, so the host records' offsets and the
# 1336-byte context are checked by the compiler and by the tests. The
# binaries run natively, so this is no cross-build.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
