# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads
# variant, for std::thread), the tests run under Wine.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
# OpenSSL, libxcrypt, brotli and nghttp2 come from scripts/build-*-windows.sh
# (static, in third_party-build/); zlib from Debian's libz-mingw-w64-dev.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELKO_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VELKO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKO_MINGW_TRIPLET}-windres)

get_filename_component(VELKO_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(VELKO_OPENSSL_MINGW "${VELKO_SOURCE_ROOT}/third_party-build/openssl-mingw64" CACHE PATH
    "OpenSSL built for mingw64")
set(VELKO_LIBXCRYPT_MINGW "${VELKO_SOURCE_ROOT}/third_party-build/libxcrypt-mingw64" CACHE PATH
    "libxcrypt built for mingw64")
set(VELKO_BROTLI_MINGW "${VELKO_SOURCE_ROOT}/third_party-build/brotli-mingw64" CACHE PATH
    "brotli built for mingw64")
set(VELKO_NGHTTP2_MINGW "${VELKO_SOURCE_ROOT}/third_party-build/nghttp2-mingw64" CACHE PATH
    "nghttp2 built for mingw64")
set(CMAKE_FIND_ROOT_PATH /usr/${VELKO_MINGW_TRIPLET} ${VELKO_OPENSSL_MINGW} ${VELKO_LIBXCRYPT_MINGW}
    ${VELKO_BROTLI_MINGW} ${VELKO_NGHTTP2_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(OPENSSL_ROOT_DIR ${VELKO_OPENSSL_MINGW})
set(OPENSSL_USE_STATIC_LIBS TRUE)
# libz.a rather than the import library of zlib1.dll: the DLLs depend on
# system DLLs only.
set(ZLIB_USE_STATIC_LIBS TRUE)

# Test programs run under Wine; WINEDEBUG=-all keeps its own chatter out.
set(CMAKE_CROSSCOMPILING_EMULATOR env;WINEDEBUG=-all;wine)
